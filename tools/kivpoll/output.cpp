// Table and JSON lines output of kivpoll.
#include "tools/kivpoll/output.h"

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

std::string Output::Value(int32_t value) const {
    char text[24];
    if (options_.hex) std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(value));
    else std::snprintf(text, sizeof text, "%d", value);
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
    if (options_.csv)
        CsvRow({"time", "address", "op", "result", "status", "rtt_ms", "values", "unit_time", "reason"});
    else
        std::fprintf(out_, "%-12s  %-12s  %-6s  %-9s  %9s  %s\n", "TIME", "ADDRESS", "OP", "RESULT", "RTT ms", "VALUE");
}

void Output::Result(const ResultRow& row) {
    if (options_.json) {
        std::string values = "[";
        for (size_t i = 0; i < row.values.size(); ++i) {
            if (i) values += ",";
            values += options_.hex ? JsonString(Value(row.values[i])) : std::to_string(row.values[i]);
        }
        values += "]";
        std::fprintf(out_,
                     "{\"type\":\"result\",\"time\":%s,\"address\":%s,\"op\":%s,\"result\":%d,\"status\":%s,"
                     "\"rtt_ms\":%s,\"values\":%s,\"reason\":%s}\n",
                     JsonString(NowText(TimeForm::Iso)).c_str(), JsonString(row.address).c_str(),
                     JsonString(row.operation).c_str(),
                     row.result, JsonString(ResultName(row.result)).c_str(), JsonMilliseconds(row.milliseconds).c_str(),
                     values.c_str(), row.reason.empty() ? "null" : JsonString(row.reason).c_str());
    } else {
        HeaderOnce();
        std::string values;
        for (size_t i = 0; i < row.values.size(); ++i) values += (i ? " " : "") + Value(row.values[i]);
        if (options_.csv) {
            CsvRow({NowText(TimeForm::Iso), row.address, row.operation, std::to_string(row.result), ResultName(row.result),
                    row.milliseconds < 0 ? "" : JsonMilliseconds(row.milliseconds), values, "", row.reason});
        } else {
            std::string rtt = row.milliseconds < 0 ? "-" : JsonMilliseconds(row.milliseconds);
            if (!row.reason.empty()) values += (values.empty() ? "" : "  ") + row.reason;
            std::fprintf(out_, "%-12s  %-12s  %-6s  %-9s  %9s  %s\n", NowText(TimeForm::Clock).c_str(), row.address.c_str(),
                         row.operation.c_str(), ResultName(row.result).c_str(), rtt.c_str(), values.c_str());
        }
    }
    std::fflush(out_);
}

void Output::Gate(const GateRow& row) {
    if (options_.json) {
        std::fprintf(out_,
                     "{\"type\":\"gate\",\"time\":%s,\"gate\":%s,\"value\":%.17g,\"unit_time\":%s,"
                     "\"unit_seconds\":%d,\"unit_ms\":%d}\n",
                     JsonString(NowText(TimeForm::Iso)).c_str(), JsonString(row.gate).c_str(), row.value,
                     row.time == 0 ? "null" : JsonString(UnitTimeText(row.time, row.milliseconds, TimeForm::Iso)).c_str(),
                     row.time,
                     row.milliseconds);
    } else if (options_.csv) {
        HeaderOnce();
        CsvRow({NowText(TimeForm::Iso), row.gate, "gate", "", "update", "", GateValueText(row.value),
                row.time == 0 ? "" : UnitTimeText(row.time, row.milliseconds, TimeForm::Iso), ""});
    } else {
        HeaderOnce();
        std::fprintf(out_, "%-12s  %-12s  %-6s  %-9s  %9s  %s  (unit time %s)\n", NowText(TimeForm::Clock).c_str(),
                     row.gate.c_str(),
                     "gate", "update", "", GateValueText(row.value).c_str(),
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
