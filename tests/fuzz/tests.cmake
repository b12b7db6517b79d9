# Registered from the native build: runs the fuzz targets that tools/build.sh built with clang.
foreach(target number_rule exchange)
  add_test(NAME fuzz_${target}
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/run-fuzz.sh ${QUELLMARK_FUZZ_BUILD_DIR}/fuzz_${target}
                   ${target} 30)
  set_tests_properties(fuzz_${target} PROPERTIES TIMEOUT 300)
endforeach()
