// The gateway's topics and JSON payloads: what a channel read, its line's
// state, a write's result and the gateway's own events, put in the outbox.
#include "tools/kivgate/publish.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <nlohmann/json.hpp>

namespace kivgate {

namespace {

using Json = nlohmann::ordered_json;  // fields in the order people read them

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A scaled value: whole numbers without a fraction, others in at most 12
// significant digits (raw * 0.1 is 0.30000000000000004 in full).
Json Number(double value) {
    if (!std::isfinite(value)) return nullptr;
    char text[32];
    std::snprintf(text, sizeof text, "%.12g", value);
    const double shown = std::strtod(text, nullptr);
    if (std::fabs(shown) < 9.0e15 && std::nearbyint(shown) == shown) return static_cast<int64_t>(shown);
    return shown;
}

// One value, a block's array, or null when there is none yet.
Json Values(const std::vector<double>& values, bool block) {
    if (values.empty()) return nullptr;
    if (!block && values.size() == 1) return Number(values.front());
    Json array = Json::array();
    for (double value : values) array.push_back(Number(value));
    return array;
}

const char* SourceName(Source source) {
    switch (source) {
        case Source::Exception: return "exception";
        case Source::EventFetch: return "event fetch";
        case Source::Poll: break;
    }
    return "poll";
}

const char* QualityName(Quality quality) {
    switch (quality) {
        case Quality::Failed: return "failed";
        case Quality::Stale: return "stale";
        case Quality::Good: break;
    }
    return "good";
}

const char* ResultName(int32_t result) {
    if (result == 0) return "done";
    return result == 2 ? "no answer" : "refused";
}

Json UnitTime(const GateReading& reading) {
    if (reading.unitTime == 0) return nullptr;
    return IsoTime(static_cast<int64_t>(reading.unitTime) * 1000 + reading.unitMs);
}

std::string ReadingTime(const GateReading& reading) { return IsoTime(reading.timeMs != 0 ? reading.timeMs : NowMs()); }

// The address as the driver writes it: R00120300, R0012030005, S00120007, !L0012.
std::string AddressText(int32_t station, int32_t area, int32_t number, int32_t bit) {
    char text[32];
    if (area == AreaRegister || area == AreaStatus) {
        const char letter = area == AreaRegister ? 'R' : 'S';
        if (area == AreaRegister && bit != KivWholeRegister) {
            std::snprintf(text, sizeof text, "%c%04d%04d%02d", letter, station, number, bit);
        } else {
            std::snprintf(text, sizeof text, "%c%04d%04d", letter, station, number);
        }
    } else {
        std::snprintf(text, sizeof text, "!%c%04d", static_cast<char>(area), station);
    }
    return text;
}

Json ResultPayload(const WriteResult& result) {
    Json payload;
    payload["result"] = ResultName(result.result);
    payload["code"] = result.result;
    if (result.result != 0) payload["reason"] = result.reason;
    payload["value"] = Values(result.values, false);
    payload["time"] = IsoTime(NowMs());
    return payload;
}

}  // namespace

void Publisher::GateValue(const ChannelSettings& channel, const GateSettings& gate, const GateReading& reading) {
    Json payload;
    payload["value"] = Values(reading.values, gate.count > 1);
    payload["quality"] = QualityName(reading.quality);
    payload["result"] = reading.result;
    if (reading.result != 0) payload["reason"] = reading.reason;
    payload["time"] = ReadingTime(reading);
    if (reading.unitTime != 0) payload["unit_time"] = UnitTime(reading);
    payload["source"] = SourceName(reading.source);
    outbox_.SetLatest(GateTopic(channel, gate), payload.dump(), broker_.qos);
}

void Publisher::UnitEvent(const ChannelSettings& channel, const GateSettings* gate, int32_t station, int32_t area,
                          int32_t number, int32_t bit, const GateReading& reading) {
    Json payload;
    payload["address"] = AddressText(station, area, number, bit);
    payload["station"] = station;
    payload["gate"] = gate != nullptr ? Json(gate->name) : Json(nullptr);
    payload["value"] = Values(reading.values, false);  // one register's update: one value
    payload["unit_time"] = UnitTime(reading);
    payload["time"] = ReadingTime(reading);
    payload["source"] = SourceName(reading.source);
    outbox_.Queue(broker_.prefix + "/" + channel.name + "/events", payload.dump(), 1);
}

void Publisher::Status(const ChannelSettings& channel, const ChannelStatus& status) {
    Json payload;
    payload["state"] = status.state;
    payload["port"] = status.port;
    payload["requests"] = status.requests;
    payload["done"] = status.done;
    payload["failures"] = status.failures;
    payload["last_error"] = status.lastError.empty() ? Json(nullptr) : Json(status.lastError);
    payload["last_error_time"] = status.lastErrorMs != 0 ? Json(IsoTime(status.lastErrorMs)) : Json(nullptr);
    payload["gates"] = status.gates;
    payload["refused_gates"] = status.refusedGates;
    payload["time"] = IsoTime(NowMs());
    outbox_.SetLatest(broker_.prefix + "/" + channel.name + "/status", payload.dump(), broker_.qos);
}

// Results go at QoS 1 at least: a write's outcome lost would leave its asker guessing.
void Publisher::Result(const ChannelSettings& channel, const GateSettings& gate, const WriteResult& result) {
    outbox_.Queue(GateTopic(channel, gate) + "/result", ResultPayload(result).dump(), std::max(1, broker_.qos));
}

void Publisher::ClockResult(const ChannelSettings& channel, int32_t station, const WriteResult& result) {
    const std::string topic = broker_.prefix + "/" + channel.name + "/" + std::to_string(station) + "/clock/result";
    outbox_.Queue(topic, ResultPayload(result).dump(), std::max(1, broker_.qos));
}

void Publisher::GatewayEvent(const std::string& kind, const std::string& fieldsJson) {
    Json payload;
    payload["event"] = kind;
    Json fields = Json::parse(fieldsJson, nullptr, false);
    if (fields.is_object()) {
        for (auto& field : fields.items()) {
            if (field.key() != "event") payload[field.key()] = field.value();
        }
    } else if (!fieldsJson.empty()) {
        payload["detail"] = fieldsJson;  // not an object: kept as text rather than lost
    }
    if (!payload.contains("time")) payload["time"] = IsoTime(NowMs());
    outbox_.Queue(broker_.prefix + "/events", payload.dump(), 1);
}

std::string Publisher::GateTopic(const ChannelSettings& channel, const GateSettings& gate) const {
    return broker_.prefix + "/" + channel.name + "/" + std::to_string(gate.station) + "/" + gate.name;
}

std::string Publisher::StatusTopic() const { return broker_.prefix + "/status"; }

std::string IsoTime(int64_t ms) {
    int64_t seconds = ms / 1000;
    int64_t milliseconds = ms % 1000;
    if (milliseconds < 0) {
        milliseconds += 1000;
        --seconds;
    }
    const time_t moment = static_cast<time_t>(seconds);
    struct tm local = {};
    localtime_r(&moment, &local);
    const long offset = local.tm_gmtoff;
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(milliseconds), offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return text;
}

}  // namespace kivgate
