// kivpoll --demo: the driver against an in-process simulator of two units on
// a pseudo-terminal pair, walking through what a commissioning engineer does
// first. Ends by itself with a summary.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "tavlib/tavlib_control.h"
#include "tools/kivpoll/reasons.h"
#include "tools/kivpoll/session.h"

#if defined(KIVPOLL_WITH_SIMULATOR)
#include "tools/kivsim/kivsim.h"
#endif

namespace kivpoll {

#if !defined(KIVPOLL_WITH_SIMULATOR)

int RunDemo(const SessionOptions&) {
    std::fprintf(stderr, "kivpoll: this build has no simulator for the demo (Windows: run kivsim natively)\n");
    return kExitUsage;
}

#else

namespace {

// The banner's code page 437 frame and shades, for a UTF-8 terminal.
std::string BannerForTerminal(const char* banner) {
    std::string text;
    for (const char* p = banner; *p != '\0'; ++p) {
        switch (static_cast<unsigned char>(*p)) {
        case 0xDA: text += "\u250C"; break;
        case 0xBF: text += "\u2510"; break;
        case 0xC0: text += "\u2514"; break;
        case 0xD9: text += "\u2518"; break;
        case 0xC4: text += "\u2500"; break;
        case 0xB3: text += "\u2502"; break;
        case 0xDB: text += "\u2588"; break;
        case 0xB2: text += "\u2593"; break;
        case 0xB1: text += "\u2592"; break;
        case 0xB0: text += "\u2591"; break;
        default: text += *p;
        }
    }
    return text;
}

void Pause(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

}  // namespace

int RunDemo(const SessionOptions& given) {
    Output output(given.output);
    Summary summary;

    // Two units on one line: station 12 with a live plant and report-by-exception,
    // station 7 with a few fixed registers.
    kivsim::Options simOptions;
    simOptions.askTimeMs = 6000;
    kivsim::Simulator sim(simOptions);
    sim.AddStation(12, 0);
    sim.AddStation(7, 0);
    for (uint16_t r = 0; r < 8; ++r) sim.SetRegister(7, static_cast<uint16_t>(300 + r), 1000u + r);
    sim.SetRegister(12, 300, 0x00000020);
    for (const kivsim::Generator& generator : kivsim::DemoPlant()) sim.AddGenerator(12, generator);
    if (!sim.Start()) {
        std::fprintf(stderr, "kivpoll: the simulator could not start: %s\n", sim.Error().c_str());
        return kExitUsage;
    }
    output.Note("kivsim plays stations 12 and 7 on " + sim.LinePath());

    SessionOptions options = given;
    options.exception = true;
    options.channel.port = sim.LinePath();
    options.channel.readTimeout = 10;
    std::string folder;
    bool temporary = false;
    std::string driver = AbsolutePath(options.channel.driverPath);
    if (!PrepareWorkFolder(ConfigText(options), options.channel.channel, &folder, &temporary)) return kExitUsage;
    std::string config = ConfigText(options);
    for (size_t at = config.find('\n'); at != std::string::npos && at + 1 < config.size(); at = config.find('\n'))
        config.replace(at, 1, " / ");
    output.Note("configuration kivIN01.int: " + config.substr(0, config.size() - 1));

    DriverHost host;
    if (!host.Load(driver)) {
        std::fprintf(stderr, "kivpoll: %s\n", host.error().c_str());
        return kExitUsage;
    }
    AttachRuntime(&output, &summary, given.progress);
    TavSetWaitTick(20);
    if (!given.output.json) std::printf("%s\n", BannerForTerminal(host.info().banner).c_str());
    output.Note("Describe: driver " + std::to_string(host.info().driverKind) + " \"" + host.info().deviceName +
                "\", block " + std::to_string(host.info().blockSize) + " bytes");

    int32_t opened = host.Open(options.channel);
    output.Note("Open channel 1 on " + options.channel.port + ": " + ResultName(opened));
    if (opened != 0) {
        DetachRuntime();
        return kExitNoAnswer;
    }
    Requester requester(host, output, summary);
    RequestSpec read;

    output.Note("-- address checks (invalid ones are refused without a word on the line)");
    GateRequest gate;
    for (const char* text : {"R00120300", "R0012030005", "S00120010", "!R0012", "!T0012", "R00129300", "!X0012"}) {
        const int32_t kind = std::string(text).size() > 9 ? 6 : 3;
        int32_t result = host.ParseAddress(text, kind, &gate);
        output.Note(std::string("  ") + text + ": " + (result == 0 ? "valid" : "refused: " + AddressReason(text, kind)));
    }

    output.Note("-- register and bit reads");
    requester.Request("R00120100", read);
    requester.Request("R00120300", read);
    requester.Request("R0012030005", read);
    requester.Request("R00070300", read);

    output.Note("-- a write, read back");
    RequestSpec write;
    write.write = true;
    write.values = {123456};
    requester.Request("R00120400", write);
    requester.Request("R00120400", read);
    RequestSpec bitWrite = write;
    bitWrite.values = {1};
    requester.Request("R0012040003", bitWrite);
    requester.Request("R00120400", read);

    output.Note("-- a block read of 8 registers");
    RequestSpec block;
    block.count = 8;
    requester.Request("R00070300", block);

    output.Note("-- the clock of station 12 set from this computer");
    requester.Request("!T0012", read);

    output.Note("-- event reads: queued events reach their gates with the unit's time stamps");
    sim.QueueRegisterChange(7, 301, 4242);
    sim.QueueStatusEvent(7, 1296, true);
    sim.QueueLoggedEvent(7, 302, 777);
    requester.Request("!R0007", read);
    requester.Request("!S0007", read);
    requester.Request("!L0007", read);

    // --listen SECONDS sets how long this part lasts.
    const int listenSeconds = given.listen && given.listenSeconds > 0 ? given.listenSeconds : 12;
    output.Note("-- report-by-exception: station 12's plant reports unasked for " + std::to_string(listenSeconds) +
                " seconds");
    sim.SetExceptionMode(12, true);
    sim.SetPlantRunning(true);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(listenSeconds);
    int polls = 0;
    while (std::chrono::steady_clock::now() < end) {
        Pause(2000);
        if (++polls % 2 == 0) requester.Request("R00120100", read);
        SetProgress(summary, "report-by-exception");
    }
    sim.SetPlantRunning(false);
    host.Close();
    DetachRuntime();
    StopListeners(true);

    kivsim::Stats stats = sim.GetStats();
    PrintSummary(summary, given.output);
    output.Note("kivsim: " + std::to_string(stats.noticesSent) + " notices, " + std::to_string(stats.acks) +
                " acknowledged; events handed out: " + std::to_string(stats.eventsSent[0]) + " register changes, " +
                std::to_string(stats.eventsSent[1]) + " status events, " + std::to_string(stats.eventsSent[2]) +
                " logged events");
    if (temporary) RemoveWorkFolder(folder, options.channel.channel);
    return summary.noAnswer == 0 && summary.gateUpdates > 0 ? kExitDone : kExitNoAnswer;
}

#endif

}  // namespace kivpoll
