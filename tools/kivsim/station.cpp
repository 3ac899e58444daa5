// One simulated unit: state, time stamps and the answer to each request.
#include "tools/kivsim/station.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#include "link/frame_codec.h"
#include "tools/common/time_compat.h"

namespace kivsim {

namespace {

// Appends a number high byte first.
void Append16(std::vector<uint8_t>& out, uint16_t v) {
    out.resize(out.size() + 2);
    PutHigh16(&out[out.size() - 2], v);
}
void Append32(std::vector<uint8_t>& out, uint32_t v) {
    out.resize(out.size() + 4);
    PutHigh32(&out[out.size() - 4], v);
}

// The control byte a request of this opcode must carry, less DIR and FCB.
int ExpectedFunction(uint8_t opcode) {
    switch (opcode) {
    case OpcodeRegisterChanges:
    case OpcodeReadRegisters:
    case OpcodeStatusEvents:
    case OpcodeLoggedEvents: return FunctionAskData;
    case OpcodeWriteRegisters:
    case OpcodeWriteBit:
    case OpcodeSetClock: return FunctionSendData;
    default: return -1;
    }
}

// Why a request's control byte is not the prescribed one: function code
// expected, PRM and FCV set, DIR bit dir. "" when it is.
std::string ControlFault(uint8_t control, uint8_t dir, int expected) {
    if ((control & ControlFunction) != expected) return "function code " + std::to_string(expected) + " expected";
    if ((control & (ControlPrm | ControlFcv)) != (ControlPrm | ControlFcv)) return "PRM and FCV must be set";
    if ((control & ControlDir) != dir) return "wrong DIR bit";
    return "";
}

Outcome Refuse(const std::string& why) {
    Outcome outcome;
    outcome.kind = Outcome::Refused;
    outcome.note = why;
    return outcome;
}

template <typename T>
void PushBounded(std::deque<T>& queue, const T& item, uint64_t& lost) {
    if (queue.size() >= kQueueLimit) {
        queue.pop_front();
        ++lost;
    }
    queue.push_back(item);
}

}  // namespace

void EncodeTimeStamp(const CalendarTime& t, uint8_t stamp[6]) {
    uint64_t v = (uint64_t(uint8_t(t.year - 1900)) << 36) | (uint64_t(t.month & 0x0F) << 32) |
                 (uint64_t(t.day & 0x1F) << 27) | (uint64_t(t.hour & 0x1F) << 22) | (uint64_t(t.minute & 0x3F) << 16) |
                 (uint64_t(t.second & 0x3F) << 10) | uint64_t(t.millisecond & 0x3FF);
    for (int i = 0; i < 6; ++i) stamp[i] = uint8_t(v >> (8 * (5 - i)));
}

CalendarTime DecodeTimeStampFields(const uint8_t stamp[6]) {
    uint64_t v = 0;
    for (int i = 0; i < 6; ++i) v = (v << 8) | stamp[i];
    return CalendarTime{1900 + int((v >> 36) & 0xFF), int((v >> 32) & 0x0F), int((v >> 27) & 0x1F),
                        int((v >> 22) & 0x1F),         int((v >> 16) & 0x3F), int((v >> 10) & 0x3F),
                        int(v & 0x3FF)};
}

CalendarTime LocalCalendar(int64_t msSinceEpoch) {
    int64_t seconds = msSinceEpoch / 1000;
    int64_t ms = msSinceEpoch % 1000;
    if (ms < 0) {
        ms += 1000;
        seconds -= 1;
    }
    time_t when = time_t(seconds);
    struct tm local;
    std::memset(&local, 0, sizeof local);
    localtime_r(&when, &local);
    return CalendarTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                        local.tm_min,         local.tm_sec,     int(ms)};
}

