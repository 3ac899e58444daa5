// The scan of a range of stations.
#include "tools/kivpoll/scan.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

#include "tools/kivpoll/requester.h"

namespace kivpoll {

namespace {

constexpr int32_t kStationMax = 9999;     // four digits in an address
constexpr int32_t kRegisterMax = 8999;    // the highest register an address names
constexpr int32_t kScanFrameBytes = 40;   // a read request and a register's answer, with room
constexpr int32_t kTurnaroundMs = 20;     // a unit's time between request and answer
constexpr int32_t kNetworkMs = 100;       // a device server's way there and back

// A decimal number of up to digits digits from low to high.
bool Decimal(const std::string& text, size_t digits, int32_t low, int32_t high, int32_t* value) {
    if (text.empty() || text.size() > digits) return false;
    int32_t number = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        number = number * 10 + (c - '0');
    }
    if (number < low || number > high) return false;
    *value = number;
    return true;
}

bool AllDigits(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

}  // namespace

std::string ParseScanRange(const std::string& text, ScanOptions* scan) {
    const size_t dash = text.find('-');
    const std::string first = text.substr(0, dash), last = dash == std::string::npos ? first : text.substr(dash + 1);
    if (!Decimal(first, 4, 0, kStationMax, &scan->first) || !Decimal(last, 4, 0, kStationMax, &scan->last))
        return "--scan " + text + ": give stations FIRST-LAST from 0 to " + std::to_string(kStationMax) + " (e.g. 1-32)";
    if (scan->first > scan->last) return "--scan " + text + ": the first station comes after the last";
    return "";
}

std::string ParseScanRegister(const std::string& text, ScanOptions* scan) {
    const std::string usage = "--scan reads one register on each station: give its number (0 to " +
                              std::to_string(kRegisterMax) + ") or an R address, not " + text;
    if (Decimal(text, 4, 0, kRegisterMax, &scan->number)) return "";
    const bool address = (text.size() == 9 || text.size() == 11) && (text[0] == 'R' || text[0] == 'r') &&
                         AllDigits(text.substr(1));
    int32_t bit = 0;
    if (!address || !Decimal(text.substr(5, 4), 4, 0, kRegisterMax, &scan->number) ||
        (text.size() == 11 && !Decimal(text.substr(9), 2, 0, 31, &bit)))
        return usage;
    scan->bit = text.substr(9);
    return "";
}

std::string ScanAddress(const ScanOptions& scan, int32_t station) {
    char text[16];
    std::snprintf(text, sizeof text, "R%04d%04d", int(station), int(scan.number));
    return text + scan.bit;
}

int32_t ScanReadTimeout(const LineSettings& line, bool network) {
    // Start bit, data bits, parity and stop bits of one character.
    const int32_t bits = 1 + (line.dataBits > 0 ? line.dataBits : 8) + (line.parity != 0 ? 1 : 0) + 2;
    const int32_t baud = line.baudRate > 0 ? line.baudRate : 19200;
    int32_t ms = (kScanFrameBytes * bits * 1000 + baud - 1) / baud + kTurnaroundMs + (network ? kNetworkMs : 0);
    return std::max<int32_t>((ms + 9) / 10, 4);
}

std::string StationRanges(const std::vector<int32_t>& stations) {
    std::string text;
    for (size_t at = 0; at < stations.size();) {
        size_t end = at;
        while (end + 1 < stations.size() && stations[end + 1] == stations[end] + 1) ++end;
        text += (text.empty() ? "" : ", ") + std::to_string(stations[at]);
        if (end > at) text += (end == at + 1 ? ", " : "-") + std::to_string(stations[end]);
        at = end + 1;
    }
    return text;
}

int ScanStations(DriverHost& host, const ScanOptions& scan, Output& output, Summary& summary,
                 const std::atomic<bool>& stop) {
    Requester requester(host, output, summary);
    // What to check is worth saying only when no station answered.
    requester.HoldChecklists();
    RequestSpec spec;
    spec.count = scan.count;
    std::vector<int32_t> answered, refused;
    int32_t asked = 0;
    for (int32_t station = scan.first; station <= scan.last && !stop; ++station, ++asked) {
        const int32_t result = requester.Request(ScanAddress(scan, station), spec);
        if (result == 0) answered.push_back(station);
        else if (result == 1) refused.push_back(station);
    }
    std::string note = answered.empty() ? "no station answered" : "stations that answered: " + StationRanges(answered);
    note += " (" + std::to_string(asked) + " asked";
    if (asked < scan.last - scan.first + 1) note += ", the scan was interrupted";
    note += ")";
    if (!refused.empty()) note += "; refused: " + StationRanges(refused);
    output.Note(note);
    if (!answered.empty()) return kExitDone;
    requester.ShowHeldChecklists();
    return refused.empty() ? kExitNoAnswer : kExitRefused;
}

}  // namespace kivpoll
