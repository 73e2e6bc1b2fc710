// calendar/clock.cpp: reads CLOCK_REALTIME.
#include "calendar/clock.hpp"

#include <time.h>

#include <string>

#include "fault.hpp"

namespace sorvik {

UtcInstant wall_clock_now() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec < 0)
        throw Fault("system time before Unix epoch: " + std::to_string(now.tv_sec) + " s");
    const auto instant = instant_from_unix(now.tv_sec, static_cast<uint32_t>(now.tv_nsec));
    if (!instant) throw Fault("system time outside the calendar");
    return *instant;
}

}  // namespace sorvik
