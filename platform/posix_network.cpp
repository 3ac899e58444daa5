// The connection of a network line: the pool of lines, connecting,
// sending, taking in what the socket holds, and the reads and writes over
// it. The com-port option is posix_net_comport.cpp's, the port map
// posix_net_map.cpp's, and the bytes are made by telnet_com.
#include "platform/posix_network.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform_log.h"
#include "platform/posix_deadline.h"
#include "platform/posix_errors.h"
#include "platform/posix_net_link.h"
#include "platform/posix_syscalls.h"
#include "platform/win32_names.h"

using namespace kivposix;

namespace {

constexpr DWORD kErrorConnectionRefused = 1225;
constexpr DWORD kErrorHostUnreachable = 1232;
constexpr DWORD kErrorBadNetName = 67;
constexpr DWORD kErrorNotSupportedHere = ERROR_NOT_SUPPORTED;

// One data byte from the peer into the input ring (line locked).
void KeepData(NetLine* line, uint8_t byte) {
    if (line->inputCount < kNetInputSize) {
        line->input[(line->inputStart + line->inputCount) % kNetInputSize] = byte;
        ++line->inputCount;
    }
}

// Hands the socket what it takes of the bytes without waiting; returns how
// many it took. A failure marks the connection dropped.
size_t SendNow(NetLine* line, const uint8_t* bytes, size_t count) {
    size_t sent = 0;
    while (sent < count && !line->dropped) {
        ssize_t n = send(line->fd, bytes + sent, count - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            line->dropped = true;
        }
    }
    return sent;
}

// Puts bytes behind what waits in the output; the caller saw the room.
void KeepOutput(NetLine* line, const uint8_t* bytes, size_t count) {
    if (count == 0) return;
    if (line->outputStart + line->outputCount + count > kNetOutputSize) {
        std::memmove(line->output, line->output + line->outputStart, line->outputCount);
        line->outputStart = 0;
    }
    std::memcpy(line->output + line->outputStart + line->outputCount, bytes, count);
    line->outputCount += count;
}

// Hands the socket what it takes at once of the waiting output.
void SendWaiting(NetLine* line) {
    if (line->outputCount == 0) return;
    size_t sent = SendNow(line, line->output + line->outputStart, line->outputCount);
    line->outputStart += sent;
    line->outputCount -= sent;
    if (line->outputCount == 0) line->outputStart = 0;
}

}  // namespace

namespace kivposix {

bool NetQueue(NetLine* line, const uint8_t* bytes, size_t count, size_t limit) {
    SendWaiting(line);
    if (line->dropped || line->outputCount + count > (limit < kNetOutputSize ? limit : kNetOutputSize)) return false;
    // Nothing waits before them: what the socket takes now need not be copied.
    size_t sent = line->outputCount == 0 ? SendNow(line, bytes, count) : 0;
    if (line->dropped) return false;
    KeepOutput(line, bytes + sent, count - sent);
    return true;
}

void NetPump(NetLine* line) {
    SendWaiting(line);
    uint8_t raw[1024];
    size_t taken = 0;
    while (!line->dropped && taken < kNetPumpMax) {
        size_t room = kNetInputSize - line->inputCount;
        if (room == 0) return;
        // On Telnet a byte read may be a command and take no room, so one
        // read never asks for more than the ring can hold as data.
        size_t ask = room < sizeof raw ? room : sizeof raw;
        if (ask > kNetPumpMax - taken) ask = kNetPumpMax - taken;
        ssize_t n = recv(line->fd, raw, ask, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n <= 0) {
            line->dropped = true;
            return;
        }
        taken += static_cast<size_t>(n);
        for (ssize_t i = 0; i < n; ++i) {
            if (line->kind == NetLineTcp) {
                KeepData(line, raw[i]);
                continue;
            }
            TelnetEvent event = TelnetDecodeByte(&line->decoder, raw[i]);
            if (event.kind == TelnetData) {
                KeepData(line, event.data);
            } else if (event.kind != TelnetNothing) {
                NetTakeOptionEvent(line, event);
            }
        }
        // A read that did not fill what it asked emptied the socket.
        if (static_cast<size_t>(n) < ask) return;
    }
}

}  // namespace kivposix

