// kivpoll: poll, write and listen from the command line. Loads the driver as
// the SCADA host does, with the runtime stand-in as its host, writes the
// channel's configuration file and calls the driver only through KivMain.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "kivlink.h"
#include "tools/common/cli.h"
#include "tools/common/frame_text.h"
#include "tools/common/port_check.h"
#include "tools/common/time_text.h"
#include "tools/kivpoll/port_list.h"
#include "tools/kivpoll/requester.h"
#include "tools/kivpoll/session.h"
#include "tools/kivpoll/work_folder.h"

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
    "5 the channel file cannot be used (no host address), 6 the runtime stand-in TAVLIB.DLL\n"
    "cannot be found or loaded (Windows).\n";

// Where to read on: the help's last lines, and so the man page's.
const char kSeeAlso[] =
    "\nMore in the documentation (/usr/share/doc/kivlink, the Windows kit's docs folder):\n"
    "docs/kivpoll.md; docs/troubleshooting.md for no answer, no updates and radio keying;\n"
    "pictures: docs/troubleshooting-path.svg (from no answer to what to check),\n"
    "docs/radio-keying.svg (RTS, ON/OFF/DELAY, carrier), docs/line-exchange.svg (an exchange and a\n"
    "notice on the line), docs/listen-timeline.svg (what --listen says and when).\n";

// Comma-separated numbers, decimal or 0x hex: a leading zero is no octal
// mark (a setpoint typed as 0300 is 300).
bool ParseValues(const std::string& text, std::vector<int32_t>* values) {
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ',')) {
        char* end = nullptr;
        const size_t digits = item.find_first_not_of("+-");
        const bool hex = digits != std::string::npos && (item.compare(digits, 2, "0x") == 0 || item.compare(digits, 2, "0X") == 0);
        long long parsed = std::strtoll(item.c_str(), &end, hex ? 16 : 10);
        if (item.empty() || *end != '\0' || parsed < INT32_MIN || parsed > UINT32_MAX) return false;
        values->push_back(static_cast<int32_t>(static_cast<uint32_t>(parsed)));
    }
    return !values->empty();
}

int Usage(const std::string& message) {
    return kivpoll::Fail(kivpoll::kExitUsage, message + "\n(kivpoll --help tells more)");
}

// What the command line gives in a form other than the options' own.
struct Given {
    int baud = 0, dataBits = 0, timeoutMs = 0, listenSeconds = -1;
    std::string parity = "none", stopBits = "1", radio, write;
    bool utc = false;
};

// An option of a group in the help, with the name of its value.
template <typename T>
CLI::Option* Add(CLI::App& app, const char* group, const char* names, T& value, const std::string& help,
                 const char* type) {
    return app.add_option(names, value, help)->type_name(type)->group(group);
}

void AddLineOptions(CLI::App& app, kivpoll::SessionOptions* options, Given* given) {
    const char* line = "Line and channel";
    Add(app, line, "-p,--port", options->channel.port,
        "serial port as the driver names it: /dev/ttyUSB0, ttyUSB0, COM1 (required), or a device server's "
        "tcp://HOST:PORT or rfc2217://HOST:PORT, which kivpoll maps to a port name in kivports.int (Linux)", "NAME")
        ->check([](const std::string& v) {
            if (kivtools::IsNetAddress(v) || v.find("://") == std::string::npos) return std::string();
            return std::string("--port: not tcp://HOST:PORT or rfc2217://HOST:PORT");
        });
    app.add_flag("--list-ports", options->listPorts,
                 "list the serial ports with their stable names (Linux: /dev/serial/by-id, by-path) and what they "
                 "are, and end")
        ->group(line);
    Add(app, line, "-b,--baud", given->baud, "baud rate, 50 to 65535 (19200)", "N")
        ->check(kivtools::InRange(50, 65535));
    Add(app, line, "-d,--data-bits", given->dataBits, "data bits, 5 to 8 (8)", "N")->check(kivtools::InRange(5, 8));
    Add(app, line, "-P,--parity", given->parity, "none, odd, even, mark, space (none)", "P")
        ->check(CLI::IsMember({"none", "odd", "even", "mark", "space"}));
    Add(app, line, "-s,--stop-bits", given->stopBits, "1, 1.5 or 2 (1)", "S")
        ->check(CLI::IsMember({"1", "1.5", "2"}));
    Add(app, line, "-t,--timeout", given->timeoutMs,
        "read time-out in ms, rounded up to tens (the driver's default, 40)", "MS")->check(kivtools::InRange(1, 600000));
    Add(app, line, "-a,--host-address", options->hostAddress, "the driver's own TDE station address, 0 to 65535 (0)",
        "N")->check(kivtools::InRange(0, 65535));
    Add(app, line, "-c,--channel", options->channel.channel, "channel number 0 to 99, names kivINnn.int (1)", "N")
        ->check(kivtools::InRange(0, 99));
    app.add_flag("--exception", options->exception, "switch report-by-exception on in the configuration")
        ->group(line);
    Add(app, line, "--radio", given->radio, "radio keying by RTS with these times in ms", "ON,OFF,DELAY");
    Add(app, line, "--config", options->configFile, "use this configuration file instead of writing one", "FILE");
    Add(app, line, "-w,--workdir", options->workdir,
        "folder for the configuration file (default: a fresh temporary one)", "DIR");
    Add(app, line, "--driver", options->channel.driverPath, "the driver library (default: beside kivpoll)", "PATH");
}

