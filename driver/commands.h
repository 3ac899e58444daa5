// The command handlers of the entry point's table.
#pragma once

#include <cstdint>

#include "kivlink.h"

typedef int32_t (*CommandHandler)(CallRecord* call);

// The highest command number (the numbers are kivlink.h's).
constexpr int32_t CommandCount = CommandSetPort;

// Busy-flag wait of a command: 4002 ms, looking every 1 ms.
constexpr uint32_t kBusyWaitMs = 4002;

int32_t Open(CallRecord* call);
int32_t Flush(CallRecord* call);
int32_t Close(CallRecord* call);
int32_t ClosePort(CallRecord* call);
int32_t ReopenPort(CallRecord* call);
int32_t SetPort(CallRecord* call);
int32_t Describe(CallRecord* call);

struct PortDescriptor;
// Opens the described port; its handle as 32 bits, or 0 on any failure (a
// handle opened before the failure is closed again), with *failure saying
// why.
uint32_t OpenDescribedPort(const PortDescriptor* port, KivPortFailureReport* failure);

extern const char kDeviceName[];
extern const char kBanner[];
