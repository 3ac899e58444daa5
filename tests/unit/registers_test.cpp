// Register reads and writes, bits and the unit clock against a scripted unit
// on the fake port: the messages on the wire, the answer tests, the link
// reset and frame-count points, and the refusals before anything is sent.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "base/channel_block.h"
#include "driver/commands.h"
#include "link/frame_io.h"
#include "requests/registers.h"
#include "tests/support/fake_platform.h"
#include "tests/support/log_capture.h"
#include "tests/support/scripted_unit.h"

namespace {

class RegistersTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        block.reset(new ChannelBlock());
        SetCurrentChannel(block.get());
        CrcInit();
        block->portHandle = HandleToField(fake::OpenPort("COM1"));
        fake::SetResponder([this](HANDLE port, const Bytes& written) { unit.Hear(port, written); });
        std::memset(data, 0x5A, sizeof data);
        gate = GateRequest{};
        gate.station = 12;
        gate.area = AreaRegister;
        gate.bit = 255;
        gate.size = 32;
        gate.count = 1;
        gate.data = data;
    }
    void TearDown() override { fake::SetResponder(nullptr); }

    int32_t Call(int32_t command) {
        CallRecord call{block.get(), command, 1, 0, &gate};
        return KivMain(&call);
    }
    void SetHostAddress(uint16_t address) {
        block->hostAddress[0] = static_cast<uint8_t>(address >> 8);
        block->hostAddress[1] = static_cast<uint8_t>(address);
    }
    // The two 16-bit words of the first value, as the host sees them.
    uint16_t Word(int index) const {
        uint16_t word;
        std::memcpy(&word, reinterpret_cast<const uint8_t*>(data) + 2 * index, sizeof word);
        return word;
    }
    void SetWord(int index, uint16_t word) { std::memcpy(reinterpret_cast<uint8_t*>(data) + 2 * index, &word, 2); }

    std::unique_ptr<ChannelBlock> block;
    ScriptedUnit unit;
    LogCapture log;
    GateRequest gate;
    int32_t data[64];
};

const Bytes kLinkResetTo12 = {0x07, 0xC0, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x00};

TEST_F(RegistersTest, ReadOfOneRegisterOnTheWire) {
    unit.registers[300] = 100000;
    gate.number = 300;
    gate.count = 9;  // Read covers one register whatever the caller had there
    ASSERT_EQ(0, Call(CommandRead));
    EXPECT_EQ(100000, data[0]);
    EXPECT_EQ(1, gate.count);
    EXPECT_EQ(0x5A5A5A5A, data[1]);
    ASSERT_EQ(2u, unit.requests.size());
    EXPECT_EQ(kLinkResetTo12, unit.requests[0]);
    // The toggle was flipped from 0 before the header was built: FCB 1.
    EXPECT_EQ((Bytes{0x0A, 0xFF, 0x00, 0x0C, 0x00, 0x00, 0x01, 0x01, 0x01, 0x2C, 0x01}), unit.requests[1]);
    EXPECT_EQ(1, block->fcb);
    EXPECT_EQ(1, block->linkReset[12]);  // reset sent

    // The second read: no link reset, the toggle back to 0, our address as source.
    SetHostAddress(258);
    unit.requests.clear();
    ASSERT_EQ(0, Call(CommandRead));
    ASSERT_EQ(1u, unit.requests.size());
    EXPECT_EQ((Bytes{0x0A, 0x5F, 0x00, 0x0C, 0x01, 0x02, 0x01, 0x01, 0x01, 0x2C, 0x01}), unit.requests[0]);
}

