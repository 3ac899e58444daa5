// kivpoll --scan: one register read on each station of a range, through
// the driver as any other request, and a list of the stations that
// answered.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "kivlink.h"
#include "tools/kivpoll/driver_host.h"
#include "tools/kivpoll/output.h"
#include "tools/kivpoll/summary.h"

namespace kivpoll {

// The register a scan reads unless an address says otherwise: register 0,
// which every unit has.
constexpr int32_t kScanRegister = 0;

struct ScanOptions {
    int32_t first = -1, last = -1;  // the stations, both included; first < 0: no scan
    int32_t number = kScanRegister;
    int32_t count = 1;  // registers read from it (-C)
    std::string bit;  // two bit digits of a bit address, or empty for the whole register
    bool Wanted() const { return first >= 0; }
};

// "FIRST-LAST" or one station, 0 to 9999; "" or why not.
std::string ParseScanRange(const std::string& text, ScanOptions* scan);
// What to read on each station: a register number (300) or an R address
// whose station digits are left aside (R00000300, R0000030005); "" or why not.
std::string ParseScanRegister(const std::string& text, ScanOptions* scan);
// The address a scan reads on station.
std::string ScanAddress(const ScanOptions& scan, int32_t station);

// A read time-out, in tens of ms, that lets the request and a register's
// answer pass at the line's speed with a unit's turnaround, and no more,
// since a station that is not there costs three of them: at least the
// driver's 40 ms, 100 ms more on a network line.
int32_t ScanReadTimeout(const LineSettings& line, bool network);

// "1-3, 7, 9-10" from stations in rising order.
std::string StationRanges(const std::vector<int32_t>& stations);

// Reads the register on each station, a row each, until the last or until
// stop; then a note of who answered. The exit code: done when a station
// answered, refused when none did but one refused, else no answer.
int ScanStations(DriverHost& host, const ScanOptions& scan, Output& output, Summary& summary,
                 const std::atomic<bool>& stop);

}  // namespace kivpoll
