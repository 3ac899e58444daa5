// The fault-injection soak. Several channels run at once, each on the line of
// its own simulator whose units answer wrongly at random (seeded: drops, bad
// CRCs, late answers, wrong stations, notices in place of answers, garbage,
// truncated frames) and report events by exception; host threads poll, write
// and read event gates while the channels' listeners fetch what the units
// announce. The soak counts and checks what the driver delivers:
//  - every command result is one the exchange allows for what happened on
//    the line during the call (faults seen, receptions failed, busy line);
//  - no value the units did not send reaches a data area or a gate;
//  - every event record in an answer the driver accepted reaches its gate
//    exactly once (the driver's acceptance is seen at ExchangeRequest, which
//    the link step wraps: --wrap of its symbol);
//  - nothing hangs (each host call is watched) and memory stays flat.
//  - no read stores, as done, a value the register held before but not at
//    the read (an answer that came late, twice or split, taken for a later
//    request's);
//   kiv_soak [--exchanges N] [--channels C] [--seed S] [--fault-rate P]
//            [--read-timeout TENS_OF_MS] [--delay-ms MS] [--late-ms MS]
//            [--faults KIND,KIND...] [--trace FILE]
// Exit status 0 when every check held, 1 when one failed, 2 for bad
// arguments or set-up, 3 for a hang.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/channel_block.h"
#include "driver/commands.h"
#include "link/exchange.h"
#include "tavlib/tavlib_control.h"
#include "tests/support/channel_file.h"
#include "tests/support/time_zone.h"
#include "tools/kivsim/kivsim.h"

namespace {

using kivsim::FaultKind;
using Clock = std::chrono::steady_clock;

// ---- Settings ----

struct Settings {
    uint64_t exchanges = 100000;
    int channels = 6;
    uint64_t seed = 1;
    double faultRate = 0.15;  // share of answers that carry a fault
    int readTimeout = 30;     // tens of ms
    int delayMs = 100;        // how late a delayed answer comes (within the read time-out)
    int lateMs = -1;          // how late a late answer comes; -1: 1.5 read time-outs (past it)
    unsigned faultKinds = (1u << kivsim::kFaultKinds) - 1;  // the kinds injected, one bit each
    std::string trace;  // file for the simulators' frame trace; none when empty
};

constexpr int kMaxChannels = 16;
constexpr int kStations = 2;           // units per channel
constexpr int kPollRegisters = 16;     // registers 0..15: the host writes and polls them
constexpr uint16_t kBitRegister = 20;  // bit 5 of register 20: bit writes and reads
constexpr int kBit = 5;
constexpr uint16_t kChangeBase = 1000;     // change events name registers 1000..1015
constexpr uint16_t kLoggedBase = 100;      // logged events name registers 100..115
constexpr int kEventAddresses = 16;        // and status events points 0..15
constexpr int kPendingLimit = 150;         // events a unit holds at most before the feeder waits
constexpr int64_t kStampBase = 978307200;  // 2001-01-01 00:00:00 UTC: event n is stamped n s later
constexpr int kStampMs = 7;
constexpr int kHangSeconds = 60;  // a host call running longer is a hang
constexpr int64_t kRssGrowthLimitKb = 8192;

const char* FaultNameOf(int kind) { return kivsim::FaultName(static_cast<FaultKind>(kind)); }
enum EventKindCode : uint32_t { EventChange = 0, EventStatus = 1, EventLogged = 2 };
const char* const kEventNames[3] = {"register changes", "status events", "logged events"};

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

int64_t RssKb() {
    FILE* file = std::fopen("/proc/self/statm", "r");
    if (file == nullptr) return -1;
    long size = 0, resident = 0;
    const int read = std::fscanf(file, "%ld %ld", &size, &resident);
    std::fclose(file);
    return read == 2 ? resident * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}

// ---- What went wrong, counted ----

struct Violations {
    std::mutex mutex;
    std::map<std::string, uint64_t> counts;
    void Add(const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex);
        if (++counts[what] <= 3) std::fprintf(stderr, "soak: VIOLATION: %s\n", what.c_str());
    }
    uint64_t Total() {
        std::lock_guard<std::mutex> lock(mutex);
        uint64_t total = 0;
        for (auto& entry : counts) total += entry.second;
        return total;
    }
};
Violations violations;

// ---- Channels ----

// An event's description, by its number on its channel: kind, unit, address
// and (status events) state, packed.
uint32_t PackEvent(uint32_t kind, int stationIndex, uint16_t address, bool state) {
    return kind | (static_cast<uint32_t>(stationIndex) << 2) | (static_cast<uint32_t>(address) << 3) |
           (state ? 0x80000000u : 0);
}

struct Channel {
    int index = 0;
    int32_t number = 0;  // channel number; gates on index number - 1
    uint16_t host = 0;
    uint16_t stations[kStations] = {};
    std::unique_ptr<kivsim::Simulator> sim;
    ChannelBlock* block = nullptr;  // never freed: the listener uses it to the end

    // Host thread only: the last write number tried per register; register
    // r of unit s holds (tag << 20) | n for some n up to this.
    uint32_t attempted[kStations][kPollRegisters] = {};

    // Events: number n has value/identity (index + 1) << 24 | n.
    uint32_t capacity = 0;
    std::vector<uint32_t> events;   // PackEvent, by number
    std::vector<uint8_t> accepted;  // times a record of it came in an accepted answer
    std::vector<uint8_t> stored;    // times it reached its gate
    std::atomic<uint32_t> queued{0};

    std::atomic<int64_t> callStartedMs{0};  // 0 when no host call runs
    std::atomic<bool> hostDone{false};
};
Channel channels[kMaxChannels];
int channelCount = 0;
std::mutex bookkeeping;  // events, accepted, stored, gate table

uint32_t Tag(int stationIndex, int reg) {
    return 0x800u | (static_cast<uint32_t>(stationIndex) << 8) | static_cast<uint32_t>(reg);
}
uint32_t PollValue(int stationIndex, int reg, uint32_t n) { return (Tag(stationIndex, reg) << 20) | n; }

Channel* ChannelOfBlock(const ChannelBlock* block) {
    for (int c = 0; c < channelCount; ++c)
        if (channels[c].block == block) return &channels[c];
    return nullptr;
}

