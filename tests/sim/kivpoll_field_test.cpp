// kivpoll's field options end to end against kivsim: a scan of stations,
// value formats, and register names from the map file that kivsim loads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/scratch_directory.h"
#include "tests/support/tool_run.h"
#include "tools/kivsim/kivsim.h"

#if defined(KIV_KIVPOLL_PATH)

namespace {

ToolRun Kivpoll(const std::string& arguments) { return RunTool(KIV_KIVPOLL_PATH, arguments); }

bool Has(const ToolRun& run, const std::string& text) { return run.output.find(text) != std::string::npos; }

// Three units on one line, 3, 4 and 7; registers 100 and 101 of station 4
// hold pi as a float in two 16-bit words, high word first.
class KivpollFieldTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (uint16_t station : {3, 4, 7}) {
            sim.AddStation(station, 0);
            sim.SetRegister(station, 0, 1000u + station);
        }
        sim.SetRegister(4, 100, 0x4049);
        sim.SetRegister(4, 101, 0x0FDB);
        ASSERT_TRUE(sim.Start()) << sim.Error();
        port = "-p " + sim.LinePath() + " -t 200 ";
    }
    kivsim::Simulator sim;
    std::string port;
};

TEST_F(KivpollFieldTest, ScanListsTheStationsThatAnswer) {
    const struct {
        std::string arguments;
        int status;
        std::vector<std::string> says;
    } cases[] = {
        {"--scan 2-8", 0,
         {"STATION  ADDRESS", "      3  R00030000     done", "1003\n", "      2  R00020000     no answer",
          "      7  R00070000     done", "stations that answered: 3, 4, 7 (7 asked)"}},
        {"--scan 4 R00000100 -C 2 --format f32 --word-order hi-lo", 0, {"R00040100     done", "3.1415927\n"}},
        {"--scan 3-4 101 --json", 0,
         {"{\"type\":\"scan\",", "\"station\":4,\"address\":\"R00040101\",\"result\":0,\"status\":\"done\"",
          "\"values\":[4059]", "\"text\":\"stations that answered: 3, 4 (2 asked)\""}},
        {"--scan 3-3 --csv", 0, {"time,station,address,result,status,rtt_ms,values,reason\n", ",3,R00030000,0,done,"}},
        {"--scan 20-22", 2, {"no station answered (3 asked)", "requests 3: done 0, refused 0, no answer 3"}},
    };
    for (const auto& c : cases) {
        ToolRun run = Kivpoll(port + c.arguments);
        EXPECT_EQ(c.status, run.status) << c.arguments << "\n" << run.output;
        for (const std::string& text : c.says) EXPECT_TRUE(Has(run, text)) << c.arguments << ": " << text << "\n" << run.output;
        // The stations that are not there are in the rows, not in the driver's log lines.
        EXPECT_FALSE(Has(run, "[32] KivIN")) << c.arguments << "\n" << run.output;
        // What to check follows a scan only when no station answered.
        EXPECT_EQ(c.status != 0, Has(run, "; check:")) << c.arguments << "\n" << run.output;
    }
}

TEST_F(KivpollFieldTest, ValueFormatsShowInTablesJsonAndCsv) {
    const struct {
        std::string arguments;
        std::string says;
    } cases[] = {
        {"-C 2 --format f32 --word-order hi-lo R00040100", "  3.1415927\n"},
        {"-C 2 --format f32 --word-order hi-lo --json R00040100", "\"values\":[3.1415927]"},
        {"-C 2 --format f32 --word-order hi-lo --csv R00040100", ",3.1415927,,"},
        {"-C 2 --format u32 --word-order lo-hi --hex --json R00040100", "\"values\":[\"0x0FDB4049\"]"},
        {"-C 2 --format u16 --bin R00040100", "0b0100_0000_0100_1001 0b0000_1111_1101_1011\n"},
        // A bit stays a bit whatever the format.
        {"--format f32 R0004010000", "  1\n"},
    };
    for (const auto& c : cases) {
        ToolRun run = Kivpoll(port + "-q " + c.arguments);
        EXPECT_EQ(0, run.status) << c.arguments << "\n" << run.output;
        EXPECT_TRUE(Has(run, c.says)) << c.arguments << ": " << c.says << "\n" << run.output;
    }
}

