#include "link/port_discovery.h"

#include <string>

#include "app/main_window.h"
#include "link/serial_port.h"

namespace {

constexpr int FirstPortNumber = 1;
constexpr int LastPortNumber = 99;

}  // namespace

void DiscoverPorts() {
  for (int number = FirstPortNumber; number <= LastPortNumber; ++number) {
    const std::wstring name = L"COM" + std::to_wstring(number);
    if (OpenPort(name, PortSettings) != 0) {
      AddPortName(name);
      ClosePort();
    }
  }
}
