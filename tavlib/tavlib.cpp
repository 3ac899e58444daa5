// A host runtime stand-in: named clients with message waits, a gate
// database with linear cooking and time-stamped values, and a log. Thread
// safe: the driver calls it from host threads and listener threads at once.
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "tavlib/tavlib_control.h"

#define TAV_EXPORT extern "C" TAVLIB_API

namespace {

struct Client {
    std::string name;
    int pending = 0;  // posted messages not yet taken by a wait
};

struct Gate {
    int32_t channelIndex, station, area, number, bit;
    double scale, offset;
    TavGateValue value;
};

using GateKey = std::tuple<int32_t, int32_t, int32_t, int32_t, int32_t>;

struct Runtime {
    std::mutex mutex;
    std::condition_variable wake;
    std::map<int32_t, Client> clients;
    int32_t nextClient = 1;
    std::vector<Gate> gates;  // gate id = index + 1
    std::map<GateKey, int32_t> gateIndex;
    int32_t gateWrites = 0;
    bool stopped = false;
    int32_t tickMs = 20;
    bool logToStderr = true;
    TavLogCallback logCallback = nullptr;
    void* logContext = nullptr;
    TavGateCallback gateCallback = nullptr;
    void* gateContext = nullptr;
    bool faults[5] = {};
    bool autoDefine = false;
};

// Never destroyed: a driver's listener thread may still call in while the
// host process runs its exit handlers.
Runtime& runtime() {
    static Runtime* instance = new Runtime;
    return *instance;
}

bool ParseDigits(const char* text, int count, int32_t* value) {
    int32_t result = 0;
    for (int i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        result = result * 10 + (text[i] - '0');
    }
    *value = result;
    return true;
}

Gate* FindGateLocked(Runtime& rt, int32_t gateId) {
    if (gateId < 1 || gateId > static_cast<int32_t>(rt.gates.size())) return nullptr;
    return &rt.gates[gateId - 1];
}

}  // namespace

TAV_EXPORT void TAVLIB_CDECL TavReset(void) {
    Runtime& rt = runtime();
    std::lock_guard<std::mutex> lock(rt.mutex);
    rt.clients.clear();
    rt.nextClient = 1;
    rt.gates.clear();
    rt.gateIndex.clear();
    rt.gateWrites = 0;
    rt.stopped = false;
    rt.tickMs = 20;
    rt.logToStderr = true;
    rt.logCallback = nullptr;
    rt.logContext = nullptr;
    rt.gateCallback = nullptr;
    rt.gateContext = nullptr;
    for (bool& fault : rt.faults) fault = false;
    rt.autoDefine = false;
}

TAV_EXPORT void TAVLIB_CDECL TavSetAutoDefine(int32_t on) {
    Runtime& rt = runtime();
    std::lock_guard<std::mutex> lock(rt.mutex);
    rt.autoDefine = on != 0;
}

TAV_EXPORT int32_t TAVLIB_CDECL TavGateAddress(int32_t gateId, int32_t* channelIndex, int32_t* station,
                                               int32_t* area, int32_t* number, int32_t* bit) {
    Runtime& rt = runtime();
    std::lock_guard<std::mutex> lock(rt.mutex);
    Gate* gate = FindGateLocked(rt, gateId);
    if (gate == nullptr) return -1;
    if (channelIndex != nullptr) *channelIndex = gate->channelIndex;
    if (station != nullptr) *station = gate->station;
    if (area != nullptr) *area = gate->area;
    if (number != nullptr) *number = gate->number;
    if (bit != nullptr) *bit = gate->bit;
    return 0;
}

namespace {

int32_t DefineGateLocked(Runtime& rt, int32_t channelIndex, int32_t station, int32_t area, int32_t number,
                         int32_t bit, double scale, double offset) {
    GateKey key{channelIndex, station, area, number, bit};
    auto found = rt.gateIndex.find(key);
    if (found != rt.gateIndex.end()) {
        Gate& gate = rt.gates[found->second - 1];
        gate.scale = scale;
        gate.offset = offset;
        return found->second;
    }
    rt.gates.push_back(Gate{channelIndex, station, area, number, bit, scale, offset, TavGateValue{}});
    int32_t id = static_cast<int32_t>(rt.gates.size());
    rt.gateIndex[key] = id;
    return id;
}

}  // namespace

TAV_EXPORT int32_t TAVLIB_CDECL TavDefineGateAt(int32_t channelIndex, int32_t station, int32_t area, int32_t number,
                                                int32_t bit, double scale, double offset) {
    Runtime& rt = runtime();
    std::lock_guard<std::mutex> lock(rt.mutex);
    return DefineGateLocked(rt, channelIndex, station, area, number, bit, scale, offset);
}