TEST_F(KivpollFieldTest, OneMapFileGivesKivsimItsValuesAndKivpollItsNames) {
    ScratchDirectory folder("kivpoll-names");
    ASSERT_TRUE(WriteBytesFile("plant.map", "# register value name\n"
                                            "300 100000 Boiler temperature\n"
                                            "301 0x20   Pump \"B\", speed\n"
                                            "0302 7\n"));
    EXPECT_EQ("3 registers loaded\n", sim.Execute("load 7 plant.map"));
    EXPECT_EQ(100000u, sim.RegisterValue(7, 300));
    EXPECT_EQ(7u, sim.RegisterValue(7, 302)) << "a leading zero is no octal mark";
    sim.QueueRegisterChange(7, 300, 100000);
    const struct {
        std::string arguments;
        std::vector<std::string> says;
    } cases[] = {
        {"R00070300 R00070302",
         {"ADDRESS       NAME                OP", "R00070300     Boiler temperature  read    done",
          "R00070302                         read"}},
        {"--json R00070301 R00070302",
         {"\"address\":\"R00070301\",\"name\":\"Pump \\\"B\\\", speed\",\"op\":\"read\"",
          "\"address\":\"R00070302\",\"name\":null,"}},
        {"--csv R00070301", {",values,unit_time,reason,name\n", ",32,,,\"Pump \"\"B\"\", speed\"\n"}},
        {"--scan 7 300", {"R00070300     Boiler temperature  done"}},
        // A gate update of a fetch, with its name and in the format asked.
        {"--json --hex '!R0007'", {"\"gate\":\"R00070300\",\"name\":\"Boiler temperature\",\"value\":\"0x000186A0\""}},
    };
    for (const auto& c : cases) {
        ToolRun run = Kivpoll(port + "-q --names plant.map " + c.arguments);
        EXPECT_EQ(0, run.status) << c.arguments << "\n" << run.output;
        for (const std::string& text : c.says) EXPECT_TRUE(Has(run, text)) << c.arguments << ": " << text << "\n" << run.output;
    }
}

TEST_F(KivpollFieldTest, FieldOptionsThatCannotWorkAreRefused) {
    ScratchDirectory folder("kivpoll-refusals");
    ASSERT_TRUE(WriteBytesFile("bad.map", "300 1 fine\n301 1 bell\a\n"));
    const struct {
        const char* arguments;
        int status;
        const char* says;
    } cases[] = {
        {"--scan 8-2", 3, "--scan 8-2: the first station comes after the last"},
        {"--scan 1-10000", 3, "--scan 1-10000: give stations FIRST-LAST from 0 to 9999"},
        {"--scan 1-3 R00010300 R00010301", 3, "give at most one ADDRESS"},
        {"--scan 1-3 9000", 3, "give its number (0 to 8999) or an R address, not 9000"},
        {"--scan 1-3 -W 5", 3, "it takes no --write, --listen, --polls or --demo"},
        {"--scan 1-3 -n 2", 3, "it takes no --write, --listen, --polls or --demo"},
        {"--format f16 R00040100", 3, "f16"},
        {"--format u16 --word-order hi-lo -C 2 R00040100", 3, "it goes with --format u32, s32 or f32"},
        {"--format f32 --word-order hi-lo -C 3 R00040100", 3, "read an even number of them"},
        {"--hex --bin R00040100", 3, "--hex and --bin: choose one"},
        {"--names /nonexistent/plant.map R00040100", 3, "--names /nonexistent/plant.map: No such file or directory"},
        {"--names bad.map R00040100", 3, "--names bad.map:2: a name may not hold a control character"},
    };
    for (const auto& c : cases) {
        ToolRun run = Kivpoll(port + c.arguments);
        EXPECT_EQ(c.status, run.status) << c.arguments << "\n" << run.output;
        EXPECT_TRUE(Has(run, c.says)) << c.arguments << ": " << c.says << "\n" << run.output;
    }
    EXPECT_EQ(1003u, sim.RegisterValue(3, 0)) << "nothing was written";
}

}  // namespace

#endif
