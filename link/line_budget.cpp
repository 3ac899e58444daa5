// The time allowances of the exchange, from the channel's settings.
#include "link/line_budget.h"

#include "serial/port.h"
#include "serial/radio.h"

namespace {

constexpr uint32_t kPurgeReadMs = 50;        // the shortest read time-out of a purge or quiet wait
constexpr uint64_t kLongestMs = 0x7FFFFFFF;  // no allowance is longer (about 24 days)

uint32_t Capped(uint64_t ms) { return static_cast<uint32_t>(ms < kLongestMs ? ms : kLongestMs); }
uint64_t NonNegative(int32_t ms) { return ms > 0 ? static_cast<uint64_t>(ms) : 0; }
uint64_t Longer(uint64_t a, uint64_t b) { return a > b ? a : b; }

// T, or at least the purge read's 50 ms: the read time-out of a quiet wait.
uint64_t QuietReadMs(const ChannelBlock* block) { return Longer(ReadTimeoutMs(block), kPurgeReadMs); }

// A read time-out, then the longer of another and the bytes' line time with
// the margin.
uint64_t ReceiveAfterMs(const ChannelBlock* block, uint64_t readMs, uint32_t bytes) {
    return readMs + Longer(readMs, static_cast<uint64_t>(FrameLineMs(block, bytes)) + kLineMarginMs);
}

}  // namespace

uint32_t ReadTimeoutMs(const ChannelBlock* block) {
    return block->readTimeout > 0 ? Capped(NonNegative(block->readTimeout) * 10) : kPortReadTotalMs;
}

uint32_t FrameLineMs(const ChannelBlock* block, uint32_t count) { return LineBytesMs(&block->port.line, count); }

uint32_t RadioTryMs(const ChannelBlock* block) {
    if (block->radioEnabled != 1) return 0;
    return Capped(kRadioClearToSendMs + kRadioAnswerCarrierMs + kRadioCarrierDropMs + NonNegative(block->radioOnTime) +
                  NonNegative(block->radioOffTime) + NonNegative(block->radioDelayTime));
}

uint32_t ReceptionMs(const ChannelBlock* block, uint32_t answerBytes) {
    return Capped(ReceiveAfterMs(block, ReadTimeoutMs(block), answerBytes));
}

// Every request's try asks for it: the character's line time is worked out
// once for the write and the answer, in 32 bits (a character takes at most
// 12,000 bit-milliseconds, an answer at most 290 of them).
uint32_t TryBudgetMs(const ChannelBlock* block, uint32_t requestBytes, uint32_t answerBytes) {
    const LineSettings* line = &block->port.line;
    const uint32_t baud = LineBaudForTiming(line);
    const uint32_t characterBits = LineCharacterBits(line) * 1000u;
    const uint32_t writeMsPerByte = (characterBits + baud - 1) / baud;
    const uint32_t answerMs =
        answerBytes <= kMaxFrameBytes ? (answerBytes * characterBits + baud - 1) / baud : FrameLineMs(block, answerBytes);
    const uint64_t readMs = ReadTimeoutMs(block);
    return Capped(kPortPurgeBoundMs + static_cast<uint64_t>(requestBytes) * writeMsPerByte + kPortWriteSlackMs +
                  RadioTryMs(block) + readMs + Longer(readMs, answerMs + kLineMarginMs));
}

uint32_t QuietBudgetMs(const ChannelBlock* block, uint32_t answerBytes) {
    return Capped(ReceiveAfterMs(block, QuietReadMs(block), answerBytes));
}

uint32_t ExchangeBoundMs(const ChannelBlock* block, uint32_t requestBytes, uint32_t answerBytes) {
    return Capped(kExchangeTries * static_cast<uint64_t>(TryBudgetMs(block, requestBytes, answerBytes)) +
                  QuietBudgetMs(block, answerBytes));
}

uint32_t LoneReceptionMs(const ChannelBlock* block) {
    const uint32_t carrier = block->radioEnabled == 1 ? kRadioCarrierDropMs : 0;
    return Capped(static_cast<uint64_t>(carrier) + ReceptionMs(block, kMaxFrameBytes));
}
