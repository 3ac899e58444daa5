// kivgate end to end: the real program between kivsim's units on a
// pseudo-terminal and a real broker (mosquitto on a free loopback port),
// watched by an MQTT client subscribed to everything under the prefix. One
// gateway run serves several checks: each start costs the listener's pause.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "tests/gateway/gateway_fixture.h"

#if defined(KIV_KIVGATE_PATH) && defined(KIV_KIVSIM_PATH) && defined(KIV_DRIVER_PATH)

namespace {

using gatewaytest::Field;
using gatewaytest::Gate;
using gatewaytest::HasValue;
using nlohmann::json;

constexpr int kPublishedWithinMs = 20000;  // generous: only a broken run waits this long

// Station 12's gates, one of each kind; 99 plays no unit, and 9300 is no
// register (the driver refuses the address).
const std::vector<Gate> kGates = {
    {"flow", "R00120300", "200", 1, false, 0.5, 1.0},
    {"pump", "R0012030105", "200"},
    {"levels", "R00120400", "300", 4},
    {"limit", "R00120320", "300"},
    {"alarm", "R00120310", "\"exception\""},
    {"door", "S00120007", "\"exception\""},
    {"setpoint", "R00120500", "200", 1, true, 0.1},
    {"enable", "R0012050203", "200", 1, true},
    {"curve", "R00120510", "300", 3, true},
    // Seldom: each poll holds the line for three unanswered tries, and a
    // notice that comes meanwhile is lost to the waiting read.
    {"ghost", "R00990300", "5000"},
    {"bad", "R00129300", "1000"},
};

// Station 12's registers at the start ("register value" lines).
const char kUnitMap[] =
    "300 100\n301 0x20\n310 0\n320 7\n400 40\n401 41\n402 42\n403 43\n500 50\n502 0\n510 0\n511 0\n512 0\n";

// A gate's topic; station 12 unless the name says "99/NAME".
std::string GateTopic(const std::string& name) {
    return name.find('/') != std::string::npos ? "kt/line1/" + name : "kt/line1/12/" + name;
}

// Broker, units, a subscriber to kt/# and the gateway, started in that order
// so that nothing the gateway publishes goes unseen.
class GatewayRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(MosquittoBroker::Installed()) << "mosquitto is not installed (scripts/install-deps)";
        ASSERT_TRUE(broker.Start()) << broker.Log();
        ASSERT_TRUE(WriteBytesFile("units.map", kUnitMap));
        // A notice that comes just before a poll is lost to the poll's read;
        // the unit repeats it, but a repeat every 3 s (the default) would
        // meet the same poll every time (200, 300 and 5000 ms divide 3 s).
        ASSERT_TRUE(kivsim.Start({"--station", "12", "--exception", "12", "--notice-retry", "1100", "--map",
                                  "12:units.map", "--trace-file", "trace.txt"}));
        subscriber.reset(new Subscriber(broker.port(), "kt/#"));
        ASSERT_TRUE(subscriber->Connect());
        ASSERT_TRUE(WriteBytesFile("gateway.toml", gatewaytest::GatewayConfig(broker.port(), kivsim.line(), kGates)));
        ASSERT_TRUE(kivgate.Start("gateway.toml"));
        ASSERT_TRUE(subscriber->WaitFor("kt/status", [](const MqttMessage& m) { return m.payload == "online"; },
                                        kPublishedWithinMs))
            << gatewaytest::Kivgate::Output();
    }
    void TearDown() override {
        if (HasFailure()) {
            const std::vector<std::string> trace = LinesOf(ReadBytesFile("trace.txt"));
            std::string last;
            for (size_t k = trace.size() > 40 ? trace.size() - 40 : 0; k < trace.size(); ++k) last += trace[k] + "\n";
            std::printf("%s\n--- broker:\n%s\n--- the line's last frames:\n%s", gatewaytest::Kivgate::Output().c_str(),
                        broker.Log().c_str(), last.c_str());
        }
        kivgate.Signal(SIGCONT);
        int status = -1;
        kivgate.Terminate(20000, &status);
        kivsim.Quit();
    }

    // Waits for a message on the gate's topic after mark with that value and quality.
    bool GateShows(const std::string& name, const json& value, const std::string& quality, uint64_t mark = 0,
                   const std::string& source = "") {
        return subscriber->WaitFor(
            GateTopic(name),
            [&](const MqttMessage& m) { return m.sequence >= mark && HasValue(m, value, quality, source); },
            kPublishedWithinMs);
    }
    // Whether the unit's line, as kivsim traced it, had a frame whose line
    // holds the pieces in order (waiting for it up to limitMs).
    static bool Traced(const std::vector<std::string>& pieces, int limitMs = kPublishedWithinMs) {
        return gatewaytest::FileHasLine("trace.txt", pieces, limitMs);
    }

    ScratchDirectory scratch{"kiv-gateway"};
    MosquittoBroker broker;
    gatewaytest::Kivsim kivsim;
    std::unique_ptr<Subscriber> subscriber;
    gatewaytest::Kivgate kivgate;
};

