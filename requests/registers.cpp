// Register reads and writes, single bits and the unit clock: the host's
// polling commands and the four requests they send.
#include "requests/registers.h"

#include <cstring>

#include "base/channel_block.h"
#include "link/exchange.h"
#include "link/frame_codec.h"
#include "platform/platform.h"
#include "requests/events.h"

namespace {

// Bytes of the answer to a read before its first value (header, then three
// bytes that carry nothing we use).
constexpr int kReadValuesOffset = 11;
constexpr int kReadRequestLength = 10;
constexpr int kWriteRecordSize = 6;
constexpr int kBareAnswerLength = 7;
constexpr int kClockRequestLength = 16;

GateRequest* GateOf(CallRecord* call) {
    return call == nullptr ? nullptr : static_cast<GateRequest*>(call->parameters);
}

uint16_t StationOf(const GateRequest* request) { return static_cast<uint16_t>(request->station); }

// A single-bit gate keeps its bit in the 16-bit word at byte offset 2 of the
// first value (the host reads and writes it there).
uint16_t BitWordOf(const int32_t* data) {
    uint16_t word;
    std::memcpy(&word, reinterpret_cast<const uint8_t*>(data) + 2, sizeof word);
    return word;
}
void SetBitWord(int32_t* data, uint16_t word) {
    std::memcpy(reinterpret_cast<uint8_t*>(data) + 2, &word, sizeof word);
}

bool ReadCountFits(int32_t count) { return count >= 0 && count <= KivReadRegistersMax; }
bool WriteCountFits(int32_t count) { return count >= 0 && count <= KivWriteRegistersMax; }

// The areas whose requests put values into or take them from the data area.
bool ReadUsesData(int32_t area) {
    return area == AreaRegister || area == AreaLoggedEvents || area == AreaChangeEvents ||
           area == AreaStatusEvents;
}

// The link reset and FCB flip that a block of more than one register needs
// before its request; 0 when done, 2 when the reset got no answer.
int PrepareBlock(const GateRequest* request) {
    if (request->count <= 1) return 0;
    const int reset = ResetLinkOnce(StationOf(request));
    if (reset != 0) return reset;
    FlipFcb();
    return 0;
}

}  // namespace

// 0 with count values stored from data[0] on; 1 when the request cannot be
// framed or answered in one frame (no record or data area, a count outside
// 0..61) or the answer did not fit; 2 no answer. Nothing is stored unless 0.
int32_t ReadRegisters(GateRequest* request) {
    if (request == nullptr || request->data == nullptr || !ReadCountFits(request->count)) return 1;
    const uint16_t station = StationOf(request);
    uint8_t message[kMessageBufferSize];
    BuildRequestHeader(message, kReadRequestLength, FunctionAskData, station, OpcodeReadRegisters);
    PutHigh16(message + HeaderSize, static_cast<uint16_t>(request->number));
    message[HeaderSize + 2] = static_cast<uint8_t>(request->count);

    uint8_t answer[kMessageBufferSize];
    const int result = ExchangeRequest(message, station, OpcodeReadRegisters, FunctionAnswerData, answer);
    if (result != 0) return result;
    // Whole values the answer carries; the shift keeps a short answer negative,
    // and up to three stray bytes after the values are ignored.
    const int length = answer[HeaderLength];
    if (((length - 10) >> 2) != request->count) return 1;
    for (int32_t k = 0; k < request->count; ++k) {
        request->data[k] = static_cast<int32_t>(GetHigh32(answer + kReadValuesOffset + 4 * k));
    }
    return 0;
}

// 0 when the unit took the values; 1 when the request cannot be framed (no
// record or data area, a count outside 0..41) or the answer was not a bare
// header; 2 no answer.
int32_t WriteRegisters(GateRequest* request) {
    if (request == nullptr || request->data == nullptr || !WriteCountFits(request->count)) return 1;
    const uint16_t station = StationOf(request);
    uint8_t message[kMessageBufferSize];
    const uint8_t length = static_cast<uint8_t>(kWriteRecordSize * request->count + 7);
    BuildRequestHeader(message, length, FunctionSendData, station, OpcodeWriteRegisters);
    // Every register travels with its own number, counting up from the first.
    for (int32_t k = 0; k < request->count; ++k) {
        uint8_t* record = message + HeaderSize + kWriteRecordSize * k;
        PutHigh16(record, static_cast<uint16_t>(static_cast<uint32_t>(request->number) + static_cast<uint32_t>(k)));
        PutHigh32(record + 2, static_cast<uint32_t>(request->data[k]));
    }

    uint8_t answer[kMessageBufferSize];
    const int result = ExchangeRequest(message, station, OpcodeWriteRegisters, FunctionAck, answer);
    if (result != 0) return result;
    return answer[HeaderLength] == kBareAnswerLength ? 0 : 1;
}

