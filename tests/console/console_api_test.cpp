// The console's API: requests good and bad against a simulator of two
// stations, with each answer and the units' state after it, to the pure
// handler and through the HTTP server from a real client (headers, bodies,
// methods, content types); which requests count as another site's; the
// --http address; the radio's key-ups and carrier; the ring of frames and
// its capture file.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "tests/sim/sim_client.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/wait_until.h"
#include "tools/common/capture.h"
#include "tools/kivsim/console_api.h"
#include "tools/kivsim/console_http.h"

namespace {

// What a request may have changed, read back after it.
struct UnitState {
    uint32_t reg300;
    bool point7;
    size_t changes, status, logged;
    std::string faults;
    bool operator==(const UnitState& o) const {
        return reg300 == o.reg300 && point7 == o.point7 && changes == o.changes && status == o.status &&
               logged == o.logged && faults == o.faults;
    }
};

std::ostream& operator<<(std::ostream& out, const UnitState& s) {
    return out << "reg300=" << s.reg300 << " point7=" << s.point7 << " queued " << s.changes << "/" << s.status << "/"
               << s.logged << " faults " << s.faults;
}

UnitState StateOf(kivsim::Simulator& sim) {
    UnitState s{sim.RegisterValue(1, 300), false, sim.Pending(1, kivsim::EventKind::RegisterChange),
                sim.Pending(1, kivsim::EventKind::StatusEvent), sim.Pending(1, kivsim::EventKind::LoggedEvent),
                sim.DescribeFaults()};
    sim.ReadStation(1, [&](const kivsim::Station& unit) { s.point7 = unit.Point(7); });
    return s;
}

const char kNoFaults[] = "none (delay 1500 ms)";
const UnitState kUntouched{5, false, 0, 0, 0, kNoFaults};

TEST(ConsoleApi, RequestsTheirAnswersAndTheUnitAfterEach) {
    const char* json = "application/json";
    const struct {
        const char* method;
        const char* path;
        std::map<std::string, std::string> query;
        const char* contentType;
        const char* body;
        const char* origin;
        int status;
        const char* fragment;  // in the answer's body
        UnitState after;
    } cases[] = {
        {"GET", "/api/stations", {}, "", "", "", 200, "\"station\":2", kUntouched},
        {"GET", "/api/stations/1", {}, "", "", "", 200, "{\"register\":300,\"value\":5}", kUntouched},
        {"GET", "/api/stations/1", {{"from", "299"}, {"count", "2"}}, "", "", "", 200, "{\"register\":299,\"value\":0}",
         kUntouched},
        {"GET", "/api/stations/1", {{"count", "5000"}}, "", "", "", 400, "count", kUntouched},
        {"GET", "/api/stations/3", {}, "", "", "", 404, "not played", kUntouched},
        {"GET", "/api/stations/x", {}, "", "", "", 400, "no station x", kUntouched},
        {"GET", "/api/stations/\xff\xfe", {}, "", "", "", 400, "no station \xEF\xBF\xBD", kUntouched},
        {"GET", "/api/stations/70000", {}, "", "", "", 400, "no station", kUntouched},
        {"GET", "/api/nothing", {}, "", "", "", 404, "no such thing", kUntouched},
        {"GET", "/api/stations/1/registers/300", {}, "", "", "", 405, "GET", kUntouched},
        // A register's change: as `change`, the value and a queued register change.
        {"PUT", "/api/stations/1/registers/300", {}, json, "{\"value\": -7}", "", 200, "\"value\":-7",
         {0xFFFFFFF9u, false, 1, 0, 0, kNoFaults}},
        {"PUT", "/api/stations/1/registers/300", {}, json, "{\"value\": 4294967295}", "", 200, "\"value\":-1",
         {0xFFFFFFFFu, false, 1, 0, 0, kNoFaults}},
        {"PUT", "/api/stations/1/registers/300", {}, json, "{\"value\": 4294967296}", "", 400, "value", kUntouched},
        {"PUT", "/api/stations/1/registers/300", {}, json, "{\"value\": 1.5}", "", 400, "value", kUntouched},
        {"PUT", "/api/stations/1/registers/300", {}, json, "{\"value\": \"7\"}", "", 400, "value", kUntouched},
        {"PUT", "/api/stations/1/registers/300", {}, json, "{}", "", 400, "value", kUntouched},
        {"PUT", "/api/stations/1/registers/65536", {}, json, "{\"value\": 1}", "", 400, "no register", kUntouched},
        {"PUT", "/api/stations/1/registers/300", {}, "text/plain", "{\"value\": 1}", "", 400, "Content-Type",
         kUntouched},
        {"PUT", "/api/stations/1/registers/300", {}, json, "{\"value\": 1", "", 400, "no JSON object", kUntouched},
        {"PUT", "/api/stations/1/registers/300", {}, json, "[1]", "", 400, "no JSON object", kUntouched},
        {"PUT", "/api/stations/9/registers/300", {}, json, "{\"value\": 1}", "", 404, "not played", kUntouched},
        {"PUT", "/api/stations/1/registers/300", {}, json, "{\"value\": 1}", "http://evil.example", 403, "another site",
         kUntouched},
        // A point's toggle: as `toggle`, the point and a queued status event.
        {"POST", "/api/stations/1/points/7/toggle", {}, json, "{}", "", 200, "\"state\":true",
         {5, true, 0, 1, 0, kNoFaults}},
        {"POST", "/api/stations/1/points/8192/toggle", {}, json, "{}", "", 400, "no point", kUntouched},
        {"POST", "/api/stations/1/points/7/toggle", {}, "", "", "", 400, "Content-Type", kUntouched},
        {"POST", "/api/stations/1/events", {}, json, "{\"kind\":\"status\",\"point\":7,\"state\":true}", "", 200,
         "\"point\":7", {5, true, 0, 1, 0, kNoFaults}},
        {"POST", "/api/stations/1/events", {}, json,
         "{\"kind\":\"status\",\"point\":7,\"state\":true,\"stamp\":\"2026-03-01 10:00:00.250\"}", "", 200, "\"point\":7",
         {5, true, 0, 1, 0, kNoFaults}},
        {"POST", "/api/stations/1/events", {}, json, "{\"kind\":\"log\",\"register\":300,\"value\":9}", "", 200,
         "\"register\":300", {9, false, 0, 0, 1, kNoFaults}},
        {"POST", "/api/stations/1/events", {}, json, "{\"kind\":\"log\",\"register\":4096,\"value\":9}", "", 400,
         "register", kUntouched},
        {"POST", "/api/stations/1/events", {}, json,
         "{\"kind\":\"status\",\"point\":7,\"state\":true,\"stamp\":\"2026-02-29 10:00:00\"}", "", 400, "stamp",
         kUntouched},
        {"POST", "/api/stations/1/events", {}, json, "{\"kind\":\"status\",\"point\":7,\"state\":1}", "", 400, "state",
         kUntouched},
        {"POST", "/api/stations/1/events", {}, json, "{\"kind\":\"alarm\"}", "", 400, "kind", kUntouched},
        // Faults: everything checked before anything is applied.
        {"PUT", "/api/faults", {}, json, "{\"probabilities\":{\"crc\":0.5}}", "", 200, "\"crc\":{\"probability\":0.5",
         {5, false, 0, 0, 0, "crc=0.5 (delay 1500 ms)"}},
        {"PUT", "/api/faults", {}, json, "{\"seed\":7,\"delayMs\":20,\"inject\":{\"drop\":2}}", "", 200, "\"seed\":7",
         {5, false, 0, 0, 0, "next answers: drop drop (delay 20 ms)"}},
        {"PUT", "/api/faults", {}, json, "{\"probabilities\":{\"crc\":0.5},\"inject\":{\"bogus\":1}}", "", 400,
         "unknown fault bogus", kUntouched},
        {"PUT", "/api/faults", {}, json, "{\"probabilities\":{\"crc\":2}}", "", 400, "not in 0 to 1", kUntouched},
        {"PUT", "/api/faults", {}, json, "{\"delayMs\":20,\"colour\":1}", "", 400, "unknown field", kUntouched},
        {"GET", "/api/faults", {}, "", "", "", 200, "\"delayMs\":1500", kUntouched},
        {"GET", "/api/stats", {}, "", "", "", 200, "\"crcErrors\":0", kUntouched},
        {"GET", "/api/frames", {{"after", "-1"}}, "", "", "", 400, "after", kUntouched},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path + " " + c.body);
        kivsim::Simulator sim;
        kivsim::ConsoleFrames frames;
        sim.AddStation(1, 0);
        sim.AddStation(2, 0);
        sim.SetRegister(1, 300, 5);
        kivsim::ConsoleApi api(sim, frames);
        kivsim::ApiRequest request{c.method, c.path, c.query, c.contentType, c.origin, "127.0.0.1:8080", c.body};
        const kivsim::ApiResponse answer = api.Handle(request);
        EXPECT_EQ(c.status, answer.status) << answer.body;
        EXPECT_NE(std::string::npos, answer.body.find(c.fragment)) << answer.body;
        if (answer.status != 200) {
            EXPECT_EQ(0u, answer.body.find("{\"error\":")) << answer.body;
        }
        EXPECT_EQ(c.after, StateOf(sim));
    }
}

