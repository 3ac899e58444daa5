// One kivgate channel in-process: the real driver on a pseudo-terminal with a
// scripted unit on the other end, and what the channel published read back
// from the outbox.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/tavrik.h"
#include "tavlib/tavlib_control.h"
#include "tests/support/line_pair.h"
#include "tests/support/responder.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/scripted_unit.h"
#include "tests/support/wait_until.h"
#include "tools/kivgate/channel.h"

#if defined(KIV_DRIVER_PATH)

namespace {

using Json = nlohmann::json;
using kivgate::GateSettings;

constexpr int32_t kStation = 12;

GateSettings Gate(const std::string& name, const std::string& address, int32_t number, int32_t count = 1,
                  int32_t bit = KivWholeRegister, bool writable = false) {
    GateSettings gate;
    gate.name = name;
    gate.address = address;
    gate.station = kStation;
    gate.number = number;
    gate.count = count;
    gate.bit = bit;
    gate.kind = bit == KivWholeRegister ? 3 : 6;
    gate.writable = writable;
    gate.pollMs = 200;
    return gate;
}

// Every message the channel put in the outbox, by topic, in order.
class Published {
public:
    explicit Published(kivgate::Outbox& outbox) : outbox_(outbox) {}
    // Waits until a message on topic satisfies test; true when one did.
    bool WaitFor(const std::string& topic, const std::function<bool(const Json&)>& test) {
        return WaitUntil([&] {
            for (kivgate::Message& message : outbox_.Take(0)) byTopic_[message.topic].push_back(message.payload);
            for (const std::string& payload : byTopic_[topic])
                if (test(Json::parse(payload, nullptr, false))) return true;
            return false;
        }, 15000);
    }
    std::vector<std::string> Payloads(const std::string& topic) { return byTopic_[topic]; }

private:
    kivgate::Outbox& outbox_;
    std::map<std::string, std::vector<std::string>> byTopic_;
};

class GatewayChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        KIV_NEED_LINE(line);
        responder.reset(new Responder(line, [this](const ReceivedFrame& frame) {
            if (silent || !frame.complete || !frame.crcOk) return std::vector<Bytes>();
            return unit.FramesFor(frame.message);
        }));
        settings.name = "line1";
        settings.number = 1;
        settings.port = line.driverPort();
        settings.readTimeout = 30;
        settings.gates = {Gate("temp", "R00120300", 300), Gate("flag", "R0012030105", 301, 1, 5),
                          Gate("block", "R00120310", 310, 3), Gate("setpoint", "R00120400", 400, 1, 255, true),
                          Gate("switch", "R0012040203", 402, 1, 3, true), Gate("fixed", "R00120401", 401),
                          Gate("bad", "R0012950", 950)};
        settings.gates[0].scale = 0.1;
        auto lock = unit.Lock();
        unit.registers = {{300, 125}, {301, 1u << 5}, {310, 1}, {311, 2}, {312, 3}};
    }
    void TearDown() override {
        channel.reset();
        responder.reset();
    }
    void Start() {
        channel.reset(new kivgate::Channel(settings, KIV_DRIVER_PATH, publisher));
        std::string error;
        ASSERT_TRUE(channel->Start(&error)) << error;
    }
    std::string Topic(const std::string& name) { return "kg/line1/12/" + name; }
    // The frames the unit got with this opcode.
    size_t Requests(uint8_t opcode) {
        auto lock = unit.Lock();
        size_t count = 0;
        for (const Bytes& message : unit.requests)
            count += message.size() > 7 && message[6] != 0 && message[7] == opcode;
        return count;
    }

    ScratchDirectory directory{"kiv-gate-channel"};
    LinePair line;
    ScriptedUnit unit;
    std::atomic<bool> silent{false};
    std::unique_ptr<Responder> responder;
    kivgate::Outbox outbox;
    kivgate::BrokerSettings broker = [] {
        kivgate::BrokerSettings settings;
        settings.prefix = "kg";
        return settings;
    }();
    kivgate::Publisher publisher{outbox, broker};
    kivgate::ChannelSettings settings;
    std::unique_ptr<kivgate::Channel> channel;
    Published published{outbox};
};

bool Good(const Json& payload, const Json& value) {
    return payload.is_object() && payload["quality"] == "good" && payload["value"] == value;
}