int StationIndex(const Channel& channel, uint16_t station) {
    for (int s = 0; s < kStations; ++s)
        if (channel.stations[s] == station) return s;
    return -1;
}

// ---- Gates ----

struct GateInfo {
    int channel = -1;
    int stationIndex = 0;
    int32_t area = 0;
    int32_t number = 0;
};
std::vector<GateInfo> gateTable;  // by gate id
std::atomic<uint64_t> gateWrites{0};

void DefineGates(Channel& channel) {
    for (int s = 0; s < kStations; ++s) {
        for (int k = 0; k < kEventAddresses; ++k) {
            const int32_t numbers[3][2] = {
                {AreaRegister, kChangeBase + k}, {AreaStatus, k}, {AreaRegister, kLoggedBase + k}};
            for (const auto& where : numbers) {
                const int32_t id =
                    TavDefineGateAt(channel.number - 1, channel.stations[s], where[0], where[1], 255, 1, 0);
                if (id >= static_cast<int32_t>(gateTable.size())) gateTable.resize(static_cast<size_t>(id) + 1);
                gateTable[static_cast<size_t>(id)] = GateInfo{channel.index, s, where[0], where[1]};
            }
        }
    }
}

// Checks an event number against what was queued; "" when it fits.
std::string CheckEvent(const Channel& channel, uint32_t n, uint32_t kind, int stationIndex, uint16_t address,
                       int state) {
    if (n >= channel.queued.load()) return "an event that was never queued";
    const uint32_t packed = channel.events[n];
    if ((packed & 3) != kind) return "an event of another kind";
    if (static_cast<int>((packed >> 2) & 1) != stationIndex) return "an event of another unit";
    if (((packed >> 3) & 0x1FFF) != address) return "an event at another address";
    if (state >= 0 && ((packed >> 31) != 0) != (state != 0)) return "a status event with another state";
    return "";
}

// Every gate write: it must be an event queued on that gate's unit and
// address, with its value (or state) and its time stamp.
void TAVLIB_CDECL OnGateWrite(int32_t gate, const TavGateValue* value, void*) {
    gateWrites.fetch_add(1);
    std::lock_guard<std::mutex> lock(bookkeeping);
    if (gate < 1 || gate >= static_cast<int32_t>(gateTable.size()) || gateTable[gate].channel < 0) {
        violations.Add("a write to a gate no event names");
        return;
    }
    const GateInfo& info = gateTable[static_cast<size_t>(gate)];
    Channel& channel = channels[info.channel];
    uint32_t n = 0;
    std::string problem;
    if (info.area == AreaStatus) {
        n = static_cast<uint32_t>(value->time - kStampBase);
        if (value->milliseconds != kStampMs)
            problem = "a status event with another time stamp";
        else
            problem = CheckEvent(channel, n, EventStatus, info.stationIndex, static_cast<uint16_t>(info.number),
                                 value->value != 0.0);
    } else {
        const uint32_t id = static_cast<uint32_t>(static_cast<int32_t>(value->value));
        n = id & 0xFFFFFF;
        const bool change = info.number >= kChangeBase;
        if ((id >> 24) != static_cast<uint32_t>(channel.index + 1) ||
            static_cast<double>(static_cast<int32_t>(id)) != value->value) {
            problem = "a register event value no unit sent";
        } else {
            problem = CheckEvent(channel, n, change ? EventChange : EventLogged, info.stationIndex,
                                 static_cast<uint16_t>(info.number - (change ? kChangeBase : kLoggedBase)), -1);
            if (problem.empty() && !change && (value->time != kStampBase + n || value->milliseconds != kStampMs))
                problem = "a logged event with another time stamp";
            if (problem.empty() && change && (value->time != 0 || value->milliseconds != 0))
                problem = "a register change with a time stamp";
        }
    }
    if (!problem.empty()) {
        violations.Add("gate: " + problem);
        return;
    }
    if (channel.stored[n] < 255) ++channel.stored[n];
}

// ---- The driver's acceptance of fetch answers ----

std::atomic<uint64_t> exchangeResults[3];
std::atomic<uint64_t> acceptedAnswers[3];  // fetch answers accepted, by kind

uint32_t StampNumber(const uint8_t* stamp) {
    const int64_t ms = kivsim::MsFromLocalCalendar(kivsim::DecodeTimeStampFields(stamp));
    return static_cast<uint32_t>(ms / 1000 - kStampBase);
}

// Notes each record of a fetch answer that ExchangeRequest accepted.
void NoteAcceptedFetch(uint8_t opcode, const uint8_t* answer) {
    Channel* channel = ChannelOfBlock(CurrentChannel());
    if (channel == nullptr) {
        violations.Add("a fetch on a block no channel has");
        return;
    }
    const uint32_t kind = opcode == OpcodeRegisterChanges ? EventChange
                          : opcode == OpcodeStatusEvents  ? EventStatus
                                                          : EventLogged;
    const int size = kind == EventChange ? 6 : kind == EventStatus ? 8 : 12;
    const int length = answer[HeaderLength];
    const int count = length >= 8 ? (length - 8) / size : 0;
    const int stationIndex = StationIndex(*channel, MessageSource(answer));
    acceptedAnswers[kind].fetch_add(1);
    std::lock_guard<std::mutex> lock(bookkeeping);
    for (int i = 0; i < count; ++i) {
        const uint8_t* record = answer + 9 + i * size;
        uint32_t n = 0;
        std::string problem;
        if (stationIndex < 0) {
            problem = "an answer from a unit the channel does not have";
        } else if (kind == EventStatus) {
            n = StampNumber(record + 2);
            problem = CheckEvent(*channel, n, kind, stationIndex,
                                 static_cast<uint16_t>(((record[0] & 0x1F) << 8) | record[1]), (record[0] & 0x80) != 0);
        } else {
            const uint32_t id =
                (uint32_t(record[2]) << 24) | (uint32_t(record[3]) << 16) | (uint32_t(record[4]) << 8) | record[5];
            n = id & 0xFFFFFF;
            const int raw = kind == EventChange ? ((record[0] << 8) | record[1]) - kChangeBase
                                                : (((record[0] & 0x0F) << 8) | record[1]) - kLoggedBase;
            const uint16_t address = static_cast<uint16_t>(raw);
            if ((id >> 24) != static_cast<uint32_t>(channel->index + 1))
                problem = "a record value no unit sent";
            else
                problem = CheckEvent(*channel, n, kind, stationIndex, address, -1);
            if (problem.empty() && kind == EventLogged && StampNumber(record + 6) != n)
                problem = "a logged record with another stamp";
        }
        if (!problem.empty()) {
            violations.Add("accepted answer: " + problem);
            continue;
        }
        if (channel->accepted[n] < 255) ++channel->accepted[n];
    }
}

}  // namespace