// The answer's length byte decides how many values it carries: (L - 10) >> 2
// on a signed number, so stray bytes up to three are ignored and a short
// answer is negative.
TEST_F(RegistersTest, ReadAnswerLengthTable) {
    struct Case {
        int count;
        int answerLength;
        int result;
    };
    const Case cases[] = {
        {1, 14, 0}, {1, 15, 0}, {1, 17, 0}, {1, 13, 1}, {1, 18, 1}, {1, 9, 1}, {1, 7, 1},
        {0, 10, 0}, {0, 13, 0}, {0, 14, 1}, {0, 9, 1},  {3, 22, 0}, {3, 21, 1}, {2, 22, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "count " << c.count << " answer length " << c.answerLength);
        std::memset(data, 0x5A, sizeof data);
        unit.registers[40] = 0x01020304;
        unit.registers[41] = 0xFFFFFFFE;
        unit.registers[42] = 7;
        unit.shape = [&](Bytes& answer) {
            answer.resize(c.answerLength + 1u, 0xEE);
            answer[0] = static_cast<uint8_t>(c.answerLength);
        };
        unit.requests.clear();
        block->linkReset[12] = 0;
        gate.number = 40;
        gate.count = c.count;
        EXPECT_EQ(c.result, Call(CommandReadBlock));
        // A block of at most one register goes without link reset; an answer
        // of the wrong length is not asked for again, unless it is too short
        // to echo the register and count (then it may be another's).
        const size_t tries = c.answerLength < 10 ? 3u : 1u;
        ASSERT_EQ((c.count > 1 ? 1u : 0u) + tries, unit.requests.size());
        EXPECT_EQ(static_cast<uint8_t>(c.count), unit.requests.back()[10]);
        const int32_t expected[3] = {0x01020304, -2, 7};
        for (int k = 0; k < 4; ++k) {
            EXPECT_EQ(c.result == 0 && k < c.count ? expected[k] : 0x5A5A5A5A, data[k]) << "entry " << k;
        }
    }
}

TEST_F(RegistersTest, ReadOfOneBitKeepsTheLowHalfAndSetsTheWordAtOffsetTwo) {
    struct Case {
        uint32_t value;
        int32_t bit;
        uint16_t low, bitWord;
    };
    const Case cases[] = {
        {0x00000020, 5, 0x0020, 1},
        {0x00000020, 4, 0x0020, 0},
        {0x80000001, 31, 0x0001, 1},
        {0x80000001, 0, 0x0001, 1},
        {0x00010000, 16, 0x0000, 1},
        {0xFFFEFFFF, 16, 0xFFFF, 0},
        {0x00000002, 33, 0x0002, 1},  // the shift is taken modulo 32
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.value << " bit " << std::dec << c.bit);
        unit.registers[7] = c.value;
        gate.number = 7;
        gate.bit = c.bit;
        ASSERT_EQ(0, Call(CommandRead));
        EXPECT_EQ(c.low, Word(0));
        EXPECT_EQ(c.bitWord, Word(1));
    }
}

TEST_F(RegistersTest, FailedReadLeavesTheDataAlone) {
    unit.registers[7] = 0xFFFFFFFF;
    gate.number = 7;
    gate.bit = 3;
    unit.shape = [](Bytes& answer) { answer[0] = 9; answer.resize(10); };
    EXPECT_EQ(1, Call(CommandRead));
    EXPECT_EQ(0x5A5A5A5A, data[0]);

    unit.shape = nullptr;
    unit.silentAnswers = 3;
    EXPECT_EQ(2, Call(CommandRead));
    EXPECT_EQ(0x5A5A5A5A, data[0]);
}

TEST_F(RegistersTest, WriteOfOneBitSendsItsValueInBitSeven) {
    struct Case {
        uint16_t lowWord, bitWord;
        uint8_t sent;
    };
    // Only the word at offset 2 carries the value; the low word is not looked at.
    const Case cases[] = {{0x0000, 1, 0x83}, {0xFFFF, 0, 0x03}, {0x0000, 0x8000, 0x83}};
    for (const Case& c : cases) {
        unit.requests.clear();
        SetWord(0, c.lowWord);
        SetWord(1, c.bitWord);
        gate.number = 7;
        gate.bit = 3;
        ASSERT_EQ(0, Call(CommandWrite));
        ASSERT_EQ(1u, unit.requests.size());  // a write needs no link reset
        const Bytes& sent = unit.requests[0];
        EXPECT_EQ((Bytes{0x00, 0x07, c.sent}), Bytes(sent.begin() + 8, sent.end()));
        EXPECT_EQ(0x0A, sent[0]);
        EXPECT_EQ(4, sent[7]);
    }
}

