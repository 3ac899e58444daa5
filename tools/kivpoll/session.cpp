// One kivpoll run, from the configuration file to the summary.
#include "tools/kivpoll/session.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

#include "tools/kivpoll/config_check.h"
#include "tools/kivpoll/console.h"
#include "tools/kivpoll/port_failure.h"
#include "tools/kivpoll/port_watch.h"
#include "tools/kivpoll/reasons.h"
#include "tools/kivpoll/requester.h"
#include "tools/kivpoll/work_folder.h"

namespace kivpoll {

namespace {

std::atomic<bool> interrupted{false};

void OnInterrupt(int) { interrupted = true; }

struct CloseFile {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, CloseFile>;

// The channel file's text: the file --config names, or one written for the
// options.
bool ChannelText(const SessionOptions& options, std::string* text) {
    *text = ConfigText(options);
    if (options.configFile.empty()) return true;
    std::string error;
    return ReadChannelFileText(options.configFile, text, &error) || Said(error);
}

// The log file and the file of rows. Files named on the command line are
// opened before the working folder becomes current.
bool OpenFiles(const SessionOptions& options, File* out) {
    std::string error;
    if (!OpenHostLog(options.log, &error)) return Said(error);
    if (options.outputFile.empty()) return true;
    out->reset(std::fopen(options.outputFile.c_str(), "w"));
    return *out != nullptr || Said("--output " + options.outputFile + ": " + std::strerror(errno));
}

// With a trace or capture wanted, the driver opens the tap's end of the
// line. The exit code when the tap cannot start, else -1.
int StartTap(const SessionOptions& options, LineTap* tap, ChannelOptions* channel) {
    if (!options.tap.Wanted()) return -1;
    std::string error;
    if (!tap->OpenOutputs(options.tap, &error)) return Fail(kExitUsage, error);
    if (!tap->Start(channel->port, channel->line, &error)) return Fail(kExitPort, "trace: " + error);
    channel->port = tap->DriverPort();
    return -1;
}

// The longest port name the driver takes.
constexpr size_t kPortNameMax = sizeof(PortSettings{}.portName) - 1;

// A network address, or a device path longer than a port name holds, goes
// to the driver as a short name from the work folder's port map (with
// --trace the tap opens the device itself and the driver the tap's end).
// false with the reason printed.
bool MapLongPort(const SessionOptions& options, WorkFolder& folder, ChannelOptions* channel) {
    std::string target = options.networkUrl;
    std::string base = kNetworkPortName;
    if (target.empty() && !options.tap.Wanted() && channel->port.size() > kPortNameMax) {
        target = channel->port;
        base = kDevicePortName;
    }
    if (target.empty()) return true;
    channel->port = folder.MapPort(target, base);
    return !channel->port.empty();
}

// --port as the user gave it.
std::string PortAsGiven(const SessionOptions& options) {
    return options.networkUrl.empty() ? options.channel.port : options.networkUrl;
}

// Says why the driver's Open failed and gives the exit code: a channel file
// that the driver's own reading of it finds no host address in (5), a port
// that did not open (4), else what the driver answered.
int ExplainOpenFailure(const DriverHost& host, const SessionOptions& options, const std::string& configPath,
                       const std::vector<std::string>& /*openLog*/, int32_t opened) {
    const ChannelOptions& channel = options.channel;
    ConfigReport report;
    std::string error;
    if (CheckConfig(host, configPath, &report, &error) && !report.usable) {
        std::string at = report.faultLine > 0 ? ", line " + std::to_string(report.faultLine) : "";
        std::fprintf(stderr, "kivpoll: the channel file %s cannot be used%s: %s\n(kivpoll --check-config %s "
                     "tells what the driver takes from each line)\n",
                     configPath.c_str(), at.c_str(), report.fault.c_str(), configPath.c_str());
        return kExitConfig;
    }
    KivPortFailureReport failure{};
    if (host.PortFailure(&failure) != 1) {
        return Fail(opened == 1 ? kExitRefused : kExitNoAnswer,
                    "Open of channel " + std::to_string(channel.channel) + " on " + channel.port + " gave " +
                        std::to_string(opened) + " (" + ResultName(opened) + ")");
    }
    // The port as the user named it, and what the driver tried (with
    // --trace the driver opens the tap's end, the tap holds the port).
    std::string port = PortAndDevice(PortAsGiven(options), failure);
    if (options.tap.Wanted()) port += " through the trace's tap";
    return Fail(kExitPort, "cannot open port " + port + ": " + PortFailureReason(failure, SetupOf(channel.line)));
}

// Polls the addresses as often as asked, then listens as long as asked.
void PollAndListen(DriverHost& host, const SessionOptions& options, Output& output, Summary& summary) {
    Requester requester(host, output, summary);
    RequestSpec spec;
    spec.count = options.count;
    spec.write = options.write;
    spec.values = options.writeValues;
    spec.kind = options.kind;
    // A port that goes away is reopened when it comes back; polls meanwhile are let go.
    PortWatch watch(host, PortAsGiven(options));
    for (int32_t poll = 0; (options.polls == 0 || poll < options.polls) && !interrupted; ++poll) {
        if (poll > 0) std::this_thread::sleep_for(std::chrono::milliseconds(options.intervalMs));
        if (poll > 0 && !watch.PortInUse()) continue;
        for (const std::string& address : options.addresses) requester.Request(address, spec);
        if (options.polls != 1)
            SetProgress(summary, "poll " + std::to_string(poll + 1) +
                                     (options.polls ? "/" + std::to_string(options.polls) : ""));
    }
    if (options.listen)
        Listen(output, summary, options.listenSeconds, [&watch] {
            watch.PortInUse();
            return interrupted.load();
        });
}

// After an Open that logged that the port has no modem lines for the radio
// keying the channel file asks for: kivpoll says so and closes the channel.
// The exit code then, else -1.
int RefuseRadioWithoutModemLines(DriverHost& host, const SessionOptions& options,
                                 const std::vector<std::string>& openLog) {
    if (!PortCannotKeyRadio(openLog)) return -1;
    host.Close();
    return Fail(kExitPort, RadioPortMessage(options.channel.port, options.tap.Wanted()));
}

// Loads the driver, opens the channel, runs the requests and closes the
// channel; the exit code.
int DriveChannel(const SessionOptions& options, const ChannelOptions& channel, const std::string& configPath,
                 Output& output, Summary& summary) {
    DriverHost host;
    if (!host.Load(channel.driverPath)) return Fail(kExitUsage, host.error());
    {
        LogCapture openLog;
        const int32_t opened = host.Open(channel);
        if (opened != 0) return ExplainOpenFailure(host, options, configPath, openLog.lines(), opened);
        const int radioRefused = RefuseRadioWithoutModemLines(host, options, openLog.lines());
        if (radioRefused >= 0) return radioRefused;
    }
    const int scanned = options.scan.Wanted() ? ScanStations(host, options.scan, output, summary, interrupted) : -1;
    if (scanned < 0) PollAndListen(host, options, output, summary);
    host.Close();
    return scanned >= 0 ? scanned : ExitCodeFor(summary);
}

}  // namespace

bool ShortPortName(std::string* port) {
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

std::string ConfigText(const SessionOptions& options) {
    std::string text = "Host Address = " + std::to_string(options.hostAddress) + "\n";
    if (options.exception || options.listen) text += "EXCEPTION = ON\n";
    if (options.radio && options.radioTimes.size() == 3)
        text += "RADIO = YES," + std::to_string(options.radioTimes[0]) + "," + std::to_string(options.radioTimes[1]) +
                "," + std::to_string(options.radioTimes[2]) + "\n";
    return text;
}

int RunCheckConfig(const SessionOptions& options) {
    DriverHost host;
    if (!host.Load(AbsolutePath(options.channel.driverPath))) return Fail(kExitUsage, host.error());
    AttachLog();
    ConfigReport report;
    std::string error;
    if (!CheckConfig(host, options.checkConfig, &report, &error)) return Fail(kExitUsage, error);
    PrintConfigReport(options.checkConfig, report, stdout);
    return report.usable ? kExitDone : kExitConfig;
}

int RunSession(const SessionOptions& options) {
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    ChannelOptions channel = options.channel;
    channel.driverPath = AbsolutePath(channel.driverPath);
    std::string text;
    File out;
    if (!ChannelText(options, &text) || !OpenFiles(options, &out)) return kExitUsage;
    const std::string configPath =
        options.configFile.empty() ? ConfigName(channel.channel) : AbsolutePath(options.configFile);
    WorkFolder folder;
    if (!folder.Prepare(options.workdir, channel.channel, text)) return kExitUsage;
    if (!MapLongPort(options, folder, &channel)) return kExitUsage;
    LineTap tap;
    const int tapFailure = StartTap(options, &tap, &channel);
    if (tapFailure >= 0) return tapFailure;

    std::FILE* rows = out != nullptr ? out.get() : stdout;
    Output output(options.output, rows);
    Summary summary;
    AttachRuntime(&output, &summary, options.progress);
    const int exitCode = DriveChannel(options, channel, configPath, output, summary);
    DetachRuntime();
    StopListeners(options.exception || options.listen);
    tap.Stop();
    // After an Open that failed there is nothing to sum up.
    if (!options.quiet && exitCode != kExitPort && exitCode != kExitConfig) PrintSummary(summary, options.output, rows);
    out.reset();
    CloseLog();
    return exitCode;
}

}  // namespace kivpoll
