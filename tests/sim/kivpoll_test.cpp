// kivpoll end to end: the poller as a user runs it, loading the driver,
// against units played by the simulator on a pseudo-terminal.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/wait.h>

#include <cstdlib>
#include <sstream>
#include <unistd.h>

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <sys/file.h>
#include <thread>
#include <vector>

#include "tests/support/man_examples.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/tool_run.h"
#include "tools/common/capture.h"
#include "tools/kivsim/kivsim.h"

#if defined(KIV_KIVPOLL_PATH)

namespace {

// Runs kivpoll with these arguments; standard error joins the output.
ToolRun Kivpoll(const std::string& arguments) { return RunTool(KIV_KIVPOLL_PATH, arguments); }

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
    ToolRun run = Kivpoll(port + "R00120300 R0012030105");
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
    EXPECT_EQ(0, Kivpoll(port + "-W 0300,0x10,-1 R00120510").status);
    EXPECT_EQ(300u, sim.RegisterValue(12, 510)) << "a leading zero is no octal mark";
    EXPECT_EQ(16u, sim.RegisterValue(12, 511));
    EXPECT_EQ(0xFFFFFFFFu, sim.RegisterValue(12, 512));
    EXPECT_EQ(0, Kivpoll(port + "-W 1,2,3 R00120510").status);
    EXPECT_EQ(3u, sim.RegisterValue(12, 512));
    EXPECT_EQ(0, Kivpoll(port + "-W 1 R0012030103").status);
    EXPECT_EQ(0x28u, sim.RegisterValue(12, 301));
    EXPECT_EQ(0, Kivpoll(port + "!T0012").status);
}

TEST_F(KivpollTest, ExitCodesSayRefusedAndNoAnswer) {
    EXPECT_EQ(1, Kivpoll(port + "R00129300").status);  // not a valid address
    EXPECT_EQ(1, Kivpoll(port + "S00120007").status);  // status points are not read
    ToolRun run = Kivpoll(port + "R00990300");               // nobody plays station 99
    EXPECT_EQ(2, run.status) << run.output;
    EXPECT_EQ(3, Kivpoll("--baud 3").status);
}

TEST_F(KivpollTest, CyclicPollsEndWithASummary) {
    ToolRun run = Kivpoll("-p " + sim.LinePath() + " -t 200 --json -n 3 -i 10 R00120300");
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
    ToolRun run = Kivpoll(port + "--json !S0012");
    EXPECT_EQ(0, run.status) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("\"gate\":\"S00121296\",\"value\":1")) << run.output;

    // Report-by-exception: the listener starts after 4 s; the notice comes then.
    // A link reset from the unit gets the listener's reply and an
    // informational log line, which -v lets into the log file.
    sim.SetExceptionMode(12, true);
    sim.QueueRegisterChange(12, 77, 4242);
    const std::string logFile = "/tmp/kivpoll-listen-log-" + std::to_string(getpid());
    std::remove(logFile.c_str());
    std::thread reset([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5500));
        sim.SendLinkReset(12);
    });
    run = Kivpoll(port + "--json --listen 7 -v --log-file " + logFile);
    reset.join();
    EXPECT_EQ(0, run.status) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("\"gate\":\"R00120077\",\"value\":4242")) << run.output;
    const std::string logged = ReadBytesFile(logFile);
    std::remove(logFile.c_str());
    EXPECT_NE(std::string::npos, logged.find("[8] KivIN : Info, Reset Link msg")) << logged;
    EXPECT_EQ(std::string::npos, run.output.find("[8]")) << run.output;
}

