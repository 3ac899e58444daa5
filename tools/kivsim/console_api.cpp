// The console's JSON API: one table of routes, each a method, a path pattern
// and a handler; the handlers check everything a request names before they
// change anything, and change it through the same simulator calls as the
// control commands (change, toggle, log, fault, seed, delay).
#include "tools/kivsim/console_api.h"
#include "tools/kivsim/console_fields.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

#include <nlohmann/json.hpp>

#include "link/frame_codec.h"
#include "link/frame_splitter.h"
#include "tools/common/capture.h"
#include "tools/common/frame_text.h"
#include "tools/common/time_text.h"

namespace kivsim {

namespace {

using nlohmann::json;
using Segments = std::vector<std::string>;

// A list of registers or points in one answer holds at most this many.
constexpr int64_t kListMax = 1024;
// One answer of frames holds at most this many.
constexpr int64_t kFramesMax = 2000;

ApiResponse Reply(int status, const json& body) {
    ApiResponse r;
    r.status = status;
    // A reason may quote the request's own bytes, which need not be UTF-8.
    r.body = body.dump(-1, ' ', false, json::error_handler_t::replace);
    return r;
}

ApiResponse Error(int status, const std::string& reason) {
    return Reply(status, json{{"error", reason}});
}

Segments Split(const std::string& path) {
    Segments parts;
    size_t at = 0;
    while (at < path.size()) {
        size_t slash = path.find('/', at);
        if (slash == std::string::npos) slash = path.size();
        if (slash > at) parts.push_back(path.substr(at, slash - at));
        at = slash + 1;
    }
    return parts;
}

// A request's body as a JSON object, or why not.
bool BodyObject(const ApiRequest& r, json* body, std::string* why) {
    if (AsciiLower(r.contentType).rfind("application/json", 0) != 0) {
        *why = "the body must be JSON (Content-Type: application/json)";
        return false;
    }
    *body = json::parse(r.body, nullptr, false);
    if (body->is_discarded() || !body->is_object()) {
        *why = "the body is no JSON object";
        return false;
    }
    return true;
}

std::string IsoTime(int64_t wallUs) {
    return kivtools::FormatTime(wallUs / 1000, kivtools::TimeForm::Iso);
}

std::string FormatClock(int64_t ms) {
    return kivtools::FormatTime(ms, kivtools::TimeForm::DateTime, false);
}

// One request being answered: the words of its path and what they name.
struct Call {
    Simulator& sim;
    ConsoleFrames& frames;
    const ApiRequest& request;
    const Segments& parts;
    uint16_t station = 0;
    json body;
};

// The station's state and its traffic: what the stations list shows of each.
json StationSummary(Call& c, uint16_t number) {
    const int64_t pcNow = c.sim.PcNow();
    uint16_t host = 0;
    bool exception = false, noticeOutstanding = false;
    int64_t clockMs = 0;
    size_t pending[kEventKinds] = {};
    c.sim.ReadStation(number, [&](const Station& s) {
        host = s.Host();
        exception = s.exceptionMode;
        noticeOutstanding = s.noticeOutstanding;
        clockMs = s.ClockMs(pcNow);
        for (int k = 0; k < kEventKinds; ++k) pending[k] = s.Pending(EventKind(k));
    });
    json row{{"station", number},
             {"host", host},
             {"exception", exception},
             {"noticeOutstanding", noticeOutstanding},
             {"clock", FormatClock(clockMs)},
             {"pending", {{"changes", pending[0]}, {"status", pending[1]}, {"logged", pending[2]}}}};
    StationTraffic t;
    const bool seen = c.frames.Traffic(number, &t);
    row["requests"] = t.requests;
    row["answers"] = t.answers;
    row["linkResetSeen"] = t.linkResetSeen;
    row["lastRequest"] = nullptr;
    if (seen && t.lastRequestUs != 0) {
        row["lastRequest"] = json{{"time", IsoTime(t.lastRequestUs)},
                                  {"what", kivtools::DescribeLineBytes(t.lastRequest.data(), t.lastRequest.size())}};
    }
    return row;
}

ApiResponse ListStations(Call& c) {
    json list = json::array();
    for (uint16_t s : c.sim.Stations()) list.push_back(StationSummary(c, s));
    return Reply(200, json{{"stations", list}, {"faults", c.sim.DescribeFaults()}});
}

// A query number from low to high; absent: fallback.
bool QueryNumber(const ApiRequest& r, const char* name, int64_t low, int64_t high, int64_t fallback, int64_t* out) {
    auto it = r.query.find(name);
    if (it == r.query.end()) {
        *out = fallback;
        return true;
    }
    return ParseNumber(it->second, low, high, out);
}

// The registers from ?from=R&count=N, or without them the registers that
// are not 0; the points that are on.
ApiResponse ShowStation(Call& c) {
    int64_t from = -1, count = 0;
    if (!QueryNumber(c.request, "from", 0, kRegisterCount - 1, -1, &from) ||
        !QueryNumber(c.request, "count", 1, kListMax, 64, &count)) {
        return Error(400, "from is a register (0 to 65535) and count 1 to " + std::to_string(kListMax));
    }
    // Only the numbers are copied under the simulator's lock; the JSON is
    // built after it.
    std::vector<std::pair<int, int32_t>> values;
    std::vector<int> on;
    values.reserve(size_t(kListMax));
    on.reserve(64);
    c.sim.ReadStation(c.station, [&](const Station& s) {
        for (int r = from >= 0 ? int(from) : 0; r < kRegisterCount && int64_t(values.size()) < kListMax; ++r) {
            const uint32_t value = s.RegisterValue(uint16_t(r));
            if (from >= 0 && r >= from + count) break;
            if (from >= 0 || value != 0) values.emplace_back(r, int32_t(value));
        }
        for (int p = 0; p < kStatusPointCount && int64_t(on.size()) < kListMax; ++p) {
            if (s.Point(uint16_t(p))) on.push_back(p);
        }
    });
    json row = StationSummary(c, c.station);
    json registers = json::array(), points = json::array();
    for (const auto& v : values) registers.push_back(json{{"register", v.first}, {"value", v.second}});
    for (int p : on) points.push_back(p);
    row["registers"] = registers;
    row["pointsOn"] = points;
    return Reply(200, row);
}

// A number in the path at index at, from 0 to high.
bool PathNumber(const Call& c, size_t at, int64_t high, int64_t* out) {
    return ParseNumber(c.parts[at], 0, high, out);
}

ApiResponse PutRegister(Call& c) {
    int64_t address = 0;
    uint32_t value = 0;
    if (!PathNumber(c, 4, kRegisterCount - 1, &address)) return Error(400, "no register " + c.parts[4] + " (0 to 65535)");
    if (!c.body.contains("value") || !RegisterValueIn(c.body["value"], &value))
        return Error(400, "value is a whole number from -2147483648 to 4294967295");
    c.sim.QueueRegisterChange(c.station, uint16_t(address), value);
    return Reply(200, json{{"station", c.station}, {"register", address}, {"value", int32_t(value)}});
}

ApiResponse TogglePoint(Call& c) {
    int64_t point = 0;
    if (!PathNumber(c, 4, kStatusPointCount - 1, &point))
        return Error(400, "no point " + c.parts[4] + " (0 to " + std::to_string(kStatusPointCount - 1) + ")");
    bool state = false;
    c.sim.ReadStation(c.station, [&](const Station& s) { state = !s.Point(uint16_t(point)); });
    c.sim.QueueStatusEvent(c.station, uint16_t(point), state);
    return Reply(200, json{{"station", c.station}, {"point", point}, {"state", state}});
}

// {"kind": "status", "point": P, "state": true|false} or {"kind": "log",
// "register": R, "value": V}, each with an optional "stamp"; the unit's clock
// stamps it now without one.
ApiResponse PostEvent(Call& c) {
    const json& b = c.body;
    const std::string kind = b.contains("kind") && b["kind"].is_string() ? b["kind"].get<std::string>() : "";
    if (kind != "status" && kind != "log") return Error(400, "kind is status or log");
    CalendarTime stamp;
    const bool stamped = b.contains("stamp");
    if (stamped && !(b["stamp"].is_string() && ParseStamp(b["stamp"].get<std::string>(), &stamp)))
        return Error(400, "stamp is \"YYYY-MM-DD HH:MM:SS[.mmm]\" from 1900 to 2155");
    int64_t address = 0;
    if (kind == "status") {
        if (!b.contains("point") || !IntegerIn(b["point"], 0, kStatusPointCount - 1, &address))
            return Error(400, "point is 0 to " + std::to_string(kStatusPointCount - 1));
        if (!b.contains("state") || !b["state"].is_boolean()) return Error(400, "state is true or false");
        const bool state = b["state"].get<bool>();
        if (!stamped) {
            c.sim.QueueStatusEvent(c.station, uint16_t(address), state);
        } else {
            StatusEvent e{uint16_t(address), state, {}};
            EncodeTimeStamp(stamp, e.stamp);
            c.sim.WithStation(c.station, [&](Station& s) {
                s.SetPoint(e.address, state);
                s.QueueStatusEventStamped(e);
            });
        }
        return Reply(200, json{{"station", c.station}, {"kind", kind}, {"point", address}, {"state", state}});
    }
    uint32_t value = 0;
    if (!b.contains("register") || !IntegerIn(b["register"], 0, kLoggedRegisterCount - 1, &address))
        return Error(400, "register is 0 to " + std::to_string(kLoggedRegisterCount - 1) + " for logged events");
    if (!b.contains("value") || !RegisterValueIn(b["value"], &value))
        return Error(400, "value is a whole number from -2147483648 to 4294967295");
    if (!stamped) {
        c.sim.QueueLoggedEvent(c.station, uint16_t(address), value);
    } else {
        LoggedEvent e{uint16_t(address), value, {}};
        EncodeTimeStamp(stamp, e.stamp);
        c.sim.WithStation(c.station, [&](Station& s) {
            s.SetRegister(e.address, value);
            s.QueueLoggedEventStamped(e);
        });
    }
    return Reply(200, json{{"station", c.station}, {"kind", kind}, {"register", address}, {"value", int32_t(value)}});
}

json FrameJson(const ConsoleFrame& f) {
    json row{{"seq", f.seq},
             {"us", f.wallUs},
             {"time", IsoTime(f.wallUs)},
             {"dir", f.direction == kivtools::kCaptureToUnit ? "H>U" : "U>H"},
             {"what", kivtools::DescribeLineBytes(f.bytes.data(), f.bytes.size())},
             {"hex", kivtools::HexBytes(f.bytes.data(), f.bytes.size())}};
    uint8_t m[kMessageBufferSize];
    uint8_t kind = FramePieceJunk;
    const bool sound = f.bytes.size() <= size_t(kFrameBufferSize) &&
                       CutFramePiece(f.bytes.data(), uint32_t(f.bytes.size()), m, &kind) == f.bytes.size() &&
                       kind == FramePieceFrame;
    row["station"] = nullptr;
    if (sound) row["station"] = f.direction == kivtools::kCaptureToUnit ? MessageDestination(m) : MessageSource(m);
    row["sound"] = sound;
    return row;
}

// ?after=SEQ (default 0), ?max=N, ?wait=MS: a long poll that answers as
// soon as a frame after SEQ is there, or empty after MS.
ApiResponse ListFrames(Call& c) {
    int64_t after = 0, max = 0, wait = 0;
    if (!QueryNumber(c.request, "after", 0, INT64_MAX, 0, &after) ||
        !QueryNumber(c.request, "max", 1, kFramesMax, 500, &max) ||
        !QueryNumber(c.request, "wait", 0, ConsoleApi::kLongestWaitMs, 0, &wait)) {
        return Error(400, "after is a sequence number, max 1 to " + std::to_string(kFramesMax) + ", wait 0 to " +
                              std::to_string(ConsoleApi::kLongestWaitMs) + " ms");
    }
    json list = json::array();
    for (const ConsoleFrame& f : c.frames.After(uint64_t(after), size_t(max), int(wait))) list.push_back(FrameJson(f));
    return Reply(200, json{{"last", c.frames.LastSeq()}, {"frames", list}});
}

ApiResponse DownloadCapture(Call& c) {
    int64_t after = 0;
    if (!QueryNumber(c.request, "after", 0, INT64_MAX, 0, &after)) return Error(400, "after is a sequence number");
    ApiResponse r;
    r.body = CaptureFileBytes(c.frames.After(uint64_t(after), SIZE_MAX, 0));
    r.contentType = "application/vnd.tcpdump.pcap";
    return r;
}

ApiResponse ShowStats(Call& c) {
    const Stats s = c.sim.GetStats();
    json faults = json::object();
    for (int k = 0; k < kFaultKinds; ++k) faults[FaultName(FaultKind(k))] = s.faults[k];
    json requests = json::object(), answers = json::object();
    uint64_t allRequests = 0, allAnswers = 0;
    for (int op = 0; op < 16; ++op) {
        allRequests += s.requests[op];
        allAnswers += s.answers[op];
        if (s.requests[op] == 0 && s.answers[op] == 0) continue;
        requests[std::to_string(op)] = s.requests[op];
        answers[std::to_string(op)] = s.answers[op];
    }
    json body{{"framesReceived", s.framesReceived},
              {"framesNotOurs", s.framesNotOurs},
              {"crcErrors", s.crcErrors},
              {"incompleteFrames", s.incompleteFrames},
              {"junkBytes", s.junkBytes},
              {"refused", s.refused},
              {"requests", allRequests + s.linkResets},
              {"answers", allAnswers + s.linkResetAnswers},
              {"requestsByOpcode", requests},
              {"answersByOpcode", answers},
              {"linkResets", s.linkResets},
              {"linkResetAnswers", s.linkResetAnswers},
              {"repeats", s.repeats},
              {"eventsSent", {{"changes", s.eventsSent[0]}, {"status", s.eventsSent[1]}, {"logged", s.eventsSent[2]}}},
              {"eventsLost", s.eventsLost},
              {"noticesSent", s.noticesSent},
              {"noticesRepeated", s.noticesRepeated},
              {"acks", s.acks},
              {"ackMismatches", s.ackMismatches},
              {"linkResetsSent", s.linkResetsSent},
              {"linkResetReplies", s.linkResetReplies},
              {"framesSentUnasked", s.framesSentUnasked},
              {"faults", faults},
              {"clients", s.clients},
              {"radioCollisions", s.radioCollisions},
              {"text", FormatStats(s)}};
    return Reply(200, body);
}

json FaultsJson(Simulator& sim) {
    const FaultSettings f = sim.GetFaultSettings();
    json kinds = json::object();
    for (int k = 0; k < kFaultKinds; ++k)
        kinds[FaultName(FaultKind(k))] = json{{"probability", f.probability[k]}, {"queued", f.queued[k]}};
    return json{{"seed", f.seed}, {"delayMs", f.delayMs}, {"kinds", kinds}, {"text", sim.DescribeFaults()}};
}

ApiResponse ShowFaults(Call& c) {
    return Reply(200, FaultsJson(c.sim));
}

// {"clear": true, "seed": N, "delayMs": MS, "probabilities": {"crc": 0.1},
// "inject": {"drop": 2}}, any of them; all checked before any is applied,
// then applied in that order (as `fault off`, `seed`, `delay`, `fault
// KIND=P`, `fault KIND N`).
ApiResponse PutFaults(Call& c) {
    const json& b = c.body;
    static const char* const kFields[] = {"clear", "seed", "delayMs", "probabilities", "inject"};
    for (auto it = b.begin(); it != b.end(); ++it) {
        if (std::find_if(std::begin(kFields), std::end(kFields), [&](const char* f) { return it.key() == f; }) ==
            std::end(kFields))
            return Error(400, "unknown field " + it.key() + " (clear, seed, delayMs, probabilities, inject)");
    }
    if (b.contains("clear") && !b["clear"].is_boolean()) return Error(400, "clear is true or false");
    int64_t seed = -1, delay = -1;
    if (b.contains("seed") && !IntegerIn(b["seed"], 0, INT64_MAX, &seed)) return Error(400, "seed is 0 or more");
    if (b.contains("delayMs") && !IntegerIn(b["delayMs"], 0, 600000, &delay))
        return Error(400, "delayMs is 0 to 600000");
    std::vector<std::pair<FaultKind, double>> probabilities;
    std::vector<std::pair<FaultKind, int64_t>> injections;
    for (const char* field : {"probabilities", "inject"}) {
        if (!b.contains(field)) continue;
        const json& map = b[field];
        if (!map.is_object()) return Error(400, std::string(field) + " is an object of fault kinds");
        for (auto it = map.begin(); it != map.end(); ++it) {
            FaultKind kind;
            if (!ParseFaultName(it.key(), &kind)) return Error(400, "unknown fault " + it.key());
            int64_t count = 0;
            if (field[0] == 'p') {
                if (!it->is_number() || !(it->get<double>() >= 0 && it->get<double>() <= 1))
                    return Error(400, "probability of " + it.key() + " not in 0 to 1");
                probabilities.emplace_back(kind, it->get<double>());
            } else if (!IntegerIn(*it, 1, 1000000, &count)) {
                return Error(400, "count of " + it.key() + " not in 1 to 1000000");
            } else {
                injections.emplace_back(kind, count);
            }
        }
    }
    if (b.contains("clear") && b["clear"].get<bool>()) c.sim.ClearFaults();
    if (seed >= 0) c.sim.SetFaultSeed(uint64_t(seed));
    if (delay >= 0) c.sim.SetDelay(int(delay));
    for (auto& p : probabilities) c.sim.SetFaultProbability(p.first, p.second);
    for (auto& i : injections) c.sim.InjectFault(i.first, int(i.second));
    return Reply(200, FaultsJson(c.sim));
}

ApiResponse ShowLine(Call& c) {
    ComPortState state;
    const bool connected = c.sim.NetLineState(&state);
    json row{{"path", c.sim.LinePath()}, {"text", c.sim.DescribeNetLine()}, {"clientConnected", connected}};
    if (connected) row["rts"] = bool(state.rts), row["dtr"] = bool(state.dtr), row["baud"] = state.baud;
    return Reply(200, row);
}

// ?after=SEQ: the radio's changes of key-up and carrier since then, each
// the state from its time on, and the state now; {"radio": false} on a line
// without a radio.
ApiResponse ShowRadio(Call& c) {
    int64_t after = 0;
    if (!QueryNumber(c.request, "after", 0, INT64_MAX, 0, &after)) return Error(400, "after is a sequence number");
    RadioSettings settings;
    std::vector<RadioChange> changes;
    RadioChange now;
    if (!c.sim.RadioChanges(uint64_t(after), &settings, &changes, &now)) return Reply(200, json{{"radio", false}});
    json list = json::array();
    for (const RadioChange& r : changes) {
        list.push_back(json{{"seq", r.seq}, {"us", r.wallUs}, {"time", IsoTime(r.wallUs)}, {"keyed", r.keyed},
                            {"carrier", r.carrier}});
    }
    return Reply(200, json{{"radio", true},
                           {"keyUpMs", settings.keyUpMs},
                           {"tailMs", settings.tailMs},
                           {"keyed", now.keyed},
                           {"carrier", now.carrier},
                           {"last", now.seq},
                           {"changes", list}});
}

struct Route {
    const char* method;
    const char* pattern;  // path words; "{s}" a played station, "*" any word
    bool body;            // takes a JSON object
    ApiResponse (*handle)(Call&);
};

const Route kRoutes[] = {
    {"GET", "api/stations", false, ListStations},
    {"GET", "api/stations/{s}", false, ShowStation},
    {"PUT", "api/stations/{s}/registers/*", true, PutRegister},
    {"POST", "api/stations/{s}/points/*/toggle", true, TogglePoint},
    {"POST", "api/stations/{s}/events", true, PostEvent},
    {"GET", "api/frames", false, ListFrames},
    {"GET", "api/frames.pcap", false, DownloadCapture},
    {"GET", "api/stats", false, ShowStats},
    {"GET", "api/faults", false, ShowFaults},
    {"PUT", "api/faults", true, PutFaults},
    {"GET", "api/line", false, ShowLine},
    {"GET", "api/radio", false, ShowRadio},
};

bool Matches(const Segments& pattern, const Segments& parts) {
    if (pattern.size() != parts.size()) return false;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (pattern[i] != "{s}" && pattern[i] != "*" && pattern[i] != parts[i]) return false;
    }
    return true;
}

}  // namespace

