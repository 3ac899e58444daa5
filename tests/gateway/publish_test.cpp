// kivgate's topics and payloads: one table of what each Publisher call puts
// in the outbox, one of /set payloads read for a gate, one of /set topics,
// and one of ISO times in several zones.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/time_zone.h"
#include "tools/kivgate/broker_session.h"
#include "tools/kivgate/publish.h"

namespace {

using namespace kivgate;
using Json = nlohmann::ordered_json;

constexpr int64_t kMoment = 1781092800123;  // 2026-06-10 12:00:00.123 UTC
constexpr int32_t kUnitSecond = 1781092790;  // ten seconds before

// The zone for a test's length; the machine's afterwards.
class ZoneFor {
public:
    explicit ZoneFor(const char* zone) {
        const char* was = std::getenv("TZ");
        had_ = was != nullptr;
        if (had_) saved_ = was;
        SetZone(zone);
    }
    ~ZoneFor() {
        if (had_) {
            SetZone(saved_.c_str());
        } else {
            unsetenv("TZ");
            tzset();
        }
    }

private:
    bool had_ = false;
    std::string saved_;
};

BrokerSettings Broker() {
    BrokerSettings broker;
    broker.prefix = "plant/gw";
    broker.qos = 2;
    return broker;
}

ChannelSettings Line() {
    ChannelSettings channel;
    channel.name = "line1";
    return channel;
}

GateSettings Gate(const std::string& name, int32_t count = 1, int32_t bit = KivWholeRegister, double scale = 1,
                  double offset = 0) {
    GateSettings gate;
    gate.name = name;
    gate.station = 12;
    gate.number = 300;
    gate.count = count;
    gate.bit = bit;
    gate.scale = scale;
    gate.offset = offset;
    return gate;
}

GateReading Reading(std::vector<double> values, Quality quality = Quality::Good, int32_t result = 0,
                    const std::string& reason = "", Source source = Source::Poll, int32_t unitTime = 0) {
    GateReading reading;
    reading.values = std::move(values);
    reading.quality = quality;
    reading.result = result;
    reading.reason = reason;
    reading.timeMs = kMoment;
    reading.source = source;
    reading.unitTime = unitTime;
    reading.unitMs = unitTime != 0 ? 250 : 0;
    return reading;
}

ChannelStatus LineStatus(const std::string& lastError) {
    ChannelStatus status;
    status.state = lastError.empty() ? "working" : "port failed";
    status.port = "ttyUSB0";
    status.requests = 10;
    status.done = 8;
    status.failures = 2;
    status.lastError = lastError;
    status.lastErrorMs = lastError.empty() ? 0 : kMoment;
    status.gates = 3;
    status.refusedGates = 1;
    return status;
}

WriteResult Written(int32_t result, const std::string& reason, std::vector<double> values) {
    WriteResult written;
    written.result = result;
    written.reason = reason;
    written.values = std::move(values);
    return written;
}

struct PublishCase {
    const char* name;
    std::function<void(Publisher&)> publish;
    std::string topic;
    int qos;
    bool retain;
    std::string payload;  // "*" stands for the time of the call, which must be ISO
};

const char* kNow = "\"*\"";
const char* kTime = "\"2026-06-10T12:00:00.123+00:00\"";
const char* kUnit = "\"2026-06-10T11:59:50.250+00:00\"";

std::vector<PublishCase> PublishCases() {
    const GateSettings flow = Gate("flow");
    const std::string at = std::string(",\"time\":") + kTime;
    return {
        {"good value", [=](Publisher& p) { p.GateValue(Line(), flow, Reading({1.5})); }, "plant/gw/line1/12/flow", 2,
         true, "{\"value\":1.5,\"quality\":\"good\",\"result\":0" + at + ",\"source\":\"poll\"}"},
        {"scaled values in few digits", [=](Publisher& p) { p.GateValue(Line(), flow, Reading({3 * 0.1})); },
         "plant/gw/line1/12/flow", 2, true, "{\"value\":0.3,\"quality\":\"good\",\"result\":0" + at + ",\"source\":\"poll\"}"},
        {"whole values without a fraction", [=](Publisher& p) { p.GateValue(Line(), flow, Reading({7.0})); },
         "plant/gw/line1/12/flow", 2, true, "{\"value\":7,\"quality\":\"good\",\"result\":0" + at + ",\"source\":\"poll\"}"},
        {"failed keeps the last good value",
         [=](Publisher& p) { p.GateValue(Line(), flow, Reading({4}, Quality::Failed, 2, "no answer")); },
         "plant/gw/line1/12/flow", 2, true,
         "{\"value\":4,\"quality\":\"failed\",\"result\":2,\"reason\":\"no answer\"" + at + ",\"source\":\"poll\"}"},
        {"failed before any good read",
         [=](Publisher& p) { p.GateValue(Line(), flow, Reading({}, Quality::Failed, 1, "refused")); },
         "plant/gw/line1/12/flow", 2, true,
         "{\"value\":null,\"quality\":\"failed\",\"result\":1,\"reason\":\"refused\"" + at + ",\"source\":\"poll\"}"},
        {"stale", [=](Publisher& p) { p.GateValue(Line(), flow, Reading({4}, Quality::Stale)); },
         "plant/gw/line1/12/flow", 2, true, "{\"value\":4,\"quality\":\"stale\",\"result\":0" + at + ",\"source\":\"poll\"}"},
        {"block", [](Publisher& p) { p.GateValue(Line(), Gate("tank", 3), Reading({1, 2.5, -3})); },
         "plant/gw/line1/12/tank", 2, true,
         "{\"value\":[1,2.5,-3],\"quality\":\"good\",\"result\":0" + at + ",\"source\":\"poll\"}"},
        {"bit", [](Publisher& p) { p.GateValue(Line(), Gate("pump", 1, 5), Reading({1})); }, "plant/gw/line1/12/pump",
         2, true, "{\"value\":1,\"quality\":\"good\",\"result\":0" + at + ",\"source\":\"poll\"}"},
        {"exception with the unit's time",
         [=](Publisher& p) { p.GateValue(Line(), flow, Reading({2}, Quality::Good, 0, "", Source::Exception, kUnitSecond)); },
         "plant/gw/line1/12/flow", 2, true,
         "{\"value\":2,\"quality\":\"good\",\"result\":0" + at + ",\"unit_time\":" + kUnit + ",\"source\":\"exception\"}"},
        {"unit event of a gate",
         [](Publisher& p) {
             GateSettings door = Gate("door");
             p.UnitEvent(Line(), &door, 12, AreaStatus, 7, KivWholeRegister,
                         Reading({1}, Quality::Good, 0, "", Source::Exception, kUnitSecond));
         },
         "plant/gw/line1/events", 1, false,
         "{\"address\":\"S00120007\",\"station\":12,\"gate\":\"door\",\"value\":1,\"unit_time\":" + std::string(kUnit) +
             at + ",\"source\":\"exception\"}"},
        {"unit event no gate names",
         [](Publisher& p) {
             p.UnitEvent(Line(), nullptr, 12, AreaRegister, 301, 5, Reading({0}, Quality::Good, 0, "", Source::EventFetch));
         },
         "plant/gw/line1/events", 1, false,
         "{\"address\":\"R0012030105\",\"station\":12,\"gate\":null,\"value\":0,\"unit_time\":null" + at +
             ",\"source\":\"event fetch\"}"},
        {"status with an error", [](Publisher& p) { p.Status(Line(), LineStatus("no answer")); },
         "plant/gw/line1/status", 2, true,
         "{\"state\":\"port failed\",\"port\":\"ttyUSB0\",\"requests\":10,\"done\":8,\"failures\":2,"
         "\"last_error\":\"no answer\",\"last_error_time\":" + std::string(kTime) +
             ",\"gates\":3,\"refused_gates\":1,\"time\":" + kNow + "}"},
        {"status without an error", [](Publisher& p) { p.Status(Line(), LineStatus("")); }, "plant/gw/line1/status", 2,
         true,
         "{\"state\":\"working\",\"port\":\"ttyUSB0\",\"requests\":10,\"done\":8,\"failures\":2,\"last_error\":null,"
         "\"last_error_time\":null,\"gates\":3,\"refused_gates\":1,\"time\":" + std::string(kNow) + "}"},
        {"write done", [=](Publisher& p) { p.Result(Line(), flow, Written(0, "", {12.5})); },
         "plant/gw/line1/12/flow/result", 2, false,
         "{\"result\":\"done\",\"code\":0,\"value\":12.5,\"time\":" + std::string(kNow) + "}"},
        {"write refused", [](Publisher& p) { p.Result(Line(), Gate("tank", 2), Written(1, "not writable", {1, 2})); },
         "plant/gw/line1/12/tank/result", 2, false,
         "{\"result\":\"refused\",\"code\":1,\"reason\":\"not writable\",\"value\":[1,2],\"time\":" + std::string(kNow) + "}"},
        {"write without answer", [=](Publisher& p) { p.Result(Line(), flow, Written(2, "no answer", {})); },
         "plant/gw/line1/12/flow/result", 2, false,
         "{\"result\":\"no answer\",\"code\":2,\"reason\":\"no answer\",\"value\":null,\"time\":" + std::string(kNow) + "}"},
        {"clock set", [](Publisher& p) { p.ClockResult(Line(), 12, Written(0, "", {})); }, "plant/gw/line1/12/clock/result",
         2, false, "{\"result\":\"done\",\"code\":0,\"value\":null,\"time\":" + std::string(kNow) + "}"},
        {"gateway event",
         [](Publisher& p) { p.GatewayEvent("gate refused", "{\"channel\":\"line1\",\"gate\":\"x\",\"reason\":\"bad\"}"); },
         "plant/gw/events", 1, false,
         "{\"event\":\"gate refused\",\"channel\":\"line1\",\"gate\":\"x\",\"reason\":\"bad\",\"time\":" +
             std::string(kNow) + "}"},
        {"gateway event with fields not JSON", [](Publisher& p) { p.GatewayEvent("reload", "3 channels"); },
         "plant/gw/events", 1, false,
         "{\"event\":\"reload\",\"detail\":\"3 channels\",\"time\":" + std::string(kNow) + "}"},
    };
}

TEST(Publisher, PutsEachReportOnItsTopicAsJson) {
    ZoneFor zone("UTC0");
    const std::regex iso("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d");
    for (const PublishCase& row : PublishCases()) {
        SCOPED_TRACE(row.name);
        Outbox outbox;
        Publisher publisher(outbox, Broker());
        row.publish(publisher);
        const std::vector<Message> sent = outbox.Take(0);
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].topic, row.topic);
        EXPECT_EQ(sent[0].qos, row.qos);
        EXPECT_EQ(sent[0].retain, row.retain);
        const Json actual = Json::parse(sent[0].payload);
        Json expected = Json::parse(row.payload);
        for (auto& field : expected.items()) {
            if (field.value() != "*") continue;
            ASSERT_TRUE(actual.contains(field.key()) && actual[field.key()].is_string()) << field.key();
            EXPECT_TRUE(std::regex_match(actual[field.key()].get<std::string>(), iso)) << actual[field.key()];
            field.value() = actual[field.key()];
        }
        EXPECT_EQ(actual.dump(), expected.dump());
    }
}

