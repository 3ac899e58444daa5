// Fuzz target: the Telnet com-port codec (platform/telnet_com) as a server's
// byte stream reaches the driver's network line, and both sides' option
// negotiation. The first input byte picks the part:
//   0 raw: the rest fed to the decoder byte by byte, each verb answered as
//     the driver answers. Each byte gives at most one event; a value holds
//     at most kComValueMax bytes and points into the decoder; a dropped
//     subnegotiation is reported once; no more than kTelnetSubSkipMax +
//     kComSubnegotiationMax + 2 bytes in a row pass without an event; the
//     answers hold no more bytes than the stream, and are well-formed verbs.
//   1 built: the rest read as a list of items (data, verbs, other commands,
//     com-port subnegotiations of any length), encoded with the codec's own
//     encoders and decoded again: data comes back as it went in (IAC IAC
//     unescaped), verbs and subnegotiations whole, an over-long one dropped
//     and reported once, with the data behind it intact.
//   2 escape: data escaped into a buffer of a size from the input: never a
//     0xFF split from its double, never past the room, and decoded back to
//     the data taken.
//   3 negotiation: two peers with option lists from the input, each asking
//     for options and perhaps sending unasked verbs; their answers go back
//     and forth. No side answers with more bytes than it heard. Peers that
//     only ask and answer (as the driver and kivsim do) fall quiet within a
//     few rounds and then agree on every option. (A peer that sends unasked
//     verbs, WILL and then WONT say, can keep two such peers answering each
//     other: this negotiation keeps no queue of changes of mind.)
#include <cstring>

#include "fuzz/basics.h"
#include "platform/telnet_com.h"

