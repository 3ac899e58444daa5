// Local calendar time to calendar seconds, for unit time stamps: the value
// the C library's mktime gives for validated fields, without its cost.
#pragma once

#include <cstdint>

// A moment of the machine's local time, fields as a unit sends them.
struct LocalMoment {
    int year;    // full year, e.g. 1997
    int month;   // 1..12
    int day;     // 1..days of the month
    int hour;    // 0..23
    int minute;  // 0..59
    int second;  // 0..59
};

// True when every field names a real moment: month 1 to 12, day 1 to the
// month's last (leap years counted), hour below 24, minute and second below 60.
bool LocalMomentValid(const LocalMoment& moment);

// Seconds since 1970-01-01 00:00:00 UTC of a valid local moment, daylight
// saving decided by the machine's rules as mktime with tm_isdst -1 decides
// it; -1 when the moment cannot be converted. Allocates nothing (glibc's
// mktime reads the TZ setting afresh and allocates on every call while TZ is
// unset). Each platform converts in its own way.
int64_t LocalMomentToSeconds(const LocalMoment& moment);

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int year, int month, int day);