struct SetCase {
    const char* payload;
    GateSettings gate;
    std::vector<int32_t> raw;   // empty: refused
    std::vector<double> asked;
    const char* why;            // part of the reason of a refusal
};

TEST(ParseSetValue, TakesTheFormsAGateAllowsAndRefusesTheRest) {
    const GateSettings reg = Gate("flow");
    const GateSettings block = Gate("tank", 3);
    const GateSettings bit = Gate("pump", 1, 5);
    const std::string nested = std::string(8000, '[') + "1" + std::string(8000, ']');
    const std::vector<SetCase> cases = {
        {"12", reg, {12}, {12}, ""},
        {" -5\n", reg, {-5}, {-5}, ""},
        {"{\"value\": 7}", reg, {7}, {7}, ""},
        {"[9]", reg, {9}, {9}, ""},
        {"2.5", reg, {3}, {2.5}, ""},
        {"-2.5", reg, {-3}, {-2.5}, ""},
        {"1.5", Gate("scaled", 1, KivWholeRegister, 0.5, 1), {1}, {1.5}, ""},
        {"0.3", Gate("tenths", 1, KivWholeRegister, 0.1), {3}, {0.3}, ""},
        {"2147483647", reg, {2147483647}, {2147483647.0}, ""},
        {"[1, 2, 3]", block, {1, 2, 3}, {1, 2, 3}, ""},
        {"{\"value\":[4,5,6]}", block, {4, 5, 6}, {4, 5, 6}, ""},
        {"true", bit, {1}, {1}, ""},
        {"false", bit, {0}, {0}, ""},
        {"1", bit, {1}, {1}, ""},
        {"{\"value\":false}", bit, {0}, {0}, ""},
        {"2", bit, {}, {}, "a bit takes 0 or 1"},
        {"true", reg, {}, {}, "true/false is for bit gates"},
        {"[1,2]", block, {}, {}, "takes 3 values, not 2"},
        {"5", block, {}, {}, "block of 3 registers"},
        {"[1,\"x\",3]", block, {}, {}, "not a number"},
        {"", reg, {}, {}, "no value given"},
        {"  ", reg, {}, {}, "no value given"},
        {"abc", reg, {}, {}, "not a number, true/false"},
        {"12 13", reg, {}, {}, "not a number, true/false"},
        {"\"12\"", reg, {}, {}, "not a number"},
        {"null", reg, {}, {}, "not a number"},
        {"{\"val\":1}", reg, {}, {}, "{\"value\": ...} alone"},
        {"{\"value\":1,\"x\":2}", reg, {}, {}, "{\"value\": ...} alone"},
        {"{\"value\":{\"value\":1}}", reg, {}, {}, "{\"value\": ...} alone"},
        {"2147483648", reg, {}, {}, "out of the register's range"},
        {"-1e12", reg, {}, {}, "out of the register's range"},
        {"1e400", reg, {}, {}, "not a number, true/false"},
        {"1", Gate("unscalable", 1, KivWholeRegister, 0), {}, {}, "cannot be written"},
        {nested.c_str(), reg, {}, {}, "nested too deeply"},
        {"[[1]]", reg, {}, {}, "not a number"},
        {"{\"value\":[[1]]}", reg, {}, {}, "nested too deeply"},
        {"[\"[[[\"]", reg, {}, {}, "not a number"},
        {"", Gate("long"), {}, {}, "too long"},  // payload below
    };
    for (const SetCase& row : cases) {
        const std::string payload = row.gate.name == "long" ? "[" + std::string(20000, ' ') + "1]" : row.payload;
        SCOPED_TRACE(payload.substr(0, 40) + " for " + row.gate.name);
        std::vector<int32_t> raw = {99};
        std::vector<double> asked = {99};
        std::string error;
        const bool taken = ParseSetValue(payload, row.gate, &raw, &asked, &error);
        EXPECT_EQ(taken, !row.raw.empty()) << error;
        EXPECT_EQ(raw, row.raw);
        EXPECT_EQ(asked, row.asked);
        EXPECT_NE(error.find(row.why), std::string::npos) << error;
    }
}

