#include "link/port_discovery.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "tests/unit/link/link_stand_ins.h"

namespace {

TEST(DiscoverPorts, ListsEveryNameFromCOM1ToCOM99ThatOpensInRisingOrder) {
  const std::set<int> portSets[] = {{}, {2, 10}, {1, 99, 100}};
  for (const std::set<int>& ports : portSets) {
    ResetStandIns();
    Line.PortOpens = [&ports](const std::wstring& name) {
      return name.starts_with(L"COM") && ports.count(std::stoi(name.substr(3))) == 1;
    };
    DiscoverPorts();
    std::vector<std::string> expected;
    for (int n = 1; n <= 99; ++n) {
      const std::string name = "COM" + std::to_string(n);
      expected.push_back("open " + name);
      if (ports.count(n) == 1) {
        // Listed while still open, closed before the next name is tried.
        expected.push_back("add " + name);
        expected.push_back("close");
      }
    }
    EXPECT_EQ(Effects, expected) << ports.size() << " ports";
    EXPECT_FALSE(Line.Open);
  }
}

}  // namespace
