// A serial port and clock driven by the fuzzer's bytes: at every millisecond slept some bytes
// arrive on the line. It traps on what would hang or overrun the real port.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <deque>
#include <string>

extern FuzzedDataProvider* Script;
extern std::deque<uint8_t> Line;
extern std::string LastCommand;
extern long Slept;

inline void Require(bool condition) {
  if (!condition) __builtin_trap();
}
