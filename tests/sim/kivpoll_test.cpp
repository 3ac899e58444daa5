// kivpoll end to end: the poller as a user runs it, loading the driver,
// against units played by the simulator on a pseudo-terminal.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/wait.h>

#include "tools/kivsim/kivsim.h"

#if defined(KIV_KIVPOLL_PATH)

namespace {

struct PollRun {
    int status;
    std::string output;
};

// Runs kivpoll with these arguments; standard error joins the output.
PollRun Kivpoll(const std::string& arguments) {
    PollRun run{-1, ""};
    std::string command = std::string("\"") + KIV_KIVPOLL_PATH + "\" " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) run.output += buffer;
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

class KivpollTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim.AddStation(12, 0);
        sim.SetRegister(12, 300, 100000);
        sim.SetRegister(12, 301, 0x00000020);
        for (uint16_t r = 0; r < 5; ++r) sim.SetRegister(12, static_cast<uint16_t>(400 + r), 40u + r);
        ASSERT_TRUE(sim.Start()) << sim.Error();
        port = "-p " + sim.LinePath() + " -t 200 -q ";
    }
    kivsim::Simulator sim;
    std::string port;
};

TEST_F(KivpollTest, OneShotReadsOfRegistersBitsAndBlocks) {
    PollRun run = Kivpoll(port + "R00120300 R0012030105");
    EXPECT_EQ(0, run.status) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("R00120300     read    done")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("100000")) << run.output;

    run = Kivpoll(port + "--json R00120400 -C 5");
    EXPECT_EQ(0, run.status) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("\"values\":[40,41,42,43,44]")) << run.output;

    run = Kivpoll(port + "--hex R00120300");
    EXPECT_NE(std::string::npos, run.output.find("0x000186A0")) << run.output;
}

TEST_F(KivpollTest, WritesOfValuesBlocksAndBitsReachTheUnit) {
    EXPECT_EQ(0, Kivpoll(port + "-W 777 R00120500").status);
    EXPECT_EQ(777u, sim.RegisterValue(12, 500));
    EXPECT_EQ(0, Kivpoll(port + "-W 1,2,3 R00120510").status);
    EXPECT_EQ(3u, sim.RegisterValue(12, 512));
    EXPECT_EQ(0, Kivpoll(port + "-W 1 R0012030103").status);
    EXPECT_EQ(0x28u, sim.RegisterValue(12, 301));
    EXPECT_EQ(0, Kivpoll(port + "!T0012").status);
}

TEST_F(KivpollTest, ExitCodesSayRefusedAndNoAnswer) {
    EXPECT_EQ(1, Kivpoll(port + "R00129300").status);  // not a valid address
    EXPECT_EQ(1, Kivpoll(port + "S00120007").status);  // status points are not read
    PollRun run = Kivpoll(port + "R00990300");               // nobody plays station 99
    EXPECT_EQ(2, run.status) << run.output;
    EXPECT_EQ(3, Kivpoll("--baud 3").status);
}

TEST_F(KivpollTest, CyclicPollsEndWithASummary) {
    PollRun run = Kivpoll("-p " + sim.LinePath() + " -t 200 --json -n 3 -i 10 R00120300");
    EXPECT_EQ(0, run.status) << run.output;
    size_t rows = 0;
    for (size_t at = run.output.find("\"type\":\"result\""); at != std::string::npos;
         at = run.output.find("\"type\":\"result\"", at + 1))
        ++rows;
    EXPECT_EQ(3u, rows) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("\"type\":\"summary\",\"requests\":3,\"done\":3")) << run.output;
}

TEST_F(KivpollTest, EventReadsAndListeningPrintGateUpdatesWithUnitTime) {
    sim.QueueStatusEvent(12, 1296, true);
    PollRun run = Kivpoll(port + "--json !S0012");
    EXPECT_EQ(0, run.status) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("\"gate\":\"S00121296\",\"value\":1")) << run.output;

    // Report-by-exception: the listener starts after 4 s; the notice comes then.
    sim.SetExceptionMode(12, true);
    sim.QueueRegisterChange(12, 77, 4242);
    run = Kivpoll(port + "--json --listen 7");
    EXPECT_EQ(0, run.status) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("\"gate\":\"R00120077\",\"value\":4242")) << run.output;
}

TEST_F(KivpollTest, TraceOpensThePortAsTheDriverWouldOrSaysWhyNot) {
    // 14400 has no termios code: the driver refuses it, so the tap does too
    // (it used to run the line at 19200 instead).
    PollRun run = Kivpoll(port + "--trace -b 14400 R00120300");
    EXPECT_NE(0, run.status) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("14400 baud")) << run.output;
    run = Kivpoll(port + "--trace -s 1.5 R00120300");
    EXPECT_NE(std::string::npos, run.output.find("1.5 stop bits")) << run.output;
    // Mark parity is what the driver sets up; the tap takes it too.
    run = Kivpoll(port + "--trace -P mark -b 9600 R00120300");
    EXPECT_EQ(0, run.status) << run.output;
}

TEST_F(KivpollTest, TraceShowsEveryFrameBothWaysDecoded) {
    PollRun run = Kivpoll(port + "--trace R00120300");
    EXPECT_EQ(0, run.status) << run.output;
    // The link reset before the first request, then the read, each answered.
    EXPECT_NE(std::string::npos, run.output.find("H>U 05 64 07 C0 00 0C 00 00 00 00")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("link reset")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("fn=15 dst=12 src=0 set=1 op=1 read registers")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("U>H")) << run.output;
}

}  // namespace

#endif

#if defined(KIV_KIVPOLL_PATH) && defined(KIV_SOURCE_DIR)
#include <fstream>
#include <sstream>

namespace {

TEST_F(KivpollTest, TheDocumentedExamplesRun) {
    std::ifstream in(std::string(KIV_SOURCE_DIR) + "/docs/kivpoll.md");
    std::stringstream doc;
    doc << in.rdbuf();
    sim.SetExceptionMode(12, true);
    int examples = 0;
    std::string line;
    const std::string prefix = "$ kivpoll -p /dev/pts/7 ";
    while (std::getline(doc, line)) {
        if (line.rfind(prefix, 0) != 0) continue;
        PollRun run = Kivpoll(port + line.substr(prefix.size()));
        EXPECT_EQ(0, run.status) << line << "\n" << run.output;
        ++examples;
    }
    EXPECT_EQ(10, examples);
}

// -p with a device server's address: kivpoll maps it for the driver and
// polls kivsim over the loopback interface, raw and with RFC 2217.
TEST(KivpollNetwork, PollsKivsimThroughTcpAndRfc2217) {
    for (NetLineKind kind : {NetLineTcp, NetLineRfc2217}) {
        kivsim::Options options;
        options.listenKind = kind;
        options.listenAddress = "127.0.0.1";
        kivsim::Simulator sim(options);
        sim.AddStation(12, 0);
        sim.SetRegister(12, 300, 0xFFFFFFFFu);
        ASSERT_TRUE(sim.Start()) << sim.Error();
        PollRun run = Kivpoll("-p " + sim.LinePath() + " -t 200 -q --hex -n 2 -i 10 R00120300");
        EXPECT_EQ(0, run.status) << sim.LinePath() << "\n" << run.output;
        EXPECT_NE(std::string::npos, run.output.find("0xFFFFFFFF")) << run.output;
        EXPECT_EQ(2u, sim.GetStats().answers[1]) << run.output;
    }
    EXPECT_EQ(3, Kivpoll("-p rfc2217://127.0.0.1 R00120300").status);  // no port: misuse
}

}  // namespace
#endif
