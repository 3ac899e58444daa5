// Holding back log copies: a channel writes one message at most
// kLogCopiesPerSecond times a second, then one line with how many copies of
// that second were held back. The second is the fake's settable local time.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/channel_block.h"
#include "base/channel_state.h"
#include "base/log.h"
#include "link/frame_io.h"
#include "tests/support/fake_platform.h"
#include "tests/support/log_capture.h"

namespace {

const char* const kShort = "KivIN : Invalid message received";
const char* const kOtherHost = "KivIN : Got msg for Host %d - ignor it";

// One message more than a channel counts at once.
const char* const kMessages[kLogHoldSlots + 1] = {"KivIN : a", "KivIN : b", "KivIN : c", "KivIN : d", "KivIN : e",
                                                  "KivIN : f", "KivIN : g", "KivIN : h", "KivIN : i"};

std::string HeldLine(int count, const char* format) {
    return "KivIN : " + std::to_string(count) + " more \"" + format + "\" held back";
}

// One burst: copies of a message written within one second.
struct Burst {
    int second;
    const char* format;
    int copies;
};

struct HoldCase {
    const char* name;
    std::vector<Burst> bursts;
    std::vector<std::pair<std::string, int>> expected;  // lines in order, each with its count in a row
};

class LogHoldingTest : public ::testing::Test {
protected:
    void SetUp() override { Fresh(); }
    void TearDown() override {
        ReleaseChannelState(state);
        SetCurrentChannel(nullptr);
    }
    // The state a test starts from, again for each case of a table.
    void Fresh() {
        if (state != nullptr) ReleaseChannelState(state);
        fake::Reset();
        block.reset(new ChannelBlock());
        SetCurrentChannel(block.get());
        state = ClaimChannelState(block.get());
        ASSERT_NE(nullptr, state);
        AtSecond(0);
    }
    void AtSecond(int second) {
        SYSTEMTIME time = {};
        time.wYear = 2026;
        time.wMonth = 12;
        time.wDay = 8;
        time.wHour = 2;
        time.wMinute = static_cast<WORD>(second / 60);
        time.wSecond = static_cast<WORD>(second % 60);
        fake::SetLocalTime(time);
    }
    // The log folded into runs of equal lines.
    std::vector<std::pair<std::string, int>> Runs() {
        std::vector<std::pair<std::string, int>> runs;
        for (const std::string& text : log.Texts()) {
            if (!runs.empty() && runs.back().first == text) {
                ++runs.back().second;
            } else {
                runs.emplace_back(text, 1);
            }
        }
        return runs;
    }