void AddRequestOptions(CLI::App& app, kivpoll::SessionOptions* options, Given* given) {
    const char* requests = "Requests";
    Add(app, requests, "-C,--count", options->count,
        "read N registers from an R address as one block (1.." + std::to_string(KivBlockRegistersMax) + ")", "N")
        ->check(kivtools::InRange(1, KivBlockRegistersMax));
    Add(app, requests, "-W,--write", given->write,
        "write values (several: a block from the address on; a bit address: 0 or 1)", "V[,V...]");
    Add(app, requests, "-k,--kind", options->kind, "gate kind for the address check (3; 6 for bit addresses)", "N")
        ->check(kivtools::InRange(0, 1000));
    Add(app, requests, "-n,--polls", options->polls, "poll N times, 0 for ever (1)", "N")
        ->check(kivtools::InRange(0, 100000000));
    Add(app, requests, "-i,--interval", options->intervalMs, "pause between polls (1000)", "MS")
        ->check(kivtools::InRange(0, 86400000));
    Add(app, requests, "-l,--listen", given->listenSeconds,
        "keep the channel open with report-by-exception on and print every gate update that arrives, for SECONDS "
        "(0: until interrupted); with --demo, how long its report-by-exception part lasts (12)", "SECONDS")
        ->check(kivtools::InRange(0, 100000000));
}

void AddOutputOptions(CLI::App& app, kivpoll::SessionOptions* options, Given* given) {
    const char* output = "Output";
    app.add_flag("--json", options->output.json, "JSON lines instead of a table")->group(output);
    app.add_flag("-x,--hex", options->output.hex, "values in hexadecimal")->group(output);
    app.add_flag("--trace", options->tap.trace,
                 "frame trace on standard error (time, direction, bytes, decoded message)")->group(output);
    Add(app, output, "--trace-file", options->tap.traceFile, "write the trace into FILE (appended) instead", "FILE");
    Add(app, output, "--pcap", options->tap.pcapFile,
        "write every frame both ways into FILE, a pcap capture (docs/capture.md)", "FILE");
    Add(app, output, "--decode", options->decodeFile, "print the frames of a capture file as the trace does, and end",
        "FILE");
    app.add_flag("--utc", given->utc, "times in UTC (Z) rather than local time with its offset")->group(output);
    app.add_flag("-q,--quiet", options->quiet, "no summary, and no driver log lines on standard error")->group(output);
    app.add_flag("-v,--verbose", options->log.verbose, "the driver's informational log lines too")->group(output);
    Add(app, output, "--log-file", options->log.file, "append the driver's log lines to FILE instead of standard error",
        "FILE");
    app.add_flag("--csv", options->output.csv, "CSV: a header row, then one row per request or gate update")
        ->group(output);
    Add(app, output, "--output", options->outputFile,
        "write the rows and the summary to FILE instead of standard output", "FILE");
}