TEST_F(GatewayChannelTest, PublishesRegistersBitsAndBlocksScaledAndRefusesBadAddresses) {
    Start();
    EXPECT_TRUE(published.WaitFor(Topic("temp"), [](const Json& p) { return Good(p, 12.5) && p["source"] == "poll"; }));
    EXPECT_TRUE(published.WaitFor(Topic("flag"), [](const Json& p) { return Good(p, 1); }));
    EXPECT_TRUE(published.WaitFor(Topic("block"), [](const Json& p) { return Good(p, Json::array({1, 2, 3})); }));
    EXPECT_TRUE(published.WaitFor("kg/events", [](const Json& p) {
        return p["event"] == "gate refused" && p["gate"] == "bad" && p["channel"] == "line1" &&
               p["reason"].get<std::string>().find("register or point number") != std::string::npos;
    }));
    EXPECT_TRUE(published.WaitFor("kg/line1/status", [](const Json& p) {
        return p["state"] == "working" && p["gates"] == 6 && p["refused_gates"] == 1 && p["done"] > 0;
    }));
    EXPECT_TRUE(published.Payloads(Topic("bad")).empty());
    // The plan's groups: 300 to 312 in one read, 400 to 402 in another.
    EXPECT_TRUE(WaitUntil([this] { return Requests(1) >= 2; }));
    auto lock = unit.Lock();
    for (const Bytes& message : unit.requests) {
        const bool read = message.size() > 10 && message[6] != 0 && message[7] == 1;
        EXPECT_TRUE(!read || message[10] == 13 || message[10] == 3);
    }
}

TEST_F(GatewayChannelTest, AUnitThatStopsAnsweringTurnsItsGatesFailedAndBackToGood) {
    Start();
    ASSERT_TRUE(published.WaitFor(Topic("temp"), [](const Json& p) { return Good(p, 12.5); }));
    silent = true;
    EXPECT_TRUE(published.WaitFor(Topic("temp"), [](const Json& p) {
        return p["quality"] == "failed" && p["result"] == 2 && p["value"] == 12.5 &&
               p["reason"].get<std::string>().find("no answer") == 0;
    }));
    EXPECT_TRUE(published.WaitFor("kg/line1/status", [](const Json& p) {
        return p["state"] == "failing" && p["last_error"].is_string();
    }));
    {
        auto lock = unit.Lock();
        unit.registers[300] = 130;
    }
    silent = false;
    EXPECT_TRUE(published.WaitFor(Topic("temp"), [](const Json& p) { return Good(p, 13); }));
    EXPECT_TRUE(published.WaitFor("kg/line1/status", [](const Json& p) { return p["state"] == "working"; }));
}

struct WriteCase {
    const char* what;
    std::string gate;
    std::string payload;
    const char* result;
    const char* reason;  // part of it; "" when done
};

TEST_F(GatewayChannelTest, WritesReachTheUnitOnlyThroughWritableGates) {
    Start();
    ASSERT_TRUE(published.WaitFor("kg/line1/status", [](const Json& p) { return p["state"] == "working"; }));
    const std::vector<WriteCase> cases = {
        {"a register", "setpoint", "42", "done", ""},
        {"a bit", "switch", "true", "done", ""},
        {"not writable", "fixed", "5", "refused", "not writable"},
        {"no such gate", "nothing", "5", "refused", "no gate nothing"},
        {"refused address", "bad", "5", "refused", "not writable"},
    };
    for (const WriteCase& row : cases) {
        const size_t writesBefore = Requests(3) + Requests(4);
        channel->SubmitWrite(kStation, row.gate, row.payload);
        EXPECT_TRUE(published.WaitFor(Topic(row.gate) + "/result", [&row](const Json& p) {
            return p["result"] == row.result && (std::string(row.reason).empty() ||
                                                 p["reason"].get<std::string>().find(row.reason) != std::string::npos);
        })) << row.what;
        if (std::string(row.result) != "done") {
            EXPECT_EQ(writesBefore, Requests(3) + Requests(4)) << row.what;
        }
    }
    auto lock = unit.Lock();
    EXPECT_EQ(42u, unit.registers[400]);
    EXPECT_EQ(1u << 3, unit.registers[402]);
    lock.unlock();
    channel->SubmitClock(kStation, "now");
    EXPECT_TRUE(published.WaitFor("kg/line1/12/clock/result", [](const Json& p) { return p["result"] == "done"; }));
    channel->SubmitClock(kStation, "tomorrow");
    EXPECT_TRUE(published.WaitFor("kg/line1/12/clock/result", [](const Json& p) { return p["result"] == "refused"; }));
}

TEST_F(GatewayChannelTest, EventFetchesReachTheGatesTheyName) {
    settings.gates.push_back(Gate("log", "!L0012", 0));
    settings.gates[0].pollMs = 600000;  // read once: the fetch's value is not overwritten by a poll
    Start();
    ASSERT_TRUE(published.WaitFor(Topic("temp"), [](const Json& p) { return Good(p, 12.5); }));
    {
        // A logged event of register 300: 2 bytes address, 4 value, 6 time stamp.
        auto lock = unit.Lock();
        unit.logged.push_back({0x01, 0x2C, 0x00, 0x00, 0x01, 0xF4, 0x06, 0x1A, 0x51, 0x8F, 0xB7, 0xE7});
    }
    EXPECT_TRUE(published.WaitFor(Topic("temp"), [](const Json& p) {
        return Good(p, 50) && p["source"] == "event fetch" && p.contains("unit_time");
    }));
    EXPECT_TRUE(published.WaitFor("kg/line1/events", [](const Json& p) {
        return p["address"] == "R00120300" && p["gate"] == "temp" && p["value"] == 50 && p["source"] == "event fetch";
    }));
    EXPECT_TRUE(published.WaitFor(Topic("log"), [](const Json& p) { return Good(p, 1); }));
}

