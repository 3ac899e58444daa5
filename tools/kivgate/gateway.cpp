// Starting, reloading and stopping the gateway's parts in their order:
// the broker's client before the channels (their first values wait in the
// outbox), the channels before the client at the end (their last statuses
// go out before "offline").
#include "tools/kivgate/gateway.h"

#include <cstdio>

#include <nlohmann/json.hpp>

namespace kivgate {

namespace {

bool SameBroker(const BrokerSettings& a, const BrokerSettings& b) {
    return a.host == b.host && a.port == b.port && a.clientId == b.clientId && a.user == b.user &&
           a.password == b.password && a.tls == b.tls && a.caFile == b.caFile && a.prefix == b.prefix &&
           a.qos == b.qos && a.keepAliveSeconds == b.keepAliveSeconds && a.eventQueue == b.eventQueue;
}

size_t GateCount(const GatewaySettings& settings) {
    size_t gates = 0;
    for (const ChannelSettings& channel : settings.channels) gates += channel.gates.size();
    return gates;
}

}  // namespace

Gateway::~Gateway() { Stop(); }

bool Gateway::StartBroker(const BrokerSettings& broker, std::string* error) {
    outbox_ = std::make_unique<Outbox>(static_cast<size_t>(broker.eventQueue));
    publisher_ = std::make_unique<Publisher>(*outbox_, broker);
    broker_ = std::make_unique<Broker>(broker, *outbox_,
                                       [this](const std::string& channel, int32_t station, const std::string& name,
                                              const std::string& payload) { Route(channel, station, name, payload); });
    return broker_->Start(error);
}

bool Gateway::StartChannels(const GatewaySettings& settings, std::string* error) {
    std::vector<std::unique_ptr<Channel>> started;
    for (const ChannelSettings& channel : settings.channels) {
        started.push_back(std::make_unique<Channel>(channel, settings.driverPath, *publisher_));
        if (!started.back()->Start(error)) {
            *error = "channel " + channel.name + ": " + *error;
            return false;  // the started ones stop as they are destroyed
        }
    }
    std::lock_guard<std::mutex> lock(channelsMutex_);
    channels_ = std::move(started);
    return true;
}

bool Gateway::Start(const GatewaySettings& settings, std::string* error) {
    settings_ = settings;
    if (!StartBroker(settings.broker, error) || !StartChannels(settings, error)) {
        Stop();
        return false;
    }
    return true;
}

void Gateway::StopChannels() {
    std::vector<std::unique_ptr<Channel>> stopping;
    {
        std::lock_guard<std::mutex> lock(channelsMutex_);
        stopping.swap(channels_);
    }
    for (auto& channel : stopping) channel->Stop();
}

bool Gateway::Reload(const GatewaySettings& settings, std::string* error) {
    StopChannels();
    const bool sameBroker = broker_ != nullptr && SameBroker(settings.broker, settings_.broker);
    settings_ = settings;
    if (!sameBroker) {
        if (broker_ != nullptr) broker_->Stop();
        broker_.reset();
        if (!StartBroker(settings.broker, error)) return false;
    }
    const nlohmann::json fields{{"channels", settings.channels.size()}, {"gates", GateCount(settings)}};
    publisher_->GatewayEvent("reload", fields.dump());
    return StartChannels(settings, error);
}

void Gateway::Stop() {
    StopChannels();
    if (broker_ != nullptr) broker_->Stop();
    broker_.reset();
    publisher_.reset();
    outbox_.reset();
}

size_t Gateway::Channels() const {
    std::lock_guard<std::mutex> lock(channelsMutex_);
    return channels_.size();
}

void Gateway::Route(const std::string& channel, int32_t station, const std::string& name,
                    const std::string& payload) {
    std::lock_guard<std::mutex> lock(channelsMutex_);
    for (auto& running : channels_) {
        if (running->settings().name != channel) continue;
        if (name == "clock") running->SubmitClock(station, payload);
        else running->SubmitWrite(station, name, payload);
        return;
    }
    const nlohmann::json fields{{"channel", channel}, {"station", station}, {"gate", name},
                                {"reason", "the gateway has no channel of that name"}};
    // A topic may carry any bytes: replace what is not UTF-8 rather than throw.
    publisher_->GatewayEvent("write refused", fields.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

}  // namespace kivgate
