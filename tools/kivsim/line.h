// The simulator's end of the line: the tools' serial line (a pseudo-terminal
// pair it creates itself, or a real serial device), or the line offered over
// the network. Moves bytes only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/common/serial_line.h"
#include "tools/kivsim/net_line.h"

namespace kivsim {

class Line {
public:
    Line() = default;
    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    // A pseudo-terminal pair, both ends kept open; prefers a slave path of
    // at most 11 characters (what a channel's port name holds).
    bool OpenPty(std::string* error);
    // A serial device, raw, 8 data bits, no parity, one stop bit, set up as
    // the driver sets up its ports (a rate it refuses is refused here).
    bool OpenDevice(const std::string& path, int baud, std::string* error);
    // Offers the line over the network instead (see NetEndpoint); Path()
    // is then the address a port map takes.
    bool Listen(NetLineKind kind, const std::string& address, int port, std::string* error);
    // The network side, or nullptr on a pseudo-terminal or a device.
    NetEndpoint* Net() { return net_.get(); }
    // Also makes linkPath a symbolic link to the line's path (replacing a
    // link that is there already).
    bool MakeLink(const std::string& linkPath, std::string* error);
    void Close();

    const std::string& Path() const { return net_ ? netPath_ : serial_.Path(); }
    // The descriptors to wait on for reading, into fds (room for
    // kMaxWaitFds): the line's, or on the network the client's or the
    // listeners'. Returns how many.
    static constexpr int kMaxWaitFds = NetEndpoint::kMaxWaitFds;
    int WaitFds(int* fds) const;

    // Waits up to timeoutMs for bytes (or, on the network, a client).
    bool WaitReadable(int timeoutMs);
    // Appends the bytes that wait, at most kivtools::kReadChunk of them,
    // without blocking: a line that never falls quiet is taken in pieces.
    // -1 on a read error.
    int ReadAvailable(std::vector<uint8_t>& into);
    // Writes all bytes. With paceBaud > 0 each byte takes 10 bits at that rate.
    // Gives up when stop is set, or when the other side takes nothing for a
    // second. true when every byte went out.
    bool Write(const uint8_t* bytes, size_t count, int paceBaud, const std::atomic<bool>& stop);

private:
    kivtools::SerialLine serial_;
    std::unique_ptr<NetEndpoint> net_;
    std::string netPath_;
};

}  // namespace kivsim
