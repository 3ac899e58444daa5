// kivpoll says what happened on the line: what came back for a request that
// got no fitting answer, with the checklist that fits; when listening
// starts and that nothing arrived; a radio on a port without modem lines.
// Against units played by the simulator on a pseudo-terminal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/tool_run.h"
#include "tools/kivsim/kivsim.h"

#if defined(KIV_KIVPOLL_PATH)

namespace {

ToolRun Kivpoll(const std::string& arguments) { return RunTool(KIV_KIVPOLL_PATH, arguments); }

size_t CountOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// A run, its exit code, what its output must say and what it must not.
struct LineCase {
    const char* name;
    std::string arguments;
    int status;
    std::vector<std::string> says;
    std::vector<std::string> neverSays;
};

class KivpollLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim.AddStation(12, 0);
        sim.SetRegister(12, 300, 100000);
        ASSERT_TRUE(sim.Start()) << sim.Error();
        port = "-p " + sim.LinePath() + " -t 100 ";
    }
    void Expect(const LineCase& c) {
        SCOPED_TRACE(c.name);
        ToolRun run = Kivpoll(port + c.arguments);
        EXPECT_EQ(c.status, run.status) << run.output;
        for (const std::string& part : c.says) EXPECT_NE(std::string::npos, run.output.find(part)) << part << "\n" << run.output;
        for (const std::string& part : c.neverSays) EXPECT_EQ(std::string::npos, run.output.find(part)) << part << "\n" << run.output;
    }
    kivsim::Simulator sim;
    std::string port;
};

using kivsim::FaultKind;

TEST_F(KivpollLineTest, ANoAnswerSaysWhatCameBackBesideTheChecklistThatFits) {
    const struct {
        bool fault;
        FaultKind kind;
        LineCase run;
    } cases[] = {
        {false, FaultKind::Drop,
         {"a station nobody plays: silence", "R00990300", 2,
          {"[32] KivIN : Invalid message received", "no answer", "nothing came back\n",
           "nothing came back for R00990300; check:\n  wiring ", "  station   0099 is the unit's own address",
           "  radio ", "docs/troubleshooting.md"},
          {"sound frame"}}},
        {false, FaultKind::Drop, {"silence, seen by the tap", "--trace R00990300", 2, {"nothing came back for R00990300"}, {}}},
        {true, FaultKind::WrongDestination,
         {"answers to another host address", "R00120300", 1,
          {"the unit's answer did not fit the request",
           "answers came back for R00120300, but not for this request; check:\n  host      -a as the host address"},
          {"nothing came back"}}},
        {true, FaultKind::WrongDestination,
         {"the tap names the addresses", "--trace R00120300", 1,
          {"(answers from station 12 to host address 1; the request went to station 12 from host address 0)"}, {}}},
        {true, FaultKind::WrongSource,
         {"another station answers", "--trace R00120300", 1, {"answers from station 13 to host address 0"}, {}}},
        {true, FaultKind::Garbage,
         {"bytes without a frame", "R00120300", 2,
          {"bytes came back, but no sound frame", "bytes came back for R00120300, but no sound frame; check:\n  baud"},
          {"nothing came back"}}},
        {true, FaultKind::Garbage,
         {"bytes without a frame, seen by the tap", "--trace R00120300", 2, {"bytes came back, but no sound frame"}, {}}},
    };
    for (const auto& c : cases) {
        sim.SetFaultProbability(c.kind, c.fault ? 1.0 : 0.0);
        Expect(c.run);
        sim.SetFaultProbability(c.kind, 0.0);
    }
    // Each checklist once a run, however often the request fails.
    ToolRun run = Kivpoll(port + "-n 3 -i 0 R00990300");
    EXPECT_EQ(1u, CountOf(run.output, "nothing came back for R00990300; check:")) << run.output;
    EXPECT_EQ(3u, CountOf(run.output, "no answer    ")) << run.output;  // the rows
}

TEST_F(KivpollLineTest, RadioKeyingOnAPortWithoutModemLinesEndsWithThePortsExitCode) {
    const LineCase cases[] = {
        {"a pseudo-terminal", "--radio 0,0,0 R00120300", 4,
         {"port " + sim.LinePath() + " cannot key a radio or read a carrier: it has no modem lines"}, {"done"}},
        {"the trace's tap", "--radio 0,0,0 --trace R00120300", 4, {"radio keying and the trace do not go together"}, {}},
    };
    for (const LineCase& c : cases) Expect(c);
    // The driver's log says it once, at Open, and no carrier wait runs.
    ToolRun run = Kivpoll(port + "--radio 0,0,0 R00120300 R00120301");
    EXPECT_EQ(1u, CountOf(run.output, "[32] KivIN : Port " + sim.LinePath() +
                                          " cannot key a radio or read a carrier: no modem lines (system error"))
        << run.output;
    EXPECT_EQ(0u, CountOf(run.output, "Fail to get CD state")) << run.output;
}

TEST_F(KivpollLineTest, ListeningSaysWhenTheListenerStartsAndWhenNothingArrived) {
    const std::string starts = "listening: the driver's listener takes the line 4 s after Open, at ";
    const std::string quiet = "since the driver's listener took the line: the unit may not be reporting by exception";
    Expect({"over before the start pause", "--listen 2", 0,
            {starts, "listening ended before the driver's listener took the line (4 s after Open): listen longer"},
            {quiet}});
    Expect({"a unit that does not report", "--json --listen 6", 0,
            {"{\"type\":\"note\"", "listening: the driver's listener took the line at ", quiet}, {}});
    sim.SetExceptionMode(12, true);
    sim.QueueRegisterChange(12, 77, 4242);
    Expect({"a unit that reports", "--listen 6", 0, {starts, "R00120077", "4242"}, {quiet}});
}

}  // namespace
#endif
