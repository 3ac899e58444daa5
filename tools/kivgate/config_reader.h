// The pieces ReadSettings is made of: a TOML value with its lines, and a
// reader that checks each field's type and range and gathers every mistake
// with its line. Internal to the configuration files (config*.cpp).
#pragma once

#include <toml.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tools/kivgate/settings.h"

namespace kivgate {

// Keys in name order; the messages are put in line order at the end.
using TomlValue = toml::basic_value<toml::discard_comments, std::map, std::vector>;

// Longest configuration file read; anything larger is no configuration.
constexpr uintmax_t kConfigFileMax = 1024 * 1024;
// Longest password file read (a password and its line end).
constexpr uintmax_t kPasswordFileMax = 4096;
// Poll intervals: at least this often, at most once a day.
constexpr int64_t kPollMinMs = 10;
constexpr int64_t kPollMaxMs = 86400000;

class ConfigReader {
public:
    explicit ConfigReader(std::string file) : file_(std::move(file)) {}

    // One mistake at line (0: the file as a whole).
    void Problem(int line, const std::string& what);
    bool HasProblems() const { return !problems_.empty(); }
    // "FILE:LINE: what is wrong", in line order (the order found within a line).
    std::vector<std::string> Problems() const;

    // The keys of table that are not in known, each reported with the nearest
    // known one. section names the table in the messages ("[broker]").
    void CheckKeys(const TomlValue& table, const std::vector<std::string>& known, const std::string& section);

    // The typed fields of a table: true when the key is there with a value of
    // the right type and range (then *out is set); false when absent (*out
    // kept) or wrong (reported).
    bool Integer(const TomlValue& table, const std::string& key, int64_t low, int64_t high, int64_t* out);
    bool Boolean(const TomlValue& table, const std::string& key, bool* out);
    bool Text(const TomlValue& table, const std::string& key, std::string* out);
    bool Number(const TomlValue& table, const std::string& key, double* out);
    // A path: relative ones are taken from the configuration file's folder.
    bool Path(const TomlValue& table, const std::string& key, std::string* out);
    // A key that must be there: reported at the table's line when it is not.
    bool Require(const TomlValue& table, const std::string& key, const std::string& section);

    // The [[NAME]] tables of key in table (none when absent); a key that is
    // not an array of tables is reported.
    std::vector<const TomlValue*> Tables(const TomlValue& table, const std::string& key, const std::string& form);

    const std::string& file() const { return file_; }
    const std::string& section() const { return section_; }
    void SetSection(const std::string& section) { section_ = section; }

private:
    // The message's start for a key of the current section: "[broker] port".
    std::string Name(const std::string& key) const;
    bool HasType(const TomlValue& value, const std::string& key, toml::value_t type, const char* wanted);

    std::string file_;
    std::string section_;
    std::vector<std::pair<int, std::string>> problems_;
};

int LineOf(const TomlValue& value);
// "an integer", "a string", ... for the messages.
std::string KindOfValue(const TomlValue& value);
// A table's value for key, or nullptr.
const TomlValue* Find(const TomlValue& table, const std::string& key);
// The known names a few edits from name (or that begin with it, or it with
// them); empty when none is near enough to be a likely meaning.
std::vector<std::string> NearestNames(const std::string& name, const std::vector<std::string>& known);
// " (did you mean a or b?)", or "" when none is near.
std::string DidYouMean(const std::string& name, const std::vector<std::string>& known);

// text with A-Z as a-z.
std::string LowerCase(std::string text);
// A topic level kivgate names: letters, digits, '-', '_' and '.'.
bool IsTopicName(const std::string& name);
// The poll key's value in ms: 0 for "exception"; -1 with *why when wrong.
int64_t PollInterval(const TomlValue& value, std::string* why);
// "2 s", "500 ms", "exception only".
std::string PollText(int32_t ms);
// Fills the gate's station, area, number and bit from its address when the
// text has the driver's layout (the driver's own parse at the channel's
// start is the one that counts); false when it has not.
bool AddressFields(const std::string& address, GateSettings* gate);
// A file's text when it is a regular file of at most most bytes; false with
// *why ("no such file", "not a regular file", ...).
bool ReadSmallFile(const std::string& path, uintmax_t most, std::string* text, std::string* why);
// True when path is a regular file this process can open for reading.
bool ReadableFile(const std::string& path, std::string* why);

// The channels and their gates, into settings->channels.
void ReadChannels(ConfigReader& reader, const TomlValue& root, GatewaySettings* settings);

}  // namespace kivgate
