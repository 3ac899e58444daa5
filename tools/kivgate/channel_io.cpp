// A channel's calls through the driver: the address commands at start, Open,
// the reads of the plan's groups and the writes, each published.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "tavlib/tavlib_control.h"
#include "tools/kivgate/channel_run.h"
#include "tools/kivpoll/host_log.h"
#include "tools/kivpoll/line_tap.h"
#include "tools/kivpoll/output.h"
#include "tools/kivpoll/port_failure.h"
#include "tools/kivpoll/reasons.h"

namespace kivgate {

namespace {

constexpr auto kLongestOpenPause = std::chrono::milliseconds(30000);
constexpr auto kLongestReopenPause = std::chrono::milliseconds(10000);

// A gate whose address the driver refused: a gateway event and a log line.
void Refuse(ChannelRun& state, const GateSettings& gate, const std::string& reason) {
    const nlohmann::json fields = {{"channel", state.settings.name}, {"gate", gate.name},
                                   {"address", gate.address}, {"reason", reason}};
    state.publisher.GatewayEvent("gate refused", fields.dump());
    std::fprintf(stderr, "kivgate: channel %s: gate %s (%s, line %d) refused by the driver: %s\n",
                 state.settings.name.c_str(), gate.name.c_str(), gate.address.c_str(), gate.line, reason.c_str());
    ++state.status.refusedGates;
}

// The address command's verdict on a gate; "" when the driver takes it,
// with request filled.
std::string CheckGate(ChannelRun& state, const GateSettings& gate, GateRequest* request) {
    kivpoll::DriverHost& host = state.host;
    if (host.Address(CommandParseAddress, gate.address, gate.kind, 0, request) != 0)
        return kivpoll::AddressReason(host, CommandParseAddress, gate.address, gate.kind, 0);
    if (gate.count <= 1) return "";
    GateRequest block{};
    if (host.Address(CommandCheckAddress, gate.address, gate.kind, gate.count, &block) != 0)
        return kivpoll::AddressReason(host, CommandCheckAddress, gate.address, gate.kind, gate.count);
    return "";
}

void PortFailed(ChannelRun& state, const std::string& reason) {
    const bool changed = state.status.state != "port failed" || state.status.lastError != reason;
    state.status.lastError = reason;
    state.status.lastErrorMs = WallMs();
    state.statusDirty = true;
    if (changed)
        std::fprintf(stderr, "kivgate: channel %s: %s\n", state.settings.name.c_str(), reason.c_str());
    SetState(state, "port failed");
}

std::string OpenFailure(const ChannelRun& state, int32_t result) {
    KivPortFailureReport failure{};
    if (state.host.PortFailure(&failure) == 1)
        return "cannot open port " + kivpoll::PortAndDevice(state.settings.port, failure) + ": " +
               kivpoll::PortFailureReason(failure, kivpoll::SetupOf(state.settings.lineSettings));
    return "Open of channel " + std::to_string(state.settings.number) + " on " + state.settings.port + " gave " +
           std::to_string(result) + " (" + kivpoll::ResultName(result) + ")";
}

// Watches the open port: gone, it is reopened with growing pauses.
void WatchPort(ChannelRun& state) {
    kivpoll::PortWatchReport report;
    report.gone = [&state](const KivPortFailureReport& failure) {
        PortFailed(state, "port " + state.settings.port + " gone: " +
                              kivpoll::PortFailureReason(failure, kivpoll::SetupOf(state.settings.lineSettings)));
    };
    report.back = [&state] { SetState(state, "working"); };
    state.watch.reset(new kivpoll::PortWatch(state.host, state.settings.port, report, kLongestReopenPause));
}

// The raw values of gate from a read of registers from first on.
std::vector<int32_t> RawOf(const GateSettings& gate, int32_t first, const std::vector<int32_t>& data) {
    const auto at = data.begin() + (gate.number - first);
    if (gate.bit != KivWholeRegister) return {BitOf(*at, gate.bit)};
    return std::vector<int32_t>(at, at + std::max<int32_t>(gate.count, 1));
}

// What a status point holds in the runtime (its status events set it); false
// while none has come.
bool StoredPoint(const ChannelRun& state, const GateSettings& gate, TavGateValue* value) {
    const int32_t id = TavFindGate(state.settings.number - 1, gate.station, AreaStatus, gate.number, KivWholeRegister);
    return id > 0 && TavReadGate(id, value) == 0 && value->updates > 0;
}

// Publishes one gate after a read: good with raw, or failed with the last good values.
void PublishRead(ChannelRun& state, GateRun& gate, int32_t result, const std::string& reason,
                 const std::vector<int32_t>* raw, const TavGateValue* stored) {
    GateReading reading;
    reading.timeMs = WallMs();
    reading.source = stored != nullptr ? Source::EventFetch : Source::Poll;
    if (stored != nullptr && stored->time > 0) {
        reading.unitTime = stored->time;
        reading.unitMs = stored->milliseconds;
    }
    if (result == 0 && raw != nullptr) {
        gate.raw = *raw;
        gate.good = true;
    }
    gate.quality = result == 0 ? Quality::Good : Quality::Failed;
    gate.result = result;
    gate.reason = reason;
    gate.fresh = SteadyClock::now();
    if (gate.good) reading.values = Scaled(gate.settings, gate.raw);
    reading.quality = gate.quality;
    reading.result = result;
    reading.reason = reason;
    state.publisher.GateValue(state.settings, gate.settings, reading);
}

// One driver call on this thread with its log lines; the result.
int32_t Request(ChannelRun& state, int32_t command, GateRequest* request, const std::string& operation,
                std::string* reason) {
    kivpoll::LogCapture log;
    const int32_t result = state.host.Call(command, request);
    *reason = ResultReason(result, log.lines(), operation);
    CountRequest(state, result, *reason);
    return result;
}

}  // namespace

std::vector<double> Scaled(const GateSettings& gate, const std::vector<int32_t>& raw) {
    std::vector<double> values;
    for (int32_t value : raw) values.push_back(value * gate.scale + gate.offset);
    return values;
}

int64_t WallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string ResultReason(int32_t result, const std::vector<std::string>& log, const std::string& operation) {
    if (result == 0) return "";
    if (result == 1) return kivpoll::RefusedRequestReason(log, operation);
    if (result == 2)
        return "no answer: " + kivpoll::NoAnswerReason(kivpoll::HeardOnLine(2, log, {}, {}), kivpoll::LineSeen{});
    return "the driver answered " + std::to_string(result);
}

void CountRequest(ChannelRun& state, int32_t result, const std::string& reason) {
    ++state.status.requests;
    if (result == 0) {
        ++state.status.done;
    } else {
        ++state.status.failures;
        state.status.lastError = reason;
        state.status.lastErrorMs = WallMs();
    }
    state.statusDirty = true;
}

void AddressGates(ChannelRun& state) {
    std::vector<GateRun> gates;
    for (const GateSettings& gate : state.settings.gates) {
        GateRun run;
        const std::string reason = CheckGate(state, gate, &run.request);
        if (!reason.empty()) {
            Refuse(state, gate, reason);
            continue;
        }
        run.settings = gate;
        run.settings.station = run.request.station;
        run.settings.area = run.request.area;
        run.settings.number = run.request.number;
        run.settings.bit = run.request.bit;
        run.fresh = SteadyClock::now();
        gates.push_back(run);
    }
    std::vector<GateSettings> planned;
    for (const GateRun& run : gates) planned.push_back(run.settings);
    state.plan = PlanReads(planned);
    for (size_t group = 0; group < state.plan.size(); ++group)
        for (size_t index : state.plan[group].gates) gates[index].group = group;
    state.due.assign(state.plan.size(), SteadyClock::now());
    state.status.gates = static_cast<int>(gates.size());
    std::lock_guard<std::mutex> lock(state.gatesMutex);
    state.gates.swap(gates);
}

bool TryOpen(ChannelRun& state) {
    std::string error;
    if (!state.filesWritten && !WriteChannelFiles(state, &error)) {
        PortFailed(state, error);
    } else {
        state.filesWritten = true;
        const kivpoll::ChannelOptions options{state.driverPath, state.driverPort, state.settings.lineSettings,
                                              state.settings.readTimeout, state.settings.number};
        int32_t result;
        {
            // Only the first failure's lines are shown: the status tells the rest.
            kivpoll::LogCapture log(state.openTries++ > 0);
            result = state.host.Open(options);
        }
        if (result == 0) {
            state.opened = true;
            state.openPause = std::chrono::milliseconds(1000);
            WatchPort(state);
            // "working" once a request is done (the first reads follow at once),
            // or now for a channel without reads.
            SetState(state, state.plan.empty() ? "working" : "starting");
            return true;
        }
        PortFailed(state, OpenFailure(state, result));
    }
    state.nextOpen = SteadyClock::now() + state.openPause;
    state.openPause = std::min<std::chrono::milliseconds>(state.openPause * 2, kLongestOpenPause);
    return false;
}

namespace {

// A fetch's own request: the address command's for the text (no I/O).
bool EventRequest(ChannelRun& state, const char* letters, int32_t station, GateRequest* request) {
    char text[16];
    std::snprintf(text, sizeof text, "%s%04d", letters, static_cast<int>(station));
    return state.host.Address(CommandParseAddress, text, 3, 0, request) == 0;
}

int32_t ReadRegisters(ChannelRun& state, const ReadGroup& group) {
    std::vector<int32_t> data(static_cast<size_t>(std::max<int32_t>(group.count, 1)), 0);
    GateRequest request{};
    request.kind = 3;
    request.blockLength = group.count;
    request.station = group.station;
    request.area = AreaRegister;
    request.number = group.first;
    request.bit = KivWholeRegister;
    request.size = 32;
    request.count = group.count;
    request.data = data.data();
    std::string reason;
    const int32_t result = Request(state, group.count > 1 ? CommandReadBlock : CommandRead, &request, "read", &reason);
    std::lock_guard<std::mutex> lock(state.gatesMutex);
    for (size_t index : group.gates) {
        GateRun& gate = state.gates[index];
        const std::vector<int32_t> raw = RawOf(gate.settings, group.first, data);
        PublishRead(state, gate, result, reason, &raw, nullptr);
    }
    return result;
}

// The station's status events, then its points as the runtime holds them.
int32_t FetchStatusPoints(ChannelRun& state, const ReadGroup& group) {
    GateRequest request{};
    int32_t data[2] = {};
    if (!EventRequest(state, "!S", group.station, &request)) return 1;
    request.data = data;
    std::string reason;
    const int32_t result = Request(state, CommandRead, &request, "events", &reason);
    std::lock_guard<std::mutex> lock(state.gatesMutex);
    for (size_t index : group.gates) {
        GateRun& gate = state.gates[index];
        TavGateValue stored{};
        const bool known = StoredPoint(state, gate.settings, &stored);
        if (result == 0 && !known) {
            gate.fresh = SteadyClock::now();  // read, but the unit has reported nothing of it yet
            continue;
        }
        const std::vector<int32_t> raw = {static_cast<int32_t>(stored.value != 0.0)};
        PublishRead(state, gate, result, reason, known ? &raw : nullptr, &stored);
    }
    return result;
}

// An event gate's fetch: its value is how many records it stored.
int32_t FetchEvents(ChannelRun& state, const ReadGroup& group) {
    GateRequest request;
    {
        std::lock_guard<std::mutex> lock(state.gatesMutex);
        request = state.gates[group.gates.front()].request;
    }
    int32_t data[2] = {};
    request.data = data;
    const uint64_t before = state.fetched.load();
    std::string reason;
    const int32_t result = Request(state, CommandRead, &request, "events", &reason);
    const std::vector<int32_t> raw = {static_cast<int32_t>(state.fetched.load() - before)};
    std::lock_guard<std::mutex> lock(state.gatesMutex);
    PublishRead(state, state.gates[group.gates.front()], result, reason, &raw, nullptr);
    return result;
}

// Why a gate takes no write before anything goes on the line; "" when it may.
std::string WriteRefusal(const GateSettings& gate, size_t count) {
    if (gate.area == AreaStatus) return "a status point is set only by status events";
    if (gate.area != AreaRegister) return "an event or clock address takes no value";
    return kivpoll::WriteReason(static_cast<int32_t>(count));
}

WriteResult WriteGate(ChannelRun& state, const WriteJob& job, GateRun* found) {
    WriteResult outcome{1, "", job.asked};
    GateRequest request;
    GateSettings gate;
    {
        std::lock_guard<std::mutex> lock(state.gatesMutex);
        request = found->request;
        gate = found->settings;
    }
    outcome.reason = WriteRefusal(gate, job.raw.size());
    if (!outcome.reason.empty() || job.raw.empty()) return outcome;
    std::vector<int32_t> data(job.raw);
    if (gate.bit != KivWholeRegister) {
        const uint16_t bit = job.raw[0] != 0 ? 1 : 0;  // a bit's value is the word at byte offset 2
        data.assign(1, 0);
        std::memcpy(reinterpret_cast<unsigned char*>(data.data()) + 2, &bit, sizeof bit);
    }
    request.data = data.data();
    request.count = static_cast<int32_t>(data.size());
    outcome.result = Request(state, data.size() > 1 ? CommandWriteBlock : CommandWrite, &request, "write",
                             &outcome.reason);
    // Read back soon what was written.
    if (outcome.result == 0 && found->group < state.due.size()) state.due[found->group] = SteadyClock::now();
    return outcome;
}

GateRun* FindGate(ChannelRun& state, int32_t station, const std::string& name) {
    for (GateRun& gate : state.gates)
        if (gate.settings.station == station && gate.settings.name == name) return &gate;
    return nullptr;
}

const GateSettings* FindSettings(const ChannelRun& state, int32_t station, const std::string& name) {
    for (const GateSettings& gate : state.settings.gates)
        if (gate.station == station && gate.name == name) return &gate;
    return nullptr;
}

}  // namespace

int32_t ReadGroupNow(ChannelRun& state, size_t index) {
    const ReadGroup& group = state.plan[index];
    switch (group.kind) {
    case ReadKind::Registers: return ReadRegisters(state, group);
    case ReadKind::StatusFetch: return FetchStatusPoints(state, group);
    case ReadKind::EventFetch: return FetchEvents(state, group);
    }
    return 1;
}

void ServeWrite(ChannelRun& state, const WriteJob& job, const std::string& portDown) {
    if (job.clock) {
        WriteResult outcome{1, "", {}};
        GateRequest request{};
        int32_t data[4] = {};
        if (!portDown.empty()) {
            outcome = WriteResult{2, portDown, {}};
        } else if (EventRequest(state, "!T", job.station, &request)) {
            request.data = data;
            outcome.result = Request(state, CommandWrite, &request, "clock", &outcome.reason);
        } else {
            outcome.reason = "station " + std::to_string(job.station) + " has no clock address";
        }
        state.publisher.ClockResult(state.settings, job.station, outcome);
        return;
    }
    GateRun* gate = FindGate(state, job.station, job.name);
    const GateSettings* configured = FindSettings(state, job.station, job.name);
    if (gate == nullptr || configured == nullptr) {
        GateSettings named;
        named.name = job.name;
        named.station = job.station;
        state.publisher.Result(state.settings, configured != nullptr ? *configured : named,
                               WriteResult{1, "the driver refused the gate's address at start", job.asked});
        return;
    }
    const WriteResult outcome = portDown.empty() ? WriteGate(state, job, gate) : WriteResult{2, portDown, job.asked};
    state.publisher.Result(state.settings, gate->settings, outcome);
}

void MarkStale(ChannelRun& state, const std::string& why) {
    const auto now = SteadyClock::now();
    std::lock_guard<std::mutex> lock(state.gatesMutex);
    for (GateRun& gate : state.gates) {
        const int32_t interval = gate.settings.pollMs;
        if (interval <= 0 || gate.quality == Quality::Stale ||
            now - gate.fresh <= std::chrono::milliseconds(int64_t{kStaleIntervals} * interval))
            continue;
        gate.quality = Quality::Stale;
        GateReading reading;
        if (gate.good) reading.values = Scaled(gate.settings, gate.raw);
        reading.quality = Quality::Stale;
        reading.result = gate.result;
        reading.reason = why.empty() ? "no fresh read for " + std::to_string(kStaleIntervals) + " poll intervals"
                                     : why;
        reading.timeMs = WallMs();
        state.publisher.GateValue(state.settings, gate.settings, reading);
    }
}

}  // namespace kivgate