// Without mktime: with TZ unset, glibc's mktime re-reads the zone on every
// call (freeing and copying its name under a lock that ThreadSanitizer cannot
// see), and the driver calls mktime on other threads of the same process.
// timegm and localtime_r leave the zone alone once it is loaded.
int64_t MsFromLocalCalendar(const CalendarTime& t) {
    struct tm fields;
    std::memset(&fields, 0, sizeof fields);
    fields.tm_year = t.year - 1900;
    fields.tm_mon = t.month - 1;
    fields.tm_mday = t.day;
    fields.tm_hour = t.hour;
    fields.tm_min = t.minute;
    fields.tm_sec = t.second;
    const time_t asUtc = timegm(&fields);
    if (asUtc == time_t(-1) && fields.tm_year != 69) return -1;
    // The moment whose local fields are these: UTC less the zone's offset
    // there, found again at the result for a change of daylight saving.
    time_t guess = asUtc;
    for (int pass = 0; pass < 2; ++pass) {
        struct tm local;
        if (!localtime_r(&guess, &local)) return -1;
        const time_t offset = timegm(&local) - guess;
        guess = asUtc - offset;
    }
    return int64_t(guess) * 1000 + t.millisecond;
}

Station::Station(uint16_t number, uint16_t host)
    : number_(number), host_(host), registers_(kRegisterCount, 0), points_(kStatusPointCount, 0) {}

void Station::StampNow(int64_t pcMs, uint8_t stamp[6]) const {
    EncodeTimeStamp(LocalCalendar(ClockMs(pcMs)), stamp);
}

void Station::QueueRegisterChange(uint16_t address, uint32_t value) {
    PushBounded(changes_, RegisterChange{address, value}, eventsLost_);
}

void Station::QueueStatusEvent(uint16_t address, bool state, int64_t pcMs) {
    StatusEvent event{uint16_t(address % kStatusPointCount), state, {}};
    StampNow(pcMs, event.stamp);
    QueueStatusEventStamped(event);
}

bool Station::QueueLoggedEvent(uint16_t address, uint32_t value, int64_t pcMs) {
    if (address >= kLoggedRegisterCount) return false;
    LoggedEvent event{address, value, {}};
    StampNow(pcMs, event.stamp);
    QueueLoggedEventStamped(event);
    return true;
}

void Station::QueueStatusEventStamped(const StatusEvent& event) {
    PushBounded(statusEvents_, event, eventsLost_);
}

void Station::QueueLoggedEventStamped(const LoggedEvent& event) {
    PushBounded(loggedEvents_, event, eventsLost_);
}

size_t Station::Pending(EventKind kind) const {
    switch (kind) {
    case EventKind::RegisterChange: return changes_.size();
    case EventKind::StatusEvent: return statusEvents_.size();
    case EventKind::LoggedEvent: return loggedEvents_.size();
    }
    return 0;
}

void Station::ClearEvents() {
    changes_.clear();
    statusEvents_.clear();
    loggedEvents_.clear();
}

uint8_t Station::WaitingClasses() const {
    uint8_t classes = 0;
    if (!statusEvents_.empty()) classes |= ClassStatus;
    if (!changes_.empty()) classes |= ClassChanges;
    if (!loggedEvents_.empty()) classes |= ClassLogged;
    if (clockWanted_) classes |= ClassClock;
    return classes;
}

void Station::ForgetLastRequest() {
    lastRequest_.clear();
    lastFetchAnswer_.clear();
}

int Station::TakeDeliveredRecords(EventKind* kind) {
    if (lastFetchDelivered_ || lastFetchRecords_ == 0) return 0;
    lastFetchDelivered_ = true;
    *kind = lastFetchKind_;
    eventsSent[int(lastFetchKind_)] += uint64_t(lastFetchRecords_);
    return lastFetchRecords_;
}

