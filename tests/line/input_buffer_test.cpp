// Reads served from the port's input buffer: a frame however its bytes
// arrive, the queue count and the purge with bytes held, reads larger than
// the buffer, and closing while a read waits.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "serial/port.h"
#include "tests/support/driver_channel.h"
#include "tests/support/line_pair.h"
#include "tests/support/wait_until.h"

namespace {

// A one-register answer as it comes back: 3-byte head, then 16 more.
const Bytes kAnswer = HexBytes("05 64 0E 44 0C 00 12 00 01 06 01 2C 9A 3B 00 00 01 F4 5C");

class InputBufferTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(line.ok()) << line.error();
        port = CreateFileA(line.driverPort().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, port);
        COMMTIMEOUTS timeouts = {0, 0, 2000, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    }
    void TearDown() override {
        if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
    }
    DWORD Waiting() { return InputWaiting(port); }
    // Waits until the port counts count bytes waiting (the line hands them
    // over a little later than the peer writes them).
    void AwaitWaiting(DWORD count) {
        WaitUntil([&] { return Waiting() >= count; }, 2500);
        ASSERT_EQ(count, Waiting());
    }
    Bytes ReadExact(uint32_t count) {
        Bytes bytes(count);
        uint32_t total = 0;
        EXPECT_EQ(PortOk, PortReadExact(port, bytes.data(), count, &total));
        bytes.resize(total);
        return bytes;
    }
    LinePair line;
    HANDLE port = INVALID_HANDLE_VALUE;
};

TEST_F(InputBufferTest, AnAnswerThatCameWholeIsServedHeadThenRestAndCountedMeanwhile) {
    ASSERT_TRUE(line.Write(kAnswer));
    AwaitWaiting(19);
    EXPECT_EQ(Bytes(kAnswer.begin(), kAnswer.begin() + 3), ReadExact(3));
    EXPECT_EQ(16u, Waiting());
    EXPECT_EQ(Bytes(kAnswer.begin() + 3, kAnswer.end()), ReadExact(16));
    EXPECT_EQ(0u, Waiting());
}

TEST_F(InputBufferTest, AFrameSplitAcrossArrivalsIsReadWhole) {
    // Where the line cuts the answer: inside the head, at its end, inside the
    // rest, and byte by byte at both ends.
    const std::vector<std::vector<size_t>> cuts = {{1}, {2}, {3}, {10}, {18}, {1, 2}, {3, 4, 5, 17}};
    for (const std::vector<size_t>& at : cuts) {
        SCOPED_TRACE(HexText(Bytes(at.begin(), at.end())));
        std::thread peer([&] {
            size_t from = 0;
            for (size_t cut : at) {
                line.Write(Bytes(kAnswer.begin() + from, kAnswer.begin() + cut));
                from = cut;
                std::this_thread::sleep_for(std::chrono::milliseconds(15));
            }
            line.Write(Bytes(kAnswer.begin() + from, kAnswer.end()));
        });
        Bytes head = ReadExact(3);
        Bytes rest = ReadExact(16);
        peer.join();
        head.insert(head.end(), rest.begin(), rest.end());
        EXPECT_EQ(kAnswer, head);
        EXPECT_EQ(0u, Waiting());
    }
}

TEST_F(InputBufferTest, APurgeThrowsAwayHeldBytesToo) {
    ASSERT_TRUE(line.Write(kAnswer));
    AwaitWaiting(19);
    ASSERT_EQ(Bytes(kAnswer.begin(), kAnswer.begin() + 3), ReadExact(3));  // 16 held now
    EXPECT_EQ(0, PortPurgeInput(port));
    EXPECT_EQ(0u, Waiting());
    COMMTIMEOUTS timeouts;
    ASSERT_TRUE(GetCommTimeouts(port, &timeouts));
    EXPECT_EQ(2000u, timeouts.ReadTotalTimeoutConstant);
    // The next answer comes alone, with nothing of the old one before it.
    ASSERT_TRUE(line.Write(HexBytes("05 64 0A")));
    EXPECT_EQ(HexBytes("05 64 0A"), ReadExact(3));
}

