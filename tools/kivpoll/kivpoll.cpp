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
#include <filesystem>
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
#include "platform/port_map.h"
#include "tools/kivpoll/session.h"
#include "tools/common/cli.h"
#include "tools/common/frame_text.h"
#include "tools/common/time_text.h"

namespace {

const char kDescription[] =
    "Polls, writes and listens to DPC3000 units through the KIVLINK driver, loaded as the\n"
    "SCADA host loads it. ADDRESS is a gate address in the driver's syntax:\n"
    "  R00120300     register 300 of station 12 (Rssssnnnn)\n"
    "  R0012030005   bit 5 of that register\n"
    "  S00121296     status point 1296 of station 12 (set only by status events)\n"
    "  !R0012 !S0012 !L0012   fetch register changes, status events, logged events\n"
    "  !T0012        set the clock of station 12 from this computer's local time\n";

const char kFooter[] =
    "Exit codes: 0 done, 1 refused (invalid address or request, an answer that did not fit),\n"
    "2 no answer, 3 usage or set-up error, 4 the port cannot be opened,\n"
    "5 the channel file cannot be used (no host address).\n";

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

// The command line into options; -1 to go on, else the exit code.
int ParseOptions(int argc, char** argv, kivpoll::SessionOptions* options) {
    CLI::App app(kDescription, "kivpoll");
    kivtools::Prepare(app, kFooter);
    const char* line = "Line and channel";
    const char* requests = "Requests";
    const char* output = "Output";
    int baud = options->channel.line.baudRate, dataBits = options->channel.line.dataBits;
    int timeoutMs = 0;
    std::string parity = "none", stopBits = "1", radio, write;
    int listenSeconds = -1;
    app.add_flag("--demo", options->demo, "play two units in-process and walk through the driver's commands");
    app.add_option("ADDRESS", options->addresses, "gate addresses to read, write or fetch");
    app.add_option("-p,--port", options->channel.port,
                   "serial port as the driver names it: /dev/ttyUSB0, ttyUSB0, COM1 (required), or a device server's tcp://HOST:PORT or "
                   "rfc2217://HOST:PORT, which kivpoll maps to a port name in kivports.int (Linux)")
        ->type_name("NAME")->group(line)
        ->check([](const std::string& v) {
            PortMapEntry entry;
            if (ParseNetAddress(v.c_str(), v.size(), &entry)) return std::string();
            if (v.find("://") != std::string::npos) return std::string("--port: not tcp://HOST:PORT or rfc2217://HOST:PORT");
            return std::string();
        });
    app.add_option("-b,--baud", baud, "baud rate, 50 to 65535 (19200)")->type_name("N")->group(line)
        ->check(kivtools::InRange(50, 65535));
    app.add_option("-d,--data-bits", dataBits, "data bits, 5 to 8 (8)")->type_name("N")->group(line)
        ->check(kivtools::InRange(5, 8));
    app.add_option("-P,--parity", parity, "none, odd, even, mark, space (none)")->type_name("P")->group(line)
        ->check(CLI::IsMember({"none", "odd", "even", "mark", "space"}));
    app.add_option("-s,--stop-bits", stopBits, "1, 1.5 or 2 (1)")->type_name("S")->group(line)
        ->check(CLI::IsMember({"1", "1.5", "2"}));
    app.add_option("-t,--timeout", timeoutMs, "read time-out in ms, rounded up to tens (the driver's default, 40)")
        ->type_name("MS")->group(line)->check(kivtools::InRange(1, 600000));
    app.add_option("-a,--host-address", options->hostAddress, "the driver's own TDE station address, 0 to 65535 (0)")
        ->type_name("N")->group(line)->check(kivtools::InRange(0, 65535));
    app.add_option("-c,--channel", options->channel.channel, "channel number 0 to 99, names kivINnn.int (1)")
        ->type_name("N")->group(line)->check(kivtools::InRange(0, 99));
    app.add_flag("--exception", options->exception, "switch report-by-exception on in the configuration")
        ->group(line);
    app.add_option("--radio", radio, "radio keying by RTS with these times in ms")
        ->type_name("ON,OFF,DELAY")->group(line);
    app.add_option("--config", options->configFile, "use this configuration file instead of writing one")
        ->type_name("FILE")->group(line);
    app.add_option("-w,--workdir", options->workdir, "folder for the configuration file (default: a fresh temporary one)")
        ->type_name("DIR")->group(line);
    app.add_option("--driver", options->channel.driverPath, "the driver library (default: beside kivpoll)")
        ->type_name("PATH")->group(line);
    app.add_option("-C,--count", options->count, "read N registers from an R address as one block (1..60)")
        ->type_name("N")->group(requests)->check(kivtools::InRange(1, 60));
    app.add_option("-W,--write", write,
                   "write values (several: a block from the address on; a bit address: 0 or 1)")
        ->type_name("V[,V...]")->group(requests);
    app.add_option("-k,--kind", options->kind, "gate kind for the address check (3; 6 for bit addresses)")
        ->type_name("N")->group(requests)->check(kivtools::InRange(0, 1000));
    app.add_option("-n,--polls", options->polls, "poll N times, 0 for ever (1)")
        ->type_name("N")->group(requests)->check(kivtools::InRange(0, 100000000));
    app.add_option("-i,--interval", options->intervalMs, "pause between polls (1000)")
        ->type_name("MS")->group(requests)->check(kivtools::InRange(0, 86400000));
    app.add_option("-l,--listen", listenSeconds,
                   "keep the channel open with report-by-exception on and print every gate update that arrives, "
                   "for SECONDS (0: until interrupted); with --demo, how long its report-by-exception part lasts (12)")
        ->type_name("SECONDS")->group(requests)->check(kivtools::InRange(0, 100000000));
    app.add_flag("--json", options->output.json, "JSON lines instead of a table")->group(output);
    app.add_flag("-x,--hex", options->output.hex, "values in hexadecimal")->group(output);
    app.add_flag("--trace", options->tap.trace,
                 "frame trace on standard error (time, direction, bytes, decoded message)")
        ->group(output);
    app.add_option("--trace-file", options->tap.traceFile, "write the trace into FILE (appended) instead")
        ->type_name("FILE")->group(output);
    app.add_option("--pcap", options->tap.pcapFile,
                   "write every frame both ways into FILE, a pcap capture (docs/capture.md)")
        ->type_name("FILE")->group(output);
    app.add_option("--decode", options->decodeFile, "print the frames of a capture file as the trace does, and end")
        ->type_name("FILE")->group(output);
    bool utc = false;
    app.add_flag("--utc", utc, "times in UTC (Z) rather than local time with its offset")->group(output);
    app.add_flag("-q,--quiet", options->quiet, "no summary, and no driver log lines on standard error")->group(output);
    app.add_flag("-v,--verbose", options->log.verbose, "the driver's informational log lines too")->group(output);
    app.add_option("--log-file", options->log.file, "append the driver's log lines to FILE instead of standard error")
        ->type_name("FILE")->group(output);
    app.add_flag("--csv", options->output.csv, "CSV: a header row, then one row per request or gate update")
        ->group(output);
    app.add_option("--output", options->outputFile, "write the rows and the summary to FILE instead of standard output")
        ->type_name("FILE")->group(output);
    app.add_option("--check-config", options->checkConfig,
                   "say what the driver takes from each line of this channel file, and why it ignores a line; "
                   "exit 0 when the driver can use it, 5 when not")
        ->type_name("FILE")->group(line);

    int parsed = kivtools::Parse(app, argc, argv, "kivpoll", kivpoll::kExitUsage);
    if (parsed >= 0) return parsed;
    options->log.quiet = options->quiet;
    if (options->output.csv && options->output.json) return Usage("--csv and --json: choose one");
    if (!options->checkConfig.empty()) return -1;
    if (options->channel.port.find("://") != std::string::npos) {
#ifdef _WIN32
        return Usage("the Windows driver reaches device servers through a virtual COM port; give its name");
#else
        if (options->tap.Wanted()) return Usage("--trace and --pcap need a serial port, not a network line");
        options->networkUrl = options->channel.port;
        options->channel.port = kivpoll::kNetworkPortName;
#endif
    }
    kivtools::UseUtc(utc);
    // The run works in a folder of its own: files are named from here.
    for (std::string* file : {&options->tap.traceFile, &options->tap.pcapFile}) {
        std::error_code failed;  // a name that cannot be made whole stays as given
        const std::string whole = file->empty() ? "" : std::filesystem::absolute(*file, failed).string();
        if (!whole.empty()) *file = whole;
    }
    if (!options->decodeFile.empty()) {
        if (!options->addresses.empty() || !options->channel.port.empty() || options->demo || listenSeconds >= 0 ||
            options->tap.Wanted())
            return Usage("--decode prints a capture file and takes no addresses, port or trace");
        return -1;
    }
    options->channel.line.baudRate = static_cast<uint16_t>(baud);
    options->channel.line.dataBits = static_cast<uint16_t>(dataBits);
    const char* parities[] = {"none", "odd", "even", "mark", "space"};
    options->channel.line.parity =
        static_cast<uint16_t>(std::find(std::begin(parities), std::end(parities), parity) - std::begin(parities));
    options->channel.line.stopBits = stopBits == "1" ? 0 : stopBits == "1.5" ? 1 : 2;
    if (timeoutMs > 0) options->channel.readTimeout = (timeoutMs + 9) / 10;
    if (!radio.empty()) {
        std::vector<int32_t> times;
        if (!ParseValues(radio, &times) || times.size() != 3) return Usage("--radio needs ON,OFF,DELAY");
        options->radio = true;
        options->radioTimes = times;
    }
    if (app.count("--write") > 0) {
        if (!ParseValues(write, &options->writeValues))
            return Usage("--write needs values from -2147483648 to 4294967295, comma-separated");
        options->write = true;
        if (options->writeValues.size() > 60) return Usage("--write takes at most 60 values (a block of 60 registers)");
        if (app.count("--count") > 0)
            return Usage("--write and --count: a block write takes its length from the values (-W 1,2,3)");
        for (const std::string& address : options->addresses) {
            if (!kivpoll::IsBitAddress(address)) continue;
            if (options->writeValues.size() != 1 || (options->writeValues[0] != 0 && options->writeValues[0] != 1))
                return Usage("--write to the bit address " + address + " takes one value, 0 or 1");
        }
    }
    if (!options->demo) {
        std::string& port = options->channel.port;
        if (port.empty()) return Usage("--port is required: the serial port the units are on (/dev/ttyUSB0, COM1)");
        if (port.find("://") == std::string::npos && !kivpoll::ShortPortName(&port)) {
            return Usage("--port " + port + " has " + std::to_string(port.size()) +
                         " characters; a port name holds 11. The driver looks a name up under /dev/ and maps "
                         "COMn to /dev/ttyS(n-1): give a short name for the device (e.g. a symbolic link)");
        }
    }
    if (listenSeconds >= 0) {
        options->listen = true;
        options->listenSeconds = listenSeconds;
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    kivpoll::SessionOptions options;
    options.channel.driverPath = kivpoll::DefaultDriverPath(argv[0]);
    int parsed = ParseOptions(argc, argv, &options);
    if (parsed >= 0) return parsed;
    if (!options.checkConfig.empty()) return kivpoll::RunCheckConfig(options);
    options.progress = isatty(fileno(stdout)) != 0;
    if (!options.decodeFile.empty()) {
        std::string error;
        if (kivtools::PrintCapture(options.decodeFile, stdout, &error)) return kivpoll::kExitDone;
        std::fprintf(stderr, "kivpoll: --decode %s\n", error.c_str());
        return kivpoll::kExitUsage;
    }
    if (options.demo) return kivpoll::RunDemo(options);
    if (options.addresses.empty() && !options.listen) return Usage("no address given");
    return kivpoll::RunSession(options);
}