// A device server's address as the port: kivpoll maps it in the port map.
// -1 to go on, else the exit code.
int TakeNetworkPort(kivpoll::SessionOptions* options) {
    if (options->channel.port.find("://") == std::string::npos) return -1;
#ifdef _WIN32
    return Usage("the Windows driver reaches device servers through a virtual COM port; give its name");
#else
    if (options->tap.Wanted()) return Usage("--trace and --pcap need a serial port, not a network line");
    options->networkUrl = options->channel.port;
    options->channel.port = kivpoll::kNetworkPortName;
    return -1;
#endif
}


// The line settings, the radio times and the written values; -1 to go on,
// else the exit code.
int TakeLineAndValues(const CLI::App& app, const Given& given, kivpoll::SessionOptions* options) {
    LineSettings& line = options->channel.line;
    line.baudRate = static_cast<uint16_t>(given.baud);
    line.dataBits = static_cast<uint16_t>(given.dataBits);
    const char* parities[] = {"none", "odd", "even", "mark", "space"};
    line.parity = static_cast<uint16_t>(std::find(std::begin(parities), std::end(parities), given.parity) -
                                        std::begin(parities));
    line.stopBits = given.stopBits == "1" ? 0 : given.stopBits == "1.5" ? 1 : 2;
    if (given.timeoutMs > 0) options->channel.readTimeout = (given.timeoutMs + 9) / 10;
    if (!given.radio.empty()) {
        std::vector<int32_t> times;
        if (!ParseValues(given.radio, &times) || times.size() != 3) return Usage("--radio needs ON,OFF,DELAY");
        options->radio = true;
        options->radioTimes = times;
    }
    if (app.count("--write") == 0) return -1;
    if (!ParseValues(given.write, &options->writeValues))
        return Usage("--write needs values from -2147483648 to 4294967295, comma-separated");
    options->write = true;
    // The driver refuses a block write past KivWriteRegistersMax itself.
    const std::string most = std::to_string(KivBlockRegistersMax);
    if (options->writeValues.size() > KivBlockRegistersMax)
        return Usage("--write takes at most " + most + " values (a block of " + most + " registers)");
    if (app.count("--count") > 0)
        return Usage("--write and --count: a block write takes its length from the values (-W 1,2,3)");
    for (const std::string& address : options->addresses) {
        if (!kivpoll::IsBitAddress(address)) continue;
        if (options->writeValues.size() != 1 || (options->writeValues[0] != 0 && options->writeValues[0] != 1))
            return Usage("--write to the bit address " + address + " takes one value, 0 or 1");
    }
    return -1;
}

// A write goes to one address. Given several, a writer may have meant the
// values for each, or the first written and the rest read: a write cannot be
// taken back on a running plant, so kivpoll writes nothing and says how to
// write several. -1 to go on, else the exit code.
int CheckWriteTargets(const kivpoll::SessionOptions& options) {
    if (!options.write || options.addresses.size() < 2) return -1;
    std::string given;
    for (const std::string& address : options.addresses) given += " " + address;
    const std::string& first = options.addresses.front();
    std::string block;
    if (first.size() == 9 && first[0] == 'R' && !kivpoll::IsBitAddress(first))
        block = ", or write a block from the first: -W 5,6 " + first + " writes two registers from it";
    return Usage("--write writes to one address, and " + std::to_string(options.addresses.size()) +
                 " were given:" + given + "; nothing was written. Run kivpoll once per address" + block);
}

// What the field options give: the scan's range, the value format and the
// names file.
struct FieldGiven {
    std::string scan, format = "s32", wordOrder, names;
    bool binary = false;
};

void AddScanOptions(CLI::App& app, FieldGiven* field) {
    Add(app, "Requests", "--scan", field->scan,
        "read a register on each station from FIRST to LAST (0 to 9999) and list the stations that answer, with "
        "the round trip: register 0, or the one an ADDRESS names (R00000300 or 300); a short read time-out "
        "unless -t gives one; the driver's log lines only with -v or --log-file", "FIRST-LAST");
}

