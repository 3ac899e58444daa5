// A simulated unit's answers, without the line: byte for byte per opcode,
// fetch paging, retries and the refusal of malformed requests.
#include <gtest/gtest.h>

#include "tests/sim/sim_client.h"
#include "tools/kivsim/station.h"

namespace {

using kivsim::EventKind;
using kivsim::Outcome;
using kivsim::Station;
using simtest::Bytes;
using simtest::Request;

constexpr int64_t kPc = 1700000000000;  // a fixed PC clock, ms

Outcome Ask(Station& unit, const Bytes& request, bool strict = true) {
    return unit.Handle(request.data(), kPc, strict);
}

TEST(StationAnswers, ReadGivesThreeEchoBytesThenValuesHighFirst) {
    Station unit(12, 0);
    unit.SetRegister(300, 100000);
    Outcome o = Ask(unit, Request(12, 0, 1, {0x01, 0x2C, 0x01}));
    ASSERT_EQ(o.kind, Outcome::Answer);
    EXPECT_EQ(o.message,
              (Bytes{0x0E, 0x06, 0x00, 0x00, 0x00, 0x0C, 0x01, 0x01, 0x01, 0x2C, 0x01, 0x00, 0x01, 0x86, 0xA0}));
}

TEST(StationAnswers, ReadCountsAndWrapAround) {
    Station unit(5, 0);
    unit.SetRegister(65535, 0xDEADBEEF);
    unit.SetRegister(0, 7);
    struct Case {
        uint16_t first;
        uint8_t count;
        uint8_t length;  // of the answer
    };
    const Case cases[] = {{10, 0, 10}, {65535, 2, 18}, {0, 61, 254}, {0, 62, 254}, {0, 255, 254}};
    for (const Case& c : cases) {
        Outcome o = Ask(unit, Request(5, 0, 1, {uint8_t(c.first >> 8), uint8_t(c.first), c.count}));
        ASSERT_EQ(o.kind, Outcome::Answer);
        EXPECT_EQ(o.message[0], c.length) << c.first << "/" << int(c.count);
        EXPECT_EQ(o.message.size(), size_t(c.length) + 1);
    }
    Outcome wrap = Ask(unit, Request(5, 0, 1, {0xFF, 0xFF, 2}));
    EXPECT_EQ(Bytes(wrap.message.begin() + 11, wrap.message.end()), (Bytes{0xDE, 0xAD, 0xBE, 0xEF, 0, 0, 0, 7}));
}

TEST(StationAnswers, WritesChangeRegistersAndGetBareHeaders) {
    Station unit(12, 0);
    Outcome o =
        Ask(unit, Request(12, 0, 3, {0, 10, 0, 0, 0, 1, 0, 11, 0xFF, 0xFF, 0xFF, 0xFE, 0, 12, 0x12, 0x34, 0x56, 0x78}));
    ASSERT_EQ(o.kind, Outcome::Answer);
    EXPECT_EQ(o.message, (Bytes{0x07, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x01, 0x03}));
    EXPECT_EQ(unit.RegisterValue(10), 1u);
    EXPECT_EQ(unit.RegisterValue(11), 0xFFFFFFFEu);
    EXPECT_EQ(unit.RegisterValue(12), 0x12345678u);

    struct BitCase {
        uint8_t bitByte;
        uint32_t before;
        uint32_t after;
    };
    const BitCase bits[] = {
        {0x83, 0x00000000, 0x00000008}, {0x03, 0xFFFFFFFF, 0xFFFFFFF7}, {0x9F, 0x00000001, 0x80000001},
        {0x00, 0x00000003, 0x00000002}, {0xA8, 0x00000000, 0x00000000},  // bit 40 does not exist
    };
    for (const BitCase& c : bits) {
        unit.SetRegister(7, c.before);
        Outcome bit = Ask(unit, Request(12, 0, 4, {0x00, 0x07, c.bitByte}));
        ASSERT_EQ(bit.kind, Outcome::Answer);
        EXPECT_EQ(bit.message, (Bytes{0x07, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x01, 0x04}));
        EXPECT_EQ(unit.RegisterValue(7), c.after) << std::hex << int(c.bitByte);
    }
}

TEST(StationAnswers, ClockRequestSetsTheUnitsClock) {
    Station unit(3, 0);
    unit.SetClockWanted(true);
    Outcome o = Ask(unit, Request(3, 0, 7, {126, 3, 1, 1, 14, 5, 9, 0x00, 0xFA}));
    ASSERT_EQ(o.kind, Outcome::Answer);
    EXPECT_EQ(o.message, (Bytes{0x07, 0x00, 0x00, 0x00, 0x00, 0x03, 0x01, 0x07}));
    EXPECT_FALSE(unit.ClockWanted());
    kivsim::CalendarTime t = kivsim::LocalCalendar(unit.ClockMs(kPc));
    EXPECT_EQ(simtest::FieldsOf(t), (std::vector<int>{2026, 3, 1, 14, 5, 9, 250}));
    // Event stamps come from that clock: 1.5 s later on the PC.
    unit.QueueStatusEvent(9, true, kPc + 1500);
    Outcome fetch = Ask(unit, Request(3, 0, 5));
    ASSERT_EQ(fetch.message.size(), 9u + 8u);
    EXPECT_EQ(Bytes(fetch.message.begin() + 11, fetch.message.end()), (Bytes{0x07, 0xE3, 0x0B, 0x85, 0x2A, 0xEE}));
}

TEST(StationAnswers, LinkResetAnswerCarriesTheDirectionRule) {
    struct Case {
        uint16_t station;
        uint16_t host;
        Bytes answer;
    };
    const Case cases[] = {
        {5, 0, {0x07, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00}},
        {5, 10, {0x07, 0x80, 0x00, 0x0A, 0x00, 0x05, 0x00, 0x00}},
        {300, 300, {0x07, 0x80, 0x01, 0x2C, 0x01, 0x2C, 0x00, 0x00}},
    };
    for (const Case& c : cases) {
        Station unit(c.station, c.host);
        Outcome o = Ask(unit, simtest::LinkReset(c.station, c.host));
        ASSERT_EQ(o.kind, Outcome::Answer);
        EXPECT_TRUE(o.linkReset);
        EXPECT_EQ(o.message, c.answer) << c.station << "/" << c.host;
    }
}

TEST(StationAnswers, FetchPagesAsManyRecordsAsFitWithTheMoreFlag) {
    struct Case {
        uint8_t opcode;
        EventKind kind;
        int perAnswer;
        int size;
    };
    const Case cases[] = {
        {0, EventKind::RegisterChange, 41, 6}, {5, EventKind::StatusEvent, 30, 8}, {6, EventKind::LoggedEvent, 20, 12}};
    for (const Case& c : cases) {
        Station unit(7, 0);
        const int total = 2 * c.perAnswer + 1;
        for (int k = 0; k < total; ++k) {
            if (c.kind == EventKind::RegisterChange) unit.QueueRegisterChange(uint16_t(k), uint32_t(k));
            if (c.kind == EventKind::StatusEvent) unit.QueueStatusEvent(uint16_t(k), true, kPc);
            if (c.kind == EventKind::LoggedEvent) unit.QueueLoggedEvent(uint16_t(k), uint32_t(k), kPc);
        }
        const int expected[][2] = {{c.perAnswer, 1}, {c.perAnswer, 1}, {1, 0}, {0, 0}};
        bool fcb = false;
        for (const auto& page : expected) {
            Outcome o = Ask(unit, Request(7, 0, c.opcode, {}, fcb));
            fcb = !fcb;
            ASSERT_EQ(o.kind, Outcome::Answer);
            EXPECT_TRUE(o.fetch);
            EXPECT_EQ(o.message[1], 0x06);
            EXPECT_EQ(o.message[0], 8 + page[0] * c.size) << int(c.opcode);
            EXPECT_LE(o.message[0], 255);
            EXPECT_EQ(o.message[8], page[1]) << int(c.opcode);
            kivsim::EventKind kind;
            EXPECT_EQ(unit.TakeDeliveredRecords(&kind), page[0]);
            EXPECT_EQ(unit.TakeDeliveredRecords(&kind), 0) << "counted once";
        }
        EXPECT_EQ(unit.eventsSent[int(c.kind)], uint64_t(total));
    }
}

TEST(StationAnswers, RecordLayouts) {
    kivsim::StatusEvent status{0x0510, true, {1, 2, 3, 4, 5, 6}};
    kivsim::LoggedEvent logged{0x0510, 0xFFFFFFFF, {6, 5, 4, 3, 2, 1}};
    Station fresh(1, 0);
    EXPECT_FALSE(fresh.QueueLoggedEvent(4096, 1, kPc)) << "logged events carry 12-bit addresses";
    fresh.QueueRegisterChange(0x1234, 0x89ABCDEF);
    fresh.QueueStatusEventStamped(status);
    fresh.QueueLoggedEventStamped(logged);
    Outcome changes = Ask(fresh, Request(1, 0, 0));
    EXPECT_EQ(Bytes(changes.message.begin() + 8, changes.message.end()),
              (Bytes{0, 0x12, 0x34, 0x89, 0xAB, 0xCD, 0xEF}));
    Outcome statuses = Ask(fresh, Request(1, 0, 5));
    EXPECT_EQ(Bytes(statuses.message.begin() + 8, statuses.message.end()), (Bytes{0, 0x85, 0x10, 1, 2, 3, 4, 5, 6}));
    Outcome logs = Ask(fresh, Request(1, 0, 6));
    EXPECT_EQ(Bytes(logs.message.begin() + 8, logs.message.end()),
              (Bytes{0, 0x05, 0x10, 0xFF, 0xFF, 0xFF, 0xFF, 6, 5, 4, 3, 2, 1}));
}

TEST(StationAnswers, RetryOfAFetchGetsTheSameRecords) {
    Station unit(7, 0);
    for (int k = 0; k < 50; ++k) unit.QueueRegisterChange(uint16_t(k), uint32_t(k));
    Outcome first = Ask(unit, Request(7, 0, 0, {}, false));
    Outcome retry = Ask(unit, Request(7, 0, 0, {}, false));
    EXPECT_TRUE(retry.repeated);
    EXPECT_EQ(retry.message, first.message);
    EXPECT_EQ(unit.Pending(EventKind::RegisterChange), 9u);
    // A new request (the FCB flipped) takes the next records.
    Outcome next = Ask(unit, Request(7, 0, 0, {}, true));
    EXPECT_FALSE(next.repeated);
    EXPECT_EQ(next.message[0], 8 + 9 * 6);
    EXPECT_EQ(next.message[9], 0);
    EXPECT_EQ(next.message[10], 41);  // address of the 42nd record
    // After traffic to another station, the same bytes are a new request.
    Ask(unit, Request(7, 0, 0, {}, false));
    unit.ForgetLastRequest();
    EXPECT_FALSE(Ask(unit, Request(7, 0, 0, {}, false)).repeated);
}

TEST(StationAnswers, StrictRefusesWrongControlBytesLenientAnswers) {
    struct Case {
        const char* what;
        Bytes request;
        bool lenientAnswers;
    };
    Bytes wrongFunction = Request(5, 0, 1, {0, 1, 1});
    wrongFunction[1] = uint8_t((wrongFunction[1] & 0xF0) | 3);
    Bytes noPrm = Request(5, 0, 0);
    noPrm[1] &= uint8_t(~0x40);
    Bytes noFcv = Request(5, 0, 3, {0, 1, 0, 0, 0, 1});
    noFcv[1] &= uint8_t(~0x10);
    Bytes wrongDir = Request(5, 0, 5);
    wrongDir[1] &= uint8_t(~0x80);
    Bytes resetWithFcv = simtest::LinkReset(5, 0);
    resetWithFcv[1] |= 0x10;
    Bytes unknownOpcode = Request(5, 0, 2);
    Bytes unknownSet = Request(5, 0, 1, {0, 1, 1});
    unknownSet[6] = 2;
    Bytes shortRead = Request(5, 0, 1, {0, 1});
    Bytes shortClock = Request(5, 0, 7, {126, 1, 1, 1, 0, 0});
    const Case cases[] = {
        {"wrong function", wrongFunction, true},
        {"no PRM", noPrm, true},
        {"no FCV", noFcv, true},
        {"wrong DIR", wrongDir, true},
        {"reset with FCV", resetWithFcv, true},
        {"opcode 2", unknownOpcode, false},
        {"set 2", unknownSet, false},
        {"short read", shortRead, false},
        {"short clock", shortClock, false},
    };
    for (const Case& c : cases) {
        Station strict(5, 0);
        Outcome refused = Ask(strict, c.request, true);
        EXPECT_EQ(refused.kind, Outcome::Refused) << c.what;
        EXPECT_FALSE(refused.note.empty()) << c.what;
        Station lenient(5, 0);
        EXPECT_EQ(Ask(lenient, c.request, false).kind == Outcome::Answer, c.lenientAnswers) << c.what;
    }
}

TEST(StationAnswers, AcknowledgementMustEchoTheNoticeClass) {
    Station unit(12, 0);
    unit.noticeOutstanding = true;
    unit.noticeClass = 0x0B;
    Outcome wrong = Ask(unit, simtest::NoticeAck(12, 0, 0x03));
    EXPECT_TRUE(wrong.acknowledgement);
    EXPECT_FALSE(wrong.ackMatched);
    EXPECT_TRUE(unit.noticeOutstanding);
    Outcome right = Ask(unit, simtest::NoticeAck(12, 0, 0x0B));
    EXPECT_EQ(right.kind, Outcome::Ignored) << "an acknowledgement gets no answer";
    EXPECT_TRUE(right.ackMatched);
    EXPECT_FALSE(unit.noticeOutstanding);
}

TEST(StationAnswers, WaitingClassesFollowTheQueues) {
    Station unit(1, 0);
    EXPECT_EQ(unit.WaitingClasses(), 0);
    unit.QueueStatusEvent(1, true, kPc);
    unit.QueueLoggedEvent(1, 1, kPc);
    EXPECT_EQ(unit.WaitingClasses(), kivsim::ClassStatus | kivsim::ClassLogged);
    unit.SetClockWanted(true);
    unit.QueueRegisterChange(1, 1);
    EXPECT_EQ(unit.WaitingClasses(), 0x0F);
    unit.ClearEvents();
    EXPECT_EQ(unit.WaitingClasses(), kivsim::ClassClock);
}

}  // namespace
