#include "tests/support/driver_channel.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "driver/commands.h"

int32_t DriverChannel::Open(const std::string& portName, int32_t readTimeout, LineSettings line) {
    PortSettings settings;
    std::memset(&settings, 0, sizeof settings);
    std::snprintf(settings.portName, sizeof settings.portName, "%s", portName.c_str());
    settings.enabled = 1;
    settings.readTimeout = readTimeout;
    settings.line = line;
    closed_ = false;
    return Call(CommandOpen, &settings);
}

int32_t DriverChannel::Call(int32_t command, void* parameters) {
    CallRecord call{block.get(), command, channel_, 0, parameters};
    return KivMain(&call);
}

void DriverChannel::Close() {
    if (closed_) return;
    closed_ = true;
    Call(CommandClose);
}

GateRequest DriverChannel::Gate(const char* text, int32_t kind, int32_t count) {
    AddressRequest address;
    std::memset(&address, 0, sizeof address);
    address.text = text;
    address.gate.kind = kind;
    EXPECT_EQ(0, Call(CommandParseAddress, &address)) << text;
    address.gate.count = count;
    address.gate.data = data;
    return address.gate;
}

DWORD InputWaiting(HANDLE port) {
    DWORD errors = 0;
    COMSTAT status;
    std::memset(&status, 0, sizeof status);
    EXPECT_TRUE(ClearCommError(port, &errors, &status));
    return status.cbInQue;
}

int32_t DriverChannel::ReadGate(const char* text) {
    GateRequest gate = Gate(text, 3);
    return Call(CommandRead, &gate);
}
