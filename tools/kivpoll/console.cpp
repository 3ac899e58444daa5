// The runtime stand-in's callbacks and the progress line.
#include "tools/kivpoll/console.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "tavlib/tavlib_control.h"
#include "tools/kivpoll/host_log.h"
#include "tools/kivpoll/reasons.h"

namespace kivpoll {

namespace {

std::mutex outputMutex;
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
    char text[200];
    std::snprintf(text, sizeof text, "\r%s  requests %d  done %d  refused %d  no answer %d  gate updates %d",
                  what.c_str(), summary.requests, summary.done, summary.refused, summary.noAnswer,
                  summary.gateUpdates);
    Between([&] { progressText = text; });
}

void ShowResult(Output& output, Summary& summary, const ResultRow& row) {
    summary.Count(row);
    Between([&] { output.Result(row); });
}

void CloseLog() {
    std::lock_guard<std::mutex> lock(outputMutex);
    CloseHostLog();
}

}  // namespace kivpoll
