// The serial calls under the port layer: what every platform does on a
// pseudo-terminal, and our POSIX stand-in's own guarantees (names, handles,
// settings, time-out modes, closing under a blocked call).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/support/driver_channel.h"
#include "tests/support/line_pair.h"
#include "tests/support/wait_until.h"

#ifndef _WIN32
#include <termios.h>

#include "platform/posix_serial.h"
#include "tests/support/refused_dcb.h"
#endif

namespace {

HANDLE OpenPort(const std::string& name) {
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

TEST(SerialCalls, ModemLinesAreNotThereOnAPseudoTerminal) {
    LinePair line;
    if (!line.ok()) GTEST_SKIP() << line.error();
    HANDLE port = OpenPort(line.driverPort());
    ASSERT_NE(INVALID_HANDLE_VALUE, port);
    DWORD status = 0;
    EXPECT_FALSE(GetCommModemStatus(port, &status));
    EXPECT_FALSE(EscapeCommFunction(port, SETRTS));
    EXPECT_FALSE(EscapeCommFunction(port, CLRRTS));
    EXPECT_TRUE(CloseHandle(port));
}

// The driver's per-thread values (its current channel among them): each
// thread sees only its own, 0 until set, and reading one leaves the thread's
// last error alone (Windows' TlsGetValue would clear it), since the driver
// may read a value between a failed call and its GetLastError.
TEST(ThreadValues, EachThreadKeepsItsOwnAndTheLastErrorStays) {
    for (int slot = 0; slot < ThreadValueSlots; ++slot) ASSERT_EQ(1, SetThreadValue(slot, 100u + slot));
    std::atomic<int> otherThreadOk{0};
    std::thread other([&] {
        bool ok = true;
        for (int slot = 0; slot < ThreadValueSlots; ++slot) {
            ok = ok && ThreadValue(slot) == 0 && SetThreadValue(slot, 200u + slot) == 1;
            ok = ok && ThreadValue(slot) == 200u + slot;
        }
        otherThreadOk = ok ? 1 : 0;
    });
    other.join();
    EXPECT_EQ(1, otherThreadOk.load());
    for (int slot = 0; slot < ThreadValueSlots; ++slot) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(100u + slot, ThreadValue(slot));
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
        SetThreadValue(slot, 0);
    }
}

#if defined(_WIN32)
// Windows' TLS slots as the driver reads them: the first 64 in place in the
// thread's environment block, later ones through TlsGetValue. Either way the
// value is what TlsSetValue stored, and the last error stays.
TEST(ThreadValues, TlsSlotsReadInPlaceAndBeyondAlike) {
    std::vector<DWORD> taken;
    while (taken.empty() || taken.back() < 64) {
        const DWORD index = TlsAlloc();
        ASSERT_NE(TLS_OUT_OF_INDEXES, index);
        ASSERT_TRUE(TlsSetValue(index, reinterpret_cast<void*>(uintptr_t{0x1000} + index)));
        taken.push_back(index);
    }
    for (DWORD index : taken) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(uintptr_t{0x1000} + index, TlsSlotValue(index)) << "slot " << index;
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError()) << "slot " << index;
        TlsFree(index);
    }
}
#endif

TEST(SerialCalls, ClearCommErrorCountsTheInputQueue) {
    LinePair line;
    if (!line.ok()) GTEST_SKIP() << line.error();
    HANDLE port = OpenPort(line.driverPort());
    ASSERT_NE(INVALID_HANDLE_VALUE, port);
    ASSERT_TRUE(line.Write(HexBytes("01 02 03 04 05")));
    WaitUntil([&] { return InputWaiting(port) == 5; }, 5000);
    DWORD errors = 99;
    COMSTAT status = {};
    ASSERT_TRUE(ClearCommError(port, &errors, &status));
    EXPECT_EQ(5u, status.cbInQue);
    EXPECT_EQ(0u, errors);
    EXPECT_TRUE(CloseHandle(port));
}

#ifdef _WIN32

