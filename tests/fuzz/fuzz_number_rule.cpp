// The number rule on any text: no crash, no undefined behaviour, and the parts that the rule skips
// or stops at do not change the value.
#include <cstdint>
#include <string>
#include <string_view>

#include "link/trx_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const int64_t value = ParseNumber(text);
  // Leading blanks and tabs are skipped, and the first non-digit ends the number.
  if (ParseNumber(" \t" + text) != value) __builtin_trap();
  if (ParseNumber(text + "\x01") != value) __builtin_trap();
  if (ParseNumber(text + "\x01" + "9") != value) __builtin_trap();
  return 0;
}
