// Event retrieval: one fetch request per pass, repeated while the unit says
// more records wait, and every record written into the gate it names.
#include "requests/events.h"

#include <climits>

#include "base/channel_block.h"
#include "base/channel_state.h"
#include "base/log.h"
#include "host/tavrik.h"
#include "link/exchange.h"
#include "link/frame_codec.h"
#include "platform/local_time.h"
#include "platform/platform.h"

namespace {

// The three kinds of event.
enum class EventKind { RegisterChanges, StatusEvents, LoggedEvents };

// What sets a kind apart on the line.
struct EventLayout {
    uint8_t opcode;       // fetch request opcode
    uint8_t recordSize;   // bytes per record in the answer
    uint16_t addressMask; // address bits the record's first two bytes carry
};

constexpr int kAnswerMoreFlag = 8;  // byte of the answer: more records wait
constexpr int kAnswerRecords = 9;   // first record of the answer
constexpr int32_t kPutMode = 2;     // the host's mode argument of every gate write
constexpr int32_t kWholeValue = KivWholeRegister;

// Set (in the platform's per-thread values) once this thread's running fetch
// logged a time stamp with impossible fields, so that a unit sending nothing
// but such stamps logs one line per fetch, not one per record.
bool ImpossibleStampLogged() { return ThreadValue(ThreadValueStampLogged) != 0; }
void SetImpossibleStampLogged(bool logged) { SetThreadValue(ThreadValueStampLogged, logged ? 1 : 0); }

// Passes of one fetch. A unit answers with up to 41 records a pass, so this
// is over 40,000 register changes (20,000 status or logged events) for one
// notice or read: more than a unit's event store holds, so only a unit stuck
// with its more flag set reaches it. It also bounds how long one fetch holds
// the line while host commands wait for it.
constexpr int kMaxFetchPasses = 1000;
// Looks the record's gate up on the current channel; 1 with its id, 0 (and
// the missing-gate line logged) when the host has no such gate.
int FindGate(uint16_t station, int32_t area, uint16_t address, int32_t* gateId) {
    const ChannelBlock* block = CurrentChannel();
    int32_t status = Tav5GetGateIdByAddress(block->clientId, block->channelNumber - 1, station, area, address,
                                            kWholeValue, gateId);
    if (HostOk(status)) return 1;
    if (area == AreaStatus) DriverLog(kLogFault, "KivIN : Can not find gate S%.4d%.4d", station, address);
    else DriverLog(kLogFault, "KivIN : Can not find gate R%.4d%.4d", station, address);
    return 0;
}

// Register change: 2 bytes address, 4 bytes value; cooked, no time stamp.
void StoreRegisterChange(const uint8_t* record, uint16_t station, uint16_t address) {
    int32_t gateId = 0;
    if (!FindGate(station, AreaRegister, address, &gateId)) return;
    uint8_t client = CurrentChannel()->clientId;
    double cooked = 0.0;
    if (!HostOk(Tav5Cook(client, gateId, static_cast<int32_t>(GetHigh32(record + 2)), &cooked))) {
        DriverLog(kLogFault, "KivIN : Fail to cook gate id %d", gateId);
        return;
    }
    if (!HostOk(Tav5PutGateVal(client, gateId, kPutMode, cooked, 0, 0)))
        DriverLog(kLogFault, "KivIN : Write gate id %x fail", static_cast<unsigned>(gateId));
}

// Status event: state in bit 7 of the first byte, 6-byte time stamp at 2.
void StoreStatusEvent(const uint8_t* record, uint16_t station, uint16_t address) {
    int32_t gateId = 0;
    if (!FindGate(station, AreaStatus, address, &gateId)) return;
    double state = (record[0] & 0x80) != 0 ? 1.0 : 0.0;
    StoreTimedValue(CurrentChannel()->clientId, gateId, state, record + 2);
}

// Logged event: 4-byte value at 2, 6-byte time stamp at 6; cooked.
void StoreLoggedEvent(const uint8_t* record, uint16_t station, uint16_t address) {
    int32_t gateId = 0;
    if (!FindGate(station, AreaRegister, address, &gateId)) return;
    uint8_t client = CurrentChannel()->clientId;
    double cooked = 0.0;
    if (!HostOk(Tav5Cook(client, gateId, static_cast<int32_t>(GetHigh32(record + 2)), &cooked))) {
        DriverLog(kLogFault, "KivIN : Can not cook gate R%.4d%.4d", station, address);
        return;
    }
    StoreTimedValue(client, gateId, cooked, record + 6);
}

EventLayout LayoutOf(EventKind kind) {
    switch (kind) {
        case EventKind::RegisterChanges: return {OpcodeRegisterChanges, 6, 0xFFFF};
        case EventKind::StatusEvents: return {OpcodeStatusEvents, 8, 0x1FFF};
        case EventKind::LoggedEvents: break;
    }
    return {OpcodeLoggedEvents, 12, 0x0FFF};
}

void StoreRecord(EventKind kind, const uint8_t* record, uint16_t station, uint16_t address) {
    switch (kind) {
        case EventKind::RegisterChanges: StoreRegisterChange(record, station, address); return;
        case EventKind::StatusEvents: StoreStatusEvent(record, station, address); return;
        case EventKind::LoggedEvents: StoreLoggedEvent(record, station, address); return;
    }
}

// Stores the records of one accepted answer, stopping early once the
// shutdown latch is set. The count comes from the length byte, so no record
// reaches past the message's end.
void StoreRecords(EventKind kind, const uint8_t* answer) {
    const EventLayout layout = LayoutOf(kind);
    uint8_t length = answer[HeaderLength];
    int count = length >= kAnswerMoreFlag ? (length - kAnswerMoreFlag) / layout.recordSize : 0;
    uint16_t station = MessageSource(answer);
    for (int i = 0; i < count; ++i) {
        const uint8_t* record = answer + kAnswerRecords + i * layout.recordSize;
        uint16_t address = static_cast<uint16_t>(((record[0] << 8) | record[1]) & layout.addressMask);
        if (ShutdownLatchIsSet()) return;
        StoreRecord(kind, record, station, address);
    }
}

// The fetch shared by the three kinds: 0 when every pass was answered, the
// last exchange's 1 or 2 otherwise, 1 without a request or when the unit
// still said "more" after kMaxFetchPasses passes (logged). An answer too
// short to hold the more flag (length below 8) counts as "no more". The
// latch or a stop of the channel's listener ends the fetch between passes.
int32_t FetchEvents(EventKind kind, GateRequest* request) {
    if (request == nullptr) return 1;
    SetImpossibleStampLogged(false);
    const uint8_t opcode = LayoutOf(kind).opcode;
    uint16_t station = static_cast<uint16_t>(request->station);
    for (int pass = 1;; ++pass) {
        uint8_t message[kMessageBufferSize] = {};
        uint8_t answer[kMessageBufferSize] = {};
        BuildRequestHeader(message, 7, FunctionAskData, station, opcode);
        int result = ExchangeRequest(message, station, opcode, FunctionAnswerData, answer);
        if (result != 0) return result;
        StoreRecords(kind, answer);
        bool more = answer[HeaderLength] >= kAnswerMoreFlag && answer[kAnswerMoreFlag] != 0;
        if (!more || ChannelWorkMustEnd(CurrentChannel())) break;
        if (pass == kMaxFetchPasses) {
            DriverLog(kLogFault, "KivIN : Station %d still has more events after %d passes, fetch stopped", station,
                kMaxFetchPasses);
            return 1;
        }
        // On the listener, host commands waiting for the line have it
        // between two passes; the flip follows, so that the next pass never
        // carries the bit of the host's last request.
        if (YieldLineToHost(CurrentChannel()) && ChannelWorkMustEnd(CurrentChannel())) break;
        FlipFcb();
    }
    // The data word only marks completion; a caller without one still gets
    // its events into the gates and the result.
    if (request->data != nullptr) request->data[0] = 0;
    return 0;
}

// The stamp's fields (one 48-bit number, most significant byte first; bits
// 47..44 unused) as a local moment, and its 10-bit milliseconds (0 to 1023).
LocalMoment UnpackTimeStamp(const uint8_t* stamp, uint16_t* milliseconds) {
    LocalMoment moment;
    moment.year = 1900 + (((stamp[0] & 0x0F) << 4) | (stamp[1] >> 4));
    moment.month = stamp[1] & 0x0F;
    moment.day = stamp[2] >> 3;
    moment.hour = ((stamp[2] & 0x07) << 2) | (stamp[3] >> 6);
    moment.minute = stamp[3] & 0x3F;
    moment.second = stamp[4] >> 2;
    *milliseconds = static_cast<uint16_t>(((stamp[4] & 0x03) << 8) | stamp[5]);
    return moment;
}

}  // namespace

