// Radio keying end to end: the driver with RADIO=YES and the times of its
// channel file, on an RFC 2217 line to kivsim playing a half-duplex radio
// (its key-up and tail times) between host and units.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "driver/commands.h"
#include "tavlib/tavlib_control.h"
#include "tests/sim/sim_channel.h"
#include "tests/support/wait_until.h"
#include "tools/kivsim/kivsim.h"

namespace {

constexpr int32_t kChannel = 1;
constexpr uint16_t kStation = 12;
const char kNoCarrier[] = "KivIN : No Carrier Detected 2 sec after TX";

class RadioSimTest : public SimChannelTest {
protected:
    RadioSimTest() : SimChannelTest("kiv-radio") {}
    void StartRadio(int keyUpMs) {
        kivsim::Options options;
        options.listenKind = NetLineRfc2217;
        options.listenAddress = "127.0.0.1";
        options.radio.on = true;
        options.radio.keyUpMs = keyUpMs;
        options.radio.tailMs = 40;
        sim.reset(new kivsim::Simulator(options));
        sim->AddStation(kStation, 0);
        sim->SetRegister(kStation, 300, 4242);
        ASSERT_TRUE(sim->Start()) << sim->Error();
        ASSERT_TRUE(WriteBytesFile("kivports.int", "RADIO1 = " + sim->LinePath() + "\n"));
    }
    void TearDown() override {
        if (block->portHandle != 0 && sim) Call(CommandClosePort, nullptr);
        sim.reset();
        SimChannelTest::TearDown();
    }
    // Opens channel 1 with RADIO = YES and these ON, OFF and DELAY times.
    void OpenChannel(int on, int off, int delay, bool reportByException = false) {
        if (!sim) StartRadio(60);
        std::string config = "Host Address = 0\n";
        if (reportByException) config += "EXCEPTION = ON\n";
        config += "RADIO = YES," + std::to_string(on) + "," + std::to_string(off) + "," + std::to_string(delay) + "\n";
        ASSERT_TRUE(WriteChannelFile(config));
        ASSERT_EQ(0, Open("RADIO1", 20, LineSettings{9600, 8, 0, 0}));
        log->Clear();
    }

    std::unique_ptr<kivsim::Simulator> sim;
};

TEST_F(RadioSimTest, AKeyUpTimeShorterThanTheRadiosLosesEveryTry) {
    StartRadio(300);
    OpenChannel(0, 10, 0);  // no key-up time at all against a radio that needs 300 ms
    EXPECT_EQ(2, ReadGate("R00120300"));
    std::fprintf(stderr, "no-carrier tries: %d\n", log->Count(kNoCarrier));
    EXPECT_GE(log->Count(kNoCarrier), 3);  // every try sent too early
    const kivsim::Stats stats = sim->GetStats();
    EXPECT_GT(stats.radioLost[int(kivsim::RadioLoss::BeforeKeyUp)], 0u);
    EXPECT_EQ(0u, stats.framesReceived);
}

TEST_F(RadioSimTest, ALongEnoughKeyUpTimeWorksAndCarrierHoldsTheNextTransmission) {
    OpenChannel(100, 10, 0);
    EXPECT_EQ(0, ReadGate("R00120300"));
    EXPECT_EQ(4242, data[0]);
    EXPECT_EQ(0u, sim->GetStats().radioLost[int(kivsim::RadioLoss::BeforeKeyUp)]);

    // A carrier from elsewhere: the driver holds its transmission (RTS
    // stays down, nothing is lost in a collision) until the carrier goes.
    sim->SetForcedCarrier(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::thread release([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        sim->SetForcedCarrier(false);
    });
    const auto start = std::chrono::steady_clock::now();
    sim->SetRegister(kStation, 300, 77);
    EXPECT_EQ(0, ReadGate("R00120300"));
    release.join();
    EXPECT_EQ(77, data[0]);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(700));
    const kivsim::Stats stats = sim->GetStats();
    EXPECT_EQ(0u, stats.radioLost[int(kivsim::RadioLoss::Collision)]);
    EXPECT_EQ(0u, stats.radioCollisions);
    for (const std::string& text : log->Texts()) ADD_FAILURE() << text;
}

// Report-by-exception never ends in a process but by the latch: in a child.
class RadioSimDeathTest : public RadioSimTest {
protected:
    void EveryEventOnce() {
        OpenChannel(100, 10, 0, true);
        constexpr int kChanges = 60;  // two fetch passes
        for (int number = 1; number <= kChanges; ++number) {
            TavDefineGateAt(kChannel - 1, kStation, AreaRegister, number, 255, 1.0, 0.0);
            sim->QueueRegisterChange(kStation, uint16_t(number), uint32_t(number * 10));
        }
        const int32_t point = TavDefineGateAt(kChannel - 1, kStation, AreaStatus, 5, 255, 1.0, 0.0);
        sim->QueueStatusEvent(kStation, 5, true);
        sim->SetExceptionMode(kStation, true);
        bool ok = WaitUntil([&] { return TavGateWrites() >= kChanges + 1; });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // nothing more may come
        ok = ok && TavGateWrites() == kChanges + 1;
        TavGateValue value{};
        TavReadGate(point, &value);
        ok = ok && value.updates == 1 && value.value == 1.0;
        for (int number = 1; number <= kChanges && ok; ++number) {
            TavReadGate(TavFindGate(kChannel - 1, kStation, AreaRegister, number, 255), &value);
            ok = value.updates == 1 && value.value == number * 10.0;
        }
        ok = ok && sim->GetStats().acks >= 1;
        if (!ok) std::fprintf(stderr, "gate writes %d\n", TavGateWrites());
        std::error_code ignored;
        std::filesystem::current_path(std::filesystem::temp_directory_path(), ignored);
        std::filesystem::remove_all(directory.path(), ignored);
        std::exit(ok ? 0 : 1);
    }
};

TEST_F(RadioSimDeathTest, ReportByExceptionOnTheRadioDeliversEveryEventOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(EveryEventOnce(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