TEST_F(GatewayRun, GatesPublishedWrittenAndUpdatedByExceptionAndASilentUnitFails) {
    const struct {
        const char* gate;
        json value;
        const char* quality;
    } published[] = {
        {"flow", 51.0, "good"},  // 100 * 0.5 + 1
        {"pump", 1, "good"},     // bit 5 of 0x20
        {"levels", json::array({40, 41, 42, 43}), "good"},
        {"limit", 7, "good"},
        {"setpoint", 5.0, "good"},  // 50 * 0.1
        {"enable", 0, "good"},
        {"curve", json::array({0, 0, 0}), "good"},
        {"99/ghost", nullptr, "failed"},  // no answer: the value stays null
    };
    for (const auto& row : published) {
        SCOPED_TRACE(row.gate);
        EXPECT_TRUE(GateShows(row.gate, row.value, row.quality)) << subscriber->Last(GateTopic(row.gate)).payload;
    }
    // A station that never answers: the driver's result and its reason.
    MqttMessage ghost = subscriber->Last(GateTopic("99/ghost"));
    EXPECT_EQ(2, Field(ghost, "result")) << ghost.payload;
    EXPECT_TRUE(Field(ghost, "reason").is_string()) << ghost.payload;
    // A refused address: reported, counted, never published.
    EXPECT_TRUE(subscriber->WaitFor(
        "kt/events",
        [](const MqttMessage& m) {
            return Field(m, "event") == "gate refused" && Field(m, "gate") == "bad" &&
                   Field(m, "address") == "R00129300" && Field(m, "reason").is_string();
        },
        kPublishedWithinMs))
        << subscriber->Last("kt/events").payload;
    EXPECT_TRUE(subscriber->WaitFor(
        "kt/line1/status",
        [](const MqttMessage& m) { return Field(m, "gates") == 10 && Field(m, "refused_gates") == 1; },
        kPublishedWithinMs))
        << subscriber->Last("kt/line1/status").payload;

    // Report-by-exception: changes made in the unit reach gates that are
    // never polled, and the channel's events; status events with the unit's
    // time stamp (register changes carry none).
    const struct {
        const char* command;
        const char* gate;  // nullptr: an address no gate names
        const char* address;
        int value;
        bool unitTime;
    } changes[] = {
        {"change 12 310 77", "alarm", "R00120310", 77, false},
        {"status 12 7 1", "door", "S00120007", 1, true},
        {"change 12 333 5", nullptr, "R00120333", 5, false},
    };
    for (const auto& row : changes) {
        SCOPED_TRACE(row.command);
        const uint64_t mark = subscriber->Mark();
        ASSERT_TRUE(kivsim.Command(row.command));
        if (row.gate != nullptr) {
            MqttMessage update;
            EXPECT_TRUE(subscriber->WaitFor(
                GateTopic(row.gate),
                [&](const MqttMessage& m) { return m.sequence >= mark && HasValue(m, row.value, "good", "exception"); },
                kPublishedWithinMs, &update))
                << subscriber->Last(GateTopic(row.gate)).payload;
            EXPECT_EQ(row.unitTime, Field(update, "unit_time").is_string()) << update.payload;
        }
        EXPECT_TRUE(subscriber->WaitFor(
            "kt/line1/events",
            [&](const MqttMessage& m) {
                return m.sequence >= mark && Field(m, "address") == row.address && Field(m, "station") == 12 &&
                       Field(m, "value") == row.value && Field(m, "gate") == (row.gate ? json(row.gate) : json()) &&
                       Field(m, "source") == "exception";
            },
            kPublishedWithinMs))
            << subscriber->Last("kt/line1/events").payload;
    }

    // Writes: what the unit holds after a write that is done, and nothing on
    // the line for one that is refused.
    const struct {
        const char* gate;
        const char* payload;
        const char* result;
        int code;
        int reg;  // the first register written, or 0
        std::vector<long long> registers;  // what the unit holds from reg on afterwards
    } writes[] = {
        {"setpoint", "12.5", "done", 0, 500, {125}},  // unscaled: 12.5 / 0.1
        {"setpoint", "{\"value\": 3}", "done", 0, 500, {30}},
        {"enable", "true", "done", 0, 502, {8}},
        {"curve", "[7, 8, 9]", "done", 0, 510, {7, 8, 9}},
        {"limit", "5", "refused", 1, 320, {7}},        // not writable
        {"nosuch", "5", "refused", 1, 0, {}},          // no such gate
        {"setpoint", "abc", "refused", 1, 500, {30}},  // not a value
        {"clock", "now", "done", 0, 0, {}},
    };
    for (const auto& row : writes) {
        SCOPED_TRACE(std::string(row.gate) + " <- " + row.payload);
        const uint64_t mark = subscriber->Mark();
        ASSERT_TRUE(subscriber->Publish(GateTopic(row.gate) + "/set", row.payload));
        MqttMessage result;
        ASSERT_TRUE(subscriber->WaitFor(
            GateTopic(row.gate) + "/result", [&](const MqttMessage& m) { return m.sequence >= mark; },
            kPublishedWithinMs, &result));
        EXPECT_EQ(row.result, Field(result, "result")) << result.payload;
        EXPECT_EQ(row.code, Field(result, "code")) << result.payload;
        if (row.code != 0) {
            EXPECT_TRUE(Field(result, "reason").is_string()) << result.payload;
        }
        for (size_t k = 0; k < row.registers.size(); ++k)
            EXPECT_EQ(row.registers[k], kivsim.Register(12, row.reg + int(k))) << "register " << row.reg + int(k);
    }
    EXPECT_TRUE(GateShows("setpoint", 3.0, "good", subscriber->Mark()));
    ASSERT_TRUE(Traced({" RX ", "set clock"}));
    EXPECT_FALSE(Traced({" RX ", "write ", " 320="}, 0)) << "a refused write went on the line";

    // A unit that stops answering: its gates fail with "no answer" and come
    // back good when it answers again.
    uint64_t mark = subscriber->Mark();
    ASSERT_TRUE(kivsim.Command("fault drop=1"));
    for (const char* gate : {"flow", "pump", "levels"}) {
        MqttMessage failed;
        EXPECT_TRUE(subscriber->WaitFor(
            GateTopic(gate),
            [&](const MqttMessage& m) { return m.sequence >= mark && Field(m, "quality") == "failed"; },
            kPublishedWithinMs, &failed))
            << gate;
        EXPECT_EQ(2, Field(failed, "result")) << failed.payload;
    }
    EXPECT_TRUE(GateShows("flow", 51.0, "failed", mark)) << "a failed gate keeps its last good value";
    mark = subscriber->Mark();
    ASSERT_TRUE(kivsim.Command("fault off"));
    EXPECT_TRUE(GateShows("flow", 51.0, "good", mark));
    EXPECT_TRUE(GateShows("levels", json::array({40, 41, 42, 43}), "good", mark));
    EXPECT_TRUE(subscriber->On(GateTopic("bad")).empty()) << "a refused gate is never published";
}

