// The RFC 2217 codec: escaping, subnegotiations and option answers, with
// bytes fed in awkward pieces.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/telnet_com.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Everything a decoder makes of a byte stream, as text per event.
std::vector<std::string> DecodeAll(TelnetDecoder* decoder, const Bytes& bytes) {
    std::vector<std::string> events;
    std::string data;
    for (uint8_t byte : bytes) {
        TelnetEvent e = TelnetDecodeByte(decoder, byte);
        if (e.kind == TelnetData) {
            data += char(e.data);
            continue;
        }
        if (e.kind == TelnetNothing) continue;
        if (!data.empty()) events.push_back("data " + data);
        data.clear();
        if (e.kind == TelnetVerb) {
            events.push_back("verb " + std::to_string(e.verb) + " " + std::to_string(e.option));
        } else if (e.kind == TelnetSub) {
            std::string text = "sub " + std::to_string(e.option) + " " + std::to_string(e.command) + ":";
            for (size_t i = 0; i < e.valueLength; ++i) text += " " + std::to_string(e.value[i]);
            events.push_back(text);
        } else if (e.kind == TelnetSubDropped) {
            events.push_back("dropped " + std::to_string(e.option));
        } else {
            events.push_back("other");
        }
    }
    if (!data.empty()) events.push_back("data " + data);
    return events;
}

TEST(TelnetEscape, DoublesEveryIacAndStopsWhereRoomEnds) {
    struct Case {
        Bytes data;
        size_t room;
        Bytes out;
        size_t consumed;
    } cases[] = {
        {{'a', 'b'}, 8, {'a', 'b'}, 2},
        {{0xFF}, 8, {0xFF, 0xFF}, 1},
        {{1, 0xFF, 0xFF, 2}, 8, {1, 0xFF, 0xFF, 0xFF, 0xFF, 2}, 4},
        {{1, 0xFF, 2}, 2, {1}, 1},  // the pair does not fit: never split
        {{1, 0xFF, 2}, 3, {1, 0xFF, 0xFF}, 2},
        {{}, 4, {}, 0},
    };
    for (const Case& c : cases) {
        Bytes out(c.room + 1, 0xEE);
        size_t consumed = 99;
        size_t used = TelnetEscape(c.data.data(), c.data.size(), out.data(), c.room, &consumed);
        out.resize(used);
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(consumed, c.consumed);
    }
}

TEST(ComSubnegotiation, PinsTheBytesOfEachCommand) {
    auto sub8 = [](uint8_t command, uint8_t value) {
        uint8_t out[kComSubnegotiationMax];
        return Bytes(out, out + ComSubnegotiation8(command, value, out));
    };
    auto sub32 = [](uint8_t command, uint32_t value) {
        uint8_t out[kComSubnegotiationMax];
        return Bytes(out, out + ComSubnegotiation32(command, value, out));
    };
    EXPECT_EQ(sub32(ComSetBaudRate, 9600), (Bytes{255, 250, 44, 1, 0, 0, 0x25, 0x80, 255, 240}));
    EXPECT_EQ(sub8(ComSetControl, ComControlRtsOn), (Bytes{255, 250, 44, 5, 11, 255, 240}));
    EXPECT_EQ(sub8(ComPurgeData, kPurgeReceive), (Bytes{255, 250, 44, 12, 1, 255, 240}));
    // A value byte 0xFF is doubled inside the subnegotiation too.
    EXPECT_EQ(sub8(ComSetModemStateMask, 0xFF), (Bytes{255, 250, 44, 11, 255, 255, 255, 240}));
    EXPECT_EQ(sub32(ComSetBaudRate + kComServerOffset, 0x0001FFFF),
              (Bytes{255, 250, 44, 101, 0, 1, 255, 255, 255, 255, 255, 240}));
}

