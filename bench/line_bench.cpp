// Figure 5: line efficiency. kivsim paces every byte at the line rate (ten
// bits a byte, both ways), so a poll of one register costs at least the wire
// time of its 15-byte request and 19-byte answer. Polls per second through
// the driver, and through the bare exchange against the same simulator, as
// shares of that wire limit. With the console (kivsim --http) serving the
// same simulator to an open page: the driver's polls with the page
// streaming against without it.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#if defined(KIV_BENCH_CONSOLE)
#include <httplib.h>

#include <nlohmann/json.hpp>

#include "tools/kivsim/console_http.h"
#endif

#include "bench/bench.h"
#include "bench/support.h"
#include "driver/commands.h"
#include "tools/kivsim/kivsim.h"

namespace kivbench {
namespace {

constexpr double kBitsPerPoll = 10.0 * (kReadRequestSize + kReadAnswerSize);
constexpr unsigned long kDefaultTimerSlackNs = 50000;

// A paced simulator of one unit. Its service thread is started with a timer
// slack of 1 ns, so that its byte pacing follows the line rate instead of
// the 50 us the kernel may add to every sleep of an ordinary thread; a UART
// has no such slack either.
std::unique_ptr<kivsim::Simulator> PacedSimulator(int baud, std::string* error) {
    kivsim::Options options;
    options.paceBaud = baud;
    std::unique_ptr<kivsim::Simulator> sim(new kivsim::Simulator(options));
    SetTimerSlack(1);
    const bool started = sim->AddStation(kStation, kHostAddress) && sim->Start();
    SetTimerSlack(kDefaultTimerSlackNs);
    if (!started) {
        *error = "simulator: " + sim->Error();
        sim.reset();
    }
    return sim;
}

// A paced simulator and a channel of the driver on its line with the gate of
// R00120300 decoded; nullptr (the benchmark skipped with the reason) when a
// step failed.
std::unique_ptr<kivsim::Simulator> PolledSimulator(benchmark::State& state, int baud, DriverChannel* channel,
                                                   GateRequest* gate, int32_t* data) {
    std::string error;
    std::unique_ptr<kivsim::Simulator> sim = PacedSimulator(baud, &error);
    if (!sim || !channel->Open(sim->LinePath(), false, &error) || !channel->Gate("R00120300", gate, data)) {
        state.SkipWithError(error.empty() ? "gate address refused" : error.c_str());
        sim.reset();
    }
    return sim;
}

void Report(benchmark::State& state, int baud, std::vector<int64_t>& polls, uint64_t failures,
            const MachineLoad& load) {
    const double meanNs = Mean(polls);
    const double pollsPerSecond = meanNs > 0 ? 1e9 / meanNs : 0;
    const double wirePollsPerSecond = baud / kBitsPerPoll;
    state.counters["baud"] = baud;
    state.counters["polls_per_s"] = pollsPerSecond;
    state.counters["wire_polls_per_s"] = wirePollsPerSecond;
    state.counters["share"] = pollsPerSecond / wirePollsPerSecond;
    state.counters["wire_us_per_poll"] = 1e6 / wirePollsPerSecond;
    state.counters["p50_us"] = Quantile(polls, 0.50) / 1000.0;
    state.counters["p99_us"] = Quantile(polls, 0.99) / 1000.0;
    state.counters["failures"] = static_cast<double>(failures);
    state.counters["others_cores_busy"] = load.OthersBusyCores();
}

// Times one poll per iteration; failures counts those before the first.
void TimePolls(benchmark::State& state, int baud, const std::function<bool()>& poll, uint64_t failures = 0) {
    std::vector<int64_t> polls;
    polls.reserve(static_cast<size_t>(state.max_iterations));
    MachineLoad load;
    load.Start();
    for (auto _ : state) {
        const int64_t start = NowNs();
        const bool ok = poll();
        const int64_t took = NowNs() - start;
        if (!ok) ++failures;
        polls.push_back(took);
        state.SetIterationTime(static_cast<double>(took) / 1e9);
    }
    Report(state, baud, polls, failures, load);
}

// Polls R00120300 through KivMain.
void BM_LineDriver(benchmark::State& state) {
    const int baud = static_cast<int>(state.range(0));
    std::unique_ptr<kivsim::Simulator> sim;  // outlives the channel, as a unit outlives the host's close
    DriverChannel channel;
    GateRequest gate{};
    int32_t data[4] = {};
    if (!(sim = PolledSimulator(state, baud, &channel, &gate, data))) return;
    sim->SetRegister(kStation, kRegister, 100000);
    for (int i = 0; i < 3; ++i) channel.Call(CommandRead, &gate);  // the link reset goes first
    TimePolls(state, baud, [&] { return channel.Call(CommandRead, &gate) == 0 && data[0] == 100000; });
    channel.ClosePort();
}

// The same polls as a bare exchange on the simulator's line: the floor that
// the simulator's own pacing and the pseudo-terminal leave.
void BM_LineBare(benchmark::State& state) {
    const int baud = static_cast<int>(state.range(0));
    std::string error;
    std::unique_ptr<kivsim::Simulator> sim = PacedSimulator(baud, &error);
    if (!sim) {
        state.SkipWithError(error.c_str());
        return;
    }
    const int fd = open(sim->LinePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 || !PrepareBareEnd(fd)) {
        state.SkipWithError("cannot open the simulator's line");
        if (fd >= 0) close(fd);
        return;
    }
    sim->SetRegister(kStation, kRegister, 100000);
    const std::vector<uint8_t> reset = FrameOf({7, 0xC0, kStation >> 8, kStation & 0xFF, 0, 0, 0, 0});
    const std::vector<uint8_t> requests[2] = {ReadRequestFrame(false), ReadRequestFrame(true)};
    uint8_t answer[64];
    const bool resetOk = BareExchange(fd, reset.data(), reset.size(), answer, 12, 2000);
    int fcb = 1;  // the driver's first request after a link reset also carries FCB 1
    TimePolls(state, baud, [&] {
        const std::vector<uint8_t>& request = requests[fcb];
        fcb ^= 1;
        return BareExchange(fd, request.data(), request.size(), answer, kReadAnswerSize, 2000);
    }, resetOk ? 0 : 1);
    close(fd);
}

#if defined(KIV_BENCH_CONSOLE)
// What an open console page asks while streaming: one client that long-polls
// the frames after the last one it has and asks for the stations every
// 250 ms, while streaming is on.
class OpenPage {
public:
    explicit OpenPage(const std::string& url) : client_(url), thread_([this] { Run(); }) {}
    ~OpenPage() {
        done_ = true;
        thread_.join();
    }
    void SetStreaming(bool on) { streaming_ = on; }
    uint64_t Requests() const { return requests_; }

private:
    void Run() {
        uint64_t last = 0;
        auto nextStations = std::chrono::steady_clock::now();
        while (!done_) {
            if (!streaming_) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            auto frames = client_.Get(("/api/frames?after=" + std::to_string(last) + "&wait=250").c_str());
            if (frames && frames->status == 200) {
                const nlohmann::json answer = nlohmann::json::parse(frames->body, nullptr, false);
                if (answer.is_object() && !answer["frames"].empty()) last = answer["frames"].back()["seq"];
                ++requests_;
            }
            if (std::chrono::steady_clock::now() < nextStations) continue;
            if (client_.Get("/api/stations")) ++requests_;
            nextStations += std::chrono::milliseconds(250);
        }
    }