TEST(ParseSetTopic, ReadsChannelStationAndNameOfASetOnly) {
    struct TopicCase {
        const char* topic;
        const char* read;  // "CHANNEL STATION NAME", or "" when passed over
    };
    const std::vector<TopicCase> cases = {
        {"plant/gw/line1/12/flow/set", "line1 12 flow"},
        {"plant/gw/line1/0012/clock/set", "line1 12 clock"},
        {"plant/gw/line-2/9999/a.b_c/set", "line-2 9999 a.b_c"},
        {"plant/gw/line1/0/x/set", "line1 0 x"},
        {"plant/gw/line1/10000/flow/set", ""},
        {"plant/gw/line1/999999999999/flow/set", ""},
        {"plant/gw/line1/-1/flow/set", ""},
        {"plant/gw/line1/x12/flow/set", ""},
        {"plant/gw/line1//flow/set", ""},
        {"plant/gw//12/flow/set", ""},
        {"plant/gw/line1/12//set", ""},
        {"plant/gw/line1/12/flow/result", ""},
        {"plant/gw/line1/12/set", ""},
        {"plant/gw/line1/12/flow/x/set", ""},
        {"plant/gwx/line1/12/flow/set", ""},
        {"plant/line1/12/flow/set", ""},
        {"other/gw/line1/12/flow/set", ""},
    };
    for (const TopicCase& row : cases) {
        SCOPED_TRACE(row.topic);
        std::string channel = "?";
        std::string name = "?";
        int32_t station = -1;
        const bool read = ParseSetTopic("plant/gw", row.topic, &channel, &station, &name);
        EXPECT_EQ(read ? channel + " " + std::to_string(station) + " " + name : "", row.read);
    }
}

TEST(IsoTime, WritesMillisecondsAndTheLocalOffset) {
    struct TimeCase {
        const char* zone;
        int64_t ms;
        const char* text;
    };
    const std::vector<TimeCase> cases = {
        {"UTC0", kMoment, "2026-06-10T12:00:00.123+00:00"},
        {"<+0530>-5:30", kMoment, "2026-06-10T17:30:00.123+05:30"},
        {"<-03>3", kMoment, "2026-06-10T09:00:00.123-03:00"},
        {"<+01>-1", 1796904000000, "2026-12-10T13:00:00.000+01:00"},
        {"UTC0", 0, "1970-01-01T00:00:00.000+00:00"},
        {"UTC0", -1, "1969-12-31T23:59:59.999+00:00"},
        {"UTC0", 999, "1970-01-01T00:00:00.999+00:00"},
    };
    for (const TimeCase& row : cases) {
        SCOPED_TRACE(std::string(row.zone) + " " + std::to_string(row.ms));
        ZoneFor zone(row.zone);
        EXPECT_EQ(IsoTime(row.ms), row.text);
    }
}

}  // namespace
