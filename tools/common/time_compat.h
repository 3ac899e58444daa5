// The POSIX calendar calls the tools use, on Windows from the C runtime's
// own (localtime_s, _mkgmtime).
#pragma once

#include <ctime>

#if defined(_WIN32)
inline struct tm* localtime_r(const time_t* when, struct tm* out) {
    return localtime_s(out, when) == 0 ? out : nullptr;
}
inline time_t timegm(struct tm* fields) {
    return _mkgmtime(fields);
}
#endif
