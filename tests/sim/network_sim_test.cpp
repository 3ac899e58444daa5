// kivsim as a serial device server: its RFC 2217 side against pyserial's
// client, its radio's rules, and the com-port answers it gives.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>

#include "tests/sim/sim_client.h"
#include "tools/kivsim/kivsim.h"

namespace {

using simtest::Bytes;

const char kPython[] = "/usr/bin/python3";

std::string Hex(const Bytes& bytes) {
    std::string text;
    char two[3];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        text += two;
    }
    return text;
}

// Runs a command and gives its standard output as "name value" pairs.
std::map<std::string, std::string> RunFindings(const std::string& command) {
    std::map<std::string, std::string> findings;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return findings;
    char text[4096];
    while (std::fgets(text, sizeof text, pipe) != nullptr) {
        std::istringstream line(text);
        std::string name, value;
        line >> name >> value;
        findings[name] = value;
    }
    pclose(pipe);
    return findings;
}

bool HavePyserial() {
    return std::system((std::string(kPython) + " -c 'import serial.rfc2217' 2>/dev/null").c_str()) == 0;
}

kivsim::Options NetOptions(NetLineKind kind) {
    kivsim::Options options;
    options.listenKind = kind;
    options.listenAddress = "127.0.0.1";
    return options;
}

TEST(KivsimRfc2217, PyserialSetsTheLineFollowsRtsAndPassesEscapedData) {
    if (!HavePyserial()) GTEST_SKIP() << "python3-serial is not installed (scripts/install-deps installs it)";
    kivsim::Simulator sim(NetOptions(NetLineRfc2217));
    sim.AddStation(12, 1);
    // Every byte of the value is 0xFF: the answer carries doubled IACs.
    sim.SetRegister(12, 300, 0xFFFFFFFFu);
    ASSERT_TRUE(sim.Start()) << sim.Error();
    const Bytes request = simtest::Frame(simtest::Request(12, 1, 1, {0x01, 0x2C, 0x01}));
    const std::string script = std::string(KIV_SOURCE_DIR) + "/tests/sim/pyserial_client.py";
    auto found = RunFindings(std::string(kPython) + " " + script + " " + sim.LinePath() + " " + Hex(request) +
                             " " + std::to_string(FrameSizeFor(14)));
    EXPECT_EQ(found["dsr"], "1");
    EXPECT_EQ(found["cd"], "1");  // a wire: the carrier is always there
    EXPECT_EQ(found["cts-after-rts-off"], "1");
    EXPECT_EQ(found["cts-after-rts-on"], "1");
    Bytes answer;
    for (size_t i = 0; i + 1 < found["answer"].size(); i += 2) {
        answer.push_back(uint8_t(std::stoi(found["answer"].substr(i, 2), nullptr, 16)));
    }
    uint8_t m[kMessageBufferSize];
    ASSERT_EQ(answer.size(), FrameSizeFor(14)) << found["answer"];
    ASSERT_TRUE(CheckFrameBlocks(simtest::CrcTable(), answer.data(), m)) << found["answer"];
    EXPECT_EQ(Bytes(m + 11, m + 15), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));

    kivsim::ComPortState com;
    sim.WaitQuiet(2000);
    sim.NetLineState(&com);
    EXPECT_EQ(com.baud, 19200u);
    EXPECT_EQ(com.dataBits, 7);
    EXPECT_EQ(com.parity, 3);  // even
    EXPECT_EQ(com.stopBits, 2);
    EXPECT_GE(com.purges, 1u);
    EXPECT_EQ(sim.GetStats().clients, 1u);
}

TEST(KivsimRfc2217, AnswersEachComCommand) {
    struct Case {
        uint8_t command;
        Bytes value;
        Bytes answerValue;
        bool notify;
    } cases[] = {
        {ComSetBaudRate, {0, 0, 0x4B, 0}, {0, 0, 0x4B, 0}, false},
        {ComSetBaudRate, {0, 0, 0, 0}, {0, 0, 0x4B, 0}, false},  // 0 asks
        {ComSetDataSize, {7}, {7}, false},
        {ComSetDataSize, {9}, {7}, false},                       // refused: stays
        {ComSetParity, {3}, {3}, false},
        {ComSetStopSize, {2}, {2}, false},
        {ComSetControl, {ComControlRtsOn}, {ComControlRtsOn}, true},
        {ComSetControl, {ComControlRtsOn}, {ComControlRtsOn}, false},  // no change
        {ComSetControl, {10}, {ComControlRtsOn}, false},               // asks for RTS
        {ComSetControl, {ComControlRtsOff}, {ComControlRtsOff}, true},
        {ComSetModemStateMask, {0x99}, {0x99}, true},
        {ComPurgeData, {kPurgeReceive}, {kPurgeReceive}, false},
        {ComSignature, {}, {'k', 'i', 'v', 's', 'i', 'm'}, false},
    };
    kivsim::ComPortState state;
    for (const Case& c : cases) {
        std::vector<uint8_t> out;
        EXPECT_EQ(kivsim::AnswerComCommand(&state, c.command, c.value.data(), c.value.size(), &out), c.notify)
            << int(c.command);
        uint8_t expected[kComSubnegotiationMax];
        size_t n = ComSubnegotiation(uint8_t(c.command + kComServerOffset), c.answerValue.data(),
                                     c.answerValue.size(), expected);
        EXPECT_EQ(out, Bytes(expected, expected + n)) << int(c.command);
    }
    EXPECT_EQ(state.baud, 19200u);
    EXPECT_EQ(state.purges, 1u);
}

TEST(KivsimRadio, LosesHostBytesUnkeyedBeforeKeyUpAndInCollisions) {
    kivsim::RadioSettings radio;
    radio.on = true;
    radio.keyUpMs = 100;
    struct Case {
        int64_t keyedAt;
        bool unitTransmitting;
        int64_t now;
        bool passes;
        kivsim::RadioLoss loss;
    } cases[] = {
        {-1, false, 1000, false, kivsim::RadioLoss::NotKeyed},
        {950, false, 1000, false, kivsim::RadioLoss::BeforeKeyUp},
        {901, false, 1000, false, kivsim::RadioLoss::BeforeKeyUp},
        {900, false, 1000, true, kivsim::RadioLoss::NotKeyed},
        {900, true, 1000, false, kivsim::RadioLoss::Collision},
    };
    for (const Case& c : cases) {
        kivsim::RadioLoss loss = kivsim::RadioLoss::NotKeyed;
        EXPECT_EQ(kivsim::RadioPassesHostByte(radio, c.keyedAt, c.unitTransmitting, c.now, &loss), c.passes)
            << c.keyedAt << " " << c.now;
        if (!c.passes) {
            EXPECT_EQ(loss, c.loss);
        }
    }
    radio.on = false;
    kivsim::RadioLoss loss;
    EXPECT_TRUE(kivsim::RadioPassesHostByte(radio, -1, true, 0, &loss));
}

}  // namespace
