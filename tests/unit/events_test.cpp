// Event retrieval: unit time stamps, the three record kinds, the repeat loop
// on the more flag and the shutdown latch.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <ctime>
#include <climits>
#include <string>
#include <vector>

#include "base/channel_block.h"
#include "base/channel_state.h"
#include "link/exchange.h"
#include "link/frame_io.h"
#include "requests/events.h"
#include "tests/support/fake_channel.h"
#include "tests/support/fake_platform.h"
#include "tests/support/log_capture.h"
#include "tests/support/time_zone.h"

namespace {

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

TEST(EventTimeStampTest, WorkedExampleDecodesToLocalTime) {
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

TEST(EventTimeStampTest, MomentsOutsideA32BitCountOrWithImpossibleFieldsGiveMinusOne) {
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
        // Fields that name no real moment give -1, not a rolled-over time.
        {Stamp(98, 13, 1, 0, 0, 0, 0), -1, 0},              // month 13
        {Stamp(98, 0, 1, 0, 0, 0, 0), -1, 0},               // month 0
        {Stamp(97, 10, 0, 0, 0, 0, 0), -1, 0},              // day 0
        {Stamp(97, 4, 31, 0, 0, 0, 0), -1, 0},              // the 31st of April
        {Stamp(99, 2, 29, 0, 0, 0, 0), -1, 0},              // 29 February of a common year
        {Stamp(100, 2, 29, 0, 0, 0, 0), 951782400, 0},      // ... of 2000, a leap year
        {Stamp(97, 12, 31, 24, 0, 0, 0), -1, 0},            // hour 24
        {Stamp(97, 12, 31, 23, 60, 0, 0), -1, 0},           // minute 60
        {Stamp(97, 12, 31, 23, 59, 60, 0), -1, 0},          // second 60
        {Stamp(97, 12, 31, 23, 59, 59, 0), 883612799, 0},   // the last second of a year
    };
    for (const Case& c : cases) {
        uint16_t milliseconds = 0xFFFF;
        EXPECT_EQ(c.seconds, DecodeTimeStamp(c.stamp.data(), &milliseconds))
            << std::hex << int(c.stamp[0]) << ' ' << int(c.stamp[1]) << ' ' << int(c.stamp[2]);
        EXPECT_EQ(c.milliseconds, milliseconds);
    }
}

#ifndef _WIN32
// The conversion gives what mktime gives, in zones with and without daylight
// saving, on both hemispheres and at half hours, over a spread of dates from
// 1970 to 2037 (each 97th hour). Moments that a change of daylight saving
// skips or repeats name no single time and are left out.
TEST(EventTimeStampTest, LocalTimeIsReadAsMktimeReadsIt) {
    const char* zones[] = {"UTC0", "CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0",
                           "NZST-12NZDT,M9.5.0,M4.1.0/3", "IST-5:30", "Europe/Berlin", "America/Sao_Paulo"};
    for (const char* zone : zones) {
        SetZone(zone);
        int compared = 0;
        for (int64_t hour = 1; hour < (INT64_C(2145916800) - 86400) / 3600; hour += 97) {
            const time_t around = static_cast<time_t>(hour * 3600 + (hour % 60) * 61);
            struct tm fields;
            gmtime_r(&around, &fields);  // any valid set of fields will do
            struct tm calendar = fields;
            calendar.tm_isdst = -1;
            const time_t expected = mktime(&calendar);
            struct tm back;
            localtime_r(&expected, &back);
            struct tm later;
            const time_t hourLater = expected + 3600, hourEarlier = expected - 3600;
            struct tm earlier;
            localtime_r(&hourLater, &later);
            localtime_r(&hourEarlier, &earlier);
            const bool skipped = back.tm_hour != fields.tm_hour || back.tm_min != fields.tm_min;
            const bool repeated = (later.tm_hour == fields.tm_hour && later.tm_mday == fields.tm_mday) ||
                                  (earlier.tm_hour == fields.tm_hour && earlier.tm_mday == fields.tm_mday);
            if (skipped || repeated) continue;
            const StampBytes stamp = Stamp(fields.tm_year, fields.tm_mon + 1, fields.tm_mday, fields.tm_hour,
                                           fields.tm_min, fields.tm_sec, 0);
            uint16_t milliseconds = 0;
            const int32_t seconds = DecodeTimeStamp(stamp.data(), &milliseconds);
            const int32_t wanted = expected < 0 || expected > INT32_MAX ? -1 : static_cast<int32_t>(expected);
            ASSERT_EQ(wanted, seconds) << zone << ' ' << fields.tm_year + 1900 << '-' << fields.tm_mon + 1 << '-'
                                       << fields.tm_mday << ' ' << fields.tm_hour << ':' << fields.tm_min;
            ++compared;
        }
        EXPECT_GT(compared, 6000) << zone;
    }
    SetZone("UTC0");
}
#endif

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

// ---- Fetches against a unit scripted on the fake port ----

using Bytes = std::vector<uint8_t>;
using FetchFunction = int32_t (*)(GateRequest*);

constexpr uint16_t kStation = 12;
constexpr uint16_t kChannelNumber = 3;
constexpr int32_t kChannelIndex = kChannelNumber - 1;  // what the lookups pass
constexpr int32_t kUntouched = 0x5A5A5A5A;
const StampBytes kExampleStamp = {0x06, 0x1A, 0x51, 0x8F, 0xB7, 0xE7};  // 1997-10-10 06:15:45.999
constexpr int32_t kExampleSeconds = 876464145;                          // the same in UTC

Bytes Append(Bytes bytes, const Bytes& more) {
    bytes.insert(bytes.end(), more.begin(), more.end());
    return bytes;
}
Bytes Big32(uint32_t value) {
    return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value)};
}
Bytes ChangeRecord(uint16_t address, uint32_t value) {
    return Append({static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)}, Big32(value));
}
Bytes StatusRecord(uint8_t first, uint8_t second, const StampBytes& stamp) {
    return Append({first, second}, Bytes(stamp.begin(), stamp.end()));
}
Bytes LoggedRecord(uint8_t first, uint8_t second, uint32_t value, const StampBytes& stamp) {
    return Append(Append({first, second}, Big32(value)), Bytes(stamp.begin(), stamp.end()));
}

