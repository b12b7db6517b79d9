#include "tests/fuzz/scripted_port.h"

#include "link/serial_port.h"
#include "link/sleep_clock.h"
#include "link/trx_protocol.h"

FuzzedDataProvider* Script;
std::deque<uint8_t> Line;
std::string LastCommand;
long Slept;

void SleepMilliseconds(unsigned milliseconds) {
  Slept += milliseconds;
  if (Script == nullptr) return;
  // A burst of bytes, or a flood, arrives during this millisecond.
  const size_t count = Script->ConsumeIntegralInRange<size_t>(0, Script->ConsumeBool() ? 8 : 300);
  for (size_t i = 0; i < count && Script->remaining_bytes() > 0; ++i) {
    Line.push_back(Script->ConsumeIntegral<uint8_t>());
  }
}

int32_t BytesWaiting() { return static_cast<int32_t>(Line.size()); }

int32_t ReadBytes(uint8_t* buffer, int32_t count) {
  // The real read waits without limit for bytes that never come.
  Require(count >= 0 && static_cast<size_t>(count) <= Line.size());
  for (int32_t i = 0; i < count; ++i) {
    buffer[i] = Line.front();
    Line.pop_front();
  }
  return count;
}

int32_t WriteBytes(const uint8_t* buffer, int32_t count) {
  Require(count > 0 && count <= TrxBufferSize);
  LastCommand.assign(buffer, buffer + count);
  return count;
}