void AddValueOptions(CLI::App& app, FieldGiven* field) {
    const char* values = "Values and names";
    Add(app, values, "--format", field->format,
        "show register values as u16 or s16 (the low 16 bits), u32, s32 or f32 (s32)", "KIND")
        ->check(CLI::IsMember({"u16", "s16", "u32", "s32", "f32"}));
    Add(app, values, "--word-order", field->wordOrder,
        "a u32, s32 or f32 value held in two registers of a 16-bit word each: hi-lo (the high word first) or lo-hi; "
        "read an even number of registers (-C 2 for one value)", "ORDER")
        ->check(CLI::IsMember({"hi-lo", "lo-hi"}));
    app.add_flag("--bin", field->binary, "values in binary")->group(values);
    Add(app, values, "--names", field->names,
        "names of registers from FILE, lines \"register value name\" as kivsim's --map reads them (or "
        "\"register name\"), shown beside the addresses", "FILE");
}

// --scan: the range, the register from the address and a time-out for it.
// -1 to go on, else the exit code.
int TakeScan(const FieldGiven& field, const Given& given, kivpoll::SessionOptions* options) {
    if (field.scan.empty()) return -1;
    kivpoll::ScanOptions& scan = options->scan;
    std::string why = kivpoll::ParseScanRange(field.scan, &scan);
    if (why.empty() && options->addresses.size() > 1)
        why = "--scan reads one register on each station: give at most one ADDRESS";
    if (why.empty() && options->addresses.size() == 1) why = kivpoll::ParseScanRegister(options->addresses[0], &scan);
    if (why.empty() && (options->write || options->listen || options->polls != 1 || options->demo))
        why = "--scan reads each station once: it takes no --write, --listen, --polls or --demo";
    if (!why.empty()) return Usage(why);
    scan.count = options->count;
    options->addresses.clear();
    if (given.timeoutMs == 0)
        options->channel.readTimeout = kivpoll::ScanReadTimeout(options->channel.line, !options->networkUrl.empty());
    // Every station that is not there logs three failed receptions: the
    // rows say it already.
    if (!options->log.verbose && options->log.file.empty()) options->log.quiet = true;
    return -1;
}

// --format, --word-order, --hex, --bin and --names into the output options.
// -1 to go on, else the exit code.
int TakeValueOptions(const FieldGiven& field, kivpoll::SessionOptions* options) {
    kivpoll::OutputOptions& output = options->output;
    kivpoll::ValueFormat& format = output.format;
    kivpoll::ValueKindNamed(field.format, &format.kind);
    if (output.hex && field.binary) return Usage("--hex and --bin: choose one");
    format.radix = output.hex ? kivpoll::Radix::Hex : field.binary ? kivpoll::Radix::Binary : kivpoll::Radix::Decimal;
    if (!field.wordOrder.empty()) {
        kivpoll::WordOrderNamed(field.wordOrder, &format.order);
        if (format.kind == kivpoll::ValueKind::U16 || format.kind == kivpoll::ValueKind::S16)
            return Usage("--word-order makes one value of two registers: it goes with --format u32, s32 or f32");
        const bool reads = !options->write && (!options->addresses.empty() || options->scan.Wanted());
        if (reads && options->count % 2 != 0)
            return Usage("--word-order makes one value of two registers: read an even number of them (-C 2 for one "
                         "value)");
    }
    if (field.names.empty()) return -1;
    std::string error;
    if (!kivpoll::ReadRegisterNames(field.names, &output.names, &error))
        return kivpoll::Fail(kivpoll::kExitUsage, "--names " + error);
    output.named = true;
    return -1;
}

// -1 when the port is given and the driver can be given a name for it,
// else the exit code. A device path longer than a port name holds goes to
// the driver through the port map (the session writes the entry).
int CheckPort(std::string* port) {
    if (port->empty()) return Usage("--port is required: the serial port the units are on (/dev/ttyUSB0, COM1)");
    if (port->find("://") != std::string::npos || kivpoll::ShortPortName(port)) return -1;
#if defined(_WIN32)
    return Usage("--port " + *port + " has " + std::to_string(port->size()) +
                 " characters; a port name holds 11: give the COM port's name (COM1 to COM256; kivpoll "
                 "--list-ports lists them)");
#else
    if ((*port)[0] == '/') return -1;
    return Usage("--port " + *port + " has " + std::to_string(port->size()) +
                 " characters; a port name holds 11: give the device's path (/dev/serial/by-id/..., which kivpoll "
                 "gives the driver through the port map kivports.int) or a name under /dev/");
#endif
}

