// kivpoll: poll, write and listen from the command line. Loads the driver as
// the SCADA host does, with the runtime stand-in as its host, writes the
// channel's configuration file and calls the driver only through KivMain.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <direct.h>
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "kivlink.h"
#include "tavlib/tavlib_control.h"
#include "tools/kivpoll/driver_host.h"
#include "tools/kivpoll/output.h"
#include "tools/kivpoll/session.h"

namespace {

const char kUsage[] =
    "usage: kivpoll [options] ADDRESS...\n"
    "       kivpoll --demo\n"
    "\n"
    "Polls, writes and listens to DPC3000 units through the KIVLINK driver, loaded as the\n"
    "SCADA host loads it. ADDRESS is a gate address in the driver's syntax:\n"
    "  R00120300     register 300 of station 12 (Rssssnnnn)\n"
    "  R0012030005   bit 5 of that register\n"
    "  S00121296     status point 1296 of station 12 (set only by status events)\n"
    "  !R0012 !S0012 !L0012   fetch register changes, status events, logged events\n"
    "  !T0012        set the clock of station 12 from this computer's local time\n"
    "\n"
    "Line and channel:\n"
    "  -p, --port NAME         serial port as the driver names it (default NUL)\n"
    "  -b, --baud N            baud rate (19200)\n"
    "  -d, --data-bits N       data bits (8)\n"
    "  -P, --parity P          none, odd, even, mark, space (none)\n"
    "  -s, --stop-bits S       1, 1.5 or 2 (1)\n"
    "  -t, --timeout MS        read time-out in ms, rounded up to tens (the driver's default, 40)\n"
    "  -a, --host-address N    the driver's own TDE station address (0)\n"
    "  -c, --channel N         channel number, names kivINnn.int (1)\n"
    "      --exception         switch report-by-exception on in the configuration\n"
    "      --radio ON,OFF,DELAY  radio keying by RTS with these times in ms\n"
    "      --config FILE       use this configuration file instead of writing one\n"
    "  -w, --workdir DIR       folder for the configuration file (default: a fresh temporary one)\n"
    "      --driver PATH       the driver library (default: beside kivpoll)\n"
    "\n"
    "Requests:\n"
    "  -C, --count N           read N registers from an R address as one block (1..61)\n"
    "  -W, --write V[,V...]    write values (several: a block from the address on; a bit address: 0 or 1)\n"
    "  -k, --kind N            gate kind for the address check (3; 6 for bit addresses)\n"
    "  -n, --polls N           poll N times, 0 for ever (1)\n"
    "  -i, --interval MS       pause between polls (1000)\n"
    "  -l, --listen SECONDS    keep the channel open with report-by-exception on and print every gate\n"
    "                          update that arrives, for SECONDS (0: until interrupted)\n"
    "\n"
    "Output:\n"
    "      --json              JSON lines instead of a table\n"
    "  -x, --hex               values in hexadecimal\n"
    "      --trace             frame trace on standard error (time, direction, bytes, header)\n"
    "  -q, --quiet             no summary\n"
    "  -h, --help              this text\n"
    "\n"
    "Exit codes: 0 done, 1 refused (invalid address or request, negative answer),\n"
    "2 no answer (or the channel could not be opened), 3 usage or set-up error.\n";

bool ParseInt(const std::string& text, long low, long high, int32_t* value) {
    char* end = nullptr;
    long parsed = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || parsed < low || parsed > high) return false;
    *value = static_cast<int32_t>(parsed);
    return true;
}

bool ParseValues(const std::string& text, std::vector<int32_t>* values) {
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ',')) {
        char* end = nullptr;
        long long parsed = std::strtoll(item.c_str(), &end, 0);
        if (item.empty() || *end != '\0' || parsed < INT32_MIN || parsed > UINT32_MAX) return false;
        values->push_back(static_cast<int32_t>(static_cast<uint32_t>(parsed)));
    }
    return !values->empty();
}

