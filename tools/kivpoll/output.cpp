// Table and JSON lines output of kivpoll.
#include "tools/kivpoll/output.h"

#include <algorithm>
#include <cstdio>

namespace kivpoll {

using kivtools::TimeForm;

std::string ResultName(int32_t result) {
    switch (result) {
    case 0: return "done";
    case 1: return "refused";
    case 2: return "no answer";
    default: return "result " + std::to_string(result);
    }
}

std::string NowText(TimeForm form) {
    return kivtools::FormatTime(kivtools::WallClockMs(), form);
}

std::string UnitTimeText(int32_t time, int32_t milliseconds, TimeForm form) {
    if (time == 0) return "-";
    if (time == -1) return "invalid";
    return kivtools::FormatTime(int64_t(time) * 1000 + milliseconds, form);
}

namespace {

// The length of the well-formed UTF-8 sequence at text[at], or 0.
size_t Utf8Sequence(const std::string& text, size_t at) {
    const unsigned char first = static_cast<unsigned char>(text[at]);
    size_t length = first >= 0xF0 && first <= 0xF4 ? 4 : first >= 0xE0 ? 3 : first >= 0xC2 && first <= 0xDF ? 2 : 0;
    if (length == 0 || at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return 0;
    }
    const unsigned char second = static_cast<unsigned char>(text[at + 1]);
    if ((first == 0xE0 && second < 0xA0) || (first == 0xED && second >= 0xA0) || (first == 0xF0 && second < 0x90) ||
        (first == 0xF4 && second >= 0x90)) {
        return 0;  // overlong, surrogate or beyond U+10FFFF
    }
    return length;
}

// A number as JSON: null when not measured.
std::string JsonMilliseconds(double ms) {
    if (ms < 0) return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", ms);
    return text;
}

// A gate value as people read it: whole numbers exactly, others to 6 digits.
std::string GateValueText(double value) {
    char text[40];
    if (value == static_cast<double>(static_cast<long long>(value)) && value > -1e18 && value < 1e18)
        std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
    else
        std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        char escaped[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (size_t length = Utf8Sequence(text, i)) {
            out.append(text, i, length);
            i += length - 1;
        } else {
            // A byte that is no UTF-8: its Latin-1 character, escaped.
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        }
    }
    return out + "\"";
}

// A CSV field: quoted when it holds a comma, a quote or a line break.
std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

}  // namespace

int32_t StationOf(const std::string& address) {
    const size_t first = !address.empty() && address[0] == '!' ? 2 : 1;
    if (address.size() < first + 4) return -1;
    int32_t station = 0;
    for (size_t i = first; i < first + 4; ++i) {
        if (address[i] < '0' || address[i] > '9') return -1;
        station = station * 10 + (address[i] - '0');
    }
    return station;
}

namespace {

// A bit address's value is a bit, whatever the format.
bool BitAddress(const std::string& address) { return address.size() >= 10 && address[9] != ' '; }

// ,"name":... after the address when names are shown.
std::string JsonNameField(bool named, const std::string& name) {
    if (!named) return "";
    return "\"name\":" + (name.empty() ? std::string("null") : JsonString(name)) + ",";
}

std::string JsonValue(const ShownValue& value) { return value.number ? value.text : JsonString(value.text); }

std::string JsonList(const std::vector<ShownValue>& values) {
    std::string list = "[";
    for (size_t i = 0; i < values.size(); ++i) list += (i ? "," : "") + JsonValue(values[i]);
    return list + "]";
}

std::string Joined(const std::vector<ShownValue>& values, const char* between) {
    std::string text;
    for (size_t i = 0; i < values.size(); ++i) text += (i ? between : "") + values[i].text;
    return text;
}

}  // namespace

std::vector<ShownValue> Output::Values(const ResultRow& row) const {
    ValueFormat format = options_.format;
    if (options_.hex) format.radix = Radix::Hex;
    if (BitAddress(row.address)) format = ValueFormat{ValueKind::S32, WordOrder::Whole, format.radix};
    return ShowRegisters(row.values, format);
}

// A register gate's value with the format; status points and values that
// are no register's bits as the runtime has them.
ShownValue Output::GateValue(const GateRow& row) const {
    ValueFormat format = options_.format;
    if (options_.hex) format.radix = Radix::Hex;
    const double value = row.value;
    const bool bits = value == double(static_cast<long long>(value)) && value >= -2147483648.0 && value <= 4294967295.0;
    if (format.Plain() || row.gate.size() != 9 || row.gate[0] != 'R' || !bits) return {GateValueText(value), true};
    if (format.order != WordOrder::Whole) format.kind = format.kind == ValueKind::S32 ? ValueKind::S16 : ValueKind::U16;
    return ShowBits(uint32_t(static_cast<long long>(value)), format.kind, format.radix);
}

// The name column of the table, when names are shown: the name and the
// blanks after it.
std::string Output::NameColumn(const std::string& address) const {
    if (!options_.named) return "";
    const int width = int(std::min<size_t>(std::max<size_t>(options_.names.Longest(), 4), 32));
    char text[128];
    std::snprintf(text, sizeof text, "%-*s  ", width, address.empty() ? "NAME" : options_.names.Of(address).c_str());
    return text;
}

void Output::CsvRow(const std::vector<std::string>& fields) {
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) line += (i ? "," : "") + CsvField(fields[i]);
    std::fprintf(out_, "%s\n", line.c_str());
}

