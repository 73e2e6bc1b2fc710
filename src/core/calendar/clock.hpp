// calendar/clock.hpp: the system's real-time clock as a UTC instant.
#pragma once

#include "calendar/date.hpp"

namespace sorvik {

/// Now, with nanosecond resolution. Fault "system time before Unix epoch"
/// when the clock reads earlier than 1970-01-01.
UtcInstant wall_clock_now();

}  // namespace sorvik
