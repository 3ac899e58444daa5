// The port layer over a real line: set-up at open, the null device, the read
// time-out, exact reads across pieces, the purge and writes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "serial/port.h"
#include "tests/support/driver_channel.h"
#include "tests/support/line_pair.h"
#include "tests/support/wait_until.h"

#ifndef _WIN32
#include <termios.h>
#endif

namespace {

const LineSettings kLine19200 = {19200, 8, 0, 0};

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

class PortTest : public ::testing::Test {
protected:
    void SetUp() override {
        KIV_NEED_LINE(line);
    }
    void TearDown() override { CloseIfOpen(); }

    int Open(const LineSettings& settings = kLine19200, uint32_t options = 8) {
        CloseIfOpen();
        return PortOpen(line.driverPort().c_str(), &settings, options, &handle);
    }
    void CloseIfOpen() {
        if (handle != INVALID_HANDLE_VALUE && handle != nullptr) PortClose(handle);
        handle = INVALID_HANDLE_VALUE;
    }
    DCB State() {
        DCB dcb;
        std::memset(&dcb, 0, sizeof dcb);
        dcb.DCBlength = sizeof dcb;
        EXPECT_TRUE(GetCommState(handle, &dcb));
        return dcb;
    }
    COMMTIMEOUTS Timeouts() {
        COMMTIMEOUTS timeouts;
        std::memset(&timeouts, 0, sizeof timeouts);
        EXPECT_TRUE(GetCommTimeouts(handle, &timeouts));
        return timeouts;
    }
    void SetReadTotal(DWORD ms) {
        COMMTIMEOUTS timeouts = Timeouts();
        timeouts.ReadTotalTimeoutConstant = ms;
        ASSERT_TRUE(SetCommTimeouts(handle, &timeouts));
    }
    // Waits until count bytes sent by the peer have reached the driver's
    // input queue.
    bool WaitForInput(DWORD count) {
        return WaitUntil([&] { return InputWaiting(handle) >= count; });
    }

    LinePair line;
    HANDLE handle = INVALID_HANDLE_VALUE;
};

struct LineCase {
    LineSettings line;
    DWORD baud;
    DWORD writeMsPerByte;  // a character's line time, rounded up
#ifndef _WIN32
    speed_t speed;
#endif
};

TEST_F(PortTest, OpenAppliesLineSettingsTimeOutsAndErrorChar) {
    const LineCase cases[] = {
#ifdef _WIN32
        {{9600, 8, 0, 0}, 9600, 2}, {{19200, 7, 2, 2}, 19200, 1}, {{4800, 8, 0, 1}, 4800, 3},
        {{38400, 8, 2, 0}, 38400, 1},
#else
        {{9600, 8, 0, 0}, 9600, 2, B9600},
        {{19200, 7, 2, 2}, 19200, 1, B19200},
        {{4800, 8, 0, 1}, 4800, 3, B4800},
        {{38400, 8, 2, 0}, 38400, 1, B38400},
#endif
    };
    ASSERT_EQ(PortOk, Open(kLine19200, 0));
    DCB before = State();
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.baud);
        ASSERT_EQ(PortOk, Open(c.line, 8));
        DCB dcb = State();
        EXPECT_EQ(c.baud, dcb.BaudRate);
        EXPECT_EQ(c.line.stopBits, dcb.StopBits);
        EXPECT_EQ(0u, dcb.fErrorChar);
        // Wine reads these back from the pseudo-terminal under the COM port,
        // which has 8 data bits, no parity and no error character.
        if (!UnderWine()) {
            EXPECT_EQ(c.line.dataBits, dcb.ByteSize);
            EXPECT_EQ(c.line.parity, dcb.Parity);
            if (c.line.parity != 0) {
                EXPECT_EQ(1u, dcb.fParity);
            }
            EXPECT_EQ(static_cast<char>(0xFC), dcb.ErrorChar);
        }
        // Options 8 leave DTR, RTS and flow control as the port had them.
        EXPECT_EQ(before.fDtrControl, dcb.fDtrControl);
        EXPECT_EQ(before.fRtsControl, dcb.fRtsControl);
        EXPECT_EQ(before.fOutxCtsFlow, dcb.fOutxCtsFlow);
        EXPECT_EQ(before.fOutxDsrFlow, dcb.fOutxDsrFlow);
        COMMTIMEOUTS timeouts = Timeouts();
        EXPECT_EQ(0u, timeouts.ReadIntervalTimeout);
        EXPECT_EQ(0u, timeouts.ReadTotalTimeoutMultiplier);
        EXPECT_EQ(1000u, timeouts.ReadTotalTimeoutConstant);
        // Writes end by a time-out: the characters' line time and a slack.
        EXPECT_EQ(c.writeMsPerByte, timeouts.WriteTotalTimeoutMultiplier);
        EXPECT_EQ(kPortWriteSlackMs, timeouts.WriteTotalTimeoutConstant);
#ifndef _WIN32
        // And the device itself took them.
        struct termios applied;
        ASSERT_EQ(0, tcgetattr(line.driverSide(), &applied));
        EXPECT_EQ(c.speed, cfgetospeed(&applied));
        EXPECT_EQ(c.line.stopBits == 2, (applied.c_cflag & CSTOPB) != 0);
        EXPECT_EQ(dcb.fParity != 0, (applied.c_iflag & INPCK) != 0);
#endif
    }
}

