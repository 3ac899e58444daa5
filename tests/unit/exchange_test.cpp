// The link header, the answer check with its retries and the once-only link
// reset, against units scripted on the fake port.
#include <gtest/gtest.h>

#include <cstring>

#include "link/exchange.h"
#include "link/frame_codec.h"
#include "tests/unit/link_fixture.h"

namespace {

using Tries = std::vector<std::vector<Bytes>>;  // per send, the frames that come back

// Frames for station 5 and host address 0.
const Bytes kRead300 = {0x0A, 0xDF, 0x00, 0x05, 0x00, 0x00, 0x01, 0x01, 0x01, 0x2C, 0x01};
// A read answer: the echo of register 300 and count 1, then a byte.
const Bytes kAnswer = {0x0B, 0x06, 0x00, 0x00, 0x00, 0x05, 0x01, 0x01, 0x01, 0x2C, 0x01, 0x2C};
const Bytes kLinkResetFrame = {0x05, 0x64, 0x07, 0xC0, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0xE8, 0x85};

Bytes With(Bytes message, size_t at, uint8_t value) {
    message[at] = value;
    return message;
}
Bytes Corrupt(Bytes frame) {
    frame.back() ^= 0x01;
    return frame;
}

const Bytes kGood = FrameOf(kAnswer);
const Bytes kWrongSource = FrameOf(With(kAnswer, HeaderSource + 1, 6));
const Bytes kSourceHighByte = FrameOf(With(kAnswer, HeaderSource, 1));
const Bytes kWrongDestination = FrameOf(With(kAnswer, HeaderDestination + 1, 1));
const Bytes kWrongOpcode = FrameOf(With(kAnswer, HeaderOpcode, 3));
const Bytes kWrongFunction = FrameOf(With(kAnswer, HeaderControl, 0x00));
const Bytes kOddBits = FrameOf(With(With(kAnswer, HeaderControl, 0xF6), HeaderSet, 0x00));
const Bytes kBareHeader = FrameOf({0x07, 0x06, 0x00, 0x00, 0x00, 0x05, 0x01, 0x01});
const Bytes kTooShort = FrameOf({0x05, 0x06, 0x00, 0x00, 0x00, 0x05});
const Bytes kBadCrc = Corrupt(kGood);
const Bytes kNotice = FrameOf({0x08, 0x53, 0x00, 0x00, 0x00, 0x05, 0x01, 0x09, 0x07});

class ExchangeTest : public LinkTest {
protected:
    // Each write gets the frames of its try queued as the unit's reply.
    void Script(const Tries& tries) {
        fake::SetResponder([this, tries](HANDLE, const Bytes&) {
            const size_t index = sends++;
            if (index < tries.size()) {
                for (const Bytes& frame : tries[index]) fake::QueueInput(frame, 10);
            }
        });
    }
    size_t sends = 0;
};

TEST_F(ExchangeTest, RequestHeaderBytes) {
    const struct {
        uint16_t host, station;
        uint8_t fcb, function;
        Bytes header;
    } cases[] = {
        {0, 5, 0, FunctionAskData, {0x0A, 0xDF, 0x00, 0x05, 0x00, 0x00, 0x01, 0x01}},
        {0, 5, 1, FunctionAskData, {0x0A, 0xFF, 0x00, 0x05, 0x00, 0x00, 0x01, 0x01}},
        {0, 5, 2, FunctionAskData, {0x0A, 0xDF, 0x00, 0x05, 0x00, 0x00, 0x01, 0x01}},  // bit 0 only
        {0, 5, 1, FunctionSendData, {0x0A, 0xF3, 0x00, 0x05, 0x00, 0x00, 0x01, 0x01}},
        {10, 9, 0, FunctionAskData, {0x0A, 0x5F, 0x00, 0x09, 0x00, 0x0A, 0x01, 0x01}},
        {10, 9, 1, FunctionSendData, {0x0A, 0x73, 0x00, 0x09, 0x00, 0x0A, 0x01, 0x01}},
        {10, 10, 0, FunctionSendData, {0x0A, 0xD3, 0x00, 0x0A, 0x00, 0x0A, 0x01, 0x01}},
        {10, 11, 1, FunctionAskData, {0x0A, 0xFF, 0x00, 0x0B, 0x00, 0x0A, 0x01, 0x01}},
        {0x0100, 0x00FF, 0, FunctionAskData, {0x0A, 0x5F, 0x00, 0xFF, 0x01, 0x00, 0x01, 0x01}},
        {0x8000, 0xFFFF, 0, FunctionAskData, {0x0A, 0xDF, 0xFF, 0xFF, 0x80, 0x00, 0x01, 0x01}},
    };
    for (const auto& c : cases) {
        SetHostAddress(c.host);
        block->fcb = c.fcb;
        uint8_t message[HeaderSize];
        BuildRequestHeader(message, 10, c.function, c.station, OpcodeReadRegisters);
        EXPECT_EQ(c.header, Bytes(message, message + HeaderSize)) << "host " << c.host << " station " << c.station;
    }
}

TEST_F(ExchangeTest, RepliesCarryOnlyTheDirectionBit) {
    block->fcb = 1;
    const struct {
        uint16_t host, station;
        Bytes header;
    } cases[] = {
        {0, 5, {0x07, 0x80, 0x00, 0x05, 0x00, 0x00, 0x01, 0x09}},
        {10, 9, {0x07, 0x00, 0x00, 0x09, 0x00, 0x0A, 0x01, 0x09}},
    };
    for (const auto& c : cases) {
        SetHostAddress(c.host);
        uint8_t message[HeaderSize];
        BuildReplyHeader(message, 7, c.station, 1, OpcodeExceptionNotice);
        EXPECT_EQ(c.header, Bytes(message, message + HeaderSize));
    }
    EXPECT_EQ(1, block->fcb);
}

TEST_F(ExchangeTest, FlipFcbInvertsBitZeroOnly) {
    block->fcb = 0;
    FlipFcb();
    EXPECT_EQ(1, block->fcb);
    FlipFcb();
    EXPECT_EQ(0, block->fcb);
    block->fcb = 0xFE;
    FlipFcb();
    EXPECT_EQ(0xFF, block->fcb);
}

struct ExchangeCase {
    const char* name;
    Tries tries;
    int result;
    size_t sends;
    Bytes accepted;  // the answer left in the buffer on 0
};

TEST_F(ExchangeTest, ThreeTriesOfTheSameBytes) {
    const Bytes oddAnswer = With(With(kAnswer, HeaderControl, 0xF6), HeaderSet, 0x00);
    const ExchangeCase cases[] = {
        {"answer at once", {{kGood}}, 0, 1, kAnswer},
        {"wrong source three times", {{kWrongSource}, {kWrongSource}, {kWrongSource}}, 1, 3, {}},
        {"wrong source, then right", {{kWrongSource}, {kGood}}, 0, 2, kAnswer},
        {"source differs in its high byte", {{kSourceHighByte}, {kSourceHighByte}, {kSourceHighByte}}, 1, 3, {}},
        {"wrong destination", {{kWrongDestination}, {kWrongDestination}, {kWrongDestination}}, 1, 3, {}},
        {"wrong opcode", {{kWrongOpcode}, {kWrongOpcode}, {kWrongOpcode}}, 1, 3, {}},
        {"wrong function", {{kWrongFunction}, {kWrongFunction}, {kWrongFunction}}, 1, 3, {}},
        {"bad CRC", {{kBadCrc}, {kBadCrc}, {kBadCrc}}, 2, 3, {}},
        {"silence", {}, 2, 3, {}},
        {"last try decides: misfit", {{kBadCrc}, {}, {kWrongSource}}, 1, 3, {}},
        {"last try decides: nothing", {{kWrongSource}, {kWrongSource}, {}}, 2, 3, {}},
        {"notice in place of the answer", {{kNotice, kGood}}, 0, 1, kAnswer},
        {"notice and nothing after it", {{kNotice}, {kNotice}, {kNotice}}, 1, 3, {}},
        {"control bits and set not looked at", {{kOddBits}}, 0, 1, oddAnswer},
        {"bare header: no echo", {{kBareHeader}, {kBareHeader}, {kBareHeader}}, 1, 3, {}},
        {"shorter than a header", {{kTooShort}, {kTooShort}, {kTooShort}}, 1, 3, {}},
    };
    for (const ExchangeCase& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        sends = 0;
        Script(c.tries);
        // The buffer holds a fitting answer from before: a short message must
        // not borrow its bytes.
        uint8_t answer[kMessageBufferSize];
        std::memset(answer, 0, sizeof answer);
        std::memcpy(answer, kAnswer.data(), kAnswer.size());

        EXPECT_EQ(c.result, ExchangeRequest(kRead300.data(), 5, OpcodeReadRegisters, FunctionAnswerData, answer));
        const std::vector<fake::Written> writes = fake::Writes();
        EXPECT_EQ(c.sends, writes.size());
        for (const fake::Written& w : writes) EXPECT_EQ(FrameOf(kRead300), w.bytes);
        if (c.result == 0) {
            EXPECT_EQ(c.accepted, Bytes(answer, answer + c.accepted.size()));
        }
        EXPECT_EQ(0, block->fcb);
    }
}

TEST_F(ExchangeTest, LateAnswerFromBeforeTheSendIsThrownAway) {
    fake::QueueInput(kGood);
    uint8_t answer[kMessageBufferSize];
    EXPECT_EQ(2, ExchangeRequest(kRead300.data(), 5, OpcodeReadRegisters, FunctionAnswerData, answer));
    EXPECT_EQ(3u, fake::Writes().size());
}

TEST_F(ExchangeTest, LinkResetGoesOutOncePerStation) {
    const struct {
        const char* name;
        Tries tries;
        int result;
        size_t sends;
    } cases[] = {
        {"answered", {{kGood}}, 0, 1},
        {"any sound frame will do", {{kWrongSource}}, 0, 1},
        {"answered at the third try", {{}, {kBadCrc}, {kNotice}}, 0, 3},
        {"never answered", {}, 2, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        sends = 0;
        block->fcb = 1;
        Script(c.tries);
        EXPECT_EQ(c.result, ResetLinkOnce(5));
        EXPECT_EQ(c.sends, fake::Writes().size());
        for (const fake::Written& w : fake::Writes()) EXPECT_EQ(kLinkResetFrame, w.bytes);
        EXPECT_EQ(1, block->linkReset[5]);
        EXPECT_EQ(0, block->linkReset[4] | block->linkReset[6]);

        EXPECT_EQ(0, ResetLinkOnce(5));  // not again until the next Open
        EXPECT_EQ(c.sends, fake::Writes().size());
        EXPECT_EQ(1, block->fcb);
    }
}

}  // namespace