// The HTTP side of the same: each request sent by an HTTP client to the
// console served on a free loopback port over a fresh simulator, with its
// status, the Content-Type and a piece of the answer, and the unit after it.
// "SELF" in an Origin stands for the console's own address.
TEST(ConsoleServer, RequestsOverHttpTheirAnswersAndTheUnitAfterEach) {
    const char* json = "application/json";
    const std::string big = "{\"value\": 1, \"pad\": \"" + std::string(70000, 'x') + "\"}";
    const struct {
        const char* method;
        const char* target;  // path and query
        const char* contentType;
        std::string body;
        const char* origin;
        int status;
        const char* answerType;  // the start of the answer's Content-Type
        const char* fragment;
        UnitState after;
    } cases[] = {
        {"GET", "/api/stations", "", "", "", 200, json, "\"station\":2", kUntouched},
        {"GET", "/api/stations/1?from=299&count=2", "", "", "", 200, json, "{\"register\":300,\"value\":5}",
         kUntouched},
        {"GET", "/api/stations/1?count=5000", "", "", "", 400, json, "count", kUntouched},
        {"GET", "/api/stations/x", "", "", "", 400, json, "no station x", kUntouched},
        {"GET", "/api/nothing", "", "", "", 404, json, "no such thing", kUntouched},
        {"GET", "/nothing", "", "", "", 404, "text/plain", "not found", kUntouched},
        {"GET", "/", "", "", "", 200, "text/html", "data-register", kUntouched},
        {"GET", "/api/frames.pcap", "", "", "", 200, "application/vnd.tcpdump.pcap", "", kUntouched},
        {"PUT", "/api/stations/1/registers/300", json, "{\"value\": -7}", "", 200, json, "\"value\":-7",
         {0xFFFFFFF9u, false, 1, 0, 0, kNoFaults}},
        {"PUT", "/api/stations/1/registers/300", "Application/JSON; charset=utf-8", "{\"value\": 8}", "SELF", 200, json,
         "\"value\":8", {8, false, 1, 0, 0, kNoFaults}},
        {"PUT", "/api/stations/1/registers/65536", json, "{\"value\": 1}", "", 400, json, "no register", kUntouched},
        {"PUT", "/api/stations/1/registers/300", json, "{\"value\": \"7\"}", "", 400, json, "value", kUntouched},
        {"PUT", "/api/stations/1/registers/300", "application/x-www-form-urlencoded", "value=1", "", 400, json,
         "Content-Type", kUntouched},
        {"PUT", "/api/stations/1/registers/300", json, "{\"value\": 1", "", 400, json, "no JSON object", kUntouched},
        {"PUT", "/api/stations/1/registers/300", json, big, "", 413, "", "", kUntouched},
        {"PUT", "/api/stations/1/registers/300", json, "{\"value\": 1}", "http://evil.example", 403, json,
         "another site", kUntouched},
        {"PUT", "/api/stations/9/registers/300", json, "{\"value\": 1}", "", 404, json, "not played", kUntouched},
        {"POST", "/api/stations/1/registers/300", json, "{\"value\": 1}", "", 405, json, "POST", kUntouched},
        {"POST", "/api/stations/1/points/7/toggle", json, "{}", "SELF", 200, json, "\"state\":true",
         {5, true, 0, 1, 0, kNoFaults}},
        {"POST", "/api/stations/1/points/7/toggle", "", "", "", 400, json, "Content-Type", kUntouched},
        {"POST", "/api/stations/1/points/7/toggle", json, "{}", "null", 403, json, "another site", kUntouched},
        {"POST", "/api/stations/1/events", json, "{\"kind\":\"log\",\"register\":300,\"value\":9}", "", 200, json,
         "\"register\":300", {9, false, 0, 0, 1, kNoFaults}},
        {"DELETE", "/api/stations/1", "", "", "", 405, json, "DELETE", kUntouched},
        {"PUT", "/api/faults", json, "{\"inject\":{\"drop\":2}}", "", 200, json, "\"queued\":2",
         {5, false, 0, 0, 0, "next answers: drop drop (delay 1500 ms)"}},
        {"PUT", "/api/faults", json, "{\"inject\":{\"drop\":2}}", "http://evil.example", 403, json, "another site",
         kUntouched},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.target + " " + c.body.substr(0, 60) + " Origin " + c.origin);
        kivsim::Simulator sim;
        kivsim::ConsoleFrames frames;
        sim.AddStation(1, 0);
        sim.AddStation(2, 0);
        sim.SetRegister(1, 300, 5);
        kivsim::ConsoleServer server(sim, frames);
        std::string why;
        ASSERT_TRUE(server.Start("0", &why)) << why;
        std::string self = server.Url();
        self.pop_back();  // the trailing slash
        httplib::Client client(self);
        httplib::Request request;
        request.method = c.method;
        request.path = c.target;
        request.body = c.body;
        if (*c.contentType) request.set_header("Content-Type", c.contentType);
        if (*c.origin) request.set_header("Origin", std::string(c.origin) == "SELF" ? self : c.origin);
        const httplib::Result answer = client.send(request);
        ASSERT_TRUE(answer) << httplib::to_string(answer.error());
        EXPECT_EQ(c.status, answer->status) << answer->body;
        EXPECT_EQ(0u, answer->get_header_value("Content-Type").find(c.answerType))
            << answer->get_header_value("Content-Type");
        EXPECT_NE(std::string::npos, answer->body.find(c.fragment)) << answer->body.substr(0, 200);
        if (answer->status >= 400 && std::string(c.answerType) == json) {
            EXPECT_EQ(0u, answer->body.find("{\"error\":")) << answer->body;
        }
        if (*c.answerType) {  // not the server library's own refusal
            EXPECT_EQ("no-store", answer->get_header_value("Cache-Control"));
        }
        server.Stop();
        EXPECT_EQ(c.after, StateOf(sim));
    }
}

