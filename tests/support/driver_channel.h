// A driver channel as a host holds one: its block and number, calls through
// KivMain, the channel file written in the current directory, Open with the
// settings a host passes, and gates as command 3 makes them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/channel_block.h"
#include "platform/platform.h"
#include "tests/support/channel_file.h"

class DriverChannel {
public:
    explicit DriverChannel(int32_t channel) : block(new ChannelBlock()), channel_(channel) {}
    DriverChannel(const DriverChannel&) = delete;
    DriverChannel& operator=(const DriverChannel&) = delete;

    // Writes the channel's file in text mode; false when it could not.
    bool WriteChannelFile(const std::string& text) { return ::WriteChannelFile(channel_, text); }
    // Opens the channel on the named port with a read time-out in tens of ms.
    int32_t Open(const std::string& portName, int32_t readTimeout = 4, LineSettings line = {19200, 8, 0, 0});
    int32_t Call(int32_t command, void* parameters = nullptr);
    // Ends the channel as a host does; later calls do nothing until the next
    // Open.
    void Close();
    HANDLE Port() const { return FieldToHandle(block->portHandle); }

    // The gate as the host keeps it after command 3 accepted its address,
    // with its values in data.
    GateRequest Gate(const char* text, int32_t kind, int32_t count = 1);
    // Reads the register gate of the address text as the host does; its
    // result, the value in data[0].
    int32_t ReadGate(const char* text);

    std::unique_ptr<ChannelBlock> block;
    int32_t data[64] = {};

private:
    int32_t channel_;
    bool closed_ = false;
};

// The bytes waiting in a port's input queue.
DWORD InputWaiting(HANDLE port);
