// The tools' time stamps: ISO 8601 with the zone's offset, UTC on request,
// the short forms of kivpoll's table.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "tools/common/time_text.h"

using kivtools::FormatTime;
using kivtools::TimeForm;

namespace {

constexpr int64_t kWinterMs = 1796702462345;  // 2026-12-08 04:01:02.345 UTC
constexpr int64_t kSummerMs = 1782907200000;  // 2026-07-01 12:00:00.000 UTC

TEST(ToolTime, UtcFormsAndTheEdgesOfASecond) {
    const struct {
        int64_t ms;
        TimeForm form;
        const char* text;
    } cases[] = {
        {kWinterMs, TimeForm::Iso, "2026-12-08T04:01:02.345Z"},
        {kWinterMs, TimeForm::DateTime, "2026-12-08 04:01:02.345"},
        {kWinterMs, TimeForm::Clock, "04:01:02.345"},
        {0, TimeForm::Iso, "1970-01-01T00:00:00.000Z"},
        {-1, TimeForm::Iso, "1969-12-31T23:59:59.999Z"},  // milliseconds never negative
        {951782400999, TimeForm::Iso, "2000-02-29T00:00:00.999Z"},
        {4107542400000, TimeForm::Iso, "2100-03-01T00:00:00.000Z"},  // 2100 is no leap year
        {-2208988800000, TimeForm::Iso, "1900-01-01T00:00:00.000Z"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.text, FormatTime(c.ms, c.form, true)) << c.ms;
}

TEST(ToolTime, TheProcessWideChoiceAppliesToEveryCall) {
    kivtools::UseUtc(true);
    EXPECT_EQ("2026-12-08T04:01:02.345Z", FormatTime(kWinterMs, TimeForm::Iso));
    kivtools::UseUtc(false);
    EXPECT_EQ(FormatTime(kWinterMs, TimeForm::Iso, false), FormatTime(kWinterMs, TimeForm::Iso));
    EXPECT_GT(kivtools::WallClockMs(), kWinterMs - 86400000LL * 365 * 10);  // the wall clock, not a tick count
}

// Whatever the machine's zone: the local text's offset is the difference
// between its fields and UTC's.
TEST(ToolTime, TheLocalOffsetMatchesTheLocalFields) {
    for (int64_t ms : {kWinterMs, kSummerMs}) {
        const std::string local = FormatTime(ms, TimeForm::Iso, false);
        ASSERT_EQ(29u, local.size()) << local;
        const int sign = local[23] == '-' ? -1 : 1;
        const int64_t offset = sign * (std::stoi(local.substr(24, 2)) * 3600 + std::stoi(local.substr(27, 2)) * 60);
        EXPECT_EQ(kivtools::LocalOffsetSeconds(ms / 1000), offset) << local;
        EXPECT_EQ(FormatTime(ms + offset * 1000, TimeForm::DateTime, true), FormatTime(ms, TimeForm::DateTime, false));
    }
}

#if !defined(_WIN32)
// Zones set through TZ: offsets east and west, half hours, summer time.
TEST(ToolTime, OffsetsOfNamedZones) {
    const char* saved = std::getenv("TZ");
    const std::string before = saved ? saved : "";
    const struct {
        const char* zone;
        int64_t ms;
        const char* text;
    } cases[] = {
        {"CET-1CEST,M3.5.0,M10.5.0/3", kWinterMs, "2026-12-08T05:01:02.345+01:00"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", kSummerMs, "2026-07-01T14:00:00.000+02:00"},
        {"NST3:30", kWinterMs, "2026-12-08T00:31:02.345-03:30"},
        {"IST-5:30", kWinterMs, "2026-12-08T09:31:02.345+05:30"},
        {"UTC0", kWinterMs, "2026-12-08T04:01:02.345+00:00"},
    };
    for (const auto& c : cases) {
        setenv("TZ", c.zone, 1);
        tzset();
        EXPECT_EQ(c.text, FormatTime(c.ms, TimeForm::Iso, false)) << c.zone;
    }
    if (saved) setenv("TZ", before.c_str(), 1);
    else unsetenv("TZ");
    tzset();
}
#endif

}  // namespace
