// Several channels at once, each on the line of its own simulator: listeners
// fetch the events their units report while host threads poll, write and read
// event gates, and a port is closed again and again under a running listener
// while another channel reopens its port. `make tsan` runs these under
// ThreadSanitizer. A listener ends only when the host stops, and that stops
// the whole driver, so each scenario runs in a child process of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/channel_block.h"
#include "driver/commands.h"
#include "tavlib/tavlib_control.h"
#include "tests/support/channel_file.h"
#include "tests/support/log_capture.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/time_zone.h"
#include "tests/support/wait_until.h"
#include "tools/kivsim/kivsim.h"

namespace {

const char kShutdown[] = "KivIN : ShutDown Report By Excption thread";
constexpr uint16_t kChangeRegister = 100;  // change events go to registers 100..109
constexpr uint16_t kLoggedRegister = 200;  // logged events to registers 200..209
constexpr int kEventRegisters = 10;
constexpr int kWaitMs = 60000;  // generous: a run under ThreadSanitizer is slow

// Every gate write, by gate id.
class GateLog {
public:
    GateLog() { TavSetGateCallback(&GateLog::Receive, this); }
    ~GateLog() { TavSetGateCallback(nullptr, nullptr); }
    std::vector<double> Values(int32_t gate) {
        std::lock_guard<std::mutex> lock(mutex_);
        return values_[gate];
    }
    size_t Count(const std::vector<int32_t>& gates) {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t count = 0;
        for (int32_t gate : gates) count += values_[gate].size();
        return count;
    }

private:
    static void TAVLIB_CDECL Receive(int32_t gate, const TavGateValue* value, void* context) {
        GateLog* self = static_cast<GateLog*>(context);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->values_[gate].push_back(value->value);
    }
    std::mutex mutex_;
    std::map<int32_t, std::vector<double>> values_;
};

// One channel as the host holds it: its block, its number and its unit.
struct Channel {
    int32_t number = 0;
    uint16_t host = 0;     // our station address on this line
    uint16_t station = 0;  // the unit the simulator plays
    std::unique_ptr<kivsim::Simulator> sim;
    std::unique_ptr<ChannelBlock> block{new ChannelBlock()};
    std::vector<int32_t> changeGates, statusGates, loggedGates;

    int32_t Call(int32_t command, void* parameters) {
        CallRecord call{block.get(), command, number, 0, parameters};
        return KivMain(&call);
    }

    // Starts the simulator, writes the channel's file, defines its event
    // gates and opens the channel (read time-out in tens of ms). 0 when open.
    int32_t Open(bool reportByException, int32_t readTimeout, uint64_t seed) {
        kivsim::Options options;
        options.seed = seed;
        sim.reset(new kivsim::Simulator(options));
        if (!sim->AddStation(station, host) || !sim->Start()) return -1;
        if (reportByException) sim->SetExceptionMode(station, true);
        std::string text = "Host Address = " + std::to_string(host) + "\n";
        if (reportByException) text += "EXCEPTION = ON\n";
        if (!WriteChannelFile(number, text, true)) return -1;
        for (int k = 0; k < kEventRegisters; ++k) {
            changeGates.push_back(TavDefineGateAt(number - 1, station, AreaRegister, kChangeRegister + k, 255, 1, 0));
            loggedGates.push_back(TavDefineGateAt(number - 1, station, AreaRegister, kLoggedRegister + k, 255, 1, 0));
            statusGates.push_back(TavDefineGateAt(number - 1, station, AreaStatus, k, 255, 1, 0));
        }
        std::string port = sim->LinePath();
        if (port.size() > 11 && port.compare(0, 5, "/dev/") == 0) port = port.substr(5);
        std::memset(&settings, 0, sizeof settings);
        std::snprintf(settings.portName, sizeof settings.portName, "%s", port.c_str());
        settings.enabled = 1;
        settings.readTimeout = readTimeout;
        settings.line = LineSettings{19200, 8, 0, 0};
        return Call(CommandOpen, &settings);
    }
    // Opens the channel again as it was opened last.
    int32_t OpenAgain() { return Call(CommandOpen, &settings); }
    PortSettings settings;

