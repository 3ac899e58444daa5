// For the tests of the driver's network lines: a free loopback port, and one
// read through an open port of a unit whose register holds all ones.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "serial/port.h"
#include "tests/sim/sim_client.h"

namespace simtest {

// A loopback port with nothing listening on it: one the system picks, bound
// and let go again.
inline int FreeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// Reads register 300 of station 12 (host 1), which holds 0xFFFFFFFF, so that
// the answer carries bytes that RFC 2217 escapes, and checks the answer's
// frame and value bytes.
inline void ExpectReadOfOnes(HANDLE handle) {
    const Bytes request = Frame(Request(12, 1, 1, {0x01, 0x2C, 0x01}));
    uint32_t written = 0;
    ASSERT_EQ(PortWrite(handle, request.data(), uint32_t(request.size()), &written), PortOk);
    Bytes answer(FrameSizeFor(14));
    uint32_t total = 0;
    ASSERT_EQ(PortReadExact(handle, answer.data(), uint32_t(answer.size()), &total), PortOk);
    uint8_t m[kMessageBufferSize];
    ASSERT_TRUE(CheckFrameBlocks(CrcTable(), answer.data(), m));
    EXPECT_EQ(Bytes(m + 11, m + 15), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
}

}  // namespace simtest
