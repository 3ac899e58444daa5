// One kivpoll run, from the configuration file to the summary.
#include "tools/kivpoll/session.h"

#include "platform/port_map.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#if defined(_WIN32)
#include <direct.h>
#include <stdlib.h>
#include <windows.h>
#else
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>
#endif

#include "requests/registers.h"
#include "tavlib/tavlib_control.h"
#include "tools/kivpoll/config_check.h"
#include "tools/kivpoll/line_tap.h"
#include "tools/kivpoll/reasons.h"

namespace kivpoll {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> interrupted{false};

void OnInterrupt(int) { interrupted = true; }

std::mutex outputMutex;
Output* activeOutput = nullptr;
Summary* activeSummary = nullptr;
std::string progressText;
bool progressOn = false;

void ClearProgress() {
    if (progressOn && !progressText.empty()) std::fprintf(stderr, "\r\033[K");
}
void DrawProgress() {
    if (progressOn && !progressText.empty()) std::fprintf(stderr, "%s", progressText.c_str());
}

void TAVLIB_CDECL OnGate(int32_t gateId, const TavGateValue* value, void*) {
    int32_t channel, station, area, number, bit;
    if (TavGateAddress(gateId, &channel, &station, &area, &number, &bit) != 0) return;
    char name[32];
    if (bit != 255) std::snprintf(name, sizeof name, "R%04d%04d%02d", station, number, bit);
    else std::snprintf(name, sizeof name, "%c%04d%04d", area == 1 ? 'S' : 'R', station, number);
    std::lock_guard<std::mutex> lock(outputMutex);
    if (activeOutput == nullptr) return;
    ClearProgress();
    activeOutput->Gate(GateRow{name, value->value, value->time, value->milliseconds});
    if (activeSummary != nullptr) ++activeSummary->gateUpdates;
    DrawProgress();
}

// A failed try of an exchange leaves one of these in the driver's log.
bool IsLineFault(const char* text) {
    for (const char* fault : {"KivIN : Invalid message received", "KivIN : RX Failed", "KivIN : Carrier",
                              "KivIN : No Carrier"})
        if (std::strncmp(text, fault, std::strlen(fault)) == 0) return true;
    return false;
}

void TAVLIB_CDECL OnLog(int32_t level, const char* text, void*) {
    std::lock_guard<std::mutex> lock(outputMutex);
    ClearProgress();
    HostLogLine(level, text);
    if (activeSummary != nullptr && IsLineFault(text)) ++activeSummary->lineFaults;
    DrawProgress();
}

}  // namespace

bool IsBitAddress(const std::string& text) {
    return text.size() >= 10 && (text[0] == 'R' || text[0] == 'r') && text[9] != ' ';
}

bool ShortPortName(std::string* port) {
    const size_t kPortNameMax = 11;
    if (port->size() <= kPortNameMax) return true;
#if !defined(_WIN32)
    const std::string dev = "/dev/";
    if (port->compare(0, dev.size(), dev) == 0 && port->size() - dev.size() <= kPortNameMax) {
        *port = port->substr(dev.size());
        return true;
    }
#endif
    return false;
}

std::string AbsolutePath(const std::string& path) {
#if defined(_WIN32)
    char full[MAX_PATH];
    if (_fullpath(full, path.c_str(), sizeof full) != nullptr) return full;
#else
    char full[PATH_MAX];
    if (realpath(path.c_str(), full) != nullptr) return full;
#endif
    return path;
}

namespace {

bool MakeTemporaryFolder(std::string* folder) {
#if defined(_WIN32)
    char base[MAX_PATH];
    if (GetTempPathA(sizeof base, base) == 0) return false;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = std::string(base) + "kivpoll-" + std::to_string(GetCurrentProcessId()) + "-" +
                                std::to_string(attempt);
        if (_mkdir(candidate.c_str()) == 0) {
            *folder = candidate;
            return true;
        }
    }
    return false;
#else
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/kivpoll-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) return false;
    *folder = buffer.data();
    return true;
#endif
}

bool ChangeFolder(const std::string& folder) {
#if defined(_WIN32)
    return _chdir(folder.c_str()) == 0;
#else
    return chdir(folder.c_str()) == 0;
#endif
}

std::string ConfigName(int32_t channel) {
    char name[32];
    std::snprintf(name, sizeof name, "kivIN%.2d.int", channel);
    return name;
}

}  // namespace