// Exchanges and receptions of this thread's current host call that got no
// sound frame: a failed reception whose log line the driver held back (too
// many copies in that second on the channel) still shows here.
thread_local int exchangesWithoutFrame = 0;

// The link step wraps the driver's ReceiveFrame too (its callers are in
// other files than its own): every failed reception is counted.
extern "C" int __real__Z12ReceiveFramePhP12LineDeadline(uint8_t* message, LineDeadline* deadline);
extern "C" int __wrap__Z12ReceiveFramePhP12LineDeadline(uint8_t* message, LineDeadline* deadline) {
    const int result = __real__Z12ReceiveFramePhP12LineDeadline(message, deadline);
    if (result == 0) ++exchangesWithoutFrame;
    return result;
}

// The link step wraps the driver's ExchangeRequest (-Wl,--wrap): every call
// of it from the request and event code comes here first.
extern "C" int __real__Z15ExchangeRequestPKhthhPh(const uint8_t* request, uint16_t station, uint8_t opcode,
                                                  uint8_t function, uint8_t* answer);
extern "C" int __wrap__Z15ExchangeRequestPKhthhPh(const uint8_t* request, uint16_t station, uint8_t opcode,
                                                  uint8_t function, uint8_t* answer) {
    const int result = __real__Z15ExchangeRequestPKhthhPh(request, station, opcode, function, answer);
    if (result >= 0 && result <= 2) exchangeResults[result].fetch_add(1);
    if (result == 2) ++exchangesWithoutFrame;
    if (result == 0 && function == FunctionAnswerData &&
        (opcode == OpcodeRegisterChanges || opcode == OpcodeStatusEvents || opcode == OpcodeLoggedEvents))
        NoteAcceptedFetch(opcode, answer);
    return result;
}