TEST(ConsoleApi, RequestsOfAnotherSiteOrName) {
    const struct {
        const char* method;
        const char* origin;
        const char* host;
        bool loopbackOnly;
        bool refused;
    } cases[] = {
        {"PUT", "", "127.0.0.1:8080", true, false},  // curl, a script
        {"PUT", "http://127.0.0.1:8080", "127.0.0.1:8080", true, false},
        {"POST", "HTTP://LocalHost:8080", "localhost:8080", true, false},
        {"PUT", "http://[::1]:8080", "[::1]:8080", true, false},
        {"PUT", "http://evil.example", "127.0.0.1:8080", true, true},
        {"PUT", "http://127.0.0.1:9999", "127.0.0.1:8080", true, true},  // another port is another site
        {"PUT", "https://127.0.0.1:8080", "127.0.0.1:8080", true, true},
        {"POST", "null", "127.0.0.1:8080", true, true},  // a sandboxed frame, a file
        {"GET", "http://evil.example", "127.0.0.1:8080", true, false},  // reads change nothing
        {"GET", "", "evil.example:8080", true, true},  // a name rebound to the loopback
        {"GET", "", "192.168.1.5:8080", false, false},
        {"POST", "http://192.168.1.5:8080", "192.168.1.5:8080", false, false},
        {"POST", "http://evil.example", "192.168.1.5:8080", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " Origin " + c.origin + " Host " + c.host);
        kivsim::ApiRequest request;
        request.method = c.method;
        request.origin = c.origin;
        request.host = c.host;
        EXPECT_EQ(c.refused, !kivsim::ForeignRequest(request, c.loopbackOnly).empty());
    }
}