Outcome Station::Reply(const uint8_t* request, uint8_t length, uint8_t function, const char* note) const {
    const uint16_t to = MessageSource(request);
    Outcome outcome;
    outcome.kind = Outcome::Answer;
    outcome.note = note;
    std::vector<uint8_t>& m = outcome.message;
    m.reserve(size_t(length) + 1);
    m.resize(HeaderSize);
    PutHeader(m.data(), length, uint8_t(DirectionFor(to, number_) | function), to, number_, request[HeaderSet],
              request[HeaderOpcode]);
    return outcome;
}

Outcome Station::Handle(const uint8_t* m, int64_t pcMs, bool strict) {
    const uint8_t length = m[0];
    std::vector<uint8_t> request(m, m + length + 1);
    const bool sameAsLast = request == lastRequest_;
    lastRequest_ = request;
    if (length < 7) {
        lastFetchAnswer_.clear();
        return Refuse("shorter than a header");
    }
    const uint8_t set = m[HeaderSet];
    const uint8_t opcode = m[HeaderOpcode];
    if (!(set == 1 && IsFetchOpcode(opcode))) lastFetchAnswer_.clear();
    if (set == 0 && opcode == OpcodeLinkReset) return AnswerLinkReset(m, strict);
    if (set != 1) return Refuse("unknown set");
    if (opcode == OpcodeExceptionNotice) return TakeAcknowledgement(m);
    const int expected = ExpectedFunction(opcode);
    if (expected < 0) return Refuse("unknown opcode");
    const std::string wrong =
        strict ? ControlFault(m[HeaderControl], DirectionFor(number_, MessageSource(m)), expected) : "";
    if (!wrong.empty()) return Refuse(wrong);
    switch (opcode) {
    case OpcodeReadRegisters: return AnswerRead(m);
    case OpcodeWriteRegisters: return AnswerWriteRegisters(m);
    case OpcodeWriteBit: return AnswerWriteBit(m);
    case OpcodeSetClock: return AnswerSetClock(m, pcMs);
    default: break;
    }
    if (sameAsLast && !lastFetchAnswer_.empty()) {
        Outcome outcome;
        outcome.kind = Outcome::Answer;
        outcome.fetch = true;
        outcome.repeated = true;
        outcome.message = lastFetchAnswer_;
        outcome.note = "retry: the same records again";
        return outcome;
    }
    EventKind kind = opcode == OpcodeRegisterChanges ? EventKind::RegisterChange
                     : opcode == OpcodeStatusEvents  ? EventKind::StatusEvent
                                                     : EventKind::LoggedEvent;
    return AnswerFetch(m, kind);
}

// A link reset from the host, or (PRM clear) the host's reply to ours.
Outcome Station::AnswerLinkReset(const uint8_t* m, bool strict) {
    const uint8_t control = m[HeaderControl];
    Outcome outcome;
    if (!(control & ControlPrm)) {
        outcome.linkResetReply = true;
        outcome.note = "reply to our link reset";
        return outcome;
    }
    if (strict && (control & ~ControlDir) != ControlPrm) return Refuse("link reset with FCB, FCV or function set");
    if (strict && (control & ControlDir) != DirectionFor(number_, MessageSource(m))) return Refuse("wrong DIR bit");
    outcome = Reply(m, 7, FunctionAck);
    outcome.linkReset = true;
    return outcome;
}

// The host's acknowledgement of a notice: it matches when it echoes the
// outstanding notice's class byte.
Outcome Station::TakeAcknowledgement(const uint8_t* m) {
    if ((m[HeaderControl] & ControlFunction) != FunctionAck) return Refuse("opcode 9 that is not an acknowledgement");
    Outcome outcome;
    outcome.acknowledgement = true;
    if (m[0] >= 9 && noticeOutstanding && m[9] == noticeClass) {
        outcome.ackMatched = true;
        noticeOutstanding = false;
    }
    outcome.note = outcome.ackMatched ? "acknowledgement" : "acknowledgement of no outstanding notice";
    return outcome;
}

