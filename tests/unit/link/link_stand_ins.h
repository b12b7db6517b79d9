// Recording stand-ins for what the link calls in other rooms: the serial port on a fake clock,
// the sleep, the window, the log and the error box.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct FakeArrival {
  uint64_t AtMilliseconds;
  std::string Bytes;
};

struct FakeLine {
  // Whether a name opens; every name does unless a test says otherwise.
  std::function<bool(const std::wstring& name)> PortOpens;
  bool Open = false;
  uint64_t NowMilliseconds = 0;
  // Bytes BytesWaiting counts; arrivals join it once the fake clock has reached them.
  std::deque<uint8_t> Queue;
  std::vector<FakeArrival> Pending;
  // The transceiver: sees every command sent, and may answer through Arrive.
  std::function<void(const std::string& command)> Transceiver;
  // Runs before each count; a test may push bytes here to model a line that never stops.
  std::function<void()> BeforeCount;

  std::vector<std::string> Sent;
  std::vector<int32_t> ReadCounts;
  std::vector<unsigned> Sleeps;
  int Counts = 0;
};

extern FakeLine Line;

// Effects on the window, the log, the box and the port, in the order made.
extern std::vector<std::string> Effects;
extern std::wstring SelectedPort;

void ResetStandIns();

// bytes join the queue delayMilliseconds after the present moment of the fake clock.
void Arrive(uint64_t delayMilliseconds, std::string_view bytes);

// A transceiver with 1024 settings that answers every command 2 ms later; addresses from
// silentFrom on get no answer.
struct FakeTrx {
  uint8_t Memory[1024] = {};
  int SilentFrom = 1024;
};

extern FakeTrx Trx;
void AttachFakeTrx();
