// kivpoll against a device server that misbehaves, over raw TCP and RFC 2217
// on the loopback interface: a read and a write end within their bounds
// (docs/bounds.md) whatever the server sends, kivpoll says no answer (2) or
// that the port failed (4), and its memory stays where a silent server
// leaves it, also over many polls.
#include <gtest/gtest.h>

#if defined(KIV_KIVPOLL_PATH) && !defined(_WIN32)

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/hostile_server.h"

namespace {

struct PollRun {
    int status = -1;
    long maxRssKb = 0;
    long ms = 0;
};

// Runs kivpoll with the arguments, its output thrown away; its exit code,
// its peak memory and how long it ran.
PollRun RunKivpoll(const std::vector<std::string>& arguments) {
    PollRun run;
    std::fflush(stdout);  // the child must not write this process's buffered output again
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        std::vector<char*> argv{const_cast<char*>(KIV_KIVPOLL_PATH)};
        for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(126);
        execv(KIV_KIVPOLL_PATH, argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage = {};
    if (child > 0 && wait4(child, &status, 0, &usage) == child) {
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.maxRssKb = usage.ru_maxrss;
    }
    run.ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - start).count());
    return run;
}

struct ModeCase {
    const char* name;
    HostileMode mode;
};

const ModeCase kModes[] = {
    {"flood", HostileMode::Flood},
    {"trickle", HostileMode::Trickle},
    {"endless frame starts", HostileMode::FrameStarts},
    {"endless subnegotiation", HostileMode::EndlessSub},
    {"option flood", HostileMode::OptionFlood},
    {"reset", HostileMode::ResetAfter},
};

// A read (its link reset included) and a write at 19200 baud and 40 ms:
// 1141 + 634 ms, and what starting kivpoll, loading the driver and
// connecting take twice, with room for a loaded machine.
constexpr long kAllowedMs = (1141 + 634) * 3 / 2 + 2 * 3000;

const char* KindName(NetLineKind kind) { return kind == NetLineTcp ? "tcp, " : "rfc2217, "; }

TEST(HostileKivpoll, EachRequestEndsWithinItsBound) {
    for (NetLineKind kind : {NetLineTcp, NetLineRfc2217}) {
        for (const ModeCase& c : kModes) {
            SCOPED_TRACE(std::string(KindName(kind)) + c.name);
            HostileServer server;
            HostileParams params;
            params.intervalMs = 30;  // the trickle: a byte every 30 ms
            ASSERT_TRUE(server.Start(c.mode, kind, params));
            // A write goes to one address: the read and the write are two runs.
            long ms = 0;
            for (const char* write : {"", "5"}) {
                std::vector<std::string> args = {"-p", server.Url(), "-t", "40"};
                if (*write != '\0') args.insert(args.end(), {"-W", write});
                args.push_back(*write != '\0' ? "R00120101" : "R00120100");
                const PollRun run = RunKivpoll(args);
                std::printf("%-9s%-24s%s exit %d in %ld ms\n", KindName(kind), c.name, *write ? "write" : "read ",
                            run.status, run.ms);
                EXPECT_TRUE(run.status == 2 || run.status == 4) << run.status;
                ms += run.ms;
            }
            EXPECT_LE(ms, kAllowedMs);
        }
    }
}

// Five polls against a server that floods cost no more memory than one
// against a silent server.
TEST(HostileKivpoll, MemoryStaysFlatOverPolls) {
    for (NetLineKind kind : {NetLineTcp, NetLineRfc2217}) {
        HostileServer quiet;
        ASSERT_TRUE(quiet.Start(HostileMode::Silent, kind));
        const PollRun baseline = RunKivpoll({"-p", quiet.Url(), "-t", "40", "R00120100"});
        EXPECT_EQ(2, baseline.status);
        quiet.Stop();
        for (HostileMode mode : {HostileMode::Flood, HostileMode::EndlessSub, HostileMode::OptionFlood}) {
            SCOPED_TRACE(std::string(KindName(kind)) + std::to_string(static_cast<int>(mode)));
            HostileServer server;
            ASSERT_TRUE(server.Start(mode, kind));
            const PollRun many = RunKivpoll({"-p", server.Url(), "-t", "40", "-n", "5", "-i", "0", "R00120100"});
            EXPECT_TRUE(many.status == 2 || many.status == 4) << many.status;
            EXPECT_LE(many.maxRssKb, baseline.maxRssKb + 2048);
        }
    }
}

}  // namespace

#endif
