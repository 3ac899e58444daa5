// Frames: CRC table and check value, byte-exact encoding, the message
// header's builders, and reception from the fake port with its refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "link/frame_io.h"
#include "tests/unit/link_fixture.h"

namespace {

// CRC-16 with polynomial 0x3D65 computed bit by bit, complemented: an oracle
// independent of the table.
uint16_t BitwiseCrc(const uint8_t* bytes, size_t count) {
    uint16_t crc = 0;
    for (size_t i = 0; i < count; ++i) {
        crc = static_cast<uint16_t>(crc ^ (bytes[i] << 8));
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x3D65 : crc << 1);
        }
    }
    return static_cast<uint16_t>(~crc);
}

// The frame as the layout describes it, built with the bitwise CRC.
Bytes ReferenceFrame(const Bytes& message) {
    Bytes frame = {0x05, 0x64};
    for (size_t at = 0; at < message.size(); at += 16) {
        const size_t count = std::min<size_t>(16, message.size() - at);
        frame.insert(frame.end(), message.begin() + at, message.begin() + at + count);
        const uint16_t crc = BitwiseCrc(message.data() + at, count);
        frame.push_back(static_cast<uint8_t>(crc >> 8));
        frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    }
    return frame;
}

Bytes MessageOfLength(uint8_t length) {
    Bytes message(length + 1u);
    message[0] = length;
    for (size_t i = 1; i < message.size(); ++i) message[i] = static_cast<uint8_t>(i * 37 + 11);
    return message;
}

const Bytes kLinkReset = {0x07, 0xC0, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00};
const Bytes kLinkResetFrame = {0x05, 0x64, 0x07, 0xC0, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0xE8, 0x85};

// Reception from the fake port: pieces arrive at the given virtual times.
struct Arrival {
    uint64_t at;
    Bytes bytes;
};
struct ReceiveCase {
    const char* name;
    std::vector<Arrival> input;
    int result;
    const char* message;  // logged fault, or nullptr
    size_t left;          // bytes still queued afterwards, at most
};

class FrameTest : public LinkTest {
protected:
    // Each case from a fresh link: what ReceiveFrame gives, the frame's
    // message when one is taken, the fault logged and what stays queued.
    template <size_t N>
    void ExpectReceptions(const ReceiveCase (&cases)[N]) {
        for (const ReceiveCase& c : cases) {
            SCOPED_TRACE(c.name);
            SetUp();
            log.Clear();
            for (const Arrival& a : c.input) fake::QueueInputAt(a.bytes, a.at);
            uint8_t message[kMessageBufferSize];
            EXPECT_EQ(c.result, ReceiveFrame(message));
            if (c.result == 1) {
                EXPECT_EQ(kLinkReset, Bytes(message, message + kLinkReset.size()));
            }
            EXPECT_EQ(c.message ? std::vector<std::string>{c.message} : std::vector<std::string>{}, log.Texts());
            EXPECT_LE(fake::PendingInput(), c.left);
        }
    }
};

TEST_F(FrameTest, TableEntriesAndCheckValue) {
    const struct {
        int index;
        uint16_t entry;
    } entries[] = {{0, 0x0000}, {1, 0x3D65}, {2, 0x7ACA}, {255, 0xAC48}};
    for (const auto& e : entries) EXPECT_EQ(e.entry, block->crcTable[e.index]) << "entry " << e.index;
    // The tools' table, built at compile time, is the channel's.
    for (int i = 0; i < 256; ++i) ASSERT_EQ(block->crcTable[i], FrameCrcTable()[i]) << "entry " << i;

    uint16_t crc = 0;
    for (const char* p = "123456789"; *p; ++p) crc = CrcUpdate(crc, static_cast<uint8_t>(*p));
    EXPECT_EQ(0xC2B7, static_cast<uint16_t>(~crc));
}