// R or S, four station digits, four number digits, optionally two bit digits.
TAV_EXPORT int32_t TAVLIB_CDECL TavDefineGate(int32_t channelIndex, const char* address, double scale,
                                              double offset) {
    if (address == nullptr) return -1;
    size_t length = std::strlen(address);
    if (length != 9 && length != 11) return -1;
    int32_t area;
    if (address[0] == 'R' || address[0] == 'r') area = 0;
    else if (address[0] == 'S' || address[0] == 's') area = 1;
    else return -1;
    int32_t station, number, bit = 255;
    if (!ParseDigits(address + 1, 4, &station) || !ParseDigits(address + 5, 4, &number)) return -1;
    if (length == 11 && (area != 0 || !ParseDigits(address + 9, 2, &bit) || bit > 31)) return -1;
    return TavDefineGateAt(channelIndex, station, area, number, bit, scale, offset);
}

TAV_EXPORT int32_t TAVLIB_CDECL TavFindGate(int32_t channelIndex, int32_t station, int32_t area, int32_t number,
                                            int32_t bit) {
    Runtime& rt = runtime();
    std::lock_guard<std::mutex> lock(rt.mutex);
    auto found = rt.gateIndex.find(GateKey{channelIndex, station, area, number, bit});
    return found == rt.gateIndex.end() ? -1 : found->second;
}

TAV_EXPORT int32_t TAVLIB_CDECL TavReadGate(int32_t gateId, TavGateValue* value) {
    Runtime& rt = runtime();
    std::lock_guard<std::mutex> lock(rt.mutex);
    Gate* gate = FindGateLocked(rt, gateId);
    if (gate == nullptr || value == nullptr) return -1;
    *value = gate->value;
    return 0;
}

TAV_EXPORT int32_t TAVLIB_CDECL TavGateWrites(void) {
    Runtime& rt = runtime();
    std::lock_guard<std::mutex> lock(rt.mutex);
    return rt.gateWrites;
}

TAV_EXPORT void TAVLIB_CDECL TavSetGateCallback(TavGateCallback callback, void* context) {
    Runtime& rt = runtime();
    std::lock_guard<std::mutex> lock(rt.mutex);
    rt.gateCallback = callback;
    rt.gateContext = context;
}

TAV_EXPORT int32_t TAVLIB_CDECL TavClientId(const char* name) {
    Runtime& rt = runtime();
    std::lock_guard<std::mutex> lock(rt.mutex);
    for (const auto& entry : rt.clients)
        if (name != nullptr && entry.second.name == name) return entry.first;
    return -1;
}

TAV_EXPORT int32_t TAVLIB_CDECL TavClientCount(void) {
    Runtime& rt = runtime();
    std::lock_guard<std::mutex> lock(rt.mutex);
    return static_cast<int32_t>(rt.clients.size());
}

TAV_EXPORT void TAVLIB_CDECL TavPostMessage(int32_t client) {
    Runtime& rt = runtime();
    {
        std::lock_guard<std::mutex> lock(rt.mutex);
        auto found = rt.clients.find(client);
        if (found == rt.clients.end()) return;
        ++found->second.pending;
    }
    rt.wake.notify_all();
}

TAV_EXPORT void TAVLIB_CDECL TavStopWaits(void) {
    Runtime& rt = runtime();
    {
        std::lock_guard<std::mutex> lock(rt.mutex);
        rt.stopped = true;
    }
    rt.wake.notify_all();
}

TAV_EXPORT void TAVLIB_CDECL TavSetWaitTick(int32_t milliseconds) {
    Runtime& rt = runtime();
    std::lock_guard<std::mutex> lock(rt.mutex);
    rt.tickMs = milliseconds > 0 ? milliseconds : 1;
}

TAV_EXPORT void TAVLIB_CDECL TavSetLogCallback(TavLogCallback callback, void* context) {
    Runtime& rt = runtime();
    std::lock_guard<std::mutex> lock(rt.mutex);
    rt.logCallback = callback;
    rt.logContext = context;
}

TAV_EXPORT void TAVLIB_CDECL TavSetLogToStderr(int32_t on) {
    Runtime& rt = runtime();
    std::lock_guard<std::mutex> lock(rt.mutex);
    rt.logToStderr = on != 0;
}

TAV_EXPORT void TAVLIB_CDECL TavSetFault(int32_t fault, int32_t on) {
    Runtime& rt = runtime();
    std::lock_guard<std::mutex> lock(rt.mutex);
    if (fault >= 1 && fault <= 4) rt.faults[fault] = on != 0;
}

// The seven runtime services the driver imports.

