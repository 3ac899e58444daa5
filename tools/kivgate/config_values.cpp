// Values of the configuration file that take more than a type check: poll
// intervals, the station of a gate's address, the files it names.
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tools/kivgate/config_reader.h"

namespace kivgate {

namespace {

const std::string kPollForms = "write milliseconds (500), \"500ms\", \"2s\", \"1.5min\" or \"exception\"";

int64_t PollInRange(int64_t ms, const std::string& given, std::string* why) {
    if (ms >= kPollMinMs && ms <= kPollMaxMs) return ms;
    *why = "poll " + given + " is out of range (" + std::to_string(kPollMinMs) + " ms to 1 day)";
    return -1;
}

// "500ms", "2 s", "1.5min": a decimal number and its unit.
int64_t PollFromText(const std::string& text, std::string* why) {
    const std::string lower = LowerCase(text);
    if (lower == "exception") return 0;
    size_t end = 0;
    while (end < lower.size() && (std::isdigit(static_cast<unsigned char>(lower[end])) || lower[end] == '.')) ++end;
    size_t unitStart = end;
    while (unitStart < lower.size() && lower[unitStart] == ' ') ++unitStart;
    const std::string number = lower.substr(0, end), unit = lower.substr(unitStart);
    const double factor = unit == "ms" ? 1 : unit == "s" ? 1000 : unit == "min" ? 60000 : 0;
    char* stop = nullptr;
    const double value = number.empty() ? 0 : std::strtod(number.c_str(), &stop);
    if (factor == 0 || number.empty() || *stop != '\0') {
        *why = "poll \"" + text + "\" is no interval: " + kPollForms;
        return -1;
    }
    return PollInRange(std::llround(std::min(value * factor, 1e15)), "\"" + text + "\"", why);
}

bool AllDigits(const std::string& text, size_t first, size_t count) {
    if (first + count > text.size()) return false;
    for (size_t i = first; i < first + count; ++i)
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

// A path that names a regular file (a link to one counts); else *why.
bool RegularFile(const std::string& path, std::string* why) {
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (!std::filesystem::exists(status)) {
        *why = "no such file";
        return false;
    }
    if (!std::filesystem::is_regular_file(status)) *why = "not a regular file";
    return std::filesystem::is_regular_file(status);
}

}  // namespace

std::string LowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

int64_t PollInterval(const TomlValue& value, std::string* why) {
    if (value.is_string()) return PollFromText(value.as_string().str, why);
    if (!value.is_integer()) {
        *why = "poll must be an integer or a string, not " + KindOfValue(value) + ": " + kPollForms;
        return -1;
    }
    if (value.as_integer() == 0) {
        *why = "poll 0: write poll = \"exception\" for a gate that only the unit's reports update";
        return -1;
    }
    return PollInRange(value.as_integer(), std::to_string(value.as_integer()) + " ms", why);
}

std::string PollText(int32_t ms) {
    if (ms == 0) return "exception only";
    if (ms % 60000 == 0) return std::to_string(ms / 60000) + " min";
    if (ms < 1000) return std::to_string(ms) + " ms";
    std::ostringstream text;
    text << ms / 1000.0 << " s";
    return text.str();
}

// R and S: letter, four station digits, four number digits, an optional bit
// of one or two digits. !: the area letter and four station digits.
bool AddressFields(const std::string& address, GateSettings* gate) {
    const std::string text = LowerCase(address);
    if (text.size() == 6 && text[0] == '!' && std::strchr("srlt", text[1]) != nullptr && AllDigits(text, 2, 4)) {
        gate->area = std::toupper(static_cast<unsigned char>(text[1]));  // the area codes are the letters
        gate->station = std::stoi(text.substr(2, 4));
        gate->number = 0;
        gate->bit = KivWholeRegister;
        return true;
    }
    if (text.size() < 9 || text.size() > 11 || (text[0] != 'r' && text[0] != 's') || !AllDigits(text, 1, 8) ||
        !AllDigits(text, 9, text.size() - 9))
        return false;
    gate->area = text[0] == 'r' ? AreaRegister : AreaStatus;
    gate->station = std::stoi(text.substr(1, 4));
    gate->number = std::stoi(text.substr(5, 4));
    gate->bit = text.size() > 9 ? std::stoi(text.substr(9)) : KivWholeRegister;
    return true;
}

bool ReadSmallFile(const std::string& path, uintmax_t most, std::string* text, std::string* why) {
    if (!RegularFile(path, why)) return false;
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(path, error);
    if (error || size > most) {
        *why = error ? error.message() : "larger than " + std::to_string(most) + " bytes";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *why = std::string("cannot be read: ") + std::strerror(errno);
        return false;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    *text = bytes.str();
    return true;
}

bool ReadableFile(const std::string& path, std::string* why) {
    if (!RegularFile(path, why)) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) *why = std::string("cannot be read: ") + std::strerror(errno);
    return static_cast<bool>(in);
}

}  // namespace kivgate
