// Event retrieval: unit time stamps, the three record kinds, the repeat loop
// on the more flag and the shutdown latch.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <ctime>
#include <string>

#include "driver/channel_block.h"
#include "requests/events.h"
#include "tests/support/fake_platform.h"
#include "tests/support/log_capture.h"

namespace {

// Local time is the machine's; the tests pin it to a zone without daylight
// saving so that the expected counts are fixed.
void SetZone(const char* zone) {
#if defined(_WIN32)
    std::string setting = std::string("TZ=") + zone;
    _putenv(setting.c_str());
    _tzset();
#else
    setenv("TZ", zone, 1);
    tzset();
#endif
}

using StampBytes = std::array<uint8_t, 6>;

// A unit time stamp from its fields (the year as years since 1900).
StampBytes Stamp(int year, int month, int day, int hour, int minute, int second, int milliseconds) {
    uint64_t bits = (static_cast<uint64_t>(year & 0xFF) << 36) | (static_cast<uint64_t>(month & 0x0F) << 32) |
                    (static_cast<uint64_t>(day & 0x1F) << 27) | (static_cast<uint64_t>(hour & 0x1F) << 22) |
                    (static_cast<uint64_t>(minute & 0x3F) << 16) | (static_cast<uint64_t>(second & 0x3F) << 10) |
                    static_cast<uint64_t>(milliseconds & 0x3FF);
    StampBytes bytes;
    for (int i = 0; i < 6; ++i) bytes[i] = static_cast<uint8_t>(bits >> (40 - 8 * i));
    return bytes;
}

TEST(TimeStampTest, WorkedExampleDecodesToLocalTime) {
    const StampBytes bytes = {0x06, 0x1A, 0x51, 0x8F, 0xB7, 0xE7};
    EXPECT_EQ(Stamp(97, 10, 10, 6, 15, 45, 999), bytes);  // the encoder agrees with the layout

    struct Zone {
        const char* tz;
        int32_t seconds;  // 1997-10-10 06:15:45 in that zone
    };
    for (const Zone& zone : {Zone{"UTC0", 876464145}, Zone{"CET-1", 876460545}}) {
        SetZone(zone.tz);
        uint16_t milliseconds = 0;
        EXPECT_EQ(zone.seconds, DecodeTimeStamp(bytes.data(), &milliseconds)) << zone.tz;
        EXPECT_EQ(999, milliseconds);
    }
    SetZone("UTC0");
}

TEST(TimeStampTest, MomentsOutsideA32BitCountGiveMinusOne) {
    SetZone("UTC0");
    struct Case {
        StampBytes stamp;
        int32_t seconds;
        uint16_t milliseconds;
    };
    const Case cases[] = {
        {Stamp(60, 6, 1, 12, 0, 0, 321), -1, 321},          // 1960
        {Stamp(69, 12, 31, 23, 59, 59, 0), -1, 0},          // one second before 1970
        {Stamp(70, 1, 1, 0, 0, 0, 1023), 0, 1023},          // the epoch itself
        {Stamp(138, 1, 19, 3, 14, 7, 5), 2147483647, 5},    // the last second a count holds
        {Stamp(138, 1, 19, 3, 14, 8, 6), -1, 6},            // the next one
        {Stamp(255, 15, 31, 31, 63, 63, 1023), -1, 1023},   // every field at its top
        {Stamp(0, 0, 0, 0, 0, 0, 0), -1, 0},                // 1899
        // Fields out of range are normalised by the conversion, not refused.
        {Stamp(98, 13, 1, 0, 0, 0, 0), 915148800, 0},       // month 13 of 1998: January 1999
        {Stamp(97, 10, 0, 0, 0, 0, 0), 875577600, 0},       // day 0: the last of September
    };
    for (const Case& c : cases) {
        uint16_t milliseconds = 0xFFFF;
        EXPECT_EQ(c.seconds, DecodeTimeStamp(c.stamp.data(), &milliseconds))
            << std::hex << int(c.stamp[0]) << ' ' << int(c.stamp[1]) << ' ' << int(c.stamp[2]);
        EXPECT_EQ(c.milliseconds, milliseconds);
    }
}

class StoreTimedValueTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetZone("UTC0");
        TavReset();
        log.reset(new LogCapture());
        gate = TavDefineGate(0, "S00120007", 1.0, 0.0);
    }
    void TearDown() override {
        log.reset();
        TavReset();
    }
    std::unique_ptr<LogCapture> log;
    int32_t gate = 0;
};

TEST_F(StoreTimedValueTest, WritesValueWithTheStampsTime) {
    const StampBytes stamp = {0x06, 0x1A, 0x51, 0x8F, 0xB7, 0xE7};
    StoreTimedValue(1, gate, 1.0, stamp.data());
    TavGateValue value{};
    ASSERT_EQ(0, TavReadGate(gate, &value));
    EXPECT_EQ(1.0, value.value);
    EXPECT_EQ(876464145, value.time);
    EXPECT_EQ(999, value.milliseconds);
    EXPECT_EQ(2, value.mode);
    EXPECT_TRUE(log->Lines().empty());
}

TEST_F(StoreTimedValueTest, UnconvertibleTimeIsPassedOnAsMinusOne) {
    const StampBytes stamp = Stamp(60, 1, 1, 0, 0, 0, 77);
    StoreTimedValue(1, gate, 0.0, stamp.data());
    TavGateValue value{};
    ASSERT_EQ(0, TavReadGate(gate, &value));
    EXPECT_EQ(1, value.updates);
    EXPECT_EQ(-1, value.time);
    EXPECT_EQ(77, value.milliseconds);
}

TEST_F(StoreTimedValueTest, RefusedWriteIsLoggedWithTheIdInHex) {
    const StampBytes stamp = Stamp(97, 10, 10, 6, 15, 45, 0);
    StoreTimedValue(1, 0x2A, 1.0, stamp.data());  // no gate 42
    ASSERT_EQ(1u, log->Lines().size());
    EXPECT_EQ("KivIN : Write gate id 2a fail", log->Lines()[0].text);
    EXPECT_EQ(32, log->Lines()[0].level);
}

}  // namespace