// A fetch answer from the station to host 0: header, more flag, records.
Bytes FetchAnswer(uint8_t opcode, bool more, const Bytes& records, uint16_t station = kStation) {
    Bytes message = {0, 0x06, 0x00, 0x00, static_cast<uint8_t>(station >> 8), static_cast<uint8_t>(station), 0x01,
                     opcode, static_cast<uint8_t>(more ? 1 : 0)};
    message = Append(message, records);
    message[0] = static_cast<uint8_t>(message.size() - 1);
    return message;
}

class EventFetchTest : public FakeChannelTest {
protected:
    void SetUp() override {
        SetZone("UTC0");
        FakeChannelTest::SetUp();
        SetCurrentChannel(block.get());
        block->portHandle = HandleToField(fake::OpenPort("COM1"));
        block->clientId = 1;
        block->channelNumber = kChannelNumber;
        CrcInit();
        CrcBuildTable(table);
        fake::SetResponder([this](HANDLE, const Bytes& written) { Respond(written); });
        request.station = kStation;
        request.data = &dataWord;
    }

    // No gates, no faults, an empty log.
    void ResetStandIn() {
        log.reset();
        TavReset();
        log.reset(new LogCapture());
    }
    // Forgets the requests heard and the answers left, and marks the data
    // word untouched.
    void ForgetExchanges() {
        requests.clear();
        replies.clear();
        dataWord = kUntouched;
    }
    Bytes Frame(const Bytes& message) {
        uint8_t frame[kFrameBufferSize];
        return Bytes(frame, frame + EncodeFrameWith(table, message.data(), frame));
    }
    // The unit: keeps each request and answers it with the next scripted
    // frames (none once the script has run out).
    void Respond(const Bytes& written) {
        uint8_t message[kMessageBufferSize] = {};
        Bytes received;
        if (CheckFrameBlocks(table, written.data(), message)) received.assign(message, message + message[0] + 1);
        requests.push_back(received);
        const size_t index = requests.size() - 1;
        if (index < replies.size())
            for (const Bytes& reply : replies[index]) fake::QueueInput(Frame(reply));
    }
    void AnswerWith(std::vector<Bytes> messages) {
        for (const Bytes& message : messages) replies.push_back({message});
    }

