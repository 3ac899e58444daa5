// kivsim's network line: listener, one client, the com-port option's
// server side and the radio between host and units.
#include "tools/kivsim/net_line.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include "link/frame_codec.h"
#include "tools/common/sockets.h"
#include "tools/common/time_text.h"

namespace kivsim {

namespace {

// What we perform and accept as the server.
constexpr uint64_t kServerWill = OptionBit(kOptionBinary) | OptionBit(kOptionSuppressGoAhead);
constexpr uint64_t kServerDo =
    OptionBit(kOptionBinary) | OptionBit(kOptionSuppressGoAhead) | OptionBit(kOptionComPort);
const char kSignature[] = "kivsim";

void AppendSub(std::vector<uint8_t>* out, uint8_t command, const uint8_t* value, size_t length) {
    uint8_t bytes[kComSubnegotiationMax];
    size_t n = ComSubnegotiation(command, value, length, bytes);
    out->insert(out->end(), bytes, bytes + n);
}

void AppendSub8(std::vector<uint8_t>* out, uint8_t command, uint8_t value) {
    AppendSub(out, command, &value, 1);
}

// A one-byte setting: stored when within low to high (0 asks for it),
// answered with the value in force.
bool AnswerSetting(uint8_t* setting, uint8_t v, uint8_t low, uint8_t high, uint8_t answer, std::vector<uint8_t>* out) {
    if (v >= low && v <= high) *setting = v;
    AppendSub8(out, answer, *setting);
    return false;
}

// SET-CONTROL: RTS and DTR set or asked for; flow control and break taken
// without effect. True when RTS changed.
bool AnswerSetControl(ComPortState* s, uint8_t v, uint8_t answer, std::vector<uint8_t>* out) {
    const bool before = s->rts;
    uint8_t reply = v;
    switch (v) {
    case ComControlRtsOn: s->rts = true; break;
    case ComControlRtsOff: s->rts = false; break;
    case ComControlDtrOn: s->dtr = true; break;
    case ComControlDtrOff: s->dtr = false; break;
    case 10: reply = s->rts ? ComControlRtsOn : ComControlRtsOff; break;  // asks for RTS
    case 7: reply = s->dtr ? ComControlDtrOn : ComControlDtrOff; break;   // asks for DTR
    case 0: reply = ComControlNoFlow; break;                              // asks for flow control
    default: break;
    }
    AppendSub8(out, answer, reply);
    return s->rts != before;
}

// A socket address as people write it: "127.0.0.1:4001", "[::1]:4001".
std::string AddressText(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&address);
        inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]:" + std::to_string(ntohs(a->sin6_port));
    }
    const auto* a = reinterpret_cast<const sockaddr_in*>(&address);
    inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a->sin_port));
}

// The far end of a connected socket, "" when the system does not say.
std::string PeerText(int fd) {
    struct sockaddr_storage peer;
    socklen_t length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return "";
    return AddressText(peer);
}

}  // namespace

bool AnswerComCommand(ComPortState* s, uint8_t command, const uint8_t* value, size_t length,
                      std::vector<uint8_t>* out) {
    const uint8_t answer = static_cast<uint8_t>(command + kComServerOffset);
    const uint8_t v = length > 0 ? value[0] : 0;
    switch (command) {
    case ComSignature:
        AppendSub(out, answer, reinterpret_cast<const uint8_t*>(kSignature), sizeof kSignature - 1);
        return false;
    case ComSetBaudRate: {
        const uint32_t baud = length >= 4 ? GetHigh32(value) : 0;
        if (baud != 0) s->baud = baud;
        uint8_t bytes[4];
        PutHigh32(bytes, s->baud);
        AppendSub(out, answer, bytes, 4);
        return false;
    }
    case ComSetDataSize: return AnswerSetting(&s->dataBits, v, 5, 8, answer, out);
    case ComSetParity: return AnswerSetting(&s->parity, v, 1, 5, answer, out);
    case ComSetStopSize: return AnswerSetting(&s->stopBits, v, 1, 3, answer, out);
    case ComSetControl: return AnswerSetControl(s, v, answer, out);
    case ComNotifyModemState: return true;  // a client asking for the modem state
    case ComSetLineStateMask: AppendSub8(out, answer, v); return false;
    case ComSetModemStateMask:
        s->modemMask = v;
        AppendSub8(out, answer, v);
        return true;  // and the state as it is now
    case ComPurgeData:
        ++s->purges;
        AppendSub8(out, answer, v);
        return false;
    default: return false;  // flow suspend/resume and unknown commands: no answer
    }
}

