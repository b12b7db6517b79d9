#include "tests/unit/link/link_stand_ins.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
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

// Digits from first to last, or -1 when there are none or anything else among them.
int Number(std::string_view text) {
  int value = -1;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() ? value : -1;
}

void AnswerLikeTrx(const std::string& command) {
  const std::string_view text(command);
  const int address = text.size() >= 7 ? Number(text.substr(2, 4)) - 1000 : -1;
  const bool read = text.size() == 7 && text.starts_with("XL") && text.ends_with(';');
  const bool write =
      text.size() >= 9 && text.starts_with("XS") && text[6] == ' ' && text.ends_with(';');
  if (address < 0 || address >= 1024 || !(read || write)) {
    ADD_FAILURE() << "not a command: " << command;
    return;
  }
  if (address >= Trx.SilentFrom) {
    return;
  }
  if (read) {
    char reply[8];
    std::snprintf(reply, sizeof reply, "R:%03u;", unsigned{Trx.Memory[address]});
    Arrive(2, reply);
    return;
  }
  const int value = Number(text.substr(7, text.size() - 8));
  if (value < 0 || value > 255) {
    ADD_FAILURE() << "bad value: " << command;
    return;
  }
  Trx.Memory[address] = static_cast<uint8_t>(value);
  Arrive(2, "W:0;");
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