    int32_t Gate(int32_t area, int32_t number, double scale = 0.5, double offset = 1.0) {
        return TavDefineGateAt(kChannelIndex, kStation, area, number, 255, scale, offset);
    }
    TavGateValue ValueOf(int32_t gate) {
        TavGateValue value{};
        EXPECT_EQ(0, TavReadGate(gate, &value));
        return value;
    }
    std::vector<std::string> Texts() { return log->Texts(); }

    uint16_t table[256];
    std::vector<std::vector<Bytes>> replies;  // per request, the messages sent back
    std::vector<Bytes> requests;
    int32_t dataWord = kUntouched;
    GateRequest request = {};
};

struct Kind {
    const char* name;
    FetchFunction fetch;
    uint8_t opcode;
};
const Kind kChanges = {"register changes", FetchRegisterChanges, 0};
const Kind kStatus = {"status events", FetchStatusEvents, 5};
const Kind kLogged = {"logged events", FetchLoggedEvents, 6};

TEST_F(EventFetchTest, EachKindsRecordsReachTheGateTheyName) {
    const struct {
        Kind kind;
        Bytes record;
        int32_t area, number;
        double value;  // gates cook raw * 0.5 + 1
        int32_t time, milliseconds;
    } cases[] = {
        // Register changes carry all 16 address bits, a signed value, no time.
        {kChanges, ChangeRecord(0xE510, 100000), AreaRegister, 0xE510, 50001.0, 0, 0},
        {kChanges, ChangeRecord(0x0001, 0xFFFFFFFA), AreaRegister, 1, -2.0, 0, 0},
        // Status events: bit 7 the state, 13 address bits, not cooked.
        {kStatus, StatusRecord(0xE5, 0x10, kExampleStamp), AreaStatus, 1296, 1.0, kExampleSeconds, 999},
        {kStatus, StatusRecord(0x65, 0x11, kExampleStamp), AreaStatus, 1297, 0.0, kExampleSeconds, 999},
        // Logged events: 12 address bits, cooked, time-stamped.
        {kLogged, LoggedRecord(0xF5, 0x10, 100000, kExampleStamp), AreaRegister, 1296, 50001.0, kExampleSeconds,
         999},
        {kLogged, LoggedRecord(0x00, 0x07, 4, Stamp(60, 6, 1, 0, 0, 0, 321)), AreaRegister, 7, 3.0, -1, 321},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind.name);
        ForgetExchanges();
        block->fcb = 0;
        const int32_t gate = Gate(c.area, c.number);
        // The same address on other channels must stay untouched.
        const int32_t otherChannel = TavDefineGateAt(kChannelIndex + 1, kStation, c.area, c.number, 255, 1, 0);
        const int32_t updatesBefore = ValueOf(gate).updates;
        AnswerWith({FetchAnswer(c.kind.opcode, false, c.record)});

        EXPECT_EQ(0, c.kind.fetch(&request));
        EXPECT_EQ(0, dataWord);
        ASSERT_EQ(1u, requests.size());
        EXPECT_EQ((Bytes{0x07, 0xDF, 0x00, 0x0C, 0x00, 0x00, 0x01, c.kind.opcode}), requests[0]);
        const TavGateValue value = ValueOf(gate);
        EXPECT_EQ(updatesBefore + 1, value.updates);
        EXPECT_EQ(c.value, value.value);
        EXPECT_EQ(c.time, value.time);
        EXPECT_EQ(c.milliseconds, value.milliseconds);
        EXPECT_EQ(2, value.mode);
        EXPECT_EQ(0, ValueOf(otherChannel).updates);
        EXPECT_EQ(0, block->fcb);  // one pass: no flip
    }
    EXPECT_TRUE(Texts().empty());
}

