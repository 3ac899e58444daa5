// Lines over the network: the port map file, the connection, and the data
// and com-port commands over it. The bytes are made by telnet_com; this
// file moves them.
#include "platform/posix_network.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/tavrik.h"
#include "platform/posix_errors.h"
#include "platform/win32_names.h"

namespace {

constexpr int kConnectMs = 3000;    // a server that does not answer within this is taken as absent
constexpr int kNegotiateMs = 3000;  // the com-port option must be agreed within this
constexpr int kSendMs = 2000;       // a control message or a piece of data must leave within this
constexpr DWORD kErrorConnectionRefused = 1225;
constexpr DWORD kErrorHostUnreachable = 1232;
constexpr DWORD kErrorBadNetName = 67;
constexpr DWORD kErrorNotSupportedHere = ERROR_NOT_SUPPORTED;

// What we perform and accept: binary both ways (no CR NUL games with the
// data), no go-aheads, and the com-port option on our side.
constexpr uint64_t kWeWill =
    OptionBit(kOptionBinary) | OptionBit(kOptionSuppressGoAhead) | OptionBit(kOptionComPort);
constexpr uint64_t kWeDo = OptionBit(kOptionBinary) | OptionBit(kOptionSuppressGoAhead);
// Carrier and CTS, and their changes: what the radio keying and the
// modem-status call need.
constexpr uint8_t kModemMask = kModemCarrier | kModemCts | kModemCarrierDelta | kModemCtsDelta;

int64_t NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int LeftMs(int64_t deadline) {
    int64_t left = deadline - NowMs();
    return left < 0 ? 0 : static_cast<int>(left);
}

// Sends all bytes (line locked by the caller), waiting while the socket
// is full. A failure marks the connection dropped.
bool SendAll(NetLine* line, const uint8_t* bytes, size_t count) {
    int64_t deadline = NowMs() + kSendMs;
    size_t sent = 0;
    while (sent < count && !line->dropped) {
        ssize_t n = send(line->fd, bytes + sent, count - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            struct pollfd p = {line->fd, POLLOUT, 0};
            if (poll(&p, 1, LeftMs(deadline)) > 0 && !(p.revents & (POLLERR | POLLHUP))) continue;
        }
        line->dropped = true;
    }
    return sent == count;
}

// One decoded event of the peer's stream (line locked).
void TakeEvent(NetLine* line, const TelnetEvent& e) {
    uint8_t answer[3];
    switch (e.kind) {
    case TelnetData:
        if (line->inputCount < kNetInputSize) {
            line->input[(line->inputStart + line->inputCount) % kNetInputSize] = e.data;
            ++line->inputCount;
        }
        break;
    case TelnetVerb: {
        size_t n = TelnetAnswerVerb(&line->options, e.verb, e.option, kWeWill, kWeDo, answer);
        if (n > 0) SendAll(line, answer, n);
        break;
    }
    case TelnetSub:
        if (e.option == kOptionComPort && e.command == ComNotifyModemState + kComServerOffset &&
            e.valueLength >= 1) {
            line->modem = e.value[0];
            line->modemKnown = true;
        }
        break;
    default:
        break;
    }
}

// Takes what the socket holds without waiting, as far as the input ring
// has room (line locked). On raw TCP every byte is data.
void Pump(NetLine* line) {
    uint8_t raw[1024];
    while (!line->dropped) {
        size_t room = kNetInputSize - line->inputCount;
        if (room == 0) return;
        // On Telnet a byte read may be a command and take no room, so one
        // read never asks for more than the ring can hold as data.
        size_t ask = room < sizeof raw ? room : sizeof raw;
        ssize_t n = recv(line->fd, raw, ask, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n <= 0) {
            line->dropped = true;
            return;
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (line->kind == NetLineTcp) {
                TelnetEvent data;
                data.kind = TelnetData;
                data.data = raw[i];
                TakeEvent(line, data);
            } else {
                TakeEvent(line, TelnetDecodeByte(&line->decoder, raw[i]));
            }
        }
    }
}

bool SendSub8(NetLine* line, uint8_t command, uint8_t value) {
    uint8_t bytes[kComSubnegotiationMax];
    return SendAll(line, bytes, ComSubnegotiation8(command, value, bytes));
}

// Connects to one address within the connect time; the socket or -1 with errno.
int ConnectTo(const struct addrinfo* address) {
    int fd = socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address->ai_protocol);
    if (fd < 0) return -1;
    if (connect(fd, address->ai_addr, address->ai_addrlen) != 0) {
        if (errno != EINPROGRESS) {
            int error = errno;
            close(fd);
            errno = error;
            return -1;
        }
        struct pollfd p = {fd, POLLOUT, 0};
        int ready;
        do {
            ready = poll(&p, 1, kConnectMs);
        } while (ready < 0 && errno == EINTR);
        int error = ETIMEDOUT;
        socklen_t length = sizeof error;
        if (ready > 0) getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            close(fd);
            errno = error;
            return -1;
        }
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // A server that vanishes without a word (power, cable) is found within
    // about half a minute instead of never.
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    int idle = 10, interval = 5, count = 3;
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    return fd;
}