namespace {

// ---- The log: what each thread's calls logged ----

struct ThreadLog {
    int receptionFailures = 0;  // receptions that found no sound frame
    int busy = 0;               // the listener kept the line
};
thread_local ThreadLog threadLog;
std::mutex logMutex;
std::map<std::string, uint64_t> logCounts;

void TAVLIB_CDECL OnLog(int32_t, const char* text, void*) {
    const std::string line = text;
    if (line == "KivIN : Invalid message received" || line == "KivIN : RX Failed on Header HI" ||
        line == "KivIN : RX Failed on Header LO" || line == "KivIN : RX Failed on CRC Check")
        ++threadLog.receptionFailures;
    if (line == "KivIN : The Report-By-Exception thread is busy") ++threadLog.busy;
    std::lock_guard<std::mutex> lock(logMutex);
    ++logCounts[line.compare(0, 16, "KivIN : Got msg ") == 0 ? "KivIN : Got msg for Host ... - ignor it" : line];
}

// ---- Host calls ----

enum Operation { OpRead, OpReadBlock, OpWrite, OpWriteBlock, OpBitWrite, OpBitRead, OpEventRead, OpClock, OpCount };
const char* const kOperationNames[OpCount] = {"read",      "block read", "write",      "block write",
                                              "bit write", "bit read",   "event read", "clock write"};

struct CallCounts {
    std::atomic<uint64_t> results[OpCount][3] = {};
    std::atomic<uint64_t> busyRefusals{0};     // 1: the listener kept the line
    std::atomic<uint64_t> unfitting{0};        // 1: the last answer was sound but did not fit
    std::atomic<uint64_t> afterNotice{0};      // 1: a unit's own notice, then a faulty answer
    std::atomic<uint64_t> staleSkipped{0};     // 1: only stale answers (late, twice, split) came
    std::atomic<uint64_t> noAnswer{0};         // 2 with faults on the line
    std::atomic<uint64_t> stalls{0};           // 2 without a fault: the line was slower than the time-out
    std::atomic<uint64_t> readValues{0};       // values checked in data areas
    std::atomic<uint64_t> staleValues{0};      // held by the register before, not at the time of the read
    std::atomic<uint64_t> writesConfirmed{0};  // writes with 0 whose value the unit holds
    // Writes with 0 taken from an earlier write's late or repeated answer (a
    // bare header, the same for every write to a unit) before the unit had
    // the value: beyond what the driver can tell apart.
    std::atomic<uint64_t> writesByCopy{0};
};
CallCounts calls;

uint64_t FaultTotal(const kivsim::Stats& stats, std::initializer_list<FaultKind> kinds) {
    uint64_t total = 0;
    for (FaultKind kind : kinds) total += stats.faults[static_cast<int>(kind)];
    return total;
}
uint64_t AllFaults(const kivsim::Stats& stats) {
    uint64_t total = 0;
    for (uint64_t count : stats.faults) total += count;
    return total;
}

int32_t Call(Channel& channel, int32_t command, void* parameters) {
    CallRecord record{channel.block, command, channel.number, 0, parameters};
    return KivMain(&record);
}

// A gate request from an address text, as the host builds it (command 3).
bool GateFor(Channel& channel, const char* text, int32_t kind, GateRequest* gate) {
    AddressRequest address;
    std::memset(&address, 0, sizeof address);
    address.text = text;
    address.gate.kind = kind;
    if (Call(channel, CommandParseAddress, &address) != 0) {
        violations.Add(std::string("address refused: ") + text);
        return false;
    }
    *gate = address.gate;
    return true;
}

// True when a value read from register reg of unit s is one it ever held.
bool EverHeld(const Channel& channel, int s, int reg, uint32_t value) {
    if ((value >> 20) != Tag(s, reg)) return false;
    return (value & 0xFFFFF) <= channel.attempted[s][reg];
}

// Judges a call's result by what happened on the line meanwhile.
// earlier is the line's statistics before the previous call on the channel:
// an answer that comes late, twice or split may be read past as stale in the
// call after the one it answered.
void JudgeResult(Operation op, int32_t result, const kivsim::Stats& earlier, const kivsim::Stats& before,
                 const kivsim::Stats& after, const ThreadLog& logged) {
    const std::string name = kOperationNames[op];
    if (result < 0 || result > 2) {
        violations.Add(name + ": result out of range");
        return;
    }
    calls.results[op][result].fetch_add(1);
    const uint64_t faults = AllFaults(after) - AllFaults(before);
    // Answers that come sound but do not fit: another station, another host,
    // a notice in place of the answer.
    const std::initializer_list<FaultKind> unfittingKinds = {FaultKind::WrongSource, FaultKind::WrongDestination,
                                                             FaultKind::Notice};
    const uint64_t unfitting = FaultTotal(after, unfittingKinds) - FaultTotal(before, unfittingKinds);
    const std::initializer_list<FaultKind> staleKinds = {FaultKind::Late, FaultKind::Repeat, FaultKind::Split};
    const uint64_t stale = FaultTotal(after, staleKinds) - FaultTotal(earlier, staleKinds);
    // A unit's own notice that reaches the driver in place of an answer is
    // skipped, and the frame after it must then be the answer: a faulty one
    // there (a notice before the answer among them: the driver skips one
    // notice, not two) ends the try with 1.
    const uint64_t unasked = (after.noticesSent + after.noticesRepeated + after.linkResetsSent) -
                             (before.noticesSent + before.noticesRepeated + before.linkResetsSent);
    std::string seen;
    for (int k = 0; k < kivsim::kFaultKinds; ++k)
        for (uint64_t i = before.faults[k]; i < after.faults[k]; ++i) seen += std::string(" ") + FaultNameOf(k);
    seen = " (faults during the call:" + (seen.empty() ? std::string(" none") : seen) + ", failed receptions " +
           std::to_string(logged.receptionFailures) + ")";
    if (result == 0) return;
    if (result == 1) {
        if (logged.busy > 0) {
            calls.busyRefusals.fetch_add(1);
        } else if (unfitting > 0 || (op == OpClock && (faults > 0 || logged.receptionFailures > 0))) {
            calls.unfitting.fetch_add(1);
        } else if (stale > 0) {
            calls.staleSkipped.fetch_add(1);
        } else if (logged.receptionFailures > 0 && faults == 0) {
            // A try timed out on a slow line; its answer came after and was
            // read past as stale by the next try.
            calls.stalls.fetch_add(1);
        } else if (unasked > 0 && faults > 0) {
            calls.afterNotice.fetch_add(1);
        } else {
            violations.Add(name + ": 1 without a busy line or an unfitting answer" + seen);
        }
        return;
    }
    if (logged.receptionFailures == 0) {
        violations.Add(name + ": 2 without a failed reception" + seen);
    } else if (faults == 0) {
        calls.stalls.fetch_add(1);
    } else {
        calls.noAnswer.fetch_add(1);
    }
}

std::atomic<bool> running{true};

// One channel's host: a random mix of polls, writes and event reads, with
// short pauses in which the units may speak.
void HostThread(Channel& channel, uint64_t seed) {
    std::mt19937_64 random(seed);
    char text[16];
    kivsim::Stats previousBefore;
    bool havePrevious = false;
    while (running.load()) {
        const int s = static_cast<int>(random() % kStations);
        const uint16_t station = channel.stations[s];
        const int pick = static_cast<int>(random() % 100);
        const Operation op = pick < 28   ? OpRead
                             : pick < 38 ? OpReadBlock
                             : pick < 56 ? OpWrite
                             : pick < 64 ? OpWriteBlock
                             : pick < 71 ? OpBitWrite
                             : pick < 76 ? OpBitRead
                             : pick < 97 ? OpEventRead
                                         : OpClock;
        int reg = static_cast<int>(random() % kPollRegisters);
        int count = 1;
        int32_t data[16];
        for (int32_t& value : data) value = 0x5A5A5A5A;
        GateRequest gate;
        bool ok = true;
        switch (op) {
            case OpRead:
            case OpWrite:
                std::snprintf(text, sizeof text, "R%04d%04d", station, reg);
                ok = GateFor(channel, text, 3, &gate);
                if (op == OpWrite) data[0] = static_cast<int32_t>(PollValue(s, reg, ++channel.attempted[s][reg]));
                break;
            case OpReadBlock:
            case OpWriteBlock:
                count = 2 + static_cast<int>(random() % 7);
                reg = static_cast<int>(random() % (kPollRegisters - count + 1));
                std::snprintf(text, sizeof text, "R%04d%04d", station, reg);
                ok = GateFor(channel, text, 3, &gate);
                gate.count = count;
                if (op == OpWriteBlock)
                    for (int k = 0; k < count; ++k)
                        data[k] = static_cast<int32_t>(PollValue(s, reg + k, ++channel.attempted[s][reg + k]));
                break;
            case OpBitWrite:
            case OpBitRead:
                std::snprintf(text, sizeof text, "R%04d%04d%02d", station, kBitRegister, kBit);
                ok = GateFor(channel, text, 6, &gate);
                data[0] = (random() % 2) ? 0x00010000 : 0;  // the bit gate's word at byte offset 2
                break;
            case OpEventRead:
                std::snprintf(text, sizeof text, "!%c%04d", "RSL"[random() % 3], station);
                ok = GateFor(channel, text, 3, &gate);
                break;
            case OpClock:
                std::snprintf(text, sizeof text, "!T%04d", station);
                ok = GateFor(channel, text, 3, &gate);
                break;
            case OpCount: break;
        }
        if (!ok) continue;
        gate.data = data;
        int32_t before[16];
        std::memcpy(before, data, sizeof data);
        const int32_t command = op == OpReadBlock                                      ? CommandReadBlock
                                : op == OpWriteBlock                                   ? CommandWriteBlock
                                : (op == OpWrite || op == OpBitWrite || op == OpClock) ? CommandWrite
                                                                                       : CommandRead;

        const kivsim::Stats statsBefore = channel.sim->GetStats();
        const kivsim::Stats statsEarlier = havePrevious ? previousBefore : statsBefore;
        previousBefore = statsBefore;
        havePrevious = true;
        threadLog = ThreadLog();
        exchangesWithoutFrame = 0;
        channel.callStartedMs = NowMs();
        const int32_t result = Call(channel, command, &gate);
        channel.callStartedMs = 0;
        ThreadLog logged = threadLog;
        logged.receptionFailures += exchangesWithoutFrame;
        JudgeResult(op, result, statsEarlier, statsBefore, channel.sim->GetStats(), logged);
        auto repeatedSince = [&channel](const kivsim::Stats& since) {
            const std::initializer_list<FaultKind> kinds = {FaultKind::Late, FaultKind::Repeat, FaultKind::Split};
            return FaultTotal(channel.sim->GetStats(), kinds) > FaultTotal(since, kinds);
        };

        // What the data area and the unit hold afterwards.
        const bool reads = command == CommandRead || command == CommandReadBlock;
        if (reads && result != 0 && std::memcmp(before, data, sizeof data) != 0)
            violations.Add(std::string(kOperationNames[op]) + ": a failed read changed the data area");
        if (result == 0) {
            switch (op) {
                case OpRead:
                case OpReadBlock:
                    for (int k = 0; k < count; ++k) {
                        calls.readValues.fetch_add(1);
                        const uint32_t value = static_cast<uint32_t>(data[k]);
                        if (!EverHeld(channel, s, reg + k, value))
                            violations.Add("read: a value the register never held");
                        else if (value != channel.sim->RegisterValue(station, static_cast<uint16_t>(reg + k))) {
                            calls.staleValues.fetch_add(1);
                            violations.Add("read: 0 with a value the register held before, not at the read");
                        }
                    }
                    for (int k = count; k < 16; ++k)
                        if (data[k] != 0x5A5A5A5A) violations.Add("read: values past the count");
                    break;
                case OpWrite:
                case OpWriteBlock:
                    for (int k = 0; k < count; ++k) {
                        if (channel.sim->RegisterValue(station, static_cast<uint16_t>(reg + k)) ==
                            static_cast<uint32_t>(data[k]))
                            calls.writesConfirmed.fetch_add(1);
                        else if (repeatedSince(statsEarlier))
                            calls.writesByCopy.fetch_add(1);
                        else
                            violations.Add("write: 0 but the unit holds another value");
                    }
                    break;
                case OpBitWrite: {
                    const bool set = (channel.sim->RegisterValue(station, kBitRegister) >> kBit) & 1;
                    if (set != (data[0] != 0) && repeatedSince(statsEarlier))
                        calls.writesByCopy.fetch_add(1);
                    else if (set != (data[0] != 0))
                        violations.Add("bit write: 0 but the unit's bit differs");
                    else
                        calls.writesConfirmed.fetch_add(1);
                    break;
                }
                case OpBitRead: {
                    calls.readValues.fetch_add(1);
                    const uint32_t word = static_cast<uint32_t>(data[0]);
                    if ((word & 0xFFFF) != 0 && (word & 0xFFFF) != (1u << kBit))
                        violations.Add("bit read: a low half the register never held");
                    if ((word >> 16) != (((word & 0xFFFF) >> kBit) & 1))
                        violations.Add("bit read: the bit is not the register's");
                    break;
                }
                case OpEventRead:
                    if (data[0] != 0) violations.Add("event read: 0 without the data word cleared");
                    break;
                case OpClock:
                case OpCount: break;
            }
        }
        // Pauses: short ones, and now and then one long enough for the units
        // to find the line quiet and speak.
        const int pause = random() % 12 == 0 ? 60 : static_cast<int>(random() % 4);
        if (pause > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    }
    channel.hostDone = true;
}

// One channel's events: queued on its units while they hold few, each with
// its own number in its value or time stamp.
void FeederThread(Channel& channel, uint64_t seed) {
    std::mt19937_64 random(seed);
    while (running.load()) {
        size_t pending = 0;
        for (uint16_t station : channel.stations)
            for (int kind = 0; kind < 3; ++kind) pending += channel.sim->Pending(station, kivsim::EventKind(kind));
        const uint32_t n = channel.queued.load();
        if (pending >= static_cast<size_t>(kPendingLimit) || n >= channel.capacity) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        const int s = static_cast<int>(random() % kStations);
        const uint16_t station = channel.stations[s];
        const uint32_t kind = static_cast<uint32_t>(random() % 3);
        const uint16_t address = static_cast<uint16_t>(random() % kEventAddresses);
        const bool state = random() % 2 != 0;
        const uint32_t id = (static_cast<uint32_t>(channel.index + 1) << 24) | n;
        uint8_t stamp[6];
        kivsim::EncodeTimeStamp(kivsim::LocalCalendar((kStampBase + n) * 1000 + kStampMs), stamp);
        {
            std::lock_guard<std::mutex> lock(bookkeeping);
            channel.events[n] = PackEvent(kind, s, address, state);
        }
        channel.queued = n + 1;  // before the unit has it: a record can only follow
        if (kind == EventChange) {
            channel.sim->QueueRegisterChange(station, static_cast<uint16_t>(kChangeBase + address), id);
        } else if (kind == EventStatus) {
            kivsim::StatusEvent event{};
            event.address = address;
            event.state = state;
            std::memcpy(event.stamp, stamp, sizeof stamp);
            channel.sim->WithStation(station, [&](kivsim::Station& unit) { unit.QueueStatusEventStamped(event); });
        } else {
            kivsim::LoggedEvent event{};
            event.address = static_cast<uint16_t>(kLoggedBase + address);
            event.value = id;
            std::memcpy(event.stamp, stamp, sizeof stamp);
            channel.sim->WithStation(station, [&](kivsim::Station& unit) { unit.QueueLoggedEventStamped(event); });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1 + random() % 4));
    }
}

// ---- Set-up and report ----

bool ParseArguments(int argc, char** argv, Settings* settings) {
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        if (flag == "--exchanges")
            settings->exchanges = std::strtoull(value, nullptr, 10);
        else if (flag == "--channels")
            settings->channels = std::atoi(value);
        else if (flag == "--seed")
            settings->seed = std::strtoull(value, nullptr, 10);
        else if (flag == "--fault-rate")
            settings->faultRate = std::atof(value);
        else if (flag == "--read-timeout")
            settings->readTimeout = std::atoi(value);
        else if (flag == "--delay-ms")
            settings->delayMs = std::atoi(value);
        else if (flag == "--late-ms")
            settings->lateMs = std::atoi(value);
        else if (flag == "--trace")
            settings->trace = value;
        else if (flag == "--faults") {
            // A comma-separated list of the simulator's fault names.
            settings->faultKinds = 0;
            std::string list = std::string(value) + ",";
            for (size_t start = 0, comma; (comma = list.find(',', start)) != std::string::npos; start = comma + 1) {
                FaultKind kind;
                if (!kivsim::ParseFaultName(list.substr(start, comma - start), &kind)) return false;
                settings->faultKinds |= 1u << static_cast<int>(kind);
            }
        }
        else
            return false;
    }
    return settings->exchanges > 0 && settings->channels >= 1 && settings->channels <= kMaxChannels &&
           settings->faultRate >= 0 && settings->faultRate < 1 && settings->readTimeout > 0 && settings->delayMs >= 0;
}