NetEndpoint::~NetEndpoint() {
    Close();
}

void NetEndpoint::Close() {
    if (client_ >= 0) kivtools::CloseSocket(client_);
    for (int i = 0; i < listenerCount_; ++i) kivtools::CloseSocket(listeners_[i]);
    client_ = -1;
    listenerCount_ = 0;
}

namespace {

// The socket address of a numeric address (IPv6 when it holds a colon) and
// port; false when the text is no number.
bool NumericSocketAddress(const std::string& address, int port, sockaddr_storage* where, socklen_t* size) {
    std::memset(where, 0, sizeof *where);
    if (address.find(':') != std::string::npos) {
        auto* a = reinterpret_cast<sockaddr_in6*>(where);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(uint16_t(port));
        *size = sizeof *a;
        return inet_pton(AF_INET6, address.c_str(), &a->sin6_addr) == 1;
    }
    auto* a = reinterpret_cast<sockaddr_in*>(where);
    a->sin_family = AF_INET;
    a->sin_port = htons(uint16_t(port));
    *size = sizeof *a;
    return inet_pton(AF_INET, address.c_str(), &a->sin_addr) == 1;
}

}  // namespace

// One listening socket on a numeric address (IPv6 when it holds a colon).
NetEndpoint::ListenResult NetEndpoint::ListenOn(const std::string& address, int port, std::string* error) {
    struct sockaddr_storage where;
    socklen_t size = 0;
    const bool v6 = address.find(':') != std::string::npos;
    if (!NumericSocketAddress(address, port, &where, &size)) {
        *error = "not an address: " + address +
                 " (give a number: 127.0.0.1, [::1], a local interface's address, 0.0.0.0 or [::] for every "
                 "interface; or localhost)";
        return ListenFailed;
    }
    const std::string named = (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
    // Why a call failed, taken before anything else can change the error.
    auto failed = [&](int fd) {
        *error = "listen on " + named + ": " + kivtools::SocketErrorText();
        ListenResult why = kivtools::SocketAddressMissing() ? ListenNoAddress
                           : kivtools::SocketAddressInUse() ? ListenPortTaken
                                                            : ListenFailed;
        if (fd >= 0) kivtools::CloseSocket(fd);
        return why;
    };
    int fd = kivtools::OpenStreamSocket(v6 ? AF_INET6 : AF_INET);
    if (fd < 0) return failed(fd);
    int on = 1;
#if !defined(_WIN32)
    // A restart may take the port again at once. (On Windows the same option
    // would let the listener share a port another program holds.)
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
#endif
    // ::1 is IPv6's loopback alone (127.0.0.1 has a listener of its own);
    // :: is every interface of both families, as on Linux by default, also
    // on Windows, whose default is IPv6 alone.
    if (v6 && address == "::1") {
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on), sizeof on);
    } else if (v6 && address == "::") {
        int off = 0;
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off), sizeof off);
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&where), size) != 0 || ::listen(fd, 4) != 0) return failed(fd);
    struct sockaddr_storage got;
    socklen_t length = sizeof got;
    getsockname(fd, reinterpret_cast<sockaddr*>(&got), &length);
    port_ = got.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&got)->sin6_port)
                                      : ntohs(reinterpret_cast<sockaddr_in*>(&got)->sin_port);
    listeners_[listenerCount_++] = fd;
    return Listening;
}

