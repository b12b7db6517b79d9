#include "app/activity_log.h"

std::wstring FormatLogEntry(int hour, int minute, int second, std::wstring_view message) {
  auto two_digits = [](std::wstring& line, int value) {
    line += static_cast<wchar_t>(L'0' + value / 10 % 10);
    line += static_cast<wchar_t>(L'0' + value % 10);
  };
  std::wstring line;
  line.reserve(8 + message.size());
  two_digits(line, hour);
  line += L':';
  two_digits(line, minute);
  line += L':';
  two_digits(line, second);
  line += message;
  return line;
}