TEST_F(FrameTest, WorkedExamplesAreByteExact) {
    const Bytes example2 = {0x10, 0xD3, 0x00, 0x05, 0x00, 0x00, 0x01, 0x07, 0x01,
                            0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};
    const Bytes frame2 = {0x05, 0x64, 0x10, 0xD3, 0x00, 0x05, 0x00, 0x00, 0x01, 0x07, 0x01, 0x02,
                          0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0xA6, 0xF7, 0x09, 0x14, 0xD7};
    const struct {
        Bytes message, frame;
    } cases[] = {{kLinkReset, kLinkResetFrame}, {example2, frame2}, {{0x00}, {0x05, 0x64, 0x00, 0xFF, 0xFF}}};
    for (const auto& c : cases) {
        uint8_t out[kFrameBufferSize];
        const uint16_t size = EncodeFrame(c.message.data(), out);
        EXPECT_EQ(c.frame, Bytes(out, out + size));
        uint8_t back[kMessageBufferSize];
        ASSERT_EQ(1, CheckFrameBlocks(FrameCrcTable(), c.frame.data(), back));
        EXPECT_EQ(c.message, Bytes(back, back + c.message.size()));
    }
}

TEST_F(FrameTest, SizesAndBlocksFollowTheLength) {
    const struct {
        uint8_t length;
        uint16_t size;
    } cases[] = {{7, 12}, {15, 20}, {16, 23}, {31, 38}, {32, 41}, {255, 290}};
    for (const auto& c : cases) {
        const Bytes message = MessageOfLength(c.length);
        uint8_t out[kFrameBufferSize + 8];
        std::memset(out, 0xEE, sizeof out);
        const uint16_t size = EncodeFrame(message.data(), out);
        EXPECT_EQ(c.size, size) << "L " << int(c.length);
        EXPECT_EQ(c.size, FrameSizeFor(c.length));
        EXPECT_EQ(ReferenceFrame(message), Bytes(out, out + size)) << "L " << int(c.length);
        EXPECT_EQ(0xEE, out[size]) << "wrote past the frame, L " << int(c.length);

        uint8_t back[kMessageBufferSize];
        ASSERT_EQ(1, CheckFrameBlocks(block->crcTable, out, back));
        EXPECT_EQ(message, Bytes(back, back + message.size()));
    }
    // Every length, so that blocks of every size (whole groups of four bytes
    // and one to three over) meet the bitwise reference both ways.
    uint32_t state = 1;
    for (int length = 0; length <= 255; ++length) {
        Bytes message = MessageOfLength(static_cast<uint8_t>(length));
        for (size_t i = 1; i < message.size(); ++i) message[i] = static_cast<uint8_t>((state = state * 1664525u + 1013904223u) >> 24);
        uint8_t out[kFrameBufferSize];
        const Bytes frame(out, out + EncodeFrame(message.data(), out));
        ASSERT_EQ(ReferenceFrame(message), frame) << "L " << length;
        uint8_t back[kMessageBufferSize];
        ASSERT_EQ(1, CheckFrameBlocks(block->crcTable, frame.data(), back)) << "L " << length;
        ASSERT_EQ(message, Bytes(back, back + message.size())) << "L " << length;
    }
}

TEST_F(FrameTest, SendFramePurgesThenWritesTheFrame) {
    fake::QueueInput({0x99, 0x98, 0x97});  // stale input from before
    ASSERT_EQ(1, SendFrame(kLinkReset.data()));
    ASSERT_EQ(1u, fake::Writes().size());
    EXPECT_EQ(kLinkResetFrame, fake::Writes()[0].bytes);
    EXPECT_EQ(0u, fake::PendingInput());
    for (const std::string& call : fake::Calls()) {
        EXPECT_TRUE(call.find("RTS") == std::string::npos && call.find("Modem") == std::string::npos) << call;
    }
}

TEST_F(FrameTest, IncompleteWritesFail) {
    fake::LimitWrites(11);
    EXPECT_EQ(0, SendFrame(kLinkReset.data()));
    fake::LimitWrites(-1);
    fake::FailCall(fake::Fn::WriteFile, 2);
    EXPECT_EQ(0, SendFrame(kLinkReset.data()));
    EXPECT_EQ(1, SendFrame(kLinkReset.data()));
}

