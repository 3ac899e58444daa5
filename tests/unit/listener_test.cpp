// The report-by-exception listener against a unit scripted on the fake port:
// what each unsolicited frame brings about on the line, in the gates and in
// the log, the busy flag shared with host calls, and the end of the thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/channel_block.h"
#include "driver/commands.h"
#include "exception/listener.h"
#include "host/tavrik.h"
#include "link/exchange.h"
#include "link/frame_io.h"
#include "tests/support/child_checks.h"
#include "tests/support/fake_channel.h"
#include "tests/support/fake_platform.h"
#include "tests/support/log_capture.h"
#include "tests/support/scripted_unit.h"
#include "tests/support/wait_until.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kChannelNumber = 3;
constexpr int32_t kChannelIndex = kChannelNumber - 1;
const char kStart[] = "KivIN : Start Report-By-Exception Thread";
const char kShutdown[] = "KivIN : ShutDown Report By Excption thread";
const char kBusy[] = "KivIN : The Report-By-Exception thread is busy";

uint8_t High(uint16_t value) { return static_cast<uint8_t>(value >> 8); }
uint8_t Low(uint16_t value) { return static_cast<uint8_t>(value & 0xFF); }

// What units send unasked (to host 0 unless told otherwise).
Bytes Notice(uint16_t station, uint8_t eventClass, uint16_t host = 0) {
    return {0x09, 0x53, High(host), Low(host), High(station), Low(station), 0x01, 0x09, 0x00, eventClass};
}
Bytes UnitLinkReset(uint16_t station) { return {0x07, 0x40, 0x00, 0x00, High(station), Low(station), 0x00, 0x00}; }

// A status event record for a point, state 1, with a fixed time stamp.
Bytes StatusRecord(uint8_t point) { return {0x80, point, 0x06, 0x1A, 0x51, 0x8F, 0xB7, 0xE7}; }
Bytes ChangeRecord(uint8_t number, uint8_t value) { return {0x00, number, 0x00, 0x00, 0x00, value}; }

class ListenerTest : public FakeChannelTest {
protected:
    void Fresh() override {
        FakeChannelTest::Fresh();
        block->portHandle = HandleToField(fake::OpenPort("COM1"));
        block->channelNumber = kChannelNumber;
        block->exceptionEnabled = 1;
        block->clientId = 1;
        SetCurrentChannel(block.get());
        CrcInit();
        fake::SetResponder([this](HANDLE port, const Bytes& written) { unit.Hear(port, written); });
    }

    Bytes Frame(const Bytes& message) {
        uint8_t frame[kFrameBufferSize];
        return Bytes(frame, frame + EncodeFrameWith(unit.table, message.data(), frame));
    }
    void Arrive(const Bytes& message) { fake::QueueInput(Frame(message)); }

    // Every message the driver wrote.
    std::vector<Bytes> Written() {
        auto lock = unit.Lock();
        return unit.requests;
    }
    int32_t Gate(int32_t area, int32_t station, int32_t number) {
        return TavDefineGateAt(kChannelIndex, station, area, number, 255, 1.0, 0.0);
    }
    int32_t Updates(int32_t gate) {
        TavGateValue value{};
        TavReadGate(gate, &value);
        return value.updates;
    }
    void SetHostAddress(uint16_t address) {
        block->hostAddress[0] = High(address);
        block->hostAddress[1] = Low(address);
    }

    ScriptedUnit unit;
};

Bytes Header(const Bytes& message) { return Bytes(message.begin(), message.begin() + HeaderSize); }

TEST_F(ListenerTest, NoticeIsAcknowledgedThenItsClassesFetchedInOrder) {
    const int32_t point = Gate(AreaStatus, 12, 1);
    const int32_t reg = Gate(AreaRegister, 12, 2);
    unit.status.push_back(StatusRecord(1));
    unit.changes.push_back(ChangeRecord(2, 40));
    Arrive(Notice(12, 0x0B));
    HandleUnsolicitedFrame(block.get());

    const std::vector<Bytes> written = Written();
    ASSERT_EQ(4u, written.size());
    EXPECT_EQ((Bytes{0x09, 0x80, 0x00, 0x0C, 0x00, 0x00, 0x01, 0x09, 0x00, 0x0B}), written[0]);
    // One flip after the acknowledgement, none between the actions.
    EXPECT_EQ((Bytes{0x07, 0xFF, 0x00, 0x0C, 0x00, 0x00, 0x01, 0x05}), written[1]);
    EXPECT_EQ((Bytes{0x07, 0xFF, 0x00, 0x0C, 0x00, 0x00, 0x01, 0x00}), written[2]);
    EXPECT_EQ((Bytes{0x10, 0xF3, 0x00, 0x0C, 0x00, 0x00, 0x01, 0x07}), Header(written[3]));
    EXPECT_EQ(1, block->fcb);
    EXPECT_EQ(1, Updates(point));
    EXPECT_EQ(1, Updates(reg));
    EXPECT_TRUE(log->Texts().empty());
}