// --list-ports; KIVPOLL_ROOT, when set, stands in for / (for tests).
int ListPortsHere() {
    const char* root = std::getenv("KIVPOLL_ROOT");
    return kivpoll::ListPorts(root != nullptr ? root : "", stdout);
}

// The command line into options; -1 to go on, else the exit code.
int ParseOptions(int argc, char** argv, kivpoll::SessionOptions* options) {
    CLI::App app(kDescription, "kivpoll");
    kivtools::Prepare(app, std::string(kFooter) + kSeeAlso);
    Given given;
    given.baud = options->channel.line.baudRate;
    given.dataBits = options->channel.line.dataBits;
    app.add_flag("--demo", options->demo, "play two units in-process and walk through the driver's commands")
        ->group("Demo");
    Add(app, "Demo", "--sim-port", options->simPort,
        "with --demo: the units answer on this port, joined to --port by a null-modem cable or a virtual "
        "null-modem pair (COM5 and COM6); needed on Windows, which has no pseudo-terminals", "NAME");
    app.add_option("ADDRESS", options->addresses, "gate addresses to read, write or fetch");
    AddLineOptions(app, options, &given);
    AddRequestOptions(app, options, &given);
    AddOutputOptions(app, options, &given);
    FieldGiven field;
    AddScanOptions(app, &field);
    AddValueOptions(app, &field);
    Add(app, "Line and channel", "--check-config", options->checkConfig,
        "say what the driver takes from each line of this channel file, and why it ignores a line; exit 0 when the "
        "driver can use it, 5 when not", "FILE");

    int parsed = kivtools::Parse(app, argc, argv, "kivpoll", kivpoll::kExitUsage);
    if (parsed >= 0) return parsed;
    options->log.quiet = options->quiet;
    if (options->output.csv && options->output.json) return Usage("--csv and --json: choose one");
    if (!options->checkConfig.empty() || options->listPorts) return -1;
    if ((parsed = TakeNetworkPort(options)) >= 0) return parsed;
    kivtools::UseUtc(given.utc);
    // The run works in a folder of its own: files are named from here.
    for (std::string* file : {&options->tap.traceFile, &options->tap.pcapFile})
        if (!file->empty()) *file = kivpoll::AbsolutePath(*file);
    if (!options->decodeFile.empty()) {
        if (!options->addresses.empty() || !options->channel.port.empty() || options->demo ||
            given.listenSeconds >= 0 || options->tap.Wanted())
            return Usage("--decode prints a capture file and takes no addresses, port or trace");
        return -1;
    }
    if ((parsed = TakeLineAndValues(app, given, options)) >= 0) return parsed;
    if ((parsed = CheckWriteTargets(*options)) >= 0) return parsed;
    if (!options->demo && (parsed = CheckPort(&options->channel.port)) >= 0) return parsed;
    if (given.listenSeconds >= 0) {
        options->listen = true;
        options->listenSeconds = given.listenSeconds;
    }
    if ((parsed = TakeScan(field, given, options)) >= 0) return parsed;
    if ((parsed = TakeValueOptions(field, options)) >= 0) return parsed;
    options->output.scan = options->scan.Wanted();
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    kivpoll::SessionOptions options;
    options.channel.driverPath = kivpoll::DefaultDriverPath(argv[0]);
    int parsed = ParseOptions(argc, argv, &options);
    if (parsed >= 0) return parsed;
    const std::string runtime = options.decodeFile.empty() ? kivpoll::LoadRuntime() : "";
    if (!runtime.empty()) return kivpoll::Fail(kivpoll::kExitRuntime, runtime);
    if (!options.checkConfig.empty()) return kivpoll::RunCheckConfig(options);
    if (options.listPorts) return ListPortsHere();
    options.progress = isatty(fileno(stdout)) != 0;
    if (!options.decodeFile.empty()) {
        std::string error;
        if (kivtools::PrintCapture(options.decodeFile, stdout, &error)) return kivpoll::kExitDone;
        return kivpoll::Fail(kivpoll::kExitUsage, "--decode " + error);
    }
    if (options.demo) return kivpoll::RunDemo(options);
    if (options.addresses.empty() && !options.listen && !options.scan.Wanted()) return Usage("no address given");
    return kivpoll::RunSession(options);
}