void Output::HeaderOnce() {
    if (headerDone_ || options_.json) return;
    headerDone_ = true;
    std::vector<std::string> fields = {"time", "address", "op", "result", "status", "rtt_ms", "values", "unit_time",
                                       "reason"};
    if (options_.scan) fields = {"time", "station", "address", "result", "status", "rtt_ms", "values", "reason"};
    if (options_.named) fields.push_back("name");
    if (options_.csv) CsvRow(fields);
    else if (options_.scan)
        std::fprintf(out_, "%7s  %-12s  %s%-9s  %9s  %s\n", "STATION", "ADDRESS", NameColumn("").c_str(), "RESULT",
                     "RTT ms", "VALUE");
    else
        std::fprintf(out_, "%-12s  %-12s  %s%-6s  %-9s  %9s  %s\n", "TIME", "ADDRESS", NameColumn("").c_str(), "OP",
                     "RESULT", "RTT ms", "VALUE");
}

void Output::ScanRow(const ResultRow& row) {
    const std::vector<ShownValue> values = Values(row);
    const std::string station = std::to_string(StationOf(row.address)), name = options_.names.Of(row.address);
    const std::string rtt = row.milliseconds < 0 ? "" : JsonMilliseconds(row.milliseconds);
    if (options_.json) {
        std::fprintf(out_,
                     "{\"type\":\"scan\",\"time\":%s,\"station\":%s,\"address\":%s,%s\"result\":%d,\"status\":%s,"
                     "\"rtt_ms\":%s,\"values\":%s,\"reason\":%s}\n",
                     JsonString(NowText(TimeForm::Iso)).c_str(), station.c_str(), JsonString(row.address).c_str(),
                     JsonNameField(options_.named, name).c_str(),
                     row.result, JsonString(ResultName(row.result)).c_str(), JsonMilliseconds(row.milliseconds).c_str(),
                     JsonList(values).c_str(), row.reason.empty() ? "null" : JsonString(row.reason).c_str());
        return;
    }
    HeaderOnce();
    if (options_.csv) {
        std::vector<std::string> fields = {NowText(TimeForm::Iso), station, row.address, std::to_string(row.result),
                                           ResultName(row.result), rtt, Joined(values, " "), row.reason};
        if (options_.named) fields.push_back(name);
        CsvRow(fields);
        return;
    }
    std::string shown = Joined(values, " ");
    if (!row.reason.empty()) shown += (shown.empty() ? "" : "  ") + row.reason;
    std::fprintf(out_, "%7s  %-12s  %s%-9s  %9s  %s\n", station.c_str(), row.address.c_str(),
                 NameColumn(row.address).c_str(), ResultName(row.result).c_str(), rtt.empty() ? "-" : rtt.c_str(),
                 shown.c_str());
}

