// kivsim's command line: the options by group, then the checks of what
// CLI11 cannot check itself.
#include "tools/kivsim/arguments.h"

#include <chrono>
#include <cstdio>

#include "tools/common/cli.h"
#include "tools/common/time_text.h"
#include "tools/kivsim/console_http.h"

namespace kivsim {

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
#if defined(_WIN32)
    "console (Ctrl-Z, Enter); from a pipe or a file it goes on serving until quit, Ctrl-C or\n"
#else
    "terminal (Ctrl-D); from a pipe or a file it goes on serving until quit, a signal or\n"
#endif
    "--duration. Exit status: 0 after a stop, 1 when the line cannot be opened, 2 for misuse.\n"
    "\n";

// The line in the platform's terms: Windows has COM ports and no
// pseudo-terminals or links.
#if defined(_WIN32)
const char kDeviceType[] = "COMn";
const char kDeviceHelp[] =
    "serve this COM port (COM2, COM12), joined to the host's port by a null-modem cable or a virtual COM port "
    "pair; required unless kivsim serves the line over the network (--listen-tcp)";
const char kLinkHelp[] = "(Linux only) also make PATH a symbolic link to the line";
const char kListenInstead[] = "instead of a COM port";
#else
const char kDeviceType[] = "PATH";
const char kDeviceHelp[] =
    "serve this serial device; without it kivsim creates a pseudo-terminal pair and prints the path the driver "
    "should open (e.g. /dev/pts/7)";
const char kLinkHelp[] = "also make PATH a symbolic link to the line (e.g. a wine COM port)";
const char kListenInstead[] = "instead of a pseudo-terminal";
#endif

// A whole-number option whose range its help states.
struct NumberOption {
    const char* name;
    int* value;
    const char* type;
    const char* help;
    long long low, high;
};

void AddNumbers(CLI::App& app, std::initializer_list<NumberOption> options) {
    for (const NumberOption& n : options) {
        app.add_option(n.name, *n.value, n.help)->type_name(n.type)->check(kivtools::InRange(n.low, n.high));
    }
}

// A text option, or a repeatable one, each use taking one value.
template <typename T>
void AddText(CLI::App& app, const char* name, T& value, const char* type, const std::string& help) {
    app.add_option(name, value, help)->type_name(type)->allow_extra_args(false);
}

void AddLineOptions(CLI::App& app, Settings* s) {
    app.option_defaults()->group("The line");
    Options& o = s->options;
    AddText(app, "--device", o.device, kDeviceType, kDeviceHelp);
    AddNumbers(app, {{"--baud", &o.baud, "N", "line speed of --device (default 9600)", 1, 4000000}});
    AddText(app, "--link", o.linkPath, "PATH", kLinkHelp);
    AddText(app, "--path-file", s->pathFile, "FILE", "write the line's path into FILE once it is open");
    AddNumbers(app, {{"--pace-baud", &o.paceBaud, "N",
                      "every byte takes 10 bits at N baud, both ways (default: full speed)", 1, 100000000}});
    AddText(app, "--listen-tcp", s->listenTcp, "[ADDRESS:]PORT",
            "serve the line over raw TCP on PORT (0: any free one), one client at a time, " +
                std::string(kListenInstead) +
                "; on this machine's loopback (127.0.0.1 and ::1) unless ADDRESS is given: 0.0.0.0 or "
            "[::] serves other machines too, and then whoever reaches the port drives the units and sees the "
            "traffic, without any authentication");
    AddText(app, "--listen-rfc2217", s->listenRfc2217, "[ADDRESS:]PORT",
            "serve the line as an RFC 2217 device server (settings and modem lines) on PORT; on the loopback "
            "unless ADDRESS is given, as --listen-tcp");
    app.add_flag("--radio", o.radio.on,
                 "with --listen-rfc2217: a half-duplex radio between host and units, keyed by the host's RTS; "
                 "units answer when it drops, the host sees carrier detect while a unit transmits");
    AddNumbers(app, {{"--radio-keyup", &o.radio.keyUpMs, "MS",
                      "a transmitter passes nothing until MS after keying; the host's bytes before that are lost "
                      "(default 150)",
                      0, 60000},
                     {"--radio-tail", &o.radio.tailMs, "MS",
                      "the carrier stays up MS after a unit's last byte (default 100)", 0, 60000}});
}

void AddUnitOptions(CLI::App& app, Settings* s) {
    app.option_defaults()->group("The units");
    Options& o = s->options;
    AddText(app, "--station", s->stationTexts, "S[:HOST]",
            "play station S (0-65535), reporting to host address HOST (default 0); repeat for several units on "
            "the line (default: station 1)");
    AddText(app, "--map", s->mapTexts, "[S:]FILE",
            "load a register map into station S (default: into every station); lines \"register value [name]\", "
            "decimal or 0x hex, # starts a comment; the names are for kivpoll --names");
    AddText(app, "--exception", s->exceptionTexts, "S|all",
            "report-by-exception on: a unit sends a notice when events wait");
    AddNumbers(app, {{"--ask-time", &o.askTimeMs, "MS",
                      "units in exception mode ask for the time every MS (class bit 3)", 0, 86400000},
                     {"--notice-retry", &o.noticeRetryMs, "MS",
                      "send an unacknowledged notice again after MS (default 3000)", 0, 86400000},
                     {"--notice-gap", &o.noticeGapMs, "MS",
                      "after an acknowledgement wait at least MS before the next notice (200)", 0, 86400000},
                     {"--idle-gap", &o.idleGapMs, "MS",
                      "the line must be quiet MS before a unit speaks unasked (default 20)", 0, 86400000}});
    app.add_flag("--lenient", s->lenient,
                 "answer requests whatever their control byte (default: a request whose DIR, PRM, FCV or "
                 "function code is wrong gets no answer)");
    app.add_flag("--plant", s->plant,
                 "run the demo plant on every station: register 100 counts each second, 101 ramps 0..1000 "
                 "(changes and logged events), 102 follows a sine (logged events), status points 10 and 11 "
                 "toggle every 5 and 7 s");
}

void AddFaultOptions(CLI::App& app, Settings* s) {
    app.option_defaults()->group("Faults");
    Options& o = s->options;
    app.add_option("--seed", s->seed, "seed of the fault generator (default: from the clock, printed at start)")
        ->type_name("N")->check(kivtools::InRange(0, INT64_MAX));
    AddText(app, "--fault", s->faultTexts, "KIND=P|KIND[:N]",
            "KIND=P: every answer commits KIND with probability P; KIND[:N]: the next N answers commit KIND "
            "(default 1); repeatable");
    AddNumbers(app, {{"--delay-ms", &o.delayMs, "MS", "how late the delay fault answers (default 1500)", 0, 86400000},
                     {"--late-ms", &o.lateMs, "MS", "how late the late fault answers (default 500)", 0, 86400000},
                     {"--repeat-ms", &o.repeatGapMs, "MS", "the repeat fault's pause before the copy (default 15)", 0,
                      86400000},
                     {"--split-ms", &o.splitGapMs, "MS", "the split fault's pause inside the answer (default 200)", 0,
                      86400000}});
}

void AddControlOptions(CLI::App& app, Settings* s) {
    app.option_defaults()->group("Control");
    AddText(app, "--scenario", s->scenario, "FILE",
            "run the commands in FILE after the start (one a line, # comments)");
    app.add_flag("--no-stdin", s->noStdin, "read no commands from standard input");
    app.add_option("--duration", s->durationS, "stop after S seconds (default: run until quit, Ctrl-C or SIGTERM)")
        ->type_name("S")->check(kivtools::InRange(1, 100000000));
    app.add_flag("--trace", s->trace,
                 "print every frame both ways on standard error: time, RX (to the units) or TX (from them), hex "
                 "bytes, decoded header and a note");
    AddText(app, "--trace-file", s->traceFile, "FILE", "write the trace into FILE instead");
    AddText(app, "--pcap", s->pcapFile, "FILE",
            "write every frame both ways into FILE, a pcap capture (docs/capture.md); kivpoll --decode prints it");
    app.add_flag("--utc", s->utc, "trace times in UTC (Z) rather than local time with its offset");
    app.add_flag("--quiet", s->quiet, "no banner and no statistics at the end");
}

// --listen-tcp or --listen-rfc2217, "[ADDRESS:]PORT"; "" or why not.
std::string TakeListen(Settings* s) {
    Options& o = s->options;
    for (const auto& listen :
         {std::make_pair(&s->listenTcp, NetLineTcp), std::make_pair(&s->listenRfc2217, NetLineRfc2217)}) {
        const std::string& text = *listen.first;
        if (text.empty()) continue;
        if (o.listenKind != NetLineNone) return "give one of --listen-tcp and --listen-rfc2217";
        const size_t colon = text.rfind(':');
        int64_t port = 0;
        if (!ParseNumber(text.substr(colon == std::string::npos ? 0 : colon + 1), 0, 65535, &port)) {
            return "bad port in " + text;
        }
        o.listenKind = listen.second;
        o.listenPort = int(port);
        if (colon == std::string::npos) continue;
        o.listenAddress = text.substr(0, colon);
        if (o.listenAddress.size() > 2 && o.listenAddress.front() == '[' && o.listenAddress.back() == ']') {
            o.listenAddress = o.listenAddress.substr(1, o.listenAddress.size() - 2);
        }
    }
    if (o.radio.on && o.listenKind != NetLineRfc2217) return "--radio needs --listen-rfc2217";
    if (o.listenKind != NetLineNone && !o.device.empty()) return "--device and --listen-* exclude each other";
#if defined(_WIN32)
    if (o.listenKind == NetLineNone && o.device.empty())
        return "give the COM port to serve (--device COM2) or a network port (--listen-tcp 7000): Windows has no "
               "pseudo-terminals";
#endif
    return "";
}

// The stations and the setup commands; "" or why not.
std::string TakeUnits(Settings* s) {
    for (const std::string& text : s->stationTexts) {
        const size_t colon = text.find(':');
        int64_t station = 0, host = 0;
        if (!ParseNumber(text.substr(0, colon), 0, 65535, &station) ||
            (colon != std::string::npos && !ParseNumber(text.substr(colon + 1), 0, 65535, &host))) {
            return "--station " + text + ": S and HOST are numbers from 0 to 65535";
        }
        s->stations.emplace_back(uint16_t(station), uint16_t(host));
    }
    if (s->stations.empty()) s->stations.emplace_back(1, 0);
    for (const std::string& text : s->mapTexts) {
        const size_t colon = text.find(':');
        int64_t station = -1;
        const bool named = colon != std::string::npos && ParseNumber(text.substr(0, colon), 0, 65535, &station);
        const std::string file = named ? text.substr(colon + 1) : text;
        s->setup.emplace_back("--map " + file, "load " + (named ? std::to_string(station) : "all") + " " + file);
    }
    for (auto& which : s->exceptionTexts) s->setup.emplace_back("--exception " + which, "exception " + which + " on");
    for (const std::string& text : s->faultTexts) {
        const size_t colon = text.find(':');
        std::string command = "fault " + text.substr(0, colon);
        if (colon != std::string::npos) command += " " + text.substr(colon + 1);
        s->setup.emplace_back("--fault " + text, command);
    }
    if (!s->plant) return "";
    for (auto& station : s->stations) {
        s->setup.emplace_back("--plant", "plant " + std::to_string(station.first) + " demo");
    }
    s->setup.emplace_back("--plant", "plant on");
    return "";
}

}  // namespace

int ParseArguments(int argc, char** argv, Settings* s) {
    CLI::App app(kDescription, "kivsim");
    kivtools::Prepare(app, kFooter + std::string(CommandHelp()));
    AddLineOptions(app, s);
    AddUnitOptions(app, s);
    AddFaultOptions(app, s);
    AddControlOptions(app, s);
    AddConsoleOption(app, s);
    const int parsed = kivtools::Parse(app, argc, argv, "kivsim", 2);
    if (parsed >= 0) return parsed;
    std::string why = TakeListen(s);
    if (why.empty()) why = TakeUnits(s);
    if (!why.empty()) {
        std::fprintf(stderr, "kivsim: %s\n(kivsim --help tells more)\n", why.c_str());
        return 2;
    }
    Options& o = s->options;
    if (s->lenient) o.strict = false;
    kivtools::UseUtc(s->utc);
    if (!s->traceFile.empty()) s->trace = true;
    o.seed = s->seed >= 0 ? uint64_t(s->seed)
                          : uint64_t(std::chrono::system_clock::now().time_since_epoch().count()) % 1000000007u;
    return -1;
}

}  // namespace kivsim