TEST_F(FrameTest, ReceptionAcceptsSoundFramesAndRefusesTheRest) {
    Bytes badHi = kLinkResetFrame, badLo = kLinkResetFrame;
    badHi[0] = 0x04;
    badLo[1] = 0x65;
    const Bytes head(kLinkResetFrame.begin(), kLinkResetFrame.begin() + 2);
    const Bytes tail(kLinkResetFrame.begin() + 2, kLinkResetFrame.end());
    const Bytes shortFrame(kLinkResetFrame.begin(), kLinkResetFrame.end() - 1);
    const ReceiveCase cases[] = {
        {"whole", {{0, kLinkResetFrame}}, 1, nullptr, 0},
        {"pieces with pauses longer than a read", {{0, head}, {1500, tail}}, 1, nullptr, 0},
        // The hunt for a start reads the refused frame away to the silence.
        {"start byte wrong", {{0, badHi}}, 0, "KivIN : RX Failed on Header HI", 0},
        {"second byte wrong", {{0, badLo}}, 0, "KivIN : RX Failed on Header LO", 0},
        {"silence", {}, 0, "KivIN : Invalid message received", 0},
        {"one byte short", {{0, shortFrame}}, 0, "KivIN : Invalid message received", 0},
    };
    ExpectReceptions(cases);
}

Bytes Stray(size_t count, uint8_t first = 0xA5) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + 7 * i);
    return bytes;
}

