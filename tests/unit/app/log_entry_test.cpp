#include <gtest/gtest.h>

#include "app/activity_log.h"

namespace {

struct StampCase {
  int hour, minute, second;
  const wchar_t* message;
  const wchar_t* line;
};

class LogEntryFormat : public testing::TestWithParam<StampCase> {};

TEST_P(LogEntryFormat, StampThenMessageWithNothingBetween) {
  const StampCase& c = GetParam();
  EXPECT_EQ(FormatLogEntry(c.hour, c.minute, c.second, c.message), c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LogEntryFormat,
    testing::Values(StampCase{9, 5, 3, L" Start program", L"09:05:03 Start program"},
                    StampCase{14, 0, 0, L"TRX reading!", L"14:00:00TRX reading!"},
                    StampCase{0, 0, 0, L" Save file:", L"00:00:00 Save file:"},
                    StampCase{23, 59, 59, L" Can't open port: ", L"23:59:59 Can't open port: "},
                    StampCase{10, 10, 10, L"", L"10:10:10"},
                    StampCase{7, 8, 9, L" Load file:Z:\\tmp\\Müller.set",
                              L"07:08:09 Load file:Z:\\tmp\\Müller.set"}));

}  // namespace
