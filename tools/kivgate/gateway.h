// The running gateway: the broker's client, the outbox between it and the
// channels, and the channels, started, reloaded and stopped together.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/kivgate/broker.h"
#include "tools/kivgate/channel.h"
#include "tools/kivgate/outbox.h"
#include "tools/kivgate/publish.h"
#include "tools/kivgate/settings.h"

namespace kivgate {

class Gateway {
public:
    Gateway() = default;
    ~Gateway();  // Stop
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    // Starts the broker's client (which connects in the background, for as
    // long as it takes) and every channel. false with why when a channel
    // cannot load the driver or the client cannot start; what started is
    // stopped again.
    bool Start(const GatewaySettings& settings, std::string* error);
    // New settings (SIGHUP): every channel ends with Close and starts again
    // from them; the broker's client and the outbox stay when the broker's
    // settings did not change, so that nothing queued is lost. false with
    // why; the gateway then runs on what started.
    bool Reload(const GatewaySettings& settings, std::string* error);
    // Ends every channel with Close, then sends what the outbox holds (for a
    // bounded time), "offline" and disconnects.
    void Stop();

    // Channels and gates running; for the start line.
    size_t Channels() const;

private:
    bool StartBroker(const BrokerSettings& broker, std::string* error);
    bool StartChannels(const GatewaySettings& settings, std::string* error);
    void StopChannels();
    // A /set from the broker, to the channel of that name.
    void Route(const std::string& channel, int32_t station, const std::string& name, const std::string& payload);

    GatewaySettings settings_;
    std::unique_ptr<Outbox> outbox_;
    std::unique_ptr<Publisher> publisher_;
    std::unique_ptr<Broker> broker_;
    mutable std::mutex channelsMutex_;  // Route (the broker's thread) against a reload
    std::vector<std::unique_ptr<Channel>> channels_;
};

}  // namespace kivgate