// Every JSON line of the output through a strict parser (Python's json on
// strict UTF-8); "" when all parse, else what failed.
std::string StrictJsonProblems(const std::string& output) {
    if (std::system("python3 -c 'import json' >/dev/null 2>&1") != 0) return "";
    char name[] = "/tmp/kivpoll-json-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) return "no scratch file";
    std::string lines;
    std::stringstream stream(output);
    for (std::string line; std::getline(stream, line);)
        if (line.rfind("{", 0) == 0) lines += line + "\n";
    ssize_t written = write(fd, lines.data(), lines.size());
    close(fd);
    std::string command = std::string("python3 -c \"import json,sys\n"
                                      "for l in open(sys.argv[1],'rb'): json.loads(l.decode('utf-8'))\" ") +
                          name + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string problems;
    char buffer[256];
    while (pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr) problems += buffer;
    if (pipe != nullptr) pclose(pipe);
    std::remove(name);
    return written == static_cast<ssize_t>(lines.size()) ? problems : "short write";
}

TEST_F(KivpollTest, GateValuesPrintExactlyAndJsonParsesStrictly) {
    sim.SetExceptionMode(12, true);
    sim.QueueRegisterChange(12, 77, 123456789);
    sim.QueueRegisterChange(12, 78, 0x80000000u);
    ToolRun run = Kivpoll(port + "'!R0012'");
    EXPECT_NE(std::string::npos, run.output.find("123456789")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("-2147483648")) << run.output;
    EXPECT_EQ(std::string::npos, run.output.find("e+0")) << run.output;

    sim.QueueRegisterChange(12, 77, 5);
    // A raw byte that is no UTF-8 in an address, a refused address and gate
    // updates without a unit time stamp.
    run = Kivpoll(port + "--json '!R0012' \"$(printf 'R\\377012')\" R00129300");
    EXPECT_EQ("", StrictJsonProblems(run.output)) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("\"unit_time\":null")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("\"address\":\"R\\u00ff012\"")) << run.output;
    // A request refused before it reached the line has no round trip.
    EXPECT_NE(std::string::npos, run.output.find("\"address\":\"R00129300\",\"op\":\"check\",\"result\":1,"
                                                 "\"status\":\"refused\",\"rtt_ms\":null"))
        << run.output;
}

TEST_F(KivpollTest, OptionContradictionsAndRangesAreRefusedBeforeAnythingRuns) {
    const struct {
        const char* arguments;
        const char* says;
    } cases[] = {
        {"-C 61 R00120300", "--count: Value 61 not in range 1 to 60"},
        {"-W 1 -C 3 R00120510", "--write and --count"},
        {"-W 5 R0012030105", "takes one value, 0 or 1"},
        {"-W 1,0 R0012030105", "takes one value, 0 or 1"},
        {"-W 5 R00120510 R00120300", "--write writes to one address, and 2 were given: R00120510 R00120300; "
                                     "nothing was written"},
    };
    for (const auto& c : cases) {
        ToolRun run = Kivpoll(port + c.arguments);
        EXPECT_EQ(3, run.status) << c.arguments << "\n" << run.output;
        EXPECT_NE(std::string::npos, run.output.find(c.says)) << c.arguments << "\n" << run.output;
    }
    EXPECT_EQ(0x20u, sim.RegisterValue(12, 301));  // nothing was written
    EXPECT_EQ(0u, sim.RegisterValue(12, 510));
    ToolRun run = Kivpoll("R00120300");
    EXPECT_EQ(3, run.status) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("--port is required")) << run.output;
}

TEST_F(KivpollTest, LongDevicePathsAndDriversBesideTheRealProgram) {
    // A device path under /dev/ longer than a port name holds is passed as
    // the name below /dev/, which the driver looks up there.
    std::string longPath = "/dev/./" + sim.LinePath().substr(5);
    ToolRun run = Kivpoll("-p " + longPath + " -t 200 -q R00120300");
    EXPECT_EQ(0, run.status) << run.output;
    // Any longer device path goes through the port map; a long name that is
    // no path is refused.
    run = Kivpoll("-p /dev/serial/by-id/usb-FTDI_FT232R-if00 R00120300");
    EXPECT_EQ(4, run.status) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("cannot open port /dev/serial/by-id/usb-FTDI_FT232R-if00: no such device"))
        << run.output;
    run = Kivpoll("-p ttyUSB_of_the_pump_station R00120300");
    EXPECT_EQ(3, run.status) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("holds 11")) << run.output;

    // Started through a symbolic link from another folder, kivpoll still
    // finds the driver beside its real file.
    std::string link = "/tmp/kivpoll-link-" + std::to_string(getpid());
    ASSERT_EQ(0, symlink(KIV_KIVPOLL_PATH, link.c_str()));
    ToolRun linked = RunTool(link, port + "R00120300");
    unlink(link.c_str());
    EXPECT_EQ(0, linked.status) << linked.output;
}