// Every fault kind chosen gets the same chance; the kinds are drawn in turn,
// so the chance of each is p with 1 - (1 - p)^k = the rate for k kinds (the
// more-flag fault, which fits fetch answers only, counts as one of them).
void SetFaults(kivsim::Simulator& sim, double rate, unsigned kinds) {
    int count = 0;
    for (int kind = 0; kind < kivsim::kFaultKinds; ++kind) count += (kinds >> kind) & 1;
    const double p = rate <= 0 || count == 0 ? 0 : 1 - std::pow(1 - rate, 1.0 / count);
    for (int kind = 0; kind < kivsim::kFaultKinds; ++kind)
        sim.SetFaultProbability(FaultKind(kind), ((kinds >> kind) & 1) ? p : 0);
}

uint64_t Exchanges(kivsim::Stats* total) {
    uint64_t exchanges = 0;
    kivsim::Stats sum;
    for (int c = 0; c < channelCount; ++c) {
        const kivsim::Stats stats = channels[c].sim->GetStats();
        exchanges += stats.linkResets;
        for (int op = 0; op < 16; ++op)
            if (op != OpcodeExceptionNotice) exchanges += stats.requests[op];
        if (total != nullptr) {
            for (int k = 0; k < kivsim::kFaultKinds; ++k) sum.faults[k] += stats.faults[k];
            for (int k = 0; k < kivsim::kEventKinds; ++k) sum.eventsSent[k] += stats.eventsSent[k];
            for (int op = 0; op < 16; ++op) {
                sum.requests[op] += stats.requests[op];
                sum.answers[op] += stats.answers[op];
            }
            using S = kivsim::Stats;
            for (uint64_t S::*count : {&S::linkResets, &S::linkResetAnswers, &S::noticesSent, &S::noticesRepeated,
                                       &S::noisyNotices, &S::acks, &S::ackMismatches, &S::repeats, &S::crcErrors,
                                       &S::refused, &S::eventsLost})
                sum.*count += stats.*count;
        }
    }
    if (total != nullptr) *total = sum;
    return exchanges;
}

