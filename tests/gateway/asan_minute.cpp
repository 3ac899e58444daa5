// kivgate built with AddressSanitizer (and UndefinedBehaviorSanitizer): a
// minute of polling, report-by-exception and writes against kivsim's demo
// plant, with the broker stopped and started again in the middle; it must
// end on SIGTERM with exit 0 and no sanitizer report. Built only in the
// AddressSanitizer build, as a program of its own with its own time-out.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/gateway/gateway_fixture.h"

#if defined(KIV_GATEWAY_ASAN_MINUTE)

namespace {

using gatewaytest::Field;
using gatewaytest::Gate;

// The plant: 100 counts each second, 101 ramps and 102 follows a sine (with
// changes and logged events), status points 10 and 11 toggle.
const std::vector<Gate> kGates = {
    {"counter", "R00120100", "100"},        {"ramp", "R00120101", "\"exception\""},
    {"sine", "R00120102", "100", 1, false, 0.01, -5},
    {"plant", "R00120100", "250", 3},       {"counter_bit0", "R0012010000", "100"},
    {"point", "S00120010", "\"exception\""}, {"setpoint", "R00120200", "500", 1, true, 0.5},
    {"logged", "!L0012", "1000"},
};

constexpr int kPublishedWithinMs = 30000;

void RunFor(std::chrono::steady_clock::time_point until, Subscriber& subscriber) {
    // A write every few seconds while the gateway polls.
    for (int k = 1; std::chrono::steady_clock::now() < until; ++k) {
        subscriber.Publish("kt/line1/12/setpoint/set", std::to_string(k));
        std::this_thread::sleep_for(std::chrono::seconds(3));
    }
}

TEST(KivgateUnderAsan, AMinuteOfPollingThroughABrokerRestartEndsCleanly) {
    ScratchDirectory scratch("kiv-gateway-asan");
    MosquittoBroker broker;
    ASSERT_TRUE(broker.Start()) << broker.Log();
    gatewaytest::Kivsim kivsim;
    // Notices repeated at a period no poll divides (see gateway_broker_test).
    ASSERT_TRUE(kivsim.Start({"--station", "12", "--exception", "12", "--notice-retry", "1100", "--plant"}));
    Subscriber subscriber(broker.port(), "kt/#");
    ASSERT_TRUE(subscriber.Connect());
    ASSERT_TRUE(WriteBytesFile("gateway.toml", gatewaytest::GatewayConfig(broker.port(), kivsim.line(), kGates)));
    gatewaytest::Kivgate kivgate;
    ASSERT_TRUE(kivgate.Start("gateway.toml", {"detect_leaks=1", "halt_on_error=1"}));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(subscriber.WaitFor(
        "kt/line1/12/counter", [](const MqttMessage& m) { return Field(m, "quality") == "good"; },
        kPublishedWithinMs))
        << gatewaytest::Kivgate::Output();

    RunFor(start + std::chrono::seconds(27), subscriber);
    ASSERT_TRUE(broker.Stop());
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const uint64_t back = subscriber.Mark();
    ASSERT_TRUE(broker.Start()) << broker.Log();
    EXPECT_TRUE(subscriber.WaitFor(
        "kt/line1/12/counter",
        [&](const MqttMessage& m) { return m.sequence >= back && Field(m, "quality") == "good"; },
        kPublishedWithinMs))
        << "no value after the broker came back";
    RunFor(start + std::chrono::seconds(60), subscriber);

    int status = -1;
    ASSERT_TRUE(kivgate.Terminate(60000, &status)) << "SIGTERM did not end the gateway";
    EXPECT_EQ(0, status) << gatewaytest::Kivgate::Output();
    const std::string errors = ReadBytesFile("kivgate.err");
    EXPECT_EQ(std::string::npos, errors.find("Sanitizer")) << errors;
    EXPECT_EQ(std::string::npos, errors.find("runtime error")) << errors;
    EXPECT_TRUE(subscriber.WaitFor(
        "kt/status", [&](const MqttMessage& m) { return m.sequence >= back && m.payload == "offline"; }, 10000));
    kivsim.Quit();
}

}  // namespace

#endif