    std::unique_ptr<ChannelBlock> block;
    ChannelState* state = nullptr;
    LogCapture log;
};

TEST_F(LogHoldingTest, CopiesBeyondTheLimitAreHeldAndCounted) {
    const int limit = kLogCopiesPerSecond;
    const std::string hostLine = "KivIN : Got msg for Host 7 - ignor it";
    const HoldCase cases[] = {
        {"up to the limit nothing is held", {{0, kShort, limit}, {1, kShort, 1}}, {{kShort, limit + 1}}},
        {"the rest of the second is held, counted when it is over",
         {{0, kShort, limit + 5}, {1, kShort, 1}},
         {{kShort, limit}, {HeldLine(5, kShort), 1}, {kShort, 1}}},
        {"any later message closes the count",
         {{0, kShort, limit + 2}, {3, kOtherHost, 1}},
         {{kShort, limit}, {HeldLine(2, kShort), 1}, {hostLine, 1}}},
        {"each message has its own count",
         {{0, kShort, limit + 1}, {0, kOtherHost, limit + 3}, {1, kShort, 1}},
         {{kShort, limit}, {hostLine, limit}, {HeldLine(1, kShort), 1}, {HeldLine(3, kOtherHost), 1}, {kShort, 1}}},
        {"a new second starts a new count",
         {{0, kShort, limit}, {1, kShort, limit}, {2, kShort, limit}},
         {{kShort, 3 * limit}}},
        // Every slot taken: a new message takes the slot of the one counted
        // least (a, in the middle of the slots), while the one over its
        // limit (b) keeps its count and stays held, reported once.
        {"with every slot taken the quietest makes room and a held message stays held",
         {{0, kMessages[1], limit + 4}, {0, kMessages[2], limit}, {0, kMessages[3], limit}, {0, kMessages[0], 3},
          {0, kMessages[4], limit}, {0, kMessages[5], limit}, {0, kMessages[6], limit}, {0, kMessages[7], limit},
          {0, kMessages[8], 1}, {0, kMessages[1], 2}, {1, kMessages[8], 1}},
         {{kMessages[1], limit}, {kMessages[2], limit}, {kMessages[3], limit}, {kMessages[0], 3},
          {kMessages[4], limit}, {kMessages[5], limit}, {kMessages[6], limit}, {kMessages[7], limit},
          {kMessages[8], 1}, {HeldLine(6, kMessages[1]), 1}, {kMessages[8], 1}}},
        // Every message over its limit: the quietest still makes room, its
        // held copies reported as it goes, and not again with the others.
        {"a message that makes room reports what the quietest held, once",
         {{0, kMessages[0], limit + 1}, {0, kMessages[1], limit + 2}, {0, kMessages[2], limit + 3},
          {0, kMessages[3], limit + 4}, {0, kMessages[4], limit + 5}, {0, kMessages[5], limit + 6},
          {0, kMessages[6], limit + 7}, {0, kMessages[7], limit + 8}, {0, kMessages[8], 1}, {1, kMessages[8], 1}},
         {{kMessages[0], limit}, {kMessages[1], limit}, {kMessages[2], limit}, {kMessages[3], limit},
          {kMessages[4], limit}, {kMessages[5], limit}, {kMessages[6], limit}, {kMessages[7], limit},
          {HeldLine(1, kMessages[0]), 1}, {kMessages[8], 1}, {HeldLine(2, kMessages[1]), 1},
          {HeldLine(3, kMessages[2]), 1}, {HeldLine(4, kMessages[3]), 1}, {HeldLine(5, kMessages[4]), 1},
          {HeldLine(6, kMessages[5]), 1}, {HeldLine(7, kMessages[6]), 1}, {HeldLine(8, kMessages[7]), 1},
          {kMessages[8], 1}}},
    };
    for (const HoldCase& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        log.Clear();
        for (const Burst& burst : c.bursts) {
            AtSecond(burst.second);
            for (int i = 0; i < burst.copies; ++i) DriverLog(kLogFault, burst.format, 7);
        }
        EXPECT_EQ(c.expected, Runs());
    }
}

TEST_F(LogHoldingTest, WithoutAChannelEntryNothingIsHeld) {
    ReleaseChannelState(state);
    state = nullptr;
    for (int i = 0; i < 3 * kLogCopiesPerSecond; ++i) DriverLog(kLogFault, kShort);
    EXPECT_EQ(3 * kLogCopiesPerSecond, log.Count(kShort));
}

// More messages than a channel counts at once: the one counted least makes
// room, and its held copies are reported first.
TEST_F(LogHoldingTest, MoreMessagesThanSlotsStillReportWhatWasHeld) {
    static const char* const formats[kLogHoldSlots + 1] = {"KivIN : a", "KivIN : b", "KivIN : c", "KivIN : d", "KivIN : e",
                                                           "KivIN : f", "KivIN : g", "KivIN : h", "KivIN : i"};
    DriverLog(kLogFault, formats[0]);
    for (int i = 0; i < kLogCopiesPerSecond + 4; ++i) DriverLog(kLogFault, formats[1]);
    for (int k = 2; k <= kLogHoldSlots; ++k) {
        for (int i = 0; i < kLogCopiesPerSecond; ++i) DriverLog(kLogFault, formats[k]);
    }
    for (int k = 0; k <= kLogHoldSlots; ++k) {
        EXPECT_EQ(k == 0 ? 1 : kLogCopiesPerSecond, log.Count(formats[k])) << formats[k];
    }
    AtSecond(1);
    DriverLog(kLogFault, formats[0]);
    EXPECT_EQ(1, log.Count(HeldLine(4, formats[1])));
}

// A line that has gone quiet logs each failed reception: the copies past
// the limit within one second are held and counted, through the driver's
// own reception path.
TEST_F(LogHoldingTest, ADeadLineDoesNotFloodTheLog) {
    block->portHandle = HandleToField(fake::OpenPort("COM1"));
    CrcInit();
    const int receptions = 30;
    uint8_t message[kMessageBufferSize];
    for (int i = 0; i < receptions; ++i) EXPECT_EQ(0, ReceiveFrame(message));
    EXPECT_EQ(kLogCopiesPerSecond, log.Count(kShort));
    AtSecond(1);
    EXPECT_EQ(0, ReceiveFrame(message));
    EXPECT_EQ((std::vector<std::pair<std::string, int>>{
                  {kShort, kLogCopiesPerSecond}, {HeldLine(receptions - kLogCopiesPerSecond, kShort), 1}, {kShort, 1}}),
              Runs());
}

}  // namespace
