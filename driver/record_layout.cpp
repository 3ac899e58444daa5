// The host's records have fixed layouts: every offset is checked here at
// compile time. Those after a pointer hold when pointers are 4 bytes, as on
// the 32-bit Windows target the host loads.
#include <cstddef>

#include "kivlink.h"

static_assert(sizeof(LineSettings) == 8 && offsetof(LineSettings, parity) == 6, "LineSettings layout");
static_assert(offsetof(PortSettings, enabled) == 12 && offsetof(PortSettings, readTimeout) == 16 &&
                  offsetof(PortSettings, line) == 20 && sizeof(PortSettings) == 28,
              "PortSettings layout");
static_assert(offsetof(PortChange, readTimeout) == 12 && offsetof(PortChange, line) == 16 && sizeof(PortChange) == 24,
              "PortChange layout");
static_assert(offsetof(GateRequest, station) == 8 && offsetof(GateRequest, area) == 12 &&
                  offsetof(GateRequest, number) == 16 && offsetof(GateRequest, bit) == 20 &&
                  offsetof(GateRequest, size) == 24 && offsetof(GateRequest, count) == 32 &&
                  offsetof(GateRequest, data) == 40,
              "GateRequest layout");

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(offsetof(CallRecord, command) == 4 && offsetof(CallRecord, channel) == 8 &&
                  offsetof(CallRecord, parameters) == 16 && sizeof(CallRecord) == 20,
              "CallRecord layout");
static_assert(offsetof(DriverInfo, deviceName) == 4 && offsetof(DriverInfo, banner) == 8 &&
                  offsetof(DriverInfo, blockSize) == 12 && offsetof(DriverInfo, defaultReadTimeout) == 16 &&
                  offsetof(DriverInfo, defaultLine) == 20 && offsetof(DriverInfo, defaultExtra) == 28 &&
                  sizeof(DriverInfo) == 32,
              "DriverInfo layout");
static_assert(sizeof(GateRequest) == 44, "GateRequest layout");
static_assert(offsetof(AddressRequest, reserved) == 4 && offsetof(AddressRequest, gate) == 8 &&
                  sizeof(AddressRequest) == 52,
              "AddressRequest layout");
#endif
