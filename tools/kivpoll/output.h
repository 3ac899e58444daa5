// kivpoll's output: an aligned table for people, or JSON lines for programs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/common/time_text.h"
#include "tools/kivpoll/formats.h"
#include "tools/kivpoll/names.h"

namespace kivpoll {

struct OutputOptions {
    bool json = false;
    bool csv = false;  // a header row, then one row per request or gate update
    bool hex = false;
    ValueFormat format;    // --format, --word-order, --hex, --bin
    RegisterNames names;   // --names: a column of names beside the addresses
    bool named = false;
    bool scan = false;     // the rows are a scan's: one a station
};

// One result of a request.
struct ResultRow {
    std::string address;
    std::string operation;  // read, write, clock, events
    int32_t result = 0;
    std::vector<int32_t> values;
    double milliseconds = -1;  // round trip through KivMain; < 0: the request never reached the line
    std::string reason;        // why it was refused; empty otherwise
};

// The station an R, S or ! address names, or -1.
int32_t StationOf(const std::string& address);

// One gate update that reached the runtime (events, report-by-exception).
struct GateRow {
    std::string gate;  // R00120300 or S00121296
    double value = 0;
    int32_t time = 0;  // unit time stamp, calendar seconds (0: none)
    int32_t milliseconds = 0;
};

std::string ResultName(int32_t result);
// Now, and a unit's time stamp, by the tools' clock and zone (--utc).
std::string NowText(kivtools::TimeForm form);
std::string UnitTimeText(int32_t time, int32_t milliseconds, kivtools::TimeForm form);

// Rows go to out (standard output unless --output names a file).
class Output {
public:
    explicit Output(OutputOptions options, std::FILE* out = stdout) : options_(options), out_(out) {}
    std::FILE* stream() const { return out_; }
    void Result(const ResultRow& row);
    void Gate(const GateRow& row);
    void Note(const std::string& text);  // a line for people; a JSON note otherwise

private:
    void HeaderOnce();
    std::vector<ShownValue> Values(const ResultRow& row) const;
    ShownValue GateValue(const GateRow& row) const;
    std::string NameColumn(const std::string& address) const;
    void ScanRow(const ResultRow& row);
    void CsvRow(const std::vector<std::string>& fields);
    OutputOptions options_;
    std::FILE* out_;
    bool headerDone_ = false;
};

}  // namespace kivpoll
