// kivsim: plays DPC3000 units on a serial line or a pseudo-terminal.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
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
#include "tools/common/cli.h"
#include "tools/common/time_text.h"
#include "tools/common/trace_queue.h"
#include "tools/kivsim/kivsim.h"

namespace {

const char kDescription[] =
    "kivsim: DPC3000 units on one serial line, for commissioning without hardware and for tests.\n";

const char kFooter[] =
    "Fault kinds: drop (no answer), crc (a CRC bit flipped), delay (answer late), source (wrong\n"
    "source station), destination (wrong host address), notice (a notice in place of the answer),\n"
    "notice-first (a notice, then the answer), garbage (random bytes instead), truncate (the\n"
    "answer cut short), more (a fetch answer's more flag set though nothing waits), late (the\n"
    "answer after --late-ms), repeat (the answer twice), split (the answer in two parts), noise\n"
    "(stray bytes before the answer; with noise=P also before notices). Faults are\n"
    "committed in answers to requests; seeded, so a run can be repeated.\n"
    "\n"
    "How the units behave:\n"
    "  A unit answers only frames whose destination is its station, with its station as source\n"
    "  and the request's source as destination; DIR is set when the destination is at or above\n"
    "  the source. Link resets and writes of registers, bits and the clock get a bare header\n"
    "  (function 0); reads get three bytes echoing register and count, then the values; fetches\n"
    "  a more flag and up to 41, 30 or 20 records. Acknowledgements and the host's replies to a\n"
    "  unit's link reset get no answer. A retried fetch (the same bytes, the same frame-count\n"
    "  bit) gets the same records again; records count as sent only in answers that went out\n"
    "  intact. Time stamps come from the unit's clock: the PC's clock until a clock request.\n"
    "\n"
    "Standard input takes the commands below, one a line. At its end kivsim stops when it is a\n"
    "terminal (Ctrl-D); from a pipe or a file it goes on serving until quit, a signal or\n"
    "--duration. Exit status: 0 after a stop, 1 when the line cannot be opened, 2 for misuse.\n"
    "\n";

#if defined(_WIN32)
// Standard input cannot be polled on Windows: a thread reads it and hands
// the bytes over (and is left in its read when the program ends).
struct InputFeed {
    std::mutex mutex;
    std::string bytes;
    bool ended = false;
};

// What arrived within waitMs (maybe nothing); false at the end of input.
bool TakeInput(std::string* into, int waitMs) {
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
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    std::lock_guard<std::mutex> lock(feed->mutex);
    into->swap(feed->bytes);
    return !into->empty() || !feed->ended;
}
#endif

volatile std::sig_atomic_t gSignalled = 0;

void OnSignal(int) {
    gSignalled = 1;
}

bool ParseInt(const std::string& text, long long low, long long high, long long* value) {
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 0);
    if (text.empty() || *end || v < low || v > high) return false;
    *value = v;
    return true;
}

struct Settings {
    kivsim::Options options;
    std::vector<std::pair<uint16_t, uint16_t>> stations;
    std::vector<std::pair<int, std::string>> maps;  // station (-1: all), file
    std::vector<std::string> exception;             // station numbers or "all"
    std::vector<std::pair<std::string, std::string>> faultCommands;  // (control command, option value)
    std::string pathFile;
    std::string scenario;
    std::string traceFile;
    std::string pcapFile;
    bool seedGiven = false;
    bool plant = false;
    bool readStdin = true;
    bool trace = false;
    bool quiet = false;
    long long durationS = 0;
};