bool PrepareWorkFolder(const std::string& text, int32_t channel, std::string* folder, bool* temporary) {
    *temporary = folder->empty();
    if (*temporary && !MakeTemporaryFolder(folder)) {
        std::fprintf(stderr, "kivpoll: cannot make a working folder\n");
        return false;
    }
    if (!ChangeFolder(*folder)) {
        std::fprintf(stderr, "kivpoll: cannot enter %s\n", folder->c_str());
        return false;
    }
    std::ofstream out(ConfigName(channel), std::ios::binary);
    out << text;
    if (!out) {
        std::fprintf(stderr, "kivpoll: cannot write %s in %s\n", ConfigName(channel).c_str(), folder->c_str());
        return false;
    }
    return true;
}

const char kNetworkPortName[] = "KIVNET";

bool WritePortMap(const std::string& url) {
    std::ofstream out(kPortMapFile, std::ios::binary);
    out << "# written by kivpoll for -p " << url << "\n" << kNetworkPortName << " = " << url << "\n";
    if (!out) std::fprintf(stderr, "kivpoll: cannot write %s\n", kPortMapFile);
    return static_cast<bool>(out);
}

void RemoveWorkFolder(const std::string& folder, int32_t channel) {
    std::remove((folder + "/" + ConfigName(channel)).c_str());
    std::remove((folder + "/" + kPortMapFile).c_str());
    ChangeFolder("..");
#if defined(_WIN32)
    _rmdir(folder.c_str());
#else
    rmdir(folder.c_str());
#endif
}