TEST_F(KivpollTest, SigtermEndsWithTheSummaryAsCtrlCDoes) {
    std::string command = "sh -c '\"" + std::string(KIV_KIVPOLL_PATH) + "\" -p " + sim.LinePath() +
                          " -t 200 -n 0 -i 50 R00120300 & p=$!; sleep 1; kill -TERM $p; wait $p'";
    ToolRun run = RunTool("/usr/bin/env", command);
    EXPECT_EQ(0, run.status) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("requests ")) << run.output;
}

TEST_F(KivpollTest, TraceOpensThePortAsTheDriverWouldOrSaysWhyNot) {
    // 14400 has no termios code: the driver refuses it, so the tap does too
    // (it used to run the line at 19200 instead).
    ToolRun run = Kivpoll(port + "--trace -b 14400 R00120300");
    EXPECT_NE(0, run.status) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("14400 baud")) << run.output;
    run = Kivpoll(port + "--trace -s 1.5 R00120300");
    EXPECT_NE(std::string::npos, run.output.find("1.5 stop bits")) << run.output;
    // Mark parity is what the driver sets up; the tap takes it too.
    run = Kivpoll(port + "--trace -P mark -b 9600 R00120300");
    EXPECT_EQ(0, run.status) << run.output;
}

// A run and what its output must say.
struct SaysCase {
    std::string arguments;
    int status;
    std::string says;
};

void ExpectSays(const std::vector<SaysCase>& cases) {
    for (const SaysCase& c : cases) {
        ToolRun run = Kivpoll(c.arguments);
        EXPECT_EQ(c.status, run.status) << c.arguments << "\n" << run.output;
        EXPECT_NE(std::string::npos, run.output.find(c.says)) << c.arguments << "\n" << run.output;
    }
}