    // A gate request on the channel's unit, decoded from an address text.
    GateRequest Gate(const std::string& text, int32_t kind, int32_t* data, int32_t count = 1) {
        AddressRequest address;
        std::memset(&address, 0, sizeof address);
        address.text = text.c_str();
        address.gate.kind = kind;
        address.gate.blockLength = count;
        EXPECT_EQ(0, Call(count > 1 ? CommandCheckAddress : CommandParseAddress, &address)) << text;
        address.gate.count = count;
        address.gate.data = data;
        return address.gate;
    }
    std::string Address(char form, int32_t number, const char* bit = "") {
        char text[16];
        std::snprintf(text, sizeof text, "%c%04d%04d%s", form, static_cast<int>(station), static_cast<int>(number),
                      bit);
        return text;
    }
    std::string EventAddress(char area) {
        char text[16];
        std::snprintf(text, sizeof text, "!%c%04d", area, static_cast<int>(station));
        return text;
    }
};

// Records the first failed check and goes on; the child's exit code tells.
struct Checks {
    std::mutex mutex;
    std::string first;
    int passed = 0;
    void operator()(bool ok, const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex);
        if (ok) {
            ++passed;
            return;
        }
        if (first.empty()) first = what;
        std::fprintf(stderr, "check failed: %s\n", what.c_str());
    }
    bool ok() {
        std::lock_guard<std::mutex> lock(mutex);
        return first.empty();
    }
};

// Stops the host's waits so that every listener ends, then leaves the child.
[[noreturn]] void StopAndExit(LogCapture& log, int listeners, Checks& check, const std::filesystem::path& scratch) {
    TavStopWaits();
    check(WaitUntil([&] { return log.Count(kShutdown) == listeners; }, kWaitMs), "every listener ended");
    // exit() skips the destructors: leave no scratch directory behind.
    std::error_code ignored;
    std::filesystem::current_path(std::filesystem::temp_directory_path(), ignored);
    std::filesystem::remove_all(scratch, ignored);
    if (check.ok()) std::fprintf(stderr, "all %d checks passed\n", check.passed);
    std::fflush(stderr);
    std::_Exit(check.ok() ? 0 : 1);
}

