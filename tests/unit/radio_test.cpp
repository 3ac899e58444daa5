// Radio keying on the fake port: order of RTS, pauses and write, the carrier
// waits and their limits, and what happens when a platform call fails.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>

#include "link/exchange.h"
#include "link/frame_io.h"
#include "serial/radio.h"
#include "tests/unit/link_fixture.h"

namespace {

const Bytes kLinkReset = {0x07, 0xC0, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00};
constexpr int64_t kNever = -1;
constexpr uint64_t kStuck = UINT64_MAX;

enum class Fault { None, WriteFails, ShortWrite, RtsFails, FirstStatusFails, StatusAlwaysFails, StatusAlwaysFailsWriteFails };

struct TransmitCase {
    const char* name;
    uint8_t radioFlag;
    int32_t on, off, delay;
    uint64_t busyUntil;  // the channel is busy (carrier up) before this time
    int64_t answerFrom;  // the unit's carrier comes up this long after the write
    Fault fault;
    int result;
    std::vector<std::string> steps;
    std::vector<std::string> messages;
};

class RadioTest : public LinkTest {
protected:
    // A carrier that is up before busyUntil and again from answerFrom after
    // the first write on.
    void ScriptCarrier(uint64_t busyUntil, int64_t answerFrom) {
        fake::SetResponder([this](HANDLE, const Bytes&) {
            if (writeAt < 0) writeAt = static_cast<int64_t>(fake::Now());
        });
        fake::SetCarrier([this, busyUntil, answerFrom](uint64_t now) {
            if (now < busyUntil) return true;
            const int64_t w = writeAt;
            return w >= 0 && answerFrom != kNever && static_cast<int64_t>(now) >= w + answerFrom;
        });
    }
    std::atomic<int64_t> writeAt{-1};
};

TEST_F(RadioTest, TransmissionKeysAroundTheFrame) {
    const std::vector<std::string> keyed = {"RTS on", "Sleep 150", "Write 12", "Sleep 100", "RTS off", "Sleep 50"};
    auto with = [&](std::vector<std::string> before, std::vector<std::string> middle,
                    std::vector<std::string> after) {
        before.insert(before.end(), middle.begin(), middle.end());
        before.insert(before.end(), after.begin(), after.end());
        return before;
    };
    const TransmitCase cases[] = {
        {"unit answers", 1, 150, 100, 50, 0, 180, Fault::None, 1,
         with({"Poll 1 sleep 0"}, keyed, {"Poll 31 sleep 30"}), {}},
        {"channel busy at first", 1, 150, 100, 50, 25, 180, Fault::None, 1,
         with({"Poll 26 sleep 25"}, keyed, {"Poll 31 sleep 30"}), {}},
        {"carrier stuck on", 1, 150, 100, 50, kStuck, 180, Fault::None, 0, {"Poll 4000 sleep 4000"},
         {"KivIN : Carrier Detect high > 4 sec while TX"}},
        {"unit silent", 1, 150, 100, 50, 0, kNever, Fault::None, 0,
         with({"Poll 1 sleep 0"}, keyed, {"Poll 2000 sleep 2000"}),
         {"KivIN : No Carrier Detected 2 sec after TX"}},
        {"write error", 1, 150, 100, 50, 0, 180, Fault::WriteFails, 0,
         {"Poll 1 sleep 0", "RTS on", "Sleep 150", "Write 12 failed", "Sleep 100", "RTS off", "Sleep 50"}, {}},
        {"short write", 1, 150, 100, 50, 0, 180, Fault::ShortWrite, 0,
         {"Poll 1 sleep 0", "RTS on", "Sleep 150", "Write 12 took 10", "Sleep 100", "RTS off", "Sleep 50"}, {}},
        {"no pauses", 1, 0, 0, 0, 0, 0, Fault::None, 1,
         {"Poll 1 sleep 0", "RTS on", "Write 12", "RTS off", "Poll 1 sleep 0"}, {}},
        {"negative time is no pause", 1, -5, 100, 50, 0, 180, Fault::None, 1,
         {"Poll 1 sleep 0", "RTS on", "Write 12", "Sleep 100", "RTS off", "Sleep 50", "Poll 31 sleep 30"}, {}},
        {"RTS calls fail", 1, 150, 100, 50, 0, 180, Fault::RtsFails, 1,
         {"Poll 1 sleep 0", "RTS on failed", "Sleep 150", "Write 12", "Sleep 100", "RTS off failed", "Sleep 50",
          "Poll 31 sleep 30"},
         {" KivIN: Fail to set RTS to on", " KivIN: Fail to set RTS to off"}},
        {"failed status reads as no carrier", 1, 150, 100, 50, kStuck, 180, Fault::FirstStatusFails, 1,
         with({"Poll 1 sleep 0"}, keyed, {"Poll 1 sleep 0"}), {"KivIN : Fail to get CD state"}},
        // A port without modem lines: every query fails and reads as no
        // carrier; one line per transmission says how often.
        {"no modem lines", 1, 150, 100, 50, kStuck, 180, Fault::StatusAlwaysFails, 0,
         with({"Poll 1 sleep 0"}, keyed, {"Poll 2000 sleep 2000"}),
         {"KivIN : Fail to get CD state (2001 times)", "KivIN : No Carrier Detected 2 sec after TX"}},
        {"no modem lines and a write error", 1, 150, 100, 50, kStuck, 180, Fault::StatusAlwaysFailsWriteFails, 0,
         {"Poll 1 sleep 0", "RTS on", "Sleep 150", "Write 12 failed", "Sleep 100", "RTS off", "Sleep 50"},
         {"KivIN : Fail to get CD state"}},
        {"flag 2 is a plain wire", 2, 150, 100, 50, kStuck, kNever, Fault::None, 1, {"Write 12"}, {}},
        {"flag 0 is a plain wire", 0, 150, 100, 50, kStuck, kNever, Fault::None, 1, {"Write 12"}, {}},
    };
    for (const TransmitCase& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        writeAt = -1;
        block->radioEnabled = c.radioFlag;
        block->radioOnTime = c.on;
        block->radioOffTime = c.off;
        block->radioDelayTime = c.delay;
        ScriptCarrier(c.busyUntil, c.answerFrom);
        if (c.fault == Fault::WriteFails) fake::FailCall(fake::Fn::WriteFile, 1);
        if (c.fault == Fault::ShortWrite) fake::LimitWrites(10);
        if (c.fault == Fault::RtsFails) fake::FailCall(fake::Fn::EscapeComm, 1, -1);
        if (c.fault == Fault::FirstStatusFails) fake::FailCall(fake::Fn::ModemStatus, 1);
        if (c.fault == Fault::StatusAlwaysFails || c.fault == Fault::StatusAlwaysFailsWriteFails)
            fake::FailCall(fake::Fn::ModemStatus, 1, -1);
        if (c.fault == Fault::StatusAlwaysFailsWriteFails) fake::FailCall(fake::Fn::WriteFile, 1);

        EXPECT_EQ(c.result, SendFrame(kLinkReset.data()));
        EXPECT_EQ(c.steps, RadioSteps());
        EXPECT_EQ(c.messages, log.Texts());
        EXPECT_FALSE(fake::RtsIsOn());
    }
}

TEST_F(RadioTest, ReceptionWaitsForTheCarrierToDrop) {
    const struct {
        const char* name;
        uint8_t radioFlag;
        uint64_t busyUntil;
        int result;
        std::vector<std::string> steps;
        std::vector<std::string> messages;
    } cases[] = {
        {"carrier drops", 1, 40, 1, {"Poll 41 sleep 40", "Read 3 got 3", "Read 9 got 9"}, {}},
        {"carrier stays", 1, kStuck, 0, {"Poll 4000 sleep 4000"},
         {"KivIN : Carrier remained high > 4 sec before RX"}},
        {"flag 2 reads at once", 2, kStuck, 1, {"Read 3 got 3", "Read 9 got 9"}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        block->radioEnabled = c.radioFlag;
        ScriptCarrier(c.busyUntil, kNever);
        fake::QueueInput(FrameOf(kLinkReset));
        uint8_t message[kMessageBufferSize];
        EXPECT_EQ(c.result, ReceiveFrame(message));
        EXPECT_EQ(c.steps, RadioSteps());
        EXPECT_EQ(c.messages, log.Texts());
    }
}

TEST_F(RadioTest, ExchangeOverTheRadioReadsTheAnswerAfterTheCarrier) {
    block->radioEnabled = 1;
    block->radioOnTime = 150;
    block->radioOffTime = 100;
    block->radioDelayTime = 50;
    const Bytes answer = {0x07, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00};
    // The unit keys up 180 ms after our write, sends its answer and drops
    // its carrier 400 ms after our write.
    fake::SetResponder([&](HANDLE, const Bytes&) {
        const uint64_t w = fake::Now();
        fake::QueueInputAt(FrameOf(answer), w + 250);
        fake::SetCarrier([w](uint64_t now) { return now >= w + 180 && now < w + 400; });
    });
    EXPECT_EQ(0, ResetLinkOnce(5));
    EXPECT_EQ(1u, fake::Writes().size());
    EXPECT_EQ(150u + 400u, fake::Now());  // the read began when the carrier dropped
    EXPECT_TRUE(log.Texts().empty());
}

// On a stock Windows host a Sleep(1) lasts a timer tick of about 15.6 ms:
// every carrier wait still ends after its time, not after as many ticks, and
// the tick count's wrap in the middle of a wait changes nothing.
TEST_F(RadioTest, CarrierWaitsLastTheirTimeWhateverASleepLasts) {
    struct Wait {
        const char* name;
        uint64_t busyUntil;  // carrier before the write
        int64_t answerFrom;  // carrier after the write
        bool receive;        // the reception's wait instead of the transmission's
        uint64_t limitMs;
        const char* message;
    };
    const Wait waits[] = {
        {"clear channel", kStuck, kNever, false, 4000, "KivIN : Carrier Detect high > 4 sec while TX"},
        {"answering carrier", 0, kNever, false, 2000, "KivIN : No Carrier Detected 2 sec after TX"},
        {"carrier drop", kStuck, kNever, true, 4000, "KivIN : Carrier remained high > 4 sec before RX"},
    };
    const struct {
        uint64_t tickMicros;
        DWORD tickStart;
    } clocks[] = {{0, 0}, {15625, 0}, {15600, 0xFFFFF000u}, {1000, 0xFFFFFFFFu}};
    for (const Wait& w : waits) {
        for (const auto& clock : clocks) {
            SCOPED_TRACE(std::string(w.name) + " tick " + std::to_string(clock.tickMicros));
            Fresh();
            writeAt = -1;
            block->radioEnabled = 1;
            block->radioOnTime = block->radioOffTime = block->radioDelayTime = 0;
            ScriptCarrier(w.busyUntil, w.answerFrom);
            fake::SetSleepTick(clock.tickMicros);
            fake::SetTickCountStart(clock.tickStart);
            const uint64_t start = fake::Now();
            uint8_t message[kMessageBufferSize];
            EXPECT_EQ(0, w.receive ? ReceiveFrame(message) : SendFrame(kLinkReset.data()));
            const uint64_t tick = clock.tickMicros == 0 ? 1 : (clock.tickMicros + 999) / 1000;
            EXPECT_GE(fake::Now() - start, w.limitMs);
            EXPECT_LT(fake::Now() - start, w.limitMs + tick + 1);
            EXPECT_EQ(std::vector<std::string>{w.message}, log.Texts());
        }
    }
}

// At the opening of a port: one status query when the channel keys a radio,
// and one line when the port cannot give it; nothing on the control lines.
TEST_F(RadioTest, APortWithoutModemLinesIsToldOnceAtItsOpening) {
    const struct {
        const char* name;
        uint8_t radioFlag;
        bool statusFails;
        int result;
        std::vector<std::string> steps;
        std::vector<std::string> messages;
    } cases[] = {
        {"modem lines", 1, false, 1, {"Poll 1 sleep 0"}, {}},
        {"no modem lines", 1, true, 0, {"Poll 1 sleep 0"},
         {"KivIN : Port COM1 cannot key a radio or read a carrier: no modem lines (system error 31)"}},
        {"a plain wire asks nothing", 0, true, 1, {}, {}},
        {"flag 2 is a plain wire", 2, true, 1, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        block->radioEnabled = c.radioFlag;
        if (c.statusFails) fake::FailCall(fake::Fn::ModemStatus, 1, -1);
        EXPECT_EQ(c.result, RadioCheckModemLines(port, "COM1"));
        EXPECT_EQ(c.steps, RadioSteps());
        EXPECT_EQ(c.messages, log.Texts());
        EXPECT_FALSE(fake::RtsIsOn());
    }
}

}  // namespace
