// kivpoll and the ports a field engineer names: long stable device paths
// through the port map, the ports listed, the reasons a port does not open,
// and a port that goes away and comes back while kivpoll listens.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/tool_run.h"
#include "tools/kivsim/kivsim.h"

#if defined(KIV_KIVPOLL_PATH)

namespace {

namespace fs = std::filesystem;

ToolRun Kivpoll(const std::string& arguments) { return RunTool(KIV_KIVPOLL_PATH, arguments); }

// A unit on a fresh pseudo-terminal.
std::unique_ptr<kivsim::Simulator> StartUnit() {
    auto sim = std::make_unique<kivsim::Simulator>();
    sim->AddStation(12, 0);
    sim->SetRegister(12, 300, 100000);
    return sim->Start() ? std::move(sim) : nullptr;
}

// True when another program holds the device's lock, as the driver does
// with a port it opened.
bool HeldByAnother(const std::string& device) {
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    return held;
}

// A by-id style link, longer than a port name holds, to target.
void PointLink(const fs::path& link, const std::string& target) {
    fs::create_directories(link.parent_path());
    std::error_code ignored;
    fs::remove(link, ignored);
    fs::create_symlink(target, link);
}

TEST(KivpollPorts, ALongDevicePathIsPolledThroughThePortMap) {
    auto sim = StartUnit();
    ASSERT_TRUE(sim);
    ScratchDirectory scratch("kiv-byid");
    const fs::path link = scratch.path() / "serial/by-id/usb-KIV_Test_Adapter_A50285BI-if00-port0";
    PointLink(link, sim->LinePath());
    const fs::path work = scratch.path() / "work";
    fs::create_directories(work);
    const std::string map = (work / "kivports.int").string();
    const struct {
        const char* name;
        std::string mapBefore;  // the work folder's map before the runs ("": none)
        std::string entry;      // the entry the runs use
    } cases[] = {
        {"a temporary folder", "", ""},
        {"a map of the user's", "MINE = tcp://box:4001\n", "KIVDEV = " + link.string()},
        {"the name taken", "KIVDEV = /dev/ttyUSB9", "KIVDEV2 = " + link.string()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string workdir = c.entry.empty() ? "" : " -w " + work.string();
        if (!c.entry.empty()) {
            ASSERT_TRUE(WriteBytesFile(map, c.mapBefore));
        }
        for (int run = 0; run < 2; ++run) {
            ToolRun polled = Kivpoll("-p " + link.string() + workdir + " -t 200 -q R00120300");
            EXPECT_EQ(0, polled.status) << polled.output;
            EXPECT_NE(std::string::npos, polled.output.find("100000")) << polled.output;
        }
        if (c.entry.empty()) continue;
        // The user's lines stay, and the entry is written once and used again.
        const std::string after = ReadBytesFile(map);
        EXPECT_EQ(0u, after.find(c.mapBefore)) << after;
        EXPECT_EQ(1, std::count(after.begin(), after.end(), '=') - std::count(c.mapBefore.begin(), c.mapBefore.end(), '='))
            << after;
        EXPECT_NE(std::string::npos, after.find(c.entry + "\n")) << after;
    }
}

TEST(KivpollPorts, APortRefusedForWantOfPermissionNamesTheGroup) {
    if (geteuid() != 0 || std::system("setpriv --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs root and setpriv to run kivpoll as another user";
    // The other user must reach the build's driver: not in a clone under a private folder (mktemp -d).
    const std::string program = KIV_KIVPOLL_PATH;
    const std::string driver = program.substr(0, program.rfind('/')) + "/KIVLINK.so";
    if (std::system(("/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups /usr/bin/test -r " + driver).c_str()) != 0)
        GTEST_SKIP() << "the build folder is closed to other users: " << driver;
    auto sim = StartUnit();
    ASSERT_TRUE(sim);
    ASSERT_EQ(0, chmod(sim->LinePath().c_str(), 0660));
    ToolRun run = RunTool("/usr/bin/setpriv", "--reuid=65534 --regid=65534 --clear-groups " +
                                                  std::string(KIV_KIVPOLL_PATH) + " -p " + sim->LinePath() +
                                                  " -q R00120300");
    EXPECT_EQ(4, run.status) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("Permission denied")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("sudo usermod -aG ")) << run.output;
}

TEST(KivpollPorts, ListPortsGivesStableNamesDriverAndUsbIds) {
    ScratchDirectory root("kiv-root");
    const fs::path usb = root.path() / "sys/devices/pci0000:00/usb1/1-2";
    fs::create_directories(usb / "1-2:1.0/ttyUSB7");
    fs::create_directories(root.path() / "sys/bus/usb-serial/drivers/ftdi_sio");
    for (const auto& field : {std::make_pair("idVendor", "0403"), std::make_pair("idProduct", "6001"),
                              std::make_pair("manufacturer", "FTDI"), std::make_pair("product", "FT232R USB UART")})
        ASSERT_TRUE(WriteBytesFile((usb / field.first).string(), std::string(field.second) + "\n"));
    fs::create_directory_symlink(root.path() / "sys/bus/usb-serial/drivers/ftdi_sio", usb / "1-2:1.0/ttyUSB7/driver");
    fs::create_directories(root.path() / "sys/class/tty/ttyUSB7");
    fs::create_directory_symlink(usb / "1-2:1.0/ttyUSB7", root.path() / "sys/class/tty/ttyUSB7/device");
    fs::create_directories(root.path() / "sys/class/tty/ttyS3");  // no device: a console, not a port
    fs::create_directories(root.path() / "dev");
    ASSERT_TRUE(WriteBytesFile((root.path() / "dev/ttyUSB7").string(), ""));
    PointLink(root.path() / "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "../../ttyUSB7");
    PointLink(root.path() / "dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0", "../../ttyUSB7");

    ToolRun run = RunTool("/usr/bin/env", "KIVPOLL_ROOT=" + root.path().string() + " " + KIV_KIVPOLL_PATH +
                                              " --list-ports");
    EXPECT_EQ(0, run.status) << run.output;
    EXPECT_EQ("/dev/ttyUSB7  ftdi_sio, USB 0403:6001 FTDI FT232R USB UART\n"
              "    /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0\n"
              "    /dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0\n",
              run.output);
    run = RunTool("/usr/bin/env", "KIVPOLL_ROOT=" + (root.path() / "empty").string() + " " + KIV_KIVPOLL_PATH +
                                      " --list-ports");
    EXPECT_NE(std::string::npos, run.output.find("no serial ports found")) << run.output;
}

// The adapter pulled out while kivpoll listens: its pseudo-terminal closed,
// a new one made under the same link. kivpoll says both once and the
// listener goes on with the new port.
TEST(KivpollPorts, ListeningCarriesOnWhenThePortComesBack) {
    auto sim = StartUnit();
    ASSERT_TRUE(sim);
    ScratchDirectory scratch("kiv-replug");
    const fs::path link = scratch.path() / "serial/by-id/usb-KIV_Test_Adapter_B1-if00-port0";
    PointLink(link, sim->LinePath());
    const std::string errors = (scratch.path() / "errors.txt").string();
    ChildProcess poller;
    ASSERT_TRUE(poller.Start({KIV_KIVPOLL_PATH, "-p", link.string(), "--json", "--listen", "40"},
                             ChildProcess::Errors::ToFile, errors));
    auto said = [&](const std::string& text) { return ReadBytesFile(errors).find(text) != std::string::npos; };
    ASSERT_TRUE(WaitUntil([&] { return HeldByAnother(sim->LinePath()); }, 15000));

    sim.reset();  // the pseudo-terminal goes
    EXPECT_TRUE(WaitUntil([&] { return said("gone: the device went away"); }, 15000)) << ReadBytesFile(errors);
    sim = StartUnit();
    ASSERT_TRUE(sim);
    PointLink(link, sim->LinePath());
    EXPECT_TRUE(WaitUntil([&] { return said("back: reopened"); }, 15000)) << ReadBytesFile(errors);

    sim->SetExceptionMode(12, true);
    sim->QueueRegisterChange(12, 77, 4242);
    sim->SendNotice(12);
    EXPECT_FALSE(poller.ReadLineWith("\"value\":4242", 15000).empty());
    poller.Signal(SIGTERM);
    int exitCode = -1;
    EXPECT_TRUE(poller.WaitExit(10000, &exitCode));
    const std::string text = ReadBytesFile(errors);
    size_t gone = 0;
    for (size_t at = text.find(" gone: "); at != std::string::npos; at = text.find(" gone: ", at + 1)) ++gone;
    EXPECT_EQ(1u, gone) << text;
}

}  // namespace

#endif
