// kivsim: plays DPC3000 units on a serial line or a pseudo-terminal.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tools/kivsim/kivsim.h"

namespace {

const char kUsage[] =
    "kivsim: DPC3000 units on one serial line, for commissioning without hardware and for tests.\n"
    "\n"
    "usage: kivsim [options]\n"
    "\n"
    "The line:\n"
    "  --device PATH        serve this serial device; without it kivsim creates a pseudo-terminal\n"
    "                       pair and prints the path the driver should open (e.g. /dev/pts/7)\n"
    "  --baud N             line speed of --device (default 9600)\n"
    "  --link PATH          also make PATH a symbolic link to the line (e.g. a wine COM port)\n"
    "  --path-file FILE     write the line's path into FILE once it is open\n"
    "  --pace-baud N        every byte takes 10 bits at N baud, both ways (default: full speed)\n"
    "\n"
    "The units:\n"
    "  --station S[:HOST]   play station S (0-65535), reporting to host address HOST (default 0);\n"
    "                       repeat for several units on the line (default: station 1)\n"
    "  --map [S:]FILE       load a register map into station S (default: into every station);\n"
    "                       lines \"register value\", decimal or 0x hex, # starts a comment\n"
    "  --exception S|all    report-by-exception on: a unit sends a notice when events wait\n"
    "  --ask-time MS        units in exception mode ask for the time every MS (class bit 3)\n"
    "  --notice-retry MS    send an unacknowledged notice again after MS (default 3000)\n"
    "  --notice-gap MS      after an acknowledgement wait at least MS before the next notice (200)\n"
    "  --idle-gap MS        the line must be quiet MS before a unit speaks unasked (default 20)\n"
    "  --lenient            answer requests whatever their control byte (default: a request whose\n"
    "                       DIR, PRM, FCV or function code is wrong gets no answer)\n"
    "  --plant              run the demo plant on every station: register 100 counts each second,\n"
    "                       101 ramps 0..1000 (changes and logged events), 102 follows a sine\n"
    "                       (logged events), status points 10 and 11 toggle every 5 and 7 s\n"
    "\n"
    "Faults (committed in answers to requests; seeded, so a run can be repeated):\n"
    "  --seed N             seed of the fault generator (default: from the clock, printed at start)\n"
    "  --fault KIND=P       every answer commits KIND with probability P (repeatable)\n"
    "  --fault KIND[:N]     the next N answers commit KIND (default 1)\n"
    "  --delay-ms MS        how late the delay fault answers (default 1500)\n"
    "  kinds: drop (no answer), crc (a CRC bit flipped), delay (answer late), source (wrong source\n"
    "  station), destination (wrong host address), notice (a notice in place of the answer),\n"
    "  notice-first (a notice, then the answer), garbage (random bytes instead), truncate (the\n"
    "  answer cut short), more (a fetch answer's more flag set though nothing waits)\n"
    "\n"
    "Control:\n"
    "  --scenario FILE      run the commands in FILE after the start (one a line, # comments)\n"
    "  --no-stdin           read no commands from standard input\n"
    "  --duration S         stop after S seconds (default: run until quit, Ctrl-C or SIGTERM)\n"
    "  --trace              print every frame both ways on standard error: time, RX (to the\n"
    "                       units) or TX (from them), hex bytes, decoded header and a note\n"
    "  --trace-file FILE    write the trace into FILE instead\n"
    "  --quiet              no banner and no statistics at the end\n"
    "  --help               this text\n"
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

volatile std::sig_atomic_t gSignalled = 0;

void OnSignal(int) {
    gSignalled = 1;
}

bool ParseInt(const char* text, long long low, long long high, long long* value) {
    char* end = nullptr;
    long long v = std::strtoll(text, &end, 0);
    if (!*text || *end || v < low || v > high) return false;
    *value = v;
    return true;
}

struct Settings {
    kivsim::Options options;
    std::vector<std::pair<uint16_t, uint16_t>> stations;
    std::vector<std::pair<int, std::string>> maps;  // station (-1: all), file
    std::vector<std::string> exception;             // station numbers or "all"
    std::vector<std::string> faultCommands;         // as control commands
    std::string pathFile;
    std::string scenario;
    std::string traceFile;
    bool seedGiven = false;
    bool plant = false;
    bool readStdin = true;
    bool trace = false;
    bool quiet = false;
    long long durationS = 0;
};

// Parses the command line; returns -1 to go on, else an exit code.
int ParseArguments(int argc, char** argv, Settings* s) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const char** out) {
            if (i + 1 >= argc) return false;
            *out = argv[++i];
            return true;
        };
        const char* v = nullptr;
        long long n = 0;
        auto bad = [&](const std::string& why) {
            std::fprintf(stderr, "kivsim: %s (kivsim --help)\n", why.c_str());
            return 2;
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::fputs(kivsim::CommandHelp(), stdout);
            return 0;
        } else if (arg == "--device") {
            if (!value(&v)) return bad("--device needs a path");
            s->options.device = v;
        } else if (arg == "--baud") {
            if (!value(&v) || !ParseInt(v, 1, 4000000, &n)) return bad("--baud needs a rate");
            s->options.baud = int(n);
        } else if (arg == "--link") {
            if (!value(&v)) return bad("--link needs a path");
            s->options.linkPath = v;
        } else if (arg == "--path-file") {
            if (!value(&v)) return bad("--path-file needs a file");
            s->pathFile = v;
        } else if (arg == "--pace-baud") {
            if (!value(&v) || !ParseInt(v, 1, 100000000, &n)) return bad("--pace-baud needs a rate");
            s->options.paceBaud = int(n);
        } else if (arg == "--station") {
            if (!value(&v)) return bad("--station needs S[:HOST]");
            std::string text = v;
            size_t colon = text.find(':');
            long long station = 0, host = 0;
            if (!ParseInt(text.substr(0, colon).c_str(), 0, 65535, &station) ||
                (colon != std::string::npos && !ParseInt(text.substr(colon + 1).c_str(), 0, 65535, &host))) {
                return bad("bad --station " + text);
            }
            s->stations.emplace_back(uint16_t(station), uint16_t(host));
        } else if (arg == "--map") {
            if (!value(&v)) return bad("--map needs [S:]FILE");
            std::string text = v;
            size_t colon = text.find(':');
            long long station = -1;
            if (colon != std::string::npos && ParseInt(text.substr(0, colon).c_str(), 0, 65535, &station)) {
                text = text.substr(colon + 1);
            } else {
                station = -1;
            }
            s->maps.emplace_back(int(station), text);
        } else if (arg == "--exception") {
            if (!value(&v)) return bad("--exception needs S or all");
            s->exception.push_back(v);
        } else if (arg == "--ask-time" || arg == "--notice-retry" || arg == "--notice-gap" || arg == "--idle-gap" ||
                   arg == "--delay-ms") {
            if (!value(&v) || !ParseInt(v, 0, 86400000, &n)) return bad(arg + " needs milliseconds");
            int ms = int(n);
            if (arg == "--ask-time") s->options.askTimeMs = ms;
            if (arg == "--notice-retry") s->options.noticeRetryMs = ms;
            if (arg == "--notice-gap") s->options.noticeGapMs = ms;
            if (arg == "--idle-gap") s->options.idleGapMs = ms;
            if (arg == "--delay-ms") s->options.delayMs = ms;
        } else if (arg == "--lenient") {
            s->options.strict = false;
        } else if (arg == "--plant") {
            s->plant = true;
        } else if (arg == "--seed") {
            if (!value(&v) || !ParseInt(v, 0, INT64_MAX, &n)) return bad("--seed needs a number");
            s->options.seed = uint64_t(n);
            s->seedGiven = true;
        } else if (arg == "--fault") {
            if (!value(&v)) return bad("--fault needs KIND=P or KIND[:N]");
            std::string text = v;
            size_t colon = text.find(':');
            std::string command = "fault " + text.substr(0, colon);
            if (colon != std::string::npos) command += " " + text.substr(colon + 1);
            s->faultCommands.push_back(command);
        } else if (arg == "--scenario") {
            if (!value(&v)) return bad("--scenario needs a file");
            s->scenario = v;
        } else if (arg == "--no-stdin") {
            s->readStdin = false;
        } else if (arg == "--duration") {
            if (!value(&v) || !ParseInt(v, 1, 100000000, &n)) return bad("--duration needs seconds");
            s->durationS = n;
        } else if (arg == "--trace") {
            s->trace = true;
        } else if (arg == "--trace-file") {
            if (!value(&v)) return bad("--trace-file needs a file");
            s->traceFile = v;
            s->trace = true;
        } else if (arg == "--quiet") {
            s->quiet = true;
        } else {
            return bad("unknown option " + arg);
        }
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