TAV_EXPORT int32_t TAVLIB_CDECL Tav5MkClient(const char* name, int32_t, int32_t, uint8_t* clientId) {
    Runtime& rt = runtime();
    std::lock_guard<std::mutex> lock(rt.mutex);
    if (rt.faults[TavFaultMkClient] || name == nullptr || clientId == nullptr) return 1;
    // Client ids are one byte to the driver: hand out 1 to 255, reusing freed ones.
    for (int32_t tries = 0; tries < 255; ++tries) {
        int32_t id = rt.nextClient;
        rt.nextClient = rt.nextClient % 255 + 1;
        if (rt.clients.count(id) == 0) {
            rt.clients[id] = Client{name, 0};
            *clientId = static_cast<uint8_t>(id);
            return 0;
        }
    }
    return 2;
}

TAV_EXPORT int32_t TAVLIB_CDECL Tav5RmClient(int32_t client) {
    Runtime& rt = runtime();
    {
        std::lock_guard<std::mutex> lock(rt.mutex);
        if (rt.clients.erase(client & 0xFF) == 0) return 1;
    }
    rt.wake.notify_all();
    return 0;
}

// Returns 1 when a message was posted or a tick passed, 0 once the host has
// stopped (or for an unknown client).
TAV_EXPORT int32_t TAVLIB_CDECL Tav5WaitMsg(int32_t client, void* message, int32_t) {
    Runtime& rt = runtime();
    std::unique_lock<std::mutex> lock(rt.mutex);
    client &= 0xFF;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(rt.tickMs);
    for (;;) {
        if (rt.stopped) return 0;
        auto found = rt.clients.find(client);
        if (found == rt.clients.end()) return 0;
        if (found->second.pending > 0) {
            --found->second.pending;
            if (message != nullptr) std::memset(message, 0, 4);
            return 1;
        }
        if (rt.wake.wait_until(lock, deadline) == std::cv_status::timeout) {
            if (rt.stopped) return 0;
            return 1;
        }
    }
}

TAV_EXPORT int32_t TAVLIB_CDECL Tav5GetGateIdByAddress(int32_t, int32_t channelIndex, int32_t station, int32_t area,
                                                       int32_t number, int32_t bit, int32_t* gateId) {
    Runtime& rt = runtime();
    std::lock_guard<std::mutex> lock(rt.mutex);
    if (rt.faults[TavFaultLookup] || gateId == nullptr) return 1;
    auto found = rt.gateIndex.find(GateKey{channelIndex, station, area, number, bit});
    if (found != rt.gateIndex.end()) {
        *gateId = found->second;
        return 0;
    }
    if (!rt.autoDefine) return 1;
    *gateId = DefineGateLocked(rt, channelIndex, station, area, number, bit, 1.0, 0.0);
    return 0;
}

TAV_EXPORT int32_t TAVLIB_CDECL Tav5Cook(int32_t, int32_t gateId, int32_t raw, double* cooked) {
    Runtime& rt = runtime();
    std::lock_guard<std::mutex> lock(rt.mutex);
    Gate* gate = FindGateLocked(rt, gateId);
    if (rt.faults[TavFaultCook] || gate == nullptr || cooked == nullptr) return 1;
    *cooked = raw * gate->scale + gate->offset;
    return 0;
}

TAV_EXPORT int32_t TAVLIB_CDECL Tav5PutGateVal(int32_t, int32_t gateId, int32_t mode, double value, int32_t time,
                                               int32_t milliseconds) {
    Runtime& rt = runtime();
    TavGateCallback callback;
    void* context;
    TavGateValue stored;
    {
        std::lock_guard<std::mutex> lock(rt.mutex);
        Gate* gate = FindGateLocked(rt, gateId);
        if (rt.faults[TavFaultPut] || gate == nullptr) return 1;
        gate->value.value = value;
        gate->value.time = time;
        gate->value.milliseconds = milliseconds;
        gate->value.mode = mode;
        ++gate->value.updates;
        ++rt.gateWrites;
        stored = gate->value;
        callback = rt.gateCallback;
        context = rt.gateContext;
    }
    if (callback != nullptr) callback(gateId, &stored, context);
    return 0;
}

TAV_EXPORT int32_t TAVLIB_CDECL err(int32_t level, const char* format, ...) {
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format != nullptr ? format : "", arguments);
    va_end(arguments);
    Runtime& rt = runtime();
    TavLogCallback callback;
    void* context;
    bool toStderr;
    {
        std::lock_guard<std::mutex> lock(rt.mutex);
        callback = rt.logCallback;
        context = rt.logContext;
        toStderr = rt.logToStderr;
    }
    if (toStderr) std::fprintf(stderr, "[%d] %s\n", level, text);
    if (callback != nullptr) callback(level, text, context);
    return 0;
}