bool NetEndpoint::Listen(NetLineKind kind, const std::string& address, int port, std::string* error) {
    Close();
    kind_ = kind;
    address_ = address == "localhost" ? std::string() : address;
    if (!address_.empty()) return ListenOn(address_, port, error) == Listening;
    // The loopback of both families on one port. Should the port the system
    // picked for IPv4 be taken on ::1, another is picked; a machine without
    // IPv6 is served on 127.0.0.1 alone.
    for (int attempt = 0; attempt < 16; ++attempt) {
        if (ListenOn("127.0.0.1", port, error) != Listening) return false;
        std::string error6;
        const ListenResult v6 = ListenOn("::1", port_, &error6);
        if (v6 == Listening || v6 == ListenNoAddress) return true;
        Close();
        if (port != 0 || v6 != ListenPortTaken) {
            *error = error6;
            return false;
        }
    }
    *error = "listen on the loopback: no port free on both 127.0.0.1 and ::1";
    return false;
}

int NetEndpoint::WaitFds(int* fds) const {
    int count = 0;
    if (client_ >= 0) fds[count++] = client_;
    for (int i = 0; i < listenerCount_; ++i) fds[count++] = listeners_[i];
    return count;
}

std::string NetEndpoint::Url() const {
    // A client on this machine reaches a listener on every interface by
    // the loopback (Windows refuses to connect to 0.0.0.0).
    std::string host = address_.empty() || address_ == "0.0.0.0" ? "127.0.0.1" : address_ == "::" ? "::1" : address_;
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return std::string(kind_ == NetLineRfc2217 ? "rfc2217://" : "tcp://") + host + ":" + std::to_string(port_);
}

std::vector<std::string> NetEndpoint::ListenAddresses() const {
    std::vector<std::string> addresses;
    for (int i = 0; i < listenerCount_; ++i) {
        struct sockaddr_storage got;
        socklen_t length = sizeof got;
        if (getsockname(listeners_[i], reinterpret_cast<sockaddr*>(&got), &length) == 0)
            addresses.push_back(AddressText(got));
    }
    return addresses;
}

void NetEndpoint::Accept() {
    int fd = -1;
    for (int i = 0; i < listenerCount_ && fd < 0; ++i) fd = kivtools::AcceptClient(listeners_[i]);
    if (fd < 0) return;
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    client_ = fd;
    clientName_ = PeerText(fd);
    clientSince_ = kivtools::FormatTime(kivtools::WallClockMs(), kivtools::TimeForm::Clock).substr(0, 8);
    decoder_ = TelnetDecoder();
    options_ = TelnetOptions();
    com_ = ComPortState();
    keyedAtMs_ = -1;
    unitTransmitting_ = false;
    collision_ = false;
    NoteRadio();
    notes_.push_back({"client connected" + (clientName_.empty() ? "" : " from " + clientName_), {}, -1, true});
    if (kind_ != NetLineRfc2217) return;
    static const uint8_t kAsks[][2] = {{kTelnetDo, kOptionComPort},         {kTelnetWill, kOptionBinary},
                                       {kTelnetDo, kOptionBinary},          {kTelnetWill, kOptionSuppressGoAhead},
                                       {kTelnetDo, kOptionSuppressGoAhead}};
    uint8_t bytes[16];
    size_t used = 0;
    for (const auto& ask : kAsks) used += TelnetAsk(&options_, ask[0], ask[1], bytes + used);
    Send(bytes, used);
}