TEST_F(PortTest, ParityNoneLeavesParityCheckingAsItWas) {
    if (UnderWine()) GTEST_SKIP() << "wine reads parity checking back from the pseudo-terminal, which has none";
    ASSERT_EQ(PortOk, Open({9600, 8, 0, 2}, 8));
    ASSERT_EQ(1u, State().fParity);
    ASSERT_EQ(PortOk, Open({9600, 8, 0, 0}, 8));
    EXPECT_EQ(1u, State().fParity);
    EXPECT_EQ(NOPARITY, State().Parity);
}

TEST_F(PortTest, OptionsWithoutLowBitsLeaveThePortAsItWas) {
    ASSERT_EQ(PortOk, Open({9600, 8, 0, 0}, 8));
    for (uint32_t options : {0u, 0x10000u, 0xFFFF0000u}) {
        SCOPED_TRACE(options);
        ASSERT_EQ(PortOk, Open({4800, 7, 2, 1}, options));
        DCB dcb = State();
        EXPECT_EQ(9600u, dcb.BaudRate);
        EXPECT_EQ(ONESTOPBIT, dcb.StopBits);
        EXPECT_EQ(NOPARITY, dcb.Parity);
    }
}

TEST_F(PortTest, HandshakeGroupsTakeTheFirstRowPresent) {
#ifdef _WIN32
    GTEST_SKIP() << "the Windows serial driver decides which handshakes it takes (under wine a pseudo-terminal "
                    "reports none); the rows are checked against our POSIX stand-in";
#endif
    struct Case {
        uint32_t options;
        int result;
        DWORD dtr, rts, ctsFlow, dsrFlow, dsrSensitivity;
    };
    ASSERT_EQ(PortOk, Open(kLine19200, 0));
    const DCB base = State();
    const DWORD dtr = base.fDtrControl, rts = base.fRtsControl;
    const Case cases[] = {
        {0x0001, PortOk, DTR_CONTROL_ENABLE, rts, 0, 0, 0},
        {0x0101 | 0x8000, PortOk, DTR_CONTROL_ENABLE, rts, 0, 0, 0},
        {0x0200, PortOk, dtr, RTS_CONTROL_ENABLE, 0, 0, 0},
        {0x0002 | 0x1000 | 0x2000, PortOk, dtr, RTS_CONTROL_ENABLE, 0, 0, 0},
        {0x1000 | 0x2000 | 0x0010, PortOk, dtr, RTS_CONTROL_HANDSHAKE, 1, 0, 0},
        {0x0010 | 0x0020 | 0x4000 | 0x1000, PortOk, dtr, RTS_CONTROL_HANDSHAKE, 1, 0, 0},
        {0x0004 | 0x0040 | 0x0080 | 0x0400 | 0x0800, PortOk, dtr, rts, 0, 0, 0},
        // What termios cannot do fails the open instead of passing unnoticed.
        {0x8000, PortSettingsFailed, 0, 0, 0, 0, 0},
        {0x2000, PortSettingsFailed, 0, 0, 0, 0, 0},
        {0x1000, PortSettingsFailed, 0, 0, 0, 0, 0},
        {0x0020, PortSettingsFailed, 0, 0, 0, 0, 0},
        {0x4000, PortSettingsFailed, 0, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        // Each case starts from the same port state.
        ASSERT_EQ(PortOk, Open(kLine19200, 0));
        DCB reset = base;
        ASSERT_TRUE(SetCommState(handle, &reset));
        CloseIfOpen();
        ASSERT_EQ(c.result, Open(kLine19200, c.options));
        ASSERT_NE(INVALID_HANDLE_VALUE, handle);
        if (c.result != PortOk) {
            EXPECT_EQ(base.fRtsControl, State().fRtsControl);  // nothing taken
            continue;
        }
        DCB dcb = State();
        EXPECT_EQ(c.dtr, dcb.fDtrControl);
        EXPECT_EQ(c.rts, dcb.fRtsControl);
        EXPECT_EQ(c.ctsFlow, dcb.fOutxCtsFlow);
        EXPECT_EQ(c.dsrFlow, dcb.fOutxDsrFlow);
        EXPECT_EQ(c.dsrSensitivity, dcb.fDsrSensitivity);
    }
}

TEST_F(PortTest, NamesThatDoNotExistFailWithAnInvalidHandle) {
#ifdef _WIN32
    const char* names[] = {"KIVNONE1", "COM200", "\\\\.\\COM200"};
#else
    const char* names[] = {"/dev/kivnone", "KIVNONE1", "COM200", "\\\\.\\COM200"};
#endif
    for (const char* name : names) {
        SCOPED_TRACE(name);
        HANDLE opened = nullptr;
        EXPECT_EQ(PortOpenFailed, PortOpen(name, &kLine19200, 8, &opened));
        EXPECT_EQ(INVALID_HANDLE_VALUE, opened);
    }
}

TEST_F(PortTest, OnlyTheExactNameNulSkipsTheSetUp) {
    // "NUL" is opened and returned as it is; the null device has no serial
    // state, which the set-up would have found out.
    HANDLE nul = INVALID_HANDLE_VALUE;
    ASSERT_EQ(PortOk, PortOpen("NUL", &kLine19200, 8, &nul));
    ASSERT_NE(INVALID_HANDLE_VALUE, nul);
    ASSERT_NE(nullptr, nul);
    DCB dcb;
    dcb.DCBlength = sizeof dcb;
    EXPECT_FALSE(GetCommState(nul, &dcb));
    const uint8_t bytes[4] = {1, 2, 3, 4};
    uint32_t written = 0;
    EXPECT_EQ(PortOk, PortWrite(nul, bytes, 4, &written));
    EXPECT_EQ(4u, written);
    EXPECT_EQ(PortOk, PortClose(nul));

    // Any other spelling is taken as a port: the set-up runs, finds no serial
    // state and closes the handle again.
    HANDLE lower = INVALID_HANDLE_VALUE;
    EXPECT_EQ(PortStateFailed, PortOpen("nul", &kLine19200, 8, &lower));
    EXPECT_NE(INVALID_HANDLE_VALUE, lower);
#ifndef _WIN32
    EXPECT_FALSE(CloseHandle(lower));  // closed already
#endif
}

TEST_F(PortTest, SetReadIntervalReturnsThePreviousTimeOut) {
    ASSERT_EQ(PortOk, Open());
    EXPECT_EQ(100, PortSetReadInterval(handle, 100));
    EXPECT_EQ(1000u, Timeouts().ReadTotalTimeoutConstant);
    EXPECT_EQ(100, PortSetReadInterval(handle, 30));
    EXPECT_EQ(300u, Timeouts().ReadTotalTimeoutConstant);
    EXPECT_EQ(30, PortSetReadInterval(handle, 5));
    SetReadTotal(59);
    EXPECT_EQ(5, PortSetReadInterval(handle, 5));  // tens of ms, cut down
    EXPECT_EQ(50u, Timeouts().ReadTotalTimeoutConstant);
}

TEST_F(PortTest, CallsOnAClosedPortFail) {
    ASSERT_EQ(PortOk, Open());
    HANDLE closed = handle;
    ASSERT_EQ(PortOk, PortClose(handle));
    handle = INVALID_HANDLE_VALUE;
    uint8_t bytes[4] = {};
    uint32_t count = 99;
    EXPECT_EQ(PortIoFailed, PortWrite(closed, bytes, 4, &count));
    EXPECT_EQ(99u, count);  // not touched on failure
    EXPECT_EQ(PortIoFailed, PortReadExact(closed, bytes, 4, &count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(0, PortSetReadInterval(closed, 10));
    EXPECT_EQ(PortIoFailed, PortClose(closed));
}

TEST_F(PortTest, ReadExactCollectsPiecesThatComeInSeparateReads) {
    // The interval time-out ends each read soon after its piece, so every
    // piece takes a read of its own; the long total keeps a slow machine
    // from failing the test (it would only merge pieces).
    const std::vector<std::vector<int>> cases = {{2, 1}, {1, 1, 1, 1}, {5, 3, 8}, {16}};
    ASSERT_EQ(PortOk, Open());
    for (const std::vector<int>& pieces : cases) {
        COMMTIMEOUTS timeouts = {20, 0, 5000, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(handle, &timeouts));
        Bytes sent;
        for (int size : pieces) {
            for (int i = 0; i < size; ++i) sent.push_back(static_cast<uint8_t>(0x30 + sent.size()));
        }
        SCOPED_TRACE(HexText(sent));
        uint8_t buffer[64] = {};
        uint32_t total = 0;
        int result = -1;
        std::thread reader([&] { result = PortReadExact(handle, buffer, static_cast<uint32_t>(sent.size()), &total); });
        size_t at = 0;
        for (int size : pieces) {
            ASSERT_TRUE(line.Write(sent.data() + at, static_cast<size_t>(size)));
            at += static_cast<size_t>(size);
            Pause(80);
        }
        reader.join();
        EXPECT_EQ(PortOk, result);
        EXPECT_EQ(sent.size(), total);
        EXPECT_EQ(sent, Bytes(buffer, buffer + total));
    }
}

TEST_F(PortTest, ReadExactOnASilentLineFailsAfterOneTimeOut) {
    struct Case {
        Bytes arriving;
    };
    const Case cases[] = {{{}}, {{0x11, 0x22}}};
    ASSERT_EQ(PortOk, Open());
    PortSetReadInterval(handle, 5);
    for (const Case& c : cases) {
        SCOPED_TRACE(HexText(c.arriving));
        ASSERT_TRUE(line.Write(c.arriving));
        ASSERT_TRUE(WaitForInput(static_cast<DWORD>(c.arriving.size())));
        uint8_t buffer[3] = {};
        uint32_t total = 99;
        EXPECT_EQ(PortIoFailed, PortReadExact(handle, buffer, 3, &total));
        EXPECT_EQ(c.arriving.size(), total);
        EXPECT_EQ(c.arriving, Bytes(buffer, buffer + total));
    }
}

TEST_F(PortTest, ReadExactAsksAtMost65535BytesARead) {
    // A count of 65536 asks for 0 bytes (the request is 16 bits wide), gets
    // none and fails; nothing is read past the buffer.
    ASSERT_EQ(PortOk, Open());
    PortSetReadInterval(handle, 5);
    ASSERT_TRUE(line.Write(HexBytes("01 02 03")));
    ASSERT_TRUE(WaitForInput(3));
    std::vector<uint8_t> buffer(65536 + 8, 0xEE);
    uint32_t total = 99;
    EXPECT_EQ(PortIoFailed, PortReadExact(handle, buffer.data(), 65536, &total));
    EXPECT_EQ(0u, total);
    EXPECT_EQ(3u, InputWaiting(handle));
}

TEST_F(PortTest, PurgeThrowsAwayWaitingBytesAndRestoresTheReadTimeOut) {
    struct Case {
        size_t waiting;
        DWORD totalBefore;  // ms
        DWORD totalAfter;   // ms
    };
    const Case cases[] = {
        {1200, 1000, 1000},
        {10, 300, 300},
        {512, 1000, 1000},
        {0, 7, 7},    // nothing waiting: no read, the time-out is not touched
        {10, 7, 50},  // under 10 ms the previous time-out reads as 0: not restored
    };
    ASSERT_EQ(PortOk, Open());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.waiting);
        SetReadTotal(c.totalBefore);
        Bytes noise(c.waiting);
        for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i * 7);
        ASSERT_TRUE(line.Write(noise));
        ASSERT_TRUE(WaitForInput(static_cast<DWORD>(c.waiting)));
        EXPECT_EQ(0, PortPurgeInput(handle));
        EXPECT_EQ(0u, InputWaiting(handle));
        EXPECT_EQ(c.totalAfter, Timeouts().ReadTotalTimeoutConstant);
        // The next bytes to come are the first ones read.
        SetReadTotal(1000);
        ASSERT_TRUE(line.Write(HexBytes("A5 5A")));
        uint8_t marker[2] = {};
        EXPECT_EQ(PortOk, PortReadExact(handle, marker, 2, nullptr));
        EXPECT_EQ(HexBytes("A5 5A"), Bytes(marker, marker + 2));
    }
}