Outcome Station::AnswerRead(const uint8_t* m) {
    if (m[0] < 10) return Refuse("read request too short");
    uint16_t first = GetHigh16(m + 8);
    const int count = std::min<int>(m[10], kMaxReadCount);
    Outcome outcome =
        Reply(m, uint8_t(10 + 4 * count), FunctionAnswerData, m[10] > kMaxReadCount ? "count above 61: 61 values" : "");
    // The three bytes before the values echo the request's register and count.
    outcome.message.insert(outcome.message.end(), m + 8, m + 11);
    for (int k = 0; k < count; ++k) Append32(outcome.message, registers_[uint16_t(first + k)]);
    return outcome;
}

Outcome Station::AnswerWriteRegisters(const uint8_t* m) {
    int records = (m[0] - 7) / 6;
    for (int k = 0; k < records; ++k) {
        const uint8_t* r = m + 8 + 6 * k;
        registers_[GetHigh16(r)] = GetHigh32(r + 2);
    }
    return Reply(m, 7, FunctionAck, (m[0] - 7) % 6 != 0 ? "bytes after the last whole record ignored" : "");
}

Outcome Station::AnswerWriteBit(const uint8_t* m) {
    if (m[0] < 10) return Refuse("bit write too short");
    uint16_t address = GetHigh16(m + 8);
    int bit = m[10] & 0x7F;
    bool value = (m[10] & 0x80) != 0;
    if (bit >= 32) return Reply(m, 7, FunctionAck, "bit number above 31: nothing changed");
    const uint32_t mask = uint32_t(1) << bit;
    registers_[address] = value ? (registers_[address] | mask) : (registers_[address] & ~mask);
    return Reply(m, 7, FunctionAck);
}

Outcome Station::AnswerSetClock(const uint8_t* m, int64_t pcMs) {
    if (m[0] < 16) return Refuse("clock request too short");
    // Byte 11, the day of the week, is not needed.
    const CalendarTime t{1900 + m[8], m[9], m[10], m[12], m[13], m[14], GetHigh16(m + 15)};
    const int64_t when = MsFromLocalCalendar(t);
    if (when >= 0) clockOffsetMs_ = when - pcMs;
    clockWanted_ = false;
    return Reply(m, 7, FunctionAck, when < 0 ? "date out of range: clock unchanged" : "");
}

Outcome Station::AnswerFetch(const uint8_t* m, EventKind kind) {
    const int size = kRecordSize[int(kind)];
    const size_t waiting = Pending(kind);
    const int n = int(std::min<size_t>(waiting, size_t(kRecordsPerAnswer[int(kind)])));
    Outcome outcome = Reply(m, uint8_t(8 + n * size), FunctionAnswerData);
    outcome.fetch = true;
    outcome.message.push_back(waiting > size_t(n) ? 1 : 0);
    for (int k = 0; k < n; ++k) {
        std::vector<uint8_t>& out = outcome.message;
        switch (kind) {
        case EventKind::RegisterChange: {
            RegisterChange e = changes_.front();
            changes_.pop_front();
            Append16(out, e.address);
            Append32(out, e.value);
            break;
        }
        case EventKind::StatusEvent: {
            StatusEvent e = statusEvents_.front();
            statusEvents_.pop_front();
            out.push_back(uint8_t((e.state ? 0x80 : 0) | ((e.address >> 8) & 0x1F)));
            out.push_back(uint8_t(e.address));
            out.insert(out.end(), e.stamp, e.stamp + 6);
            break;
        }
        case EventKind::LoggedEvent: {
            LoggedEvent e = loggedEvents_.front();
            loggedEvents_.pop_front();
            out.push_back(uint8_t((e.address >> 8) & 0x0F));
            out.push_back(uint8_t(e.address));
            Append32(out, e.value);
            out.insert(out.end(), e.stamp, e.stamp + 6);
            break;
        }
        }
    }
    lastFetchAnswer_ = outcome.message;
    lastFetchKind_ = kind;
    lastFetchRecords_ = n;
    lastFetchDelivered_ = false;
    return outcome;
}

}  // namespace kivsim