// Asks for the com-port option and waits until the server agrees or
// refuses (line locked). Our side of it on is success.
bool Negotiate(NetLine* line) {
    uint8_t bytes[16];
    size_t used = 0;
    used += TelnetAsk(&line->options, kTelnetWill, kOptionComPort, bytes + used);
    used += TelnetAsk(&line->options, kTelnetWill, kOptionBinary, bytes + used);
    used += TelnetAsk(&line->options, kTelnetDo, kOptionBinary, bytes + used);
    used += TelnetAsk(&line->options, kTelnetWill, kOptionSuppressGoAhead, bytes + used);
    used += TelnetAsk(&line->options, kTelnetDo, kOptionSuppressGoAhead, bytes + used);
    if (!SendAll(line, bytes, used)) return false;
    const uint64_t comPort = OptionBit(kOptionComPort);
    int64_t deadline = NowMs() + kNegotiateMs;
    for (;;) {
        Pump(line);
        if (line->options.ours & comPort) break;
        if (line->dropped || !(line->options.askedOurs & comPort)) return false;
        struct pollfd p = {line->fd, POLLIN, 0};
        int left = LeftMs(deadline);
        if (left == 0) return false;
        poll(&p, 1, left);
    }
    return SendSub8(line, ComSetModemStateMask, kModemMask);
}

// Lines end in LF (CR LF too); a line longer than the buffer is refused.
int LookupIn(FILE* file, const char* name, PortMapEntry* entry) {
    char text[512];
    int number = 0;
    while (std::fgets(text, sizeof text, file) != nullptr) {
        ++number;
        size_t length = std::strlen(text);
        bool whole = length > 0 && text[length - 1] == '\n';
        if (whole) text[--length] = '\0';
        if (!whole && !std::feof(file)) {
            err(kLogFault, "KivIN : %s line %d is too long, ignored", kPortMapFile, number);
            int c;
            while ((c = std::fgetc(file)) != EOF && c != '\n') {
            }
            continue;
        }
        PortMapLineResult result = ParsePortMapLine(text, length, entry);
        if (result == PortMapBadName) {
            err(kLogFault, "KivIN : %s line %d is not NAME = tcp://HOST:PORT or rfc2217://HOST:PORT, ignored",
                kPortMapFile, number);
            continue;
        }
        if (result == PortMapBlank || !PortNameMatches(name, *entry)) continue;
        if (result == PortMapBadUrl) {
            err(kLogFault, "KivIN : %s line %d: bad address for port %s", kPortMapFile, number, name);
            return -1;
        }
        return 1;
    }
    return 0;
}

}  // namespace

int NetLookupPort(const char* name, PortMapEntry* entry) {
    if (name == nullptr || name[0] == '\0' || std::strlen(name) > kPortNameMax) return 0;
    FILE* file = std::fopen(kPortMapFile, "r");
    if (file == nullptr) return 0;
    int found = LookupIn(file, name, entry);
    std::fclose(file);
    return found;
}

namespace {

// As many network lines as a process has ports at most.
constexpr int kNetLineCount = 64;
NetLine netLines[kNetLineCount];
std::mutex poolMutex;

NetLine* TakeLine() {
    std::lock_guard<std::mutex> lock(poolMutex);
    for (NetLine& line : netLines) {
        if (!line.used) {
            line.used = true;
            return &line;
        }
    }
    return nullptr;
}

void GiveBack(NetLine* line) {
    std::lock_guard<std::mutex> lock(poolMutex);
    line->used = false;
}

bool Connect(NetLine* line, const PortMapEntry& entry, uint32_t* error) {
    line->kind = entry.kind;
    line->fd = -1;
    line->dropped = false;
    line->decoder = TelnetDecoder();
    line->options = TelnetOptions();
    line->modem = 0;
    line->modemKnown = false;
    line->inputStart = line->inputCount = 0;

    char service[8];
    std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(entry.port));
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* addresses = nullptr;
    int found = getaddrinfo(entry.host, service, &hints, &addresses);
    if (found != 0) {
        err(kLogFault, "KivIN : Port %s: unknown host %s", entry.name, entry.host);
        *error = kErrorBadNetName;
        return false;
    }
    int connectError = 0;
    for (struct addrinfo* a = addresses; a != nullptr && line->fd < 0; a = a->ai_next) {
        line->fd = ConnectTo(a);
        if (line->fd < 0) connectError = errno;
    }
    freeaddrinfo(addresses);
    if (line->fd < 0) {
        if (connectError == ECONNREFUSED) {
            err(kLogFault, "KivIN : Port %s: connection to %s:%u refused", entry.name, entry.host,
                static_cast<unsigned>(entry.port));
            *error = kErrorConnectionRefused;
        } else {
            err(kLogFault, "KivIN : Port %s: no connection to %s:%u (%s)", entry.name, entry.host,
                static_cast<unsigned>(entry.port), std::strerror(connectError));
            *error = kErrorHostUnreachable;
        }
        return false;
    }
    if (entry.kind == NetLineRfc2217 && !Negotiate(line)) {
        err(kLogFault, "KivIN : Port %s: %s:%u did not agree to RFC 2217", entry.name, entry.host,
            static_cast<unsigned>(entry.port));
        close(line->fd);
        line->fd = -1;
        *error = kErrorNotSupportedHere;
        return false;
    }
    return true;
}

}  // namespace