// 0 when the unit changed the bit; 1 without record or data area, or when the
// answer was not a bare header; 2 no answer. The unit sets or clears the bit
// itself, so nothing is read first.
int32_t WriteBit(GateRequest* request) {
    if (request == nullptr || request->data == nullptr) return 1;
    const uint16_t station = StationOf(request);
    uint8_t message[kMessageBufferSize];
    BuildRequestHeader(message, 10, FunctionSendData, station, OpcodeWriteBit);
    PutHigh16(message + HeaderSize, static_cast<uint16_t>(request->number));
    // Bits 0-6 name the bit, bit 7 carries its new value.
    const uint8_t set = BitWordOf(request->data) != 0 ? 0x80 : 0x00;
    message[HeaderSize + 2] = static_cast<uint8_t>(static_cast<uint8_t>(request->bit) | set);

    uint8_t answer[kMessageBufferSize];
    const int result = ExchangeRequest(message, station, OpcodeWriteBit, FunctionAck, answer);
    if (result != 0) return result;
    return answer[HeaderLength] == kBareAnswerLength ? 0 : 1;
}

// Sets the unit's clock to the PC's local time, read once so that every try
// carries the same time. 0 done, 1 no record or the answer did not fit, 2 no
// answer.
int32_t SetClock(GateRequest* request) {
    if (request == nullptr) return 1;
    const uint16_t station = StationOf(request);
    SYSTEMTIME now;
    GetLocalTime(&now);
    uint8_t message[kMessageBufferSize];
    BuildRequestHeader(message, kClockRequestLength, FunctionSendData, station, OpcodeSetClock);
    uint8_t* payload = message + HeaderSize;
    payload[0] = static_cast<uint8_t>(now.wYear - 1900);
    payload[1] = static_cast<uint8_t>(now.wMonth);
    payload[2] = static_cast<uint8_t>(now.wDay);
    payload[3] = static_cast<uint8_t>(now.wDayOfWeek + 1);  // 1 = Sunday
    payload[4] = static_cast<uint8_t>(now.wHour);
    payload[5] = static_cast<uint8_t>(now.wMinute);
    payload[6] = static_cast<uint8_t>(now.wSecond);
    PutHigh16(payload + 7, now.wMilliseconds);

    uint8_t answer[kMessageBufferSize];
    return ExchangeRequest(message, station, OpcodeSetClock, FunctionAck, answer);
}

// Command 5. 0 done (also for an area no request serves: nothing is sent),
// 1 refused (status points, the clock, no data area) or the answer did not
// fit, 2 no answer to the link reset or the request. A register read with a
// bit stores that bit at byte offset 2 of the first value.
int32_t Read(CallRecord* call) {
    GateRequest* request = GateOf(call);
    if (request == nullptr) return 1;
    if (ReadUsesData(request->area) && request->data == nullptr) return 1;
    const int reset = ResetLinkOnce(StationOf(request));
    if (reset != 0) return reset;
    FlipFcb();

    switch (request->area) {
    case AreaRegister: {
        request->count = 1;
        const int32_t result = ReadBlock(call);
        if (result == 0 && request->bit != KivWholeRegister) {
            const uint32_t value = static_cast<uint32_t>(request->data[0]);
            SetBitWord(request->data, static_cast<uint16_t>((value >> (static_cast<uint32_t>(request->bit) & 31)) & 1));
        }
        return result;
    }
    case AreaLoggedEvents: return FetchLoggedEvents(request);
    case AreaChangeEvents: return FetchRegisterChanges(request);
    case AreaStatusEvents: return FetchStatusEvents(request);
    case AreaStatus:
    case AreaClock: return 1;
    default: return 0;
    }
}

// Command 6: reads count registers from number on. 1 for an area other than
// registers, a count outside 0..61 or no data area (nothing sent), else as
// ReadRegisters; 2 also when the link reset of a block got no answer.
int32_t ReadBlock(CallRecord* call) {
    GateRequest* request = GateOf(call);
    if (request == nullptr || request->area != AreaRegister) return 1;
    if (!ReadCountFits(request->count) || request->data == nullptr) return 1;
    const int prepared = PrepareBlock(request);
    if (prepared != 0) return prepared;
    return ReadRegisters(request);
}

// Command 7: writes one register, one bit of it, or the unit's clock. 0 done,
// 1 refused (another area, no data area for a register) or the answer did not
// fit or the clock's link reset got no answer, 2 no answer.
int32_t Write(CallRecord* call) {
    GateRequest* request = GateOf(call);
    if (request == nullptr) return 1;
    if (request->area == AreaRegister && request->data == nullptr) return 1;
    FlipFcb();

    switch (request->area) {
    case AreaRegister:
        request->count = 1;
        if (request->bit == KivWholeRegister) return WriteBlock(call);
        return WriteBit(request);
    case AreaClock:
        if (ResetLinkOnce(StationOf(request)) != 0) return 1;
        return SetClock(request);
    default: return 1;  // status points, event areas and unknown codes take no writes
    }
}

// Command 10: writes count registers from number on. 1 for an area other
// than registers, a count outside 0..41 (more do not fit one frame) or no
// data area (nothing sent), else as WriteRegisters; 2 also when the link reset
// of a block got no answer.
int32_t WriteBlock(CallRecord* call) {
    GateRequest* request = GateOf(call);
    if (request == nullptr || request->area != AreaRegister) return 1;
    if (!WriteCountFits(request->count) || request->data == nullptr) return 1;
    const int prepared = PrepareBlock(request);
    if (prepared != 0) return prepared;
    return WriteRegisters(request);
}
