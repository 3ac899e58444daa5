// kivsim as a device server listens where it is told: on the loopback of
// both families unless an address is given, as the system's own table of
// listening sockets shows (what `ss -ltn` prints), and says so.
#include <gtest/gtest.h>

#include <arpa/inet.h>
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

// Connects to a raw TCP line at address:port, sends a link reset for
// station 1 and returns how many bytes of the answer came within seconds.
size_t AnswerBytesThrough(int family, const char* address, int port) {
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
    size_t got = 0;
    if (connect(fd, reinterpret_cast<sockaddr*>(&where), size) == 0) {
        const simtest::Bytes request = simtest::Frame(simtest::LinkReset(1, 0));
        if (write(fd, request.data(), request.size()) == ssize_t(request.size())) {
            const size_t whole = FrameSizeFor(7);
            for (int tries = 0; tries < 50 && got < whole; ++tries) {
                struct pollfd p = {fd, POLLIN, 0};
                if (poll(&p, 1, 100) <= 0) continue;
                uint8_t buffer[64];
                ssize_t n = read(fd, buffer, sizeof buffer);
                if (n <= 0) break;
                got += size_t(n);
            }
        }
    }
    close(fd);
    return got;
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
    } cases[] = {
        {{"--listen-tcp", "0"}, false, loopback, "tcp://127.0.0.1:", "(this machine only)"},
        {{"--listen-rfc2217", "0"}, false, loopback, "rfc2217://127.0.0.1:", "(this machine only)"},
        {{"--listen-tcp", "127.0.0.1:0"}, false, {"127.0.0.1"}, "tcp://127.0.0.1:", "(this machine only)"},
        {{"--listen-tcp", "[::1]:0"}, true, {"::1"}, "tcp://[::1]:", "(this machine only)"},
        {{"--listen-tcp", "0.0.0.0:0"}, false, {"0.0.0.0"}, "tcp://127.0.0.1:", "open to other machines"},
        {{"--listen-rfc2217", "[::]:0"}, true, {"::"}, "rfc2217://[::1]:", "open to other machines"},
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
        if (c.option[0] == "--listen-tcp" && c.listening == loopback) {
            // Served by either family, one client after the other.
            EXPECT_EQ(FrameSizeFor(7), AnswerBytesThrough(AF_INET, "127.0.0.1", port));
            if (v6) {
                EXPECT_EQ(FrameSizeFor(7), AnswerBytesThrough(AF_INET6, "::1", port));
            }
        }
        ASSERT_TRUE(kivsim.Send("quit\n"));
        int status = -1;
        EXPECT_TRUE(kivsim.WaitExit(5000, &status));
        EXPECT_EQ(0, status);
    }
}

}  // namespace

#endif