// The broker away and back with nothing kept on its disk: the gateway keeps
// reading, and after the restart every topic it had published holds its
// newest value as a retained message, and every event of the outage came
// (fewer than the queue's bound); SIGTERM then leaves "offline" retained.
TEST_F(GatewayRun, BrokerRestartLosesNoLatestValueNorQueuedEventAndSigtermLeavesOffline) {
    ASSERT_TRUE(GateShows("flow", 51.0, "good"));
    ASSERT_TRUE(GateShows("curve", json::array({0, 0, 0}), "good"));
    // The listener takes its first notice after its start pause.
    const uint64_t early = subscriber->Mark();
    ASSERT_TRUE(kivsim.Command("change 12 310 1"));
    ASSERT_TRUE(GateShows("alarm", 1, "good", early, "exception"));
    std::vector<std::string> before = subscriber->Topics();

    ASSERT_TRUE(broker.Stop());
    ASSERT_TRUE(kivsim.Command("reg 12 300 300"));  // flow polled: 151
    ASSERT_TRUE(kivsim.Command("change 12 310 88"));  // alarm by exception
    const int kEvents = 30;
    ASSERT_TRUE(kivsim.Command("events 12 change " + std::to_string(kEvents) + " 700"));
    ASSERT_TRUE(Traced({" TX ", "from reg=300: 300"})) << "the gateway stopped polling without its broker";
    ASSERT_TRUE(WaitUntil([&] { return kivsim.NothingPending(12); }, kPublishedWithinMs))
        << "the gateway stopped fetching events without its broker";

    // The subscriber back on the broker before the gateway, which waits
    // stopped meanwhile, so that no event goes out to nobody.
    ASSERT_TRUE(kivgate.Signal(SIGSTOP));
    const int subscriptions = subscriber->Subscriptions();
    ASSERT_TRUE(broker.Start()) << broker.Log();
    ASSERT_TRUE(subscriber->WaitSubscribed(subscriptions + 1));
    const uint64_t back = subscriber->Mark();
    ASSERT_TRUE(kivgate.Signal(SIGCONT));
    ASSERT_TRUE(subscriber->WaitFor(
        "kt/status", [&](const MqttMessage& m) { return m.sequence >= back && m.payload == "online"; },
        kPublishedWithinMs));

    for (int k = 1; k <= kEvents; ++k) {
        char address[32];
        std::snprintf(address, sizeof address, "R0012%04d", 700 + k - 1);
        EXPECT_TRUE(subscriber->WaitFor(
            "kt/line1/events",
            [&](const MqttMessage& m) {
                return m.sequence >= back && Field(m, "address") == address && Field(m, "value") == k;
            },
            kPublishedWithinMs))
            << "event " << address << " lost";
    }
    EXPECT_TRUE(GateShows("flow", 151.0, "good", back));
    EXPECT_TRUE(GateShows("alarm", 88, "good", back));
    for (const MqttMessage& m : subscriber->On("kt/events"))
        EXPECT_NE("events dropped", Field(m, "event")) << m.payload;

    // Every topic published before the outage, retained again, newest value.
    for (const std::string& topic : before) {
        if (topic == "kt/status" || topic.find("/events") != std::string::npos) continue;
        EXPECT_TRUE(subscriber->WaitFor(
            topic, [&](const MqttMessage& m) { return m.sequence >= back; }, kPublishedWithinMs))
            << topic << " not published again";
    }
    Subscriber fresh(broker.port(), "kt/#");
    ASSERT_TRUE(fresh.Connect());
    for (const std::string& topic : before) {
        if (topic.find("/events") != std::string::npos || topic.find("/result") != std::string::npos) continue;
        EXPECT_TRUE(fresh.WaitFor(topic, [](const MqttMessage& m) { return m.retain; }, 5000))
            << topic << " lost its retained value";
    }
    EXPECT_TRUE(fresh.WaitFor(GateTopic("flow"), [](const MqttMessage& m) { return HasValue(m, 151.0, "good"); },
                              5000))
        << fresh.Last(GateTopic("flow")).payload;
    EXPECT_TRUE(fresh.WaitFor(GateTopic("alarm"), [](const MqttMessage& m) { return HasValue(m, 88, "good"); }, 5000))
        << fresh.Last(GateTopic("alarm")).payload;

    int status = -1;
    ASSERT_TRUE(kivgate.Terminate(20000, &status)) << "SIGTERM did not end the gateway";
    EXPECT_EQ(0, status);
    Subscriber after(broker.port(), "kt/status");
    ASSERT_TRUE(after.Connect());
    EXPECT_TRUE(after.WaitFor(
        "kt/status", [](const MqttMessage& m) { return m.retain && m.payload == "offline"; }, 5000))
        << after.Last("kt/status").payload;
}