NetLine* NetOpen(const PortMapEntry& entry, uint32_t* error) {
    NetLine* line = TakeLine();
    if (line == nullptr) {
        err(kLogFault, "KivIN : Port %s: too many network lines open", entry.name);
        *error = ERROR_TOO_MANY_OPEN_FILES;
        return nullptr;
    }
    bool connected;
    {
        std::lock_guard<std::mutex> lock(line->mutex);
        connected = Connect(line, entry, error);
    }
    if (!connected) {
        GiveBack(line);
        return nullptr;
    }
    return line;
}

void NetClose(NetLine* line) {
    {
        std::lock_guard<std::mutex> lock(line->mutex);
        if (line->fd >= 0) close(line->fd);
        line->fd = -1;
        line->kind = NetLineNone;
    }
    GiveBack(line);
}

long NetRead(NetLine* line, uint8_t* bytes, size_t count) {
    std::lock_guard<std::mutex> lock(line->mutex);
    Pump(line);
    if (line->inputCount == 0) {
        errno = line->dropped ? ECONNRESET : EAGAIN;
        return -1;
    }
    size_t taken = 0;
    while (taken < count && line->inputCount > 0) {
        bytes[taken++] = line->input[line->inputStart];
        line->inputStart = (line->inputStart + 1) % kNetInputSize;
        --line->inputCount;
    }
    return static_cast<long>(taken);
}

long NetWrite(NetLine* line, const uint8_t* bytes, size_t count) {
    std::lock_guard<std::mutex> lock(line->mutex);
    Pump(line);
    if (line->dropped) {
        errno = EPIPE;
        return -1;
    }
    struct pollfd p = {line->fd, POLLOUT, 0};
    if (poll(&p, 1, 0) <= 0) {
        errno = EAGAIN;
        return -1;
    }
    uint8_t escaped[1024];
    size_t consumed = count;
    size_t used = count;
    const uint8_t* out = bytes;
    if (line->kind == NetLineRfc2217) {
        used = TelnetEscape(bytes, count, escaped, sizeof escaped, &consumed);
        out = escaped;
    } else if (used > sizeof escaped) {
        consumed = used = sizeof escaped;
    }
    if (!SendAll(line, out, used)) {
        errno = EPIPE;
        return -1;
    }
    return static_cast<long>(consumed);
}

long NetWaiting(NetLine* line) {
    std::lock_guard<std::mutex> lock(line->mutex);
    Pump(line);
    if (line->inputCount == 0 && line->dropped) return -1;
    return static_cast<long>(line->inputCount);
}

namespace {

// Runs f on an RFC 2217 line that is alive (locked); errno as documented.
template <typename F>
bool OnComPort(NetLine* line, F f) {
    std::lock_guard<std::mutex> lock(line->mutex);
    if (line->kind != NetLineRfc2217) {
        errno = ENOTTY;
        return false;
    }
    Pump(line);
    if (line->dropped || !f()) {
        errno = EPIPE;
        return false;
    }
    return true;
}

}  // namespace

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
        return SendAll(line, bytes, used);
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

HANDLE OpenNetPort(const PortMapEntry& entry) {
    uint32_t error = ERROR_GEN_FAILURE;
    NetLine* line = NetOpen(entry, &error);
    if (line == nullptr) {
        Fail(error);
        return INVALID_HANDLE_VALUE;
    }
    int wake[2];
    if (!OpenWakePipe(wake)) {
        NetClose(line);
        return INVALID_HANDLE_VALUE;
    }
    // What GetCommState shows before the first SetCommState: 9600 8N1.
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 9600;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    return OpenSlot(OpenedDevice{line->fd, wake[0], wake[1], true, false, dcb, line});
}

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

DWORD NetInputWaiting(NetLine* line, DWORD* count) {
    long waiting = NetWaiting(line);
    if (waiting < 0) return ErrorFromErrno(ECONNRESET);
    *count = static_cast<DWORD>(waiting);
    return ERROR_SUCCESS;
}

long ReadSome(const PortSlot& port, void* bytes, size_t count) {
    if (port.net != nullptr) return NetRead(port.net, static_cast<uint8_t*>(bytes), count);
    return static_cast<long>(::read(port.fd, bytes, count));
}

long WriteSome(const PortSlot& port, const void* bytes, size_t count) {
    if (port.net != nullptr) return NetWrite(port.net, static_cast<const uint8_t*>(bytes), count);
    return static_cast<long>(::write(port.fd, bytes, count));
}

}  // namespace kivposix
