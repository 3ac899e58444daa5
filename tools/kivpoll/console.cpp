// The runtime stand-in's callbacks and the progress line.
#include "tools/kivpoll/console.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "tavlib/tavlib_control.h"
#include "tools/common/time_text.h"
#include "tools/kivpoll/host_log.h"
#include "tools/kivpoll/reasons.h"

namespace kivpoll {

namespace {

using Clock = std::chrono::steady_clock;

std::mutex outputMutex;
// When the driver's listener thread logged its start; 0 before it has.
std::atomic<int64_t> listenerStartedNs{0};
Output* activeOutput = nullptr;
Summary* activeSummary = nullptr;
std::string progressText;
bool progressOn = false;

// Runs show between taking the progress line away and drawing it again.
template <typename Show>
void Between(Show show) {
    std::lock_guard<std::mutex> lock(outputMutex);
    const bool drawn = progressOn && !progressText.empty();
    if (drawn) std::fprintf(stderr, "\r\033[K");
    show();
    if (progressOn && !progressText.empty()) std::fprintf(stderr, "%s", progressText.c_str());
}

void TAVLIB_CDECL OnGate(int32_t gateId, const TavGateValue* value, void*) {
    int32_t channel, station, area, number, bit;
    if (TavGateAddress(gateId, &channel, &station, &area, &number, &bit) != 0) return;
    char name[32];
    if (bit != KivWholeRegister) std::snprintf(name, sizeof name, "R%04d%04d%02d", station, number, bit);
    else std::snprintf(name, sizeof name, "%c%04d%04d", area == AreaStatus ? 'S' : 'R', station, number);
    Between([&] {
        if (activeOutput == nullptr) return;
        activeOutput->Gate(GateRow{name, value->value, value->time, value->milliseconds});
        if (activeSummary != nullptr) ++activeSummary->gateUpdates;
    });
}

void TAVLIB_CDECL OnLog(int32_t level, const char* text, void*) {
    if (std::strcmp(text, "KivIN : Start Report-By-Exception Thread") == 0)
        listenerStartedNs = Clock::now().time_since_epoch().count();
    Between([&] {
        HostLogLine(level, text);
        if (activeSummary != nullptr && IsLineFault(text)) ++activeSummary->lineFaults;
    });
}

}  // namespace

void AttachLog() {
    TavSetLogToStderr(0);
    TavSetLogCallback(OnLog, nullptr);
}

void AttachRuntime(Output* output, Summary* summary, bool progress) {
    progressOn = progress;
    TavSetAutoDefine(1);
    AttachLog();
    {
        std::lock_guard<std::mutex> lock(outputMutex);
        activeOutput = output;
        activeSummary = summary;
    }
    TavSetGateCallback(OnGate, nullptr);
}

void DetachRuntime() {
    TavSetGateCallback(nullptr, nullptr);
    Between([] {
        progressText.clear();
        activeOutput = nullptr;
        activeSummary = nullptr;
    });
}

void StopListeners(bool listening) {
    // The host stops: a listener's wait returns 0, and about a second later it
    // removes its client and ends. Give it that time before the process ends.
    TavStopWaits();
    if (!listening) return;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
    while (TavClientCount() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

void SetProgress(const Summary& summary, const std::string& what) {
    if (!progressOn) return;
    // The runtime's thread counts gate updates under the lock: read them there.
    Between([&] {
        char text[200];
        std::snprintf(text, sizeof text, "\r%s  requests %d  done %d  refused %d  no answer %d  gate updates %d",
                      what.c_str(), summary.requests, summary.done, summary.refused, summary.noAnswer,
                      summary.gateUpdates);
        progressText = text;
    });
}

void ShowResult(Output& output, Summary& summary, const ResultRow& row) {
    summary.Count(row);
    Between([&] { output.Result(row); });
}

void ShowNote(Output& output, const std::string& text) {
    Between([&] { output.Note(text); });
}

namespace {

// The wall clock time of a steady-clock instant, as the rows show times.
std::string ClockTextOf(Clock::time_point when) {
    const auto fromNow = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now());
    return kivtools::FormatTime(kivtools::WallClockMs() + fromNow.count(), kivtools::TimeForm::Clock);
}

std::string Seconds(Clock::duration span) {
    return std::to_string((std::chrono::duration_cast<std::chrono::milliseconds>(span).count() + 500) / 1000) + " s";
}

// Gate updates so far; the runtime's thread counts them under the lock.
int GateUpdates(const Summary& summary) {
    std::lock_guard<std::mutex> lock(outputMutex);
    return summary.gateUpdates;
}

std::string QuietNote(Clock::duration span) {
    return "listening: nothing arrived in the " + Seconds(span) +
           " since the driver's listener took the line: the unit may not be reporting by exception (it sends "
           "notices only when set to; kivsim --exception S), may have nothing to report, or reports to another "
           "host address than -a (docs/troubleshooting.md)";
}

}  // namespace

void Listen(Output& output, const Summary& summary, int seconds, const std::function<bool()>& stop) {
    const Clock::time_point begin = Clock::now();
    // The pause counts from the thread's first log line; until that line
    // has come (the thread may not have run yet), from now.
    auto readyAt = [begin] {
        const int64_t started = listenerStartedNs.load();
        return (started != 0 ? Clock::time_point(Clock::duration(started)) : begin) +
               std::chrono::milliseconds(kListenerStartPauseMs);
    };
    Clock::time_point ready = readyAt();
    const Clock::time_point end = begin + std::chrono::seconds(seconds);
    bool readySaid = ready <= begin, quietSaid = false;
    int updatesAtReady = GateUpdates(summary);
    if (!readySaid)
        ShowNote(output, "listening: the driver's listener takes the line " +
                             std::to_string(kListenerStartPauseMs / 1000) + " s after Open, at " +
                             ClockTextOf(ready) + "; gate updates print as they arrive");
    while (!stop() && (seconds == 0 || Clock::now() < end)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        SetProgress(summary, "listening");
        const Clock::time_point now = Clock::now();
        if (!readySaid) ready = readyAt();
        if (!readySaid && now >= ready) {
            readySaid = true;
            updatesAtReady = GateUpdates(summary);
            ShowNote(output, "listening: the driver's listener took the line at " + ClockTextOf(ready));
        }
        if (readySaid && !quietSaid && GateUpdates(summary) == updatesAtReady &&
            now - std::max(ready, begin) >= std::chrono::milliseconds(kListenQuietNoteMs)) {
            quietSaid = true;
            ShowNote(output, QuietNote(now - std::max(ready, begin)));
        }
    }
    const Clock::time_point now = Clock::now();
    if (!readySaid)
        ShowNote(output, "listening ended before the driver's listener took the line (" +
                             std::to_string(kListenerStartPauseMs / 1000) + " s after Open): listen longer");
    else if (!quietSaid && GateUpdates(summary) == updatesAtReady &&
             now - std::max(ready, begin) >= std::chrono::seconds(1))
        ShowNote(output, QuietNote(now - std::max(ready, begin)));
}

void CloseLog() {
    std::lock_guard<std::mutex> lock(outputMutex);
    CloseHostLog();
}

}  // namespace kivpoll