std::mutex traceMutex;
FILE* traceFile = nullptr;

bool OpenChannel(Channel& channel, const Settings& settings) {
    kivsim::Options options;
    options.seed = settings.seed * 1000 + static_cast<uint64_t>(channel.index);
    options.delayMs = settings.delayMs;
    // Late answers and the second part of split ones come after the driver's
    // read time-out: they are what a later request must not take for its own.
    const int timeoutMs = settings.readTimeout * 10;
    options.lateMs = settings.lateMs >= 0 ? settings.lateMs : timeoutMs * 3 / 2;
    options.splitGapMs = 2 * timeoutMs + 100;  // past a read that began before the first part
    options.askTimeMs = 7000;  // units in exception mode ask for the time now and then
    channel.sim.reset(new kivsim::Simulator(options));
    for (uint16_t station : channel.stations) {
        if (!channel.sim->AddStation(station, channel.host)) return false;
    }
    if (!channel.sim->Start()) {
        std::fprintf(stderr, "soak: simulator: %s\n", channel.sim->Error().c_str());
        return false;
    }
    for (int s = 0; s < kStations; ++s) {
        channel.sim->SetExceptionMode(channel.stations[s], true);
        for (int reg = 0; reg < kPollRegisters; ++reg)
            channel.sim->SetRegister(channel.stations[s], static_cast<uint16_t>(reg), PollValue(s, reg, 0));
    }
    SetFaults(*channel.sim, settings.faultRate, settings.faultKinds);
    if (traceFile != nullptr) {
        const int number = channel.number;
        channel.sim->SetTraceSink([number](const std::string& line) {
            std::lock_guard<std::mutex> lock(traceMutex);
            if (traceFile != nullptr) std::fprintf(traceFile, "%d %s\n", number, line.c_str());
        });
    }
    DefineGates(channel);

    if (!WriteChannelFile(channel.number, "Host Address = " + std::to_string(channel.host) + "\nEXCEPTION = ON\n"))
        return false;

    std::string port = channel.sim->LinePath();
    if (port.size() > 11 && port.compare(0, 5, "/dev/") == 0) port = port.substr(5);
    PortSettings open;
    std::memset(&open, 0, sizeof open);
    std::snprintf(open.portName, sizeof open.portName, "%s", port.c_str());
    open.enabled = 1;
    open.readTimeout = settings.readTimeout;
    open.line = LineSettings{19200, 8, 0, 0};
    channel.block = static_cast<ChannelBlock*>(std::calloc(1, sizeof(ChannelBlock)));
    return channel.block != nullptr && Call(channel, CommandOpen, &open) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    if (!ParseArguments(argc, argv, &settings)) {
        std::fprintf(stderr,
                     "usage: kiv_soak [--exchanges N] [--channels C] [--seed S] [--fault-rate P] "
                     "[--read-timeout TENS_OF_MS] [--delay-ms MS] [--late-ms MS] [--faults KIND,KIND...] "
                     "[--trace FILE]\n");
        return 2;
    }
    SetZone("UTC0");  // units stamp and the driver converts in local time
    if (!settings.trace.empty() && (traceFile = std::fopen(settings.trace.c_str(), "w")) == nullptr) return 2;
    char scratch[] = "/tmp/kiv-soak-XXXXXX";
    if (mkdtemp(scratch) == nullptr || chdir(scratch) != 0) return 2;

    TavReset();
    TavSetLogToStderr(0);
    TavSetLogCallback(OnLog, nullptr);
    TavSetGateCallback(OnGateWrite, nullptr);
    channelCount = settings.channels;
    const uint32_t capacity = static_cast<uint32_t>(
        std::min<uint64_t>(0xFFFFFF, std::max<uint64_t>(65536, settings.exchanges * 2 / settings.channels)));
    for (int c = 0; c < channelCount; ++c) {
        Channel& channel = channels[c];
        channel.index = c;
        channel.number = c + 1;
        const uint16_t base = static_cast<uint16_t>(10 * (c + 1));
        // Odd channels put our own address between their two units, so that
        // both directions of the DIR bit are used.
        channel.host = c % 2 == 1 ? static_cast<uint16_t>(base + 2) : 0;
        channel.stations[0] = static_cast<uint16_t>(base + 1);
        channel.stations[1] = static_cast<uint16_t>(base + 3);
        channel.capacity = capacity;
        // Touched now, so that the memory figure at the end compares like with like.
        channel.events.assign(capacity, 0);
        channel.accepted.assign(capacity, 0);
        channel.stored.assign(capacity, 0);
        if (!OpenChannel(channel, settings)) {
            std::fprintf(stderr, "soak: channel %d did not open\n", channel.number);
            return 2;
        }
    }
    std::printf(
        "soak: %d channels, %d units, seed %llu, faults %.1f %% of answers, read time-out %d ms, "
        "delayed answers %d ms, late answers %d ms, split answers paused %d ms\n",
        channelCount, channelCount * kStations, static_cast<unsigned long long>(settings.seed),
        settings.faultRate * 100, settings.readTimeout * 10, settings.delayMs,
        settings.lateMs >= 0 ? settings.lateMs : settings.readTimeout * 15, settings.readTimeout * 20 + 100);
    std::fflush(stdout);

    const int64_t started = NowMs();
    std::vector<std::thread> threads;
    for (int c = 0; c < channelCount; ++c) {
        threads.emplace_back(HostThread, std::ref(channels[c]), settings.seed * 7919 + static_cast<uint64_t>(c));
        threads.emplace_back(FeederThread, std::ref(channels[c]), settings.seed * 104729 + static_cast<uint64_t>(c));
    }

    // Watch: progress, hangs, memory after the warm-up.
    int64_t warmRssKb = -1;
    int64_t lastReport = started;
    const uint64_t warmAt = std::max<uint64_t>(500, settings.exchanges / 20);
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const uint64_t exchanges = Exchanges(nullptr);
        if (warmRssKb < 0 && exchanges >= warmAt) warmRssKb = RssKb();
        const int64_t now = NowMs();
        for (int c = 0; c < channelCount; ++c) {
            const int64_t since = channels[c].callStartedMs.load();
            if (since != 0 && now - since > kHangSeconds * 1000) {
                std::printf("soak: HANG: a host call on channel %d has run for %d s\n", channels[c].number,
                            kHangSeconds);
                std::fflush(stdout);
                std::_Exit(3);
            }
        }
        if (now - lastReport >= 10000) {
            lastReport = now;
            std::fprintf(stderr, "soak: %llu exchanges after %lld s\n", static_cast<unsigned long long>(exchanges),
                         static_cast<long long>((now - started) / 1000));
        }
        if (exchanges >= settings.exchanges) break;
    }
    running = false;
    for (std::thread& thread : threads) thread.join();
    const int64_t loadEnded = NowMs();

    // Drain: no more faults; the listeners fetch what the units still hold.
    for (int c = 0; c < channelCount; ++c) channels[c].sim->ClearFaults();
    bool drained = false;
    uint64_t lastWrites = ~0ull;
    int64_t steadySince = NowMs();
    for (int64_t end = NowMs() + 120000; NowMs() < end;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        size_t pending = 0;
        for (int c = 0; c < channelCount; ++c)
            for (uint16_t station : channels[c].stations)
                for (int kind = 0; kind < 3; ++kind)
                    pending += channels[c].sim->Pending(station, kivsim::EventKind(kind));
        const uint64_t writes = gateWrites.load();
        if (writes != lastWrites) {
            lastWrites = writes;
            steadySince = NowMs();
        }
        if (pending == 0 && NowMs() - steadySince > 1500) {
            drained = true;
            break;
        }
    }
    if (!drained) violations.Add("the units still hold events 120 s after the load ended");
    const int64_t endRssKb = RssKb();

    kivsim::Stats total;
    const uint64_t exchanges = Exchanges(&total);

    // Events: each record of an accepted answer in its gate exactly once.
    uint64_t queued = 0, acceptedUnique = 0, acceptedTwice = 0, storedTotal = 0, notAccepted = 0;
    uint64_t acceptedByKind[3] = {}, queuedByKind[3] = {};
    {
        std::lock_guard<std::mutex> lock(bookkeeping);
        for (int c = 0; c < channelCount; ++c) {
            Channel& channel = channels[c];
            const uint32_t n = channel.queued.load();
            queued += n;
            for (uint32_t i = 0; i < n; ++i) {
                const uint32_t kind = channel.events[i] & 3;
                ++queuedByKind[kind];
                storedTotal += channel.stored[i];
                if (channel.accepted[i] == 0) {
                    // With a trace, the events to look for in it.
                    if (traceFile != nullptr)
                        std::fprintf(traceFile, "not accepted: channel %d event %08X\n", channel.number,
                                     static_cast<unsigned>(((channel.index + 1) << 24) | i));
                    ++notAccepted;
                    if (channel.stored[i] != 0) violations.Add("events: stored without an accepted answer");
                    continue;
                }
                ++acceptedUnique;
                ++acceptedByKind[kind];
                if (channel.accepted[i] > 1) ++acceptedTwice;
                if (channel.stored[i] != 1)
                    violations.Add("events: accepted but stored " + std::to_string(channel.stored[i]) + " times");
            }
        }
    }
    for (int kind = 0; kind < 3; ++kind)
        if (acceptedByKind[kind] > total.eventsSent[kind])
            violations.Add(std::string("events: more ") + kEventNames[kind] + " accepted than the units sent intact");
    if (warmRssKb > 0 && endRssKb > warmRssKb + kRssGrowthLimitKb) violations.Add("memory grew");

    // The report.
    uint64_t answersWithFaults = 0;
    for (uint64_t count : total.faults) answersWithFaults += count;
    uint64_t answersBuilt = total.linkResetAnswers;
    for (int op = 0; op < 16; ++op) answersBuilt += total.answers[op];
    std::printf("soak: %llu exchanges (requests the units received, tries included) in %lld s, then %lld s to drain\n",
                static_cast<unsigned long long>(exchanges), static_cast<long long>((loadEnded - started) / 1000),
                static_cast<long long>((NowMs() - loadEnded) / 1000));
    std::printf("faults injected: %llu in %llu answers (%.1f %%):", static_cast<unsigned long long>(answersWithFaults),
                static_cast<unsigned long long>(answersBuilt),
                answersBuilt ? 100.0 * double(answersWithFaults) / double(answersBuilt) : 0.0);
    for (int k = 0; k < kivsim::kFaultKinds; ++k)
        std::printf(" %s %llu", FaultNameOf(k), static_cast<unsigned long long>(total.faults[k]));
    std::printf("\nexchanges by result (ExchangeRequest): 0 %llu, 1 %llu, 2 %llu\n",
                static_cast<unsigned long long>(exchangeResults[0].load()),
                static_cast<unsigned long long>(exchangeResults[1].load()),
                static_cast<unsigned long long>(exchangeResults[2].load()));
    std::printf("host calls by result (0 / 1 / 2):\n");
    for (int op = 0; op < OpCount; ++op)
        std::printf("  %-12s %8llu %7llu %7llu\n", kOperationNames[op],
                    static_cast<unsigned long long>(calls.results[op][0].load()),
                    static_cast<unsigned long long>(calls.results[op][1].load()),
                    static_cast<unsigned long long>(calls.results[op][2].load()));
    std::printf(
        "  results 1: %llu the listener kept the line, %llu the last answer did not fit, %llu a unit's "
        "own notice before a faulty answer, %llu only stale answers came; results 2: %llu with faults on "
        "the line, %llu line slower than the time-out\n",
        static_cast<unsigned long long>(calls.busyRefusals.load()),
        static_cast<unsigned long long>(calls.unfitting.load()),
        static_cast<unsigned long long>(calls.afterNotice.load()),
        static_cast<unsigned long long>(calls.staleSkipped.load()),
        static_cast<unsigned long long>(calls.noAnswer.load()), static_cast<unsigned long long>(calls.stalls.load()));
    std::printf(
        "data: %llu values read and checked (%llu held before but not at the read), %llu writes confirmed "
        "at the unit, %llu acknowledged by an earlier write's late or repeated answer\n",
        static_cast<unsigned long long>(calls.readValues.load()),
        static_cast<unsigned long long>(calls.staleValues.load()),
        static_cast<unsigned long long>(calls.writesConfirmed.load()),
        static_cast<unsigned long long>(calls.writesByCopy.load()));
    std::printf(
        "events: queued %llu (changes %llu, status %llu, logged %llu); sent in intact answers %llu; "
        "accepted by the driver %llu; in gates %llu (gate writes %llu); accepted twice %llu; "
        "lost in answers the driver did not accept %llu\n",
        static_cast<unsigned long long>(queued), static_cast<unsigned long long>(queuedByKind[0]),
        static_cast<unsigned long long>(queuedByKind[1]), static_cast<unsigned long long>(queuedByKind[2]),
        static_cast<unsigned long long>(total.eventsSent[0] + total.eventsSent[1] + total.eventsSent[2]),
        static_cast<unsigned long long>(acceptedUnique), static_cast<unsigned long long>(storedTotal),
        static_cast<unsigned long long>(gateWrites.load()), static_cast<unsigned long long>(acceptedTwice),
        static_cast<unsigned long long>(notAccepted));
    std::printf("fetch answers accepted: changes %llu, status %llu, logged %llu; unit retries answered again %llu\n",
                static_cast<unsigned long long>(acceptedAnswers[0].load()),
                static_cast<unsigned long long>(acceptedAnswers[1].load()),
                static_cast<unsigned long long>(acceptedAnswers[2].load()),
                static_cast<unsigned long long>(total.repeats));
    std::printf("listeners: notices %llu (repeated %llu, behind stray bytes %llu), acknowledged %llu, clock sets "
                "%llu, link resets %llu\n",
                static_cast<unsigned long long>(total.noticesSent),
                static_cast<unsigned long long>(total.noticesRepeated),
                static_cast<unsigned long long>(total.noisyNotices),
                static_cast<unsigned long long>(total.acks),
                static_cast<unsigned long long>(total.answers[OpcodeSetClock]),
                static_cast<unsigned long long>(total.linkResets));
    std::printf("memory: resident %lld kB after the warm-up, %lld kB at the end\n", static_cast<long long>(warmRssKb),
                static_cast<long long>(endRssKb));
    {
        std::lock_guard<std::mutex> lock(logMutex);
        std::printf("driver log:\n");
        for (auto& entry : logCounts)
            std::printf("  %8llu  %s\n", static_cast<unsigned long long>(entry.second), entry.first.c_str());
    }

    // The host stops: every listener ends.
    TavStopWaits();
    bool ended = false;
    for (int64_t end = NowMs() + 15000; NowMs() < end && !ended;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::lock_guard<std::mutex> lock(logMutex);
        ended = logCounts["KivIN : ShutDown Report By Excption thread"] == static_cast<uint64_t>(channelCount);
    }
    if (!ended) violations.Add("not every listener ended when the host stopped");

    const uint64_t failures = violations.Total();
    {
        std::lock_guard<std::mutex> lock(violations.mutex);
        for (auto& entry : violations.counts)
            std::printf("VIOLATION %llu x %s\n", static_cast<unsigned long long>(entry.second), entry.first.c_str());
    }
    if (traceFile != nullptr) {
        std::lock_guard<std::mutex> lock(traceMutex);
        std::fclose(traceFile);
        traceFile = nullptr;
    }
    std::printf("soak: %s\n", failures == 0 ? "passed" : "FAILED");
    std::fflush(stdout);
    for (int c = 0; c < channelCount; ++c) unlink(ChannelFileName(channels[c].number).c_str());
    if (chdir("/") == 0) rmdir(scratch);
    // The simulators' threads and the blocks go with the process.
    std::_Exit(failures == 0 ? 0 : 1);
}
