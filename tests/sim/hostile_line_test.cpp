// Network lines against servers that misbehave on purpose: every ReadFile,
// WriteFile and ClearCommError ends within its time-out whatever the server
// does, what comes through is the server's data and nothing else, and an
// open ends within its bound.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix_input.h"
#include "platform/posix_network.h"
#include "tests/support/hostile_server.h"
#include "tests/support/log_capture.h"
#include "tests/support/scratch_directory.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kReadMs = 40;      // the read total time-out the tests set
constexpr DWORD kWriteMs = 100;    // the write total time-out's constant
constexpr int64_t kSlackMs = 500;  // a generous margin: the bounds are checked, never speed

int64_t ElapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

std::string Describe(HostileMode mode, NetLineKind kind) {
    static const char* const kModes[] = {"flood",        "trickle", "frame starts", "endless subnegotiation",
                                         "option flood", "silent",  "reset",        "never accepts"};
    return std::string(kModes[static_cast<int>(mode)]) + (kind == NetLineRfc2217 ? " over rfc2217" : " over tcp");
}

class HostileLine : public ::testing::Test {
protected:
    // Maps HOST1 to the server and opens it with short time-outs.
    HANDLE Open(const HostileServer& server, DWORD writeMultiplier = 1) {
        EXPECT_TRUE(WriteBytesFile("kivports.int", "HOST1 = " + server.Url() + "\n"));
        HANDLE handle = CreateFileA("HOST1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return handle;
        COMMTIMEOUTS timeouts = {0, 0, kReadMs, writeMultiplier, kWriteMs};
        EXPECT_TRUE(SetCommTimeouts(handle, &timeouts));
        return handle;
    }
    // What reads of the port bring within about a second, up to count bytes.
    std::vector<uint8_t> ReadUpTo(HANDLE handle, size_t count) {
        std::vector<uint8_t> bytes(count);
        size_t got = 0;
        for (int round = 0; round < 25 && got < count; ++round) {
            DWORD done = 0;
            if (!ReadFile(handle, bytes.data() + got, DWORD(count - got), &done, nullptr)) break;
            got += done;
        }
        bytes.resize(got);
        return bytes;
    }

    ScratchDirectory dir_{"kiv-hostile"};
    LogCapture log_;
};

TEST_F(HostileLine, EveryCallEndsWithinItsTimeOutAndTheInputStaysBounded) {
    const HostileMode modes[] = {HostileMode::Flood,       HostileMode::Trickle,     HostileMode::FrameStarts,
                                 HostileMode::EndlessSub,  HostileMode::OptionFlood, HostileMode::Silent,
                                 HostileMode::ResetAfter};
    HostileParams params;
    params.intervalMs = 15;
    params.resetAfter = 12;  // the reset comes during the rounds' reads
    for (NetLineKind kind : {NetLineTcp, NetLineRfc2217}) {
        for (HostileMode mode : modes) {
            const std::string what = Describe(mode, kind);
            HostileServer server;
            ASSERT_TRUE(server.Start(mode, kind, params)) << what;
            HANDLE handle = Open(server);
            ASSERT_NE(handle, INVALID_HANDLE_VALUE) << what;
            uint8_t bytes[300] = {};
            for (int round = 0; round < 8; ++round) {
                DWORD done = 0;
                Clock::time_point start = Clock::now();
                ReadFile(handle, bytes, sizeof bytes, &done, nullptr);
                EXPECT_LE(ElapsedMs(start), kReadMs + kSlackMs) << what << ": ReadFile, round " << round;

                start = Clock::now();
                WriteFile(handle, bytes, 64, &done, nullptr);
                EXPECT_LE(ElapsedMs(start), 64 + kWriteMs + kSlackMs) << what << ": WriteFile, round " << round;

                start = Clock::now();
                DWORD errors = 0;
                COMSTAT stat{};
                if (ClearCommError(handle, &errors, &stat)) {
                    EXPECT_LE(stat.cbInQue, kNetInputSize + kivposix::kInputCapacity) << what;
                }
                EXPECT_LE(ElapsedMs(start), kSlackMs) << what << ": ClearCommError, round " << round;
            }
            if (mode == HostileMode::ResetAfter) {
                // The reset came during the rounds: a dead port from then on.
                DWORD done = 0;
                EXPECT_FALSE(ReadFile(handle, bytes, sizeof bytes, &done, nullptr)) << what;
                EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_DEVICE)) << what;
            }
            const Clock::time_point start = Clock::now();
            EXPECT_TRUE(CloseHandle(handle)) << what;
            EXPECT_LE(ElapsedMs(start), kSlackMs) << what << ": CloseHandle";
        }
    }
}

