#pragma once

#include "net/Clock.h"

// When the bytes an application wrote last came in, on the loop's clock: as the loop dates
// them (what ended a long sleep came about one wake-up before the loop ran again), and when
// the loop took them in.
struct InputTime {
    Clock::time_point came;
    Clock::time_point seen;
};
