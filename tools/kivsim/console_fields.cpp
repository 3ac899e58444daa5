// The console API's checks of the values a request carries.
#include "tools/kivsim/console_fields.h"

#include <cstdio>

namespace kivsim {

using nlohmann::json;

bool IntegerIn(const json& value, int64_t low, int64_t high, int64_t* out) {
    if (value.is_number_unsigned()) {
        const uint64_t v = value.get<uint64_t>();
        if (v > uint64_t(INT64_MAX)) return false;
        *out = int64_t(v);
    } else if (value.is_number_integer()) {
        *out = value.get<int64_t>();
    } else {
        return false;
    }
    return *out >= low && *out <= high;
}

bool RegisterValueIn(const json& value, uint32_t* out) {
    int64_t v = 0;
    if (!IntegerIn(value, INT32_MIN, UINT32_MAX, &v)) return false;
    *out = uint32_t(v);
    return true;
}

bool ParseStamp(const std::string& text, CalendarTime* t) {
    char separator = 0;
    char fraction[4] = {};
    char rest = 0;
    const int n = std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d.%3[0-9]%c", &t->year, &t->month, &t->day,
                              &separator, &t->hour, &t->minute, &t->second, fraction, &rest);
    if (n < 7 || n > 8 || (separator != ' ' && separator != 'T')) return false;
    if (n == 7 && text.size() != 19) return false;
    t->millisecond = 0;
    for (int i = 0, scale = 100; i < 3 && fraction[i]; ++i, scale /= 10) t->millisecond += (fraction[i] - '0') * scale;
    static const int kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (t->year % 4 == 0 && t->year % 100 != 0) || t->year % 400 == 0;
    return t->year >= 1900 && t->year <= 2155 && t->month >= 1 && t->month <= 12 && t->day >= 1 &&
           t->day <= kMonthDays[t->month - 1] && !(t->month == 2 && t->day == 29 && !leap) && t->hour <= 23 &&
           t->minute <= 59 && t->second <= 59;
}

}  // namespace kivsim
