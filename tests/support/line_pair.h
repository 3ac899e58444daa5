// Two ends of a serial line for tests: the name under which the driver opens
// one end, and the other (peer) end, which the test reads and writes itself.
// Natively a fresh pseudo-terminal pair; under Windows the COM ports named by
// KIV_COM_DRIVER and KIV_COM_PEER, which scripts/wine-ports links to the two
// ends of a pseudo-terminal pair for the program's run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

using Bytes = std::vector<uint8_t>;

// "05 64 0a" (spaces optional, either case) as bytes; stops at the first
// character that is neither a hex digit nor a space.
Bytes HexBytes(const std::string& text);
// Bytes as "05 64 0A".
std::string HexText(const Bytes& bytes);

// True in a Windows program that runs under wine (whose COM ports on
// pseudo-terminals report less than Windows does); false elsewhere.
bool UnderWine();

// In a test or its set-up: a line pair that could not be made skips the test
// under Windows (where there may be no pair of COM ports) and fails it
// elsewhere.
#ifdef _WIN32
#define KIV_NEED_LINE(pair) if (!(pair).ok()) GTEST_SKIP() << (pair).error()
#else
#define KIV_NEED_LINE(pair) ASSERT_TRUE((pair).ok()) << (pair).error()
#endif

class LinePair {
public:
    // Sets up both ends; ok() tells whether that worked, error() why not.
    LinePair();
    ~LinePair();
    LinePair(const LinePair&) = delete;
    LinePair& operator=(const LinePair&) = delete;

    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    // The driver's end as a port name (at most 11 characters): natively the
    // pseudo-terminal's path, or its name under /dev/ when the path is
    // longer; under Windows the COM port name.
    const std::string& driverPort() const { return driverPort_; }

    // Writes all bytes to the peer end; false when a write failed.
    bool Write(const Bytes& bytes);
    bool Write(const void* data, size_t size);
    // Reads from the peer end until count bytes came or timeoutMs passed
    // since the call; returns what came (maybe nothing).
    Bytes Read(size_t count, int timeoutMs);
    // Bytes waiting at the peer end, not read.
    size_t Available();
    // Throws away what reaches the peer end until it stays quiet for quietMs.
    void Drain(int quietMs = 20);

#ifndef _WIN32
    // Closes the peer end: the driver's end is hung up for good, as when
    // the adapter behind a port is pulled out.
    void HangUp();
    // The driver's end as the pair holds it open (so that its settings stay
    // and the peer never sees a hang-up while the driver reopens): for
    // reading the termios the driver set.
    int driverSide() const { return slave_; }
#endif

private:
    bool ok_ = false;
    std::string error_;
    std::string driverPort_;
#ifdef _WIN32
    HANDLE peer_ = INVALID_HANDLE_VALUE;
#else
    int master_ = -1;
    int slave_ = -1;
#endif
};