TEST_F(InputBufferTest, ReadsLargerThanTheBufferKeepTheOrder) {
    Bytes sent(3000);
    for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 7 + i / 256);
    std::thread peer([&] { line.Write(sent); });
    Bytes got = ReadExact(3);
    for (uint32_t piece : {700u, 1u, 1296u, 1000u}) {
        Bytes more = ReadExact(piece);
        got.insert(got.end(), more.begin(), more.end());
    }
    peer.join();
    EXPECT_EQ(sent, got);
}

TEST_F(InputBufferTest, ATimedOutReadKeepsWhatCameAndTheRestFollows) {
    COMMTIMEOUTS shortWait = {0, 0, 50, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &shortWait));
    ASSERT_TRUE(line.Write(Bytes(kAnswer.begin(), kAnswer.begin() + 5)));
    uint8_t bytes[19] = {};
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(port, bytes, 19, &got, nullptr));
    EXPECT_EQ(Bytes(kAnswer.begin(), kAnswer.begin() + 5), Bytes(bytes, bytes + got));
    ASSERT_TRUE(line.Write(Bytes(kAnswer.begin() + 5, kAnswer.end())));
    EXPECT_EQ(Bytes(kAnswer.begin() + 5, kAnswer.end()), ReadExact(14));
}

#ifndef _WIN32

// A read waiting (with bytes already held) when the port is closed: it ends
// with ERROR_OPERATION_ABORTED, and CloseHandle returns only once it has
// left, so the port opens again at once.
TEST_F(InputBufferTest, CloseWhileAReadWaitsEndsItAndReturnsAfterIt) {
    COMMTIMEOUTS forever = {0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &forever));
    ASSERT_TRUE(line.Write(HexBytes("01 02 03 04 05")));
    AwaitWaiting(5);
    uint8_t first[2];
    DWORD count = 0;
    ASSERT_TRUE(ReadFile(port, first, 2, &count, nullptr));  // 3 held
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        std::atomic<BOOL> result{TRUE};
        std::atomic<DWORD> error{0}, got{99};
        std::thread reader([&] {
            uint8_t bytes[10];
            DWORD n = 0;
            result = ReadFile(port, bytes, 10, &n, nullptr);
            error = GetLastError();
            got = n;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 3 * 5));
        ASSERT_TRUE(CloseHandle(port));
        HANDLE again = CreateFileA(line.driverPort().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
        reader.join();
        EXPECT_NE(INVALID_HANDLE_VALUE, again);  // the descriptor and its lock went with CloseHandle
        EXPECT_FALSE(result);
        EXPECT_TRUE(error == 995 || error == ERROR_INVALID_HANDLE) << error;  // aborted, or closed before
        EXPECT_LE(got, round == 0 ? 3u : 0u);  // held bytes never outlive their port
        port = again;
        ASSERT_TRUE(SetCommTimeouts(port, &forever));
    }
}

// Held bytes belong to their port: the next port in the same slot of the
// table starts with nothing held.
TEST_F(InputBufferTest, HeldBytesGoWithTheirPort) {
    ASSERT_TRUE(line.Write(kAnswer));
    AwaitWaiting(19);
    ASSERT_EQ(Bytes(kAnswer.begin(), kAnswer.begin() + 3), ReadExact(3));  // 16 held
    const uint32_t slot = HandleToField(port) & 0xFF;
    ASSERT_TRUE(CloseHandle(port));
    port = INVALID_HANDLE_VALUE;
    // Round the table until the free slot taken next is the same one.
    for (int i = 0; i < 300; ++i) {
        port = CreateFileA(line.driverPort().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, port);
        if ((HandleToField(port) & 0xFF) == slot) break;
        ASSERT_TRUE(CloseHandle(port));
        port = INVALID_HANDLE_VALUE;
    }
    ASSERT_NE(INVALID_HANDLE_VALUE, port);
    EXPECT_EQ(0u, Waiting());
    COMMTIMEOUTS atOnce = {0xFFFFFFFFu, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &atOnce));
    uint8_t bytes[16];
    DWORD got = 99;
    EXPECT_TRUE(ReadFile(port, bytes, sizeof bytes, &got, nullptr));
    EXPECT_EQ(0u, got);
}

#endif  // _WIN32

}  // namespace