TEST_F(KivpollTest, APortThatCannotOpenSaysItsDeviceAndWhyWithItsOwnExitCode) {
    ExpectSays({
        {"-p ttyKIVNONE R00120300", 4, "cannot open port ttyKIVNONE (/dev/ttyKIVNONE): no such device"},
        {"-p COM200 R00120300", 4, "cannot open port COM200 (/dev/ttyS199): no such device"},
        {"-p /dev/null R00120300", 4, "not a serial line"},
        {port + "-b 14400 R00120300", 4, "settings the port cannot do: 14400 baud"},
        {port + "-s 1.5 R00120300", 4, "settings the port cannot do: 1.5 stop bits"},
        {port + "--trace -b 14400 R00120300", 4, "14400 baud"},
        {"-p tcp://127.0.0.1:1 R00120300", 4, "cannot open port tcp://127.0.0.1:1: Connection refused"},
        {port + "R00990300", 2, "no answer"},  // a silent unit is no port fault
    });
    // Another program holds the port.
    int holder = open(sim.LinePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(0, flock(holder, LOCK_EX | LOCK_NB));
    ExpectSays({{port + "R00120300", 4, "in use: another program holds the port"}});
    close(holder);
}

TEST_F(KivpollTest, ARefusedRequestSaysWhyInTheTableJsonAndCsv) {
    std::string values = "1";
    for (int i = 2; i <= 42; ++i) values += "," + std::to_string(i);
    ExpectSays({
        {port + "R00129300", 1, "register or point number: four digits, 0000 to 8999"},
        {port + "R001x0300", 1, "station: four digits, 0000 to 9999"},
        {port + "X00120300", 1, "first letter: R (register), S (status point) or ! (events, clock)"},
        {port + "'!X0012'", 1, "the letter after !: S, R, L or T"},
        {port + "R0012030045", 1, "bit: two digits, 00 to 31"},
        {port + "R0012030032", 1, "bit: 00 to 31"},
        {port + "-k 3 R0012030005", 1, "a bit number needs gate kind 6"},
        {port + "S00120007", 1, "a status point is set only by status events"},
        {port + "-W " + values + " R00120500", 1, "block too long: a write takes at most 41 registers"},
        {port + "--json R001x0300", 1, "\"reason\":\"station: four digits, 0000 to 9999\"}"},
        {port + "--json R00120300", 0, "\"values\":[100000],\"reason\":null}"},
        {port + "--csv R00129300", 1, "R00129300,check,1,refused,,,,\"register or point number: four digits, 0000 to 8999\""},
    });
    // A sound answer from another station does not fit the request.
    sim.SetFaultProbability(kivsim::FaultKind::WrongSource, 1.0);
    ExpectSays({{port + "-n 1 R00120300", 1, "the unit's answer did not fit the request"}});
}

TEST_F(KivpollTest, CsvRowsAndOutputFileHoldTheRowsAlone) {
    const std::string file = "/tmp/kivpoll-output-" + std::to_string(getpid()) + ".csv";
    ToolRun run = Kivpoll("-p " + sim.LinePath() + " -t 200 --csv --output " + file + " R00120300 R00120400");
    EXPECT_EQ(0, run.status) << run.output;
    EXPECT_EQ(std::string::npos, run.output.find("R00120300")) << run.output;  // not on standard output
    EXPECT_NE(std::string::npos, run.output.find("requests 2: done 2")) << run.output;
    std::ifstream in(file);
    std::vector<std::string> rows;
    for (std::string row; std::getline(in, row);) rows.push_back(row);
    std::remove(file.c_str());
    ASSERT_EQ(3u, rows.size());
    EXPECT_EQ("time,address,op,result,status,rtt_ms,values,unit_time,reason", rows[0]);
    EXPECT_NE(std::string::npos, rows[1].find(",R00120300,read,0,done,")) << rows[1];
    EXPECT_NE(std::string::npos, rows[1].find(",100000,,")) << rows[1];
    EXPECT_NE(std::string::npos, rows[2].find(",R00120400,read,0,done,")) << rows[2];
}

TEST_F(KivpollTest, LogLinesGoToTheLogFileOrAreSilencedByQuiet) {
    // Station 99 does not answer: the driver logs every failed try.
    const std::string line = "-p " + sim.LinePath() + " -t 50 ";
    const std::string file = "/tmp/kivpoll-log-" + std::to_string(getpid());
    std::remove(file.c_str());
    ToolRun shown = Kivpoll(line + "R00990300");
    ToolRun quiet = Kivpoll(line + "-q R00990300");
    ToolRun filed = Kivpoll(line + "--log-file " + file + " R00990300");
    const std::string logged = ReadBytesFile(file);
    std::remove(file.c_str());
    EXPECT_NE(std::string::npos, shown.output.find("[32] KivIN : ")) << shown.output;
    EXPECT_EQ(std::string::npos, quiet.output.find("[32]")) << quiet.output;
    EXPECT_EQ(std::string::npos, filed.output.find("[32]")) << filed.output;
    EXPECT_NE(std::string::npos, logged.find("[32] KivIN : ")) << logged;
    EXPECT_EQ(2, filed.status);
}

TEST_F(KivpollTest, AChannelFileWithoutHostAddressNamesTheLineAtFault) {
    const std::string file = "/tmp/kivpoll-config-" + std::to_string(getpid()) + ".int";
    std::ofstream(file) << "EXCEPTION = ON\nHost Address = 12\n";
    ToolRun run = Kivpoll(port + "--config " + file + " R00120300");
    std::remove(file.c_str());
    EXPECT_EQ(5, run.status) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("cannot be used, line 1: no host address")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("--check-config")) << run.output;
}