void Output::Result(const ResultRow& row) {
    const std::vector<ShownValue> shown = Values(row);
    const std::string name = options_.names.Of(row.address);
    if (options_.scan) {
        ScanRow(row);
    } else if (options_.json) {
        std::fprintf(out_,
                     "{\"type\":\"result\",\"time\":%s,\"address\":%s,%s\"op\":%s,\"result\":%d,\"status\":%s,"
                     "\"rtt_ms\":%s,\"values\":%s,\"reason\":%s}\n",
                     JsonString(NowText(TimeForm::Iso)).c_str(), JsonString(row.address).c_str(),
                     JsonNameField(options_.named, name).c_str(),
                     JsonString(row.operation).c_str(),
                     row.result, JsonString(ResultName(row.result)).c_str(), JsonMilliseconds(row.milliseconds).c_str(),
                     JsonList(shown).c_str(), row.reason.empty() ? "null" : JsonString(row.reason).c_str());
    } else {
        HeaderOnce();
        std::string values = Joined(shown, " ");
        if (options_.csv) {
            std::vector<std::string> fields = {NowText(TimeForm::Iso), row.address, row.operation,
                                               std::to_string(row.result), ResultName(row.result),
                                               row.milliseconds < 0 ? "" : JsonMilliseconds(row.milliseconds), values,
                                               "", row.reason};
            if (options_.named) fields.push_back(name);
            CsvRow(fields);
        } else {
            std::string rtt = row.milliseconds < 0 ? "-" : JsonMilliseconds(row.milliseconds);
            if (!row.reason.empty()) values += (values.empty() ? "" : "  ") + row.reason;
            std::fprintf(out_, "%-12s  %-12s  %s%-6s  %-9s  %9s  %s\n", NowText(TimeForm::Clock).c_str(),
                         row.address.c_str(), NameColumn(row.address).c_str(), row.operation.c_str(),
                         ResultName(row.result).c_str(), rtt.c_str(), values.c_str());
        }
    }
    std::fflush(out_);
}

void Output::Gate(const GateRow& row) {
    const ShownValue value = GateValue(row);
    const std::string name = options_.names.Of(row.gate);
    if (options_.json) {
        char plain[40];
        std::snprintf(plain, sizeof plain, "%.17g", row.value);
        const bool formatted = !options_.format.Plain() || options_.hex;
        std::fprintf(out_,
                     "{\"type\":\"gate\",\"time\":%s,\"gate\":%s,%s\"value\":%s,\"unit_time\":%s,"
                     "\"unit_seconds\":%d,\"unit_ms\":%d}\n",
                     JsonString(NowText(TimeForm::Iso)).c_str(), JsonString(row.gate).c_str(),
                     JsonNameField(options_.named, name).c_str(),
                     formatted ? JsonValue(value).c_str() : plain,
                     row.time == 0 ? "null" : JsonString(UnitTimeText(row.time, row.milliseconds, TimeForm::Iso)).c_str(),
                     row.time,
                     row.milliseconds);
    } else if (options_.csv) {
        HeaderOnce();
        std::vector<std::string> fields = {NowText(TimeForm::Iso), row.gate, "gate", "", "update", "", value.text,
                                           row.time == 0 ? "" : UnitTimeText(row.time, row.milliseconds, TimeForm::Iso),
                                           ""};
        if (options_.named) fields.push_back(name);
        CsvRow(fields);
    } else {
        HeaderOnce();
        std::fprintf(out_, "%-12s  %-12s  %s%-6s  %-9s  %9s  %s  (unit time %s)\n", NowText(TimeForm::Clock).c_str(),
                     row.gate.c_str(), NameColumn(row.gate).c_str(), "gate", "update", "", value.text.c_str(),
                     UnitTimeText(row.time, row.milliseconds, TimeForm::DateTime).c_str());
    }
    std::fflush(out_);
}

void Output::Note(const std::string& text) {
    if (options_.json)
        std::fprintf(out_, "{\"type\":\"note\",\"time\":%s,\"text\":%s}\n", JsonString(NowText(TimeForm::Iso)).c_str(),
                     JsonString(text).c_str());
    else if (options_.csv)
        std::fprintf(stderr, "%s\n", text.c_str());  // the file holds rows only
    else
        std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
}

}  // namespace kivpoll
