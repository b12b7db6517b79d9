// The timer header builds on the types of windows.h.
// clang-format off
#include <windows.h>
#include <timeapi.h>
// clang-format on

#include "link/sleep_clock.h"

void SleepMilliseconds(unsigned milliseconds) {
  // The reply wait's 1 ms polls need the finer timer. Raised on the first sleep of any thread,
  // once (the static's initialisation is thread-safe), and never lowered.
  static const bool timerRaised = timeBeginPeriod(1) == TIMERR_NOERROR;
  static_cast<void>(timerRaised);
  Sleep(milliseconds);
}
