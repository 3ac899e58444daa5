// The configuration reader's typed fields: each value's type and range
// checked, every mistake kept with its line.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>

#include "tools/common/cli.h"
#include "tools/kivgate/config_reader.h"

namespace kivgate {

namespace {

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// The value as the file writes it (an integer too large for 64 bits reads
// as the largest one: the message shows the file's digits).
std::string SourceText(const TomlValue& value, int64_t number) {
    const toml::source_location where = value.location();
    const std::string& line = where.line_str();
    if (where.column() < 1 || where.column() - 1 + where.region() > line.size()) return std::to_string(number);
    return line.substr(where.column() - 1, where.region());
}

}  // namespace

std::string KindOfValue(const TomlValue& value) {
    switch (value.type()) {
    case toml::value_t::boolean: return "a boolean";
    case toml::value_t::integer: return "an integer";
    case toml::value_t::floating: return "a float";
    case toml::value_t::string: return "a string";
    case toml::value_t::array: return "an array";
    case toml::value_t::table: return "a table";
    default: return "a date or time";
    }
}

int LineOf(const TomlValue& value) { return static_cast<int>(value.location().line()); }

const TomlValue* Find(const TomlValue& table, const std::string& key) {
    if (!table.is_table()) return nullptr;
    const auto& entries = table.as_table();
    const auto found = entries.find(key);
    return found == entries.end() ? nullptr : &found->second;
}

std::vector<std::string> NearestNames(const std::string& name, const std::vector<std::string>& known) {
    size_t best = std::max<size_t>(1, std::min<size_t>(3, name.size() / 3));
    std::vector<std::string> nearest;
    for (const std::string& candidate : known) {
        size_t distance = kivtools::EditDistance(name, candidate);
        // "timeout" for timeout_ms, "baudrate" for baud: one begins with the other.
        const size_t shorter = std::min(name.size(), candidate.size());
        if (shorter >= 3 && kivtools::EditDistance(name.substr(0, shorter), candidate.substr(0, shorter)) == 0)
            distance = std::min<size_t>(distance, 1);
        // "hots" for host: two letters swapped are one slip, not two.
        std::string a = name, b = candidate;
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        if (distance == 2 && a == b) distance = 1;
        if (distance > best) continue;
        if (distance < best) nearest.clear();
        best = distance;
        nearest.push_back(candidate);
    }
    if (nearest.size() > 3) nearest.clear();  // no telling which was meant
    return nearest;
}

std::string DidYouMean(const std::string& name, const std::vector<std::string>& known) {
    const std::vector<std::string> nearest = NearestNames(name, known);
    std::string said;
    for (size_t n = 0; n < nearest.size(); ++n)
        said += (n == 0 ? " (did you mean " : n + 1 == nearest.size() ? " or " : ", ") + nearest[n];
    return said.empty() ? said : said + "?)";
}

void ConfigReader::Problem(int line, const std::string& what) { problems_.emplace_back(line, what); }

std::vector<std::string> ConfigReader::Problems() const {
    std::vector<std::pair<int, std::string>> sorted = problems_;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> lines;
    for (const auto& problem : sorted)
        lines.push_back(file_ + (problem.first > 0 ? ":" + std::to_string(problem.first) : "") + ": " +
                        problem.second);
    return lines;
}

std::string ConfigReader::Name(const std::string& key) const {
    return section_.empty() ? key : section_ + " " + key;
}

void ConfigReader::CheckKeys(const TomlValue& table, const std::vector<std::string>& known,
                             const std::string& section) {
    if (!table.is_table()) return;
    for (const auto& entry : table.as_table()) {
        if (std::find(known.begin(), known.end(), entry.first) != known.end()) continue;
        Problem(LineOf(entry.second), (section.empty() ? "" : section + " ") + "unknown key " +
                                          Quoted(entry.first) + DidYouMean(entry.first, known));
    }
}

bool ConfigReader::HasType(const TomlValue& value, const std::string& key, toml::value_t type, const char* wanted) {
    if (value.type() == type) return true;
    Problem(LineOf(value), Name(key) + " must be " + wanted + ", not " + KindOfValue(value));
    return false;
}

bool ConfigReader::Integer(const TomlValue& table, const std::string& key, int64_t low, int64_t high,
                           int64_t* out) {
    const TomlValue* value = Find(table, key);
    if (value == nullptr || !HasType(*value, key, toml::value_t::integer, "an integer")) return false;
    const int64_t number = value->as_integer();
    if (number < low || number > high) {
        Problem(LineOf(*value), Name(key) + " " + SourceText(*value, number) + " is out of range (" +
                                    std::to_string(low) + " to " + std::to_string(high) + ")");
        return false;
    }
    *out = number;
    return true;
}

bool ConfigReader::Boolean(const TomlValue& table, const std::string& key, bool* out) {
    const TomlValue* value = Find(table, key);
    if (value == nullptr || !HasType(*value, key, toml::value_t::boolean, "true or false")) return false;
    *out = value->as_boolean();
    return true;
}

bool ConfigReader::Text(const TomlValue& table, const std::string& key, std::string* out) {
    const TomlValue* value = Find(table, key);
    if (value == nullptr || !HasType(*value, key, toml::value_t::string, "a string")) return false;
    if (value->as_string().str.empty()) {
        Problem(LineOf(*value), Name(key) + " is empty");
        return false;
    }
    *out = value->as_string().str;
    return true;
}

bool ConfigReader::Number(const TomlValue& table, const std::string& key, double* out) {
    const TomlValue* value = Find(table, key);
    if (value == nullptr) return false;
    if (value->is_integer()) {
        *out = static_cast<double>(value->as_integer());
        return true;
    }
    if (!HasType(*value, key, toml::value_t::floating, "a number")) return false;
    if (!std::isfinite(value->as_floating())) {
        Problem(LineOf(*value), Name(key) + " must be a finite number");
        return false;
    }
    *out = value->as_floating();
    return true;
}

bool ConfigReader::Path(const TomlValue& table, const std::string& key, std::string* out) {
    std::string text;
    if (!Text(table, key, &text)) return false;
    // Relative to the file, not to the folder kivgate happens to run in
    // (the gateway makes its work folder current).
    std::filesystem::path path(text);
    if (path.is_relative()) path = std::filesystem::path(file_).parent_path() / path;
    std::error_code ignored;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ignored);
    *out = (absolute.empty() ? path : absolute).lexically_normal().string();
    return true;
}

bool ConfigReader::Require(const TomlValue& table, const std::string& key, const std::string& section) {
    if (Find(table, key) != nullptr) return true;
    Problem(LineOf(table), section + " has no " + key);
    return false;
}

std::vector<const TomlValue*> ConfigReader::Tables(const TomlValue& table, const std::string& key,
                                                   const std::string& form) {
    std::vector<const TomlValue*> tables;
    const TomlValue* value = Find(table, key);
    if (value == nullptr) return tables;
    const bool arrayOfTables = value->is_array() && std::all_of(value->as_array().begin(), value->as_array().end(),
                                                                [](const TomlValue& v) { return v.is_table(); });
    if (!arrayOfTables) {
        Problem(LineOf(*value), Name(key) + " must be written as " + form + " tables, not " +
                                    KindOfValue(*value));
        return tables;
    }
    for (const TomlValue& entry : value->as_array()) tables.push_back(&entry);
    return tables;
}

bool IsTopicName(const std::string& name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '_' || c == '.';
    });
}

}  // namespace kivgate
