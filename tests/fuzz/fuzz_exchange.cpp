// Drains the line and makes a few exchanges while the fuzzer decides what arrives and when.
#include <cstdint>
#include <string>

#include "link/trx_protocol.h"
#include "tests/fuzz/scripted_port.h"

namespace {

// A drain sleeps the settle time once; a reply wait at most 500 polls of 1 ms.
constexpr long SettleMilliseconds = 100;
constexpr long ReplySleepLimit = 500;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider script(data, size);
  Script = &script;
  Line.clear();
  // Whatever was waiting before the job opened the port.
  const size_t stray = script.ConsumeIntegralInRange<size_t>(0, 4000);
  for (size_t i = 0; i < stray; ++i) Line.push_back(static_cast<uint8_t>('#'));

  Slept = 0;
  DrainInput();
  Require(Slept == SettleMilliseconds);
  // Nothing arrives while the drain reads, so it must have left the line empty.
  Require(Line.empty());

  for (int exchange = 0; exchange < 4 && script.remaining_bytes() > 0; ++exchange) {
    const int address = script.ConsumeIntegralInRange<int>(0, 1023);
    Slept = 0;
    if (script.ConsumeBool()) {
      const auto value = ReadSetting(address);
      Require(LastCommand == ReadCommandText(address));
      if (!value) break;
      // The reply's value field is read by the number rule, whatever it holds.
      const std::string field(RxBuffer.begin() + 2, RxBuffer.begin() + 5);
      if (field.find('\0') == std::string::npos) {
        Require(*value == static_cast<uint8_t>(ParseNumber(field)));
      }
    } else {
      const auto value = script.ConsumeIntegral<uint8_t>();
      const bool done = WriteSetting(address, value);
      Require(LastCommand == WriteCommandText(address, value));
      if (!done) break;
    }
    Require(Slept <= ReplySleepLimit);
  }
  return 0;
}
