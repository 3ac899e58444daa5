// kivsim as a device server listens where it is told: on the loopback of
// both families unless an address is given, as the system's own table of
// listening sockets shows (what `ss -ltn` prints), and says so.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "tests/sim/sim_client.h"
#include "tests/support/child_process.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/wait_until.h"

#if defined(KIV_KIVSIM_PATH)

namespace {

// The addresses with a TCP socket listening on port, from /proc/net/tcp and
// /proc/net/tcp6: "127.0.0.1", "::1", "0.0.0.0", "::".
std::set<std::string> ListeningOn(int port) {
    std::set<std::string> found;
    for (int family : {AF_INET, AF_INET6}) {
        std::ifstream table(family == AF_INET ? "/proc/net/tcp" : "/proc/net/tcp6");
        std::string line;
        std::getline(table, line);  // the heading
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            const size_t colon = local.find(':');
            if (state != "0A" || colon == std::string::npos) continue;  // 0A: listening
            if (std::stoi(local.substr(colon + 1), nullptr, 16) != port) continue;
            // The address in 32-bit words of the machine's own byte order.
            uint8_t bytes[16] = {};
            for (size_t word = 0; word * 8 < colon && word < 4; ++word) {
                const uint32_t value = uint32_t(std::stoul(local.substr(word * 8, 8), nullptr, 16));
                std::memcpy(bytes + 4 * word, &value, 4);
            }
            char text[INET6_ADDRSTRLEN] = {};
            inet_ntop(family, bytes, text, sizeof text);
            found.insert(text);
        }
    }
    return found;
}

bool HaveIpv6Loopback() {
    int fd = socket(AF_INET6, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return bound;
}

// A client connected to address:port (IPv6 when it holds a colon); -1 when
// the connection failed.
int Connect(const char* address, int port) {
    const int family = std::strchr(address, ':') != nullptr ? AF_INET6 : AF_INET;
    int fd = socket(family, SOCK_STREAM, 0);
    sockaddr_storage where{};
    socklen_t size;
    if (family == AF_INET) {
        auto* a = reinterpret_cast<sockaddr_in*>(&where);
        a->sin_family = AF_INET;
        a->sin_port = htons(uint16_t(port));
        inet_pton(AF_INET, address, &a->sin_addr);
        size = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in6*>(&where);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(uint16_t(port));
        inet_pton(AF_INET6, address, &a->sin6_addr);
        size = sizeof *a;
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&where), size) == 0) return fd;
    close(fd);
    return -1;
}

// What comes on fd within 5 s, until the server closes or want bytes came.
std::string Received(int fd, size_t want) {
    std::string got;
    for (int tries = 0; tries < 50 && got.size() < want; ++tries) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buffer[256];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        got.append(buffer, size_t(n));
    }
    return got;
}

// Sends a link reset for station 1 on a connected raw TCP line and returns
// how many bytes of the answer came.
size_t AnswerBytesOn(int fd) {
    const simtest::Bytes request = simtest::Frame(simtest::LinkReset(1, 0));
    if (fd < 0 || write(fd, request.data(), request.size()) != ssize_t(request.size())) return 0;
    return Received(fd, FrameSizeFor(7)).size();
}

// The same on a connection of its own, closed after.
size_t AnswerBytesThrough(const char* address, int port) {
    const int fd = Connect(address, port);
    const size_t got = AnswerBytesOn(fd);
    if (fd >= 0) close(fd);
    return got;
}

// The local end of a connected socket as kivsim names a client.
std::string LocalName(int fd) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    char text[INET6_ADDRSTRLEN] = {};
    if (local.ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&local);
        inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]:" + std::to_string(ntohs(a->sin6_port));
    }
    const auto* a = reinterpret_cast<const sockaddr_in*>(&local);
    inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a->sin_port));
}

