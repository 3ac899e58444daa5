// The report-by-exception listener: one thread per channel that wakes on the
// host's message wait and handles one unsolicited frame per wake-up.
#pragma once

#include <cstdint>

#include "kivlink.h"

struct ChannelBlock;

constexpr unsigned kListenerStackSize = 0x8000;
constexpr int kListenerStartPauseMs = 4000;

// Thread body; argument is the channel block.
void ListenerThread(void* block);
void HandleUnsolicitedFrame(ChannelBlock* block);
void HandleExceptionNotice(GateRequest* request, uint8_t eventClass);
void SendResetLinkReply(GateRequest* request);