namespace {

double Percentile(std::vector<double> values, double share) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t index = static_cast<size_t>(share * (values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

}  // namespace

int32_t Requester::Timed(int32_t command, GateRequest* gate, double* ms) {
    auto start = Clock::now();
    int32_t result = host_.Call(command, gate);
    *ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    return result;
}

void Requester::Report(const ResultRow& row) {
    ++summary_.requests;
    if (row.result == 0) ++summary_.done;
    else if (row.result == 1) ++summary_.refused;
    else ++summary_.noAnswer;
    if (row.milliseconds >= 0) summary_.rtts.push_back(row.milliseconds);
    std::lock_guard<std::mutex> lock(outputMutex);
    ClearProgress();
    output_.Result(row);
    DrawProgress();
}

// Why a request was refused, from what kivpoll knows of it and the driver's
// log lines written while it ran.
void Requester::Explain(const std::vector<std::string>& log, ResultRow* row) {
    if (row->result != 1 || !row->reason.empty()) return;
    row->reason = ReasonFromLog(log);
    if (!row->reason.empty()) return;
    bool lineFaults = false;
    for (const std::string& line : log) lineFaults = lineFaults || IsLineFault(line.c_str());
    row->reason = lineFaults && row->operation == "clock"
                      ? "no sound answer to the link reset before the clock setting"
                      : "the unit's answer did not fit the request (length, function or station; a negative answer)";
}

int32_t Requester::Request(const std::string& text, const RequestSpec& spec, std::vector<int32_t>* values) {
    ResultRow row;
    row.address = text;
    int32_t kind = spec.kind >= 0 ? spec.kind : (IsBitAddress(text) ? 6 : 3);
    GateRequest gate;
    LogCapture log;
    row.result = host_.ParseAddress(text, kind, &gate);
    if (row.result != 0) {
        row.operation = "check";
        row.reason = AddressReason(text, kind);
        Report(row);
        return row.result;
    }
    size_t entries = std::max<size_t>(std::max<size_t>(spec.count, spec.values.size()), 1);
    std::vector<int32_t> data(entries, 0);
    gate.data = data.data();
    gate.count = 1;
    switch (gate.area) {
    case AreaRegister:
        if (spec.write) WriteRegister(spec, &gate, kind, &row);
        else ReadRegister(text, spec, &gate, kind, &row);
        break;
    case AreaClock:
        row.operation = "clock";
        row.result = Timed(7, &gate, &row.milliseconds);
        break;
    case AreaChangeEvents:
    case AreaStatusEvents:
    case AreaLoggedEvents:
        row.operation = "events";
        row.result = Timed(5, &gate, &row.milliseconds);
        break;
    default:  // a status point is set only by status events: the driver refuses it
        row.operation = spec.write ? "write" : "read";
        row.result = Timed(spec.write ? 7 : 5, &gate, &row.milliseconds);
        if (row.result == 1) row.reason = "a status point is set only by status events (fetch them with !S)";
        break;
    }
    Explain(log.lines(), &row);
    Report(row);
    if (values != nullptr) *values = row.values;
    return row.result;
}

void Requester::ReadRegister(const std::string& text, const RequestSpec& spec, GateRequest* gate, int32_t kind,
                             ResultRow* row) {
    row->operation = "read";
    if (spec.count > 1) {
        GateRequest block;
        row->result = host_.CheckAddress(text, spec.count, &block);
        if (row->result != 0) {
            row->reason = BlockReason(text, spec.count);
            return;
        }
        gate->count = spec.count;
        row->result = Timed(6, gate, &row->milliseconds);
        if (row->result == 0) row->values.assign(gate->data, gate->data + spec.count);
        return;
    }
    row->result = Timed(5, gate, &row->milliseconds);
    if (row->result != 0) return;
    if (kind == 6) {
        uint16_t bit;
        std::memcpy(&bit, reinterpret_cast<const unsigned char*>(gate->data) + 2, sizeof bit);
        row->values.push_back(bit);
    } else {
        row->values.push_back(gate->data[0]);
    }
}

void Requester::WriteRegister(const RequestSpec& spec, GateRequest* gate, int32_t kind, ResultRow* row) {
    row->operation = "write";
    const std::vector<int32_t>& values = spec.values;
    if (kind == 6) {
        uint16_t bit = !values.empty() && values[0] != 0 ? 1 : 0;  // the 16-bit word at byte offset 2
        std::memcpy(reinterpret_cast<unsigned char*>(gate->data) + 2, &bit, sizeof bit);
        row->values.push_back(bit);
        row->result = Timed(7, gate, &row->milliseconds);
        return;
    }
    std::copy(values.begin(), values.end(), gate->data);
    row->values = values;
    if (values.size() > 1) {
        gate->count = static_cast<int32_t>(values.size());
        row->result = Timed(10, gate, &row->milliseconds);
        if (row->result == 1 && gate->count > kMaxWriteRegisters)
            row->reason = "block too long: a write takes at most " + std::to_string(kMaxWriteRegisters) + " registers";
    } else {
        row->result = Timed(7, gate, &row->milliseconds);
    }
}


void SetProgress(const Summary& summary, const std::string& what) {
    if (!progressOn) return;
    char text[200];
    std::snprintf(text, sizeof text, "\r%s  requests %d  done %d  refused %d  no answer %d  gate updates %d",
                  what.c_str(), summary.requests, summary.done, summary.refused, summary.noAnswer,
                  summary.gateUpdates);
    std::lock_guard<std::mutex> lock(outputMutex);
    ClearProgress();
    progressText = text;
    DrawProgress();
}

void PrintSummary(const Summary& summary, const OutputOptions& output, std::FILE* out) {
    if (output.csv) out = stderr;  // the rows stay a table of rows
    if (output.json) {
        std::fprintf(out, "{\"type\":\"summary\",\"requests\":%d,\"done\":%d,\"refused\":%d,\"no_answer\":%d,"
                    "\"gate_updates\":%d,\"line_faults\":%d,\"rtt_ms\":{\"min\":%.3f,\"median\":%.3f,\"p90\":%.3f,"
                    "\"max\":%.3f}}\n",
                    summary.requests, summary.done, summary.refused, summary.noAnswer, summary.gateUpdates,
                    summary.lineFaults, Percentile(summary.rtts, 0), Percentile(summary.rtts, 0.5),
                    Percentile(summary.rtts, 0.9), Percentile(summary.rtts, 1));
    } else {
        std::fprintf(out, "\nrequests %d: done %d, refused %d, no answer %d; gate updates %d; line faults logged %d\n",
                    summary.requests, summary.done, summary.refused, summary.noAnswer, summary.gateUpdates,
                    summary.lineFaults);
        if (!summary.rtts.empty())
            std::fprintf(out, "round trip ms: min %.3f  median %.3f  p90 %.3f  max %.3f\n", Percentile(summary.rtts, 0),
                        Percentile(summary.rtts, 0.5), Percentile(summary.rtts, 0.9), Percentile(summary.rtts, 1));
    }
    std::fflush(out);
}

int ExitCodeFor(const Summary& summary) {
    if (summary.noAnswer > 0) return kExitNoAnswer;
    if (summary.refused > 0) return kExitRefused;
    return kExitDone;
}

void AttachRuntime(Output* output, Summary* summary, bool progress) {
    progressOn = progress;
    TavSetAutoDefine(1);
    TavSetLogToStderr(0);
    TavSetLogCallback(OnLog, nullptr);
    {
        std::lock_guard<std::mutex> lock(outputMutex);
        activeOutput = output;
        activeSummary = summary;
    }
    TavSetGateCallback(OnGate, nullptr);
}

void StopListeners(bool listening) {
    // The host stops: a listener's wait returns 0, and about a second later it
    // removes its client and ends. Give it that time before the process ends.
    TavStopWaits();
    if (!listening) return;
    auto deadline = Clock::now() + std::chrono::milliseconds(2500);
    while (TavClientCount() > 0 && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

void DetachRuntime() {
    TavSetGateCallback(nullptr, nullptr);
    std::lock_guard<std::mutex> lock(outputMutex);
    ClearProgress();
    progressText.clear();
    activeOutput = nullptr;
    activeSummary = nullptr;
}

std::string ConfigText(const SessionOptions& options) {
    std::string text = "Host Address = " + std::to_string(options.hostAddress) + "\n";
    if (options.exception || options.listen) text += "EXCEPTION = ON\n";
    if (options.radio && options.radioTimes.size() == 3)
        text += "RADIO = YES," + std::to_string(options.radioTimes[0]) + "," + std::to_string(options.radioTimes[1]) +
                "," + std::to_string(options.radioTimes[2]) + "\n";
    return text;
}

namespace {

// Says why the driver's Open failed and gives the exit code: a port that
// did not open (4), a channel file without a host address (5), else what the
// driver answered.
int ExplainOpenFailure(const DriverHost& host, const SessionOptions& options, const std::string& configPath,
                       const LogCapture& log, int32_t opened) {
    const ChannelOptions& channel = options.channel;
    if (log.Holds(" : Fail to open ")) {
        // The port as the user named it (with --trace the driver opens the
        // tap's end, the tap holds the port).
        PortFailure failure = ProbePort(channel.port, channel.line);
        std::string port = channel.port;
        if (!options.networkUrl.empty()) port = options.networkUrl;
        else if (failure.device != port) port += " (" + failure.device + ")";
        if (options.tap.Wanted()) port += " through the trace's tap";
        std::fprintf(stderr, "kivpoll: cannot open port %s: %s\n", port.c_str(), failure.reason.c_str());
        return kExitPort;
    }
    if (log.Holds("Host Address") || log.Holds("Tavrik Address") || log.Holds("KivIN : File ")) {
        ConfigReport report;
        std::string error;
        if (CheckConfig(host, configPath, &report, &error)) {
            std::string at = report.faultLine > 0 ? ", line " + std::to_string(report.faultLine) : "";
            std::fprintf(stderr, "kivpoll: the channel file %s cannot be used%s: %s\n(kivpoll --check-config %s "
                         "tells what the driver takes from each line)\n",
                         configPath.c_str(), at.c_str(), report.fault.c_str(), configPath.c_str());
        } else {
            std::fprintf(stderr, "kivpoll: the channel file %s has no host address (%s)\n", configPath.c_str(),
                         error.c_str());
        }
        return kExitConfig;
    }
    std::fprintf(stderr, "kivpoll: Open of channel %d on %s gave %d (%s)\n", channel.channel, channel.port.c_str(),
                 opened, ResultName(opened).c_str());
    return opened == 1 ? kExitRefused : kExitNoAnswer;
}

}  // namespace

int RunCheckConfig(const SessionOptions& options) {
    DriverHost host;
    if (!host.Load(AbsolutePath(options.channel.driverPath))) {
        std::fprintf(stderr, "kivpoll: %s\n", host.error().c_str());
        return kExitUsage;
    }
    TavSetLogToStderr(0);
    TavSetLogCallback(OnLog, nullptr);
    ConfigReport report;
    std::string error;
    if (!CheckConfig(host, options.checkConfig, &report, &error)) {
        std::fprintf(stderr, "kivpoll: %s\n", error.c_str());
        return kExitUsage;
    }
    PrintConfigReport(options.checkConfig, report, stdout);
    return report.usable ? kExitDone : kExitConfig;
}

int RunSession(const SessionOptions& options) {
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    DriverHost host;
    ChannelOptions channel = options.channel;
    channel.driverPath = AbsolutePath(channel.driverPath);

    std::string text = ConfigText(options);
    if (!options.configFile.empty()) {
        std::ifstream in(options.configFile, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "kivpoll: cannot read %s\n", options.configFile.c_str());
            return kExitUsage;
        }
        std::stringstream contents;
        contents << in.rdbuf();
        text = contents.str();
    }
    // Files named on the command line are opened before the working folder
    // becomes current.
    std::string error;
    if (!OpenHostLog(options.log, &error)) {
        std::fprintf(stderr, "kivpoll: %s\n", error.c_str());
        return kExitUsage;
    }
    std::FILE* out = stdout;
    if (!options.outputFile.empty() && (out = std::fopen(options.outputFile.c_str(), "w")) == nullptr) {
        std::fprintf(stderr, "kivpoll: --output %s: %s\n", options.outputFile.c_str(), std::strerror(errno));
        return kExitUsage;
    }
    const std::string configPath = options.configFile.empty() ? "" : AbsolutePath(options.configFile);
    std::string folder = options.workdir;
    bool temporary = false;
    if (!PrepareWorkFolder(text, channel.channel, &folder, &temporary)) return kExitUsage;
    if (!options.networkUrl.empty() && !WritePortMap(options.networkUrl)) {
        if (temporary) RemoveWorkFolder(folder, channel.channel);
        return kExitUsage;
    }

    LineTap tap;
    if (options.tap.Wanted()) {
        if (!tap.OpenOutputs(options.tap, &error)) {
            std::fprintf(stderr, "kivpoll: %s\n", error.c_str());
            if (temporary) RemoveWorkFolder(folder, channel.channel);
            return kExitUsage;
        }
        if (!tap.Start(channel.port, channel.line, &error)) {
            std::fprintf(stderr, "kivpoll: trace: %s\n", error.c_str());
            if (temporary) RemoveWorkFolder(folder, channel.channel);
            return kExitPort;
        }
        channel.port = tap.DriverPort();
    }

    Output output(options.output, out);
    Summary summary;
    AttachRuntime(&output, &summary, options.progress);

    int exitCode = kExitDone;
    if (!host.Load(channel.driverPath)) {
        std::fprintf(stderr, "kivpoll: %s\n", host.error().c_str());
        exitCode = kExitUsage;
    } else {
        int32_t opened;
        {
            LogCapture openLog;
            opened = host.Open(channel);
            if (opened != 0)
                exitCode = ExplainOpenFailure(host, options,
                                              configPath.empty() ? ConfigName(channel.channel) : configPath, openLog,
                                              opened);
        }
        if (opened == 0) {
            Requester requester(host, output, summary);
            RequestSpec spec;
            spec.count = options.count;
            spec.write = options.write;
            spec.values = options.writeValues;
            spec.kind = options.kind;
            for (int32_t poll = 0; (options.polls == 0 || poll < options.polls) && !interrupted; ++poll) {
                if (poll > 0) std::this_thread::sleep_for(std::chrono::milliseconds(options.intervalMs));
                for (const std::string& address : options.addresses) requester.Request(address, spec);
                if (options.polls != 1)
                    SetProgress(summary, "poll " + std::to_string(poll + 1) +
                                             (options.polls ? "/" + std::to_string(options.polls) : ""));
            }
            if (options.listen) {
                auto end = Clock::now() + std::chrono::seconds(options.listenSeconds);
                while (!interrupted && (options.listenSeconds == 0 || Clock::now() < end)) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    SetProgress(summary, "listening");
                }
            }
            host.Close();
            exitCode = ExitCodeFor(summary);
        }
    }
    DetachRuntime();
    StopListeners(options.exception || options.listen);
    tap.Stop();
    // After an Open that failed there is nothing to sum up.
    if (!options.quiet && exitCode != kExitPort && exitCode != kExitConfig) PrintSummary(summary, options.output, out);
    if (out != stdout) std::fclose(out);
    {
        // A listener that did not stop in time may still log.
        std::lock_guard<std::mutex> lock(outputMutex);
        CloseHostLog();
    }
    if (temporary) RemoveWorkFolder(folder, channel.channel);
    return exitCode;
}

}  // namespace kivpoll