// A serial line has one host: a client that comes while another holds the
// line gets one line of text saying so (bytes a program that drives the
// line skips as noise) and is let go at once, rather than waiting unseen
// in the backlog while its requests go unanswered.
void NetEndpoint::RefuseWaiting() {
    for (int i = 0; i < listenerCount_; ++i) {
        for (int fd; (fd = kivtools::AcceptClient(listeners_[i])) >= 0;) {
            const std::string peer = PeerText(fd);
            const std::string holder = clientName_.empty() ? "another client" : clientName_;
            const std::string text = "kivsim: line busy: " + holder + " has held it since " + clientSince_ +
                                     " and kivsim serves one client at a time; try again when it leaves\r\n";
            kivtools::SendSome(fd, text.data(), text.size());
#if defined(_WIN32)
            shutdown(SOCKET(fd), SD_SEND);
#else
            shutdown(fd, SHUT_WR);
#endif
            // What the client sent already is read off (a bounded amount:
            // a client that keeps sending is not waited for), so that
            // closing does not reset the connection before it reads the text.
            uint8_t discard[1024];
            for (int reads = 0; reads < 16 && kivtools::ReceiveSome(fd, discard, sizeof discard) > 0; ++reads) {
            }
            kivtools::CloseSocket(fd);
            notes_.push_back({"client " + (peer.empty() ? std::string() : peer + " ") + "refused: " + holder +
                                  " holds the line", {}, -1, false});
        }
    }
}

void NetEndpoint::DropClient(const std::string& why) {
    if (client_ < 0) return;
    kivtools::CloseSocket(client_);
    client_ = -1;
    com_.rts = false;  // the settings stay readable until the next client
    keyedAtMs_ = -1;
    NoteRadio();
    notes_.push_back({"client left: " + why, {}, -1, false});
}

bool NetEndpoint::Send(const uint8_t* bytes, size_t count) {
    size_t sent = 0;
    auto start = std::chrono::steady_clock::now();
    while (sent < count && client_ >= 0) {
        long n = kivtools::SendSome(client_, bytes + sent, count - sent);
        if (n > 0) {
            sent += size_t(n);
            continue;
        }
        if (n < 0 && kivtools::SocketWouldBlock()) {
            if (stop_ != nullptr && stop_->load()) return false;
            if (std::chrono::steady_clock::now() - start > std::chrono::seconds(2)) {
                DropClient("it takes nothing");
                return false;
            }
            kivtools::WaitSocket(client_, true, 10);
            continue;
        }
        DropClient(kivtools::SocketErrorText());
        return false;
    }
    return sent == count;
}

uint8_t NetEndpoint::ModemBits() const {
    // DSR: the device is there. CTS answers RTS at once. Carrier: a wire
    // has it always; on the radio it is a unit's transmitter.
    uint8_t bits = kModemDsr;
    if (com_.rts) bits |= kModemCts;
    if (!radio_.on || unitTransmitting_ || forcedCarrier_) bits |= kModemCarrier;
    return bits;
}

void NetEndpoint::NotifyModemState(uint8_t deltas) {
    if (kind_ != NetLineRfc2217 || client_ < 0) return;
    uint8_t bits = static_cast<uint8_t>((ModemBits() | deltas) & com_.modemMask);
    uint8_t bytes[kComSubnegotiationMax];
    Send(bytes, ComSubnegotiation8(ComNotifyModemState + kComServerOffset, bits, bytes));
}

void NetEndpoint::SetUnitTransmitting(bool on) {
    if (on == unitTransmitting_) return;
    unitTransmitting_ = on;
    if (on && com_.rts) collision_ = true;
    NoteRadio();
    NotifyModemState(kModemCarrierDelta);
}

void NetEndpoint::SetForcedCarrier(bool on) {
    if (on == forcedCarrier_) return;
    forcedCarrier_ = on;
    NoteRadio();
    NotifyModemState(kModemCarrierDelta);
}

void NetEndpoint::NoteRadio() {
    if (radio_.on && radioLog_ != nullptr)
        radioLog_->Note(kivtools::WallClockUs(), com_.rts, unitTransmitting_ || forcedCarrier_);
}

bool NetEndpoint::TakeCollision() {
    return std::exchange(collision_, false);
}

std::vector<NetEndpoint::Note> NetEndpoint::TakeNotes() {
    return std::exchange(notes_, {});
}

void NetEndpoint::Lose(RadioLoss loss, uint8_t byte) {
    std::string text = RadioLossText(loss);
    if (notes_.empty() || notes_.back().text != text) notes_.push_back({text, {}, int(loss), false});
    notes_.back().bytes.push_back(byte);
}

