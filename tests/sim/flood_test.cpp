// The tools on a flooded line: a far end that sends without pause (as fast
// as the line takes bytes, endless frame starts, a frame that never ends, a
// trickle), on a pseudo-terminal or a TCP line. kivsim still serves its
// console and its signals and keeps its memory; kivpoll's trace tap keeps
// relaying and lets kivpoll end.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/wait_until.h"

namespace {

enum class Flood {
    Fast,         // every byte value in turn, as fast as the line takes them
    FrameStarts,  // 05 64 05 64 ...: a frame start and nothing else
    Endless,      // a frame head for 255 bytes, then a byte every 20 ms
    Trickle,      // one stray byte a millisecond
};

// The far end of a flooded line: a thread writes the flood into fd and
// throws away whatever comes back, until it is stopped or the line is gone.
class Flooder {
public:
    Flooder(int fd, Flood kind) : fd_(fd), thread_([this, kind] { Run(kind); }) {}
    ~Flooder() {
        stop_ = true;
        thread_.join();
    }
    Flooder(const Flooder&) = delete;
    Flooder& operator=(const Flooder&) = delete;

    uint64_t Sent() const { return sent_; }

private:
    void Run(Flood kind) {
        std::vector<uint8_t> bytes;
        int gapMs = 0;
        switch (kind) {
        case Flood::Fast:
            for (int i = 0; i < 4096; ++i) bytes.push_back(uint8_t(i));
            break;
        case Flood::FrameStarts:
            for (int i = 0; i < 2048; ++i) bytes.insert(bytes.end(), {0x05, 0x64});
            break;
        case Flood::Endless:
            bytes = {0x05, 0x64, 0xFF};
            gapMs = 20;
            break;
        case Flood::Trickle:
            bytes = {0x11};
            gapMs = 1;
            break;
        }
        while (!stop_) {
            ssize_t n = write(fd_, bytes.data(), bytes.size());
            if (n > 0) {
                sent_ += uint64_t(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                struct pollfd p = {fd_, POLLOUT, 0};
                poll(&p, 1, 10);
            } else if (n < 0 && errno != EINTR) {
                return;  // the line is gone (its other end closed)
            }
            uint8_t answer[4096];
            while (read(fd_, answer, sizeof answer) > 0) {
            }
            if (gapMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
            if (kind == Flood::Endless) bytes = {0x00};  // the frame's bytes, one at a time
        }
    }

    int fd_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> sent_{0};
    std::thread thread_;  // last: it starts at once and uses the members above
};

// The far end of kivsim's line: the pseudo-terminal it names, opened raw,
// or a connection to its TCP port ("tcp://127.0.0.1:PORT"); non-blocking.
// -1 when it cannot be had.
int OpenFarEnd(const std::string& path) {
    if (path.rfind("tcp://127.0.0.1:", 0) == 0) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(uint16_t(std::stoi(path.substr(path.rfind(':') + 1))));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(fd);
            return -1;
        }
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        return fd;
    }
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        struct termios tio;
        tcgetattr(fd, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// A sanitizer keeps freed memory back for a while and shadows what is used:
// a small quarantine, and room for the shadow.
const std::vector<std::string> kChildEnvironment = {
    "ASAN_OPTIONS=" + std::string(std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "") +
    ":quarantine_size_mb=4"};
constexpr long kGrowthLimitKb = 48 * 1024;
#else
const std::vector<std::string> kChildEnvironment;
constexpr long kGrowthLimitKb = 12 * 1024;
#endif

// How much a child's resident memory grows over windowMs once it has had
// a moment to reach its working size (the largest reading over the window
// against the first).
long GrowthKb(const ChildProcess& child, int windowMs) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long first = child.ResidentKb();
    long most = first;
    for (int waited = 0; waited < windowMs; waited += 100) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        most = std::max(most, child.ResidentKb());
    }
    return first < 0 ? -1 : most - first;
}

// Generous bounds: only ever reached when something hangs.
constexpr int kServedWithinMs = 5000;
constexpr int kEndsWithinMs = 5000;

#if defined(KIV_KIVSIM_PATH)
// The trace's output either a file or standard error into a pipe whose
// reader stopped; each way of being stopped once.
TEST(KivsimFlood, ConsoleAndSignalsServedAndMemoryFlatWhileTheLineFloods) {
    const struct {
        const char* name;
        Flood flood;
        bool traceFile;  // else standard error into a pipe nobody reads
        const char* stop;  // "quit" on standard input, or a signal
        bool tcp;          // the line served over raw TCP rather than a pseudo-terminal
    } cases[] = {
        {"as fast as the line goes, trace file", Flood::Fast, true, "quit", false},
        {"as fast as the line goes, stuck trace", Flood::Fast, false, "SIGTERM", false},
        {"endless frame starts, trace file", Flood::FrameStarts, true, "SIGINT", false},
        {"endless frame starts, stuck trace", Flood::FrameStarts, false, "quit", false},
        {"a frame that never ends, stuck trace", Flood::Endless, false, "SIGTERM", false},
        {"a trickle, trace file", Flood::Trickle, true, "quit", false},
        {"as fast as the line goes over TCP, trace file", Flood::Fast, true, "SIGTERM", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDirectory scratch("kiv-flood");
        std::vector<std::string> arguments = {KIV_KIVSIM_PATH, "--station", "5", "--trace"};
        if (c.traceFile) arguments.insert(arguments.end(), {"--trace-file", "trace.txt"});
        if (c.tcp) arguments.insert(arguments.end(), {"--listen-tcp", "0"});
        ChildProcess kivsim;
        ASSERT_TRUE(kivsim.Start(arguments, c.traceFile ? ChildProcess::Errors::Discarded
                                                        : ChildProcess::Errors::UnreadPipe,
                                 "", kChildEnvironment));
        const std::string banner = kivsim.ReadLineWith("kivsim: line ", 10000);
        ASSERT_FALSE(banner.empty());
        const int line = OpenFarEnd(banner.substr(banner.rfind(' ') + 1));
        ASSERT_GE(line, 0) << banner;
        {
            Flooder flooder(line, c.flood);
            ASSERT_TRUE(WaitUntil([&] { return flooder.Sent() > 0; }, 5000));
            const long growth = GrowthKb(kivsim, 2000);
            EXPECT_GE(growth, 0);
            EXPECT_LT(growth, kGrowthLimitKb) << "kB grew while the line flooded";

            ASSERT_TRUE(kivsim.Send("stats\n"));
            EXPECT_NE("", kivsim.ReadLineWith("frames received", kServedWithinMs)) << "stats not served";
            if (std::string(c.stop) == "quit") {
                ASSERT_TRUE(kivsim.Send("quit\n"));
            } else {
                ASSERT_TRUE(kivsim.Signal(std::string(c.stop) == "SIGTERM" ? SIGTERM : SIGINT));
            }
            int status = -1;
            EXPECT_TRUE(kivsim.WaitExit(kEndsWithinMs, &status)) << c.stop << " not served";
            EXPECT_EQ(0, status);
        }
        close(line);
    }
}
#endif

#if defined(KIV_KIVPOLL_PATH)
// A port whose far end floods, for kivpoll: the pseudo-terminal's slave is
// the port kivpoll opens, its master the flooding far end.
class FloodedPort {
public:
    FloodedPort() {
        int slave = -1;
        char name[64] = {};
        if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) return;
        struct termios tio;
        tcgetattr(slave, &tio);
        cfmakeraw(&tio);
        tcsetattr(slave, TCSANOW, &tio);
        close(slave);  // kivpoll's tap opens it by name
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        path_ = name;
    }
    ~FloodedPort() {
        if (master_ >= 0) close(master_);
    }
    FloodedPort(const FloodedPort&) = delete;
    FloodedPort& operator=(const FloodedPort&) = delete;

    int farEnd() const { return master_; }
    const std::string& path() const { return path_; }

private:
    int master_ = -1;
    std::string path_;
};

// What kivpoll may take for one read on a flooded line at 19200 baud and
// 200 ms: the read's bound, its link reset included, and room to start.
constexpr int kFirstReadAllowedMs = 3361 * 3 / 2 + 2000;

// The driver gives up on the flooded line (no answer: 2, or a port it
// could not use: 4); the tap must not keep kivpoll from ending then.
TEST(KivpollFlood, TraceEndsWhenTheDriverGivesUp) {
    const struct {
        const char* name;
        Flood flood;
        std::vector<std::string> outputs;
    } cases[] = {
        {"as fast as the line goes, trace on standard error", Flood::Fast, {"--trace"}},
        {"endless frame starts, trace file and capture", Flood::FrameStarts,
         {"--trace-file", "poll.trace", "--pcap", "poll.pcap"}},
        {"a frame that never ends, capture", Flood::Endless, {"--pcap", "poll.pcap"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDirectory scratch("kiv-poll-flood");
        FloodedPort port;
        ASSERT_FALSE(port.path().empty());
        Flooder flooder(port.farEnd(), c.flood);
        std::vector<std::string> arguments = {KIV_KIVPOLL_PATH, "-p", port.path(), "-t", "200", "R00120300"};
        arguments.insert(arguments.end(), c.outputs.begin(), c.outputs.end());
        ChildProcess kivpoll;
        ASSERT_TRUE(kivpoll.Start(arguments, ChildProcess::Errors::ToFile, "errors.txt", kChildEnvironment));
        int status = -1;
        // A first read at 19200 baud and 200 ms ends within 3361 ms
        // (docs/bounds.md); the rest is room for a loaded machine.
        EXPECT_TRUE(kivpoll.WaitExit(kFirstReadAllowedMs, &status)) << "kivpoll did not end";
        EXPECT_TRUE(status == 2 || status == 4) << status;
    }
}

// Polling on and on while the line floods: the tap's memory stays flat, and
// a SIGTERM ends kivpoll once the driver's command in progress has ended.
TEST(KivpollFlood, TapStaysSmallAndStopsOnSigterm) {
    ScratchDirectory scratch("kiv-poll-flood");
    FloodedPort port;
    ASSERT_FALSE(port.path().empty());
    Flooder flooder(port.farEnd(), Flood::Fast);
    ChildProcess kivpoll;
    ASSERT_TRUE(kivpoll.Start({KIV_KIVPOLL_PATH, "-p", port.path(), "-t", "200", "-n", "0", "-i", "50",
                               "--trace-file", "poll.trace", "--pcap", "poll.pcap", "R00120300"},
                              ChildProcess::Errors::ToFile, "errors.txt", kChildEnvironment));
    ASSERT_TRUE(WaitUntil([&] { return flooder.Sent() > 0; }, 5000));
    const long growth = GrowthKb(kivpoll, 2000);
    EXPECT_GE(growth, 0);
    EXPECT_LT(growth, kGrowthLimitKb) << "kB grew while the line flooded";
    ASSERT_TRUE(kivpoll.Signal(SIGTERM));
    int status = -1;
    EXPECT_TRUE(kivpoll.WaitExit(kFirstReadAllowedMs, &status)) << "kivpoll did not end";
    EXPECT_TRUE(status == 2 || status == 4) << status;
}
#endif

}  // namespace
