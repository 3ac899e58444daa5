// One simulated unit: its registers, status points, clock and event queues,
// and the answers it gives to requests. No I/O here; the simulator moves the
// bytes and decides about faults.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "link/frame_codec.h"

namespace kivsim {

enum class EventKind { RegisterChange = 0, StatusEvent = 1, LoggedEvent = 2 };
constexpr int kEventKinds = 3;

// Event-class bits of an exception notice.
enum : uint8_t {
    ClassStatus = 0x01,
    ClassChanges = 0x02,
    ClassLogged = 0x04,
    ClassClock = 0x08,
};

// Record sizes on the line and how many of them one answer carries
// (the length byte allows 255 - 8 bytes after the more flag).
constexpr int kRecordSize[kEventKinds] = {6, 8, 12};
constexpr int kRecordsPerAnswer[kEventKinds] = {41, 30, 20};

constexpr int kRegisterCount = 65536;
constexpr int kStatusPointCount = 8192;     // 13-bit point addresses
constexpr int kLoggedRegisterCount = 4096;  // 12-bit addresses in logged events
constexpr int kMaxReadCount = 61;           // 10 + 4 * 61 = 254
// Each queue keeps at most this many records; the oldest go first.
constexpr size_t kQueueLimit = 100000;

// A moment in the local calendar.
struct CalendarTime {
    int year = 1970;  // full year
    int month = 1;    // 1 to 12
    int day = 1;      // 1 to 31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// The 6-byte unit time stamp: a 48-bit number, high byte first, with year-1900
// in bits 43..36, month 35..32, day 31..27, hour 26..22, minute 21..16,
// second 15..10 and milliseconds 9..0.
void EncodeTimeStamp(const CalendarTime& time, uint8_t stamp[6]);
CalendarTime DecodeTimeStampFields(const uint8_t stamp[6]);
// Local calendar of a count of milliseconds since 1970 (UTC), and back;
// MsFromLocalCalendar gives -1 when the calendar cannot convert it.
CalendarTime LocalCalendar(int64_t msSinceEpoch);
int64_t MsFromLocalCalendar(const CalendarTime& time);

struct RegisterChange {
    uint16_t address;
    uint32_t value;
};
struct StatusEvent {
    uint16_t address;  // 0 to 8191
    bool state;
    uint8_t stamp[6];
};
struct LoggedEvent {
    uint16_t address;  // 0 to 4095
    uint32_t value;
    uint8_t stamp[6];
};

// What a request made the unit do.
struct Outcome {
    enum Kind {
        Answer,   // message holds the answer
        Ignored,  // a frame that wants no answer (acknowledgement, reply)
        Refused,  // a request the unit does not answer; note says why
    };
    Kind kind = Ignored;
    std::vector<uint8_t> message;  // answer, length byte first
    bool fetch = false;            // an answer to an event fetch
    bool repeated = false;         // the previous answer, sent again
    bool acknowledgement = false;  // the host acknowledged a notice
    bool ackMatched = false;       // ... and it echoed the outstanding notice's class
    bool linkResetReply = false;   // the host replied to our link reset
    bool linkReset = false;        // the host reset the link
    std::string note;              // for the trace
};

class Station {
public:
    Station(uint16_t number, uint16_t host);

    uint16_t Number() const { return number_; }
    uint16_t Host() const { return host_; }

    uint32_t RegisterValue(uint16_t address) const { return registers_[address]; }
    void SetRegister(uint16_t address, uint32_t value) { registers_[address] = value; }
    bool Point(uint16_t address) const { return points_[address % kStatusPointCount] != 0; }
    void SetPoint(uint16_t address, bool state) { points_[address % kStatusPointCount] = state; }

    // The unit's clock: the PC's clock plus an offset that a clock request sets.
    int64_t ClockMs(int64_t pcMs) const { return pcMs + clockOffsetMs_; }
    void SetClockOffset(int64_t offsetMs) { clockOffsetMs_ = offsetMs; }
    int64_t ClockOffset() const { return clockOffsetMs_; }
    void StampNow(int64_t pcMs, uint8_t stamp[6]) const;

    // Event queues. The stamp of status and logged events is the unit's clock
    // at the moment given. Logged events take 12-bit addresses; false when
    // the address does not fit.
    void QueueRegisterChange(uint16_t address, uint32_t value);
    void QueueStatusEvent(uint16_t address, bool state, int64_t pcMs);
    bool QueueLoggedEvent(uint16_t address, uint32_t value, int64_t pcMs);
    void QueueStatusEventStamped(const StatusEvent& event);
    void QueueLoggedEventStamped(const LoggedEvent& event);
    size_t Pending(EventKind kind) const;
    void ClearEvents();
    // Records dropped because a queue was full.
    uint64_t EventsLost() const { return eventsLost_; }

    // Classes of what waits: queued events, and the clock when it wants the time.
    uint8_t WaitingClasses() const;
    bool ClockWanted() const { return clockWanted_; }
    void SetClockWanted(bool wanted) { clockWanted_ = wanted; }

    // Handles one sound message whose destination is this unit. pcMs is the
    // PC's clock now; strict refuses requests whose control byte is not the
    // one the protocol prescribes.
    Outcome Handle(const uint8_t* message, int64_t pcMs, bool strict);
    // Another station was addressed: a request that repeats the last one
    // after this is a new request, not a retry.
    void ForgetLastRequest();
    // The records of the last fetch answer, the first time it is reported
    // as delivered intact; 0 afterwards.
    int TakeDeliveredRecords(EventKind* kind);

    // Report-by-exception state, kept here and driven by the simulator.
    bool exceptionMode = false;
    bool noticeOutstanding = false;  // sent, not yet acknowledged
    uint8_t noticeClass = 0;         // class byte of the outstanding notice
    int64_t noticeSentAt = 0;        // PC ms of its last sending
    int64_t nextNoticeAt = 0;        // no new notice before this PC ms
    int64_t nextClockAskAt = 0;      // PC ms when the unit next wants the time
    uint64_t eventsSent[kEventKinds] = {0, 0, 0};

private:
    Outcome AnswerLinkReset(const uint8_t* m, bool strict);
    Outcome TakeAcknowledgement(const uint8_t* m);
    Outcome AnswerRead(const uint8_t* m);
    Outcome AnswerWriteRegisters(const uint8_t* m);
    Outcome AnswerWriteBit(const uint8_t* m);
    Outcome AnswerSetClock(const uint8_t* m, int64_t pcMs);
    Outcome AnswerFetch(const uint8_t* m, EventKind kind);
    // An answer to request: the header of length and function, to the
    // request's source.
    Outcome Reply(const uint8_t* request, uint8_t length, uint8_t function, const char* note = "") const;

    uint16_t number_;
    uint16_t host_;
    std::vector<uint32_t> registers_;
    std::vector<uint8_t> points_;
    int64_t clockOffsetMs_ = 0;
    std::deque<RegisterChange> changes_;
    std::deque<StatusEvent> statusEvents_;
    std::deque<LoggedEvent> loggedEvents_;
    uint64_t eventsLost_ = 0;
    bool clockWanted_ = false;

    // The last request and, for a fetch, its answer: a request that arrives
    // again byte for byte (same frame-count bit) is a retry, and gets the
    // same records rather than the next ones.
    std::vector<uint8_t> lastRequest_;
    std::vector<uint8_t> lastFetchAnswer_;
    EventKind lastFetchKind_ = EventKind::RegisterChange;
    int lastFetchRecords_ = 0;
    bool lastFetchDelivered_ = false;
};

}  // namespace kivsim