TEST_F(ListenerTest, EventClassesDecideWhatFollowsTheAcknowledgement) {
    const struct {
        const char* name;
        uint16_t host, station;
        uint8_t eventClass;
        std::vector<Bytes> headers;  // after the acknowledgement
        std::vector<std::string> log;
    } cases[] = {
        {"nothing announced", 0, 12, 0x00, {}, {}},
        {"undefined bit after the fetches", 0, 12, 0x13,
         {{0x07, 0xFF, 0x00, 0x0C, 0x00, 0x00, 0x01, 0x05}, {0x07, 0xFF, 0x00, 0x0C, 0x00, 0x00, 0x01, 0x00}},
         {"KivIN : Can not find gate S00120001", "KivIN : Illegal Exception Event (19)"}},
        {"only undefined bits", 0, 12, 0xF0, {}, {"KivIN : Illegal Exception Event (240)"}},
        {"logged events below our address", 10, 9, 0x04,
         {{0x07, 0x7F, 0x00, 0x09, 0x00, 0x0A, 0x01, 0x06}}, {}},
        {"clock alone", 0, 7, 0x08, {{0x10, 0xF3, 0x00, 0x07, 0x00, 0x00, 0x01, 0x07}}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log->Clear();
        unit.requests.clear();
        block->fcb = 0;
        SetHostAddress(c.host);
        unit.status = {StatusRecord(1)};  // a point without a gate
        Arrive(Notice(c.station, c.eventClass, c.host));
        HandleUnsolicitedFrame(block.get());

        const std::vector<Bytes> written = Written();
        ASSERT_EQ(1 + c.headers.size(), written.size());
        const uint8_t dir = c.station >= c.host ? 0x80 : 0x00;
        EXPECT_EQ((Bytes{0x09, dir, 0x00, Low(c.station), 0x00, Low(c.host), 0x01, 0x09, 0x00, c.eventClass}),
                  written[0]);
        for (size_t i = 0; i < c.headers.size(); ++i) EXPECT_EQ(c.headers[i], Header(written[1 + i]));
        EXPECT_EQ(1, block->fcb);
        EXPECT_EQ(c.log, log->Texts());
    }
}

TEST_F(ListenerTest, FailedFetchDoesNotStopTheNextAction) {
    const int32_t reg = Gate(AreaRegister, 12, 2);
    unit.onRequest = [](const Bytes& request) { return request[HeaderOpcode] != 5; };
    unit.changes.push_back(ChangeRecord(2, 40));
    Arrive(Notice(12, 0x03));
    HandleUnsolicitedFrame(block.get());
    const std::vector<Bytes> written = Written();
    ASSERT_EQ(5u, written.size());  // acknowledgement, three tries, register changes
    for (size_t i = 1; i <= 3; ++i) EXPECT_EQ(5, written[i][HeaderOpcode]);
    EXPECT_EQ((Bytes{0x07, 0xFF, 0x00, 0x0C, 0x00, 0x00, 0x01, 0x00}), written[4]);
    EXPECT_EQ(1, Updates(reg));
}

TEST_F(ListenerTest, UnitsLinkResetIsAnsweredOnceAndChangesNoLinkState) {
    block->fcb = 1;
    Arrive(UnitLinkReset(7));
    HandleUnsolicitedFrame(block.get());
    const std::vector<Bytes> written = Written();
    ASSERT_EQ(1u, written.size());
    EXPECT_EQ((Bytes{0x07, 0x80, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00}), written[0]);
    EXPECT_EQ(1, block->fcb);
    EXPECT_EQ(0, block->linkReset[7]);
    ASSERT_EQ(1u, log->Lines().size());
    EXPECT_EQ("KivIN : Info, Reset Link msg", log->Lines()[0].text);
    EXPECT_EQ(8, log->Lines()[0].level);
}

TEST_F(ListenerTest, FramesThatAreNotForUsOrNotUnderstoodAreLoggedAndUnanswered) {
    const struct {
        const char* name;
        Bytes message;
        const char* text;  // the last log line
    } cases[] = {
        {"notice for another host", Notice(12, 0x01, 5), "KivIN : Got msg for Host 5 - ignor it"},
        {"destination high byte", Notice(12, 0x01, 0x0100), "KivIN : Got msg for Host 256 - ignor it"},
        {"register read", {0x0A, 0x5F, 0x00, 0x00, 0x00, 0x0C, 0x01, 0x01, 0x01, 0x2C, 0x01},
         "KivIN : Got Illegal Exception msg Set=1, OpCode=1"},
        {"notice with function code 4", {0x09, 0x54, 0x00, 0x00, 0x00, 0x0C, 0x01, 0x09, 0x00, 0x01},
         "KivIN : Got Illegal Exception msg Set=1, OpCode=9"},
        {"link reset in set 1", {0x07, 0x40, 0x00, 0x00, 0x00, 0x0C, 0x01, 0x00},
         "KivIN : Got Illegal Exception msg Set=1, OpCode=0"},
        // No event-class byte: never read past the message's end.
        {"notice without its class byte", {0x08, 0x53, 0x00, 0x00, 0x00, 0x0C, 0x01, 0x09, 0x00},
         "KivIN : Got Illegal Exception msg Set=1, OpCode=9"},
        {"shorter than a header", {0x05, 0x53, 0x00, 0x00, 0x00, 0x0C}, "KivIN : Unknowen Exception msg"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log->Clear();
        Arrive(c.message);
        HandleUnsolicitedFrame(block.get());
        EXPECT_TRUE(Written().empty());
        EXPECT_EQ(0, block->fcb);
        ASSERT_FALSE(log->Lines().empty());
        EXPECT_EQ(c.text, log->Lines().back().text);
        EXPECT_EQ(32, log->Lines().back().level);
    }

    log->Clear();
    Bytes broken = Frame(Notice(12, 0x01));
    broken.back() ^= 0x01;
    fake::QueueInput(broken);
    HandleUnsolicitedFrame(block.get());
    EXPECT_TRUE(Written().empty());
    ASSERT_LE(2u, log->Lines().size());  // the receiver's own message first
    EXPECT_EQ("KivIN : Unknowen Exception msg", log->Lines().back().text);
}

// A notice behind stray bytes (a squelch tail, a key-up burst) is found and
// answered whatever their count; noise alone is logged once per wake-up.
TEST_F(ListenerTest, NoticeBehindStrayBytesIsSeen) {
    const struct {
        size_t stray;
        bool notice;
        std::vector<std::string> log;
    } cases[] = {
        {1, true, {"KivIN : RX Skipped 1 bytes before Header"}},
        {2, true, {"KivIN : RX Skipped 2 bytes before Header"}},
        {4, true, {"KivIN : RX Skipped 4 bytes before Header"}},
        {5, true, {"KivIN : RX Skipped 5 bytes before Header"}},
        {40, false, {"KivIN : RX Failed on Header HI", "KivIN : Unknowen Exception msg"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stray);
        Fresh();
        unit.requests.clear();
        Bytes bytes;
        for (size_t i = 0; i < c.stray; ++i) bytes.push_back(static_cast<uint8_t>(0xF0 + i % 7));
        if (c.notice) {
            const Bytes frame = Frame(Notice(12, 0x01));
            bytes.insert(bytes.end(), frame.begin(), frame.end());
        }
        fake::QueueInput(bytes);
        HandleUnsolicitedFrame(block.get());
        const std::vector<Bytes> written = Written();
        ASSERT_EQ(c.notice ? 2u : 0u, written.size());  // acknowledgement, then the status fetch
        if (c.notice) {
            EXPECT_EQ(OpcodeExceptionNotice, written[0][HeaderOpcode]);
        }
        EXPECT_EQ(c.log, log->Texts());
        EXPECT_EQ(0u, fake::PendingInput());
    }
}

TEST_F(ListenerTest, OneFrameIsReadPerCall) {
    Arrive(Notice(12, 0x01, 5));
    Arrive(UnitLinkReset(7));
    HandleUnsolicitedFrame(block.get());
    EXPECT_EQ(std::vector<std::string>{"KivIN : Got msg for Host 5 - ignor it"}, log->Texts());
    EXPECT_LT(0u, fake::PendingInput());
    HandleUnsolicitedFrame(block.get());
    EXPECT_EQ(1u, Written().size());
    EXPECT_EQ(0u, fake::PendingInput());
}

// ListenerThread ends only by setting the process-wide latch, so every test
// of the thread runs in a child process.
class ListenerDeathTest : public ListenerTest {
protected:
    void SetUp() override {
        ListenerTest::SetUp();
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
    // Registers the channel's host client as Open does.
    void RegisterClient() { Tav5MkClient("INTROL_No_03", 1, 0, &block->clientId); }

    void StopAtFirstWait() {
        ChildChecks check;
        RegisterClient();
        TavStopWaits();
        ListenerThread(block.get());
        check(log->Texts() == std::vector<std::string>{kStart, kShutdown}, "start and shutdown logged, nothing else");
        check(fake::Now() == 5000, "4 s start pause, 1 s before removing the client");
        check(ShutdownLatchIsSet() != 0, "latch set");
        check(TavClientCount() == 0, "client removed");
        check(fake::CallCount(fake::Fn::ClearCommError) == 0, "port untouched");
        // From now on the driver does nothing for any channel.
        ChannelBlock other{};
        int32_t data = 77;
        GateRequest read{0, 0, 12, AreaRegister, 300, 255, 32, 0, 1, 0, &data};
        CallRecord call{&other, CommandRead, 4, 0, &read};
        check(KivMain(&call) == 2 && data == 77, "a read is refused and stores nothing");
        check(fake::CallCount(fake::Fn::WriteFile) == 0, "nothing sent");
        check.Exit();
    }

    void HandleANoticeThenStop() {
        ChildChecks check;
        RegisterClient();
        TavSetWaitTick(2);
        const int32_t point = Gate(AreaStatus, 12, 1);
        unit.status.push_back(StatusRecord(1));
        Arrive(Notice(12, 0x01));
        std::thread listener(ListenerThread, block.get());
        check(WaitUntil([&] { return Updates(point) == 1; }), "status event stored");
        TavStopWaits();
        listener.join();
        const std::vector<Bytes> written = Written();
        check(written.size() == 2 && written[0][HeaderOpcode] == 9 && written[1][HeaderOpcode] == 5,
              "acknowledgement, then the status fetch");
        check(block->busy == 0, "line freed");
        const std::vector<std::string> texts = log->Texts();
        check(!texts.empty() && texts.front() == kStart && texts.back() == kShutdown, "start and shutdown logged");
        check(ShutdownLatchIsSet() != 0 && TavClientCount() == 0, "latch set, client removed");
        check.Exit();
    }

    // The listener holds the line through a fetch the unit is slow to answer.
    void HostReadGivesUpDuringALongFetch() {
        ChildChecks check;
        RegisterClient();
        TavSetWaitTick(2);
        const int32_t point = Gate(AreaStatus, 12, 1);
        unit.status.push_back(StatusRecord(1));
        std::mutex gateMutex;
        std::condition_variable changed;
        bool fetching = false, hostDone = false;
        unit.onRequest = [&](const Bytes& request) {
            if (request[HeaderOpcode] != 5) return true;
            std::unique_lock<std::mutex> lock(gateMutex);
            fetching = true;
            changed.notify_all();
            changed.wait(lock, [&] { return hostDone; });
            return true;
        };
        Arrive(Notice(12, 0x01));
        std::thread listener(ListenerThread, block.get());
        {
            std::unique_lock<std::mutex> lock(gateMutex);
            check(changed.wait_for(lock, std::chrono::seconds(10), [&] { return fetching; }), "fetch started");
        }
        const uint64_t sleepsBefore = fake::SleepCount();
        int32_t data = 77;
        GateRequest read{0, 0, 12, AreaRegister, 300, 255, 32, 0, 1, 0, &data};
        CallRecord call{block.get(), CommandRead, kChannelNumber, 0, &read};
        check(KivMain(&call) == 1, "the read gives up with 1");
        check(fake::SleepCount() - sleepsBefore == 4002, "after 4002 sleeps of 1 ms");
        check(data == 77, "nothing stored");
        check(log->Count(kBusy) == 1, "busy message once");
        {
            std::lock_guard<std::mutex> lock(gateMutex);
            hostDone = true;
        }
        changed.notify_all();
        check(WaitUntil([&] { return Updates(point) == 1; }), "the fetch completes afterwards");
        TavStopWaits();
        listener.join();
        check(block->busy == 0, "line freed");
        check.Exit();
    }

    // The listener waits for the line past the 4002 sleeps a command would,
    // then finds the port closed and leaves it alone.
    void ClosedPortAfterALongWait() {
        ChildChecks check;
        RegisterClient();
        TavSetWaitTick(2);
        Arrive(Notice(12, 0x01));
        block->portHandle = 0;
        ChannelBlock* held = block.get();
        TryTakeBusy(held);
        std::atomic<bool> released{false};
        fake::SetSleepHook([held, &released](uint64_t now) {
            if (now >= 4000 + 10000 && !released.exchange(true)) {
                ReleaseBusy(held);  // the listener takes it, queries nothing and stops at its next wait
                TavStopWaits();
            }
        });
        ListenerThread(held);
        check(released.load(), "the listener waited 10000 ms for the line");
        check(held->busy == 0, "line freed");
        check(fake::CallCount(fake::Fn::ClearCommError) == 0 && fake::CallCount(fake::Fn::ReadFile) == 0,
              "no port call");
        check(log->Texts() == std::vector<std::string>{kStart, kShutdown}, "nothing but start and shutdown logged");
        check.Exit();
    }

    // Another channel's host wait failed: this listener neither acknowledges
    // nor fetches (the unit keeps its records), ends, and leaves the removal
    // of its client to Close.
    void LatchedListenerLeavesTheNoticeAlone() {
        ChildChecks check;
        RegisterClient();
        unit.status.push_back(StatusRecord(1));
        Arrive(Notice(12, 0x01));
        SetShutdownLatch();
        HandleUnsolicitedFrame(block.get());
        check(Written().empty(), "no acknowledgement, no fetch");
        ListenerThread(block.get());
        check(TavClientCount() == 1, "the client stays for Close");
        check(log->Texts() == std::vector<std::string>{kStart, kShutdown}, "start and end logged");
        CallRecord close{block.get(), CommandClose, kChannelNumber, 0, nullptr};
        check(KivMain(&close) == 0 && block->portHandle == 0, "Close still runs after the latch");
        check.Exit();
    }

    // The queue query fails: nothing is read, nothing sent.
    void FailingQueueQuery() {
        ChildChecks check;
        RegisterClient();
        TavSetWaitTick(1);
        Arrive(Notice(12, 0x01));
        const size_t pending = fake::PendingInput();
        fake::FailCall(fake::Fn::ClearCommError, 1, -1);
        std::thread listener(ListenerThread, block.get());
        check(WaitUntil([] { return fake::CallCount(fake::Fn::ClearCommError) >= 3; }), "three wake-ups");
        TavStopWaits();
        listener.join();
        check(fake::CallCount(fake::Fn::ReadFile) == 0 && Written().empty(), "nothing read or sent");
        check(fake::PendingInput() == pending, "the frame still waits");
        check(log->Texts() == std::vector<std::string>{kStart, kShutdown}, "nothing but start and shutdown logged");
        check.Exit();
    }
};

TEST_F(ListenerDeathTest, FailedMessageWaitSetsTheLatchAndRemovesTheClient) {
    EXPECT_EXIT(StopAtFirstWait(), ::testing::ExitedWithCode(0), "");
}

TEST_F(ListenerDeathTest, AfterTheLatchNoNoticeIsAcknowledged) {
    EXPECT_EXIT(LatchedListenerLeavesTheNoticeAlone(), ::testing::ExitedWithCode(0), "");
}

TEST_F(ListenerDeathTest, WakeUpHandlesAWaitingFrameAndFreesTheLine) {
    EXPECT_EXIT(HandleANoticeThenStop(), ::testing::ExitedWithCode(0), "");
}

TEST_F(ListenerDeathTest, HostReadDuringAFetchWaitsThenGivesUp) {
    EXPECT_EXIT(HostReadGivesUpDuringALongFetch(), ::testing::ExitedWithCode(0), "");
}

TEST_F(ListenerDeathTest, ListenerWaitsForTheLineWithoutLimitAndLeavesAClosedPortAlone) {
    EXPECT_EXIT(ClosedPortAfterALongWait(), ::testing::ExitedWithCode(0), "");
}

TEST_F(ListenerDeathTest, FailedQueueQueryCountsAsNothingWaiting) {
    EXPECT_EXIT(FailingQueueQuery(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