TEST_F(KivpollTest, TraceShowsEveryFrameBothWaysDecoded) {
    ToolRun run = Kivpoll(port + "--trace R00120300");
    EXPECT_EQ(0, run.status) << run.output;
    // The link reset before the first request, then the read, each answered.
    EXPECT_NE(std::string::npos, run.output.find("H>U 05 64 07 C0 00 0C 00 00 00 00")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("link reset")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("fn=15 dst=12 src=0 set=1 op=1 read reg=300 count=1")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("read answer: 1 values from reg=300: 100000")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("U>H")) << run.output;
}

// ISO 8601 to the millisecond, without the zone; 'd' stands for a digit.
const std::string kIsoTime = "dddd-dd-ddTdd:dd:dd.ddd";

// True when text holds the form of pattern at position at.
bool HasForm(const std::string& text, size_t at, const std::string& pattern) {
    if (at > text.size() || text.size() - at < pattern.size()) return false;
    for (size_t i = 0; i < pattern.size(); ++i) {
        const char c = text[at + i];
        if (pattern[i] == 'd' ? (c < '0' || c > '9') : c != pattern[i]) return false;
    }
    return true;
}

// The form of the first JSON "time" value.
bool JsonTimeHasForm(const std::string& output, const std::string& pattern) {
    const size_t at = output.find("\"time\":\"");
    return at != std::string::npos && HasForm(output, at + 8, pattern);
}

// kivpoll's trace file and capture, and kivsim's capture of the same run: the
// same frames both ways, times in one format that line up, and a capture
// printed back exactly as the trace was.
TEST_F(KivpollTest, BothEndsTraceAndCaptureOneExchangeAlike) {
    ScratchDirectory scratch("kiv-kivpoll-capture");
    kivtools::CaptureWriter unitSide;
    std::string error;
    ASSERT_TRUE(unitSide.Open("sim.pcap", &error)) << error;
    sim.SetCaptureSink([&unitSide](int64_t us, uint8_t direction, const uint8_t* bytes, size_t count) {
        unitSide.Write(us, direction, bytes, count);
    });
    ToolRun run = Kivpoll(port + "--utc --json --trace-file poll.trace --pcap poll.pcap R00120300");
    EXPECT_EQ(0, run.status) << run.output;
    sim.WaitQuiet(2000);
    sim.SetCaptureSink(nullptr);
    unitSide.Close();
    EXPECT_TRUE(JsonTimeHasForm(run.output, kIsoTime + "Z\"")) << run.output;

    const std::string traced = ReadBytesFile("poll.trace");
    const std::vector<std::string> lines = LinesOf(traced);
    ASSERT_EQ(4u, lines.size()) << traced;  // link reset, its reply, the read, its answer
    for (const std::string& line : lines) {
        EXPECT_TRUE(HasForm(line, 0, kIsoTime + "Z ")) << line;
        EXPECT_TRUE(HasForm(line, 25, "H>U 05 64 ") || HasForm(line, 25, "U>H 05 64 ")) << line;
    }
    EXPECT_NE(std::string::npos, lines[3].find("read answer: 1 values from reg=300: 100000")) << lines[3];
    ToolRun decoded = Kivpoll("--utc --decode poll.pcap");
    EXPECT_EQ(0, decoded.status) << decoded.output;
    EXPECT_EQ(traced, decoded.output);

    std::vector<kivtools::CaptureRecord> host, unit;
    ASSERT_TRUE(kivtools::ReadCapture("poll.pcap", &host, &error)) << error;
    ASSERT_TRUE(kivtools::ReadCapture("sim.pcap", &unit, &error)) << error;
    ASSERT_EQ(host.size(), unit.size());
    for (size_t i = 0; i < host.size(); ++i) {
        EXPECT_EQ(host[i].direction, unit[i].direction) << i;
        EXPECT_EQ(host[i].bytes, unit[i].bytes) << i;
        // One clock: the two ends see a frame within moments of each other.
        EXPECT_LT(std::llabs(host[i].wallUs - unit[i].wallUs), 5000000) << i;
    }
}

