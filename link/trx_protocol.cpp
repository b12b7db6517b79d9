#include "link/trx_protocol.h"

#include <algorithm>

#include "link/serial_port.h"
#include "link/sleep_clock.h"

std::array<uint8_t, TrxBufferSize> TxBuffer{};
std::array<uint8_t, TrxBufferSize> RxBuffer{};

namespace {

constexpr int WireAddressOffset = 1000;
constexpr int32_t ReadReplyLength = 6;
constexpr int32_t WriteReplyLength = 4;
constexpr int ValueFieldStart = 2;
constexpr int ValueFieldLength = 3;
constexpr unsigned SettleMilliseconds = 100;
constexpr int PollLimit = 500;

// The drain ends once it finds the queue empty. A line that refills it as fast as it is read, or a
// driver that never reports it empty, stops it after this many pieces (about 70 KB, far beyond any
// receive queue); the first reply wait then times out instead of the job hanging.
constexpr int DrainPieceLimit = 4096;

int32_t Stage(const std::string& command) {
  std::copy(command.begin(), command.end(), TxBuffer.begin());
  return static_cast<int32_t>(command.size());
}

// -1 when c is no digit of the base.
int DigitValue(unsigned char c, unsigned base) {
  int value = -1;
  if (c >= '0' && c <= '9') {
    value = c - '0';
  } else if (c >= 'A' && c <= 'F') {
    value = c - 'A' + 10;
  } else if (c >= 'a' && c <= 'f') {
    value = c - 'a' + 10;
  }
  return value < static_cast<int>(base) ? value : -1;
}

// A zero byte adds nothing. Bytes from 0x80 up stay as they are: none of them is an ASCII digit,
// blank, tab, sign, "$" or "%", so the number stops there.
std::string ValueFieldText() {
  std::string text;
  for (int i = ValueFieldStart; i < ValueFieldStart + ValueFieldLength; ++i) {
    if (RxBuffer[i] != 0) {
      text.push_back(static_cast<char>(RxBuffer[i]));
    }
  }
  return text;
}

}  // namespace

std::string ReadCommandText(int address) {
  return "XL" + std::to_string(address + WireAddressOffset) + ";";
}

std::string WriteCommandText(int address, uint8_t value) {
  return "XS" + std::to_string(address + WireAddressOffset) + " " +
         std::to_string(unsigned{value}) + ";";
}

int64_t ParseNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    ++i;
  }
  unsigned base = 10;
  if (i < text.size() && text[i] == '$') {
    base = 16;
    ++i;
  } else if (i < text.size() && text[i] == '%') {
    base = 2;
    ++i;
  }
  // Unsigned, so an overlong number wraps instead of overflowing.
  uint64_t number = 0;
  for (; i < text.size(); ++i) {
    const int digit = DigitValue(static_cast<unsigned char>(text[i]), base);
    if (digit < 0) {
      break;
    }
    number = number * base + static_cast<uint64_t>(digit);
  }
  if (negative) {
    number = 0 - number;
  }
  return static_cast<int64_t>(number);
}

void DrainInput() {
  SleepMilliseconds(SettleMilliseconds);
  for (int piece = 0; piece < DrainPieceLimit; ++piece) {
    const int32_t waiting = BytesWaiting();
    if (waiting <= 0) {
      return;
    }
    ReadBytes(RxBuffer.data(), std::min(waiting, int32_t{TrxBufferSize}));
  }
}

bool AwaitReply(int32_t expectedLength) {
  int polls = 0;
  do {
    SleepMilliseconds(1);
    ++polls;
  } while (BytesWaiting() != expectedLength && polls != PollLimit);
  return polls != PollLimit;
}

std::optional<uint8_t> ReadSetting(int address) {
  WriteBytes(TxBuffer.data(), Stage(ReadCommandText(address)));
  if (!AwaitReply(ReadReplyLength)) {
    return std::nullopt;
  }
  // Only bytes already counted are read, so this never waits on the line.
  ReadBytes(RxBuffer.data(), ReadReplyLength);
  // The conversion keeps the low 8 bits, two's complement for a negative number.
  return static_cast<uint8_t>(ParseNumber(ValueFieldText()));
}

bool WriteSetting(int address, uint8_t value) {
  WriteBytes(TxBuffer.data(), Stage(WriteCommandText(address, value)));
  if (!AwaitReply(WriteReplyLength)) {
    return false;
  }
  ReadBytes(RxBuffer.data(), WriteReplyLength);
  return true;
}
