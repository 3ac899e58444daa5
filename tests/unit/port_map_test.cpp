// The port map's lines: names, addresses and what is refused.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/port_map.h"

namespace {

TEST(PortMap, ReadsEachKindOfLine) {
    struct Case {
        std::string line;
        PortMapLineResult result;
        const char* name;
        NetLineKind kind;
        const char* host;
        int port;
    } cases[] = {
        {"NET1 = tcp://127.0.0.1:4001", PortMapEntryRead, "NET1", NetLineTcp, "127.0.0.1", 4001},
        {"  com7=RFC2217://box.local:2217  # the pump station\r", PortMapEntryRead, "com7", NetLineRfc2217,
         "box.local", 2217},
        {"V6 = rfc2217://[::1]:65535", PortMapEntryRead, "V6", NetLineRfc2217, "::1", 65535},
        {"ELEVENCHARS = tcp://h:1", PortMapEntryRead, "ELEVENCHARS", NetLineTcp, "h", 1},
        {"", PortMapBlank, "", NetLineNone, "", 0},
        {"   # only a comment", PortMapBlank, "", NetLineNone, "", 0},
        {"NET1 tcp://h:1", PortMapBadName, "", NetLineNone, "", 0},
        {"TWELVECHARSX = tcp://h:1", PortMapBadName, "", NetLineNone, "", 0},
        {"TWO WORDS = tcp://h:1", PortMapBadName, "", NetLineNone, "", 0},
        {" = tcp://h:1", PortMapBadName, "", NetLineNone, "", 0},
        {"N = udp://h:1", PortMapBadUrl, "N", NetLineNone, "", 0},
        {"N = tcp://h", PortMapBadUrl, "N", NetLineNone, "", 0},
        {"N = tcp://h:0", PortMapBadUrl, "N", NetLineNone, "", 0},
        {"N = tcp://h:65536", PortMapBadUrl, "N", NetLineNone, "", 0},
        {"N = tcp://h:12x", PortMapBadUrl, "N", NetLineNone, "", 0},
        {"N = tcp://:80", PortMapBadUrl, "N", NetLineNone, "", 0},
        {"N = tcp://a:b:80", PortMapBadUrl, "N", NetLineNone, "", 0},
        {"N = tcp://[::1:80", PortMapBadUrl, "N", NetLineNone, "", 0},
        {"N = tcp://h/x:80", PortMapBadUrl, "N", NetLineNone, "", 0},
        {"N =", PortMapBadUrl, "N", NetLineNone, "", 0},
        // A NUL byte would cut the name or the host short where it is kept.
        {std::string("N\0X = tcp://h:1", 15), PortMapBadName, "", NetLineNone, "", 0},
        {std::string("N = tcp://h\0x:1", 15), PortMapBadUrl, "N", NetLineNone, "", 0},
        {std::string("N = tcp://h:1 #\0", 16), PortMapEntryRead, "N", NetLineTcp, "h", 1},
        // A device path stands for the device, blanks inside it kept.
        {"USB0 = /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0 # the pump", PortMapEntryRead, "USB0",
         PortMapDevice, "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", 0},
        {"P = /dev/my port", PortMapEntryRead, "P", PortMapDevice, "/dev/my port", 0},
        {"P = /" + std::string(255, 'x'), PortMapBadUrl, "P", NetLineNone, "", 0},
        {"P = dev/ttyUSB0", PortMapBadUrl, "P", NetLineNone, "", 0},
    };
    for (const Case& c : cases) {
        PortMapEntry entry;
        EXPECT_EQ(ParsePortMapLine(c.line.data(), c.line.size(), &entry), c.result) << c.line;
        EXPECT_STREQ(entry.name, c.name) << c.line;
        if (c.result != PortMapEntryRead) continue;
        EXPECT_EQ(entry.kind, c.kind) << c.line;
        EXPECT_STREQ(entry.host, c.host) << c.line;
        EXPECT_EQ(entry.port, c.port) << c.line;
    }
}

TEST(PortMap, NamesMatchWhateverTheirLetterCase) {
    PortMapEntry entry;
    const char line[] = "Net1 = tcp://h:1";
    ASSERT_EQ(ParsePortMapLine(line, sizeof line - 1, &entry), PortMapEntryRead);
    EXPECT_TRUE(PortNameMatches("NET1", entry));
    EXPECT_TRUE(PortNameMatches("net1", entry));
    EXPECT_FALSE(PortNameMatches("NET", entry));
    EXPECT_FALSE(PortNameMatches("NET12", entry));
}

}  // namespace
