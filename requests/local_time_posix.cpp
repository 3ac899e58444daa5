// Local time to calendar seconds on POSIX: the UTC seconds of the fields,
// moved by the machine's UTC offset at that moment. localtime_r reads the
// time-zone rules once per process and allocates nothing afterwards.
#ifndef _WIN32

#include <time.h>

#include "requests/local_time.h"

namespace {

// The offset of local time from UTC at moment t, in seconds; false when t
// cannot be converted.
bool UtcOffsetAt(time_t t, int64_t* offset) {
    struct tm local;
    if (localtime_r(&t, &local) == nullptr) return false;
    *offset = local.tm_gmtoff;
    return true;
}

}  // namespace

// Finds t with t + offset(t) equal to the fields read as UTC. Two looks
// settle it everywhere but in a daylight-saving change: in the hour that
// repeats, the earlier offset's answer stands (as glibc's mktime decides with
// tm_isdst -1); in the hour that is skipped, the offset from before the change
// moves the fields forward by the skipped amount, as mktime does.
int64_t LocalMomentToSeconds(const LocalMoment& moment) {
    const int64_t asUtc = DaysFromCivil(moment.year, moment.month, moment.day) * 86400 + moment.hour * 3600 +
                          moment.minute * 60 + moment.second;
    int64_t before = 0;
    if (!UtcOffsetAt(static_cast<time_t>(asUtc - 86400), &before)) return -1;
    int64_t guess = asUtc - before;
    for (int look = 0; look < 3; ++look) {
        int64_t offset = 0;
        if (!UtcOffsetAt(static_cast<time_t>(guess), &offset)) return -1;
        const int64_t next = asUtc - offset;
        if (next == guess) return guess;
        guess = next;
    }
    // No t maps to these fields (a skipped hour): read them with the offset in
    // force before the change.
    return asUtc - before;
}

#endif
