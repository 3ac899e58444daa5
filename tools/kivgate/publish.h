// What a channel tells the broker's side, in the channel's own words; the
// topics and JSON payloads are made here and land in the outbox. Every call
// only takes the outbox's lock: a channel never waits on the broker.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/kivgate/outbox.h"
#include "tools/kivgate/settings.h"

namespace kivgate {

// Where a gate's value came from.
enum class Source { Poll, Exception, EventFetch };
enum class Quality { Good, Failed, Stale };

// One gate's value as a channel read it, or why it could not.
struct GateReading {
    std::vector<double> values;  // scaled; one for a register, bit or status point, count for a block
    Quality quality = Quality::Good;
    int32_t result = 0;          // the driver's result: 0 done, 1 refused, 2 no answer
    std::string reason;          // why not done ("" when done)
    int64_t timeMs = 0;          // wall clock of the reading, ms since 1970
    int32_t unitTime = 0;        // the unit's own time stamp (calendar seconds) of an event, 0 when none
    int32_t unitMs = 0;
    Source source = Source::Poll;
};

// A channel's line, as its status topic tells it.
struct ChannelStatus {
    std::string state;           // "starting", "working", "failing", "port failed", "closed"
    std::string port;
    uint64_t requests = 0;       // driver calls that went to the line
    uint64_t done = 0;
    uint64_t failures = 0;       // refused or no answer
    std::string lastError;       // "" when none yet
    int64_t lastErrorMs = 0;
    int gates = 0;               // gates running
    int refusedGates = 0;        // gates the driver's address commands refused at start
};

// A write's or a clock setting's result.
struct WriteResult {
    int32_t result = 0;          // 0 done, 1 refused, 2 no answer
    std::string reason;
    std::vector<double> values;  // what was asked to be written (scaled), empty when it did not parse
};

// The topics: PREFIX/status, PREFIX/events, PREFIX/CHANNEL/status,
// PREFIX/CHANNEL/events, PREFIX/CHANNEL/STATION/NAME (and /set, /result),
// PREFIX/CHANNEL/STATION/clock/set and /result.
class Publisher {
public:
    Publisher(Outbox& outbox, const BrokerSettings& broker) : outbox_(outbox), broker_(broker) {}

    void GateValue(const ChannelSettings& channel, const GateSettings& gate, const GateReading& reading);
    // An update the listener or an event fetch put into the runtime, on the
    // channel's events topic (gate may be null: an address no gate names).
    void UnitEvent(const ChannelSettings& channel, const GateSettings* gate, int32_t station, int32_t area,
                   int32_t number, int32_t bit, const GateReading& reading);
    void Status(const ChannelSettings& channel, const ChannelStatus& status);
    void Result(const ChannelSettings& channel, const GateSettings& gate, const WriteResult& result);
    void ClockResult(const ChannelSettings& channel, int32_t station, const WriteResult& result);
    // The gateway's own events (a gate refused at start, events dropped, a
    // reload): kind and the fields as JSON object text ("{...}").
    void GatewayEvent(const std::string& kind, const std::string& fieldsJson);

    // Topic text.
    std::string GateTopic(const ChannelSettings& channel, const GateSettings& gate) const;
    std::string StatusTopic() const;  // PREFIX/status: "online" / "offline", retained, the last will

private:
    Outbox& outbox_;
    BrokerSettings broker_;
};

// A /set payload for a gate of count registers (a bit gate takes 0/1,
// true/false): a number, a JSON array of count numbers, or {"value": ...}.
// Unscaled to raw values ((v - offset) / scale, rounded). false with why.
bool ParseSetValue(const std::string& payload, const GateSettings& gate, std::vector<int32_t>* raw,
                   std::vector<double>* asked, std::string* error);

// ISO 8601 with the local offset and milliseconds: 2026-12-10T12:00:00.123+01:00.
std::string IsoTime(int64_t ms);

}  // namespace kivgate