TEST_F(RegistersTest, WriteAnswerMustBeABareHeader) {
    gate.number = 7;
    data[0] = 42;
    ASSERT_EQ(0, Call(CommandWrite));
    EXPECT_EQ(42u, unit.registers[7]);
    EXPECT_EQ((Bytes{0x0D, 0xF3, 0x00, 0x0C, 0x00, 0x00, 0x01, 0x03, 0x00, 0x07, 0x00, 0x00, 0x00, 0x2A}),
              unit.requests.back());

    // One payload byte too many: opcode, function and addresses fit, the length not.
    unit.shape = [](Bytes& answer) { answer.push_back(0); answer[0] = 8; };
    unit.requests.clear();
    EXPECT_EQ(1, Call(CommandWrite));
    EXPECT_EQ(1u, unit.requests.size());
    gate.bit = 3;
    EXPECT_EQ(1, Call(CommandWrite));
}

TEST_F(RegistersTest, BlockWriteCarriesEachRegisterWithItsNumber) {
    gate.number = 10;
    gate.count = 3;
    data[0] = 1;
    data[1] = -1;
    data[2] = 0x12345678;
    ASSERT_EQ(0, Call(CommandWriteBlock));
    ASSERT_EQ(2u, unit.requests.size());
    EXPECT_EQ(kLinkResetTo12, unit.requests[0]);
    EXPECT_EQ((Bytes{25, 0xF3, 0x00, 0x0C, 0x00, 0x00, 0x01, 0x03,
                     0x00, 0x0A, 0x00, 0x00, 0x00, 0x01,
                     0x00, 0x0B, 0xFF, 0xFF, 0xFF, 0xFF,
                     0x00, 0x0C, 0x12, 0x34, 0x56, 0x78}),
              unit.requests[1]);
    EXPECT_EQ(0xFFFFFFFFu, unit.registers[11]);
}

// The frame's length byte bounds a block: 41 registers to write (6 * 41 + 7
// = 253) and 61 to read (10 + 4 * 61 = 254). Larger blocks, and negative
// counts, are refused before anything is sent.
TEST_F(RegistersTest, BlocksThatCannotBeFramedAreRefusedBeforeSending) {
    for (int k = 0; k < 61; ++k) unit.registers[static_cast<uint16_t>(100 + k)] = 1000u + k;
    gate.number = 100;
    gate.count = 61;
    ASSERT_EQ(0, Call(CommandReadBlock));
    EXPECT_EQ(1000, data[0]);
    EXPECT_EQ(1060, data[60]);
    EXPECT_EQ(0x5A5A5A5A, data[61]);

    for (int k = 0; k < 41; ++k) data[k] = 2000 + k;
    gate.count = 41;
    ASSERT_EQ(0, Call(CommandWriteBlock));
    EXPECT_EQ(253, unit.requests.back()[0]);
    EXPECT_EQ(2040u, unit.registers[140]);

    unit.requests.clear();
    const size_t writes = fake::Writes().size();
    const uint8_t fcb = block->fcb;
    block->linkReset[12] = 0;
    for (int32_t count : {62, 256, 1000, -1, INT32_MIN}) {
        gate.count = count;
        EXPECT_EQ(1, Call(CommandReadBlock)) << count;
    }
    for (int32_t count : {42, 255, 100000, -1}) {
        gate.count = count;
        EXPECT_EQ(1, Call(CommandWriteBlock)) << count;
    }
    EXPECT_TRUE(unit.requests.empty());
    EXPECT_EQ(writes, fake::Writes().size());
    EXPECT_EQ(fcb, block->fcb);
    EXPECT_EQ(0, block->linkReset[12]);
}

