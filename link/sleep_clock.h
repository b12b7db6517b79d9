// The program's one way to sleep; the first call raises the timer resolution to 1 ms for good.
#pragma once

void SleepMilliseconds(unsigned milliseconds);
