// The driver's network lines (the port map, raw TCP and RFC 2217) against
// kivsim serving its units over the loopback interface: data both ways,
// settings, RTS, carrier, purge, time-outs, dropped connections and the
// open failures.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "base/channel_block.h"
#include "driver/commands.h"
#include "platform/platform.h"
#include "serial/port.h"
#include "tests/sim/net_line.h"
#include "tests/sim/sim_client.h"
#include "tests/support/channel_file.h"
#include "tests/support/log_capture.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/wait_until.h"
#include "tools/kivsim/kivsim.h"

namespace {

using simtest::Bytes;

int64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

class NetworkLine : public ::testing::Test {
protected:
    void StartSim(NetLineKind kind) {
        kivsim::Options options;
        options.listenKind = kind;
        options.listenAddress = "127.0.0.1";
        sim_.reset(new kivsim::Simulator(options));
        sim_->AddStation(12, 1);
        sim_->SetRegister(12, 300, 0xFFFFFFFFu);
        ASSERT_TRUE(sim_->Start()) << sim_->Error();
    }
    // Maps NET1 to the simulator and opens it as the driver does (19200 7E2).
    HANDLE OpenMapped(const std::string& mapLine) {
        EXPECT_TRUE(WriteBytesFile("kivports.int", "# test map\nNET1 = " + mapLine + "\n"));
        LineSettings line = {19200, 7, 2, 2};
        HANDLE handle = INVALID_HANDLE_VALUE;
        EXPECT_EQ(PortOpen("NET1", &line, 8, &handle), PortOk);
        return handle;
    }

    ScratchDirectory dir_{"kiv-net"};
    LogCapture log_;
    std::unique_ptr<kivsim::Simulator> sim_;
};

TEST_F(NetworkLine, Rfc2217CarriesDataSettingsRtsCarrierAndPurge) {
    StartSim(NetLineRfc2217);
    HANDLE handle = OpenMapped(sim_->LinePath());
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    kivsim::ComPortState com;
    ASSERT_TRUE(WaitUntil([&] { return sim_->NetLineState(&com) && com.baud == 19200; }));
    EXPECT_EQ(com.dataBits, 7);
    EXPECT_EQ(com.parity, 3);    // even
    EXPECT_EQ(com.stopBits, 2);  // two

    simtest::ExpectReadOfOnes(handle);
    ASSERT_TRUE(WaitUntil([&] { return sim_->NetLineState(&com) && com.purges >= 1; }));

    // RTS goes out as SET-CONTROL; CTS and the carrier come back as
    // modem-state notices (a wire: carrier always on, CTS follows RTS).
    DWORD lines = 0;
    ASSERT_TRUE(EscapeCommFunction(handle, SETRTS));
    ASSERT_TRUE(WaitUntil([&] { return GetCommModemStatus(handle, &lines) && (lines & MS_CTS_ON); }));
    EXPECT_TRUE(lines & MS_RLSD_ON);
    EXPECT_TRUE(sim_->NetLineState(&com) && com.rts);
    ASSERT_TRUE(EscapeCommFunction(handle, CLRRTS));
    ASSERT_TRUE(WaitUntil([&] { return GetCommModemStatus(handle, &lines) && !(lines & MS_CTS_ON); }));

    // A silent line: the read waits its time-out, as on a serial port.
    PortSetReadInterval(handle, 30);
    uint8_t byte;
    uint32_t total = 9;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(PortReadExact(handle, &byte, 1, &total), PortIoFailed);
    EXPECT_EQ(total, 0u);
    EXPECT_GE(ElapsedMs(start), 290);
    EXPECT_EQ(PortClose(handle), PortOk);
}

TEST_F(NetworkLine, RawTcpCarriesDataAndRefusesModemLines) {
    StartSim(NetLineTcp);
    HANDLE handle = OpenMapped(sim_->LinePath());
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    simtest::ExpectReadOfOnes(handle);
    DWORD lines = 0;
    EXPECT_FALSE(GetCommModemStatus(handle, &lines));
    EXPECT_FALSE(EscapeCommFunction(handle, SETRTS));
    EXPECT_EQ(GetLastError(), 1u);  // ERROR_INVALID_FUNCTION, as on a pseudo-terminal
    DCB dcb{};
    EXPECT_TRUE(GetCommState(handle, &dcb));
    EXPECT_EQ(dcb.BaudRate, 19200u);  // kept, without effect
    EXPECT_EQ(PortClose(handle), PortOk);
}

TEST_F(NetworkLine, ADroppedConnectionIsADeadPortNeverAHang) {
    for (NetLineKind kind : {NetLineTcp, NetLineRfc2217}) {
        StartSim(kind);
        HANDLE handle = OpenMapped(sim_->LinePath());
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        PortSetReadInterval(handle, 500);
        sim_.reset();  // the server goes away
        uint8_t bytes[4];
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(PortReadExact(handle, bytes, 4, nullptr), PortIoFailed);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_DEVICE));
        // Every later call fails at once, without waiting a time-out.
        EXPECT_EQ(PortReadExact(handle, bytes, 4, nullptr), PortIoFailed);
        EXPECT_EQ(PortWrite(handle, bytes, 4, nullptr), PortIoFailed);
        COMSTAT stat{};
        DWORD errors = 0;
        EXPECT_FALSE(ClearCommError(handle, &errors, &stat));
        EXPECT_LT(ElapsedMs(start), 5000);
        EXPECT_EQ(PortClose(handle), PortOk);
    }
}

