// The tools' clock and its text.
#include "tools/common/time_text.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace kivtools {

namespace {

std::atomic<bool> utcWanted{false};

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// UTC fields by arithmetic: the same on every system, before 1970 too
// (Windows' gmtime_s refuses negative times).
void UtcFields(int64_t seconds, std::tm* t) {
    int64_t rest;
    const int64_t days = FloorDivide(seconds, 86400, &rest) + 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t shifted = (5 * dayOfYear + 2) / 153;
    const int64_t month = shifted < 10 ? shifted + 3 : shifted - 9;
    t->tm_year = static_cast<int>(yearOfEra + era * 400 + (month <= 2) - 1900);
    t->tm_mon = static_cast<int>(month - 1);
    t->tm_mday = static_cast<int>(dayOfYear - (153 * shifted + 2) / 5 + 1);
    t->tm_hour = static_cast<int>(rest / 3600);
    t->tm_min = static_cast<int>(rest / 60 % 60);
    t->tm_sec = static_cast<int>(rest % 60);
}

bool Fields(int64_t seconds, bool utc, std::tm* fields) {
    if (utc) {
        UtcFields(seconds, fields);
        return true;
    }
    const std::time_t when = static_cast<std::time_t>(seconds);
#if defined(_WIN32)
    return localtime_s(fields, &when) == 0;
#else
    return localtime_r(&when, fields) != nullptr;
#endif
}

}  // namespace

int64_t WallClockUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void UseUtc(bool utc) {
    utcWanted = utc;
}

int64_t LocalOffsetSeconds(int64_t seconds) {
    std::tm local{};
    if (!Fields(seconds, false, &local)) return 0;
    // The local fields read as if they were UTC, less the moment itself.
    const int64_t asUtc = DaysFromCivil(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) * 86400 +
                          local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
    return asUtc - seconds;
}

std::string FormatTime(int64_t ms, TimeForm form) {
    return FormatTime(ms, form, utcWanted);
}

std::string FormatTime(int64_t ms, TimeForm form, bool utc) {
    int64_t millis;
    const int64_t seconds = FloorDivide(ms, 1000, &millis);
    std::tm t{};
    if (!Fields(seconds, utc, &t)) return "?";
    char text[48];
    if (form == TimeForm::Clock) {
        std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", t.tm_hour, t.tm_min, t.tm_sec, int(millis));
        return text;
    }
    std::snprintf(text, sizeof text, "%04d-%02d-%02d%c%02d:%02d:%02d.%03d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  form == TimeForm::Iso ? 'T' : ' ', t.tm_hour, t.tm_min, t.tm_sec, int(millis));
    std::string result = text;
    if (form != TimeForm::Iso) return result;
    if (utc) return result + "Z";
    const int64_t offset = LocalOffsetSeconds(seconds);
    const int64_t minutes = (offset < 0 ? -offset : offset) / 60;
    std::snprintf(text, sizeof text, "%c%02d:%02d", offset < 0 ? '-' : '+', int(minutes / 60), int(minutes % 60));
    return result + text;
}

}  // namespace kivtools
