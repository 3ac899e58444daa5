// The console API's checks of the values a request carries.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "tools/kivsim/station.h"

namespace kivsim {

// One JSON number for a field: an integer from low to high.
bool IntegerIn(const nlohmann::json& value, int64_t low, int64_t high, int64_t* out);
// A register value: 0 to 0xFFFFFFFF, or a negative 32-bit number (as `change` takes it).
bool RegisterValueIn(const nlohmann::json& value, uint32_t* out);
// "YYYY-MM-DD HH:MM:SS[.mmm]" (or with a T) into a calendar time the units'
// time stamps can carry.
bool ParseStamp(const std::string& text, CalendarTime* t);

}  // namespace kivsim
