// Local time to calendar seconds on Windows: the C runtime's mktime, which
// allocates nothing there.
#ifdef _WIN32

#include <time.h>

#include "requests/local_time.h"

int64_t LocalMomentToSeconds(const LocalMoment& moment) {
    struct tm calendar = {};
    calendar.tm_year = moment.year - 1900;
    calendar.tm_mon = moment.month - 1;
    calendar.tm_mday = moment.day;
    calendar.tm_hour = moment.hour;
    calendar.tm_min = moment.minute;
    calendar.tm_sec = moment.second;
    calendar.tm_isdst = -1;
    const time_t seconds = mktime(&calendar);
    return seconds == static_cast<time_t>(-1) ? -1 : static_cast<int64_t>(seconds);
}

#endif
