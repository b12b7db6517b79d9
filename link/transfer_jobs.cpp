#include "link/transfer_jobs.h"

#include <optional>
#include <string>
#include <string_view>

#include "app/activity_log.h"
#include "app/main_window.h"
#include "app/message_box.h"
#include "link/serial_port.h"
#include "link/trx_protocol.h"
#include "settings/settings_image.h"

namespace {

// One exchange with the transceiver for the address; false when it did not answer in time.
using Exchange = bool (*)(int address);

bool ReadExchange(int address) {
  const std::optional<uint8_t> value = ReadSetting(address);
  if (!value) {
    return false;
  }
  SettingsImage[address] = *value;
  return true;
}

bool WriteExchange(int address) { return WriteSetting(address, SettingsImage[address]); }

bool ExchangeAll(Exchange exchange) {
  for (int address = 0; address < SettingsCount; ++address) {
    if (!exchange(address)) {
      return false;
    }
    SetProgress(address / 10);
  }
  return true;
}

// The frame both jobs share; every way out leaves the port closed and the controls enabled.
void RunJob(Exchange exchange, std::wstring_view completionText) {
  SetTransferControlsEnabled(false);
  const std::wstring portName = CurrentPortName();
  if (OpenPort(portName, PortSettings) == 0) {
    ShowErrorBox(L"Can't open port!");
    // The entry names the port as the list shows it once the box is closed.
    AppendLogEntry(L" Can't open port: " + CurrentPortName());
  } else {
    DrainInput();
    if (ExchangeAll(exchange)) {
      ClosePort();
      AppendLogEntry(completionText);
    } else {
      // The port stays open until the user has seen the box and the entry is made.
      ShowErrorBox(L"TRX not responding!");
      AppendLogEntry(L" TRX not responding!");
      ClosePort();
    }
  }
  SetTransferControlsEnabled(true);
  SetProgress(0);
}

}  // namespace

void ReadJob() { RunJob(ReadExchange, L"TRX reading!"); }

void WriteJob() { RunJob(WriteExchange, L"TRX writing!"); }