TEST(PosixSerial, NotUnderWindows) {
    GTEST_SKIP() << "checks the POSIX stand-in; under Windows the port layer calls Win32 itself";
}

#else

TEST(PosixSerial, PortNamesMapToDevicePaths) {
    struct Case {
        const char* name;
        const char* path;
    };
    const Case cases[] = {
        {"/dev/pts/3", "/dev/pts/3"},   {"/tmp/x", "/tmp/x"},
        {"NUL", "/dev/null"},           {"nul", "/dev/null"},
        {"COM1", "/dev/ttyS0"},         {"com2", "/dev/ttyS1"},
        {"COM10", "/dev/ttyS9"},        {"COM255", "/dev/ttyS254"},
        {"\\\\.\\COM10", "/dev/ttyS9"}, {"\\\\.\\NUL", "/dev/null"},
        {"ttyUSB0", "/dev/ttyUSB0"},    {"pts/12", "/dev/pts/12"},
        {"COM0", "/dev/COM0"},          {"COM01", "/dev/COM01"},
        {"COM256", "/dev/COM256"},      {"COM1x", "/dev/COM1x"},
        {"COM", "/dev/COM"},            {"NULL", "/dev/NULL"},
    };
    for (const Case& c : cases) {
        char path[64];
        ASSERT_TRUE(PosixPortPath(c.name, path, sizeof path)) << c.name;
        EXPECT_STREQ(c.path, path) << c.name;
    }
    char small[8];
    EXPECT_FALSE(PosixPortPath("ttyUSB0", small, sizeof small));  // "/dev/ttyUSB0" does not fit
    EXPECT_FALSE(PosixPortPath("", small, sizeof small));
    EXPECT_FALSE(PosixPortPath("\\\\.\\", small, sizeof small));
}

TEST(PosixSerial, HandlesFitTheChannelBlockAndAreNeverZero) {
    LinePair line;
    ASSERT_TRUE(line.ok()) << line.error();
    HANDLE port = OpenPort(line.driverPort());
    ASSERT_NE(INVALID_HANDLE_VALUE, port);
    uint32_t field = HandleToField(port);
    EXPECT_NE(0u, field);
    EXPECT_NE(0xFFFFFFFFu, field);
    EXPECT_EQ(port, FieldToHandle(field));
    EXPECT_TRUE(CloseHandle(port));
}

TEST(PosixSerial, HandlesThatAreNotOpenPortsAreRejected) {
    std::vector<HANDLE> handles = {nullptr, INVALID_HANDLE_VALUE, FieldToHandle(0xFFFFFFFFu),
                                   reinterpret_cast<HANDLE>(static_cast<uintptr_t>(1) << 40),
                                   FieldToHandle(0x7FFFFF00u)};
    // Every handle of a port opened and closed again, more of them than the
    // table has slots, so that slots and descriptor numbers come round again.
    LinePair line;
    ASSERT_TRUE(line.ok()) << line.error();
    for (int i = 0; i < 300; ++i) {
        HANDLE port = OpenPort(line.driverPort());
        ASSERT_NE(INVALID_HANDLE_VALUE, port);
        DCB dcb;
        ASSERT_TRUE(GetCommState(port, &dcb));
        for (HANDLE old : handles) ASSERT_NE(old, port);
        ASSERT_TRUE(CloseHandle(port));
        handles.push_back(port);
    }
    for (HANDLE handle : handles) {
        DCB dcb;
        SetLastError(0);
        EXPECT_FALSE(GetCommState(handle, &dcb));
        EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
        uint8_t byte = 0;
        DWORD count = 7;
        EXPECT_FALSE(ReadFile(handle, &byte, 1, &count, nullptr));
        EXPECT_EQ(0u, count);
        EXPECT_FALSE(WriteFile(handle, &byte, 1, &count, nullptr));
        EXPECT_FALSE(CloseHandle(handle));
        EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    }
}

