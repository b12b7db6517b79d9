# Options every target of the project shares: strict warnings, all fatal.
function(quellmark_target_options target)
  target_compile_features(${target} PRIVATE cxx_std_20)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wcast-qual -Wformat=2 -Wundef
    -Wnon-virtual-dtor -Wimplicit-fallthrough -Werror)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  if(WIN32)
    target_compile_definitions(${target} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
                                                 _WIN32_WINNT=0x0A00)
    # Static: no DLL of our own beside the exe. ASLR (high entropy), DEP; release builds stripped.
    target_link_options(${target} PRIVATE -static -municode -Wl,--dynamicbase,--high-entropy-va,--nxcompat
                        $<$<CONFIG:Release>:-s>)
  endif()
endfunction()

# Native test builds run under AddressSanitizer and UBSan; any report fails the test.
function(quellmark_sanitize target)
  if(NOT WIN32)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-sanitize-recover=all
                                             -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
endfunction()