// A file with mistakes: the gateway does not start, exits 5 and names each
// mistake with the file and its line.
TEST(KivgateConfig, MistakesExitFiveNamingFileAndLine) {
    ScratchDirectory scratch("kiv-gateway-config");
    ASSERT_TRUE(WriteBytesFile("bad.toml",
                               "[broker]\n"
                               "host = \"127.0.0.1\"\n"
                               "prot = 1883\n"  // line 3: no such key
                               "\n"
                               "[[channel]]\n"
                               "name = \"line1\"\n"
                               "port = \"/dev/null\"\n"
                               "\n"
                               "[[channel.gate]]\n"
                               "name = \"flow\"\n"
                               "address = \"R00120300\"\n"
                               "poll = true\n"));  // line 12: not an interval
    gatewaytest::Kivgate kivgate;
    ASSERT_TRUE(kivgate.Start("bad.toml"));
    int status = -1;
    ASSERT_TRUE(kivgate.WaitExit(20000, &status)) << "the gateway started with a bad file";
    const std::string errors = ReadBytesFile("kivgate.err");
    EXPECT_EQ(5, status) << gatewaytest::Kivgate::Output();
    EXPECT_NE(std::string::npos, errors.find("bad.toml:3:")) << errors;
    EXPECT_NE(std::string::npos, errors.find("bad.toml:12:")) << errors;
}

}  // namespace

#endif
