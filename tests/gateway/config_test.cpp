// kivgate's configuration file: every mistake refused with its line and
// what is wrong, the values of good files as the channels and the broker
// get them, and the example file in docs/ read clean and explained.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/scratch_directory.h"
#include "tools/kivgate/config.h"

namespace {

using kivgate::GatewaySettings;

const std::string kChannel = "[[channel]]\nname = \"a\"\nport = \"ttyUSB0\"\n";                // lines 1-3
const std::string kGate = "[[channel.gate]]\nname = \"g\"\naddress = \"R00120300\"\n";         // 3 lines

// A scratch folder with the files the configurations name (relative names
// are taken from the configuration's folder).
class ConfigFiles : public ::testing::Test {
protected:
    void SetUp() override {
        WriteBytesFile("pw", "secret\r\n");
        WriteBytesFile("empty.pw", "\n");
        WriteBytesFile("two.pw", "a\nb\n");
        WriteBytesFile("ca.pem", "-----BEGIN CERTIFICATE-----\n");
        WriteBytesFile("lib.so", "not really a library");
    }
    bool Read(const std::string& text, GatewaySettings* settings, std::vector<std::string>* problems) {
        WriteBytesFile("gate.toml", text);
        return kivgate::ReadSettings("gate.toml", settings, problems);
    }
    static std::string Joined(const std::vector<std::string>& lines) {
        std::string all;
        for (const std::string& line : lines) all += line + "\n";
        return all;
    }
    ScratchDirectory scratch_{"kiv-gate-config"};
};

struct BadFile {
    std::string text;
    int line;                         // 0: the file as a whole
    std::vector<std::string> words;   // each in the one message
};

TEST_F(ConfigFiles, EachMistakeIsRefusedWithItsLineAndWhatIsWrong) {
    const std::string broker = "[broker]\n";
    const std::vector<BadFile> cases = {
        // TOML syntax, with toml11's line
        {kChannel + "baud = \n", 4, {"TOML syntax", "missing value"}},
        {kChannel + "name = \"b\"\n", 4, {"TOML syntax", "already exists"}},
        {"[broker]\nhost = \"abc\n" + kChannel, 2, {"TOML syntax"}},
        // unknown keys, with what was likely meant
        {"drivers = \"lib.so\"\n" + kChannel, 1, {"unknown key \"drivers\"", "did you mean driver?"}},
        {broker + "hots = \"x\"\n" + kChannel, 2, {"[broker] unknown key \"hots\"", "did you mean host?"}},
        {kChannel + "baudrate = 9600\n", 4, {"unknown key \"baudrate\"", "did you mean baud?"}},
        {kChannel + kGate + "writeable = true\n", 7, {"unknown key \"writeable\"", "did you mean writable?"}},
        {kChannel + "[[channel.gates]]\nname = \"g\"\n", 4, {"unknown key \"gates\"", "did you mean gate?"}},
        {kChannel + "radio = { on_s = 5 }\n", 4, {"radio unknown key \"on_s\"", "did you mean on_ms?"}},
        {kChannel + "poll_ms = 5\n", 4, {"unknown key \"poll_ms\"", "did you mean poll?"}},
        // types
        {kChannel + "baud = \"9600\"\n", 4, {"baud must be an integer, not a string"}},
        {kChannel + "data_bits = 8.0\n", 4, {"data_bits must be an integer, not a float"}},
        {kChannel + "exception = \"yes\"\n", 4, {"exception must be true or false"}},
        {kChannel + kGate + "scale = \"x\"\n", 7, {"scale must be a number"}},
        {kChannel + "radio = 5\n", 4, {"radio must be a table"}},
        {"broker = 5\n" + kChannel, 1, {"broker must be a table"}},
        {"channel = 5\n", 1, {"channel must be written as [[channel]] tables"}},
        {"[channel]\nname = \"a\"\nport = \"ttyUSB0\"\n", 1, {"[[channel]] tables, not a table"}},
        {kChannel + "gate = 5\n", 4, {"[[channel.gate]] tables"}},
        {kChannel + "[[channel.gate]]\nname = \"g\"\naddress = \"\"\n", 6, {"address is empty"}},
        // ranges and words
        {kChannel + "baud = 115200\n", 4, {"baud 115200 is out of range (50 to 65535)"}},
        {kChannel + "data_bits = 9\n", 4, {"data_bits 9 is out of range (5 to 8)"}},
        {kChannel + "baud = 99999999999999999999\n", 4, {"baud 99999999999999999999 is out of range"}},
        {kChannel + "stop_bits = 3\n", 4, {"stop_bits must be 1, 1.5 or 2"}},
        {kChannel + "stop_bits = 1.25\n", 4, {"stop_bits must be 1, 1.5 or 2"}},
        {kChannel + "parity = \"evn\"\n", 4, {"parity must be", "did you mean even?"}},
        {kChannel + "timeout_ms = 0\n", 4, {"timeout_ms 0 is out of range"}},
        {kChannel + "host_address = 70000\n", 4, {"host_address 70000 is out of range (0 to 65535)"}},
        {kChannel + "radio = { on_ms = 5000 }\n", 4, {"on_ms 5000 is out of range (0 to 4000)"}},
        {kChannel + kGate + "count = 61\n", 7, {"count 61 is out of range (1 to 60)"}},
        {kChannel + kGate + "writable = true\ncount = 42\n", 8, {"writable block", "at most 41"}},
        {kChannel + kGate + "scale = 0\n", 7, {"scale 0"}},
        {kChannel + kGate + "kind = 2000\n", 7, {"kind 2000 is out of range"}},
        {broker + "port = 0\n" + kChannel, 2, {"[broker] port 0 is out of range (1 to 65535)"}},
        {broker + "qos = 3\n" + kChannel, 2, {"qos 3 is out of range (0 to 2)"}},
        {broker + "keepalive = 1\n" + kChannel, 2, {"keepalive 1 is out of range (5 to 65535)"}},
        {broker + "event_queue = 0\n" + kChannel, 2, {"event_queue 0 is out of range"}},
        {broker + "prefix = \"site/+\"\n" + kChannel, 2, {"prefix \"site/+\"", "topic levels"}},
        {broker + "prefix = \"site//a\"\n" + kChannel, 2, {"prefix"}},
        {broker + "prefix = \"site/\"\n" + kChannel, 2, {"prefix"}},
        // polls
        {kChannel + kGate + "poll = 0\n", 7, {"poll 0", "poll = \"exception\""}},
        {kChannel + kGate + "poll = \"fast\"\n", 7, {"poll \"fast\" is no interval"}},
        {kChannel + kGate + "poll = \"5ms\"\n", 7, {"poll \"5ms\" is out of range"}},
        {kChannel + kGate + "poll = 2.5\n", 7, {"poll must be an integer or a string"}},
        {kChannel + kGate + "poll = \"exception\"\n", 7, {"needs exception = true on channel \"a\""}},
        {kChannel + "poll = \"exception\"\n" + kGate, 4, {"needs exception = true"}},
        // the lines
        {"[[channel]]\nname = \"a\"\nport = \"tcp://10.0.0.1:4001\"\nradio = { on_ms = 100 }\n", 4,
         {"radio needs RTS", "tcp://"}},
        {"[[channel]]\nname = \"a\"\nport = \"tcp://10.0.0.1\"\n", 3, {"is no tcp://HOST:PORT"}},
        // names
        {"[[channel]]\nport = \"ttyUSB0\"\n", 1, {"[[channel]] has no name"}},
        {"[[channel]]\nname = \"a\"\n", 1, {"[[channel]] has no port"}},
        {"[[channel]]\nname = \"a b\"\nport = \"ttyUSB0\"\n", 2, {"name \"a b\"", "letters, digits"}},
        {"[[channel]]\nname = \"status\"\nport = \"ttyUSB0\"\n", 2, {"\"status\" is reserved"}},
        {"[[channel]]\nname = \"events\"\nport = \"ttyUSB0\"\n", 2, {"\"events\" is reserved"}},
        {kChannel + "[[channel]]\nname = \"a\"\nport = \"ttyUSB1\"\n", 4, {"channel name \"a\" is taken", "line 1"}},
        {kChannel + "[[channel]]\nname = \"b\"\nport = \"/dev/ttyUSB0\"\n", 4,
         {"port /dev/ttyUSB0 is channel \"a\"'s already (line 1)"}},
        {kChannel + "[[channel.gate]]\nname = \"g\"\n", 4, {"[[channel.gate]] has no address"}},
        {kChannel + "[[channel.gate]]\nname = \"clock\"\naddress = \"R00120300\"\n", 5, {"\"clock\" is reserved"}},
        {kChannel + "[[channel.gate]]\nname = \"a/b\"\naddress = \"R00120300\"\n", 5, {"name \"a/b\""}},
        {kChannel + kGate + "[[channel.gate]]\nname = \"g\"\naddress = \"R0012030105\"\n", 7,
         {"station 12 of channel \"a\" has a gate \"g\" already (line 4)"}},
        // the files it names
        {broker + "password = \"x\"\n" + kChannel, 2, {"a password needs a user"}},
        {broker + "user = \"u\"\npassword_file = \"missing.pw\"\n" + kChannel, 3, {"missing.pw: no such file"}},
        {broker + "user = \"u\"\npassword_file = \".\"\n" + kChannel, 3, {"not a regular file"}},
        {broker + "user = \"u\"\npassword_file = \"empty.pw\"\n" + kChannel, 3, {"empty.pw is empty"}},
        {broker + "user = \"u\"\npassword_file = \"two.pw\"\n" + kChannel, 3, {"more than one line"}},
        {broker + "user = \"u\"\npassword = \"x\"\npassword_file = \"pw\"\n" + kChannel, 4,
         {"both password and password_file"}},
        {broker + "tls = true\n" + kChannel, 2, {"tls needs ca_file"}},
        {broker + "tls = true\nca_file = \"none.pem\"\n" + kChannel, 3, {"none.pem: no such file"}},
        {broker + "ca_file = \"ca.pem\"\n" + kChannel, 2, {"ca_file is given but tls is off"}},
        {"driver = \"nolib.so\"\n" + kChannel, 1, {"driver", "nolib.so: no such file"}},
        {"workdir = \"pw\"\n" + kChannel, 1, {"workdir", "is not a folder"}},
        {broker + "host = \"h\"\n", 0, {"no [[channel]]"}},
        {"channel = []\n", 0, {"no [[channel]]"}},
    };
    for (const BadFile& bad : cases) {
        GatewaySettings settings;
        std::vector<std::string> problems;
        EXPECT_FALSE(Read(bad.text, &settings, &problems)) << bad.text;
        ASSERT_EQ(problems.size(), 1u) << bad.text << Joined(problems);
        const std::string where = "gate.toml" + (bad.line > 0 ? ":" + std::to_string(bad.line) : "") + ": ";
        EXPECT_EQ(problems[0].compare(0, where.size(), where), 0) << bad.text << problems[0];
        for (const std::string& word : bad.words)
            EXPECT_NE(problems[0].find(word), std::string::npos) << bad.text << problems[0] << "\nlacks: " << word;
    }
}

TEST_F(ConfigFiles, EveryMistakeIsReportedAtOnceInLineOrder) {
    GatewaySettings settings;
    std::vector<std::string> problems;
    const std::string text = "[broker]\nqos = 5\nhots = \"x\"\n" + kChannel + "baud = 1\n" + kGate + "poll = 0\n";
    EXPECT_FALSE(Read(text, &settings, &problems));
    ASSERT_EQ(problems.size(), 4u) << Joined(problems);
    EXPECT_EQ(problems[0].rfind("gate.toml:2: ", 0), 0u) << problems[0];
    EXPECT_EQ(problems[1].rfind("gate.toml:3: ", 0), 0u) << problems[1];
    EXPECT_EQ(problems[2].rfind("gate.toml:7: ", 0), 0u) << problems[2];
    EXPECT_EQ(problems[3].rfind("gate.toml:11: ", 0), 0u) << problems[3];
}

struct GoodLine {
    std::string keys;                  // added to a channel
    LineSettings line;
    int32_t readTimeout;               // tens of ms
};

TEST_F(ConfigFiles, LineSettingsReachTheDriversFields) {
    const std::vector<GoodLine> cases = {
        {"", {19200, 8, 0, 0}, 4},  // the driver's defaults
        {"baud = 9600\ndata_bits = 7\nstop_bits = 1.5\nparity = \"Even\"\ntimeout_ms = 301\n", {9600, 7, 1, 2}, 31},
        {"stop_bits = 2\nparity = \"odd\"\ntimeout_ms = 40\n", {19200, 8, 2, 1}, 4},
        {"stop_bits = \"1.5\"\nparity = \"mark\"\n", {19200, 8, 1, 3}, 4},
        {"stop_bits = 1\nparity = \"space\"\nbaud = 50\ndata_bits = 5\ntimeout_ms = 1\n", {50, 5, 0, 4}, 1},
    };
    for (const GoodLine& good : cases) {
        GatewaySettings settings;
        std::vector<std::string> problems;
        ASSERT_TRUE(Read(kChannel + good.keys + kGate, &settings, &problems)) << good.keys << Joined(problems);
        const kivgate::ChannelSettings& channel = settings.channels.at(0);
        EXPECT_EQ(channel.lineSettings.baudRate, good.line.baudRate) << good.keys;
        EXPECT_EQ(channel.lineSettings.dataBits, good.line.dataBits) << good.keys;
        EXPECT_EQ(channel.lineSettings.stopBits, good.line.stopBits) << good.keys;
        EXPECT_EQ(channel.lineSettings.parity, good.line.parity) << good.keys;
        EXPECT_EQ(channel.readTimeout, good.readTimeout) << good.keys;
    }
}

struct GoodPoll {
    std::string channelKeys;
    std::string gateKeys;
    int32_t pollMs;
};

TEST_F(ConfigFiles, PollFormsGiveMilliseconds) {
    const std::vector<GoodPoll> cases = {
        {"", "", 1000},
        {"", "poll = 250\n", 250},
        {"", "poll = \"500ms\"\n", 500},
        {"", "poll = \"2s\"\n", 2000},
        {"", "poll = \"1.5 s\"\n", 1500},
        {"", "poll = \"1min\"\n", 60000},
        {"", "poll = \"10ms\"\n", 10},
        {"exception = true\n", "poll = \"exception\"\n", 0},
        {"exception = true\n", "poll = \"Exception\"\n", 0},
        {"poll = \"3s\"\n", "", 3000},
        {"poll = \"3s\"\n", "poll = 100\n", 100},
        {"poll = \"exception\"\nexception = true\n", "", 0},
    };
    for (const GoodPoll& good : cases) {
        GatewaySettings settings;
        std::vector<std::string> problems;
        ASSERT_TRUE(Read(kChannel + good.channelKeys + kGate + good.gateKeys, &settings, &problems))
            << good.channelKeys << good.gateKeys << Joined(problems);
        EXPECT_EQ(settings.channels.at(0).gates.at(0).pollMs, good.pollMs) << good.channelKeys << good.gateKeys;
    }
}

TEST_F(ConfigFiles, DefaultsWhereTheFileSaysNothing) {
    GatewaySettings settings;
    std::vector<std::string> problems;
    ASSERT_TRUE(Read(kChannel + kGate, &settings, &problems)) << Joined(problems);
    const kivgate::BrokerSettings defaults;
    EXPECT_EQ(settings.file, "gate.toml");
    EXPECT_EQ(settings.driverPath, "");
    EXPECT_EQ(settings.workdir, "");
    EXPECT_EQ(settings.broker.host, defaults.host);
    EXPECT_EQ(settings.broker.port, 1883);
    EXPECT_EQ(settings.broker.prefix, "kivgate");
    EXPECT_EQ(settings.broker.qos, 1);
    EXPECT_FALSE(settings.broker.tls);
    const kivgate::ChannelSettings& channel = settings.channels.at(0);
    EXPECT_EQ(channel.number, 1);
    EXPECT_EQ(channel.line, 1);
    EXPECT_EQ(channel.hostAddress, 0);
    EXPECT_FALSE(channel.exception);
    EXPECT_TRUE(channel.radioTimes.empty());
    const kivgate::GateSettings& gate = channel.gates.at(0);
    EXPECT_EQ(gate.line, 4);
    EXPECT_EQ(gate.count, 1);
    EXPECT_EQ(gate.kind, 3);
    EXPECT_FALSE(gate.writable);
    EXPECT_EQ(gate.scale, 1.0);
    EXPECT_EQ(gate.offset, 0.0);
}

TEST_F(ConfigFiles, BrokerLoginTlsAndTheGatesFields) {
    const std::string text =
        "driver = \"lib.so\"\n[broker]\nhost = \"mq\"\nuser = \"u\"\npassword_file = \"pw\"\ntls = true\n"
        "ca_file = \"ca.pem\"\nprefix = \"site1/kivgate\"\nqos = 2\nkeepalive = 60\nevent_queue = 5\n" +
        kChannel + "host_address = 7\nexception = true\nradio = { on_ms = 150 }\n" + kGate +
        "[[channel.gate]]\nname = \"pump\"\naddress = \"R0013030105\"\nwritable = true\n"
        "[[channel.gate]]\nname = \"g\"\naddress = \"!L0013\"\nscale = 0.5\noffset = -2\n"
        "[[channel.gate]]\nname = \"levels\"\naddress = \"r00130500\"\ncount = 41\nwritable = true\n"
        "[[channel]]\nname = \"b\"\nport = \"rfc2217://10.0.0.1:4002\"\nradio = { off_ms = 0 }\n";
    GatewaySettings settings;
    std::vector<std::string> problems;
    ASSERT_TRUE(Read(text, &settings, &problems)) << Joined(problems);
    const std::string folder = std::filesystem::current_path().string();
    EXPECT_EQ(settings.driverPath, folder + "/lib.so");
    const kivgate::BrokerSettings& broker = settings.broker;
    EXPECT_EQ(broker.port, 8883);  // tls without a port
    EXPECT_EQ(broker.password, "secret");
    EXPECT_EQ(broker.passwordFile, folder + "/pw");
    EXPECT_EQ(broker.caFile, folder + "/ca.pem");
    EXPECT_EQ(broker.prefix, "site1/kivgate");
    EXPECT_EQ(broker.qos, 2);
    EXPECT_EQ(broker.keepAliveSeconds, 60);
    EXPECT_EQ(broker.eventQueue, 5);
    ASSERT_EQ(settings.channels.size(), 2u);
    const kivgate::ChannelSettings& a = settings.channels[0];
    EXPECT_EQ(a.hostAddress, 7);
    EXPECT_EQ(a.radioTimes, (std::vector<int32_t>{150, 200, 200}));
    EXPECT_EQ(settings.channels[1].number, 2);
    EXPECT_EQ(settings.channels[1].radioTimes, (std::vector<int32_t>{200, 0, 200}));
    ASSERT_EQ(a.gates.size(), 4u);
    const kivgate::GateSettings& register300 = a.gates[0];
    EXPECT_EQ(register300.station, 12);
    EXPECT_EQ(register300.number, 300);
    EXPECT_EQ(register300.bit, KivWholeRegister);
    const kivgate::GateSettings& bit = a.gates[1];  // bit address: kind 6; same name on another station is fine
    EXPECT_EQ(bit.kind, 6);
    EXPECT_EQ(bit.station, 13);
    EXPECT_EQ(bit.number, 301);
    EXPECT_EQ(bit.bit, 5);
    EXPECT_TRUE(bit.writable);
    const kivgate::GateSettings& events = a.gates[2];
    EXPECT_EQ(events.area, AreaLoggedEvents);
    EXPECT_EQ(events.station, 13);
    EXPECT_EQ(events.scale, 0.5);
    EXPECT_EQ(events.offset, -2.0);
    EXPECT_EQ(a.gates[3].count, 41);
    EXPECT_EQ(a.gates[3].station, 13);
}

TEST_F(ConfigFiles, FilesThatAreNoConfigurationAreRefusedUnread) {
    ASSERT_EQ(mkfifo("fifo.toml", 0600), 0);  // reading it would wait for a writer
    std::filesystem::create_directory("folder.toml");
    WriteBytesFile("big.toml", "# " + std::string(1024 * 1024, 'x') + "\n" + kChannel + kGate);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"missing.toml", "missing.toml: no such file"},
        {"fifo.toml", "fifo.toml: not a regular file"},
        {"folder.toml", "folder.toml: not a regular file"},
        {"big.toml", "big.toml: larger than 1048576 bytes"},
    };
    for (const auto& file : cases) {
        GatewaySettings settings;
        std::vector<std::string> problems;
        EXPECT_FALSE(kivgate::ReadSettings(file.first, &settings, &problems)) << file.first;
        EXPECT_EQ(Joined(problems), file.second + "\n");
    }
}