TEST_F(EventFetchTest, FullAnswersCarryAsManyRecordsAsFitAndLeftoversAreIgnored) {
    const struct {
        Kind kind;
        int area;
        size_t size, count;
        std::function<Bytes(uint16_t address)> record;
    } cases[] = {
        {kChanges, AreaRegister, 6, 41, [](uint16_t a) { return ChangeRecord(a, a); }},
        {kStatus, AreaStatus, 8, 30, [](uint16_t a) { return StatusRecord(0x80, static_cast<uint8_t>(a), kExampleStamp); }},
        {kLogged, AreaRegister, 12, 20,
         [](uint16_t a) { return LoggedRecord(0x00, static_cast<uint8_t>(a), a, kExampleStamp); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind.name);
        ResetStandIn();
        ForgetExchanges();
        Bytes records;
        for (uint16_t address = 1; address <= c.count; ++address) {
            Gate(c.area, address, 1.0, 0.0);
            records = Append(records, c.record(address));
        }
        // The bytes after the last whole record begin like one more record.
        const size_t leftover = 247 - c.size * c.count;
        const int32_t trap = Gate(c.area, 99, 1.0, 0.0);
        Bytes tail = c.record(99);
        tail.resize(leftover);
        records = Append(records, tail);
        const Bytes answer = FetchAnswer(c.kind.opcode, false, records);
        ASSERT_EQ(255, answer[0]);
        AnswerWith({answer});

        EXPECT_EQ(0, c.kind.fetch(&request));
        EXPECT_EQ(static_cast<int32_t>(c.count), TavGateWrites());
        EXPECT_EQ(1, ValueOf(TavFindGate(kChannelIndex, kStation, c.area, static_cast<int32_t>(c.count), 255)).updates);
        EXPECT_EQ(0, ValueOf(trap).updates);
        EXPECT_TRUE(Texts().empty());
    }
}

TEST_F(EventFetchTest, AnswersTooShortForARecordStoreNothing) {
    // A notice the unit slips in ahead of the answer leaves its longer bytes
    // in the answer buffer: a more flag of 1 and the start of a record.
    const Bytes notice = {0x0C, 0x53, 0x00, 0x00, 0x00, 0x0C, 0x01, 0x09, 0x01, 0x80, 0x05, 0x06, 0x1A};
    const struct {
        const char* name;
        std::vector<Bytes> frames;  // sent back to the one request
        int32_t result;
        size_t requests;
        int32_t data;
    } cases[] = {
        {"bare header, no more flag", {{0x07, 0x06, 0x00, 0x00, 0x00, 0x0C, 0x01, 0x05}}, 0, 1, 0},
        {"bare header after a longer notice", {notice, {0x07, 0x06, 0x00, 0x00, 0x00, 0x0C, 0x01, 0x05}}, 0, 1, 0},
        {"more flag clear, no records", {FetchAnswer(5, false, {})}, 0, 1, 0},
        {"seven record bytes", {FetchAnswer(5, false, {0x80, 0x05, 0x06, 0x1A, 0x51, 0x8F, 0xB7})}, 0, 1, 0},
        {"shorter than a header", {{0x06, 0x06, 0x00, 0x00, 0x00, 0x0C, 0x01}}, 1, 3, kUntouched},
    };
    Gate(AreaStatus, 5);
    Gate(AreaStatus, 1296);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ForgetExchanges();
        for (int i = 0; i < 3; ++i) replies.push_back(c.frames);
        EXPECT_EQ(c.result, FetchStatusEvents(&request));
        EXPECT_EQ(c.requests, requests.size());
        EXPECT_EQ(c.data, dataWord);
        EXPECT_EQ(0, TavGateWrites());
    }
}