// A port closed while another thread waits in a read or a write: the
// waiting call ends with an error, and never touches the descriptor after it
// was closed, whichever comes first. Run under TSan too.
TEST(PosixSerial, ClosingWakesCallsBlockedOnThePort) {
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        auto line = std::make_unique<LinePair>();
        ASSERT_TRUE(line->ok()) << line->error();
        HANDLE port = OpenPort(line->driverPort());
        ASSERT_NE(INVALID_HANDLE_VALUE, port);
        COMMTIMEOUTS forever = {0, 0, 0, 0, 0};  // wait for every byte, no end
        ASSERT_TRUE(SetCommTimeouts(port, &forever));

        std::atomic<BOOL> readResult{TRUE}, writeResult{TRUE};
        std::atomic<DWORD> readError{0}, writeError{0};
        std::thread reader([&] {
            uint8_t buffer[16];
            DWORD got = 0;
            readResult = ReadFile(port, buffer, sizeof buffer, &got, nullptr);
            readError = GetLastError();
        });
        std::thread writer([&] {
            std::vector<uint8_t> big(1 << 20, 0x5A);  // more than the line holds: waits for room
            DWORD sent = 0;
            writeResult = WriteFile(port, big.data(), static_cast<DWORD>(big.size()), &sent, nullptr);
            writeError = GetLastError();
        });
        if (round % 2 == 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_TRUE(CloseHandle(port));

        // A new port, likely on the descriptor number just freed, gets
        // every byte its peer sends.
        LinePair other;
        ASSERT_TRUE(other.ok()) << other.error();
        HANDLE next = OpenPort(other.driverPort());
        ASSERT_NE(INVALID_HANDLE_VALUE, next);
        COMMTIMEOUTS bounded = {0, 0, 2000, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(next, &bounded));
        ASSERT_TRUE(other.Write(HexBytes("10 20 30 40")));
        reader.join();
        writer.join();
        EXPECT_FALSE(readResult);
        EXPECT_TRUE(readError == 995 || readError == ERROR_INVALID_HANDLE) << readError;  // aborted or already closed
        EXPECT_FALSE(writeResult);
        EXPECT_TRUE(writeError == 995 || writeError == ERROR_INVALID_HANDLE) << writeError;
        uint8_t got[4] = {};
        DWORD count = 0;
        EXPECT_TRUE(ReadFile(next, got, 4, &count, nullptr));
        EXPECT_EQ(HexBytes("10 20 30 40"), Bytes(got, got + count));
        EXPECT_TRUE(CloseHandle(next));
    }
}

TEST(PosixSerial, ManyThreadsOnManyPorts) {
    // Opens, settings, reads and closes on separate ports at once: the table
    // keeps them apart (a data race here shows under TSan).
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&failures] {
            for (int i = 0; i < 25; ++i) {
                LinePair line;
                HANDLE port = OpenPort(line.driverPort());
                if (port == INVALID_HANDLE_VALUE) {
                    ++failures;
                    continue;
                }
                DCB dcb;
                COMMTIMEOUTS timeouts = {0, 0, 500, 0, 0};
                uint8_t byte = 0;
                DWORD count = 0;
                line.Write(HexBytes("7E"));
                if (!GetCommState(port, &dcb) || !SetCommState(port, &dcb) || !SetCommTimeouts(port, &timeouts) ||
                    !ReadFile(port, &byte, 1, &count, nullptr) || count != 1 || byte != 0x7E || !CloseHandle(port)) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(0, failures.load());
}

class PosixSettings : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(line.ok()) << line.error();
        port = OpenPort(line.driverPort());
        ASSERT_NE(INVALID_HANDLE_VALUE, port);
        ASSERT_TRUE(GetCommState(port, &opened));
    }
    void TearDown() override {
        if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
    }
    LinePair line;
    HANDLE port = INVALID_HANDLE_VALUE;
    DCB opened;
};

