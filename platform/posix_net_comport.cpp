// The Telnet com-port option on a network line: agreeing it when the line
// opens, answering the peer's option talk, the modem state the server
// reports, and the line settings, control lines and purges sent to it.
#include <poll.h>

#include <cerrno>

#include "platform/platform_log.h"
#include "platform/posix_deadline.h"
#include "platform/posix_errors.h"
#include "platform/posix_net_link.h"

using namespace kivposix;

namespace {

// What we perform and accept: binary both ways (no CR NUL games with the
// data), no go-aheads, and the com-port option on our side.
constexpr uint64_t kWeWill =
    OptionBit(kOptionBinary) | OptionBit(kOptionSuppressGoAhead) | OptionBit(kOptionComPort);
constexpr uint64_t kWeDo = OptionBit(kOptionBinary) | OptionBit(kOptionSuppressGoAhead);
// Carrier and CTS, and their changes: what the radio keying and the
// modem-status call need.
constexpr uint8_t kModemMask = kModemCarrier | kModemCts | kModemCarrierDelta | kModemCtsDelta;
// Answers to the peer's option talk go out only while the output holds
// little: a peer that floods requests and reads nothing loses answers, never
// the room for the rest of our data and our own messages.
constexpr size_t kAnswerLimit = kNetOutputSize / 4;

bool SendSub8(NetLine* line, uint8_t command, uint8_t value) {
    uint8_t bytes[kComSubnegotiationMax];
    return NetQueue(line, bytes, ComSubnegotiation8(command, value, bytes));
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
    if (!line->dropped && f()) return true;
    errno = line->dropped ? EPIPE : EAGAIN;
    return false;
}

// Runs a com-port call again while its message finds no room in the output,
// waiting for the socket to take bytes (without the lock) up to
// kNetControlMs. A server that takes nothing for that long is taken as
// gone: the port is dead, as when a message could not leave.
template <typename F>
bool WithRoom(NetLine* line, F call) {
    Deadline deadline = Deadline::After(kNetControlMs);
    for (;;) {
        if (call()) return true;
        if (errno != EAGAIN) return false;
        int left = deadline.PollTimeout();
        if (left == 0) break;
        struct pollfd p = {line->fd, POLLOUT, 0};
        poll(&p, 1, left);  // ready, interrupted or timed out: the next round tells
    }
    std::lock_guard<std::mutex> lock(line->mutex);
    line->dropped = true;
    errno = EPIPE;
    return false;
}

}  // namespace

namespace kivposix {

void NetTakeOptionEvent(NetLine* line, const TelnetEvent& e) {
    if (e.kind == TelnetVerb) {
        uint8_t answer[3];
        size_t n = TelnetAnswerVerb(&line->options, e.verb, e.option, kWeWill, kWeDo, answer);
        if (n > 0) NetQueue(line, answer, n, kAnswerLimit);
    } else if (e.kind == TelnetSubDropped && !line->overlongLogged) {
        line->overlongLogged = true;
        PlatformLog(kLogFault, "KivIN : Port %s: overlong subnegotiation (option %u) from the server dropped, "
            "not logged again on this connection", line->name, static_cast<unsigned>(e.option));
    } else if (e.kind == TelnetSub && e.option == kOptionComPort &&
               e.command == ComNotifyModemState + kComServerOffset && e.valueLength >= 1) {
        line->modem = e.value[0];
        line->modemKnown = true;
    }
}

bool NetNegotiate(NetLine* line, Deadline* deadline) {
    uint8_t bytes[16];
    size_t used = 0;
    used += TelnetAsk(&line->options, kTelnetWill, kOptionComPort, bytes + used);
    used += TelnetAsk(&line->options, kTelnetWill, kOptionBinary, bytes + used);
    used += TelnetAsk(&line->options, kTelnetDo, kOptionBinary, bytes + used);
    used += TelnetAsk(&line->options, kTelnetWill, kOptionSuppressGoAhead, bytes + used);
    used += TelnetAsk(&line->options, kTelnetDo, kOptionSuppressGoAhead, bytes + used);
    if (!NetQueue(line, bytes, used)) return false;
    const uint64_t comPort = OptionBit(kOptionComPort);
    for (;;) {
        NetPump(line);
        if (line->options.ours & comPort) break;
        if (line->dropped || !(line->options.askedOurs & comPort)) return false;
        // A server that fills the input before it agrees will not be read
        // any further: it did not agree.
        if (line->inputCount == kNetInputSize) return false;
        int left = deadline->PollTimeout();
        if (left == 0) return false;
        struct pollfd p = {line->fd, static_cast<short>(POLLIN | (line->outputCount > 0 ? POLLOUT : 0)), 0};
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
        return NetQueue(line, bytes, used);
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
    bool set = WithRoom(line, [&] { return NetSetLine(line, dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits); });
    return set ? ERROR_SUCCESS : ErrorFromErrno(errno);
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
    return WithRoom(line, [&] { return NetControl(line, control); }) ? ERROR_SUCCESS : ErrorFromErrno(errno);
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
