#include <gtest/gtest.h>

#include <string>

#include "link/serial_port.h"

namespace {

struct DevicePathCase {
  std::wstring Name;
  std::wstring Path;
};

TEST(DevicePathForPort, PrefixesTheNameAndCutsItAfter59Units) {
  const std::wstring seventy = std::wstring(60, L'A') + L"BCDEFGHIJK";
  const DevicePathCase cases[] = {
      {L"COM1", L"\\\\.\\COM1"},
      {L"COM99", L"\\\\.\\COM99"},
      {L"", L"\\\\.\\"},
      {seventy, L"\\\\.\\" + std::wstring(59, L'A')},
  };
  for (const DevicePathCase& c : cases) {
    EXPECT_EQ(DevicePathForPort(c.Name), c.Path) << c.Name.size() << " units";
  }
  EXPECT_EQ(DevicePathForPort(seventy).size(), 63u);
}

}  // namespace