TEST_F(PosixSettings, OpenReportsTheRawPortAsItIs) {
    EXPECT_EQ(sizeof(DCB), opened.DCBlength);
    EXPECT_EQ(1u, opened.fBinary);
    EXPECT_EQ(8, opened.ByteSize);
    EXPECT_EQ(NOPARITY, opened.Parity);
    EXPECT_EQ(ONESTOPBIT, opened.StopBits);
    EXPECT_EQ(0u, opened.fOutX);
    EXPECT_EQ(0u, opened.fInX);
    COMMTIMEOUTS timeouts;
    ASSERT_TRUE(GetCommTimeouts(port, &timeouts));
    EXPECT_EQ(0u, timeouts.ReadTotalTimeoutConstant);
    struct termios raw;
    ASSERT_EQ(0, tcgetattr(line.driverSide(), &raw));
    EXPECT_EQ(0u, raw.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_EQ(0u, raw.c_oflag & OPOST);
    EXPECT_NE(0u, raw.c_cflag & CLOCAL);
}

TEST_F(PosixSettings, SettingsTermiosCanExpressAreApplied) {
    struct Case {
        DWORD baud;
        speed_t speed;
        BYTE parity;
        BYTE stopBits;
        tcflag_t cflags;  // beyond the speed
    };
    const Case cases[] = {
        {110, B110, NOPARITY, ONESTOPBIT, 0},
        {1200, B1200, NOPARITY, TWOSTOPBITS, CSTOPB},
        {9600, B9600, MARKPARITY, ONESTOPBIT, CMSPAR},
        {57600, B57600, SPACEPARITY, ONESTOPBIT, CMSPAR},
        {115200, B115200, NOPARITY, ONESTOPBIT, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.baud);
        DCB dcb = opened;
        dcb.BaudRate = c.baud;
        dcb.Parity = c.parity;
        dcb.StopBits = c.stopBits;
        dcb.fOutxCtsFlow = 1;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        ASSERT_TRUE(SetCommState(port, &dcb));
        struct termios applied;
        ASSERT_EQ(0, tcgetattr(line.driverSide(), &applied));
        EXPECT_EQ(c.speed, cfgetospeed(&applied));
        EXPECT_EQ(c.cflags | CRTSCTS, applied.c_cflag & (CSTOPB | CMSPAR | CRTSCTS));
        DCB back;
        ASSERT_TRUE(GetCommState(port, &back));
        EXPECT_EQ(c.baud, back.BaudRate);
        EXPECT_EQ(c.parity, back.Parity);
    }
}

TEST_F(PosixSettings, SettingsTermiosCannotExpressFailAndChangeNothing) {
    struct termios before;
    ASSERT_EQ(0, tcgetattr(line.driverSide(), &before));
    for (const RefusedDcbChange& c : kRefusedDcbChanges) {
        SCOPED_TRACE(c.what);
        DCB dcb = opened;
        dcb.BaudRate = 4800;  // would change if anything were applied
        c.change(&dcb);
        SetLastError(0);
        EXPECT_FALSE(SetCommState(port, &dcb));
        EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
        DCB back;
        ASSERT_TRUE(GetCommState(port, &back));
        EXPECT_EQ(0, std::memcmp(&opened, &back, sizeof back));
        struct termios after;
        ASSERT_EQ(0, tcgetattr(line.driverSide(), &after));
        EXPECT_EQ(cfgetospeed(&before), cfgetospeed(&after));
        EXPECT_EQ(before.c_cflag, after.c_cflag);
    }
}

TEST_F(PosixSettings, ReadTimeOutModes) {
    // Interval MAXDWORD with no totals: what is there, at once.
    COMMTIMEOUTS atOnce = {0xFFFFFFFFu, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &atOnce));
    uint8_t buffer[10] = {};
    DWORD got = 99;
    EXPECT_TRUE(ReadFile(port, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(0u, got);

    // Interval and multiplier MAXDWORD: the first bytes to come end the read.
    COMMTIMEOUTS firstBytes = {0xFFFFFFFFu, 0xFFFFFFFFu, 5000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &firstBytes));
    ASSERT_TRUE(line.Write(HexBytes("01 02")));
    EXPECT_TRUE(ReadFile(port, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(HexBytes("01 02"), Bytes(buffer, buffer + got));

    // All zero: the read waits for every byte asked.
    COMMTIMEOUTS everyByte = {0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &everyByte));
    std::thread sender([this] {
        line.Write(HexBytes("0A 0B"));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        line.Write(HexBytes("0C 0D"));
    });
    EXPECT_TRUE(ReadFile(port, buffer, 4, &got, nullptr));
    sender.join();
    EXPECT_EQ(HexBytes("0A 0B 0C 0D"), Bytes(buffer, buffer + got));

    // All three MAXDWORD is refused, as Win32 does.
    COMMTIMEOUTS invalid = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0, 0};
    EXPECT_FALSE(SetCommTimeouts(port, &invalid));
}

TEST(PosixSerial, TheNullDeviceIsNoSerialPort) {
    for (const char* name : {"NUL", "nul", "\\\\.\\NUL"}) {
        SCOPED_TRACE(name);
        HANDLE port = OpenPort(name);
        ASSERT_NE(INVALID_HANDLE_VALUE, port);
        DCB dcb;
        COMMTIMEOUTS timeouts = {};
        SetLastError(0);
        EXPECT_FALSE(GetCommState(port, &dcb));
        EXPECT_EQ(1u, GetLastError());  // ERROR_INVALID_FUNCTION
        EXPECT_FALSE(SetCommTimeouts(port, &timeouts));
        uint8_t bytes[4] = {1, 2, 3, 4};
        DWORD count = 0;
        EXPECT_TRUE(WriteFile(port, bytes, 4, &count, nullptr));
        EXPECT_EQ(4u, count);
        EXPECT_TRUE(ReadFile(port, bytes, 4, &count, nullptr));
        EXPECT_EQ(0u, count);
        EXPECT_TRUE(CloseHandle(port));
    }
}

TEST(PosixSerial, OpenRefusesWhatItCannotDo) {
    LinePair line;
    ASSERT_TRUE(line.ok()) << line.error();
    SetLastError(0);
    EXPECT_EQ(INVALID_HANDLE_VALUE,
              CreateFileA(line.driverPort().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, 2 /* CREATE_ALWAYS */, 0,
                          nullptr));
    EXPECT_EQ(ERROR_NOT_SUPPORTED, GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA(line.driverPort().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                OPEN_EXISTING, 0x40000000u /* overlapped */, nullptr));
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenPort("/dev/kivnone"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenPort(""));

    HANDLE first = OpenPort(line.driverPort());
    ASSERT_NE(INVALID_HANDLE_VALUE, first);
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenPort(line.driverPort()));
    EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_TRUE(CloseHandle(first));
    HANDLE again = OpenPort(line.driverPort());
    EXPECT_NE(INVALID_HANDLE_VALUE, again);
    EXPECT_TRUE(CloseHandle(again));
}

