// A driver channel on the driver's end of a line pair, set up the way the
// line tests use one: a fresh block, the channel file written in a scratch
// directory made current, Open through KivMain at 19200 8N1, and Close at
// the end (once), which awaits a listener before the pair goes away.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "driver/channel_block.h"
#include "platform/platform.h"
#include "tests/support/line_pair.h"
#include "tests/support/scratch_directory.h"

class LineChannel {
public:
    LineChannel(int32_t channel, const std::string& scratchPrefix);
    ~LineChannel() { Close(); }
    LineChannel(const LineChannel&) = delete;
    LineChannel& operator=(const LineChannel&) = delete;

    // Writes the channel's kivINnn.int; false when it could not.
    bool WriteChannelFile(const std::string& text);
    // Opens the channel on the named port with a read time-out in tens of ms.
    int32_t Open(const std::string& portName, int32_t readTimeout = 4);
    int32_t Call(int32_t command, void* parameters = nullptr);
    // Ends the channel as a host does; later calls (and the destructor's) do
    // nothing.
    void Close();
    HANDLE Port() const { return FieldToHandle(block->portHandle); }

    LinePair line;
    ScratchDirectory directory;
    std::unique_ptr<ChannelBlock> block;

private:
    int32_t channel_;
    bool closed_ = false;
};
