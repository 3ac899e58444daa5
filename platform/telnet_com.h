// The Telnet Com Port Control Option (RFC 2217) as pure functions over
// buffers: option negotiation, the com-port subnegotiations both ways and
// the doubling of 0xFF in data. No I/O and no heap: the driver's network
// lines and kivsim's server share it.
#pragma once

#include <cstddef>
#include <cstdint>

// Telnet bytes.
constexpr uint8_t kTelnetIac = 255;
constexpr uint8_t kTelnetDont = 254;
constexpr uint8_t kTelnetDo = 253;
constexpr uint8_t kTelnetWont = 252;
constexpr uint8_t kTelnetWill = 251;
constexpr uint8_t kTelnetSb = 250;
constexpr uint8_t kTelnetSe = 240;

// Telnet options we take part in.
constexpr uint8_t kOptionBinary = 0;
constexpr uint8_t kOptionSuppressGoAhead = 3;
constexpr uint8_t kOptionComPort = 44;

// Com-port commands as the client sends them; the server answers each with
// the same code plus kComServerOffset, and sends its notifications that way.
enum ComCommand : uint8_t {
    ComSignature = 0,
    ComSetBaudRate = 1,        // 4 bytes, most significant first; 0 asks for the current rate
    ComSetDataSize = 2,        // 5..8; 0 asks
    ComSetParity = 3,          // 1 none, 2 odd, 3 even, 4 mark, 5 space; 0 asks
    ComSetStopSize = 4,        // 1 one, 2 two, 3 one and a half; 0 asks
    ComSetControl = 5,         // one of the ComControl values
    ComNotifyLineState = 6,
    ComNotifyModemState = 7,   // one byte of ComModem bits
    ComFlowSuspend = 8,
    ComFlowResume = 9,
    ComSetLineStateMask = 10,
    ComSetModemStateMask = 11, // which ComModem bits the server notifies
    ComPurgeData = 12,         // 1 the server's receive buffer, 2 its transmit buffer, 3 both
};
constexpr uint8_t kComServerOffset = 100;

// Values of SET-CONTROL used here.
enum ComControl : uint8_t {
    ComControlNoFlow = 1,
    ComControlDtrOn = 8,
    ComControlDtrOff = 9,
    ComControlRtsOn = 11,
    ComControlRtsOff = 12,
};

// Bits of NOTIFY-MODEMSTATE.
constexpr uint8_t kModemCarrier = 0x80;  // carrier detect (receive line signal)
constexpr uint8_t kModemRing = 0x40;
constexpr uint8_t kModemDsr = 0x20;
constexpr uint8_t kModemCts = 0x10;
constexpr uint8_t kModemCarrierDelta = 0x08;
constexpr uint8_t kModemCtsDelta = 0x01;

constexpr uint8_t kPurgeReceive = 1;
constexpr uint8_t kPurgeTransmit = 2;
constexpr uint8_t kPurgeBoth = 3;

// The largest subnegotiation value either side sends (a baud rate, or a
// signature text cut to this length).
constexpr size_t kComValueMax = 32;
// Room that a subnegotiation with kComValueMax bytes of value needs at most.
constexpr size_t kComSubnegotiationMax = 6 + 2 * kComValueMax;
// How far the decoder looks for the end of a dropped subnegotiation: past
// this many bytes after IAC SB the rest is data again, so that a peer that
// opens a subnegotiation and never closes it cannot swallow the stream.
constexpr size_t kTelnetSubSkipMax = 1024;

// Copies data into out, doubling each 0xFF, until data or room runs out
// (a 0xFF is never split from its double). Returns the bytes written to
// out; *consumed (when given) says how many data bytes went in.
size_t TelnetEscape(const uint8_t* data, size_t count, uint8_t* out, size_t room, size_t* consumed);

// IAC verb option (3 bytes) into out.
size_t TelnetOptionBytes(uint8_t verb, uint8_t option, uint8_t* out);

// IAC SB COM-PORT command value IAC SE into out, the value escaped; out
// needs 6 + 2 * count bytes. count at most kComValueMax.
size_t ComSubnegotiation(uint8_t command, const uint8_t* value, size_t count, uint8_t* out);
// A subnegotiation with a one-byte value, or with a 4-byte big-endian one.
size_t ComSubnegotiation8(uint8_t command, uint8_t value, uint8_t* out);
size_t ComSubnegotiation32(uint8_t command, uint32_t value, uint8_t* out);

// What the decoder found in the byte it was fed.
enum TelnetEventKind : uint8_t {
    TelnetNothing = 0,  // the byte was part of a sequence still incomplete
    TelnetData,         // a data byte (an escaped 0xFF is one)
    TelnetVerb,         // IAC WILL/WONT/DO/DONT option
    TelnetSub,          // a whole subnegotiation; option and value below
    TelnetOtherCommand, // IAC and a byte that is none of the above (NOP, GA, ...): ignored
    TelnetSubDropped,   // a subnegotiation with more than kComValueMax bytes of value: dropped
                        // (option below); once, on the byte that made it too long
};

struct TelnetEvent {
    TelnetEventKind kind = TelnetNothing;
    uint8_t data = 0;            // TelnetData
    uint8_t verb = 0;            // TelnetVerb: WILL, WONT, DO or DONT
    uint8_t option = 0;          // TelnetVerb, TelnetSub, TelnetSubDropped
    uint8_t command = 0;         // TelnetSub: the first byte after the option (com-port command)
    const uint8_t* value = nullptr;  // TelnetSub: the bytes after the command, unescaped
    size_t valueLength = 0;
};

// The receiving side of a Telnet connection: a state machine fed one byte
// at a time. A subnegotiation longer than any the com-port option defines
// (more than kComValueMax bytes of value) is dropped: the decoder skips to
// its IAC SE, but takes bytes as data again once kTelnetSubSkipMax bytes
// have passed since IAC SB without one.
struct TelnetDecoder {
    uint8_t state = 0;
    uint8_t verb = 0;
    uint8_t sub[2 + kComValueMax] = {};  // option, command, value
    size_t subLength = 0;
    size_t subSent = 0;  // bytes since IAC SB, as sent (a doubled 0xFF counts 2)
};

TelnetEvent TelnetDecodeByte(TelnetDecoder* decoder, uint8_t byte);

// Which options each side has agreed to, and the answers that keep the two
// sides in step. Each side accepts only the options in its own list; a
// request that changes nothing gets no answer, so that two peers never
// answer each other's answers for ever.
struct TelnetOptions {
    uint64_t ours = 0;    // options we perform (we said WILL and they DO)
    uint64_t theirs = 0;  // options they perform (they said WILL and we DO)
    uint64_t askedOurs = 0;    // we said WILL, answer pending
    uint64_t askedTheirs = 0;  // we said DO, answer pending
};

// The answer to IAC verb option from the peer, given which options we are
// willing to perform (weWill) and to have performed (weDo), as bit masks of
// option numbers below 64. Writes 0 or 3 bytes to out, returns the count.
size_t TelnetAnswerVerb(TelnetOptions* options, uint8_t verb, uint8_t option, uint64_t weWill, uint64_t weDo,
                        uint8_t* out);
// Our own request (WILL or DO) for an option, remembered as asked.
size_t TelnetAsk(TelnetOptions* options, uint8_t verb, uint8_t option, uint8_t* out);

constexpr uint64_t OptionBit(uint8_t option) {
    return option < 64 ? (uint64_t(1) << option) : 0;
}