TEST_F(KivpollTest, JsonTimesCarryTheZoneOffset) {
    ToolRun run = Kivpoll(port + "--json R00120300");
    EXPECT_EQ(0, run.status) << run.output;
    EXPECT_TRUE(JsonTimeHasForm(run.output, kIsoTime + "+dd:dd\"") || JsonTimeHasForm(run.output, kIsoTime + "-dd:dd\""))
        << run.output;
}

}  // namespace

#endif

#if defined(KIV_KIVPOLL_PATH) && defined(KIV_SOURCE_DIR)
#include <fstream>
#include <sstream>

namespace {

TEST_F(KivpollTest, TheDocumentedExamplesRun) {
    ScratchDirectory scratch("kiv-kivpoll-examples");  // for the files the examples write
    std::ifstream in(std::string(KIV_SOURCE_DIR) + "/docs/kivpoll.md");
    std::stringstream doc;
    doc << in.rdbuf();
    sim.SetExceptionMode(12, true);
    int examples = 0;
    std::string line;
    const std::string prefix = "$ kivpoll -p /dev/pts/7 ";
    while (std::getline(doc, line)) {
        if (line.rfind(prefix, 0) != 0) continue;
        ToolRun run = Kivpoll(port + line.substr(prefix.size()));
        EXPECT_EQ(0, run.status) << line << "\n" << run.output;
        ++examples;
    }
    EXPECT_EQ(13, examples);
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
        ToolRun run = Kivpoll("-p " + sim.LinePath() + " -t 200 -q --hex -n 2 -i 10 R00120300");
        EXPECT_EQ(0, run.status) << sim.LinePath() << "\n" << run.output;
        EXPECT_NE(std::string::npos, run.output.find("0xFFFFFFFF")) << run.output;
        EXPECT_EQ(2u, sim.GetStats().answers[1]) << run.output;
    }
    EXPECT_EQ(3, Kivpoll("-p rfc2217://127.0.0.1 R00120300").status);  // no port: misuse
}

// The README's kivpoll examples, with the port each names replaced by the
// simulator's line and long listening cut to a few seconds.
TEST_F(KivpollTest, TheReadmeExamplesRun) {
    std::ifstream in(std::string(KIV_SOURCE_DIR) + "/README.md");
    sim.SetExceptionMode(12, true);
    int examples = 0;
    const std::string prefix = "    build/kivpoll ";
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(prefix, 0) != 0) continue;
        std::string arguments = line.substr(prefix.size());
        arguments = arguments.substr(0, arguments.find("  #"));
        std::stringstream words(arguments);
        std::string rewritten, previous;
        for (std::string word; words >> word; previous = word) {
            std::string given = word;
            if (previous == "-p") given = sim.LinePath();
            if (previous == "--listen") given = "5";
            rewritten += (rewritten.empty() ? "" : " ") + given;
        }
        ToolRun run = Kivpoll("-t 200 " + rewritten);
        EXPECT_EQ(0, run.status) << line << "\n" << rewritten << "\n" << run.output;
        ++examples;
    }
    EXPECT_EQ(5, examples);
}

// The man page's examples, with the simulator's line for the port, the
// shipped sample for the channel file and listening cut to a few seconds.
TEST_F(KivpollTest, TheManPageExamplesRun) {
    sim.SetExceptionMode(12, true);
    const std::vector<std::string> examples =
        ManExamples(std::string(KIV_SOURCE_DIR) + "/packaging/man/kivpoll.h2m", "kivpoll");
    EXPECT_EQ(9u, examples.size());
    for (const std::string& example : examples) {
        std::stringstream words(example);
        std::string rewritten, previous;
        for (std::string word; words >> word; previous = word) {
            if (previous == "-p") word = sim.LinePath() + " -t 200";
            if (previous == "--listen") word = "5";
            if (previous == "--check-config") word = std::string(KIV_SOURCE_DIR) + "/docs/" + word;
            rewritten += " " + word;
        }
        ToolRun run = Kivpoll(rewritten);
        EXPECT_EQ(0, run.status) << example << "\n" << rewritten << "\n" << run.output;
    }
}

}  // namespace
#endif
