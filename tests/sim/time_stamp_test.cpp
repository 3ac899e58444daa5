// The simulator's unit time stamps: the fields in their bits, and the local
// calendar both ways.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "tests/sim/sim_client.h"
#include "tools/kivsim/station.h"

namespace {

using simtest::Bytes;

TEST(TimeStamp, EncodesTheFieldsInTheirBits) {
    struct Case {
        kivsim::CalendarTime time;
        Bytes stamp;
    };
    const Case cases[] = {
        {{1997, 10, 10, 6, 15, 45, 999}, {0x06, 0x1A, 0x51, 0x8F, 0xB7, 0xE7}},
        {{1900, 1, 1, 0, 0, 0, 0}, {0x00, 0x01, 0x08, 0x00, 0x00, 0x00}},
        {{2155, 12, 31, 23, 59, 59, 1023}, {0x0F, 0xFC, 0xFD, 0xFB, 0xEF, 0xFF}},
        {{2026, 3, 1, 14, 5, 9, 250}, {0x07, 0xE3, 0x0B, 0x85, 0x24, 0xFA}},
    };
    for (const Case& c : cases) {
        uint8_t stamp[6];
        kivsim::EncodeTimeStamp(c.time, stamp);
        EXPECT_EQ(Bytes(stamp, stamp + 6), c.stamp) << c.time.year;
        kivsim::CalendarTime back = kivsim::DecodeTimeStampFields(stamp);
        EXPECT_EQ(simtest::FieldsOf(back), simtest::FieldsOf(c.time));
    }
}

TEST(TimeStamp, LocalCalendarRoundTrip) {
    kivsim::CalendarTime t{2024, 2, 29, 23, 59, 58, 7};
    int64_t ms = kivsim::MsFromLocalCalendar(t);
    ASSERT_GT(ms, 0);
    kivsim::CalendarTime back = kivsim::LocalCalendar(ms);
    EXPECT_EQ(simtest::FieldsOf(back), simtest::FieldsOf(t));
}

TEST(TimeStamp, LocalCalendarAgreesWithMktimeAcrossZones) {
    const char* saved = std::getenv("TZ");
    const std::string previous = saved ? saved : "";
    for (const char* zone :
         {"UTC0", "CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0", "NZST-12NZDT,M9.5.0,M4.1.0/3"}) {
        setenv("TZ", zone, 1);
        tzset();
        const kivsim::CalendarTime cases[] = {{1997, 10, 10, 6, 15, 45, 999},
                                              {2026, 1, 15, 12, 0, 0, 0},
                                              {2026, 7, 15, 12, 0, 0, 1},
                                              {2030, 3, 31, 4, 30, 0, 500},
                                              {2037, 12, 31, 23, 59, 59, 999}};
        for (const kivsim::CalendarTime& t : cases) {
            struct tm fields;
            std::memset(&fields, 0, sizeof fields);
            fields.tm_year = t.year - 1900;
            fields.tm_mon = t.month - 1;
            fields.tm_mday = t.day;
            fields.tm_hour = t.hour;
            fields.tm_min = t.minute;
            fields.tm_sec = t.second;
            fields.tm_isdst = -1;
            const int64_t expected = int64_t(mktime(&fields)) * 1000 + t.millisecond;
            EXPECT_EQ(kivsim::MsFromLocalCalendar(t), expected) << zone << " " << t.year << "-" << t.month;
        }
    }
    if (saved) {
        setenv("TZ", previous.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

}  // namespace