std::string ExampleFile() { return std::string(KIV_SOURCE_DIR) + "/docs/kivgate.example.toml"; }

std::string Explained(const GatewaySettings& settings, const kivgate::AddressVerdict& verdict) {
    char* text = nullptr;
    size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    kivgate::ExplainSettings(settings, verdict, out);
    std::fclose(out);
    std::string explained(text, size);
    std::free(text);
    return explained;
}

TEST(ConfigExample, TheExampleInDocsReadsClean) {
    GatewaySettings settings;
    std::vector<std::string> problems;
    ASSERT_TRUE(kivgate::ReadSettings(ExampleFile(), &settings, &problems)) << problems.at(0);
    ASSERT_EQ(settings.channels.size(), 3u);
    EXPECT_EQ(settings.channels[0].port, "/dev/ttyUSB0");
    EXPECT_EQ(settings.channels[2].port, "tcp://192.168.1.50:4001");
    EXPECT_EQ(settings.channels[1].lineSettings.stopBits, 1);
    EXPECT_EQ(settings.channels[1].radioTimes, (std::vector<int32_t>{150, 100, 50}));
}

TEST(ConfigExample, CheckExplainsTopicsPollsAndTheGatesTheDriverRefuses) {
    GatewaySettings settings;
    std::vector<std::string> problems;
    ASSERT_TRUE(kivgate::ReadSettings(ExampleFile(), &settings, &problems));
    const kivgate::AddressVerdict verdict = [](const kivgate::GateSettings& gate) {
        return gate.name == "door" ? std::string("a status point has no bit") : std::string();
    };
    const std::string text = Explained(settings, verdict);
    for (const char* said :
         {"3 channels, 8 gates", "kivgate/pumps/12/flow", "raw * 0.1 - 5", "exception only", "every 5 s",
          "writable", "(8 registers)", "9600 baud, 8 data bits, even parity, 1.5 stop bits",
          "on 150 ms, off 100 ms, delay 50 ms", "kivgate/wells/3/logged", "every 1 min", "kivgate/yard/20/gate_open",
          "refused by the driver", "kivgate/pumps/12/door (S00120007, line 75): a status point has no bit",
          "1 gate of 8 the driver would refuse"})
        EXPECT_NE(text.find(said), std::string::npos) << "lacks: " << said << "\n" << text;
    EXPECT_EQ(Explained(settings, nullptr).find("refuse"), std::string::npos);
}

}  // namespace