// Parses the command line; returns -1 to go on, else an exit code.
int ParseArguments(int argc, char** argv, Settings* s) {
    CLI::App app(kDescription, "kivsim");
    kivtools::Prepare(app, kFooter + std::string(kivsim::CommandHelp()));
    const char* line = "The line";
    const char* units = "The units";
    const char* faults = "Faults";
    const char* control = "Control";
    std::vector<std::string> stations, maps, faultTexts;
    long long seed = -1;
    kivsim::Options& o = s->options;
    app.add_option("--device", o.device,
                   "serve this serial device; without it kivsim creates a pseudo-terminal pair and prints the "
                   "path the driver should open (e.g. /dev/pts/7)")
        ->type_name("PATH")->group(line);
    app.add_option("--baud", o.baud, "line speed of --device (default 9600)")
        ->type_name("N")->group(line)->check(kivtools::InRange(1, 4000000));
    app.add_option("--link", o.linkPath, "also make PATH a symbolic link to the line (e.g. a wine COM port)")
        ->type_name("PATH")->group(line);
    app.add_option("--path-file", s->pathFile, "write the line's path into FILE once it is open")
        ->type_name("FILE")->group(line);
    app.add_option("--pace-baud", o.paceBaud, "every byte takes 10 bits at N baud, both ways (default: full speed)")
        ->type_name("N")->group(line)->check(kivtools::InRange(1, 100000000));
    std::string listenTcp, listenRfc2217;
    app.add_option("--listen-tcp", listenTcp,
                   "serve the line over raw TCP on PORT (0: any free one), one client at a time, instead "
                   "of a pseudo-terminal; on this machine's loopback (127.0.0.1 and ::1) unless ADDRESS is "
                   "given: 0.0.0.0 or [::] serves other machines too, and then whoever reaches the port drives "
                   "the units and sees the traffic, without any authentication")
        ->type_name("[ADDRESS:]PORT")->group(line);
    app.add_option("--listen-rfc2217", listenRfc2217,
                   "serve the line as an RFC 2217 device server (settings and modem lines) on PORT; on the "
                   "loopback unless ADDRESS is given, as --listen-tcp")
        ->type_name("[ADDRESS:]PORT")->group(line);
    app.add_flag("--radio", o.radio.on,
                 "with --listen-rfc2217: a half-duplex radio between host and units, keyed by the host's RTS; "
                 "units answer when it drops, the host sees carrier detect while a unit transmits")
        ->group(line);
    app.add_option("--radio-keyup", o.radio.keyUpMs,
                   "a transmitter passes nothing until MS after keying; the host's bytes before that are lost "
                   "(default 150)")
        ->type_name("MS")->group(line)->check(kivtools::InRange(0, 60000));
    app.add_option("--radio-tail", o.radio.tailMs, "the carrier stays up MS after a unit's last byte (default 100)")
        ->type_name("MS")->group(line)->check(kivtools::InRange(0, 60000));
    app.add_option("--station", stations,
                   "play station S (0-65535), reporting to host address HOST (default 0); repeat for several "
                   "units on the line (default: station 1)")
        ->type_name("S[:HOST]")->group(units)->allow_extra_args(false);
    app.add_option("--map", maps,
                   "load a register map into station S (default: into every station); lines \"register value\", "
                   "decimal or 0x hex, # starts a comment")
        ->type_name("[S:]FILE")->group(units)->allow_extra_args(false);
    app.add_option("--exception", s->exception, "report-by-exception on: a unit sends a notice when events wait")
        ->type_name("S|all")->group(units)->allow_extra_args(false);
    app.add_option("--ask-time", o.askTimeMs, "units in exception mode ask for the time every MS (class bit 3)")
        ->type_name("MS")->group(units)->check(kivtools::InRange(0, 86400000));
    app.add_option("--notice-retry", o.noticeRetryMs, "send an unacknowledged notice again after MS (default 3000)")
        ->type_name("MS")->group(units)->check(kivtools::InRange(0, 86400000));
    app.add_option("--notice-gap", o.noticeGapMs,
                   "after an acknowledgement wait at least MS before the next notice (200)")
        ->type_name("MS")->group(units)->check(kivtools::InRange(0, 86400000));
    app.add_option("--idle-gap", o.idleGapMs, "the line must be quiet MS before a unit speaks unasked (default 20)")
        ->type_name("MS")->group(units)->check(kivtools::InRange(0, 86400000));
    bool lenient = false;
    app.add_flag("--lenient", lenient,
                 "answer requests whatever their control byte (default: a request whose DIR, PRM, FCV or "
                 "function code is wrong gets no answer)")
        ->group(units);
    app.add_flag("--plant", s->plant,
                 "run the demo plant on every station: register 100 counts each second, 101 ramps 0..1000 "
                 "(changes and logged events), 102 follows a sine (logged events), status points 10 and 11 "
                 "toggle every 5 and 7 s")
        ->group(units);
    app.add_option("--seed", seed, "seed of the fault generator (default: from the clock, printed at start)")
        ->type_name("N")->group(faults)->check(kivtools::InRange(0, INT64_MAX));
    app.add_option("--fault", faultTexts,
                   "KIND=P: every answer commits KIND with probability P; KIND[:N]: the next N answers commit "
                   "KIND (default 1); repeatable")
        ->type_name("KIND=P|KIND[:N]")->group(faults)->allow_extra_args(false);
    app.add_option("--delay-ms", o.delayMs, "how late the delay fault answers (default 1500)")
        ->type_name("MS")->group(faults)->check(kivtools::InRange(0, 86400000));
    app.add_option("--late-ms", o.lateMs, "how late the late fault answers (default 500)")
        ->type_name("MS")->group(faults)->check(kivtools::InRange(0, 86400000));
    app.add_option("--repeat-ms", o.repeatGapMs, "the repeat fault's pause before the copy (default 15)")
        ->type_name("MS")->group(faults)->check(kivtools::InRange(0, 86400000));
    app.add_option("--split-ms", o.splitGapMs, "the split fault's pause inside the answer (default 200)")
        ->type_name("MS")->group(faults)->check(kivtools::InRange(0, 86400000));
    app.add_option("--scenario", s->scenario, "run the commands in FILE after the start (one a line, # comments)")
        ->type_name("FILE")->group(control);
    bool noStdin = false;
    app.add_flag("--no-stdin", noStdin, "read no commands from standard input")->group(control);
    app.add_option("--duration", s->durationS, "stop after S seconds (default: run until quit, Ctrl-C or SIGTERM)")
        ->type_name("S")->group(control)->check(kivtools::InRange(1, 100000000));
    app.add_flag("--trace", s->trace,
                 "print every frame both ways on standard error: time, RX (to the units) or TX (from them), hex "
                 "bytes, decoded header and a note")
        ->group(control);
    app.add_option("--trace-file", s->traceFile, "write the trace into FILE instead")
        ->type_name("FILE")->group(control);
    app.add_option("--pcap", s->pcapFile,
                   "write every frame both ways into FILE, a pcap capture (docs/capture.md); kivpoll --decode "
                   "prints it")
        ->type_name("FILE")->group(control);
    bool utc = false;
    app.add_flag("--utc", utc, "trace times in UTC (Z) rather than local time with its offset")->group(control);
    app.add_flag("--quiet", s->quiet, "no banner and no statistics at the end")->group(control);

    int parsed = kivtools::Parse(app, argc, argv, "kivsim", 2);
    if (parsed >= 0) return parsed;
    auto bad = [&](const std::string& why) {
        std::fprintf(stderr, "kivsim: %s\n(kivsim --help tells more)\n", why.c_str());
        return 2;
    };
    for (const auto& listen : {std::make_pair(&listenTcp, NetLineTcp), std::make_pair(&listenRfc2217, NetLineRfc2217)}) {
        const std::string& text = *listen.first;
        if (text.empty()) continue;
        if (o.listenKind != NetLineNone) return bad("give one of --listen-tcp and --listen-rfc2217");
        size_t colon = text.rfind(':');
        long long port = 0;
        if (!ParseInt(text.substr(colon == std::string::npos ? 0 : colon + 1), 0, 65535, &port)) {
            return bad("bad port in " + text);
        }
        o.listenKind = listen.second;
        o.listenPort = int(port);
        if (colon != std::string::npos) {
            o.listenAddress = text.substr(0, colon);
            if (o.listenAddress.size() > 2 && o.listenAddress.front() == '[' && o.listenAddress.back() == ']') {
                o.listenAddress = o.listenAddress.substr(1, o.listenAddress.size() - 2);
            }
        }
    }
    if (o.radio.on && o.listenKind != NetLineRfc2217) return bad("--radio needs --listen-rfc2217");
    if (o.listenKind != NetLineNone && !o.device.empty()) return bad("--device and --listen-* exclude each other");
    for (const std::string& text : stations) {
        size_t colon = text.find(':');
        long long station = 0, host = 0;
        if (!ParseInt(text.substr(0, colon), 0, 65535, &station) ||
            (colon != std::string::npos && !ParseInt(text.substr(colon + 1), 0, 65535, &host))) {
            return bad("--station " + text + ": S and HOST are numbers from 0 to 65535");
        }
        s->stations.emplace_back(uint16_t(station), uint16_t(host));
    }
    for (std::string text : maps) {
        size_t colon = text.find(':');
        long long station = -1;
        if (colon != std::string::npos && ParseInt(text.substr(0, colon), 0, 65535, &station)) {
            text = text.substr(colon + 1);
        } else {
            station = -1;
        }
        s->maps.emplace_back(int(station), text);
    }
    for (const std::string& text : faultTexts) {
        size_t colon = text.find(':');
        std::string command = "fault " + text.substr(0, colon);
        if (colon != std::string::npos) command += " " + text.substr(colon + 1);
        s->faultCommands.emplace_back(command, text);
    }
    if (lenient) o.strict = false;
    kivtools::UseUtc(utc);
    if (noStdin) s->readStdin = false;
    if (!s->traceFile.empty()) s->trace = true;
    if (seed >= 0) {
        o.seed = uint64_t(seed);
        s->seedGiven = true;
    }
    if (s->stations.empty()) s->stations.emplace_back(1, 0);
    if (!s->seedGiven) {
        s->options.seed = uint64_t(std::chrono::system_clock::now().time_since_epoch().count()) % 1000000007u;
    }
    return -1;
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

bool Finished(kivsim::Simulator& sim, std::chrono::steady_clock::time_point end, bool timed) {
    return gSignalled || sim.QuitRequested() || (timed && std::chrono::steady_clock::now() >= end);
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    int exitCode = ParseArguments(argc, argv, &settings);
    if (exitCode >= 0) return exitCode;

    kivtools::CaptureWriter capture;  // outlives the simulator, which writes into it
    kivtools::TraceQueue trace;       // the same
    kivsim::Simulator sim(settings.options);
    for (auto& station : settings.stations) {
        if (!sim.AddStation(station.first, station.second)) {
            std::fprintf(stderr, "kivsim: station %u given twice\n", station.first);
            return 2;
        }
    }
    // Options that are control commands underneath: (option as given, command).
    std::vector<std::pair<std::string, std::string>> setup;
    for (auto& map : settings.maps) {
        setup.emplace_back("--map " + map.second,
                           "load " + (map.first < 0 ? std::string("all") : std::to_string(map.first)) + " " +
                               map.second);
    }
    for (auto& which : settings.exception) setup.emplace_back("--exception " + which, "exception " + which + " on");
    for (auto& command : settings.faultCommands) setup.emplace_back("--fault " + command.second, command.first);
    if (settings.plant) {
        for (auto& station : settings.stations)
            setup.emplace_back("--plant", "plant " + std::to_string(station.first) + " demo");
        setup.emplace_back("--plant", "plant on");
    }
    for (const auto& command : setup) {
        std::string result = sim.Execute(command.second);
        if (result.compare(0, 7, "error: ") == 0) {
            std::fprintf(stderr, "kivsim: %s: %s(kivsim --help tells more)\n", command.first.c_str(),
                         result.substr(7).c_str());
            return 2;
        }
    }

    // A scenario is read whole before the start: a missing file or a line
    // that is no command stops kivsim here, with the file and line.
    std::vector<std::string> scenario;
    if (!settings.scenario.empty()) {
        std::ifstream in(settings.scenario);
        if (!in) {
            std::fprintf(stderr, "kivsim: --scenario %s: %s\n", settings.scenario.c_str(), std::strerror(errno));
            return 2;
        }
        std::string error;
        if (!kivsim::ReadScenario(in, settings.scenario, &scenario, &error)) {
            std::fprintf(stderr, "kivsim: %s\n", error.c_str());
            return 2;
        }
    }

    if (settings.trace) {
        // The trace is written by a thread of its own: a flooded line or an
        // output that does not keep up costs lines, never the service.
        if (settings.traceFile.empty()) {
            trace.OpenStandardError();
        } else {
            std::string error;
            if (!trace.OpenFile(settings.traceFile, &error)) {
                std::fprintf(stderr, "kivsim: %s\n", error.c_str());
                return 2;
            }
        }
        sim.SetTraceSink([&trace](const std::string& line) { trace.Add(line); });
    }

    if (!settings.pcapFile.empty()) {
        std::string error;
        if (!capture.Open(settings.pcapFile, &error)) {
            std::fprintf(stderr, "kivsim: --pcap: %s\n", error.c_str());
            return 2;
        }
        sim.SetCaptureSink([&capture](int64_t us, uint8_t direction, const uint8_t* bytes, size_t count) {
            capture.Write(us, direction, bytes, count);
        });
    }

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

    if (!sim.Start()) {
        std::fprintf(stderr, "kivsim: %s\n", sim.Error().c_str());
        return 1;
    }
    if (settings.options.device.empty() && settings.options.listenKind == NetLineNone &&
        sim.LinePath().size() > 11 && settings.options.linkPath.empty()) {
        std::fprintf(stderr,
                     "kivsim: %s is longer than the 11 characters a channel's port name holds; "
                     "--link with a short path helps\n",
                     sim.LinePath().c_str());
    }
    if (!settings.pathFile.empty()) {
        std::ofstream out(settings.pathFile);
        out << sim.LinePath() << "\n";
    }
    if (!settings.quiet) {
        std::printf("kivsim: line %s\n", sim.LinePath().c_str());
        std::printf("kivsim: stations");
        for (auto& station : settings.stations) std::printf(" %u (host %u)", station.first, station.second);
        std::printf("; fault seed %llu\n", static_cast<unsigned long long>(settings.options.seed));
        const std::vector<std::string> addresses = sim.ListenAddresses();
        if (!addresses.empty()) std::printf("kivsim: %s\n", DescribeListening(addresses).c_str());
        std::fflush(stdout);
    }

    const bool timed = settings.durationS > 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(settings.durationS);
    for (size_t i = 0; i < scenario.size() && !Finished(sim, end, timed); ++i) {
        std::string result = sim.Execute(scenario[i]);
        if (result.compare(0, 7, "error: ") == 0) {
            // A scenario that goes wrong stops: what follows relied on it.
            std::fprintf(stderr, "kivsim: %s:%zu: %s", settings.scenario.c_str(), i + 1, result.substr(7).c_str());
            sim.Stop();
            return 2;
        }
        Show(result);
    }

    bool stdinOpen = settings.readStdin;
    kivsim::CommandFeed commands;
    while (!Finished(sim, end, timed)) {
        if (!stdinOpen) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
#if defined(_WIN32)
        std::string input;
        if (!TakeInput(&input, 100)) {
            if (_isatty(0)) break;  // as below
            stdinOpen = false;
            continue;
        }
        commands.Feed(input.data(), input.size());
#else
        struct pollfd p = {0, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char buffer[1024];
        ssize_t n = ::read(0, buffer, sizeof buffer);
        if (n <= 0) {
            // End of input: at a terminal that means stop, from a pipe or a
            // file it only ends the commands.
            if (isatty(0)) break;
            stdinOpen = false;
            continue;
        }
        commands.Feed(buffer, size_t(n));
#endif
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
    sim.Stop();
    trace.Finish();
    if (!settings.quiet) std::fputs(kivsim::FormatStats(sim.GetStats()).c_str(), stdout);
    return 0;
}
