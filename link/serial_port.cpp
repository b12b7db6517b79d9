#include "link/serial_port.h"

namespace {

// The device path lives in a fixed buffer of 64 units: prefix, 59 units of name, terminator.
constexpr std::wstring_view DevicePrefix = L"\\\\.\\";
constexpr std::size_t MaxNameUnits = 59;

}  // namespace

std::wstring DevicePathForPort(std::wstring_view name) {
  std::wstring path(DevicePrefix);
  path.append(name.substr(0, MaxNameUnits));
  return path;
}
