// kivgate --check: what a checked configuration sets up, for people: the
// broker, each channel's line, each gate's topic, poll and write rights,
// and the gates the driver would refuse.
#include <algorithm>
#include <cmath>
#include <sstream>

#include "tools/kivgate/config.h"
#include "tools/kivgate/config_reader.h"
#include "tools/kivpoll/requester.h"

namespace kivgate {

namespace {

std::string Plural(size_t count, const std::string& one, const std::string& many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string Padded(const std::string& text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string Decimal(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

// The station level of the gate's topic; "?" when its address names none.
std::string StationLevel(const GateSettings& gate) {
    GateSettings probe;
    return AddressFields(gate.address, &probe) ? std::to_string(gate.station) : "?";
}

std::string GateTopic(const GatewaySettings& settings, const ChannelSettings& channel, const GateSettings& gate) {
    return settings.broker.prefix + "/" + channel.name + "/" + StationLevel(gate) + "/" + gate.name;
}

void ExplainBroker(const GatewaySettings& settings, std::FILE* out) {
    const BrokerSettings& b = settings.broker;
    std::fprintf(out, "driver    %s\n", settings.driverPath.empty() ? "beside the program" : settings.driverPath.c_str());
    std::fprintf(out, "workdir   %s\n", settings.workdir.empty() ? "a temporary folder" : settings.workdir.c_str());
    std::fprintf(out, "broker    %s:%d, client id \"%s\", keep-alive %d s\n", b.host.c_str(), b.port,
                 b.clientId.c_str(), b.keepAliveSeconds);
    const std::string password = !b.passwordFile.empty() ? ", password from " + b.passwordFile
                                 : !b.password.empty()   ? ", password in the file"
                                                         : ", no password";
    std::fprintf(out, "login     %s\n", b.user.empty() ? "anonymous" : ("user \"" + b.user + "\"" + password).c_str());
    std::fprintf(out, "tls       %s\n", b.tls ? ("on, CA file " + b.caFile).c_str() : "off");
    std::fprintf(out, "topics    %s/status (online/offline, retained; offline is the last will), %s/events\n",
                 b.prefix.c_str(), b.prefix.c_str());
    std::fprintf(out, "          values, statuses and results at QoS %d, events at QoS 1; up to %d events kept "
                      "while the broker is away\n", b.qos, b.eventQueue);
}

std::string LineText(const ChannelSettings& channel) {
    const LineSettings& line = channel.lineSettings;
    static const char* const parities[] = {"no", "odd", "even", "mark", "space"};
    static const char* const stops[] = {"1 stop bit", "1.5 stop bits", "2 stop bits"};
    std::string text = std::to_string(line.baudRate) + " baud, " + std::to_string(line.dataBits) + " data bits, " +
                       parities[std::min<int>(line.parity, 4)] + " parity, " + stops[std::min<int>(line.stopBits, 2)];
    if (channel.port.rfind("tcp://", 0) == 0) text += " (a tcp:// line carries data only: no effect)";
    return text;
}

void ExplainLine(const GatewaySettings& settings, const ChannelSettings& channel, std::FILE* out) {
    std::fprintf(out, "\nchannel %d \"%s\" (line %d): %s\n", channel.number, channel.name.c_str(), channel.line,
                 channel.port.c_str());
    std::fprintf(out, "  line      %s\n", LineText(channel).c_str());
    std::fprintf(out, "  requests  time-out %d ms, host address %d\n", channel.readTimeout * 10, channel.hostAddress);
    std::fprintf(out, "  exception %s\n", channel.exception ? "on: the units' reports update the gates" : "off");
    if (channel.radioTimes.size() == 3)
        std::fprintf(out, "  radio     RTS keyed: on %d ms, off %d ms, delay %d ms\n", channel.radioTimes[0],
                     channel.radioTimes[1], channel.radioTimes[2]);
    const std::string topic = settings.broker.prefix + "/" + channel.name;
    std::fprintf(out, "  topics    %s/status, %s/events, %s/STATION/clock/set sets a unit's clock\n", topic.c_str(),
                 topic.c_str(), topic.c_str());
}

std::string GateWhat(const GateSettings& gate) {
    std::string what = gate.address;
    if (gate.count > 1) what += " (" + std::to_string(gate.count) + " registers)";
    if (gate.kind != (kivpoll::IsBitAddress(gate.address) ? 6 : 3)) what += " kind " + std::to_string(gate.kind);
    return what;
}

std::string Scaling(const GateSettings& gate) {
    if (gate.scale == 1 && gate.offset == 0) return "raw value";
    std::string text = "raw";
    if (gate.scale != 1) text += " * " + Decimal(gate.scale);
    if (gate.offset != 0) text += (gate.offset < 0 ? " - " : " + ") + Decimal(std::abs(gate.offset));
    return text;
}

// The gates' rows in columns; returns the refused ones' lines.
std::vector<std::string> ExplainGates(const GatewaySettings& settings, const ChannelSettings& channel,
                                      const AddressVerdict& verdict, std::FILE* out) {
    size_t topicWidth = 0, whatWidth = 0;
    for (const GateSettings& gate : channel.gates) {
        topicWidth = std::max(topicWidth, GateTopic(settings, channel, gate).size());
        whatWidth = std::max(whatWidth, GateWhat(gate).size());
    }
    std::fprintf(out, "  gates     %s\n", channel.gates.empty() ? "none" : std::to_string(channel.gates.size()).c_str());
    std::vector<std::string> refused;
    for (const GateSettings& gate : channel.gates) {
        const std::string topic = GateTopic(settings, channel, gate);
        const std::string poll = gate.pollMs == 0 ? "exception only" : "every " + PollText(gate.pollMs);
        std::fprintf(out, "    %s  %s  %s  %s  %s\n", Padded(topic, topicWidth).c_str(),
                     Padded(GateWhat(gate), whatWidth).c_str(), Padded(poll, 16).c_str(),
                     gate.writable ? "writable " : "read-only", Scaling(gate).c_str());
        const std::string why = verdict ? verdict(gate) : "";
        if (!why.empty())
            refused.push_back(topic + " (" + gate.address + ", line " + std::to_string(gate.line) + "): " + why);
    }
    return refused;
}

}  // namespace

void ExplainSettings(const GatewaySettings& settings, const AddressVerdict& verdict, std::FILE* out) {
    size_t gates = 0;
    for (const ChannelSettings& channel : settings.channels) gates += channel.gates.size();
    std::fprintf(out, "%s: %s, %s\n", settings.file.c_str(), Plural(settings.channels.size(), "channel", "channels").c_str(),
                 Plural(gates, "gate", "gates").c_str());
    ExplainBroker(settings, out);
    size_t refusedCount = 0;
    for (const ChannelSettings& channel : settings.channels) {
        ExplainLine(settings, channel, out);
        const std::vector<std::string> refused = ExplainGates(settings, channel, verdict, out);
        if (refused.empty()) continue;
        refusedCount += refused.size();
        std::fprintf(out, "  refused by the driver, skipped when kivgate runs:\n");
        for (const std::string& line : refused) std::fprintf(out, "    %s\n", line.c_str());
    }
    if (!verdict) return;
    if (refusedCount == 0)
        std::fprintf(out, "\nthe driver takes every gate's address\n");
    else
        std::fprintf(out, "\n%s of %zu the driver would refuse\n", Plural(refusedCount, "gate", "gates").c_str(), gates);
}

}  // namespace kivgate
