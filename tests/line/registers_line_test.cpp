// Polling over a real line through KivMain: gate addresses parsed by command
// 3, then reads of registers, runs and bits, writes of registers, runs and
// bits, and the unit clock, against a unit played on the peer end; and the
// results 1 and 2 that a misbehaving unit brings about.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/channel_block.h"
#include "driver/commands.h"
#include "platform/platform.h"
#include "serial/port.h"
#include "tavlib/tavlib_control.h"
#include "tests/support/line_channel.h"
#include "tests/support/log_capture.h"
#include "tests/support/responder.h"
#include "tests/support/scripted_unit.h"

namespace {

constexpr int32_t kChannel = 1;

// How the played unit answers set-1 requests.
enum class Manner { Right, WrongSource, BadCrc, LongWriteAnswer };

class RegistersLineTest : public LineChannelTest {
protected:
    RegistersLineTest() : LineChannelTest(kChannel, "kiv-line-reg", "Host Address = 0\n") {}
    void SetUp() override {
        LineChannelTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_EQ(0, Open(line.driverPort(), 200));  // 2 s: only a silent unit would cost it
        log->Clear();  // what Open reports about the channel file
        unit.shape = [this](Bytes& answer) {
            if (manner == Manner::WrongSource) answer[4] ^= 0x01;
            if (manner == Manner::LongWriteAnswer) {
                answer.push_back(0);
                answer[0] = static_cast<uint8_t>(answer.size() - 1);
            }
        };
        responder.reset(new Responder(line, [this](const ReceivedFrame& frame) {
            if (!frame.complete || !frame.crcOk) return std::vector<Bytes>();
            std::vector<Bytes> answer = unit.FramesFor(frame.message);
            if (manner == Manner::BadCrc && frame.message[6] != 0 && !answer.empty()) answer[0].back() ^= 0x01;
            return answer;
        }));
        std::memset(data, 0x5A, sizeof data);
    }
    void TearDown() override {
        responder.reset();
        LineChannelTest::TearDown();
    }

    uint16_t BitWord() const {
        uint16_t word;
        std::memcpy(&word, reinterpret_cast<const uint8_t*>(data) + 2, sizeof word);
        return word;
    }
    Bytes Message(size_t index) { return responder->Frames().at(index).message; }

