// The [[channel]] tables of kivgate's configuration file and their
// [[channel.gate]] tables: line settings, radio, gates, names unique.
#include <algorithm>
#include <cctype>
#include <map>

#include "tools/common/port_check.h"
#include "tools/kivgate/config_reader.h"
#include "tools/kivpoll/requester.h"

namespace kivgate {

namespace {

const std::vector<std::string> kParities = {"none", "odd", "even", "mark", "space"};
constexpr int64_t kRadioTimeMax = 4000;  // the driver holds longer times at this
constexpr int32_t kRadioTimeDefault = 200;
constexpr int32_t kBitKind = 6;

// 1, 2, 1.5 (or the same as strings) into the driver's 0, 2, 1.
void ReadStopBits(ConfigReader& reader, const TomlValue& table, LineSettings* line) {
    const TomlValue* value = Find(table, "stop_bits");
    if (value == nullptr) return;
    std::string text = value->is_string() ? value->as_string().str : "";
    if (value->is_integer()) text = std::to_string(value->as_integer());
    if (value->is_floating() && value->as_floating() == 1.5) text = "1.5";
    if (text == "1" || text == "1.5" || text == "2") {
        line->stopBits = static_cast<uint16_t>(text == "1" ? 0 : text == "1.5" ? 1 : 2);
        return;
    }
    reader.Problem(LineOf(*value), "stop_bits must be 1, 1.5 or 2");
}

void ReadParity(ConfigReader& reader, const TomlValue& table, LineSettings* line) {
    const TomlValue* value = Find(table, "parity");
    if (value == nullptr) return;
    const std::string word = value->is_string() ? LowerCase(value->as_string().str) : "";
    const auto found = std::find(kParities.begin(), kParities.end(), word);
    if (found != kParities.end()) {
        line->parity = static_cast<uint16_t>(found - kParities.begin());
        return;
    }
    reader.Problem(LineOf(*value), "parity must be \"none\", \"odd\", \"even\", \"mark\" or \"space\"" +
                                       (word.empty() ? std::string() : DidYouMean(word, kParities)));
}

void ReadLine(ConfigReader& reader, const TomlValue& table, ChannelSettings* channel) {
    int64_t number = 0;
    LineSettings& line = channel->lineSettings;
    if (reader.Integer(table, "baud", 50, 65535, &number)) line.baudRate = static_cast<uint16_t>(number);
    if (reader.Integer(table, "data_bits", 5, 8, &number)) line.dataBits = static_cast<uint16_t>(number);
    ReadStopBits(reader, table, &line);
    ReadParity(reader, table, &line);
    // The driver counts its read time-out in tens of milliseconds.
    if (reader.Integer(table, "timeout_ms", 1, 600000, &number)) channel->readTimeout = int32_t((number + 9) / 10);
    if (reader.Integer(table, "host_address", 0, 65535, &number)) channel->hostAddress = int32_t(number);
    reader.Boolean(table, "exception", &channel->exception);
}

// radio = { on_ms, off_ms, delay_ms }: RTS keying times, 200 ms each when not given.
void ReadRadio(ConfigReader& reader, const TomlValue& table, ChannelSettings* channel) {
    const TomlValue* radio = Find(table, "radio");
    if (radio == nullptr) return;
    if (!radio->is_table())
        return reader.Problem(LineOf(*radio), "radio must be a table: radio = { on_ms = 150, off_ms = 100, "
                                              "delay_ms = 50 }");
    const std::vector<std::string> keys = {"on_ms", "off_ms", "delay_ms"};
    reader.CheckKeys(*radio, keys, "radio");
    const std::string section = reader.section();
    reader.SetSection("radio");
    channel->radioTimes.assign(3, kRadioTimeDefault);
    for (size_t i = 0; i < keys.size(); ++i) {
        int64_t ms = 0;
        if (reader.Integer(*radio, keys[i], 0, kRadioTimeMax, &ms)) channel->radioTimes[i] = int32_t(ms);
    }
    reader.SetSection(section);
    if (LowerCase(channel->port).rfind("tcp://", 0) == 0)
        reader.Problem(LineOf(*radio), "radio needs RTS, which a tcp:// line does not carry (use rfc2217:// or a "
                                       "serial port)");
}

void ReadName(ConfigReader& reader, const TomlValue& table, const std::vector<std::string>& reserved,
              std::string* name) {
    if (!reader.Text(table, "name", name)) return;
    const int line = LineOf(*Find(table, "name"));
    if (!IsTopicName(*name))
        reader.Problem(line, "name \"" + *name + "\": letters, digits, '-', '_' and '.' only (it is a topic level)");
    else if (std::find(reserved.begin(), reserved.end(), *name) != reserved.end())
        reader.Problem(line, "name \"" + *name + "\" is reserved for kivgate's own topic");
}

// A gate's poll, or the channel's for its gates; line set to the poll's line.
bool ReadPoll(ConfigReader& reader, const TomlValue& table, int32_t* ms, int* line) {
    const TomlValue* value = Find(table, "poll");
    if (value == nullptr) return false;
    std::string why;
    const int64_t interval = PollInterval(*value, &why);
    if (interval < 0) {
        reader.Problem(LineOf(*value), why);
        return false;
    }
    *ms = static_cast<int32_t>(interval);
    *line = LineOf(*value);
    return true;
}

// The gate's own values; true when its address names a station.
bool ReadGateValues(ConfigReader& reader, const TomlValue& table, GateSettings* gate) {
    int64_t number = 0;
    bool stationKnown = false;
    if (reader.Text(table, "address", &gate->address)) {
        gate->kind = kivpoll::IsBitAddress(gate->address) ? kBitKind : 3;
        stationKnown = AddressFields(gate->address, gate);
    }
    if (reader.Integer(table, "kind", 0, 1000, &number)) gate->kind = static_cast<int32_t>(number);
    if (reader.Integer(table, "count", 1, KivBlockRegistersMax, &number)) gate->count = static_cast<int32_t>(number);
    reader.Boolean(table, "writable", &gate->writable);
    if (gate->writable && gate->count > KivWriteRegistersMax)
        reader.Problem(LineOf(*Find(table, "count")), "a writable block holds at most " +
                                                          std::to_string(KivWriteRegistersMax) +
                                                          " registers (what one write carries)");
    if (reader.Number(table, "scale", &gate->scale) && gate->scale == 0)
        reader.Problem(LineOf(*Find(table, "scale")), "scale 0 would publish every value as the offset");
    reader.Number(table, "offset", &gate->offset);
    return stationKnown;
}

GateSettings ReadGate(ConfigReader& reader, const TomlValue& table, const ChannelSettings& channel,
                      int32_t channelPoll, int channelPollLine, bool* stationKnown) {
    GateSettings gate;
    gate.line = LineOf(table);
    reader.SetSection("[[channel.gate]]");
    reader.CheckKeys(table, {"name", "address", "count", "poll", "writable", "scale", "offset", "kind"},
                     "[[channel.gate]]");
    reader.Require(table, "name", "[[channel.gate]]");
    reader.Require(table, "address", "[[channel.gate]]");
    ReadName(reader, table, {"clock"}, &gate.name);
    if (!gate.name.empty()) reader.SetSection("gate \"" + gate.name + "\"");
    *stationKnown = ReadGateValues(reader, table, &gate);
    gate.pollMs = channelPoll;
    int pollLine = channelPollLine;
    ReadPoll(reader, table, &gate.pollMs, &pollLine);
    if (gate.pollMs == 0 && !channel.exception)
        reader.Problem(pollLine > 0 ? pollLine : gate.line,
                       "poll \"exception\" needs exception = true on channel \"" + channel.name +
                           "\" (the gate would never be read)");
    return gate;
}

// Two gates of one station with one name would publish on one topic.
void CheckGateNames(ConfigReader& reader, const ChannelSettings& channel, const std::vector<int>& stationKnown) {
    std::map<std::pair<int32_t, std::string>, int> seen;
    for (size_t i = 0; i < channel.gates.size(); ++i) {
        const GateSettings& gate = channel.gates[i];
        if (gate.name.empty() || !stationKnown[i]) continue;
        const auto inserted = seen.emplace(std::make_pair(gate.station, gate.name), gate.line);
        if (!inserted.second)
            reader.Problem(gate.line, "station " + std::to_string(gate.station) + " of channel \"" + channel.name +
                                          "\" has a gate \"" + gate.name + "\" already (line " +
                                          std::to_string(inserted.first->second) + ")");
    }
}

void ReadGates(ConfigReader& reader, const TomlValue& table, ChannelSettings* channel) {
    int32_t channelPoll = 1000;
    int channelPollLine = 0;
    ReadPoll(reader, table, &channelPoll, &channelPollLine);
    std::vector<int> stationKnown;
    for (const TomlValue* gateTable : reader.Tables(table, "gate", "[[channel.gate]]")) {
        bool known = false;
        channel->gates.push_back(ReadGate(reader, *gateTable, *channel, channelPoll, channelPollLine, &known));
        stationKnown.push_back(known);
    }
    CheckGateNames(reader, *channel, stationKnown);
}

ChannelSettings ReadChannel(ConfigReader& reader, const TomlValue& table, int32_t number) {
    ChannelSettings channel;
    channel.line = LineOf(table);
    channel.number = number;
    const std::string section = "[[channel]]";
    reader.SetSection(section);
    reader.CheckKeys(table, {"name", "port", "baud", "data_bits", "stop_bits", "parity", "timeout_ms",
                             "host_address", "exception", "radio", "poll", "gate"}, section);
    reader.Require(table, "name", section);
    reader.Require(table, "port", section);
    ReadName(reader, table, {"status", "events"}, &channel.name);
    if (!channel.name.empty()) reader.SetSection("channel \"" + channel.name + "\"");
    if (reader.Text(table, "port", &channel.port) && channel.port.find("://") != std::string::npos &&
        !kivtools::IsNetAddress(channel.port))
        reader.Problem(LineOf(*Find(table, "port")), "port \"" + channel.port +
                                                         "\" is no tcp://HOST:PORT or rfc2217://HOST:PORT");
    ReadLine(reader, table, &channel);
    ReadRadio(reader, table, &channel);
    ReadGates(reader, table, &channel);
    return channel;
}

// "/dev/ttyUSB0" and "ttyUSB0" are one port; device servers in any case.
std::string PortKey(const std::string& port) {
    if (port.find("://") != std::string::npos) return LowerCase(port);
    return port.rfind("/dev/", 0) == 0 ? port.substr(5) : port;
}

void CheckChannelsApart(ConfigReader& reader, const std::vector<ChannelSettings>& channels) {
    std::map<std::string, const ChannelSettings*> names, ports;
    for (const ChannelSettings& channel : channels) {
        const auto name = names.emplace(channel.name, &channel);
        if (!channel.name.empty() && !name.second)
            reader.Problem(channel.line, "channel name \"" + channel.name + "\" is taken already (line " +
                                             std::to_string(name.first->second->line) + ")");
        const auto port = ports.emplace(PortKey(channel.port), &channel);
        if (!channel.port.empty() && !port.second)
            reader.Problem(channel.line, "port " + channel.port + " is channel \"" + port.first->second->name +
                                             "\"'s already (line " + std::to_string(port.first->second->line) +
                                             "): one port, one channel");
    }
}

}  // namespace

void ReadChannels(ConfigReader& reader, const TomlValue& root, GatewaySettings* settings) {
    const std::vector<const TomlValue*> tables = reader.Tables(root, "channel", "[[channel]]");
    const TomlValue* given = Find(root, "channel");
    if (given == nullptr || (given->is_array() && given->as_array().empty()))
        reader.Problem(0, "no [[channel]]: kivgate would have no line to read");
    for (size_t i = 0; i < tables.size(); ++i)
        settings->channels.push_back(ReadChannel(reader, *tables[i], static_cast<int32_t>(i + 1)));
    reader.SetSection("");
    CheckChannelsApart(reader, settings->channels);
}

}  // namespace kivgate
