// The misbehaving device server: a listener thread, the com-port option
// agreed as kivsim agrees it, then each mode's endless stream.
#include "tests/support/hostile_server.h"

#if !defined(_WIN32)

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/telnet_com.h"

namespace {

// A server's side of the options, as kivsim has it.
constexpr uint64_t kServerWill = OptionBit(kOptionBinary) | OptionBit(kOptionSuppressGoAhead);
constexpr uint64_t kServerDo = kServerWill | OptionBit(kOptionComPort);
constexpr int kHandshakeMs = 3000;

// Option talk of every kind: some refused each time, some switching an
// option on and off, some that change nothing.
const uint8_t kOptionTalk[] = {
    kTelnetIac, kTelnetDo, 1,                          // echo: refused
    kTelnetIac, kTelnetWill, 24,                       // terminal type: refused
    kTelnetIac, 241,                                   // NOP
    kTelnetIac, kTelnetDo, kOptionComPort,             // on already
    kTelnetIac, kTelnetWill, kOptionBinary,            // on, then
    kTelnetIac, kTelnetWont, kOptionBinary,            // off again
    kTelnetIac, kTelnetDont, kOptionSuppressGoAhead,
    kTelnetIac, kTelnetDo, kOptionSuppressGoAhead,
    kTelnetIac, 249,                                   // GA
};

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

uint8_t HostileStreamByte(HostileMode mode, uint64_t i) {
    static const uint8_t kOpenSub[] = {kTelnetIac, kTelnetSb, kOptionComPort};
    switch (mode) {
    case HostileMode::FrameStarts: return i % 2 == 0 ? 0x05 : 0x64;
    case HostileMode::EndlessSub: return i < sizeof kOpenSub ? kOpenSub[i] : 'S';
    case HostileMode::OptionFlood: return kOptionTalk[i % sizeof kOptionTalk];
    default: return static_cast<uint8_t>('A' + i % 26);
    }
}

bool HostileServer::Start(HostileMode mode, NetLineKind kind, const HostileParams& params) {
    Stop();
    mode_ = mode;
    kind_ = kind;
    params_ = params;
    stopping_ = false;
    sent_ = received_ = 0;
    clients_ = agreed_ = 0;
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) return false;
    // A small receive buffer (clients inherit it): a server that reads
    // nothing is full after kilobytes, not megabytes.
    int small = 4096;
    setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    // A listen queue of one: once the filler waits in it, later connects are never answered.
    const int backlog = mode == HostileMode::NeverAccepts ? 0 : 4;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener_, backlog) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        Stop();
        return false;
    }
    port_ = ntohs(address.sin_port);
    if (mode == HostileMode::NeverAccepts) {
        filler_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (filler_ < 0 || connect(filler_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            Stop();
            return false;
        }
        return true;
    }
    thread_ = std::thread(&HostileServer::Run, this);
    return true;
}