namespace {

using fuzzing::Bytes;
using fuzzing::Input;

// The driver's option lists (posix_net_comport.cpp).
constexpr uint64_t kDriverWill =
    OptionBit(kOptionBinary) | OptionBit(kOptionSuppressGoAhead) | OptionBit(kOptionComPort);
constexpr uint64_t kDriverDo = OptionBit(kOptionBinary) | OptionBit(kOptionSuppressGoAhead);

bool IsVerb(uint8_t verb) {
    return verb == kTelnetWill || verb == kTelnetWont || verb == kTelnetDo || verb == kTelnetDont;
}

// Every byte of an answer stream is part of IAC verb option.
void CheckAnswers(const Bytes& answers) {
    fuzzing::Check(answers.size() % 3 == 0, "answers are whole verbs");
    for (size_t i = 0; i < answers.size(); i += 3)
        fuzzing::Check(answers[i] == kTelnetIac && IsVerb(answers[i + 1]), "an answer is IAC, a verb, an option");
}

void Raw(Input& in) {
    const Bytes stream = in.Rest();
    TelnetDecoder decoder;
    TelnetOptions options;
    Bytes answers;
    size_t quiet = 0, longestQuiet = 0;
    bool dropReported = false;
    uint8_t previous = 0;
    for (uint8_t byte : stream) {
        // IAC SB may open another subnegotiation (escaped 0xFF before SB
        // counts too, which only makes the check looser).
        if (previous == kTelnetIac && byte == kTelnetSb) dropReported = false;
        previous = byte;
        const TelnetEvent e = TelnetDecodeByte(&decoder, byte);
        quiet = e.kind == TelnetNothing ? quiet + 1 : 0;
        if (quiet > longestQuiet) longestQuiet = quiet;
        switch (e.kind) {
        case TelnetVerb: {
            fuzzing::Check(IsVerb(e.verb), "a verb event carries a verb");
            uint8_t out[3];
            const size_t n = TelnetAnswerVerb(&options, e.verb, e.option, kDriverWill, kDriverDo, out);
            fuzzing::Check(n == 0 || n == 3, "an answer is nothing or one verb");
            answers.insert(answers.end(), out, out + n);
            break;
        }
        case TelnetSub:
            fuzzing::Check(e.valueLength <= kComValueMax, "a value fits the option's longest");
            fuzzing::Check(e.valueLength == 0 || (e.value >= decoder.sub + 2 &&
                                                  e.value + e.valueLength <= decoder.sub + sizeof decoder.sub),
                           "a value lies in the decoder's buffer");
            break;
        case TelnetSubDropped:
            fuzzing::Check(!dropReported, "a dropped subnegotiation is reported once");
            dropReported = true;
            break;
        default: break;
        }
    }
    // The longest stretch: the tail of a dropped subnegotiation's skip, then
    // IAC SB and a new one's bytes up to the one that makes it too long.
    fuzzing::Check(longestQuiet <= kTelnetSubSkipMax + kComSubnegotiationMax + 2,
                   "no long stretch of the stream is swallowed");
    fuzzing::Check(answers.size() <= stream.size(), "no more answer bytes than bytes received");
    CheckAnswers(answers);
}

// What the decoder gives back for a stream: the data bytes, and each other
// event as its kind and fields.
struct Expected {
    Bytes data;             // data bytes in order
    std::vector<Bytes> events;  // each non-data event: kind, then its fields
};

// The items of a built stream: each adds its bytes to the stream and what
// the decoder should give back for them.
void AddData(Input& in, uint8_t item, Bytes* stream, Expected* want) {  // escaped
    const Bytes data = in.Take(item / 5 % 17);
    Bytes out(2 * data.size());
    size_t consumed = 0;
    out.resize(TelnetEscape(data.data(), data.size(), out.data(), out.size(), &consumed));
    fuzzing::Check(consumed == data.size(), "room for twice the data takes it all");
    stream->insert(stream->end(), out.begin(), out.end());
    want->data.insert(want->data.end(), data.begin(), data.end());
}

void AddVerb(Input& in, uint8_t, Bytes* stream, Expected* want) {
    const uint8_t verb = static_cast<uint8_t>(kTelnetWill + in.Byte() % 4), option = in.Byte();
    uint8_t out[3];
    stream->insert(stream->end(), out, out + TelnetOptionBytes(verb, option, out));
    want->events.push_back({TelnetVerb, verb, option});
}

void AddCommand(Input& in, uint8_t, Bytes* stream, Expected* want) {  // NOP, GA, ...
    const uint8_t command = in.Byte() % kTelnetSb;
    stream->push_back(kTelnetIac);
    stream->push_back(command);
    want->events.push_back({TelnetOtherCommand});
}

// A com-port subnegotiation the codec builds (commands are all below 255).
void AddSubnegotiation(Input& in, uint8_t, Bytes* stream, Expected* want) {
    const uint8_t command = in.Byte() % 255;
    const Bytes value = in.Take(in.Byte() % (kComValueMax + 1));
    uint8_t out[kComSubnegotiationMax];
    const size_t n = ComSubnegotiation(command, value.data(), value.size(), out);
    fuzzing::Check(n <= 6 + 2 * value.size(), "a subnegotiation takes the room promised");
    stream->insert(stream->end(), out, out + n);
    Bytes event{TelnetSub, kOptionComPort, command};
    event.insert(event.end(), value.begin(), value.end());
    want->events.push_back(event);
}

// A subnegotiation longer than the option's longest, closed.
void AddOverlong(Input& in, uint8_t, Bytes* stream, Expected* want) {
    const Bytes value = in.Take(kComValueMax + 1 + in.Byte() % 64);
    if (value.size() <= kComValueMax) return;
    const uint8_t head[] = {kTelnetIac, kTelnetSb, kOptionComPort, 1};
    stream->insert(stream->end(), head, head + sizeof head);
    Bytes out(2 * value.size());
    out.resize(TelnetEscape(value.data(), value.size(), out.data(), out.size(), nullptr));
    stream->insert(stream->end(), out.begin(), out.end());
    stream->push_back(kTelnetIac);
    stream->push_back(kTelnetSe);
    want->events.push_back({TelnetSubDropped, kOptionComPort});
}

using AddItem = void (*)(Input&, uint8_t, Bytes*, Expected*);
constexpr AddItem kItems[5] = {AddData, AddVerb, AddCommand, AddSubnegotiation, AddOverlong};

Expected Decoded(const Bytes& stream, TelnetDecoder* decoder) {
    Expected got;
    for (uint8_t byte : stream) {
        const TelnetEvent e = TelnetDecodeByte(decoder, byte);
        switch (e.kind) {
        case TelnetNothing: break;
        case TelnetData: got.data.push_back(e.data); break;
        case TelnetVerb: got.events.push_back({TelnetVerb, e.verb, e.option}); break;
        case TelnetOtherCommand: got.events.push_back({TelnetOtherCommand}); break;
        case TelnetSub: {
            Bytes event{TelnetSub, e.option, e.command};
            event.insert(event.end(), e.value, e.value + e.valueLength);
            got.events.push_back(event);
            break;
        }
        case TelnetSubDropped: got.events.push_back({TelnetSubDropped, e.option}); break;
        }
    }
    return got;
}

void Built(Input& in) {
    Bytes stream;
    Expected want;
    while (!in.Empty()) {
        const uint8_t item = in.Byte();
        kItems[item % 5](in, item, &stream, &want);
    }
    TelnetDecoder decoder;
    const Expected got = Decoded(stream, &decoder);
    fuzzing::Check(decoder.state == 0, "a whole stream leaves the decoder between items");
    fuzzing::Check(got.data == want.data, "data comes back as it went in");
    fuzzing::Check(got.events == want.events, "verbs and subnegotiations come back whole, an over-long one dropped");
}

void Escape(Input& in) {
    const size_t room = in.Byte();
    const Bytes data = in.Rest();
    Bytes out(room + 1, 0xAB);
    size_t consumed = 0;
    const size_t used = TelnetEscape(data.data(), data.size(), out.data(), room, &consumed);
    fuzzing::Check(used <= room && out[room] == 0xAB, "never past the room");
    fuzzing::Check(consumed <= data.size(), "never more data than given");
    size_t iacs = 0;
    for (size_t i = 0; i < consumed; ++i) iacs += data[i] == kTelnetIac;
    fuzzing::Check(used == consumed + iacs, "each 0xFF taken is doubled");
    fuzzing::Check(consumed == data.size() || used + (data[consumed] == kTelnetIac ? 2 : 1) > room,
                   "it stops only for want of room");
    TelnetDecoder decoder;
    const Expected back = Decoded(Bytes(out.begin(), out.begin() + static_cast<long>(used)), &decoder);
    fuzzing::Check(back.events.empty(), "escaped data decodes to data only");
    fuzzing::Check(decoder.state == 0, "no 0xFF split from its double");
    fuzzing::Check(back.data == Bytes(data.begin(), data.begin() + static_cast<long>(consumed)), "decoded as it was");
}

struct Peer {
    TelnetOptions options;
    uint64_t will = 0, willDo = 0;
    TelnetDecoder decoder;
};

// Feeds bytes to a peer; its answers go into out.
void Hear(Peer& peer, const Bytes& bytes, Bytes* out) {
    for (uint8_t byte : bytes) {
        const TelnetEvent e = TelnetDecodeByte(&peer.decoder, byte);
        if (e.kind != TelnetVerb) continue;
        uint8_t answer[3];
        const size_t n = TelnetAnswerVerb(&peer.options, e.verb, e.option, peer.will, peer.willDo, answer);
        out->insert(out->end(), answer, answer + n);
    }
}

void Negotiation(Input& in) {
    Peer a, b;
    // Option lists over a few options, so that the two often overlap.
    const uint8_t kOptions[8] = {kOptionBinary, 1, kOptionSuppressGoAhead, 24, kOptionComPort, 63, 64, 200};
    auto mask = [&](uint8_t bits) {
        uint64_t m = 0;
        for (int i = 0; i < 8; ++i)
            if (bits & (1 << i)) m |= OptionBit(kOptions[i]);
        return m;
    };
    a.will = mask(in.Byte());
    a.willDo = mask(in.Byte());
    b.will = mask(in.Byte());
    b.willDo = mask(in.Byte());
    Bytes toB, toA;
    bool unasked = false;
    while (!in.Empty()) {
        const uint8_t step = in.Byte();
        const uint8_t option = kOptions[(step >> 3) & 7];
        const bool fromA = step & 0x40;
        Bytes& out = fromA ? toB : toA;
        Peer& from = fromA ? a : b;
        uint8_t bytes[3];
        size_t n;
        if (step & 0x80) {
            // An unasked verb, as a peer that keeps no state might send.
            n = TelnetOptionBytes(static_cast<uint8_t>(kTelnetWill + (step & 3)), option, bytes);
            unasked = true;
        } else {
            n = TelnetAsk(&from.options, (step & 1) ? kTelnetDo : kTelnetWill, option, bytes);
        }
        out.insert(out.end(), bytes, bytes + n);
    }
    // Answers go back and forth; each round hears all that is in flight.
    size_t rounds = 0;
    while (!toA.empty() || !toB.empty()) {
        if (++rounds > 8) {
            fuzzing::Check(unasked, "peers that only ask and answer fall quiet within a few rounds");
            return;
        }
        Bytes nextA, nextB;
        Hear(b, toB, &nextA);
        Hear(a, toA, &nextB);
        fuzzing::Check(nextA.size() <= toB.size() && nextB.size() <= toA.size(),
                       "no more answer bytes than bytes heard");
        toA.swap(nextA);
        toB.swap(nextB);
    }
    if (!unasked)
        fuzzing::Check(a.options.ours == b.options.theirs && a.options.theirs == b.options.ours,
                       "quiet peers agree on every option");
    fuzzing::Check((a.options.ours & ~a.will) == 0 && (a.options.theirs & ~a.willDo) == 0 &&
                       (b.options.ours & ~b.will) == 0 && (b.options.theirs & ~b.willDo) == 0,
                   "no side performs or accepts an option it does not list");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    switch (in.Byte() % 4) {
    case 0: Raw(in); break;
    case 1: Built(in); break;
    case 2: Escape(in); break;
    case 3: Negotiation(in); break;
    }
    return 0;
}
