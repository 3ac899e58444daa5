// The tools' time stamps: the wall clock (the system's time of day, in
// milliseconds since 1970), shown in the local zone with its offset or, when
// asked, in UTC. kivpoll's output and both tools' traces and captures take
// their times from here, so that two traces of one exchange line up.
#pragma once

#include <cstdint>
#include <string>

namespace kivtools {

// value / unit rounded down (times before 1970 too), with what is left over
// (0 to unit - 1) in *rest.
inline int64_t FloorDivide(int64_t value, int64_t unit, int64_t* rest) {
    *rest = (value % unit + unit) % unit;
    return value / unit - (value % unit < 0 ? 1 : 0);
}

// Milliseconds (and microseconds) since 1970 by the system clock.
int64_t WallClockUs();
inline int64_t WallClockMs() { return WallClockUs() / 1000; }

// Process-wide: times in UTC ("Z") rather than local time with its offset.
void UseUtc(bool utc);

enum class TimeForm {
    Iso,       // 2026-12-08T05:01:02.345+01:00 (Z in UTC)
    DateTime,  // 2026-12-08 05:01:02.345
    Clock,     // 05:01:02.345
};
// A moment in the chosen zone; utc overrides the process-wide choice.
std::string FormatTime(int64_t msSinceEpoch, TimeForm form);
std::string FormatTime(int64_t msSinceEpoch, TimeForm form, bool utc);
// The local zone's offset from UTC at that moment, in seconds (east positive).
int64_t LocalOffsetSeconds(int64_t secondsSinceEpoch);

}  // namespace kivtools