int32_t FetchRegisterChanges(GateRequest* request) { return FetchEvents(EventKind::RegisterChanges, request); }
int32_t FetchStatusEvents(GateRequest* request) { return FetchEvents(EventKind::StatusEvents, request); }
int32_t FetchLoggedEvents(GateRequest* request) { return FetchEvents(EventKind::LoggedEvents, request); }

// Returns the local calendar seconds of the stamp (as mktime would give them
// for these fields), or -1 when a field names no real moment (month 0, the
// 31st of April, hour 24...) or the moment lies outside 0..INT32_MAX (before
// 1970 or after 2038-01-19 03:14:07 UTC); writes the milliseconds in every case.
int32_t DecodeTimeStamp(const uint8_t* stamp, uint16_t* milliseconds) {
    const LocalMoment moment = UnpackTimeStamp(stamp, milliseconds);
    if (!LocalMomentValid(moment)) return -1;
    const int64_t seconds = LocalMomentToSeconds(moment);
    if (seconds < 0 || seconds > INT32_MAX) return -1;
    return static_cast<int32_t>(seconds);
}

// Writes value with the stamp's time into the gate; a refused write is
// logged, and so is the first stamp of a fetch that names no real moment.
// Returns nothing.
void StoreTimedValue(uint8_t client, int32_t gateId, double value, const uint8_t* stamp) {
    uint16_t milliseconds = 0;
    const int32_t seconds = DecodeTimeStamp(stamp, &milliseconds);
    const LocalMoment moment = UnpackTimeStamp(stamp, &milliseconds);
    if (!LocalMomentValid(moment) && !ImpossibleStampLogged()) {
        SetImpossibleStampLogged(true);
        DriverLog(kLogFault, "KivIN : Time stamp %.4d-%.2d-%.2d %.2d:%.2d:%.2d is no real time, stored with time -1",
            moment.year, moment.month, moment.day, moment.hour, moment.minute, moment.second);
    }
    if (!HostOk(Tav5PutGateVal(client, gateId, kPutMode, value, seconds, milliseconds)))
        DriverLog(kLogFault, "KivIN : Write gate id %x fail", static_cast<unsigned>(gateId));
}
