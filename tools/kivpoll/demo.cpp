// kivpoll --demo: the driver against an in-process simulator of two units on
// a pseudo-terminal pair (or, with --sim-port, on two ports joined by a
// null-modem cable or a virtual pair: Windows has no pseudo-terminals),
// walking through what a commissioning engineer does first. Ends by itself
// with a summary.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "tavlib/tavlib_control.h"
#include "tools/kivpoll/console.h"
#include "tools/kivpoll/reasons.h"
#include "tools/kivpoll/requester.h"
#include "tools/kivpoll/session.h"
#include "tools/kivpoll/work_folder.h"

#if defined(KIVPOLL_WITH_SIMULATOR)
#include "tools/kivsim/kivsim.h"
#endif

namespace kivpoll {

#if !defined(KIVPOLL_WITH_SIMULATOR)

int RunDemo(const SessionOptions&) {
    return Fail(kExitUsage, "this build has no simulator for the demo (it was built without kivsim)");
}

#else

namespace {

// The banner's code page 437 frame and shades, for a UTF-8 terminal; a
// Windows console shows them as they are.
std::string BannerForTerminal(const char* banner) {
#if defined(_WIN32)
    return banner;
#endif
    const struct {
        unsigned char code;
        const char* utf8;
    } kShapes[] = {{0xDA, "\u250C"}, {0xBF, "\u2510"}, {0xC0, "\u2514"}, {0xD9, "\u2518"}, {0xC4, "\u2500"},
                   {0xB3, "\u2502"}, {0xDB, "\u2588"}, {0xB2, "\u2593"}, {0xB1, "\u2592"}, {0xB0, "\u2591"}};
    std::string text;
    for (const char* p = banner; *p != '\0'; ++p) {
        const char* shape = nullptr;
        for (const auto& s : kShapes) shape = s.code == static_cast<unsigned char>(*p) ? s.utf8 : shape;
        text += shape != nullptr ? std::string(shape) : std::string(1, *p);
    }
    return text;
}

void Pause(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

// Two units on one line: station 12 with a live plant and report-by-exception,
// station 7 with a few fixed registers.
void AddDemoUnits(kivsim::Simulator& sim) {
    sim.AddStation(12, 0);
    sim.AddStation(7, 0);
    for (uint16_t r = 0; r < 8; ++r) sim.SetRegister(7, static_cast<uint16_t>(300 + r), 1000u + r);
    sim.SetRegister(12, 300, 0x00000020);
    for (const kivsim::Generator& generator : kivsim::DemoPlant()) sim.AddGenerator(12, generator);
}

void NoteConfiguration(const SessionOptions& options, Output& output) {
    std::string config = ConfigText(options);
    for (size_t at = config.find('\n'); at != std::string::npos && at + 1 < config.size(); at = config.find('\n'))
        config.replace(at, 1, " / ");
    output.Note("configuration kivIN01.int: " + config.substr(0, config.size() - 1));
}

void NoteDriver(const DriverHost& host, bool json, Output& output) {
    if (!json) std::printf("%s\n", BannerForTerminal(host.info().banner).c_str());
    output.Note("Describe: driver " + std::to_string(host.info().driverKind) + " \"" + host.info().deviceName +
                "\", block " + std::to_string(host.info().blockSize) + " bytes");
}

void AddressChecks(DriverHost& host, Output& output) {
    output.Note("-- address checks (invalid ones are refused without a word on the line)");
    GateRequest gate;
    for (const char* text : {"R00120300", "R0012030005", "S00120010", "!R0012", "!T0012", "R00129300", "!X0012"}) {
        const int32_t kind = IsBitAddress(text) ? 6 : 3;
        int32_t result = host.Address(CommandParseAddress, text, kind, 0, &gate);
        output.Note(std::string("  ") + text + ": " +
                    (result == 0 ? "valid" : "refused: " + AddressReason(host, CommandParseAddress, text, kind, 0)));
    }
}

void ReadsAndWrites(Requester& requester, Output& output) {
    RequestSpec read, write, bitWrite, block;
    output.Note("-- register and bit reads");
    for (const char* address : {"R00120100", "R00120300", "R0012030005", "R00070300"}) requester.Request(address, read);
    output.Note("-- a write, read back");
    write.write = bitWrite.write = true;
    write.values = {123456};
    bitWrite.values = {1};
    requester.Request("R00120400", write);
    requester.Request("R00120400", read);
    requester.Request("R0012040003", bitWrite);
    requester.Request("R00120400", read);
    output.Note("-- a block read of 8 registers");
    block.count = 8;
    requester.Request("R00070300", block);
    output.Note("-- the clock of station 12 set from this computer");
    requester.Request("!T0012", read);
}

void EventReads(kivsim::Simulator& sim, Requester& requester, Output& output) {
    output.Note("-- event reads: queued events reach their gates with the unit's time stamps");
    sim.QueueRegisterChange(7, 301, 4242);
    sim.QueueStatusEvent(7, 1296, true);
    sim.QueueLoggedEvent(7, 302, 777);
    for (const char* address : {"!R0007", "!S0007", "!L0007"}) requester.Request(address, RequestSpec());
}

// --listen SECONDS sets how long this part lasts.
void Exceptions(const SessionOptions& given, kivsim::Simulator& sim, Requester& requester, Summary& summary,
                Output& output) {
    const int listenSeconds = given.listen && given.listenSeconds > 0 ? given.listenSeconds : 12;
    output.Note("-- report-by-exception: station 12's plant reports unasked for " + std::to_string(listenSeconds) +
                " seconds");
    sim.SetExceptionMode(12, true);
    sim.SetPlantRunning(true);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(listenSeconds);
    int polls = 0;
    while (std::chrono::steady_clock::now() < end) {
        Pause(2000);
        if (++polls % 2 == 0) requester.Request("R00120100", RequestSpec());
        SetProgress(summary, "report-by-exception");
    }
    sim.SetPlantRunning(false);
}

void NoteSimulator(kivsim::Simulator& sim, Output& output) {
    kivsim::Stats stats = sim.GetStats();
    output.Note("kivsim: " + std::to_string(stats.noticesSent) + " notices, " + std::to_string(stats.acks) +
                " acknowledged; events handed out: " + std::to_string(stats.eventsSent[0]) + " register changes, " +
                std::to_string(stats.eventsSent[1]) + " status events, " + std::to_string(stats.eventsSent[2]) +
                " logged events");
}

}  // namespace

// The demo's line: a pseudo-terminal pair, or the units on --sim-port and
// the driver on --port. "" or why the line cannot be had.
std::string DemoLine(const SessionOptions& given, kivsim::Options* simOptions) {
#if defined(_WIN32)
    const char* example = "kivpoll --demo --port COM5 --sim-port COM6";
    if (given.simPort.empty())
        return std::string("the demo needs two COM ports joined by a virtual null-modem pair (Windows has no "
                           "pseudo-terminals): ") + example + " (INSTALL.txt tells how)";
#else
    const char* example = "kivpoll --demo --port /dev/ttyUSB0 --sim-port /dev/ttyUSB1";
    if (given.simPort.empty()) return "";
#endif
    if (given.channel.port.empty()) return "--sim-port needs --port, the other end of the pair: " + std::string(example);
    if (given.channel.port == given.simPort) return "--port and --sim-port name the same port: give the two ends of the pair";
    simOptions->device = given.simPort;
    simOptions->baud = given.channel.line.baudRate;
    return "";
}

int RunDemo(const SessionOptions& given) {
    Output output(given.output);
    Summary summary;
    kivsim::Options simOptions;
    simOptions.askTimeMs = 6000;
    const std::string unusable = DemoLine(given, &simOptions);
    if (!unusable.empty()) return Fail(kExitUsage, unusable);
    kivsim::Simulator sim(simOptions);
    AddDemoUnits(sim);
    if (!sim.Start()) return Fail(kExitPort, "the simulator could not open its line: " + sim.Error());
    output.Note("kivsim plays stations 12 and 7 on " + sim.LinePath());
    SessionOptions options = given;
    options.exception = true;
    if (given.simPort.empty()) options.channel.port = sim.LinePath();
    if (!ShortPortName(&options.channel.port))
        return Fail(kExitUsage, "--port " + options.channel.port + " is longer than the 11 characters a port name holds");
    options.channel.readTimeout = 10;
    WorkFolder folder;
    std::string driver = AbsolutePath(options.channel.driverPath);
    if (!folder.Prepare("", options.channel.channel, ConfigText(options))) return kExitUsage;
    NoteConfiguration(options, output);
    DriverHost host;
    if (!host.Load(driver)) return Fail(kExitUsage, host.error());
    AttachRuntime(&output, &summary, given.progress);
    TavSetWaitTick(20);
    NoteDriver(host, given.output.json, output);
    int32_t opened = host.Open(options.channel);
    output.Note("Open channel 1 on " + options.channel.port + ": " + ResultName(opened));
    if (opened != 0) {
        DetachRuntime();
        return kExitPort;
    }
    Requester requester(host, output, summary);
    AddressChecks(host, output);
    ReadsAndWrites(requester, output);
    EventReads(sim, requester, output);
    Exceptions(given, sim, requester, summary, output);
    host.Close();
    DetachRuntime();
    StopListeners(true);
    PrintSummary(summary, given.output);
    NoteSimulator(sim, output);
    return summary.noAnswer == 0 && summary.gateUpdates > 0 ? kExitDone : kExitNoAnswer;
}

#endif

}  // namespace kivpoll
