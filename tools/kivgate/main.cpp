// kivgate: publishes the units' values on an MQTT broker, polling and
// listening through the driver as a host does, until SIGTERM or SIGINT;
// SIGHUP re-reads the configuration file.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/common/cli.h"
#include "tools/kivgate/config.h"
#include "tools/kivgate/gateway.h"
#include "tools/kivgate/work_area.h"
#include "tools/kivpoll/driver_host.h"
#include "tools/kivpoll/reasons.h"
#include "tools/kivpoll/work_folder.h"

namespace {

enum Exit { kExitDone = 0, kExitUsage = 3, kExitConfig = 5, kExitRuntime = 6 };

const char kDescription[] =
    "kivgate: the units' values on an MQTT broker. It loads the driver as the SCADA host does, polls the gates\n"
    "of each channel of its configuration file and takes the units' reports by exception, and publishes each\n"
    "value retained at PREFIX/CHANNEL/STATION/NAME; a message on .../NAME/set writes a writable gate.";
const char kFooter[] =
    "\nSignals: SIGTERM or SIGINT end every channel and publish \"offline\" (exit 0); SIGHUP re-reads FILE (a\n"
    "file with mistakes is refused and the gateway runs on as it was).\n"
    "Exit codes: 0 stopped by a signal, or --check found no mistake; 3 usage, or the driver cannot be loaded;\n"
    "5 the file has mistakes (each named with its line); 6 the gateway cannot start (its work folder, the MQTT\n"
    "client).\n"
    "See also: kivpoll(1), kivsim(1), mosquitto_sub(1); docs/kivgate.md (topics, payloads, deployment),\n"
    "docs/kivgate.example.toml (every setting), docs/kivgate-flow.svg (the path of a value).";

struct Options {
    std::string config;
    std::string driver;
    bool check = false;
};

int ParseOptions(int argc, char** argv, Options* options) {
    CLI::App app(kDescription, "kivgate");
    kivtools::Prepare(app, kFooter);
    app.add_option("--config,-c", options->config, "the configuration file (TOML)")->type_name("FILE");
    app.add_flag("--check", options->check,
                 "read FILE, say what it sets up and which gates the driver would refuse, and end: exit 0 when it "
                 "has no mistake, 5 when it has");
    app.add_option("--driver", options->driver, "the driver library, in place of the file's driver setting")
        ->type_name("PATH");
    const int parsed = kivtools::Parse(app, argc, argv, "kivgate", kExitUsage);
    if (parsed >= 0) return parsed;
    if (options->config.empty()) {
        std::fprintf(stderr, "kivgate: give the configuration file: --config FILE (kivgate --help tells more)\n");
        return kExitUsage;
    }
    return -1;
}

// Reads the file and settles the driver's path; false with every mistake said.
bool ReadFile(const std::string& file, const Options& options, const char* argv0, kivgate::GatewaySettings* settings) {
    std::vector<std::string> problems;
    if (!kivgate::ReadSettings(file, settings, &problems)) {
        for (const std::string& problem : problems) std::fprintf(stderr, "kivgate: %s\n", problem.c_str());
        std::fprintf(stderr, "kivgate: %s refused: %zu mistake%s\n", file.c_str(), problems.size(),
                     problems.size() == 1 ? "" : "s");
        return false;
    }
    if (!options.driver.empty()) settings->driverPath = options.driver;
    if (settings->driverPath.empty()) settings->driverPath = kivpoll::DefaultDriverPath(argv0);
    settings->driverPath = kivpoll::AbsolutePath(settings->driverPath);
    return true;
}

int Check(const kivgate::GatewaySettings& settings) {
    kivpoll::DriverHost host;
    if (!host.Load(settings.driverPath)) {
        std::fprintf(stderr, "kivgate: %s\n", host.error().c_str());
        return kExitUsage;
    }
    kivgate::ExplainSettings(
        settings,
        [&host](const kivgate::GateSettings& gate) {
            const int32_t command = gate.count > 1 ? CommandCheckAddress : CommandParseAddress;
            return kivpoll::AddressReason(host, command, gate.address, gate.kind, gate.count);
        },
        stdout);
    return kExitDone;
}

// Waits for the signals (blocked in every thread) and acts on them; the
// exit code once the gateway stopped.
int Serve(kivgate::Gateway& gateway, const std::string& file, const Options& options, const char* argv0,
          const sigset_t& signals) {
    for (;;) {
        int signal = 0;
        if (sigwait(&signals, &signal) != 0) continue;
        if (signal != SIGHUP) {
            std::fprintf(stderr, "kivgate: %s: ending every channel\n", signal == SIGINT ? "SIGINT" : "SIGTERM");
            gateway.Stop();
            return kExitDone;
        }
        kivgate::GatewaySettings next;
        if (!ReadFile(file, options, argv0, &next)) {
            std::fprintf(stderr, "kivgate: SIGHUP: the gateway runs on as it was\n");
            continue;
        }
        std::string error;
        if (!gateway.Reload(next, &error)) std::fprintf(stderr, "kivgate: SIGHUP: %s\n", error.c_str());
        else std::fprintf(stderr, "kivgate: SIGHUP: %s read again, %zu channels\n", file.c_str(), gateway.Channels());
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    int parsed = ParseOptions(argc, argv, &options);
    if (parsed >= 0) return parsed;
    // The signals are taken by sigwait alone: blocked before any thread starts.
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, signal);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // The work folder becomes current: the file is named from here.
    const std::string file = kivpoll::AbsolutePath(options.config);
    kivgate::GatewaySettings settings;
    if (!ReadFile(file, options, argv[0], &settings)) return kExitConfig;
    if (options.check) return Check(settings);
    kivpoll::DriverHost probe;  // says at once, in one line, that the driver cannot be loaded
    if (!probe.Load(settings.driverPath)) {
        std::fprintf(stderr, "kivgate: %s\n", probe.error().c_str());
        return kExitUsage;
    }
    kivgate::WorkArea area;
    std::string error;
    if (!area.Enter(settings.workdir, &error)) {
        std::fprintf(stderr, "kivgate: %s\n", error.c_str());
        return kExitRuntime;
    }
    kivgate::Gateway gateway;
    if (!gateway.Start(settings, &error)) {
        std::fprintf(stderr, "kivgate: %s\n", error.c_str());
        return kExitRuntime;
    }
    std::fprintf(stderr, "kivgate: running: %zu channels, broker %s:%d, topics under %s/\n", gateway.Channels(),
                 settings.broker.host.c_str(), settings.broker.port, settings.broker.prefix.c_str());
    return Serve(gateway, file, options, argv[0], signals);
}