    ScriptedUnit unit;
    std::atomic<Manner> manner{Manner::Right};
    std::unique_ptr<Responder> responder;
};

TEST_F(RegistersLineTest, PollsAndWritesAUnit) {
    {
        auto lock = unit.Lock();
        unit.registers[300] = 100000;
        unit.registers[301] = 0x20;
        for (uint16_t k = 0; k < 5; ++k) unit.registers[static_cast<uint16_t>(400 + k)] = 0xFFFF0000u + k;
    }

    // One register: the link reset, then the read, byte for byte on the line.
    GateRequest gate = Gate("R00120300", 3);
    ASSERT_EQ(0, Call(CommandRead, &gate));
    EXPECT_EQ(100000, data[0]);
    const std::vector<ReceivedFrame> frames = responder->Frames();
    ASSERT_EQ(2u, frames.size());
    EXPECT_EQ(FrameOf(HexBytes("07 C0 00 0C 00 00 00 00")), frames[0].frame);
    EXPECT_EQ(FrameOf(HexBytes("0A FF 00 0C 00 00 01 01 01 2C 01")), frames[1].frame);

    // One bit of a register.
    gate = Gate("R0012030105", 6);
    ASSERT_EQ(0, Call(CommandRead, &gate));
    EXPECT_EQ(0x0020, data[0] & 0xFFFF);
    EXPECT_EQ(1, BitWord());

    // A run of five registers.
    AddressRequest block5;
    std::memset(&block5, 0, sizeof block5);
    block5.text = "R00120400";
    block5.gate.blockLength = 5;
    ASSERT_EQ(0, Call(CommandCheckAddress, &block5));
    block5.gate.count = 5;
    block5.gate.data = data;
    ASSERT_EQ(0, Call(CommandReadBlock, &block5.gate));
    for (int k = 0; k < 5; ++k) EXPECT_EQ(static_cast<int32_t>(0xFFFF0000u + k), data[k]) << k;

    // One register, a run of three, one bit.
    gate = Gate("R00120500", 4);
    data[0] = -7;
    ASSERT_EQ(0, Call(CommandWrite, &gate));
    gate = Gate("R00120010", 3, 3);
    data[0] = 10;
    data[1] = 11;
    data[2] = 12;
    ASSERT_EQ(0, Call(CommandWriteBlock, &gate));
    EXPECT_EQ(25, Message(responder->FrameCount() - 1)[0]);
    gate = Gate("R0012000703", 6);
    data[0] = 0x00010000;  // the bit's value sits in the word at offset 2
    ASSERT_EQ(0, Call(CommandWrite, &gate));
    const Bytes bitWrite = Message(responder->FrameCount() - 1);
    EXPECT_EQ(HexBytes("00 07 83"), Bytes(bitWrite.begin() + 8, bitWrite.end()));
    {
        auto lock = unit.Lock();
        EXPECT_EQ(0xFFFFFFF9u, unit.registers[500]);
        EXPECT_EQ(10u, unit.registers[10]);
        EXPECT_EQ(12u, unit.registers[12]);
        EXPECT_EQ(0x08u, unit.registers[7]);
    }

    // The clock: the PC's local time as the driver read it.
    SYSTEMTIME before, after;
    GetLocalTime(&before);
    gate = Gate("!T0012", 0);
    ASSERT_EQ(0, Call(CommandWrite, &gate));
    GetLocalTime(&after);
    auto prefix = [](const SYSTEMTIME& t) {
        return Bytes{static_cast<uint8_t>(t.wYear - 1900), static_cast<uint8_t>(t.wMonth),
                     static_cast<uint8_t>(t.wDay), static_cast<uint8_t>(t.wDayOfWeek + 1),
                     static_cast<uint8_t>(t.wHour), static_cast<uint8_t>(t.wMinute)};
    };
    auto lock = unit.Lock();
    ASSERT_EQ(9u, unit.clock.size());
    const Bytes sent(unit.clock.begin(), unit.clock.begin() + 6);
    EXPECT_TRUE(sent == prefix(before) || sent == prefix(after)) << HexText(unit.clock);
    EXPECT_LT(unit.clock[6], 60);
    EXPECT_LT((unit.clock[7] << 8) | unit.clock[8], 1000);
    EXPECT_TRUE(log->Lines().empty());  // polling that works logs nothing
}

TEST_F(RegistersLineTest, MisbehavingUnitsGiveOneAndTwo) {
    {
        auto lock = unit.Lock();
        unit.registers[300] = 1;
    }
    GateRequest gate = Gate("R00120300", 3);
    ASSERT_EQ(0, Call(CommandRead, &gate));  // the link reset is behind us now
    const size_t start = responder->FrameCount();

    // An answer from the wrong station: three tries of the same bytes, then 1.
    manner = Manner::WrongSource;
    data[0] = 0x5A5A5A5A;
    EXPECT_EQ(1, Call(CommandRead, &gate));
    EXPECT_EQ(0x5A5A5A5A, data[0]);
    ASSERT_EQ(start + 3, responder->FrameCount());
    EXPECT_EQ(Message(start), Message(start + 2));

    // Answers whose CRC is wrong are no answers: 2.
    manner = Manner::BadCrc;
    EXPECT_EQ(2, Call(CommandRead, &gate));
    EXPECT_EQ(0x5A5A5A5A, data[0]);
    EXPECT_EQ(3, log->Count("KivIN : RX Failed on CRC Check"));

    // A write answered with a payload byte: 1, not asked again.
    manner = Manner::LongWriteAnswer;
    const size_t before = responder->FrameCount();
    data[0] = 77;
    EXPECT_EQ(1, Call(CommandWrite, &gate));
    EXPECT_EQ(before + 1, responder->FrameCount());

    // And right again.
    manner = Manner::Right;
    data[0] = 0;
    EXPECT_EQ(0, Call(CommandRead, &gate));
    EXPECT_EQ(77, data[0]);  // the unit took the write all the same
}

// One channel called from several host threads at once, report-by-exception
// off: the busy flag keeps every exchange whole, so each thread only ever
// gets its own register's value.
TEST_F(RegistersLineTest, ThreadsSharingAChannelNeverGetAnotherThreadsValue) {
    constexpr int kThreads = 8;
    constexpr int kReads = 40;
    ASSERT_EQ(0, block->exceptionEnabled);
    std::vector<GateRequest> gates;
    {
        auto lock = unit.Lock();
        for (int t = 0; t < kThreads; ++t) unit.registers[static_cast<uint16_t>(300 + t)] = 1000u * (t + 1);
    }
    for (int t = 0; t < kThreads; ++t) {
        const std::string text = "R0012030" + std::to_string(t);
        gates.push_back(Gate(text.c_str(), 3));
    }
    std::atomic<int> done{0}, wrong{0}, failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            int32_t value[1];
            GateRequest gate = gates[t];
            gate.data = value;
            for (int k = 0; k < kReads; ++k) {
                value[0] = -1;
                if (Call(CommandRead, &gate) != 0) {
                    ++failed;
                } else if (value[0] == 1000 * (t + 1)) {
                    ++done;
                } else {
                    ++wrong;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(0, wrong.load());
    EXPECT_EQ(0, failed.load());
    EXPECT_EQ(kThreads * kReads, done.load());
    EXPECT_EQ(0, block->busy);
}

}  // namespace
