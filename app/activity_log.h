// The activity log: one line per finished or failed action, time of day in front.
#pragma once

#include <string>
#include <string_view>

// Appends the local time as HH:MM:SS directly followed by message; callable from any thread.
void AppendLogEntry(std::wstring_view message);

// The line as shown: the stamp, then the message with nothing in between.
std::wstring FormatLogEntry(int hour, int minute, int second, std::wstring_view message);
