// Local time is the machine's: tests that count local times pin the zone
// (one without daylight saving, so that the expected counts are fixed).
#pragma once

#include <cstdlib>
#include <ctime>
#include <string>

inline void SetZone(const char* zone) {
#if defined(_WIN32)
    _putenv((std::string("TZ=") + zone).c_str());
    _tzset();
#else
    setenv("TZ", zone, 1);
    tzset();
#endif
}
