// A test on driver channel 1 against kivsim: a scratch directory made
// current, the runtime stand-in reset and its log captured around each test,
// and the channel opened on the simulator's line through KivMain.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tavlib/tavlib_control.h"
#include "tests/support/driver_channel.h"
#include "tests/support/log_capture.h"
#include "tests/support/scratch_directory.h"
#include "tools/kivsim/kivsim.h"

class SimChannelTest : public ::testing::Test, protected DriverChannel {
protected:
    explicit SimChannelTest(const std::string& scratchPrefix) : DriverChannel(1), directory(scratchPrefix) {}
    void SetUp() override {
        TavReset();
        log.reset(new LogCapture());
    }
    // A fixture's own TearDown ends the channel and the simulator first.
    void TearDown() override {
        log.reset();
        TavReset();
    }

    // Writes the channel file and opens the channel on the simulator's line
    // at 19200 8N1 (read time-out in tens of ms); Open's result. What Open
    // logged is cleared.
    int32_t OpenOnLine(const kivsim::Simulator& sim, const std::string& channelFile, int32_t readTimeout) {
        if (!WriteChannelFile(channelFile)) return -1;
        // Port names are at most 11 characters; the port layer looks for
        // names without a leading slash under /dev/.
        std::string port = sim.LinePath();
        if (port.size() > 11 && port.compare(0, 5, "/dev/") == 0) port = port.substr(5);
        EXPECT_LE(port.size(), 11u) << port;
        if (port.size() > 11) return -1;
        const int32_t result = Open(port, readTimeout);
        log->Clear();
        return result;
    }

    ScratchDirectory directory;
    std::unique_ptr<LogCapture> log;
};
