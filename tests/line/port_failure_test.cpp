// Why a port did not open, as the driver's KivPortFailure export tells a
// tool: the step that failed, the system's code and what the name stood for.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/port_map.h"
#include "tests/support/driver_channel.h"
#include "tests/support/line_pair.h"
#include "tests/support/scratch_directory.h"

namespace {

TEST(PortFailure, EachFailedOpenSaysItsStepCodeAndDevice) {
    ScratchDirectory scratch("kiv-portfail");
    LinePair line;
    KIV_NEED_LINE(line);
    const std::string device = line.driverPort()[0] == '/' ? line.driverPort() : "/dev/" + line.driverPort();
    int holder = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(0, flock(holder, LOCK_EX | LOCK_NB));
    ASSERT_TRUE(WriteBytesFile(kPortMapFile, "REFUSED = tcp://127.0.0.1:1\n"
                                             "BADLINE = tcp://nowhere\n"
                                             "LONGPATH = /dev/serial/by-id/usb-KIV_Missing_Adapter_0001-if00-port0\n"));
    const struct {
        std::string port;
        int32_t step;
        int code;
        std::string device;
    } cases[] = {
        {"ttyKIVNONE", KivPortStepOpen, ENOENT, "/dev/ttyKIVNONE"},
        {"COM200", KivPortStepOpen, ENOENT, "/dev/ttyS199"},
        {"/dev/null", KivPortStepSettings, ENOTTY, "/dev/null"},
        {line.driverPort(), KivPortStepLock, EWOULDBLOCK, device},
        {"REFUSED", KivPortStepConnect, ECONNREFUSED, "tcp://127.0.0.1:1"},
        {"BADLINE", KivPortStepResolve, EINVAL, kPortMapFile},
        {"LONGPATH", KivPortStepOpen, ENOENT, "/dev/serial/by-id/usb-KIV_Missing_Adapter_0001-if00-port0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port);
        DriverChannel channel(1);
        ASSERT_TRUE(channel.WriteChannelFile("Host Address = 0\n"));
        EXPECT_EQ(2, channel.Open(c.port));
        KivPortFailureReport report{};
        ASSERT_EQ(1, KivPortFailure(channel.block.get(), &report));
        EXPECT_EQ(c.step, report.step);
        EXPECT_EQ(c.code, report.systemCode);
        EXPECT_EQ(c.device, report.device);
        EXPECT_EQ(c.port.substr(0, 11), report.port);
    }
    close(holder);

    // An open that succeeds clears the report; no block, no report.
    DriverChannel channel(1);
    ASSERT_TRUE(channel.WriteChannelFile("Host Address = 0\n"));
    EXPECT_EQ(2, channel.Open("ttyKIVNONE"));
    EXPECT_EQ(0, channel.Open(line.driverPort()));
    KivPortFailureReport report{};
    EXPECT_EQ(0, KivPortFailure(channel.block.get(), &report));
    EXPECT_EQ(-1, KivPortFailure(nullptr, &report));
}

}  // namespace
#endif
