// Local calendar time to calendar seconds: the calendar arithmetic, and the
// conversion each platform does its own way.
#include "platform/local_time.h"

#include <time.h>

namespace {

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

bool LocalMomentValid(const LocalMoment& moment) {
    if (moment.month < 1 || moment.month > 12) return false;
    if (moment.day < 1 || moment.day > DaysInMonth(moment.year, moment.month)) return false;
    return moment.hour >= 0 && moment.hour < 24 && moment.minute >= 0 && moment.minute < 60 &&
           moment.second >= 0 && moment.second < 60;
}

// Counts eras of 400 years (146097 days) from 0000-03-01, so that the leap
// day ends each counted year.
int64_t DaysFromCivil(int year, int month, int day) {
    const int64_t y = month <= 2 ? year - 1 : year;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yearOfEra = y - era * 400;
    const int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

#if defined(_WIN32)

// Windows: the C runtime's mktime, which allocates nothing there.
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

#else

// POSIX: the UTC seconds of the fields, moved by the machine's UTC offset at
// that moment. localtime_r reads the time-zone rules once per process and
// allocates nothing afterwards.
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