TEST(KivsimListen, OnTheLoopbackUnlessAnAddressIsGiven) {
    const bool v6 = HaveIpv6Loopback();
    const std::set<std::string> loopback = v6 ? std::set<std::string>{"127.0.0.1", "::1"}
                                              : std::set<std::string>{"127.0.0.1"};
    const struct {
        std::vector<std::string> option;
        bool needsV6;
        std::set<std::string> listening;
        const char* path;  // how LinePath begins: the address a client here uses
        const char* says;  // in the banner's listening line
        std::vector<const char*> served;  // raw TCP clients from these addresses are answered
    } cases[] = {
        {{"--listen-tcp", "0"}, false, loopback, "tcp://127.0.0.1:", "(this machine only)", {"127.0.0.1", "::1"}},
        {{"--listen-rfc2217", "0"}, false, loopback, "rfc2217://127.0.0.1:", "(this machine only)", {}},
        {{"--listen-tcp", "127.0.0.1:0"}, false, {"127.0.0.1"}, "tcp://127.0.0.1:", "(this machine only)", {}},
        {{"--listen-tcp", "[::1]:0"}, true, {"::1"}, "tcp://[::1]:", "(this machine only)", {"::1"}},
        {{"--listen-tcp", "0.0.0.0:0"}, false, {"0.0.0.0"}, "tcp://127.0.0.1:", "open to other machines",
         {"127.0.0.1"}},
        {{"--listen-rfc2217", "[::]:0"}, true, {"::"}, "rfc2217://[::1]:", "open to other machines", {}},
        // Every interface of both families; localhost is the loopback of both.
        {{"--listen-tcp", "[::]:0"}, true, {"::"}, "tcp://[::1]:", "open to other machines", {"127.0.0.1", "::1"}},
        {{"--listen-tcp", "localhost:0"}, false, loopback, "tcp://127.0.0.1:", "(this machine only)",
         {"127.0.0.1", "::1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.option[0] + " " + c.option[1]);
        if (c.needsV6 && !v6) continue;
        std::vector<std::string> arguments = {KIV_KIVSIM_PATH, "--station", "1"};
        arguments.insert(arguments.end(), c.option.begin(), c.option.end());
        ChildProcess kivsim;
        ASSERT_TRUE(kivsim.Start(arguments));
        const std::string line = kivsim.ReadLineWith("kivsim: line ", 10000);
        ASSERT_NE(std::string::npos, line.find(c.path)) << line;
        const int port = std::stoi(line.substr(line.rfind(':') + 1));
        EXPECT_EQ(c.listening, ListeningOn(port));
        const std::string listening = kivsim.ReadLineWith("kivsim: listening on ", 5000);
        EXPECT_NE(std::string::npos, listening.find(c.says)) << listening;
        for (const std::string& address : c.listening) {
            const std::string shown = address.find(':') != std::string::npos ? "[" + address + "]" : address;
            EXPECT_NE(std::string::npos, listening.find(shown + ":" + std::to_string(port))) << listening;
        }
        // Served by each family it listens for, one client after the other.
        for (const char* from : c.served) {
            if (std::strchr(from, ':') != nullptr && !v6) continue;
            EXPECT_EQ(FrameSizeFor(7), AnswerBytesThrough(from, port)) << from;
        }
        ASSERT_TRUE(kivsim.Send("quit\n"));
        int status = -1;
        EXPECT_TRUE(kivsim.WaitExit(5000, &status));
        EXPECT_EQ(0, status);
    }
}

// One host at a time, as on a serial line: a client that comes while
// another holds the line is told who holds it and let go at once (not left
// waiting unseen); the first is served on, and after it leaves the next.
TEST(KivsimListen, ASecondClientIsRefusedWithWhoHoldsTheLine) {
    const struct {
        const char* listen;
        const char* address;
    } cases[] = {{"127.0.0.1:0", "127.0.0.1"}, {"[::1]:0", "::1"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.listen);
        if (std::strchr(c.address, ':') != nullptr && !HaveIpv6Loopback()) continue;
        const std::string traceFile = "/tmp/kivsim-clients-" + std::to_string(getpid()) + ".txt";
        std::remove(traceFile.c_str());
        ChildProcess kivsim;
        ASSERT_TRUE(kivsim.Start({KIV_KIVSIM_PATH, "--station", "1", "--listen-tcp", c.listen, "--trace-file",
                                  traceFile}));
        auto traced = [&](const std::string& piece) {
            std::string text;
            WaitUntil([&] { return (text = ReadBytesFile(traceFile)).find(piece) != std::string::npos; }, 5000);
            return text;
        };
        const std::string line = kivsim.ReadLineWith("kivsim: line ", 10000);
        const int port = std::stoi(line.substr(line.rfind(':') + 1));
        const int first = Connect(c.address, port);
        ASSERT_LE(0, first);
        EXPECT_EQ(FrameSizeFor(7), AnswerBytesOn(first));  // the first holds the line now

        const int second = Connect(c.address, port);
        ASSERT_LE(0, second);
        const std::string told = Received(second, 1000);  // until kivsim closes it
        EXPECT_NE(std::string::npos, told.find("kivsim: line busy: " + LocalName(first) + " has held it since "))
            << told;
        EXPECT_NE(std::string::npos, told.find("one client at a time; try again when it leaves\r\n")) << told;
        const std::string refused = "(client " + LocalName(second) + " refused: " + LocalName(first) + " holds the line)";
        EXPECT_NE(std::string::npos, traced(refused).find(refused));
        close(second);

        EXPECT_EQ(FrameSizeFor(7), AnswerBytesOn(first));
        close(first);
        EXPECT_NE(std::string::npos, traced("client left").find("client left"));
        EXPECT_EQ(FrameSizeFor(7), AnswerBytesThrough(c.address, port));
        ASSERT_TRUE(kivsim.Send("quit\n"));
        int status = -1;
        EXPECT_TRUE(kivsim.WaitExit(5000, &status));
        EXPECT_EQ(0, status);
        std::remove(traceFile.c_str());
    }
}

}  // namespace

#endif