// A hung-up terminal (its far end closed, its adapter gone) fails every call
// at once with the device error, the read too rather than a time-out's
// success with nothing; the handle still closes.
TEST(PosixSerial, AHungUpTerminalFailsEveryCallWithTheDeviceError) {
    LinePair line;
    ASSERT_TRUE(line.ok()) << line.error();
    HANDLE port = OpenPort(line.driverPort());
    ASSERT_NE(INVALID_HANDLE_VALUE, port);
    COMMTIMEOUTS timeouts = {0, 0, 5000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    line.HangUp();
    uint8_t bytes[3];
    DWORD done = 7;
    EXPECT_FALSE(ReadFile(port, bytes, 3, &done, nullptr));
    EXPECT_EQ(DWORD(ERROR_IO_DEVICE), GetLastError());
    EXPECT_EQ(0u, done);
    EXPECT_FALSE(WriteFile(port, bytes, 3, &done, nullptr));
    EXPECT_EQ(DWORD(ERROR_IO_DEVICE), GetLastError());
    DWORD errors = 0;
    COMSTAT status;
    EXPECT_FALSE(ClearCommError(port, &errors, &status));
    EXPECT_EQ(DWORD(ERROR_IO_DEVICE), GetLastError());
    EXPECT_TRUE(CloseHandle(port));
}

#endif  // _WIN32

}  // namespace
