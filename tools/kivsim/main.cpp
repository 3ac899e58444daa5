// kivsim: plays DPC3000 units on a serial line or a pseudo-terminal.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#else
#include <poll.h>
#include <unistd.h>
#endif

#include "tools/common/capture.h"
#include "tools/common/trace_queue.h"
#include "tools/kivsim/arguments.h"
#include "tools/kivsim/console_http.h"
#include "tools/kivsim/kivsim.h"

namespace {

#if defined(_WIN32)
// Standard input cannot be polled on Windows: a thread reads it and hands
// the bytes over (and is left in its read when the program ends).
struct InputFeed {
    std::mutex mutex;
    std::string bytes;
    bool ended = false;
};

// What standard input delivered within 100 ms, fed to commands; false at
// its end.
bool ReadInput(kivsim::CommandFeed& commands) {
    static InputFeed* feed = [] {
        InputFeed* made = new InputFeed;
        std::thread([made] {
            char buffer[1024];
            for (;;) {
                int n = _read(0, buffer, sizeof buffer);
                std::lock_guard<std::mutex> lock(made->mutex);
                if (n <= 0) {
                    made->ended = true;
                    return;
                }
                made->bytes.append(buffer, size_t(n));
            }
        }).detach();
        return made;
    }();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::lock_guard<std::mutex> lock(feed->mutex);
    const bool any = !feed->bytes.empty();
    commands.Feed(feed->bytes.data(), feed->bytes.size());
    feed->bytes.clear();
    return any || !feed->ended;
}

bool InputIsTerminal() {
    return _isatty(0) != 0;
}
#else
bool ReadInput(kivsim::CommandFeed& commands) {
    struct pollfd p = {0, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) return true;
    char buffer[1024];
    ssize_t n = ::read(0, buffer, sizeof buffer);
    if (n <= 0) return false;
    commands.Feed(buffer, size_t(n));
    return true;
}

bool InputIsTerminal() {
    return isatty(0) != 0;
}
#endif

volatile std::sig_atomic_t gSignalled = 0;

void OnSignal(int) {
    gSignalled = 1;
}

// Prints a command's output; errors go to standard error.
void Show(const std::string& text) {
    if (text.empty()) return;
    if (text.compare(0, 7, "error: ") == 0) {
        std::fputs(("kivsim: " + text).c_str(), stderr);
    } else {
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
    }
}

// "listening on 127.0.0.1:4001 and [::1]:4001 (this machine only)", or
// what an address open to other machines exposes.
std::string DescribeListening(const std::vector<std::string>& addresses) {
    std::string text = "listening on ";
    bool loopback = true;
    for (size_t i = 0; i < addresses.size(); ++i) {
        const std::string& address = addresses[i];
        text += (i == 0 ? "" : " and ") + address;
        loopback = loopback && (address.rfind("127.", 0) == 0 || address.rfind("[::1]:", 0) == 0 ||
                                address.rfind("[::ffff:127.", 0) == 0);
    }
    if (loopback) return text + " (this machine only)";
    return text + " (open to other machines: whoever reaches the port drives the units and sees the traffic, "
                  "without authentication)";
}

// When kivsim stops: a signal, quit, or the end of --duration.
struct Deadline {
    bool timed;
    std::chrono::steady_clock::time_point end;
};

bool Finished(kivsim::Simulator& sim, const Deadline& deadline) {
    return gSignalled || sim.QuitRequested() || (deadline.timed && std::chrono::steady_clock::now() >= deadline.end);
}

// The stations, then the setup commands; -1 to go on, else the exit code.
int SetUp(kivsim::Simulator& sim, const kivsim::Settings& settings) {
    for (auto& station : settings.stations) {
        if (!sim.AddStation(station.first, station.second)) {
            std::fprintf(stderr, "kivsim: station %u given twice\n", station.first);
            return 2;
        }
    }
    for (const auto& command : settings.setup) {
        std::string result = sim.Execute(command.second);
        if (result.compare(0, 7, "error: ") == 0) {
            std::fprintf(stderr, "kivsim: %s: %s(kivsim --help tells more)\n", command.first.c_str(),
                         result.substr(7).c_str());
            return 2;
        }
    }
    return -1;
}

// A scenario is read whole before the start: a missing file or a line
// that is no command stops kivsim here, with the file and line.
bool LoadScenario(const std::string& path, std::vector<std::string>* scenario) {
    if (path.empty()) return true;
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "kivsim: --scenario %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    std::string error;
    if (!kivsim::ReadScenario(in, path, scenario, &error)) {
        std::fprintf(stderr, "kivsim: %s\n", error.c_str());
        return false;
    }
    return true;
}

// The trace and the capture file, when asked for; false when one cannot
// be opened.
bool OpenRecords(kivsim::Simulator& sim, const kivsim::Settings& settings, kivtools::TraceQueue& trace,
                 kivtools::CaptureWriter& capture) {
    std::string error;
    if (settings.trace) {
        // The trace is written by a thread of its own: a flooded line or an
        // output that does not keep up costs lines, never the service.
        if (settings.traceFile.empty()) {
            trace.OpenStandardError();
        } else if (!trace.OpenFile(settings.traceFile, &error)) {
            std::fprintf(stderr, "kivsim: %s\n", error.c_str());
            return false;
        }
        sim.SetTraceSink([&trace](const std::string& line) { trace.Add(line); });
    }
    if (settings.pcapFile.empty()) return true;
    if (!capture.Open(settings.pcapFile, &error)) {
        std::fprintf(stderr, "kivsim: --pcap: %s\n", error.c_str());
        return false;
    }
    sim.SetCaptureSink([&capture](int64_t us, uint8_t direction, const uint8_t* bytes, size_t count) {
        capture.Write(us, direction, bytes, count);
    });
    return true;
}

void CatchSignals() {
#if defined(_WIN32)
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
#else
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#endif
}

// The line's path where it is wanted, and the banner.
void Announce(kivsim::Simulator& sim, const kivsim::Settings& settings) {
    const kivsim::Options& o = settings.options;
    if (o.device.empty() && o.listenKind == NetLineNone && sim.LinePath().size() > 11 && o.linkPath.empty()) {
        std::fprintf(stderr,
                     "kivsim: %s is longer than the 11 characters a channel's port name holds; "
                     "--link with a short path helps\n",
                     sim.LinePath().c_str());
    }
    if (!settings.pathFile.empty()) {
        std::ofstream out(settings.pathFile);
        out << sim.LinePath() << "\n";
    }
    if (settings.quiet) return;
    std::printf("kivsim: line %s\n", sim.LinePath().c_str());
    std::printf("kivsim: stations");
    for (auto& station : settings.stations) std::printf(" %u (host %u)", station.first, station.second);
    std::printf("; fault seed %llu\n", static_cast<unsigned long long>(o.seed));
    const std::vector<std::string> addresses = sim.ListenAddresses();
    if (!addresses.empty()) std::printf("kivsim: %s\n", DescribeListening(addresses).c_str());
    std::fflush(stdout);
}

// With --http: the frames go to the console too (and to the capture file
// when there is one), and the console starts; false when it cannot listen.
bool StartConsole(kivsim::Simulator& sim, const kivsim::Settings& settings, kivtools::CaptureWriter& capture,
                  kivsim::ConsoleFrames& frames, kivsim::ConsoleServer& console) {
    if (settings.http.empty()) return true;
    sim.SetCaptureSink([&capture, &frames](int64_t us, uint8_t direction, const uint8_t* bytes, size_t count) {
        capture.Write(us, direction, bytes, count);
        frames.Add(us, direction, bytes, count);
    });
    std::string why;
    if (!console.Start(settings.http, &why)) {
        std::fprintf(stderr, "kivsim: --http %s: %s\n", settings.http.c_str(), why.c_str());
        return false;
    }
    std::printf("kivsim: console %s%s\n", console.Url().c_str(),
                console.LoopbackOnly() ? " (this machine only)"
                                       : " (open to other machines: whoever reaches it reads and changes the units, "
                                         "without authentication)");
    std::fflush(stdout);
    return true;
}

// Runs the scenario's lines; false when one went wrong (what followed
// relied on it).
bool RunScenario(kivsim::Simulator& sim, const kivsim::Settings& settings, const std::vector<std::string>& scenario,
                 const Deadline& deadline) {
    for (size_t i = 0; i < scenario.size() && !Finished(sim, deadline); ++i) {
        std::string result = sim.Execute(scenario[i]);
        if (result.compare(0, 7, "error: ") == 0) {
            std::fprintf(stderr, "kivsim: %s:%zu: %s", settings.scenario.c_str(), i + 1, result.substr(7).c_str());
            return false;
        }
        Show(result);
    }
    return true;
}

// Runs the commands from standard input until kivsim is to stop.
void ServeInput(kivsim::Simulator& sim, bool readStdin, const Deadline& deadline) {
    bool stdinOpen = readStdin;
    kivsim::CommandFeed commands;
    while (!Finished(sim, deadline)) {
        if (!stdinOpen) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        if (!ReadInput(commands)) {
            // End of input: at a terminal that means stop, from a pipe or a
            // file it only ends the commands.
            if (InputIsTerminal()) break;
            stdinOpen = false;
            continue;
        }
        std::string line;
        bool tooLong = false;
        while (commands.Next(&line, &tooLong)) {
            if (tooLong) {
                std::fprintf(stderr, "kivsim: a command line longer than %zu characters, dropped\n",
                             kivsim::kCommandLineMax);
            } else {
                Show(sim.Execute(line));
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    kivsim::Settings settings;
    int exitCode = kivsim::ParseArguments(argc, argv, &settings);
    if (exitCode >= 0) return exitCode;

    kivtools::CaptureWriter capture;  // outlives the simulator, which writes into it
    kivtools::TraceQueue trace;       // the same
    kivsim::ConsoleFrames frames;     // the same
    kivsim::Simulator sim(settings.options);
    kivsim::ConsoleServer console(sim, frames);  // stops before the simulator goes
    exitCode = SetUp(sim, settings);
    if (exitCode >= 0) return exitCode;
    std::vector<std::string> scenario;
    if (!LoadScenario(settings.scenario, &scenario) || !OpenRecords(sim, settings, trace, capture)) return 2;
    CatchSignals();
    if (!sim.Start()) {
        std::fprintf(stderr, "kivsim: %s\n", sim.Error().c_str());
        return 1;
    }
    Announce(sim, settings);
    if (!StartConsole(sim, settings, capture, frames, console)) {
        sim.Stop();
        return 1;
    }
    const Deadline deadline{settings.durationS > 0,
                            std::chrono::steady_clock::now() + std::chrono::seconds(settings.durationS)};
    if (!RunScenario(sim, settings, scenario, deadline)) {
        sim.Stop();
        return 2;
    }
    ServeInput(sim, !settings.noStdin, deadline);
    console.Stop();
    sim.Stop();
    trace.Finish();
    if (!settings.quiet) std::fputs(kivsim::FormatStats(sim.GetStats()).c_str(), stdout);
    return 0;
}