TEST(ConsoleApi, HttpAddresses) {
    const struct {
        const char* text;
        bool taken;
        const char* address;
        int port;
    } cases[] = {
        {"0", true, "127.0.0.1", 0},
        {"8080", true, "127.0.0.1", 8080},
        {"0.0.0.0:80", true, "0.0.0.0", 80},
        {"[::1]:0", true, "::1", 0},
        {"localhost:65535", true, "localhost", 65535},
        {"::1:80", false, "", 0},
        {"65536", false, "", 0},
        {"host:port", false, "", 0},
        {":80", false, "", 0},
        {"[]:80", false, "", 0},
        {"", false, "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string address, why;
        int port = -1;
        ASSERT_EQ(c.taken, kivsim::ParseConsoleAddress(c.text, &address, &port, &why)) << why;
        if (!c.taken) continue;
        EXPECT_EQ(c.address, address);
        EXPECT_EQ(c.port, port);
    }
}

// A host on an RFC 2217 line to a radio: each exchange keys up, sends a
// read after the radio's key-up time and lets go; the unit answers on its
// own carrier. The API lists the four changes of each exchange in order.
TEST(ConsoleApi, TheRadiosKeyUpsAndCarrier) {
    kivsim::Options options;
    options.listenKind = NetLineRfc2217;
    options.listenAddress = "127.0.0.1";
    options.radio = kivsim::RadioSettings{true, 20, 20};
    kivsim::Simulator sim(options);
    sim.AddStation(1, 0);
    ASSERT_TRUE(sim.Start()) << sim.Error();
    kivsim::ConsoleFrames frames;
    kivsim::ConsoleApi api(sim, frames);
    auto radio = [&](const char* after) {
        kivsim::ApiRequest request{"GET", "/api/radio", {{"after", after}}, "", "", "127.0.0.1:8080", ""};
        const kivsim::ApiResponse answer = api.Handle(request);
        EXPECT_EQ(200, answer.status) << answer.body;
        return nlohmann::json::parse(answer.body);
    };

    const std::string url = sim.LinePath();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(std::stoi(url.substr(url.rfind(':') + 1))));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
    auto send = [&](const uint8_t* bytes, size_t count) { ASSERT_EQ(ssize_t(count), ::send(fd, bytes, count, 0)); };
    auto rts = [&](bool on) {
        uint8_t sub[kComSubnegotiationMax];
        send(sub, ComSubnegotiation8(ComSetControl, on ? ComControlRtsOn : ComControlRtsOff, sub));
    };
    const simtest::Bytes read = simtest::Frame(simtest::Request(1, 0, 1, {1, 44, 1}));
    uint8_t escaped[2 * kFrameBufferSize];
    size_t consumed = 0;
    const size_t escapedSize = TelnetEscape(read.data(), read.size(), escaped, sizeof escaped, &consumed);
    for (int exchange = 1; exchange <= 3; ++exchange) {
        rts(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(60));  // past the radio's key-up time
        send(escaped, escapedSize);
        rts(false);
        ASSERT_TRUE(WaitUntil([&] { return radio("0")["last"] == 4 * exchange; }, 10000)) << radio("0").dump();
    }
    close(fd);

    const nlohmann::json all = radio("0");
    EXPECT_EQ(20, all["keyUpMs"]);
    EXPECT_FALSE(all["keyed"]);
    EXPECT_FALSE(all["carrier"]);
    ASSERT_EQ(12u, all["changes"].size()) << all.dump();
    const bool kSteps[4][2] = {{true, false}, {false, false}, {false, true}, {false, false}};  // keyed, carrier
    int64_t previousUs = 0;
    for (size_t i = 0; i < 12; ++i) {
        const nlohmann::json& change = all["changes"][i];
        SCOPED_TRACE(change.dump());
        EXPECT_EQ(i + 1, change["seq"]);
        EXPECT_EQ(kSteps[i % 4][0], change["keyed"]);
        EXPECT_EQ(kSteps[i % 4][1], change["carrier"]);
        EXPECT_GE(change["us"].get<int64_t>(), previousUs);
        previousUs = change["us"];
    }
    EXPECT_EQ(4u, radio("8")["changes"].size());
    EXPECT_EQ(3u, sim.GetStats().answers[1]);

    kivsim::Simulator wired;  // a pseudo-terminal: no radio
    kivsim::ConsoleApi wiredApi(wired, frames);
    EXPECT_EQ("{\"radio\":false}", wiredApi.Handle({"GET", "/api/radio", {}, "", "", "127.0.0.1:8080", ""}).body);
}