    httplib::Client client_;
    std::atomic<bool> done_{false};
    std::atomic<bool> streaming_{false};
    std::atomic<uint64_t> requests_{0};
    std::thread thread_;
};

// The driver's polls of BM_LineDriver with the console serving the same
// simulator. The polls alternate in blocks between the page streaming (the
// frames going to the console's ring, the client at work) and the console
// idle (no client, no ring: as kivsim without --http), so that both halves
// see the same load of the machine. polls_per_s and share are the page's
// half; console_share is its polls per second over the other half's.
void BM_LineDriverConsole(benchmark::State& state) {
    constexpr int64_t kBlock = 50;
    const int baud = static_cast<int>(state.range(0));
    std::unique_ptr<kivsim::Simulator> sim;  // outlives the channel, as a unit outlives the host's close
    DriverChannel channel;
    GateRequest gate{};
    int32_t data[4] = {};
    if (!(sim = PolledSimulator(state, baud, &channel, &gate, data))) return;
    kivsim::ConsoleFrames frames;
    kivsim::ConsoleServer console(*sim, frames);
    std::string error;
    if (!console.Start("0", &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    sim->SetRegister(kStation, kRegister, 100000);
    for (int i = 0; i < 3; ++i) channel.Call(CommandRead, &gate);  // the link reset goes first
    const kivsim::Simulator::CaptureSink ring = [&frames](int64_t us, uint8_t direction, const uint8_t* bytes,
                                                          size_t count) { frames.Add(us, direction, bytes, count); };
    std::string url = console.Url();
    url.pop_back();  // the trailing slash
    std::vector<int64_t> polls[2];  // without the page, with it
    uint64_t failures = 0;
    {
        OpenPage page(url);
        MachineLoad load;
        load.Start();
        int64_t i = 0;
        for (auto _ : state) {
            const bool open = (i / kBlock) % 2 == 1;
            if (i++ % kBlock == 0) {
                sim->SetCaptureSink(open ? ring : kivsim::Simulator::CaptureSink());
                page.SetStreaming(open);
            }
            const int64_t start = NowNs();
            const bool ok = channel.Call(CommandRead, &gate) == 0 && data[0] == 100000;
            const int64_t took = NowNs() - start;
            if (!ok) ++failures;
            polls[open].push_back(took);
            state.SetIterationTime(static_cast<double>(took) / 1e9);
        }
        Report(state, baud, polls[1], failures, load);
        state.counters["page_requests"] = static_cast<double>(page.Requests());
    }
    const double closedMeanNs = Mean(polls[0]);
    state.counters["closed_polls_per_s"] = closedMeanNs > 0 ? 1e9 / closedMeanNs : 0;
    state.counters["console_share"] =
        closedMeanNs > 0 ? state.counters["polls_per_s"] / state.counters["closed_polls_per_s"] : 0;
    sim->SetCaptureSink(kivsim::Simulator::CaptureSink());
    console.Stop();
    channel.ClosePort();
}
#endif

}  // namespace

void RegisterLineBenchmarks() {
    // About two seconds of polls for each.
    for (const auto& run : {std::make_pair(19200, 120), std::make_pair(115200, 700)}) {
        benchmark::RegisterBenchmark("BM_LineDriver", BM_LineDriver)
            ->Arg(run.first)->Iterations(run.second)->UseManualTime()->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("BM_LineBare", BM_LineBare)
            ->Arg(run.first)->Iterations(run.second)->UseManualTime()->Unit(benchmark::kMicrosecond);
    }
#if defined(KIV_BENCH_CONSOLE)
    // About four seconds: two of each half, in blocks of 50 polls.
    benchmark::RegisterBenchmark("BM_LineDriverConsole", BM_LineDriverConsole)
        ->Arg(115200)->Iterations(1400)->UseManualTime()->Unit(benchmark::kMicrosecond);
#endif
}

}  // namespace kivbench
