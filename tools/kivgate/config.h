// kivgate's configuration file (TOML): read, checked and explained. Every
// mistake is reported with the file, its line and what is wrong.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tools/kivgate/settings.h"

namespace kivgate {

// Reads path into settings. false when the file cannot be read or holds a
// mistake; problems then holds one line per mistake, "FILE:LINE: what is
// wrong" (every mistake found, not only the first).
bool ReadSettings(const std::string& path, GatewaySettings* settings, std::vector<std::string>* problems);

// Why the driver would refuse a gate's address ("" when it takes it).
using AddressVerdict = std::function<std::string(const GateSettings& gate)>;

// --check: what the file sets up, for people: the broker, each channel's
// line and each gate with its topic, poll and write rights; with verdict,
// the gates the driver would refuse (they would be skipped).
void ExplainSettings(const GatewaySettings& settings, const AddressVerdict& verdict, std::FILE* out);

}  // namespace kivgate
