// The demo plant's generators, stepped by hand: values, wrap-around, the
// events each change queues, and the parsing of generator specifications.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tools/kivsim/plant.h"

namespace {

using kivsim::EventKind;
using kivsim::Generator;
using kivsim::Station;

constexpr int64_t kStart = 1700000000000;

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

Generator Parse(const std::string& spec) {
    Generator g;
    std::string error;
    EXPECT_TRUE(kivsim::ParseGenerator(Words(spec), &g, &error)) << spec << ": " << error;
    return g;
}

TEST(Plant, GeneratorsStepOncePerPeriod) {
    struct Case {
        std::string spec;
        uint16_t address;
        std::vector<uint32_t> values;  // register after each period
    };
    const Case cases[] = {
        {"counter 100 1 1000", 100, {1, 2, 3, 4}},
        {"counter 100 -2 1000", 100, {uint32_t(-2), uint32_t(-4), uint32_t(-6), uint32_t(-8)}},
        {"ramp 101 0 100 40 1000", 101, {40, 80, 0, 40}},
        {"ramp 101 -10 10 -15 1000", 101, {10, uint32_t(-5), 10, uint32_t(-5)}},
        // A step wider than 64 bits can add to passes the bound like any other.
        {"ramp 101 5 100 9223372036854775807 1000", 101, {5, 5, 5, 5}},
        // A wave beyond 32 bits is cut off at their limits.
        {"sine 102 1e10 0 1000 1000", 102, {0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF}},
        {"sine 102 -1e300 0 1000 1000", 102, {0x80000000, 0x80000000, 0x80000000, 0x80000000}},
    };
    for (const Case& c : cases) {
        Station unit(1, 0);
        std::vector<Generator> plant = {Parse(c.spec)};
        EXPECT_EQ(kivsim::RunPlant(plant, unit, kStart), 0) << "the first tick only sets the pace";
        std::vector<uint32_t> seen;
        for (int period = 1; period <= 4; ++period) {
            EXPECT_EQ(kivsim::RunPlant(plant, unit, kStart + period * 1000 - 1), 0);
            EXPECT_EQ(kivsim::RunPlant(plant, unit, kStart + period * 1000), 1);
            seen.push_back(unit.RegisterValue(c.address));
        }
        EXPECT_EQ(seen, c.values) << c.spec;
    }
}

// A period that reaches past the end of time: the next step is held there
// rather than wrapping round into the past (which made it step every tick).
TEST(Plant, APeriodBeyondTheEndOfTimeNeverSteps) {
    Station unit(1, 0);
    std::vector<Generator> plant = {Parse("counter 100 1 9223372036854775807")};
    for (int64_t t : {int64_t(0), int64_t(1000), int64_t(1) << 50}) {
        EXPECT_EQ(kivsim::RunPlant(plant, unit, kStart + t), 0) << t;
    }
    EXPECT_EQ(unit.RegisterValue(100), 0u);
}

TEST(Plant, ChangesQueueTheEventsAsked) {
    struct Case {
        std::string spec;
        size_t changes;
        size_t logged;
    };
    const Case cases[] = {{"counter 7 1 10", 3, 0},
                          {"counter 7 1 10 log", 0, 3},
                          {"counter 7 1 10 both", 3, 3},
                          {"counter 7 1 10 none", 0, 0},
                          {"counter 7 0 10 both", 0, 0}};  // no change, no event
    for (const Case& c : cases) {
        Station unit(1, 0);
        std::vector<Generator> plant = {Parse(c.spec)};
        for (int t = 0; t <= 30; t += 10) kivsim::RunPlant(plant, unit, kStart + t);
        EXPECT_EQ(unit.Pending(EventKind::RegisterChange), c.changes) << c.spec;
        EXPECT_EQ(unit.Pending(EventKind::LoggedEvent), c.logged) << c.spec;
    }
}

TEST(Plant, TogglesAndSineFollowTheUnitsClock) {
    Station unit(1, 0);
    std::vector<Generator> plant = {Parse("toggle 10 100"), Parse("sine 102 1000 500 400 100")};
    unit.SetClockOffset(-(kStart % 400));  // the unit's clock at a whole cycle
    for (int t = 0; t <= 400; t += 100) kivsim::RunPlant(plant, unit, kStart + t);
    EXPECT_EQ(unit.Pending(EventKind::StatusEvent), 4u);
    EXPECT_FALSE(unit.Point(10)) << "toggled four times";
    // Sampled at a quarter, half, three quarters and a whole cycle: the last is the offset.
    EXPECT_EQ(unit.RegisterValue(102), 1000u);
    EXPECT_EQ(unit.Pending(EventKind::RegisterChange), 4u);
}

TEST(Plant, ParseRefusesBadSpecifications) {
    const char* const bad[] = {"",
                               "counter",
                               "counter 100 1",
                               "counter 100 1 0",
                               "counter 100 x 1000",
                               "counter 65536 1 1000",
                               "counter 100 1 1000 sometimes",
                               "counter 5000 1 1000 log",  // logged events need 12-bit addresses
                               "ramp 1 10 0 1 1000",       // low above high
                               "sine 1 0 1 0 1000",        // no cycle
                               "toggle 8192 100",
                               "toggle 1 100 change",
                               "wobble 1 2 3"};
    for (const char* spec : bad) {
        Generator g;
        std::string error;
        EXPECT_FALSE(kivsim::ParseGenerator(Words(spec), &g, &error)) << spec;
        EXPECT_FALSE(error.empty()) << spec;
    }
    EXPECT_EQ(Parse("ramp 101 0 1000 50 500 both").Describe(), "ramp 101 0 1000 50 500 both");
    EXPECT_EQ(kivsim::DemoPlant().size(), 5u);
}

}  // namespace