struct UpdateCase {
    int32_t number;  // register of station 12 the runtime's gate update is for
    double raw;
    std::string gate;
    Json value;      // the gate's published value after it
    Json eventGate;  // the gate the channel's event names
    Json eventValue; // its value there: scaled by that gate, raw when none
};

TEST_F(GatewayChannelTest, ListenerUpdatesReachEveryGateThatNamesTheirRegister) {
    for (GateSettings& gate : settings.gates) gate.pollMs = 600000;  // read once: no poll overwrites an update
    Start();
    ASSERT_TRUE(published.WaitFor(Topic("block"), [](const Json& p) { return Good(p, Json::array({1, 2, 3})); }));
    const std::vector<UpdateCase> cases = {
        {300, 140, "temp", 14, "temp", 14},
        {301, 0, "flag", 0, nullptr, 0},
        {311, 7, "block", Json::array({1, 7, 3}), nullptr, 7},
    };
    for (const UpdateCase& row : cases) {
        // As the driver's listener stores an update: on a thread of its own.
        std::thread([&row] {
            Tav5PutGateVal(0, TavFindGate(0, kStation, AreaRegister, row.number, KivWholeRegister), 2, row.raw, 0, 0);
        }).join();
        EXPECT_TRUE(published.WaitFor(Topic(row.gate), [&row](const Json& p) {
            return Good(p, row.value) && p["source"] == "exception";
        })) << row.gate;
        EXPECT_TRUE(published.WaitFor("kg/line1/events", [&row](const Json& p) {
            return p["station"] == kStation && p["gate"] == row.eventGate && p["value"] == row.eventValue &&
                   p["source"] == "exception";
        })) << row.gate;
    }
}

// A record older than the newest the gate took (by the unit's stamps) goes
// to the events only; newer ones and unstamped changes to the gate as well.
TEST_F(GatewayChannelTest, AnUpdateOlderThanAGatesValueReachesOnlyTheEvents) {
    for (GateSettings& gate : settings.gates) gate.pollMs = 600000;
    Start();
    ASSERT_TRUE(published.WaitFor(Topic("temp"), [](const Json& p) { return Good(p, 12.5); }));
    const int32_t now = static_cast<int32_t>(std::time(nullptr));
    struct Stamped {
        int32_t time;
        double raw;
        bool shown;
    };
    for (const Stamped& row : {Stamped{now - 60, 160, true}, Stamped{now - 3600, 90, false},
                               Stamped{0, 110, true}, Stamped{now - 59, 170, true}}) {
        std::thread([&row] {
            Tav5PutGateVal(0, TavFindGate(0, kStation, AreaRegister, 300, KivWholeRegister), 2, row.raw, row.time, 0);
        }).join();
        EXPECT_TRUE(published.WaitFor("kg/line1/events", [&row](const Json& p) {
            return p["gate"] == "temp" && p["value"] == row.raw * 0.1;
        })) << row.time;
        EXPECT_EQ(Json::parse(published.Payloads(Topic("temp")).back())["value"] == row.raw * 0.1, row.shown)
            << row.time;
    }
}

TEST_F(GatewayChannelTest, APortThatGoesAwayTurnsItsGatesStale) {
    Start();
    ASSERT_TRUE(published.WaitFor(Topic("temp"), [](const Json& p) { return Good(p, 12.5); }));
    responder.reset();
    line.HangUp();
    EXPECT_TRUE(published.WaitFor("kg/line1/status", [](const Json& p) {
        return p["state"] == "port failed" && p["last_error"].get<std::string>().find("gone") != std::string::npos;
    }));
    EXPECT_TRUE(published.WaitFor(Topic("temp"), [](const Json& p) {
        return p["quality"] == "stale" && p["value"] == 12.5 &&
               p["reason"].get<std::string>().find("port failed") == 0;
    }));
    channel->Stop();
    EXPECT_TRUE(published.WaitFor("kg/line1/status", [](const Json& p) { return p["state"] == "closed"; }));
}

TEST_F(GatewayChannelTest, APortThatDoesNotOpenSaysWhyAndStopStillCloses) {
    settings.port = "/dev/kivgate-none";
    Start();
    EXPECT_TRUE(published.WaitFor("kg/line1/status", [](const Json& p) {
        return p["state"] == "port failed" && p["last_error"].get<std::string>().find("cannot open port") == 0;
    }));
    channel->SubmitWrite(kStation, "setpoint", "1");
    EXPECT_TRUE(published.WaitFor(Topic("setpoint") + "/result", [](const Json& p) { return p["code"] == 2; }));
    channel->Stop();
    EXPECT_TRUE(published.WaitFor("kg/line1/status", [](const Json& p) { return p["state"] == "closed"; }));
}

}  // namespace

#endif