bool Finished(kivsim::Simulator& sim, std::chrono::steady_clock::time_point end, bool timed) {
    return gSignalled || sim.QuitRequested() || (timed && std::chrono::steady_clock::now() >= end);
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    int exitCode = ParseArguments(argc, argv, &settings);
    if (exitCode >= 0) return exitCode;

    kivsim::Simulator sim(settings.options);
    for (auto& station : settings.stations) {
        if (!sim.AddStation(station.first, station.second)) {
            std::fprintf(stderr, "kivsim: station %u given twice\n", station.first);
            return 2;
        }
    }
    std::vector<std::string> setup;
    for (auto& map : settings.maps) {
        setup.push_back("load " + (map.first < 0 ? std::string("all") : std::to_string(map.first)) + " " + map.second);
    }
    for (auto& which : settings.exception) setup.push_back("exception " + which + " on");
    for (auto& command : settings.faultCommands) setup.push_back(command);
    if (settings.plant) {
        for (auto& station : settings.stations) setup.push_back("plant " + std::to_string(station.first) + " demo");
        setup.push_back("plant on");
    }
    for (const std::string& command : setup) {
        std::string result = sim.Execute(command);
        if (result.compare(0, 7, "error: ") == 0) {
            Show(result);
            return 2;
        }
    }

    std::unique_ptr<std::ofstream> traceFile;
    if (settings.trace) {
        if (!settings.traceFile.empty()) {
            traceFile.reset(new std::ofstream(settings.traceFile, std::ios::app));
            if (!*traceFile) {
                std::fprintf(stderr, "kivsim: cannot write %s\n", settings.traceFile.c_str());
                return 2;
            }
            std::ofstream* file = traceFile.get();
            sim.SetTraceSink([file](const std::string& line) { *file << line << std::endl; });
        } else {
            sim.SetTraceSink([](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
        }
    }

    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    if (!sim.Start()) {
        std::fprintf(stderr, "kivsim: %s\n", sim.Error().c_str());
        return 1;
    }
    if (settings.options.device.empty() && sim.LinePath().size() > 11 && settings.options.linkPath.empty()) {
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
        std::fflush(stdout);
    }

    const bool timed = settings.durationS > 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(settings.durationS);
    if (!settings.scenario.empty()) {
        std::ifstream in(settings.scenario);
        if (!in) {
            std::fprintf(stderr, "kivsim: cannot read %s\n", settings.scenario.c_str());
        }
        std::string line;
        for (int number = 1; in && std::getline(in, line) && !Finished(sim, end, timed); ++number) {
            std::string result = sim.Execute(line);
            if (result.compare(0, 7, "error: ") == 0) {
                result = "error: " + settings.scenario + ":" + std::to_string(number) + ": " + result.substr(7);
            }
            Show(result);
        }
    }

    bool stdinOpen = settings.readStdin;
    std::string pending;
    while (!Finished(sim, end, timed)) {
        if (!stdinOpen) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
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
        pending.append(buffer, size_t(n));
        for (size_t newline; (newline = pending.find('\n')) != std::string::npos;) {
            Show(sim.Execute(pending.substr(0, newline)));
            pending.erase(0, newline + 1);
        }
    }
    sim.Stop();
    if (!settings.quiet) std::fputs(kivsim::FormatStats(sim.GetStats()).c_str(), stdout);
    return 0;
}
