#include "tests/unit/link/link_stand_ins.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "app/activity_log.h"
#include "app/main_window.h"
#include "app/message_box.h"
#include "link/serial_port.h"
#include "link/sleep_clock.h"

FakeLine Line;
std::vector<std::string> Effects;
std::wstring SelectedPort;
FakeTrx Trx;

namespace {

// The texts involved are all ASCII.
std::string Narrow(std::wstring_view text) { return std::string(text.begin(), text.end()); }

void DeliverArrivals() {
  auto due = [](const FakeArrival& a) { return a.AtMilliseconds <= Line.NowMilliseconds; };
  for (const FakeArrival& arrival : Line.Pending) {
    if (due(arrival)) {
      Line.Queue.insert(Line.Queue.end(), arrival.Bytes.begin(), arrival.Bytes.end());
    }
  }
  std::erase_if(Line.Pending, due);
}

void AnswerLikeTrx(const std::string& command) {
  int address = 0;
  unsigned value = 0;
  char end = 0;
  if (std::sscanf(command.c_str(), "XL%4d%c", &address, &end) == 2 && end == ';') {
    address -= 1000;
    if (address < Trx.SilentFrom) {
      char reply[8];
      std::snprintf(reply, sizeof reply, "R:%03u;", unsigned{Trx.Memory[address]});
      Arrive(2, reply);
    }
  } else if (std::sscanf(command.c_str(), "XS%4d %u%c", &address, &value, &end) == 3 &&
             end == ';') {
    address -= 1000;
    if (address < Trx.SilentFrom) {
      Trx.Memory[address] = static_cast<uint8_t>(value);
      Arrive(2, "W:0;");
    }
  } else {
    ADD_FAILURE() << "not a command: " << command;
  }
}

}  // namespace

void ResetStandIns() {
  Line = FakeLine{};
  Line.PortOpens = [](const std::wstring&) { return true; };
  Effects.clear();
  SelectedPort = L"COM1";
  Trx = FakeTrx{};
}

void Arrive(uint64_t delayMilliseconds, std::string_view bytes) {
  Line.Pending.push_back({Line.NowMilliseconds + delayMilliseconds, std::string(bytes)});
}

void AttachFakeTrx() { Line.Transceiver = AnswerLikeTrx; }

intptr_t OpenPort(const std::wstring& name, const SerialLineSettings& settings) {
  Effects.push_back("open " + Narrow(name));
  EXPECT_EQ(settings.BaudRate, 9600);
  if (Line.Open || !Line.PortOpens(name)) {
    return 0;
  }
  Line.Open = true;
  return 1;
}

void ClosePort() {
  Effects.push_back("close");
  Line.Open = false;
}

int32_t BytesWaiting() {
  ++Line.Counts;
  if (!Line.Open) {
    return 0;
  }
  if (Line.BeforeCount) {
    Line.BeforeCount();
  }
  DeliverArrivals();
  return static_cast<int32_t>(Line.Queue.size());
}

int32_t ReadBytes(uint8_t* buffer, int32_t count) {
  if (!Line.Open) {
    return 0;
  }
  Line.ReadCounts.push_back(count);
  if (static_cast<std::size_t>(count) > Line.Queue.size()) {
    // The real port would wait here for bytes that may never come.
    ADD_FAILURE() << "ReadBytes asked for " << count << " with " << Line.Queue.size() << " waiting";
    count = static_cast<int32_t>(Line.Queue.size());
  }
  std::copy_n(Line.Queue.begin(), count, buffer);
  Line.Queue.erase(Line.Queue.begin(), Line.Queue.begin() + count);
  return count;
}

int32_t WriteBytes(const uint8_t* buffer, int32_t count) {
  if (!Line.Open) {
    return 0;
  }
  const std::string command(buffer, buffer + count);
  Line.Sent.push_back(command);
  if (Line.Transceiver) {
    Line.Transceiver(command);
  }
  return count;
}

void SleepMilliseconds(unsigned milliseconds) {
  Line.Sleeps.push_back(milliseconds);
  Line.NowMilliseconds += milliseconds;
}

void SetTransferControlsEnabled(bool enabled) {
  Effects.push_back(enabled ? "controls on" : "controls off");
}

void SetProgress(int value) { Effects.push_back("progress " + std::to_string(value)); }

std::wstring CurrentPortName() { return SelectedPort; }

void AddPortName(const std::wstring& name) { Effects.push_back("add " + Narrow(name)); }

void AppendLogEntry(std::wstring_view message) { Effects.push_back("log " + Narrow(message)); }

void ShowErrorBox(const wchar_t* text) { Effects.push_back("box " + Narrow(text)); }