TEST(TelnetDecoder, SeparatesDataVerbsAndSubnegotiations) {
    struct Case {
        const char* what;
        Bytes stream;
        std::vector<std::string> events;
    } cases[] = {
        {"plain data", {'h', 'i'}, {"data hi"}},
        {"escaped IAC is one data byte", {'a', 255, 255, 'b'}, {"data a\xFF" "b"}},
        {"verb between data", {'a', 255, 251, 44, 'b'}, {"data a", "verb 251 44", "data b"}},
        {"modem state", {255, 250, 44, 107, 0x80, 255, 240}, {"sub 44 107: 128"}},
        {"escaped IAC inside a value", {255, 250, 44, 101, 0, 0, 255, 255, 255, 240}, {"sub 44 101: 0 0 255"}},
        {"NOP ignored", {'x', 255, 241, 'y'}, {"data x", "other", "data y"}},
        {"subnegotiation without SE ends at the next command", {255, 250, 44, 107, 0x10, 255, 241, 'z'},
         {"sub 44 107: 16", "data z"}},
    };
    for (const Case& c : cases) {
        TelnetDecoder whole;
        EXPECT_EQ(DecodeAll(&whole, c.stream), c.events) << c.what;
        // Fed one byte per call the decoder must see the same: its state
        // carries across the pieces.
        TelnetDecoder pieces;
        std::vector<std::string> got;
        for (uint8_t byte : c.stream) {
            for (auto& e : DecodeAll(&pieces, {byte})) got.push_back(e);
        }
        // Data split into one-byte events joins back for comparison.
        std::vector<std::string> joined;
        for (auto& e : got) {
            if (!joined.empty() && e.rfind("data ", 0) == 0 && joined.back().rfind("data ", 0) == 0) {
                joined.back() += e.substr(5);
            } else {
                joined.push_back(e);
            }
        }
        EXPECT_EQ(joined, c.events) << c.what << " (byte by byte)";
    }
}

TEST(TelnetDecoder, AnOverlongSubnegotiationDoesNotSwallowTheDataAfterIt) {
    TelnetDecoder decoder;
    Bytes stream = {255, 250, 44, 0};
    for (int i = 0; i < 100; ++i) stream.push_back(uint8_t('A' + i % 26));
    stream.push_back(255);
    stream.push_back(240);
    stream.push_back('k');
    auto events = DecodeAll(&decoder, stream);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1], "data k");
}

// Subnegotiations up to the longest value the option defines are kept;
// a longer one is dropped up to its end, and one without an end gives the
// stream back as data kTelnetSubSkipMax bytes after IAC SB.
TEST(TelnetDecoder, DropsSubnegotiationsLongerThanTheOptionDefines) {
    auto sub = [](size_t valueBytes, uint8_t value, const Bytes& end) {
        Bytes stream = {255, 250, 44, 101};
        for (size_t i = 0; i < valueBytes; ++i) {
            stream.push_back(value);
            if (value == 255) stream.push_back(255);
        }
        stream.insert(stream.end(), end.begin(), end.end());
        return stream;
    };
    const std::string longest = "sub 44 101:" + [] {
        std::string text;
        for (size_t i = 0; i < kComValueMax; ++i) text += " 255";
        return text;
    }();
    // Never ended: with the option and the command, one byte short of kTelnetSubSkipMax.
    auto endless = [&sub](const Bytes& more) {
        Bytes tail(kTelnetSubSkipMax - 3, 'x');
        tail.insert(tail.end(), more.begin(), more.end());
        return sub(0, 0, tail);
    };
    struct Case {
        const char* what;
        Bytes stream;
        std::vector<std::string> events;
    } cases[] = {
        {"the longest value, all escaped, is kept", sub(kComValueMax, 255, {255, 240, 'k'}), {longest, "data k"}},
        {"one byte more is dropped up to its SE", sub(kComValueMax + 1, 'v', {255, 240, 'k'}), {"dropped 44", "data k"}},
        {"an escaped IAC does not end a dropped one", sub(40, 'v', {255, 255, 'w', 255, 240, 'k'}),
         {"dropped 44", "data k"}},
        {"another command ends a dropped one", sub(40, 'v', {255, 241, 'k'}), {"dropped 44", "data k"}},
        {"never ended: the last byte looked at", endless({'o', 'k'}), {"dropped 44", "data k"}},
        {"never ended: data after it", endless({'x', 'o', 'k'}), {"dropped 44", "data ok"}},
        {"never ended: a late SE is an ignored command", endless({'x', 255, 240, 'k'}),
         {"dropped 44", "other", "data k"}},
    };
    for (const Case& c : cases) {
        TelnetDecoder decoder;
        EXPECT_EQ(DecodeAll(&decoder, c.stream), c.events) << c.what;
    }
}

