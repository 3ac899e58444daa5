// One channel of the gateway: its own thread calls the driver for it (Open,
// the address commands, polls grouped per station, writes, the clock) and
// tells the publisher what it read. The driver's listener feeds it through
// the runtime's gate updates.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tools/kivgate/publish.h"
#include "tools/kivgate/settings.h"

namespace kivgate {

// What a running channel keeps (channel_run.h).
struct ChannelRun;

class Channel {
public:
    Channel(const ChannelSettings& settings, const std::string& driverPath, Publisher& publisher);
    ~Channel();  // Stop
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // Loads the driver for this channel and starts the channel's thread,
    // which opens the port (and keeps trying while it does not open), runs
    // the address commands and polls. false with why when the driver cannot
    // be loaded.
    bool Start(std::string* error);
    // Ends the thread after the driver call in progress and ends the channel
    // with Close. Bounded by the longest driver call.
    void Stop();

    // A /set for the gate name on station (payload as it came). Queued for
    // the channel's thread (bounded); a full queue, an unknown gate or a gate
    // not writable has its result published at once, and nothing goes on the
    // line.
    void SubmitWrite(int32_t station, const std::string& name, const std::string& payload);
    // A /set of the unit's clock on station ("now" or empty: the gateway's clock).
    void SubmitClock(int32_t station, const std::string& payload);

    const ChannelSettings& settings() const;

private:
    std::unique_ptr<ChannelRun> state_;
};

}  // namespace kivgate
