// A channel's thread: the address commands, Open (tried again with growing
// pauses while the port does not open), then writes first and the plan's
// reads when due, the status as it changes, and Close at the end.
#include "tools/kivgate/channel.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <mutex>

#include "tools/kivgate/channel_run.h"
#include "tools/kivpoll/console.h"

namespace kivgate {

namespace {

// The longest a channel's thread sleeps between looks at its port, its
// stale gates and its status.
constexpr auto kLookPause = std::chrono::milliseconds(250);
constexpr auto kStatusPause = std::chrono::seconds(1);

void PublishStatus(ChannelRun& state) {
    state.status.port = state.settings.port;
    state.publisher.Status(state.settings, state.status);
    state.publishedState = state.status.state;
    state.lastStatus = SteadyClock::now();
    state.statusDirty = false;
}

void PublishStatusIfDue(ChannelRun& state) {
    if (state.statusDirty && SteadyClock::now() - state.lastStatus >= kStatusPause) PublishStatus(state);
}

// The next write waiting, if any.
bool TakeWrite(ChannelRun& state, WriteJob* job) {
    std::lock_guard<std::mutex> lock(state.queueMutex);
    if (state.writes.empty()) return false;
    *job = std::move(state.writes.front());
    state.writes.pop_front();
    return true;
}

// Why the line cannot be used now; "" when it can.
std::string PortDown(ChannelRun& state) {
    if (state.opened && state.watch->PortInUse()) return "";
    return "port failed: " + state.status.lastError;
}

void ServeWrites(ChannelRun& state) {
    WriteJob job;
    while (!state.stop && TakeWrite(state, &job)) ServeWrite(state, job, PortDown(state));
}

// When a group read now is due again: once only at start for the
// listener's gates; a reading late by more than an interval starts the
// schedule again an interval after the end of the read (from before it, the
// group would be read again at once). Each time moves by up to a few tens of ms
// either way: a unit repeats an unacknowledged report every few seconds, and
// polls in step with those repeats would meet every one of them on the line.
SteadyClock::time_point NextDue(ChannelRun& state, SteadyClock::time_point due, int32_t intervalMs) {
    if (intervalMs <= 0) return SteadyClock::time_point::max();
    const int32_t spread = std::min<int32_t>(25, intervalMs / 20);
    const int32_t jitter =
        spread > 0 ? static_cast<int32_t>(state.jitter() % static_cast<uint32_t>(2 * spread + 1)) - spread : 0;
    const auto interval = std::chrono::milliseconds(intervalMs);
    const auto now = SteadyClock::now();
    return (due + interval < now ? now + interval : due + interval) + std::chrono::milliseconds(jitter);
}

// The groups that are due, writes served before each; the state follows
// what the reads gave.
void PollDue(ChannelRun& state) {
    bool done = false, failed = false;
    for (size_t group = 0; group < state.plan.size() && !state.stop; ++group) {
        ServeWrites(state);
        const auto now = SteadyClock::now();
        if (now < state.due[group]) continue;
        if (!PortDown(state).empty()) return;
        const int32_t result = ReadGroupNow(state, group);
        done = done || result == 0;
        failed = failed || result != 0;
        state.due[group] = NextDue(state, state.due[group], state.plan[group].intervalMs);
    }
    if (done) SetState(state, "working");
    else if (failed) SetState(state, "failing");
}

// Sleeps until the next group is due, a write comes or the channel stops;
// at most kLookPause.
void WaitForWork(ChannelRun& state) {
    auto until = SteadyClock::now() + kLookPause;
    // Reads wait for the port while it is down: no reason to wake for them.
    if (PortDown(state).empty())
        for (const auto& due : state.due) until = std::min(until, due);
    std::unique_lock<std::mutex> lock(state.queueMutex);
    state.wake.wait_until(lock, until, [&state] { return state.stop.load() || !state.writes.empty(); });
}

// Writes still queued when the channel stops get their answer.
void RefuseQueued(ChannelRun& state) {
    WriteJob job;
    while (TakeWrite(state, &job)) ServeWrite(state, job, "the channel stopped");
}

void Run(ChannelRun& state) {
    state.worker = std::this_thread::get_id();
    AddressGates(state);
    DefineRuntimeGates(state);
    RegisterForUpdates(state);
    SetState(state, "starting");
    while (!state.stop) {
        if (!state.opened && SteadyClock::now() >= state.nextOpen) TryOpen(state);
        if (state.opened) PollDue(state);
        ServeWrites(state);
        MarkStale(state, PortDown(state));
        PublishStatusIfDue(state);
        WaitForWork(state);
    }
    RefuseQueued(state);
    if (state.opened && state.host.Close() != 0)
        std::fprintf(stderr, "kivgate: channel %s: Close did not end the channel's listener in time\n",
                     state.settings.name.c_str());
    // After Close: what the listener stored while it ended still counts.
    UnregisterForUpdates(state);
    state.opened = false;
    SetState(state, "closed");
}

std::string Trimmed(const std::string& text) {
    const size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return "";
    return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

}  // namespace

void SetState(ChannelRun& state, const std::string& name) {
    state.status.state = name;
    if (state.publishedState != name) PublishStatus(state);
}

Channel::Channel(const ChannelSettings& settings, const std::string& driverPath, Publisher& publisher)
    : state_(new ChannelRun(settings, driverPath, publisher)) {}

Channel::~Channel() { Stop(); }

const ChannelSettings& Channel::settings() const { return state_->settings; }

bool Channel::Start(std::string* error) {
    if (state_->running) return true;
    if (!state_->host.Load(state_->driverPath)) {
        *error = "channel " + state_->settings.name + ": " + state_->host.error();
        return false;
    }
    // The driver's log lines through kivpoll's log, so that a request's
    // lines can be collected for its reason.
    static std::once_flag logAttached;
    std::call_once(logAttached, kivpoll::AttachLog);
    state_->stop = false;
    state_->running = true;
    state_->thread = std::thread(Run, std::ref(*state_));
    return true;
}

void Channel::Stop() {
    if (!state_->running.exchange(false)) return;
    {
        std::lock_guard<std::mutex> lock(state_->queueMutex);
        state_->stop = true;
    }
    state_->wake.notify_all();
    state_->thread.join();
}

void Channel::SubmitWrite(int32_t station, const std::string& name, const std::string& payload) {
    ChannelRun& state = *state_;
    WriteJob job;
    job.station = station;
    job.name = name;
    GateSettings unknown;
    unknown.name = name;
    unknown.station = station;
    const GateSettings* gate = &unknown;
    for (const GateSettings& candidate : state.settings.gates)
        if (candidate.station == station && candidate.name == name) gate = &candidate;
    std::string error;
    WriteResult refused{1, "", {}};
    if (gate == &unknown)
        refused.reason = "no gate " + name + " on station " + std::to_string(station) + " of this channel";
    else if (!ParseSetValue(payload, *gate, &job.raw, &job.asked, &error))
        refused.reason = error;
    else if (!gate->writable)
        refused.reason = "gate " + name + " is not writable (writable = true in the configuration allows writes)";
    refused.values = job.asked;
    if (refused.reason.empty()) {
        std::lock_guard<std::mutex> lock(state.queueMutex);
        if (!state.running) refused.reason = "the channel is not running";
        else if (state.writes.size() >= kWriteQueueBound)
            refused.reason = "the channel has " + std::to_string(kWriteQueueBound) + " writes waiting already";
        else state.writes.push_back(std::move(job));
    }
    if (refused.reason.empty()) state.wake.notify_all();
    else state.publisher.Result(state.settings, *gate, refused);
}

void Channel::SubmitClock(int32_t station, const std::string& payload) {
    ChannelRun& state = *state_;
    std::string asked = Trimmed(payload);
    std::transform(asked.begin(), asked.end(), asked.begin(), [](unsigned char c) { return std::tolower(c); });
    WriteResult refused{1, "", {}};
    if (!asked.empty() && asked != "now" && asked != "\"now\"")
        refused.reason = "the clock takes \"now\" or nothing: it is set from this machine's clock";
    if (refused.reason.empty()) {
        std::lock_guard<std::mutex> lock(state.queueMutex);
        WriteJob job;
        job.clock = true;
        job.station = station;
        if (!state.running) refused.reason = "the channel is not running";
        else if (state.writes.size() >= kWriteQueueBound)
            refused.reason = "the channel has " + std::to_string(kWriteQueueBound) + " writes waiting already";
        else state.writes.push_back(std::move(job));
    }
    if (refused.reason.empty()) state.wake.notify_all();
    else state.publisher.ClockResult(state.settings, station, refused);
}

}  // namespace kivgate
