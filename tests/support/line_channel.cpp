#include "tests/support/line_channel.h"

#include <cstdio>
#include <cstring>

#include "driver/commands.h"

LineChannel::LineChannel(int32_t channel, const std::string& scratchPrefix)
    : directory(scratchPrefix), block(new ChannelBlock()), channel_(channel) {}

bool LineChannel::WriteChannelFile(const std::string& text) {
    char name[32];
    std::snprintf(name, sizeof name, "kivIN%02d.int", static_cast<int>(channel_));
    FILE* file = std::fopen(name, "w");  // text mode: CR LF line ends on Windows
    if (file == nullptr) return false;
    const bool written = std::fputs(text.c_str(), file) >= 0;
    return std::fclose(file) == 0 && written;
}

int32_t LineChannel::Open(const std::string& portName, int32_t readTimeout) {
    PortSettings settings;
    std::memset(&settings, 0, sizeof settings);
    std::snprintf(settings.portName, sizeof settings.portName, "%s", portName.c_str());
    settings.enabled = 1;
    settings.readTimeout = readTimeout;
    settings.line = LineSettings{19200, 8, 0, 0};
    closed_ = false;
    return Call(CommandOpen, &settings);
}

int32_t LineChannel::Call(int32_t command, void* parameters) {
    CallRecord call{block.get(), command, channel_, 0, parameters};
    return KivMain(&call);
}

void LineChannel::Close() {
    if (closed_) return;
    closed_ = true;
    Call(CommandClose);
}
