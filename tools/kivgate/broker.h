// The gateway's MQTT client: connects (with back-off between tries), sets
// PREFIX/status "online" with "offline" as its last will, sends what the
// outbox holds whenever it is connected, and hands /set messages to the
// gateway. Its threads are its own: nothing on a channel waits for it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "tools/kivgate/outbox.h"
#include "tools/kivgate/settings.h"

namespace kivgate {

// A message on PREFIX/CHANNEL/STATION/NAME/set (NAME "clock": the unit's clock).
using WriteSink = std::function<void(const std::string& channel, int32_t station, const std::string& name,
                                     const std::string& payload)>;

class Broker {
public:
    Broker(const BrokerSettings& settings, Outbox& outbox, WriteSink sink);
    ~Broker();  // Stop
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    // Starts connecting; false with why only for what no retry mends (the
    // client library, a TLS file that cannot be read). A broker that is not
    // there is tried again and again.
    bool Start(std::string* error);
    // Sends what the outbox holds (for up to timeoutMs), publishes
    // "offline", disconnects and ends the threads.
    void Stop(int timeoutMs = 2000);
    bool Connected() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace kivgate