// A peer's requests and what each side answers, in order.
TEST(TelnetOptions, AnswersOnlyWhatChangesAndRefusesTheUnknown) {
    const uint64_t will = OptionBit(kOptionBinary) | OptionBit(kOptionComPort);
    const uint64_t doo = OptionBit(kOptionBinary) | OptionBit(kOptionSuppressGoAhead);
    struct Step {
        uint8_t verb;
        uint8_t option;
        Bytes answer;
    } steps[] = {
        {kTelnetDo, kOptionComPort, {255, kTelnetWill, 44}},   // accepted
        {kTelnetDo, kOptionComPort, {}},                        // already on: silence
        {kTelnetDo, 1, {255, kTelnetWont, 1}},                  // echo: refused
        {kTelnetWill, kOptionSuppressGoAhead, {255, kTelnetDo, 3}},
        {kTelnetWill, 24, {255, kTelnetDont, 24}},              // terminal type: refused
        {kTelnetDont, kOptionComPort, {255, kTelnetWont, 44}},  // switched off
        {kTelnetDont, kOptionComPort, {}},                      // already off
        {kTelnetWont, kOptionSuppressGoAhead, {255, kTelnetDont, 3}},
        {kTelnetWont, kOptionSuppressGoAhead, {}},
    };
    TelnetOptions options;
    uint8_t out[3];
    for (const Step& s : steps) {
        size_t n = TelnetAnswerVerb(&options, s.verb, s.option, will, doo, out);
        EXPECT_EQ(Bytes(out, out + n), s.answer) << int(s.verb) << " " << int(s.option);
    }
}

// A flood of one request: what changes something is answered once, what
// changes nothing never; a refusal answers each request, one for one.
TEST(TelnetOptions, AFloodOfOneRequestIsAnsweredAtMostOneForOne) {
    const uint64_t will = OptionBit(kOptionComPort);
    const uint64_t doo = OptionBit(kOptionBinary);
    struct Case {
        uint8_t verb;
        uint8_t option;
        size_t answered;  // bytes, over 1000 requests
    } cases[] = {
        {kTelnetDo, kOptionComPort, 3},  // switched on, once
        {kTelnetWill, kOptionBinary, 3},
        {kTelnetDont, kOptionComPort, 0},  // off already
        {kTelnetWont, kOptionBinary, 0},
        {kTelnetDo, 1, 3 * 1000},  // refused, each time
        {kTelnetWill, 24, 3 * 1000},
    };
    for (const Case& c : cases) {
        TelnetOptions options;
        size_t answered = 0;
        uint8_t out[3];
        for (int i = 0; i < 1000; ++i) answered += TelnetAnswerVerb(&options, c.verb, c.option, will, doo, out);
        EXPECT_EQ(answered, c.answered) << int(c.verb) << " " << int(c.option);
    }
}

TEST(TelnetOptions, AnAnswerToOurOwnRequestGetsNoAnswerBack) {
    TelnetOptions options;
    uint8_t out[3];
    ASSERT_EQ(TelnetAsk(&options, kTelnetWill, kOptionComPort, out), 3u);
    EXPECT_EQ(TelnetAnswerVerb(&options, kTelnetDo, kOptionComPort, ~0ull, ~0ull, out), 0u);
    EXPECT_TRUE(options.ours & OptionBit(kOptionComPort));
    EXPECT_EQ(TelnetAsk(&options, kTelnetWill, kOptionComPort, out), 0u);  // on already

    ASSERT_EQ(TelnetAsk(&options, kTelnetDo, kOptionBinary, out), 3u);
    EXPECT_EQ(TelnetAnswerVerb(&options, kTelnetWont, kOptionBinary, ~0ull, ~0ull, out), 0u);  // refused
    EXPECT_FALSE(options.theirs & OptionBit(kOptionBinary));
    EXPECT_FALSE(options.askedTheirs & OptionBit(kOptionBinary));
}

}  // namespace
