// The gate of the platform's log lines (see platform_log.h).
#include "platform/platform_log.h"

namespace {

PlatformLogGate logGate = nullptr;

}  // namespace

void SetPlatformLogGate(PlatformLogGate gate) { __atomic_store_n(&logGate, gate, __ATOMIC_RELEASE); }

bool PlatformLogMayWrite(int32_t level, const char* format) {
    const PlatformLogGate gate = __atomic_load_n(&logGate, __ATOMIC_ACQUIRE);
    return gate == nullptr || gate(level, format);
}