TEST_F(RegistersTest, SetClockSendsTheLocalTimeTakenOnce) {
    SYSTEMTIME sunday{};
    sunday.wYear = 2026;
    sunday.wMonth = 3;
    sunday.wDay = 8;
    sunday.wDayOfWeek = 0;
    sunday.wHour = 14;
    sunday.wMinute = 5;
    sunday.wSecond = 9;
    sunday.wMilliseconds = 250;
    fake::SetLocalTime(sunday);
    // The clock moves on while the first two tries go unanswered.
    unit.silentAnswers = 2;
    int heard = 0;
    fake::SetResponder([&](HANDLE port, const Bytes& written) {
        unit.Hear(port, written);
        if (unit.requests.back()[6] != 1) return;  // the link reset
        SYSTEMTIME later = sunday;
        later.wSecond = static_cast<WORD>(10 + heard++);
        fake::SetLocalTime(later);
    });
    gate.area = AreaClock;
    gate.data = nullptr;  // the clock takes nothing from the data area
    ASSERT_EQ(0, Call(CommandWrite));
    ASSERT_EQ(4u, unit.requests.size());
    EXPECT_EQ(kLinkResetTo12, unit.requests[0]);
    // Write flips the toggle before the link reset: FCB 1.
    const Bytes clock = {16, 0xF3, 0x00, 0x0C, 0x00, 0x00, 0x01, 0x07, 126, 3, 8, 1, 14, 5, 9, 0x00, 0xFA};
    for (int tryNumber = 1; tryNumber <= 3; ++tryNumber) EXPECT_EQ(clock, unit.requests[tryNumber]);
}

TEST_F(RegistersTest, ClockWithoutLinkResetAnswerIsRefused) {
    unit.answerLinkResets = false;
    gate.area = AreaClock;
    EXPECT_EQ(1, Call(CommandWrite));
    EXPECT_EQ(3u, unit.requests.size());  // three link resets, no clock
    EXPECT_EQ(1, block->linkReset[12]);  // reset sent
    // The station is not reset again: the clock goes out at once.
    unit.requests.clear();
    EXPECT_EQ(0, Call(CommandWrite));
    ASSERT_EQ(1u, unit.requests.size());
    EXPECT_EQ(7, unit.requests[0][7]);
}

// Which areas each command serves, and the link reset and FCB flip each does
// on the way, even when it then sends nothing.
TEST_F(RegistersTest, AreasEachCommandRefuses) {
    struct Case {
        int32_t command, area;
        int32_t result;
        bool linkReset;
        uint8_t fcbAfter;
    };
    const Case cases[] = {
        {CommandRead, AreaStatus, 1, true, 1},
        {CommandRead, AreaClock, 1, true, 1},
        {CommandRead, 99, 0, true, 1},
        {CommandWrite, AreaStatus, 1, false, 1},
        {CommandWrite, AreaChangeEvents, 1, false, 1},
        {CommandWrite, AreaLoggedEvents, 1, false, 1},
        {CommandWrite, AreaStatusEvents, 1, false, 1},
        {CommandWrite, 99, 1, false, 1},
        {CommandReadBlock, AreaStatus, 1, false, 0},
        {CommandReadBlock, AreaClock, 1, false, 0},
        {CommandWriteBlock, AreaStatus, 1, false, 0},
        {CommandWriteBlock, AreaClock, 1, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "command " << c.command << " area " << c.area);
        block->fcb = 0;
        block->linkReset[12] = 0;
        unit.requests.clear();
        gate.area = c.area;
        gate.count = 5;
        EXPECT_EQ(c.result, Call(c.command));
        EXPECT_EQ(c.fcbAfter, block->fcb);
        EXPECT_EQ(c.linkReset ? 1u : 0u, unit.requests.size());
        EXPECT_EQ(c.linkReset ? 1 : 0, block->linkReset[12] & 1);
        EXPECT_EQ(5, gate.count);
        EXPECT_EQ(0x5A5A5A5A, data[0]);
    }
}