void NetEndpoint::TakeClientByte(uint8_t byte, int64_t now, std::vector<uint8_t>& into, int* delivered) {
    TelnetEvent e;
    if (kind_ == NetLineRfc2217) {
        e = TelnetDecodeByte(&decoder_, byte);
    } else {
        e.kind = TelnetData;
        e.data = byte;
    }
    switch (e.kind) {
    case TelnetData: {
        RadioLoss loss;
        if (RadioPassesHostByte(radio_, com_.rts ? keyedAtMs_ : -1, unitTransmitting_ || forcedCarrier_, now,
                                &loss)) {
            into.push_back(e.data);
            ++*delivered;
        } else {
            if (loss == RadioLoss::Collision) collision_ = true;
            Lose(loss, e.data);
        }
        break;
    }
    case TelnetVerb: {
        uint8_t answer[3];
        size_t n = TelnetAnswerVerb(&options_, e.verb, e.option, kServerWill, kServerDo, answer);
        if (n > 0) Send(answer, n);
        break;
    }
    case TelnetSub: {
        if (e.option != kOptionComPort) break;
        bool rtsBefore = com_.rts;
        std::vector<uint8_t> answer;
        bool notify = AnswerComCommand(&com_, e.command, e.value, e.valueLength, &answer);
        if (!answer.empty()) Send(answer.data(), answer.size());
        if (com_.rts && !rtsBefore) {
            keyedAtMs_ = now;
            if (unitTransmitting_) collision_ = true;
        }
        if (com_.rts != rtsBefore) NoteRadio();
        if (notify) NotifyModemState(com_.rts != rtsBefore ? kModemCtsDelta : 0);
        break;
    }
    default:
        break;
    }
}

int NetEndpoint::ReadAvailable(std::vector<uint8_t>& into, size_t limit) {
    if (client_ < 0) {
        Accept();
        return 0;
    }
    // The client first: one that has just left (and a new one come) is
    // seen to be gone before anyone is refused.
    const int delivered = ReadClient(into, limit);
    if (client_ >= 0) RefuseWaiting();
    return delivered;
}

int NetEndpoint::ReadClient(std::vector<uint8_t>& into, size_t limit) {
    int delivered = 0;
    uint8_t buffer[1024];
    for (size_t taken = 0; taken < limit;) {
        long n = kivtools::ReceiveSome(client_, buffer, std::min(sizeof buffer, limit - taken));
        if (n > 0) {
            taken += size_t(n);
            const int64_t now = SteadyMs();
            for (long i = 0; i < n && client_ >= 0; ++i) TakeClientByte(buffer[i], now, into, &delivered);
            if (client_ < 0) return delivered;
            continue;
        }
        if (n < 0 && kivtools::SocketWouldBlock()) return delivered;
        DropClient(n == 0 ? "closed by the client" : kivtools::SocketErrorText());
        return delivered;
    }
    return delivered;
}

bool NetEndpoint::Write(const uint8_t* bytes, size_t count, int paceBaud, const std::atomic<bool>& stop) {
    if (client_ < 0) return false;
    const int64_t byteUs = paceBaud > 0 ? 10000000LL / paceBaud : 0;
    size_t done = 0;
    while (done < count) {
        if (stop.load()) return false;
        size_t chunk = byteUs > 0 ? 1 : count - done;
        uint8_t escaped[2048];
        size_t consumed = chunk;
        size_t used = chunk;
        const uint8_t* out = bytes + done;
        if (kind_ == NetLineRfc2217) {
            used = TelnetEscape(bytes + done, chunk, escaped, sizeof escaped, &consumed);
            out = escaped;
        } else if (chunk > sizeof escaped) {
            consumed = used = sizeof escaped;
        }
        if (!Send(out, used)) return false;
        done += consumed;
        if (byteUs > 0) std::this_thread::sleep_for(std::chrono::microseconds(byteUs));
    }
    return true;
}

}  // namespace kivsim