TEST_F(EventFetchTest, MissingGateIsLoggedAndTheNextRecordStored) {
    const struct {
        Kind kind;
        Bytes records;  // addresses 1296 (no gate), then 1297
        int area;
        const char* message;
    } cases[] = {
        {kChanges, Append(ChangeRecord(1296, 1), ChangeRecord(1297, 2)), AreaRegister,
         "KivIN : Can not find gate R00121296"},
        {kStatus, Append(StatusRecord(0x85, 0x10, kExampleStamp), StatusRecord(0x85, 0x11, kExampleStamp)),
         AreaStatus, "KivIN : Can not find gate S00121296"},
        {kLogged, Append(LoggedRecord(0x05, 0x10, 1, kExampleStamp), LoggedRecord(0x05, 0x11, 2, kExampleStamp)),
         AreaRegister, "KivIN : Can not find gate R00121296"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind.name);
        ResetStandIn();
        ForgetExchanges();
        const int32_t present = Gate(c.area, 1297);
        AnswerWith({FetchAnswer(c.kind.opcode, false, c.records)});
        EXPECT_EQ(0, c.kind.fetch(&request));
        EXPECT_EQ(0, dataWord);
        EXPECT_EQ(1, ValueOf(present).updates);
        EXPECT_EQ(1, TavGateWrites());
        ASSERT_EQ(1u, log->Lines().size());
        EXPECT_EQ(c.message, log->Lines()[0].text);
        EXPECT_EQ(32, log->Lines()[0].level);
    }
}

TEST_F(EventFetchTest, CookAndWriteFailuresAreLoggedPerRecordAndDoNotFailTheFetch) {
    const struct {
        Kind kind;
        Bytes records;  // two records for address 1296
        int fault;
        std::vector<std::string> messages;
        int32_t writes;
    } cases[] = {
        {kChanges, Append(ChangeRecord(1296, 1), ChangeRecord(1296, 2)), TavFaultCook,
         {"KivIN : Fail to cook gate id 26", "KivIN : Fail to cook gate id 26"}, 0},
        {kLogged, Append(LoggedRecord(0x05, 0x10, 1, kExampleStamp), LoggedRecord(0x05, 0x10, 2, kExampleStamp)),
         TavFaultCook, {"KivIN : Can not cook gate R00121296", "KivIN : Can not cook gate R00121296"}, 0},
        // Status values are never cooked.
        {kStatus, Append(StatusRecord(0x85, 0x10, kExampleStamp), StatusRecord(0x05, 0x10, kExampleStamp)),
         TavFaultCook, {}, 2},
        {kChanges, Append(ChangeRecord(1296, 1), ChangeRecord(1296, 2)), TavFaultPut,
         {"KivIN : Write gate id 1a fail", "KivIN : Write gate id 1a fail"}, 0},
        {kStatus, Append(StatusRecord(0x85, 0x10, kExampleStamp), StatusRecord(0x05, 0x10, kExampleStamp)),
         TavFaultPut, {"KivIN : Write gate id 1a fail", "KivIN : Write gate id 1a fail"}, 0},
        {kLogged, Append(LoggedRecord(0x05, 0x10, 1, kExampleStamp), LoggedRecord(0x05, 0x10, 2, kExampleStamp)),
         TavFaultPut, {"KivIN : Write gate id 1a fail", "KivIN : Write gate id 1a fail"}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.kind.name) + (c.fault == TavFaultCook ? ", cook fails" : ", write fails"));
        ResetStandIn();
        ForgetExchanges();
        for (int number = 2000; number < 2025; ++number) Gate(AreaRegister, number);
        ASSERT_EQ(26, Gate(c.kind.opcode == 5 ? AreaStatus : AreaRegister, 1296));
        TavSetFault(c.fault, 1);
        AnswerWith({FetchAnswer(c.kind.opcode, false, c.records)});
        EXPECT_EQ(0, c.kind.fetch(&request));
        EXPECT_EQ(0, dataWord);
        EXPECT_EQ(c.writes, TavGateWrites());
        EXPECT_EQ(c.messages, Texts());
    }
}