class ConcurrencyTest : public ::testing::Test {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        SetZone("UTC0");
    }

    // Three channels, report-by-exception on, fault-free units: every host
    // call succeeds with the unit's values, and every event reaches its gate
    // exactly once, whether the listener or a host's event read fetched it.
    void SeveralChannels() {
        ScratchDirectory directory("kiv-concurrency");
        TavReset();
        LogCapture log;
        GateLog gates;
        Checks check;
        constexpr int kCount = 3;
        constexpr int kEventsPerKind = 24;
        constexpr int kRounds = 40;
        Channel channels[kCount];
        for (int c = 0; c < kCount; ++c) {
            channels[c].number = c + 1;
            channels[c].host = static_cast<uint16_t>(10 * c);
            channels[c].station = static_cast<uint16_t>(5 + c);
            check(channels[c].Open(true, 50, 11 + c) == 0, "channel opens");
        }
        if (!check.ok()) StopAndExit(log, 0, check, directory.path());

        // The listeners start after a pause; the host's work begins once each
        // has delivered an event.
        std::vector<std::thread> threads;
        std::atomic<int> listening{0};
        for (int c = 0; c < kCount; ++c) {
            Channel& channel = channels[c];
            // The unit's events, with values no other event has.
            threads.emplace_back([&channel, c] {
                for (int i = 0; i < kEventsPerKind; ++i) {
                    const uint32_t value = static_cast<uint32_t>(1000000 * (c + 1) + i);
                    channel.sim->QueueRegisterChange(channel.station, kChangeRegister + i % kEventRegisters, value);
                    channel.sim->QueueStatusEvent(channel.station, static_cast<uint16_t>(i % kEventRegisters),
                                                  (i / kEventRegisters) % 2 == 0);
                    channel.sim->QueueLoggedEvent(channel.station, kLoggedRegister + i % kEventRegisters,
                                                  value + 500000);
                    std::this_thread::sleep_for(std::chrono::milliseconds(i < 3 ? 0 : 60));
                }
            });
            // The host's polls, writes and event reads on the same channel.
            threads.emplace_back([&channel, &check, &gates, &listening, c] {
                check(WaitUntil([&] { return gates.Count(channel.changeGates) > 0; }, kWaitMs),
                      "the listener delivers");
                ++listening;
                WaitUntil([&] { return listening.load() == kCount; }, kWaitMs);
                for (int round = 0; round < kRounds; ++round) {
                    const std::string where = "channel " + std::to_string(c + 1) + " round " + std::to_string(round);
                    int32_t value[1] = {static_cast<int32_t>(0x10000 * (c + 1) + round)};
                    GateRequest write = channel.Gate(channel.Address('R', 1), 3, value);
                    check(channel.Call(CommandWrite, &write) == 0, where + ": write");
                    int32_t read[1] = {0};
                    GateRequest poll = channel.Gate(channel.Address('R', 1), 3, read);
                    check(channel.Call(CommandRead, &poll) == 0 && read[0] == value[0], where + ": read back");
                    int32_t block[4] = {round, round + 1, round + 2, round + 3};
                    GateRequest blockWrite = channel.Gate(channel.Address('R', 10), 3, block, 4);
                    check(channel.Call(CommandWriteBlock, &blockWrite) == 0, where + ": block write");
                    int32_t blockRead[4] = {};
                    GateRequest blockPoll = channel.Gate(channel.Address('R', 10), 3, blockRead, 4);
                    check(channel.Call(CommandReadBlock, &blockPoll) == 0 &&
                              std::memcmp(block, blockRead, sizeof block) == 0,
                          where + ": block read back");
                    int32_t bit[1] = {0x00010000};  // the bit gate's word at byte offset 2
                    GateRequest bitWrite = channel.Gate(channel.Address('R', 2, "05"), 6, bit);
                    check(channel.Call(CommandWrite, &bitWrite) == 0, where + ": bit write");
                    int32_t events[1] = {-1};
                    const char area = "RSL"[round % 3];
                    GateRequest eventRead = channel.Gate(channel.EventAddress(area), 3, events);
                    check(channel.Call(CommandRead, &eventRead) == 0 && events[0] == 0, where + ": event read");
                }
            });
        }
        for (std::thread& thread : threads) thread.join();
        check(channels[0].sim->RegisterValue(channels[0].station, 2) == 0x20, "the bit write reached the unit");

        for (int c = 0; c < kCount; ++c) {
            Channel& channel = channels[c];
            const std::string where = "channel " + std::to_string(c + 1);
            const bool all = WaitUntil([&] {
                return gates.Count(channel.changeGates) == kEventsPerKind &&
                       gates.Count(channel.statusGates) == kEventsPerKind &&
                       gates.Count(channel.loggedGates) == kEventsPerKind;
            }, kWaitMs);
            check(all, where + ": every event reached a gate");
            // Exactly once: each value once, on the register it was queued for.
            for (int i = 0; i < kEventsPerKind; ++i) {
                const double value = 1000000.0 * (c + 1) + i;
                int changes = 0, logged = 0;
                for (double v : gates.Values(channel.changeGates[i % kEventRegisters])) changes += v == value;
                for (double v : gates.Values(channel.loggedGates[i % kEventRegisters])) logged += v == value + 500000;
                check(changes == 1 && logged == 1, where + ": event " + std::to_string(i) + " stored once");
            }
            const kivsim::Stats stats = channel.sim->GetStats();
            check(stats.refused == 0 && stats.crcErrors == 0 && stats.incompleteFrames == 0 && stats.framesNotOurs == 0,
                  where + ": the unit took every frame");
        }
        StopAndExit(log, kCount, check, directory.path());
    }

    // Channel 1 with report-by-exception on and a unit whose answers are
    // often late, so that its listener is usually inside a read; channel 2
    // without. The host closes channel 1's port under the listener, reopens
    // channel 2's port twice (its descriptor numbers and table slots come
    // round again) and reopens channel 1's. Nothing channel 1's listener
    // does may reach channel 2's line, no event is stored twice, and once
    // the closing stops the listener delivers again.
    void CloseUnderTheListener() {
        ScratchDirectory directory("kiv-close");
        TavReset();
        LogCapture log;
        GateLog gates;
        Checks check;
        Channel first, second;
        first.number = 1;
        first.host = 1;
        first.station = 5;
        second.number = 2;
        second.host = 2;
        second.station = 6;
        check(first.Open(true, 20, 21) == 0 && second.Open(false, 20, 22) == 0, "channels open");
        if (!check.ok()) StopAndExit(log, 0, check, directory.path());
        first.sim->SetDelay(120);
        first.sim->SetFaultProbability(kivsim::FaultKind::Delay, 0.5);

        std::atomic<bool> feeding{true};
        std::atomic<uint32_t> fed{0};
        std::thread feeder([&] {
            while (feeding.load()) {
                const uint32_t i = fed.load();
                first.sim->QueueRegisterChange(first.station, kChangeRegister + i % kEventRegisters, 7000000 + i);
                fed = i + 1;
                std::this_thread::sleep_for(std::chrono::milliseconds(3));
            }
        });
        // The closing begins once the listener is at work.
        check(WaitUntil([&] { return gates.Count(first.changeGates) > 0; }, kWaitMs), "the listener delivers");
        int reopened = 0;
        for (int round = 0; round < 120; ++round) {
            std::this_thread::sleep_for(std::chrono::milliseconds(round % 29));
            // Close ends the listener (a fetch in progress ends between its
            // passes); the host then opens the channel again.
            check(first.Call(CommandClose, nullptr) == 0, "close under the listener");
            check(second.Call(CommandReopenPort, nullptr) == 0 && second.Call(CommandReopenPort, nullptr) == 0,
                  "the other channel reopens its port");
            const int32_t result = first.OpenAgain();
            check(result == 0 || result == 1, "reopen: done or the listener kept the line");
            reopened += result == 0;
        }
        feeding = false;
        feeder.join();
        first.sim->ClearFaults();
        if (first.block->portHandle == 0) {
            check(first.OpenAgain() == 0, "last reopen");
            ++reopened;
        }
        check(reopened > 0, "reopens happened");
        std::fprintf(stderr, "reopened %d of 120, %u events fed while closing\n", reopened, fed.load());

        // Values 9000000 on come after the closing; all must arrive, once.
        constexpr int kAfter = 20;
        for (int i = 0; i < kAfter; ++i)
            first.sim->QueueRegisterChange(first.station, kChangeRegister + i % kEventRegisters, 9000000 + i);
        std::map<double, int> seen;
        const bool delivered = WaitUntil([&] {
            seen.clear();
            for (int32_t gate : first.changeGates)
                for (double value : gates.Values(gate)) ++seen[value];
            int after = 0;
            for (auto& entry : seen) after += entry.first >= 9000000;
            return after == kAfter;
        }, kWaitMs);
        check(delivered, "the listener delivers after the closing");
        for (auto& entry : seen) check(entry.second == 1, "event " + std::to_string(entry.first) + " stored once");
        check(second.sim->GetStats().framesReceived == 0, "nothing of channel 1 reached channel 2's line");
        // Each Open started a listener and each ended: by Close or at the stop.
        StopAndExit(log, 1 + reopened, check, directory.path());
    }
};

TEST_F(ConcurrencyTest, SeveralChannelsWithListenersAndHostThreads) {
    EXPECT_EXIT(SeveralChannels(), ::testing::ExitedWithCode(0), "all [0-9]+ checks passed");
}

TEST_F(ConcurrencyTest, CloseUnderARunningListenerNeverReachesAnotherPort) {
    EXPECT_EXIT(CloseUnderTheListener(), ::testing::ExitedWithCode(0), "all [0-9]+ checks passed");
}

}  // namespace
