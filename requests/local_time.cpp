// Calendar arithmetic shared by the platforms' local-time conversions.
#include "requests/local_time.h"

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