TEST_F(EventFetchTest, MoreFlagRepeatsTheFetchWithTheToggleFlippedBetweenPasses) {
    const int32_t gates[] = {Gate(AreaStatus, 1), Gate(AreaStatus, 2), Gate(AreaStatus, 3), Gate(AreaStatus, 4)};
    AnswerWith({FetchAnswer(5, true, StatusRecord(0x80, 1, kExampleStamp)),
                FetchAnswer(5, true, StatusRecord(0x80, 2, kExampleStamp)),
                FetchAnswer(5, true, StatusRecord(0x80, 3, kExampleStamp)),
                FetchAnswer(5, false, StatusRecord(0x80, 4, kExampleStamp))});
    EXPECT_EQ(0, FetchStatusEvents(&request));
    EXPECT_EQ(0, dataWord);
    ASSERT_EQ(4u, requests.size());
    const uint8_t controls[] = {0xDF, 0xFF, 0xDF, 0xFF};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(controls[i], requests[i][1]) << "pass " << i;
        EXPECT_EQ(1, ValueOf(gates[i]).updates) << "pass " << i;
    }
    EXPECT_EQ(1, block->fcb);  // three flips, none after the last pass
}

// Impossible stamps are stored with time -1 and their milliseconds, and each
// fetch logs the first of them once, however many passes and records follow.
TEST_F(EventFetchTest, ImpossibleStampsGiveTimeMinusOneLoggedOncePerFetch) {
    const int32_t gates[] = {Gate(AreaStatus, 1), Gate(AreaStatus, 2), Gate(AreaStatus, 3)};
    const StampBytes month13 = Stamp(98, 13, 1, 0, 0, 0, 5), hour24 = Stamp(98, 1, 1, 24, 0, 0, 6);
    const std::string logged = "KivIN : Time stamp 1998-13-01 00:00:00 is no real time, stored with time -1";
    for (int fetch = 0; fetch < 2; ++fetch) {
        ForgetExchanges();
        log->Clear();
        AnswerWith({FetchAnswer(5, true, Append(StatusRecord(0x80, 1, month13), StatusRecord(0x80, 2, hour24))),
                    FetchAnswer(5, false, Append(StatusRecord(0x80, 3, month13), StatusRecord(0x80, 3, kExampleStamp)))});
        EXPECT_EQ(0, FetchStatusEvents(&request));
        EXPECT_EQ(std::vector<std::string>{logged}, Texts()) << "fetch " << fetch;
        EXPECT_EQ(-1, ValueOf(gates[0]).time);
        EXPECT_EQ(5, ValueOf(gates[0]).milliseconds);
        EXPECT_EQ(-1, ValueOf(gates[1]).time);
        EXPECT_EQ(6, ValueOf(gates[1]).milliseconds);
        EXPECT_EQ(kExampleSeconds, ValueOf(gates[2]).time);
    }
}

// How a fetch ends when the unit keeps saying "more": an answer of header
// and more flag alone (L = 8) still asks again; a stop request of the
// channel's listener ends it after the pass; a unit stuck with the flag set
// is left after the bound, logged once, with the line given back.
TEST_F(EventFetchTest, MoreFlagPassesEndWithTheUnitAStopOrTheBound) {
    ASSERT_EQ(8, FetchAnswer(5, true, {})[0]);
    AnswerWith({FetchAnswer(5, true, {}), FetchAnswer(5, false, {})});
    EXPECT_EQ(0, FetchStatusEvents(&request));
    EXPECT_EQ(2u, requests.size());
    EXPECT_EQ(0, dataWord);

    ChannelState* state = ClaimChannelState(block.get());
    ASSERT_NE(nullptr, state);
    state->stopRequested = 1;
    ForgetExchanges();
    AnswerWith({FetchAnswer(5, true, {}), FetchAnswer(5, false, {})});
    FetchStatusEvents(&request);
    EXPECT_EQ(1u, requests.size());
    ReleaseChannelState(state);

    ForgetExchanges();
    for (int pass = 0; pass < 1100; ++pass) AnswerWith({FetchAnswer(0, true, {})});
    EXPECT_EQ(1, FetchRegisterChanges(&request));
    EXPECT_EQ(1000u, requests.size());
    EXPECT_EQ(kUntouched, dataWord);
    EXPECT_EQ(std::vector<std::string>{"KivIN : Station 12 still has more events after 1000 passes, fetch stopped"},
              Texts());
}

