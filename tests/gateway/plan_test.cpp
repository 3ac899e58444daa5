// kivgate's read plan: which gates share one driver call, as one table of
// gate sets and the groups they make.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/kivgate/plan.h"

namespace {

using kivgate::GateSettings;
using kivgate::ReadGroup;
using kivgate::ReadKind;

// A gate by its parsed fields: station, area, number, bit, count, interval.
GateSettings Gate(int32_t station, int32_t area, int32_t number, int32_t bit = KivWholeRegister, int32_t count = 1,
                  int32_t pollMs = 1000) {
    GateSettings gate;
    gate.station = station;
    gate.area = area;
    gate.number = number;
    gate.bit = bit;
    gate.count = count;
    gate.pollMs = pollMs;
    return gate;
}
GateSettings Reg(int32_t number, int32_t count = 1, int32_t pollMs = 1000, int32_t station = 12) {
    return Gate(station, AreaRegister, number, KivWholeRegister, count, pollMs);
}

// "R 12@1000 300+2 [0 1]", "S 12@1000 [3]", "E 12@0 [2]".
std::string Text(const ReadGroup& group) {
    std::string text = group.kind == ReadKind::Registers ? "R" : group.kind == ReadKind::StatusFetch ? "S" : "E";
    text += " " + std::to_string(group.station) + "@" + std::to_string(group.intervalMs);
    if (group.kind == ReadKind::Registers)
        text += " " + std::to_string(group.first) + "+" + std::to_string(group.count);
    text += " [";
    for (size_t i = 0; i < group.gates.size(); ++i) text += (i ? " " : "") + std::to_string(group.gates[i]);
    return text + "]";
}

struct PlanCase {
    const char* what;
    std::vector<GateSettings> gates;
    std::vector<std::string> groups;
};

TEST(ReadPlan, GroupsGatesIntoAsFewReadsAsTheAddressesAllow) {
    const int32_t logged = AreaLoggedEvents, changes = AreaChangeEvents, clock = AreaClock;
    const std::vector<PlanCase> cases = {
        {"neighbours share a read", {Reg(300), Reg(301)}, {"R 12@1000 300+2 [0 1]"}},
        {"a bit rides with its register's neighbours", {Reg(300), Gate(12, AreaRegister, 302, 5)},
         {"R 12@1000 300+3 [0 1]"}},
        {"a bit and its own register", {Gate(12, AreaRegister, 300, 5), Reg(300)}, {"R 12@1000 300+1 [0 1]"}},
        {"61 registers apart still one read", {Reg(300), Reg(360)}, {"R 12@1000 300+61 [0 1]"}},
        {"62 make two", {Reg(300), Reg(361)}, {"R 12@1000 300+1 [0]", "R 12@1000 361+1 [1]"}},
        {"a block and what fits after it", {Reg(300, 60), Reg(360), Reg(361)},
         {"R 12@1000 300+61 [0 1]", "R 12@1000 361+1 [2]"}},
        {"registers inside a block", {Reg(305), Reg(300, 10)}, {"R 12@1000 300+10 [1 0]"}},
        {"sorted by register within a group", {Reg(320), Reg(300), Reg(310)}, {"R 12@1000 300+21 [1 2 0]"}},
        {"stations apart", {Reg(300, 1, 1000, 12), Reg(301, 1, 1000, 13)},
         {"R 12@1000 300+1 [0]", "R 13@1000 301+1 [1]"}},
        {"intervals apart, shortest first", {Reg(300, 1, 5000), Reg(301, 1, 500)},
         {"R 12@500 301+1 [1]", "R 12@5000 300+1 [0]"}},
        {"exception only: read once, in groups of their own", {Reg(300, 1, 0), Reg(301)},
         {"R 12@0 300+1 [0]", "R 12@1000 301+1 [1]"}},
        {"status points of a station share one status fetch",
         {Gate(12, AreaStatus, 7), Gate(12, AreaStatus, 9), Gate(13, AreaStatus, 7)},
         {"S 12@1000 [0 1]", "S 13@1000 [2]"}},
        {"event gates alone, the clock never read",
         {Gate(12, logged, 0), Gate(12, changes, 0), Gate(12, clock, 0), Reg(300)},
         {"E 12@1000 [0]", "E 12@1000 [1]", "R 12@1000 300+1 [3]"}},
        {"nothing to read", {}, {}},
    };
    for (const PlanCase& row : cases) {
        std::vector<std::string> groups;
        for (const ReadGroup& group : kivgate::PlanReads(row.gates)) groups.push_back(Text(group));
        EXPECT_EQ(row.groups, groups) << row.what;
    }
}

}  // namespace