// Through the driver: the dropped line is logged once as a gone port, later
// reads fail at once, and ReopenPort on the name (mapped to a server that is
// back) brings the channel back.
TEST_F(NetworkLine, ADroppedLineTakesTheChannelOffUntilReopenPort) {
    ASSERT_TRUE(WriteChannelFile(9, "Host Address = 0\n", true));
    ChannelBlock block{};
    auto call = [&block](int32_t command, void* parameters) {
        CallRecord record{&block, command, 9, 0, parameters};
        return KivMain(&record);
    };
    int32_t value = 0;
    GateRequest read{0, 0, 12, AreaRegister, 300, 255, 32, 0, 1, 0, &value};
    StartSim(NetLineRfc2217);
    ASSERT_TRUE(WriteBytesFile("kivports.int", "NET1 = " + sim_->LinePath() + "\n"));
    PortSettings settings{};
    std::snprintf(settings.portName, sizeof settings.portName, "NET1");
    settings.enabled = 1;
    settings.readTimeout = 100;
    settings.line = LineSettings{19200, 8, 0, 0};
    ASSERT_EQ(call(CommandOpen, &settings), 0);
    ASSERT_EQ(call(CommandRead, &read), 0);
    EXPECT_EQ(value, -1);

    sim_.reset();
    EXPECT_EQ(call(CommandRead, &read), 2);
    const std::string gone = "KivIN : Port NET1 gone (system error 1117), not used until opened again";
    EXPECT_EQ(log_.Count(gone), 1);
    const size_t lines = log_.Texts().size();
    EXPECT_EQ(call(CommandRead, &read), 2);
    EXPECT_EQ(log_.Texts().size(), lines);

    StartSim(NetLineRfc2217);
    ASSERT_TRUE(WriteBytesFile("kivports.int", "NET1 = " + sim_->LinePath() + "\n"));
    ASSERT_EQ(call(CommandReopenPort, nullptr), 0);
    value = 0;
    EXPECT_EQ(call(CommandRead, &read), 0);
    EXPECT_EQ(value, -1);
    EXPECT_EQ(log_.Count(gone), 1);
    EXPECT_EQ(call(CommandClose, nullptr), 0);
}

// A server that speaks Telnet but refuses the com-port option.
class RefusingServer {
public:
    RefusingServer() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(fd_, 1);
        socklen_t length = sizeof address;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            int client = accept(fd_, nullptr, nullptr);
            if (client < 0) return;
            const uint8_t refuse[] = {255, kTelnetDont, kOptionComPort};
            ssize_t ignored = write(client, refuse, sizeof refuse);
            (void)ignored;
            uint8_t scratch[64];
            while (read(client, scratch, sizeof scratch) > 0) {
            }
            close(client);
        });
    }
    ~RefusingServer() {
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        thread_.join();
    }
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
};

TEST_F(NetworkLine, OpenFailuresSayWhich) {
    RefusingServer refusing;
    const std::string closed = std::to_string(simtest::FreeLoopbackPort());
    struct Case {
        std::string map;
        std::string log;
    } cases[] = {
        {"NET1 = tcp://127.0.0.1", "KivIN : kivports.int line 1: bad address for port NET1"},
        {"NET1 = rfc2217://127.0.0.1:" + closed, "KivIN : Port NET1: connection to 127.0.0.1:" + closed + " refused"},
        {"NET1 = tcp://no-such-host.invalid:4000", "KivIN : Port NET1: unknown host no-such-host.invalid"},
        {"NET1 = rfc2217://127.0.0.1:" + std::to_string(refusing.port()),
         "KivIN : Port NET1: 127.0.0.1:" + std::to_string(refusing.port()) + " did not agree to RFC 2217"},
    };
    for (const Case& c : cases) {
        log_.Clear();
        ASSERT_TRUE(WriteBytesFile("kivports.int", c.map + "\n"));
        LineSettings line = {9600, 8, 0, 0};
        HANDLE handle = nullptr;
        EXPECT_EQ(PortOpen("NET1", &line, 8, &handle), PortOpenFailed) << c.map;
        EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(log_.Count(c.log), 1) << c.map;
    }
    // A line that is no entry at all is logged and passed over.
    log_.Clear();
    ASSERT_TRUE(WriteBytesFile("kivports.int", "what is this\n"));
    LineSettings line = {9600, 8, 0, 0};
    HANDLE handle = nullptr;
    EXPECT_EQ(PortOpen("NET1", &line, 8, &handle), PortOpenFailed);  // no /dev/NET1 either
    EXPECT_EQ(log_.Count("KivIN : kivports.int line 1 is not NAME = tcp://HOST:PORT or rfc2217://HOST:PORT, ignored"),
              1);
}

}  // namespace