TEST_F(EventFetchTest, FailedExchangeEndsTheFetchWithItsCodeAndKeepsEarlierRecords) {
    const struct {
        const char* name;
        std::vector<Bytes> second;  // what the unit sends to each try of the second pass
        int32_t result;
    } cases[] = {
        {"unit falls silent", {}, 2},
        {"answer from another station", {FetchAnswer(5, false, {}, 13)}, 1},
        {"answer with another opcode", {FetchAnswer(0, false, {})}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetStandIn();
        ForgetExchanges();
        block->fcb = 0;
        const int32_t gate = Gate(AreaStatus, 1);
        replies.push_back({FetchAnswer(5, true, StatusRecord(0x80, 1, kExampleStamp))});
        for (int i = 0; i < 3; ++i) replies.push_back(c.second);
        EXPECT_EQ(c.result, FetchStatusEvents(&request));
        EXPECT_EQ(kUntouched, dataWord);
        EXPECT_EQ(1, ValueOf(gate).updates);
        ASSERT_EQ(4u, requests.size());  // one pass, then three tries of the same bytes
        EXPECT_EQ(requests[1], requests[2]);
        EXPECT_EQ(requests[1], requests[3]);
        EXPECT_EQ(0xFF, requests[1][1]);
        EXPECT_EQ(1, block->fcb);
    }
}

TEST_F(EventFetchTest, WithoutADataWordTheEventsStillReachTheGates) {
    const int32_t gate = Gate(AreaRegister, 7);
    AnswerWith({FetchAnswer(0, false, ChangeRecord(7, 8))});
    request.data = nullptr;
    EXPECT_EQ(0, FetchRegisterChanges(&request));
    EXPECT_EQ(5.0, ValueOf(gate).value);
    EXPECT_EQ(1, FetchRegisterChanges(nullptr));
    EXPECT_EQ(1u, requests.size());
}

// The latch is process-wide and never cleared: these run in a child.
class EventFetchDeathTest : public EventFetchTest {
protected:
    // Sets the latch once the host has taken latchAfter gate writes.
    void LatchAfterWrites(int32_t latchAfter) {
        latchAt = latchAfter;
        TavSetGateCallback(
            [](int32_t, const TavGateValue*, void* context) {
                if (TavGateWrites() == *static_cast<int32_t*>(context)) SetShutdownLatch();
            },
            &latchAt);
    }
    // Runs a status fetch of one answer with five records and the more flag
    // set; exits 0 when the expected records and passes were seen.
    void FetchUntilLatched(int32_t latchAfter) {
        for (int number = 1; number <= 5; ++number) Gate(AreaStatus, number);
        Bytes records;
        for (uint8_t number = 1; number <= 5; ++number)
            records = Append(records, StatusRecord(0x80, number, kExampleStamp));
        AnswerWith({FetchAnswer(5, true, records), FetchAnswer(5, false, StatusRecord(0x80, 1, kExampleStamp))});
        LatchAfterWrites(latchAfter);
        const int32_t result = FetchStatusEvents(&request);
        bool ok = result == 0 && dataWord == 0 && TavGateWrites() == latchAfter && requests.size() == 1 &&
                  block->fcb == 0;
        if (!ok)
            std::fprintf(stderr, "result %d data %d writes %d requests %zu fcb %d\n", result, dataWord,
                         TavGateWrites(), requests.size(), block->fcb);
        std::exit(ok ? 0 : 1);
    }
    int32_t latchAt = 0;
};

TEST_F(EventFetchDeathTest, LatchStopsTheRecordsOfAnAnswerAndEveryFurtherPass) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(FetchUntilLatched(2), ::testing::ExitedWithCode(0), "");
}

TEST_F(EventFetchDeathTest, LatchAfterTheLastRecordStopsTheNextPass) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(FetchUntilLatched(5), ::testing::ExitedWithCode(0), "");
}

}  // namespace