// Frames cut as the trace cuts them: a request to station 1, its answer,
// junk, and more of them than the ring keeps.
TEST(ConsoleFrames, TheRingTrafficAndCapture) {
    kivsim::ConsoleFrames frames(3);
    const simtest::Bytes reset = simtest::Frame(simtest::LinkReset(1, 0));
    const simtest::Bytes read = simtest::Frame(simtest::Request(1, 0, 1, {1, 44, 1}));
    const simtest::Bytes answer = simtest::Frame({7, 0x00, 0, 0, 0, 1, 0, 0});
    const simtest::Bytes junk = {0x11, 0x22};
    const std::vector<std::pair<uint8_t, simtest::Bytes>> sent = {{kivtools::kCaptureToUnit, reset},
                                                                  {kivtools::kCaptureToHost, answer},
                                                                  {kivtools::kCaptureToUnit, junk},
                                                                  {kivtools::kCaptureToUnit, read},
                                                                  {kivtools::kCaptureToHost, answer}};
    for (size_t i = 0; i < sent.size(); ++i)
        frames.Add(1000000 * int64_t(i), sent[i].first, sent[i].second.data(), sent[i].second.size());

    const std::vector<kivsim::ConsoleFrame> kept = frames.After(0, 100, 0);
    ASSERT_EQ(3u, kept.size());
    EXPECT_EQ(3u, kept[0].seq);
    EXPECT_EQ(5u, kept[2].seq);
    EXPECT_EQ(1u, frames.After(4, 100, 0).size());
    EXPECT_TRUE(frames.After(5, 100, 0).empty());
    EXPECT_EQ(1u, frames.After(0, 1, 0).size());

    kivsim::StationTraffic t;
    ASSERT_TRUE(frames.Traffic(1, &t));
    EXPECT_EQ(2u, t.requests);
    EXPECT_EQ(2u, t.answers);
    EXPECT_TRUE(t.linkResetSeen);
    EXPECT_EQ(read, t.lastRequest);
    EXPECT_EQ(3000000, t.lastRequestUs);
    EXPECT_FALSE(frames.Traffic(2, &t));

    // The download reads back as a capture of what the ring holds.
    ScratchDirectory scratch("kiv-console");
    ASSERT_TRUE(WriteBytesFile("ring.pcap", kivsim::CaptureFileBytes(kept)));
    std::vector<kivtools::CaptureRecord> records;
    std::string error;
    ASSERT_TRUE(kivtools::ReadCapture("ring.pcap", &records, &error)) << error;
    ASSERT_EQ(3u, records.size());
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(sent[i + 2].first, records[i].direction);
        EXPECT_EQ(sent[i + 2].second, records[i].bytes);
        EXPECT_EQ(int64_t(1000000 * (i + 2)), records[i].wallUs);
    }
}

TEST(ConsoleFrames, ALongPollEndsWithTheNextFrameOrTheClose) {
    kivsim::ConsoleFrames frames;
    const uint8_t byte = 0x42;
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        frames.Add(1, kivtools::kCaptureToUnit, &byte, 1);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(1u, frames.After(0, 10, 20000).size());
    later.join();
    frames.Close();
    EXPECT_TRUE(frames.After(1, 10, 20000).empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
}

}  // namespace
