// kivsim as a serial device server: its line offered over TCP to one
// client at a time, raw or with the Telnet com-port option (RFC 2217), and
// the half-duplex radio that the option's modem lines make possible. A
// client that comes while another holds the line is told so and let go.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/port_map.h"
#include "platform/telnet_com.h"
#include "tools/kivsim/radio.h"

namespace kivsim {

// The steady clock in milliseconds, for the line's and the service's timing.
inline int64_t SteadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The com-port settings a client set, and our answers to its commands.
struct ComPortState {
    uint32_t baud = 9600;
    uint8_t dataBits = 8;
    uint8_t parity = 1;     // the option's codes: 1 none
    uint8_t stopBits = 1;   // 1 one
    bool rts = false;
    bool dtr = false;
    uint8_t modemMask = 0xFF;
    uint64_t purges = 0;    // PURGE-DATA commands received
};

// The answer to one com-port command from the client (value unescaped),
// appended to out as wire bytes. Settings are stored; a value of 0 asks
// for the current one. Returns true when the command changed RTS or asked
// for the modem state, so that the caller sends it.
bool AnswerComCommand(ComPortState* state, uint8_t command, const uint8_t* value, size_t length,
                      std::vector<uint8_t>* out);

class NetEndpoint {
public:
    NetEndpoint() = default;
    ~NetEndpoint();
    NetEndpoint(const NetEndpoint&) = delete;
    NetEndpoint& operator=(const NetEndpoint&) = delete;

    // Listens on address:port (port 0: one the system picks). Without an
    // address (or with "localhost") only on the loopback: 127.0.0.1 and,
    // where the system has IPv6, ::1, both on the same port. An address of
    // every interface (0.0.0.0, ::) lets other machines in. false with
    // *error.
    bool Listen(NetLineKind kind, const std::string& address, int port, std::string* error);
    void Close();
    void SetRadio(const RadioSettings& radio) { radio_ = radio; }
    // Where the radio's key-ups and carrier changes are noted (none: nowhere).
    void SetRadioLog(RadioLog* log) { radioLog_ = log; }
    // A flag whose setting ends a send that waits for the client to take
    // bytes (otherwise it waits up to 2 s, then drops the client).
    void SetStopFlag(const std::atomic<bool>* stop) { stop_ = stop; }

    // What to wait on for reading, into fds (room for kMaxWaitFds): the
    // client's socket, if any, and the listeners' (a further client is
    // refused at once, not left in the backlog). Returns how many.
    static constexpr int kMaxWaitFds = 3;
    int WaitFds(int* fds) const;
    // "tcp://ADDRESS:PORT" or "rfc2217://ADDRESS:PORT", as a port map on
    // this machine takes it (the loopback for a listener on every interface).
    std::string Url() const;
    // The addresses listened on, as the system bound them: "127.0.0.1:4001",
    // "[::1]:4001".
    std::vector<std::string> ListenAddresses() const;
    bool Connected() const { return client_ >= 0; }

    // Takes a waiting client (refusing those that come while one holds the
    // line), or what the client sent (at most limit bytes off the socket):
    // data bytes that reach the units are appended to into. 0 when none
    // did; -1 never (a client that leaves is a note, and the next one is
    // awaited).
    int ReadAvailable(std::vector<uint8_t>& into, size_t limit);
    // Sends data to the client (escaped on Telnet); paceBaud > 0 spaces
    // the bytes as Line::Write does. false when the client is gone.
    bool Write(const uint8_t* bytes, size_t count, int paceBaud, const std::atomic<bool>& stop);

    // The radio: whether the host keys its transmitter, the carrier we
    // show it, and whether the host keyed up while a unit transmitted.
    bool HostKeyed() const { return com_.rts; }
    void SetUnitTransmitting(bool on);
    // A carrier from elsewhere (another station, noise) held up or let go.
    void SetForcedCarrier(bool on);
    bool TakeCollision();
    const ComPortState& Com() const { return com_; }

    // Notes for the trace: clients coming and going, bytes lost on the
    // radio (with the bytes). Taken by the caller.
    struct Note {
        std::string text;
        std::vector<uint8_t> bytes;
        int loss = -1;  // a RadioLoss when bytes were lost, else -1
        bool connected = false;
    };
    std::vector<Note> TakeNotes();

private:
    enum ListenResult { Listening, ListenNoAddress, ListenPortTaken, ListenFailed };
    ListenResult ListenOn(const std::string& address, int port, std::string* error);
    void Accept();
    void RefuseWaiting();
    int ReadClient(std::vector<uint8_t>& into, size_t limit);
    void DropClient(const std::string& why);
    void TakeClientByte(uint8_t byte, int64_t now, std::vector<uint8_t>& into, int* delivered);
    void Lose(RadioLoss loss, uint8_t byte);
    bool Send(const uint8_t* bytes, size_t count);
    void NotifyModemState(uint8_t deltas);
    uint8_t ModemBits() const;
    void NoteRadio();

    NetLineKind kind_ = NetLineNone;
    int listeners_[kMaxWaitFds] = {-1, -1};
    int listenerCount_ = 0;
    int client_ = -1;
    std::string clientName_;  // "127.0.0.1:40112", "[::1]:40112"
    std::string clientSince_; // the local time it came, "14:03:07"
    int port_ = 0;
    std::string address_;  // as given; empty: the loopback
    RadioSettings radio_;
    TelnetDecoder decoder_;
    TelnetOptions options_;
    ComPortState com_;
    int64_t keyedAtMs_ = -1;
    bool unitTransmitting_ = false;
    bool forcedCarrier_ = false;
    bool collision_ = false;
    RadioLog* radioLog_ = nullptr;
    std::vector<Note> notes_;
    const std::atomic<bool>* stop_ = nullptr;
};

}  // namespace kivsim