ConsoleApi::ConsoleApi(Simulator& sim, ConsoleFrames& frames, bool loopbackOnly)
    : sim_(sim), frames_(frames), loopbackOnly_(loopbackOnly) {}

ApiResponse ConsoleApi::Handle(const ApiRequest& request) {
    const std::string foreign = ForeignRequest(request, loopbackOnly_);
    if (!foreign.empty()) return Error(403, foreign);
    const Segments parts = Split(request.path);
    bool pathKnown = false;
    for (const Route& route : kRoutes) {
        const Segments pattern = Split(route.pattern);
        if (!Matches(pattern, parts)) continue;
        pathKnown = true;
        if (request.method != route.method) continue;
        Call call{sim_, frames_, request, parts, 0, json()};
        if (pattern.size() > 2 && pattern[2] == "{s}") {
            int64_t station = 0;
            if (!ParseNumber(parts[2], 0, 65535, &station)) return Error(400, "no station " + parts[2] + " (0 to 65535)");
            if (!sim_.HasStation(uint16_t(station))) return Error(404, "station " + parts[2] + " is not played");
            call.station = uint16_t(station);
        }
        std::string why;
        if (route.body && !BodyObject(request, &call.body, &why)) return Error(400, why);
        return route.handle(call);
    }
    if (pathKnown) return Error(405, request.method + " is not taken here");
    return Error(404, "no such thing: " + request.path);
}

}  // namespace kivsim
