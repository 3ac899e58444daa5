// The simulator's end of the serial line: a pseudo-terminal pair it creates
// itself, or a real serial device. Moves bytes only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/kivsim/net_line.h"

namespace kivsim {

class Line {
public:
    Line() = default;
    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    // Creates a pseudo-terminal pair in raw mode and keeps both ends open, so
    // that the other side can open and close the slave as often as it likes.
    // Prefers a slave path of at most 11 characters (what a channel's port
    // name holds). false with *error on failure.
    bool OpenPty(std::string* error);
    // Opens a serial device in raw mode, 8 data bits, no parity, one stop bit.
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

    const std::string& Path() const { return path_; }
    int Fd() const { return net_ ? net_->Fd() : fd_; }

    // Appends whatever bytes wait (without blocking). -1 on a read error.
    int ReadAvailable(std::vector<uint8_t>& into);
    // Writes all bytes. With paceBaud > 0 each byte takes 10 bits at that rate.
    // Gives up when stop is set, or when the other side takes nothing for a
    // second. true when every byte went out.
    bool Write(const uint8_t* bytes, size_t count, int paceBaud, const std::atomic<bool>& stop);

private:
    int fd_ = -1;       // our end: the master, or the device
    int slaveFd_ = -1;  // the slave end kept open (pseudo-terminal only)
    std::string path_;
    std::string linkPath_;
    std::unique_ptr<NetEndpoint> net_;
};

}  // namespace kivsim
