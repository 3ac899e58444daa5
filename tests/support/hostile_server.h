// A device server that misbehaves on purpose, on a loopback port, for tests
// that every call on a network line ends within its bound whatever the
// server does. Network lines are the Linux build's, so is this server.
#pragma once

#if !defined(_WIN32)

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "platform/port_map.h"

// What the server does with a client once it is connected (on RFC 2217,
// once it has agreed to the com-port option, as a real server would).
enum class HostileMode {
    Flood,         // data as fast as the socket takes it
    Trickle,       // one data byte every intervalMs
    FrameStarts,   // 0x05 0x64 over and over, as fast as the socket takes them
    EndlessSub,    // IAC SB 44, then bytes that never end it
    OptionFlood,   // IAC WILL/WONT/DO/DONT of assorted options and NOPs, without end
    Silent,        // sends nothing and reads nothing
    ResetAfter,    // resetAfter data bytes, one every intervalMs, then a reset
    NeverAccepts,  // its listen queue is full: a connect is never answered
};

struct HostileParams {
    int intervalMs = 20;     // Trickle, ResetAfter: between bytes
    size_t resetAfter = 64;  // ResetAfter: data bytes before the reset
    bool agree = true;       // RFC 2217: agree to the com-port option first; false: misbehave at once
};

// Byte i of the endless stream a mode sends once the client is served (on
// raw TCP what the client reads; Silent and NeverAccepts send none).
uint8_t HostileStreamByte(HostileMode mode, uint64_t i);

// Serves one client at a time on 127.0.0.1 from its own thread, the next
// once one leaves. Every mode but Silent reads and drops what the client
// sends (once agreed), so that what the client answers can be counted.
class HostileServer {
public:
    HostileServer() = default;
    ~HostileServer() { Stop(); }
    HostileServer(const HostileServer&) = delete;
    HostileServer& operator=(const HostileServer&) = delete;

    // Listens on a port the system picks and begins serving; false when the
    // socket could not be set up (a server already started is stopped first).
    bool Start(HostileMode mode, NetLineKind kind, const HostileParams& params = HostileParams());
    // Closes the listener and the client and ends the thread; may be called twice.
    void Stop();

    int port() const { return port_; }
    // The port map address of the server: "tcp://127.0.0.1:PORT" or "rfc2217://...".
    std::string Url() const;
    uint64_t BytesSent() const { return sent_.load(); }          // to all clients, option talk included
    uint64_t BytesReceived() const { return received_.load(); }  // from all clients after the agreement
    int Clients() const { return clients_.load(); }              // connections accepted
    int Agreed() const { return agreed_.load(); }                // clients that agreed the com-port option

private:
    void Run();
    void Serve(int client);
    bool Handshake(int client);
    bool Misbehave(int client);
    bool Stopping() const { return stopping_.load(); }

    HostileMode mode_ = HostileMode::Silent;
    NetLineKind kind_ = NetLineTcp;
    HostileParams params_;
    int listener_ = -1;
    int filler_ = -1;           // NeverAccepts: the connection that fills the listen queue
    int wake_[2] = {-1, -1};    // Stop writes to wake_[1] to end the thread's waits
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> sent_{0};
    std::atomic<uint64_t> received_{0};
    std::atomic<int> clients_{0};
    std::atomic<int> agreed_{0};
};

#endif  // !_WIN32