namespace {

// Connects to one address before the deadline; the socket or -1 with errno.
int ConnectTo(const struct addrinfo* address, Deadline* deadline) {
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
            ready = poll(&p, 1, deadline->PollTimeout());
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

// A line of the entry's kind and name with nothing connected or held yet.
void ResetLine(NetLine* line, const PortMapEntry& entry) {
    line->kind = entry.kind;
    std::memcpy(line->name, entry.name, sizeof line->name);
    line->fd = -1;
    line->dropped = false;
    line->overlongLogged = false;
    line->decoder = TelnetDecoder();
    line->options = TelnetOptions();
    line->modem = 0;
    line->modemKnown = false;
    line->inputStart = line->inputCount = 0;
    line->outputStart = line->outputCount = 0;
}

bool Connect(NetLine* line, const PortMapEntry& entry, uint32_t* error) {
    ResetLine(line, entry);
    char service[8];
    std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(entry.port));
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* addresses = nullptr;
    int found = getaddrinfo(entry.host, service, &hints, &addresses);
    if (found != 0) {
        NoteOpenFailure(KivPortStepResolve, found);
        PlatformLog(kLogFault, "KivIN : Port %s: unknown host %s", entry.name, entry.host);
        *error = kErrorBadNetName;
        return false;
    }
    // One time limit for all the addresses together: a name with several
    // that do not answer must not multiply it.
    Deadline connectEnd = Deadline::After(kNetConnectMs);
    int connectError = ETIMEDOUT;
    for (struct addrinfo* a = addresses; a != nullptr && line->fd < 0 && connectEnd.PollTimeout() != 0;
         a = a->ai_next) {
        line->fd = ConnectTo(a, &connectEnd);
        if (line->fd < 0) connectError = errno;
    }
    freeaddrinfo(addresses);
    if (line->fd < 0) {
        NoteOpenFailure(KivPortStepConnect, connectError);
        if (connectError == ECONNREFUSED) {
            PlatformLog(kLogFault, "KivIN : Port %s: connection to %s:%u refused", entry.name, entry.host,
                static_cast<unsigned>(entry.port));
            *error = kErrorConnectionRefused;
        } else {
            PlatformLog(kLogFault, "KivIN : Port %s: no connection to %s:%u (%s)", entry.name, entry.host,
                static_cast<unsigned>(entry.port), std::strerror(connectError));
            *error = kErrorHostUnreachable;
        }
        return false;
    }
    Deadline negotiateEnd = entry.kind == NetLineRfc2217 ? Deadline::After(kNetNegotiateMs) : Deadline{};
    if (entry.kind == NetLineRfc2217 && !NetNegotiate(line, &negotiateEnd)) {
        NoteOpenFailure(KivPortStepConnect, EPROTONOSUPPORT);
        PlatformLog(kLogFault, "KivIN : Port %s: %s:%u did not agree to RFC 2217", entry.name, entry.host,
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
        NoteOpenFailure(KivPortStepConnect, EMFILE);
        PlatformLog(kLogFault, "KivIN : Port %s: too many network lines open", entry.name);
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
    NetPump(line);
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
    NetPump(line);
    if (line->dropped) {
        errno = EPIPE;
        return -1;
    }
    // What an earlier piece left goes first; until it is gone the socket is full.
    if (line->outputCount > 0) {
        errno = EAGAIN;
        return -1;
    }
    uint8_t escaped[2 * kNetWritePiece];
    size_t consumed = count < kNetWritePiece ? count : kNetWritePiece;
    size_t used = consumed;
    const uint8_t* out = bytes;
    if (line->kind == NetLineRfc2217) {
        used = TelnetEscape(bytes, consumed, escaped, sizeof escaped, &consumed);
        out = escaped;
    }
    size_t sent = SendNow(line, out, used);
    if (line->dropped) {
        errno = EPIPE;
        return -1;
    }
    if (sent == 0) {
        errno = EAGAIN;
        return -1;
    }
    // The piece is ours to finish: its rest waits in the (empty) output.
    KeepOutput(line, out + sent, used - sent);
    return static_cast<long>(consumed);
}

long NetWaiting(NetLine* line) {
    std::lock_guard<std::mutex> lock(line->mutex);
    NetPump(line);
    if (line->inputCount == 0 && line->dropped) return -1;
    return static_cast<long>(line->inputCount);
}

size_t NetOutputWaiting(NetLine* line) {
    std::lock_guard<std::mutex> lock(line->mutex);
    return line->outputCount;
}

namespace kivposix {

HANDLE OpenNetPort(const PortMapEntry& entry) {
    char address[sizeof entry.host + 32];
    const bool v6 = std::strchr(entry.host, ':') != nullptr;
    std::snprintf(address, sizeof address, "%s://%s%s%s:%u", entry.kind == NetLineTcp ? "tcp" : "rfc2217",
                  v6 ? "[" : "", entry.host, v6 ? "]" : "", static_cast<unsigned>(entry.port));
    NoteOpenDevice(address);
    uint32_t error = ERROR_GEN_FAILURE;
    NetLine* line = NetOpen(entry, &error);
    if (line == nullptr) return Failed(error, INVALID_HANDLE_VALUE);
    int wake[2];
    if (!OpenWakePipe(wake)) {
        NoteOpenFailure(KivPortStepOpen, errno);
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

DWORD NetInputWaiting(NetLine* line, DWORD* count) {
    long waiting = NetWaiting(line);
    if (waiting < 0) return ErrorFromErrno(ECONNRESET);
    *count = static_cast<DWORD>(waiting);
    return ERROR_SUCCESS;
}

long ReadSome(const PortSlot& port, void* bytes, size_t count) {
    if (port.net != nullptr) return NetRead(port.net, static_cast<uint8_t*>(bytes), count);
    return SysRead(port.fd, bytes, count);
}

long WriteSome(const PortSlot& port, const void* bytes, size_t count) {
    if (port.net != nullptr) return NetWrite(port.net, static_cast<const uint8_t*>(bytes), count);
    return SysWrite(port.fd, bytes, count);
}

}  // namespace kivposix