void HostileServer::Stop() {
    stopping_ = true;
    if (wake_[1] >= 0) {
        const char byte = 1;
        ssize_t ignored = write(wake_[1], &byte, 1);
        (void)ignored;
    }
    if (thread_.joinable()) thread_.join();
    for (int* fd : {&listener_, &filler_, &wake_[0], &wake_[1]}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

std::string HostileServer::Url() const {
    return std::string(kind_ == NetLineRfc2217 ? "rfc2217://" : "tcp://") + "127.0.0.1:" + std::to_string(port_);
}

void HostileServer::Run() {
    while (!Stopping()) {
        pollfd waits[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(waits, 2, -1) < 0 && errno != EINTR) return;
        if (waits[1].revents != 0) return;
        if (!(waits[0].revents & POLLIN)) continue;
        int client = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) continue;
        ++clients_;
        Serve(client);
    }
}

void HostileServer::Serve(int client) {
    int on = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    bool reset = (kind_ != NetLineRfc2217 || !params_.agree || Handshake(client)) && Misbehave(client);
    if (reset) {
        // Closing with a zero linger time sends a reset instead of an end.
        linger abort = {1, 0};
        setsockopt(client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    close(client);
}

// Asks for the com-port option and answers the client's option talk until
// the client performs it; false when it did not within kHandshakeMs.
bool HostileServer::Handshake(int client) {
    TelnetOptions options;
    TelnetDecoder decoder;
    uint8_t bytes[16];
    size_t used = TelnetAsk(&options, kTelnetDo, kOptionComPort, bytes);
    used += TelnetAsk(&options, kTelnetWill, kOptionBinary, bytes + used);
    used += TelnetAsk(&options, kTelnetDo, kOptionBinary, bytes + used);
    used += TelnetAsk(&options, kTelnetWill, kOptionSuppressGoAhead, bytes + used);
    used += TelnetAsk(&options, kTelnetDo, kOptionSuppressGoAhead, bytes + used);
    if (send(client, bytes, used, MSG_NOSIGNAL) != static_cast<ssize_t>(used)) return false;
    sent_ += used;
    const int64_t end = NowMs() + kHandshakeMs;
    while (!(options.theirs & OptionBit(kOptionComPort))) {
        const int64_t left = end - NowMs();
        pollfd waits[2] = {{client, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (left <= 0 || poll(waits, 2, static_cast<int>(left)) < 0 || waits[1].revents != 0) return false;
        if (!(waits[0].revents & POLLIN)) continue;
        uint8_t raw[256];
        ssize_t n = recv(client, raw, sizeof raw, 0);
        if (n <= 0) return false;
        for (ssize_t i = 0; i < n; ++i) {
            TelnetEvent e = TelnetDecodeByte(&decoder, raw[i]);
            if (e.kind != TelnetVerb) continue;
            uint8_t answer[3];
            size_t count = TelnetAnswerVerb(&options, e.verb, e.option, kServerWill, kServerDo, answer);
            if (count > 0 && send(client, answer, count, MSG_NOSIGNAL) == static_cast<ssize_t>(count)) sent_ += count;
        }
    }
    ++agreed_;
    return true;
}

// The mode's behaviour until the client leaves or the server stops; true
// when the connection is to end with a reset.
bool HostileServer::Misbehave(int client) {
    const bool reads = mode_ != HostileMode::Silent;
    const bool sends = mode_ != HostileMode::Silent;
    uint64_t position = 0;  // into the mode's endless stream
    int64_t nextByteAt = NowMs();
    while (!Stopping()) {
        if (mode_ == HostileMode::ResetAfter && position >= params_.resetAfter) return true;
        int timeout = -1;
        bool sendNow = sends;
        if (mode_ == HostileMode::Trickle || mode_ == HostileMode::ResetAfter) {
            const int64_t wait = nextByteAt - NowMs();
            sendNow = wait <= 0;
            timeout = sendNow ? -1 : static_cast<int>(wait);
        }
        short events = POLLRDHUP;
        if (reads) events |= POLLIN;
        if (sendNow) events |= POLLOUT;
        // A silent server still looks, now and then, whether its client left.
        if (!reads) timeout = 50;
        pollfd waits[2] = {{client, events, 0}, {wake_[0], POLLIN, 0}};
        if (poll(waits, 2, timeout) < 0 && errno != EINTR) return false;
        if (waits[1].revents != 0) return false;
        const short got = waits[0].revents;
        if ((got & (POLLERR | POLLHUP)) || (!reads && (got & POLLRDHUP))) return false;
        if (got & POLLIN) {
            uint8_t scratch[4096];
            ssize_t n = recv(client, scratch, sizeof scratch, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return false;
            if (n > 0) received_ += static_cast<uint64_t>(n);
        }
        if (!(got & POLLOUT)) continue;
        uint8_t chunk[4096];
        size_t count = sizeof chunk;
        if (mode_ == HostileMode::Trickle || mode_ == HostileMode::ResetAfter) count = 1;
        for (size_t i = 0; i < count; ++i) chunk[i] = HostileStreamByte(mode_, position + i);
        ssize_t n = send(client, chunk, count, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (n > 0) {
            position += static_cast<uint64_t>(n);
            sent_ += static_cast<uint64_t>(n);
            nextByteAt = NowMs() + params_.intervalMs;
        }
    }
    return false;
}

#endif  // !_WIN32