// The reader sees the server's data bytes in order, and none of its Telnet
// commands; a subnegotiation that never ends is dropped (and logged once)
// and the data after it comes through.
TEST_F(HostileLine, OnlyTheServersDataComesThrough) {
    struct Case {
        HostileMode mode;
        NetLineKind kind;
        size_t skip;  // bytes of the stream before the first data byte read
        bool data;    // whether any data comes
    } cases[] = {
        {HostileMode::Flood, NetLineTcp, 0, true},
        {HostileMode::Flood, NetLineRfc2217, 0, true},
        {HostileMode::Trickle, NetLineRfc2217, 0, true},
        {HostileMode::FrameStarts, NetLineRfc2217, 0, true},
        {HostileMode::EndlessSub, NetLineTcp, 0, true},  // raw TCP: IAC SB 44 is data
        // Dropped, and what follows is data once its end was looked for long enough.
        {HostileMode::EndlessSub, NetLineRfc2217, 2 + kTelnetSubSkipMax, true},
        {HostileMode::OptionFlood, NetLineTcp, 0, true},
        {HostileMode::OptionFlood, NetLineRfc2217, 0, false},
    };
    const std::string dropped = "KivIN : Port HOST1: overlong subnegotiation (option 44) from the server dropped, "
                                "not logged again on this connection";
    for (const Case& c : cases) {
        const std::string what = Describe(c.mode, c.kind);
        log_.Clear();
        HostileServer server;
        HostileParams params;
        params.intervalMs = 5;
        ASSERT_TRUE(server.Start(c.mode, c.kind, params)) << what;
        HANDLE handle = Open(server);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE) << what;
        const size_t count = c.mode == HostileMode::Trickle ? 20 : 200;
        const std::vector<uint8_t> got = ReadUpTo(handle, c.data ? count : 1);
        if (c.data) {
            std::vector<uint8_t> expected;
            for (size_t i = 0; i < count; ++i) expected.push_back(HostileStreamByte(c.mode, c.skip + i));
            EXPECT_EQ(got, expected) << what;
        } else {
            EXPECT_TRUE(got.empty()) << what;
            // The flood's requests are answered at most one for one.
            EXPECT_LE(server.BytesReceived(), server.BytesSent()) << what;
        }
        const bool overlong = c.mode == HostileMode::EndlessSub && c.kind == NetLineRfc2217;
        EXPECT_EQ(log_.Count(dropped), overlong ? 1 : 0) << what;
        EXPECT_TRUE(CloseHandle(handle));
    }
}

// Once nothing more fits, a write ends by its time-out with what went; the
// com-port messages and the other calls still end at once.
TEST_F(HostileLine, AServerThatReadsNothingEndsEachWriteByItsTimeOut) {
    for (NetLineKind kind : {NetLineTcp, NetLineRfc2217}) {
        const std::string what = Describe(HostileMode::Silent, kind);
        HostileServer server;
        ASSERT_TRUE(server.Start(HostileMode::Silent, kind)) << what;
        HANDLE handle = Open(server, 0);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE) << what;
        std::vector<uint8_t> bytes(16384, 0xFF);
        DWORD written = DWORD(bytes.size());
        int writes = 0;
        for (; writes < 4000 && written == bytes.size(); ++writes) {
            const Clock::time_point start = Clock::now();
            EXPECT_TRUE(WriteFile(handle, bytes.data(), DWORD(bytes.size()), &written, nullptr)) << what;
            EXPECT_LE(ElapsedMs(start), kWriteMs + kSlackMs) << what << ": write " << writes;
        }
        EXPECT_LT(written, bytes.size()) << what << ": the server's buffers never filled";
        Clock::time_point start = Clock::now();
        if (kind == NetLineRfc2217) {
            EXPECT_TRUE(EscapeCommFunction(handle, SETRTS)) << what;
        }
        uint8_t byte;
        DWORD done = 0;
        EXPECT_TRUE(ReadFile(handle, &byte, 1, &done, nullptr)) << what;
        DWORD errors = 0;
        COMSTAT stat{};
        EXPECT_TRUE(ClearCommError(handle, &errors, &stat)) << what;
        EXPECT_LE(ElapsedMs(start), kReadMs + kSlackMs) << what;
        start = Clock::now();
        EXPECT_TRUE(CloseHandle(handle));
        EXPECT_LE(ElapsedMs(start), kSlackMs) << what << ": CloseHandle";
    }
}

// Connecting has one time limit for all the addresses, agreeing the option
// another; a server that floods before it agrees is refused at once.
TEST_F(HostileLine, OpeningEndsWithinItsBound) {
    struct Case {
        HostileMode mode;
        NetLineKind kind;
        int64_t boundMs;
        bool opens;
        const char* log;  // the start of the line logged when it does not
    } cases[] = {
        {HostileMode::NeverAccepts, NetLineTcp, kNetConnectMs, false, "KivIN : Port HOST1: no connection to 127.0.0.1:"},
        {HostileMode::Silent, NetLineRfc2217, kNetNegotiateMs, false, "KivIN : Port HOST1: 127.0.0.1:"},
        {HostileMode::Flood, NetLineRfc2217, kNetNegotiateMs, false, "KivIN : Port HOST1: 127.0.0.1:"},
        {HostileMode::OptionFlood, NetLineRfc2217, kNetNegotiateMs, true, nullptr},  // its DO 44 agrees
    };
    for (const Case& c : cases) {
        const std::string what = Describe(c.mode, c.kind);
        log_.Clear();
        HostileServer server;
        HostileParams params;
        params.agree = false;
        ASSERT_TRUE(server.Start(c.mode, c.kind, params)) << what;
        const Clock::time_point start = Clock::now();
        HANDLE handle = Open(server);
        EXPECT_LE(ElapsedMs(start), c.boundMs + kSlackMs) << what;
        EXPECT_EQ(handle != INVALID_HANDLE_VALUE, c.opens) << what;
        if (handle != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(handle));
        }
        if (c.log == nullptr) continue;
        const std::vector<std::string> texts = log_.Texts();
        ASSERT_EQ(texts.size(), 1u) << what;
        EXPECT_EQ(texts[0].rfind(c.log, 0), 0u) << what << ": " << texts[0];
    }
}

}  // namespace
