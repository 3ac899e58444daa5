// The runtime's gate updates (the listener's report-by-exception, and the
// records an event fetch stores) to the channels: the runtime has one gate
// callback, which finds the channel by its index (number - 1) and hands the
// update to the gates that name its address.
#include <cmath>
#include <map>
#include <mutex>

#include "tavlib/tavlib_control.h"
#include "tools/kivgate/channel_run.h"

namespace kivgate {

namespace {

// Held while an update is handed over, so that a channel that unregisters
// has no update in hand once Unregister returns.
std::mutex registryMutex;
std::map<int32_t, ChannelRun*> channelsByIndex;

int32_t IndexOf(const ChannelRun& run) { return run.settings.number - 1; }

// Whether gate reads the register or status point of the update, and at
// which place of its values.
bool Names(const GateSettings& gate, int32_t station, int32_t area, int32_t number, size_t* place) {
    if (gate.station != station || gate.area != area) return false;
    if (area != AreaRegister) return gate.number == number;
    if (number < gate.number || number >= gate.number + std::max<int32_t>(gate.count, 1)) return false;
    *place = static_cast<size_t>(number - gate.number);
    return true;
}

// The gate's raw values with the update in; false when a block has no
// good read yet to put one register into.
bool Updated(const GateRun& run, size_t place, int32_t raw, std::vector<int32_t>* values) {
    const GateSettings& gate = run.settings;
    if (gate.area == AreaRegister && gate.bit != KivWholeRegister) {
        *values = {BitOf(raw, gate.bit)};
        return true;
    }
    if (gate.count <= 1) {
        *values = {raw};
        return true;
    }
    if (!run.good || run.raw.size() != static_cast<size_t>(gate.count)) return false;
    *values = run.raw;
    (*values)[place] = raw;
    return true;
}

void HandleUpdate(ChannelRun& run, int32_t station, int32_t area, int32_t number, int32_t bit,
                  const TavGateValue& value) {
    GateReading reading;
    reading.timeMs = WallMs();
    reading.unitTime = value.time > 0 ? value.time : 0;
    reading.unitMs = value.time > 0 ? value.milliseconds : 0;
    reading.source = std::this_thread::get_id() == run.worker.load() ? Source::EventFetch : Source::Exception;
    if (reading.source == Source::EventFetch) ++run.fetched;
    const int32_t raw = static_cast<int32_t>(std::llround(value.value));
    // A record older than the newest the gate took (sent again, or out of
    // order) goes to the events only, so that a retained value never steps
    // back in the unit's time. Only the unit's own stamps are compared: its
    // clock may differ from this machine's by any amount.
    const int64_t stampMs = reading.unitTime > 0 ? int64_t{reading.unitTime} * 1000 + reading.unitMs : 0;
    std::lock_guard<std::mutex> lock(run.gatesMutex);
    const GateSettings* named = nullptr;
    for (GateRun& gate : run.gates) {
        size_t place = 0;
        std::vector<int32_t> values;
        if (!Names(gate.settings, station, area, number, &place)) continue;
        if (named == nullptr && gate.settings.count <= 1 && gate.settings.bit == KivWholeRegister)
            named = &gate.settings;
        if ((stampMs > 0 && stampMs < gate.newestStampMs) || !Updated(gate, place, raw, &values)) continue;
        if (stampMs > 0) gate.newestStampMs = stampMs;
        gate.raw = values;
        gate.good = true;
        gate.quality = Quality::Good;
        gate.result = 0;
        gate.reason.clear();
        gate.fresh = SteadyClock::now();
        reading.values = Scaled(gate.settings, values);
        run.publisher.GateValue(run.settings, gate.settings, reading);
    }
    reading.values = {named != nullptr ? raw * named->scale + named->offset : static_cast<double>(raw)};
    run.publisher.UnitEvent(run.settings, named, station, area, number, bit, reading);
}

void TAVLIB_CDECL OnGateUpdate(int32_t gateId, const TavGateValue* value, void*) {
    int32_t index = 0, station = 0, area = 0, number = 0, bit = 0;
    if (value == nullptr || TavGateAddress(gateId, &index, &station, &area, &number, &bit) != 0) return;
    std::lock_guard<std::mutex> lock(registryMutex);
    const auto found = channelsByIndex.find(index);
    if (found != channelsByIndex.end()) HandleUpdate(*found->second, station, area, number, bit, *value);
}

}  // namespace

void RegisterForUpdates(ChannelRun& run) {
    std::lock_guard<std::mutex> lock(registryMutex);
    channelsByIndex[IndexOf(run)] = &run;
    // Events for addresses no gate names still reach the channel's events.
    TavSetAutoDefine(1);
    TavSetGateCallback(OnGateUpdate, nullptr);
}

void UnregisterForUpdates(ChannelRun& run) {
    std::lock_guard<std::mutex> lock(registryMutex);
    const auto found = channelsByIndex.find(IndexOf(run));
    if (found != channelsByIndex.end() && found->second == &run) channelsByIndex.erase(found);
}

void DefineRuntimeGates(ChannelRun& run) {
    for (const GateRun& gate : run.gates) {
        const GateSettings& at = gate.settings;
        if (at.area == AreaStatus)
            TavDefineGateAt(IndexOf(run), at.station, AreaStatus, at.number, KivWholeRegister, 1.0, 0.0);
        if (at.area != AreaRegister) continue;
        for (int32_t k = 0; k < std::max<int32_t>(at.count, 1); ++k)
            TavDefineGateAt(IndexOf(run), at.station, AreaRegister, at.number + k, KivWholeRegister, 1.0, 0.0);
    }
}

}  // namespace kivgate
