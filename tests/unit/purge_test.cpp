// The purge before each request: how many reads it makes and how long it
// waits, on the fake port with virtual time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/port.h"
#include "tests/support/fake_platform.h"

namespace {

class PurgeTest : public ::testing::Test {
protected:
    void SetUp() override { Fresh(); }
    // The state a test starts from, again for each case of a table.
    void Fresh() {
        fake::Reset();
        port = fake::OpenPort("COM1");
        COMMTIMEOUTS timeouts = {0, 0, kPortReadTotalMs, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
        fake::ClearCalls();
    }
    std::vector<std::string> Reads() {
        return fake::CallsWithout([](const std::string& call) { return call.rfind("Read ", 0) != 0; });
    }
    HANDLE port = nullptr;
};

TEST_F(PurgeTest, AQuietLineCostsOneQueryAndNoRead) {
    const uint64_t start = fake::Now();
    EXPECT_EQ(0, PortPurgeInput(port));
    EXPECT_EQ(std::vector<std::string>{"ClearCommError"}, fake::Calls());
    EXPECT_EQ(start, fake::Now());
}

// Full pieces while they come, then one short read, and no read after it:
// a purge that read on until a read came back empty would wait one more
// read time-out on every line with noise.
TEST_F(PurgeTest, ReadsFullPiecesThenStopsAtTheFirstShortRead) {
    struct Case {
        size_t waiting;
        std::vector<std::string> reads;
    };
    const Case cases[] = {
        {10, {"Read 512 got 10"}},
        {512, {"Read 512 got 512", "Read 512 got 0"}},
        {1200, {"Read 512 got 512", "Read 512 got 512", "Read 512 got 176"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.waiting);
        Fresh();
        fake::QueueInput(std::vector<uint8_t>(c.waiting, 0x55));
        fake::QueueInput({0x02}, 200);  // noise that goes on, after the short read
        const uint64_t start = fake::Now();
        EXPECT_EQ(0, PortPurgeInput(port));
        EXPECT_EQ(c.reads, Reads());
        EXPECT_EQ(start + 50, fake::Now());  // the short read waited its 50 ms, once
        EXPECT_EQ(1u, fake::PendingInput());  // the late byte stays for the answer
        COMMTIMEOUTS after;
        ASSERT_TRUE(GetCommTimeouts(port, &after));
        EXPECT_EQ(kPortReadTotalMs, after.ReadTotalTimeoutConstant);
    }
}

}  // namespace
