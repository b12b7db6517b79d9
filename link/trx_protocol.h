// The transceiver's text commands: one command out, one fixed-length reply back.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

inline constexpr int TrxBufferSize = 17;

// Stage one command and receive one reply; zero at start, shared by the jobs only.
extern std::array<uint8_t, TrxBufferSize> TxBuffer;
extern std::array<uint8_t, TrxBufferSize> RxBuffer;

// "XL" + (address + 1000) + ";" for an address 0 to 1023.
std::string ReadCommandText(int address);

// "XS" + (address + 1000) + " " + value + ";".
std::string WriteCommandText(int address, uint8_t value);

// Leading blanks and tabs, an optional sign, "$" for hex or "%" for binary, then digits up to the
// first non-digit; no digits give 0. Wraps around in 64-bit two's complement.
int64_t ParseNumber(std::string_view text);

// Waits 100 ms for the line to settle, then reads and drops whatever is waiting.
void DrainInput();

// Polls every millisecond until exactly expectedLength bytes wait; false after 500 polls, also
// when the 500th poll found them.
bool AwaitReply(int32_t expectedLength);

// The setting's value, or nothing when the transceiver did not answer in time.
std::optional<uint8_t> ReadSetting(int address);

// False when the transceiver did not answer in time.
bool WriteSetting(int address, uint8_t value);
