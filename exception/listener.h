// The report-by-exception listener: one thread per channel that wakes on the
// host's message wait and handles one unsolicited frame per wake-up.
#pragma once

#include <cstdint>

#include "kivlink.h"
#include "platform/platform.h"

struct ChannelBlock;

constexpr unsigned kListenerStackSize = 0x8000;
constexpr int kListenerStartPauseMs = KivListenerStartPauseMs;

// Thread body; argument is the channel block. Returns 0.
unsigned KIV_THREAD_CALL ListenerThread(void* block);
// The longest a stop request may wait for the listener to end: one host
// message wait plus one exchange of the block's line, in ms.
uint32_t ListenerStopBoundMs(const ChannelBlock* block);
void HandleUnsolicitedFrame(ChannelBlock* block);
void HandleExceptionNotice(GateRequest* request, uint8_t eventClass);
void SendResetLinkReply(GateRequest* request);
