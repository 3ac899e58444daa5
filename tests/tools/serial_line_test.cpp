// The tools' serial line on this platform's port layer: a COM port of a wine
// pair on Windows, a pseudo-terminal natively. Bytes both ways, waiting, and
// what cannot be opened.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "tests/support/line_pair.h"
#include "tools/common/serial_line.h"

namespace {

class ToolSerialLine : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pair.ok()) << pair.error();
        std::string error;
        ASSERT_TRUE(line.OpenDevice(pair.driverPort(), kivtools::LineSetup{}, &error)) << error;
        ASSERT_TRUE(line.IsOpen());
    }

    LinePair pair;
    kivtools::SerialLine line;
    std::atomic<bool> stop{false};
};

TEST_F(ToolSerialLine, CarriesBytesBothWays) {
    const Bytes request = HexBytes("05 64 0A 44 0C 00 00 00 01 01 2C");
    EXPECT_FALSE(line.WaitReadable(50));  // nothing sent yet
    ASSERT_TRUE(pair.Write(request));
    Bytes received;
    for (int tries = 0; tries < 50 && received.size() < request.size(); ++tries) {
        if (line.WaitReadable(200)) {
            ASSERT_GE(line.ReadAvailable(received), 0);
        }
    }
    EXPECT_EQ(HexText(request), HexText(received));

    const Bytes answer = HexBytes("05 64 05 00 00 0C 00 00");
    ASSERT_TRUE(line.Write(answer.data(), answer.size(), 0, stop));
    EXPECT_EQ(HexText(answer), HexText(pair.Read(answer.size(), 5000)));
    // Paced: every byte still arrives, in order.
    ASSERT_TRUE(line.Write(answer.data(), answer.size(), 115200, stop));
    EXPECT_EQ(HexText(answer), HexText(pair.Read(answer.size(), 5000)));
}

TEST_F(ToolSerialLine, AStoppedWriteSendsNothingMore) {
    stop = true;
    const Bytes bytes = HexBytes("01 02 03");
    EXPECT_FALSE(line.Write(bytes.data(), bytes.size(), 0, stop));
    EXPECT_TRUE(pair.Read(1, 200).empty());
}

TEST(ToolSerialLineOpen, APortThatIsNotThereIsRefusedWithItsName) {
    kivtools::SerialLine line;
    std::string error;
#if defined(_WIN32)
    const std::string missing = "COM199";
#else
    const std::string missing = "/dev/kiv-no-such-port";
#endif
    EXPECT_FALSE(line.OpenDevice(missing, kivtools::LineSetup{}, &error));
    EXPECT_FALSE(line.IsOpen());
    EXPECT_NE(std::string::npos, error.find(missing)) << error;
#if defined(_WIN32)
    // No pseudo-terminals or links on Windows: said, not pretended.
    EXPECT_FALSE(line.OpenPty(&error));
    EXPECT_NE(std::string::npos, error.find("COM port")) << error;
#endif
}

}  // namespace