// Blocks of one register go without link reset and flip; larger ones do both.
TEST_F(RegistersTest, BlocksResetAndFlipOnlyAboveOneRegister) {
    for (int32_t command : {CommandReadBlock, CommandWriteBlock}) {
        for (int32_t count : {0, 1, 2}) {
            SCOPED_TRACE(::testing::Message() << "command " << command << " count " << count);
            block->fcb = 0;
            block->linkReset[12] = 0;
            unit.requests.clear();
            gate.count = count;
            EXPECT_EQ(0, Call(command));
            EXPECT_EQ(count > 1 ? 1 : 0, block->fcb);
            ASSERT_EQ(count > 1 ? 2u : 1u, unit.requests.size());
            EXPECT_EQ(count > 1 ? 0xF0 : 0xD0, unit.requests.back()[1] & 0xF0);
        }
    }
}

TEST_F(RegistersTest, LinkResetWithoutAnswerEndsReadsWithTwoOnce) {
    unit.answerLinkResets = false;
    gate.number = 1;
    EXPECT_EQ(2, Call(CommandRead));
    EXPECT_EQ(3u, unit.requests.size());
    EXPECT_EQ(0, block->fcb);  // nothing flipped after the failed reset
    gate.count = 2;
    EXPECT_EQ(0, Call(CommandReadBlock));  // the flag stays set: straight to the read
    EXPECT_EQ(4u, unit.requests.size());
}

// The answer must come from the station asked, in all sixteen bits.
TEST_F(RegistersTest, AnswerSourceIsComparedInSixteenBits) {
    gate.station = 300;
    gate.number = 1;
    data[0] = 5;
    ASSERT_EQ(0, Call(CommandWrite));
    EXPECT_EQ(0x01, unit.requests.back()[2]);
    EXPECT_EQ(0x2C, unit.requests.back()[3]);

    unit.shape = [](Bytes& answer) { answer[4] = 0x00; };  // station 44
    unit.requests.clear();
    EXPECT_EQ(1, Call(CommandWrite));
    ASSERT_EQ(3u, unit.requests.size());
    EXPECT_EQ(unit.requests[0], unit.requests[2]);  // every try the same bytes
}

// A missing data area is refused before anything is sent or flipped, for
// every command and area that takes values from it or puts values into it.
TEST_F(RegistersTest, MissingDataAreaIsRefusedBeforeAnythingIsSent) {
    struct Case {
        int32_t command, area;
    };
    const Case cases[] = {
        {CommandRead, AreaRegister},      {CommandRead, AreaChangeEvents}, {CommandRead, AreaStatusEvents},
        {CommandRead, AreaLoggedEvents},  {CommandReadBlock, AreaRegister}, {CommandWrite, AreaRegister},
        {CommandWriteBlock, AreaRegister},
    };
    gate.data = nullptr;
    for (const Case& c : cases) {
        for (int32_t bit : {255, 3}) {
            SCOPED_TRACE(::testing::Message() << "command " << c.command << " area " << c.area << " bit " << bit);
            gate.area = c.area;
            gate.bit = bit;
            gate.count = 2;
            EXPECT_EQ(1, Call(c.command));
            EXPECT_EQ(2, gate.count);
        }
    }
    EXPECT_TRUE(fake::Writes().empty());
    EXPECT_EQ(0, block->fcb);
    EXPECT_EQ(0, block->linkReset[12]);

    // The requests refuse it too when called on their own.
    EXPECT_EQ(1, ReadRegisters(&gate));
    EXPECT_EQ(1, WriteRegisters(&gate));
    EXPECT_EQ(1, WriteBit(&gate));
    EXPECT_EQ(1, ReadRegisters(nullptr));
    EXPECT_EQ(1, SetClock(nullptr));
    EXPECT_TRUE(fake::Writes().empty());
}

}  // namespace
