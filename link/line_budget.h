// How long each step of an exchange may take, computed from the channel's
// own settings: its read time-out, its radio times and the time the line
// takes for the bytes of a request and of its longest answer. These give
// the deadline of every try and so the bound of every command
// (docs/bounds.md has the formulas with worked examples).
#pragma once

#include <cstdint>

#include "base/channel_block.h"

constexpr uint32_t kMaxFrameBytes = 290;   // the largest frame: a message of length 255
constexpr uint32_t kExchangeTries = 3;     // tries of one request
constexpr uint32_t kLineMarginMs = 20;     // scheduling and adapter latency, a timer tick or so

// T: the port's read time-out, the host's time-out in tens of ms, or the
// port's own 1000 ms when the host gave none.
uint32_t ReadTimeoutMs(const ChannelBlock* block);
// What the line takes for count bytes at the channel's settings.
uint32_t FrameLineMs(const ChannelBlock* block, uint32_t count);
// The radio's part of one try: the three carrier waits (4, 2 and 4 s at
// most) and the ON, OFF and DELAY pauses; 0 on a wire.
uint32_t RadioTryMs(const ChannelBlock* block);
// A reception of an answer of at most answerBytes on the line: T for its
// first bytes, then T or its line time and the margin, whichever is longer.
uint32_t ReceptionMs(const ChannelBlock* block, uint32_t answerBytes);
// One try: the purge, the write of requestBytes by its time-out, the radio
// and the reception.
uint32_t TryBudgetMs(const ChannelBlock* block, uint32_t requestBytes, uint32_t answerBytes);
// The quiet wait after a failed exchange: as a reception, with reads of at
// least 50 ms.
uint32_t QuietBudgetMs(const ChannelBlock* block, uint32_t answerBytes);
// A whole exchange: three tries and the quiet wait.
uint32_t ExchangeBoundMs(const ChannelBlock* block, uint32_t requestBytes, uint32_t answerBytes);
// The deadline of one reception on its own (a unit's unasked frame): the
// radio's carrier drop wait and a reception of the largest frame.
uint32_t LoneReceptionMs(const ChannelBlock* block);