int Usage(const std::string& message) {
    std::fprintf(stderr, "kivpoll: %s\n(kivpoll --help tells more)\n", message.c_str());
    return kivpoll::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    kivpoll::SessionOptions options;
    options.channel.driverPath = kivpoll::DefaultDriverPath(argv[0]);
    options.channel.port = "NUL";
    std::vector<std::string> args(argv + 1, argv + argc);
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= args.size()) return false;
            *out = args[++i];
            return true;
        };
        std::string v;
        int32_t n = 0;
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--demo") {
            options.demo = true;
        } else if (arg == "-p" || arg == "--port") {
            if (!value(&v) || v.empty() || v.size() > 11) return Usage("--port needs a name of 1 to 11 characters");
            options.channel.port = v;
        } else if (arg == "-b" || arg == "--baud") {
            if (!value(&v) || !ParseInt(v, 50, 65535, &n)) return Usage("--baud needs 50 to 65535");
            options.channel.line.baudRate = static_cast<uint16_t>(n);
        } else if (arg == "-d" || arg == "--data-bits") {
            if (!value(&v) || !ParseInt(v, 5, 8, &n)) return Usage("--data-bits needs 5 to 8");
            options.channel.line.dataBits = static_cast<uint16_t>(n);
        } else if (arg == "-P" || arg == "--parity") {
            const char* names[] = {"none", "odd", "even", "mark", "space"};
            if (!value(&v)) return Usage("--parity needs a value");
            auto found = std::find(std::begin(names), std::end(names), v);
            if (found == std::end(names)) return Usage("--parity is none, odd, even, mark or space");
            options.channel.line.parity = static_cast<uint16_t>(found - std::begin(names));
        } else if (arg == "-s" || arg == "--stop-bits") {
            if (!value(&v)) return Usage("--stop-bits needs a value");
            if (v == "1") options.channel.line.stopBits = 0;
            else if (v == "1.5") options.channel.line.stopBits = 1;
            else if (v == "2") options.channel.line.stopBits = 2;
            else return Usage("--stop-bits is 1, 1.5 or 2");
        } else if (arg == "-t" || arg == "--timeout") {
            if (!value(&v) || !ParseInt(v, 1, 600000, &n)) return Usage("--timeout needs milliseconds");
            options.channel.readTimeout = (n + 9) / 10;
        } else if (arg == "-a" || arg == "--host-address") {
            if (!value(&v) || !ParseInt(v, 0, 65535, &n)) return Usage("--host-address needs 0 to 65535");
            options.hostAddress = n;
        } else if (arg == "-c" || arg == "--channel") {
            if (!value(&v) || !ParseInt(v, 0, 99, &n)) return Usage("--channel needs 0 to 99");
            options.channel.channel = n;
        } else if (arg == "--exception") {
            options.exception = true;
        } else if (arg == "--radio") {
            std::vector<int32_t> times;
            if (!value(&v) || !ParseValues(v, &times) || times.size() != 3) return Usage("--radio needs ON,OFF,DELAY");
            options.radio = true;
            options.radioTimes = times;
        } else if (arg == "--config") {
            if (!value(&options.configFile)) return Usage("--config needs a file");
        } else if (arg == "-w" || arg == "--workdir") {
            if (!value(&options.workdir)) return Usage("--workdir needs a folder");
        } else if (arg == "--driver") {
            if (!value(&options.channel.driverPath)) return Usage("--driver needs a path");
        } else if (arg == "-C" || arg == "--count") {
            if (!value(&v) || !ParseInt(v, 1, 61, &n)) return Usage("--count needs 1 to 61");
            options.count = n;
        } else if (arg == "-W" || arg == "--write") {
            if (!value(&v) || !ParseValues(v, &options.writeValues)) return Usage("--write needs values");
            options.write = true;
        } else if (arg == "-k" || arg == "--kind") {
            if (!value(&v) || !ParseInt(v, 0, 1000, &n)) return Usage("--kind needs a number");
            options.kind = n;
        } else if (arg == "-n" || arg == "--polls") {
            if (!value(&v) || !ParseInt(v, 0, 100000000, &n)) return Usage("--polls needs a count");
            options.polls = n;
        } else if (arg == "-i" || arg == "--interval") {
            if (!value(&v) || !ParseInt(v, 0, 86400000, &n)) return Usage("--interval needs milliseconds");
            options.intervalMs = n;
        } else if (arg == "-l" || arg == "--listen") {
            if (!value(&v) || !ParseInt(v, 0, 100000000, &n)) return Usage("--listen needs seconds");
            options.listen = true;
            options.listenSeconds = n;
        } else if (arg == "--json") {
            options.output.json = true;
        } else if (arg == "-x" || arg == "--hex") {
            options.output.hex = true;
        } else if (arg == "--trace") {
            options.trace = true;
        } else if (arg == "-q" || arg == "--quiet") {
            options.quiet = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage("unknown option " + arg);
        } else {
            options.addresses.push_back(arg);
        }
    }
    options.progress = isatty(fileno(stdout)) != 0;
    if (options.demo) return kivpoll::RunDemo(options);
    if (options.addresses.empty() && !options.listen) return Usage("no address given");
    return kivpoll::RunSession(options);
}
