#include <windows.h>

#include "app/activity_log.h"
#include "app/main_window.h"

void AppendLogEntry(std::wstring_view message) {
  // The clock is read on the caller's thread: after an error box, the stamp is when it was closed.
  SYSTEMTIME now;
  GetLocalTime(&now);
  AppendLogLine(FormatLogEntry(now.wHour, now.wMinute, now.wSecond, message));
}
