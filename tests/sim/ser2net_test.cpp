// The driver's RFC 2217 client against a server that no one here wrote:
// ser2net serving the pseudo-terminal end of kivsim's line.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "serial/port.h"
#include "tests/sim/net_line.h"
#include "tests/sim/sim_client.h"
#include "tests/support/log_capture.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/wait_until.h"
#include "tools/kivsim/kivsim.h"

namespace {

using simtest::Bytes;

const char kSer2net[] = "/usr/sbin/ser2net";

bool Listening(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

// ser2net in the foreground on one device, for the fixture's life.
class Ser2net {
public:
    // pidFile: ser2net writes it and removes it at its end, so it must be
    // a file of the test's own (never /dev/null).
    Ser2net(const std::string& device, int port, const std::string& pidFile) {
        std::vector<std::string> args = {kSer2net, "-n", "-u", "-P", pidFile,
                                         "-Y", "connection: &line",
                                         "-Y", "  accepter: telnet(rfc2217),tcp,127.0.0.1," + std::to_string(port),
                                         "-Y", "  connector: serialdev," + device + ",9600n81,local"};
        pid_ = fork();
        if (pid_ == 0) {
            int null = open("/dev/null", O_RDWR);
            dup2(null, 1);
            dup2(null, 2);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(kSer2net, argv.data());
            _exit(127);
        }
        // The first connection that gets through also opens ser2net's device.
        WaitUntil([&] { return Listening(port); }, 5000);
    }
    ~Ser2net() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }

private:
    pid_t pid_ = -1;
};

TEST(Ser2net, DriverClientPassesDataSettingsAndPurge) {
    if (access(kSer2net, X_OK) != 0) GTEST_SKIP() << "ser2net is not installed (scripts/install-deps installs it)";
    ScratchDirectory dir("kiv-ser2net");
    LogCapture log;
    kivsim::Simulator sim;
    sim.AddStation(12, 1);
    sim.SetRegister(12, 300, 0xFFFFFFFFu);
    ASSERT_TRUE(sim.Start()) << sim.Error();
    const int port = simtest::FreeLoopbackPort();
    Ser2net server(sim.LinePath(), port, (dir.path() / "ser2net.pid").string());
    ASSERT_TRUE(WriteBytesFile("kivports.int", "S2N = rfc2217://127.0.0.1:" + std::to_string(port) + "\n"));

    LineSettings line = {19200, 7, 2, 2};  // 19200 baud, 7 data bits, even parity, two stop bits
    HANDLE handle = INVALID_HANDLE_VALUE;
    ASSERT_EQ(PortOpen("S2N", &line, 8, &handle), PortOk);
    PortSetReadInterval(handle, 200);

    // Settings: ser2net applies them to its end of the pair. A
    // pseudo-terminal keeps speed and stop bits but always carries whole
    // bytes, so character size and parity cannot be seen there.
    ASSERT_NO_FATAL_FAILURE(simtest::ExpectReadOfOnes(handle));

    int fd = open(sim.LinePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
        struct termios t;
        ASSERT_EQ(tcgetattr(fd, &t), 0);
        EXPECT_EQ(cfgetospeed(&t), speed_t(B19200));
        EXPECT_TRUE(t.c_cflag & CSTOPB);
        close(fd);
    }

    // Purge: unasked bytes from the unit wait at the client, the driver's
    // purge throws them away (PURGE-DATA goes to ser2net as well), and the
    // next exchange is clean.
    sim.SendRaw({0x11, 0x22, 0x33});
    sim.WaitQuiet(2000);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    PortPurgeInput(handle);
    COMSTAT stat{};
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(handle, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
    simtest::ExpectReadOfOnes(handle);

    // Modem lines: a pseudo-terminal has none. ser2net takes RTS as sent
    // (our side reports success: SET-CONTROL went out) and never reports a
    // carrier, so a radio cannot work through it here.
    EXPECT_TRUE(EscapeCommFunction(handle, SETRTS));
    DWORD lines = 0;
    EXPECT_TRUE(GetCommModemStatus(handle, &lines));
    EXPECT_FALSE(lines & MS_RLSD_ON);
    EXPECT_EQ(PortClose(handle), PortOk);
}

}  // namespace