Bytes Joined(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Stray bytes before a frame are skipped and logged once with their count;
// a hunt that finds no start logs what the first wrong byte was, once.
TEST_F(FrameTest, ReceptionHuntsForTheStartBehindStrayBytes) {
    const Bytes frame = kLinkResetFrame;
    const Bytes lone = {0x05};
    const Bytes burst = Stray(kMaxHuntBytes + 40, 0x11);
    const ReceiveCase cases[] = {
        {"one stray byte", {{0, Joined(Stray(1), frame)}}, 1, "KivIN : RX Skipped 1 bytes before Header", 0},
        {"two", {{0, Joined(Stray(2), frame)}}, 1, "KivIN : RX Skipped 2 bytes before Header", 0},
        {"four", {{0, Joined(Stray(4), frame)}}, 1, "KivIN : RX Skipped 4 bytes before Header", 0},
        {"five", {{0, Joined(Stray(5), frame)}}, 1, "KivIN : RX Skipped 5 bytes before Header", 0},
        {"a start byte among them", {{0, Joined(Joined(lone, Stray(3)), frame)}}, 1,
         "KivIN : RX Skipped 4 bytes before Header", 0},
        {"start byte doubled", {{0, Joined(lone, frame)}}, 1, "KivIN : RX Skipped 1 bytes before Header", 0},
        {"stray bytes, a pause, the frame", {{0, Stray(2)}, {30, frame}}, 1,
         "KivIN : RX Skipped 2 bytes before Header", 0},
        {"noise, then silence", {{0, Stray(7)}}, 0, "KivIN : RX Failed on Header HI", 0},
        {"noise ending in a start byte", {{0, Joined(Stray(3), lone)}}, 0, "KivIN : RX Failed on Header HI", 0},
        {"start byte, then noise", {{0, Joined(lone, Stray(3))}}, 0, "KivIN : RX Failed on Header LO", 0},
        {"a lone start byte is a short read", {{0, lone}}, 0, "KivIN : Invalid message received", 0},
        {"a burst longer than the hunt", {{0, Joined(burst, frame)}}, 0, "KivIN : RX Failed on Header HI",
         burst.size() + frame.size() - kMaxHuntBytes},
        {"exactly as many stray bytes as the hunt skips", {{0, Joined(Stray(kMaxHuntBytes, 0x11), frame)}}, 1,
         "KivIN : RX Skipped 512 bytes before Header", 0},
        {"one stray byte more", {{0, Joined(Stray(kMaxHuntBytes + 1, 0x11), frame)}}, 0,
         "KivIN : RX Failed on Header HI", frame.size()},
    };
    ExpectReceptions(cases);
}

TEST(FrameStartCandidate, FindsWhereAFrameCanStillBegin) {
    const struct {
        Bytes bytes;
        uint32_t at;
    } cases[] = {
        {{0x05, 0x64, 0x07}, 0}, {{0x01, 0x05, 0x64}, 1}, {{0x01, 0x02, 0x05}, 2}, {{0x05, 0x05, 0x64}, 1},
        {{0x05, 0x63, 0x00}, 3}, {{0x64, 0x05}, 1},       {{}, 0},                  {{0x64}, 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.at, FrameStartCandidate(c.bytes.data(), static_cast<uint32_t>(c.bytes.size())));
    }
}

// The header builders against headers written out byte by byte.
TEST(MessageHeader, BuildersPutTheFieldsInLineOrder) {
    const struct {
        const char* name;
        uint8_t length, control;
        uint16_t destination, source;
        uint8_t set, opcode;
        Bytes header;
    } cases[] = {
        {"request to a station above us, FCB 1", 10, RequestControl(0x0105, 5, 1, FunctionAskData), 0x0105, 5, 1,
         OpcodeReadRegisters, {0x0A, 0xFF, 0x01, 0x05, 0x00, 0x05, 0x01, 0x01}},
        {"request to a station below us, FCB 0", 16, RequestControl(3, 0x0200, 0, FunctionSendData), 3, 0x0200, 1,
         OpcodeSetClock, {0x10, 0x53, 0x00, 0x03, 0x02, 0x00, 0x01, 0x07}},
        {"the same address counts as above", 7, DirectionFor(5, 5), 5, 5, 0, OpcodeLinkReset,
         {0x07, 0x80, 0x00, 0x05, 0x00, 0x05, 0x00, 0x00}},
        {"answer of a unit to a host above it", 7, DirectionFor(0xFFFF, 0xFFFE), 0xFFFF, 0xFFFE, 1, OpcodeWriteBit,
         {0x07, 0x80, 0xFF, 0xFF, 0xFF, 0xFE, 0x01, 0x04}},
    };
    for (const auto& c : cases) {
        uint8_t m[HeaderSize];
        PutHeader(m, c.length, c.control, c.destination, c.source, c.set, c.opcode);
        EXPECT_EQ(c.header, Bytes(m, m + HeaderSize)) << c.name;
        EXPECT_EQ(c.destination, MessageDestination(m)) << c.name;
        EXPECT_EQ(c.source, MessageSource(m)) << c.name;
    }
    uint8_t number[4];
    PutHigh32(number, 0x89ABCDEFu);
    EXPECT_EQ(Bytes({0x89, 0xAB, 0xCD, 0xEF}), Bytes(number, number + 4));
    EXPECT_EQ(0x89ABCDEFu, GetHigh32(number));
}

TEST_F(FrameTest, AnyFlippedCrcBitIsRefused) {
    for (int bit = 0; bit < 16; ++bit) {
        Bytes frame = kLinkResetFrame;
        frame[10 + bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
        fake::QueueInput(frame);
        log.Clear();
        uint8_t message[kMessageBufferSize];
        EXPECT_EQ(0, ReceiveFrame(message)) << "bit " << bit;
        EXPECT_EQ(1, log.Count("KivIN : RX Failed on CRC Check")) << "bit " << bit;
    }
    // A fault in the second block of a longer frame counts as much.
    Bytes frame = FrameOf(MessageOfLength(16));
    frame[20] ^= 0x01;
    fake::QueueInput(frame);
    uint8_t message[kMessageBufferSize];
    EXPECT_EQ(0, ReceiveFrame(message));
}

}  // namespace
