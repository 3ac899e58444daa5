// The Telnet com-port option on a network line: agreeing it when the line
// opens, answering the peer's option talk, the modem state the server
// reports, and the line settings, control lines and purges sent to it.
#include <poll.h>

#include <cerrno>

#include "platform/posix_deadline.h"
#include "platform/posix_errors.h"
#include "platform/posix_net_link.h"

using namespace kivposix;

namespace {

constexpr int kNegotiateMs = 3000;  // the com-port option must be agreed within this

// What we perform and accept: binary both ways (no CR NUL games with the
// data), no go-aheads, and the com-port option on our side.
constexpr uint64_t kWeWill =
    OptionBit(kOptionBinary) | OptionBit(kOptionSuppressGoAhead) | OptionBit(kOptionComPort);
constexpr uint64_t kWeDo = OptionBit(kOptionBinary) | OptionBit(kOptionSuppressGoAhead);
// Carrier and CTS, and their changes: what the radio keying and the
// modem-status call need.
constexpr uint8_t kModemMask = kModemCarrier | kModemCts | kModemCarrierDelta | kModemCtsDelta;

bool SendSub8(NetLine* line, uint8_t command, uint8_t value) {
    uint8_t bytes[kComSubnegotiationMax];
    return NetSendAll(line, bytes, ComSubnegotiation8(command, value, bytes));
}

// Runs f on an RFC 2217 line that is alive (locked); errno as documented.
template <typename F>
bool OnComPort(NetLine* line, F f) {
    std::lock_guard<std::mutex> lock(line->mutex);
    if (line->kind != NetLineRfc2217) {
        errno = ENOTTY;
        return false;
    }
    NetPump(line);
    if (line->dropped || !f()) {
        errno = EPIPE;
        return false;
    }
    return true;
}

}  // namespace

namespace kivposix {

void NetTakeOptionEvent(NetLine* line, const TelnetEvent& e) {
    if (e.kind == TelnetVerb) {
        uint8_t answer[3];
        size_t n = TelnetAnswerVerb(&line->options, e.verb, e.option, kWeWill, kWeDo, answer);
        if (n > 0) NetSendAll(line, answer, n);
    } else if (e.kind == TelnetSub && e.option == kOptionComPort &&
               e.command == ComNotifyModemState + kComServerOffset && e.valueLength >= 1) {
        line->modem = e.value[0];
        line->modemKnown = true;
    }
}

bool NetNegotiate(NetLine* line) {
    uint8_t bytes[16];
    size_t used = 0;
    used += TelnetAsk(&line->options, kTelnetWill, kOptionComPort, bytes + used);
    used += TelnetAsk(&line->options, kTelnetWill, kOptionBinary, bytes + used);
    used += TelnetAsk(&line->options, kTelnetDo, kOptionBinary, bytes + used);
    used += TelnetAsk(&line->options, kTelnetWill, kOptionSuppressGoAhead, bytes + used);
    used += TelnetAsk(&line->options, kTelnetDo, kOptionSuppressGoAhead, bytes + used);
    if (!NetSendAll(line, bytes, used)) return false;
    const uint64_t comPort = OptionBit(kOptionComPort);
    Deadline deadline = Deadline::After(kNegotiateMs);
    for (;;) {
        NetPump(line);
        if (line->options.ours & comPort) break;
        if (line->dropped || !(line->options.askedOurs & comPort)) return false;
        struct pollfd p = {line->fd, POLLIN, 0};
        int left = deadline.PollTimeout();
        if (left == 0) return false;
        poll(&p, 1, left);
    }
    return SendSub8(line, ComSetModemStateMask, kModemMask);
}

}  // namespace kivposix

bool NetSetLine(NetLine* line, uint32_t baud, uint8_t dataBits, uint8_t parity, uint8_t stopBits) {
    // Win32 codes to the option's: parity none..space is 0..4 there, 1..5
    // here; stop bits one, one and a half, two are 0, 1, 2 there, 1, 3, 2 here.
    static const uint8_t kStopCodes[3] = {1, 3, 2};
    if (parity > 4 || stopBits > 2) {
        errno = EINVAL;
        return false;
    }
    return OnComPort(line, [&] {
        uint8_t bytes[4 * kComSubnegotiationMax];
        size_t used = ComSubnegotiation32(ComSetBaudRate, baud, bytes);
        used += ComSubnegotiation8(ComSetDataSize, dataBits, bytes + used);
        used += ComSubnegotiation8(ComSetParity, static_cast<uint8_t>(parity + 1), bytes + used);
        used += ComSubnegotiation8(ComSetStopSize, kStopCodes[stopBits], bytes + used);
        return NetSendAll(line, bytes, used);
    });
}

bool NetControl(NetLine* line, uint8_t control) {
    return OnComPort(line, [&] { return SendSub8(line, ComSetControl, control); });
}

bool NetPurge(NetLine* line, uint8_t which) {
    return OnComPort(line, [&] { return SendSub8(line, ComPurgeData, which); });
}

bool NetModemState(NetLine* line, uint8_t* bits) {
    return OnComPort(line, [&] {
        *bits = line->modem;
        return true;
    });
}

namespace kivposix {

DWORD NetApplyDcb(NetLine* line, const DCB& dcb) {
    if (line->kind != NetLineRfc2217) return ERROR_SUCCESS;
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return ERROR_INVALID_PARAMETER;
    if (!NetSetLine(line, dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits)) return ErrorFromErrno(errno);
    return ERROR_SUCCESS;
}

DWORD NetEscape(NetLine* line, DWORD function) {
    uint8_t control;
    switch (function) {
    case SETRTS: control = ComControlRtsOn; break;
    case CLRRTS: control = ComControlRtsOff; break;
    case SETDTR: control = ComControlDtrOn; break;
    case CLRDTR: control = ComControlDtrOff; break;
    default: return ERROR_INVALID_PARAMETER;
    }
    return NetControl(line, control) ? ERROR_SUCCESS : ErrorFromErrno(errno);
}

DWORD NetModemStatus(NetLine* line, DWORD* status) {
    uint8_t bits = 0;
    if (!NetModemState(line, &bits)) return ErrorFromErrno(errno);
    DWORD lines = 0;
    if (bits & kModemCts) lines |= MS_CTS_ON;
    if (bits & kModemDsr) lines |= MS_DSR_ON;
    if (bits & kModemRing) lines |= MS_RING_ON;
    if (bits & kModemCarrier) lines |= MS_RLSD_ON;
    *status = lines;
    return ERROR_SUCCESS;
}

}  // namespace kivposix