TEST_F(PortTest, WriteSendsEveryByte) {
    ASSERT_EQ(PortOk, Open());
    const Bytes bytes = HexBytes("05 64 0A 44 0C 00 01 00 00 FF 13 11");
    uint32_t written = 0;
    EXPECT_EQ(PortOk, PortWrite(handle, bytes.data(), static_cast<uint32_t>(bytes.size()), &written));
    EXPECT_EQ(bytes.size(), written);
    EXPECT_EQ(bytes, line.Read(bytes.size(), 2000));
    EXPECT_EQ(PortOk, PortWrite(handle, bytes.data(), 3, nullptr));
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 3), line.Read(3, 2000));
}

TEST_F(PortTest, WriteThatTimesOutReportsTheBytesWritten) {
    ASSERT_EQ(PortOk, Open());
    COMMTIMEOUTS timeouts = Timeouts();
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 100;
    ASSERT_TRUE(SetCommTimeouts(handle, &timeouts));
    std::vector<uint8_t> big(1 << 20, 0x55);
    uint32_t written = 0;
    ASSERT_EQ(PortShortWrite, PortWrite(handle, big.data(), static_cast<uint32_t>(big.size()), &written));
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, big.size());
    size_t arrived = 0;
    for (Bytes piece = line.Read(big.size(), 200); !piece.empty(); piece = line.Read(big.size(), 200)) {
        arrived += piece.size();
    }
    EXPECT_EQ(written, arrived);
}

TEST_F(PortTest, PortIsForOneUserAtATime) {
    if (UnderWine()) GTEST_SKIP() << "wine lets a process open one COM port twice";
    ASSERT_EQ(PortOk, Open());
    HANDLE second = nullptr;
    EXPECT_EQ(PortOpenFailed, PortOpen(line.driverPort().c_str(), &kLine19200, 8, &second));
    EXPECT_EQ(INVALID_HANDLE_VALUE, second);
}

}  // namespace
