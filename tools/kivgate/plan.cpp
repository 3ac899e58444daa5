// The read plan: gates grouped into as few driver calls as the addresses allow.
#include "tools/kivgate/plan.h"

#include <algorithm>
#include <map>
#include <tuple>

namespace kivgate {

namespace {

bool IsEventArea(int32_t area) {
    return area == AreaLoggedEvents || area == AreaChangeEvents || area == AreaStatusEvents;
}

// The last register a gate covers.
int32_t LastRegister(const GateSettings& gate) { return gate.number + std::max<int32_t>(gate.count, 1) - 1; }

// Cuts the R gates of one station and interval (sorted by first register)
// into runs that one read answers.
void AddRegisterGroups(const std::vector<GateSettings>& gates, std::vector<size_t> members, int32_t station,
                       int32_t intervalMs, std::vector<ReadGroup>* groups) {
    std::stable_sort(members.begin(), members.end(), [&gates](size_t a, size_t b) {
        return std::make_tuple(gates[a].number, LastRegister(gates[a])) <
               std::make_tuple(gates[b].number, LastRegister(gates[b]));
    });
    ReadGroup group;
    for (size_t index : members) {
        const GateSettings& gate = gates[index];
        const int32_t last = std::max(group.first + group.count - 1, LastRegister(gate));
        if (!group.gates.empty() && last - group.first + 1 <= KivReadRegistersMax) {
            group.count = last - group.first + 1;
            group.gates.push_back(index);
            continue;
        }
        if (!group.gates.empty()) groups->push_back(group);
        group = ReadGroup{ReadKind::Registers, station, intervalMs, gate.number,
                          LastRegister(gate) - gate.number + 1, {index}};
    }
    if (!group.gates.empty()) groups->push_back(group);
}

}  // namespace

std::vector<ReadGroup> PlanReads(const std::vector<GateSettings>& gates) {
    using Key = std::tuple<int32_t, int32_t>;  // interval, station
    std::map<Key, std::vector<size_t>> registers, statusPoints;
    std::vector<ReadGroup> groups;
    for (size_t index = 0; index < gates.size(); ++index) {
        const GateSettings& gate = gates[index];
        const Key key{std::max<int32_t>(gate.pollMs, 0), gate.station};
        if (gate.area == AreaRegister) registers[key].push_back(index);
        else if (gate.area == AreaStatus) statusPoints[key].push_back(index);
        else if (IsEventArea(gate.area))
            groups.push_back(ReadGroup{ReadKind::EventFetch, gate.station, std::get<0>(key), 0, 1, {index}});
    }
    for (const auto& entry : registers)
        AddRegisterGroups(gates, entry.second, std::get<1>(entry.first), std::get<0>(entry.first), &groups);
    for (const auto& entry : statusPoints)
        groups.push_back(ReadGroup{ReadKind::StatusFetch, std::get<1>(entry.first), std::get<0>(entry.first), 0, 1,
                                   entry.second});
    std::stable_sort(groups.begin(), groups.end(), [](const ReadGroup& a, const ReadGroup& b) {
        return std::make_tuple(a.intervalMs, a.station, a.first) < std::make_tuple(b.intervalMs, b.station, b.first);
    });
    return groups;
}

}  // namespace kivgate
