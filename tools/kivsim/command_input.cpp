// What kivsim reads: numbers in commands, bounded lines of text, register
// maps, scenario files checked whole before the start, and standard
// input's pieces cut into lines.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include "tools/kivsim/kivsim.h"

namespace kivsim {

bool ParseNumber(const std::string& word, int64_t low, int64_t high, int64_t* value) {
    if (word.empty()) return false;
    // Decimal unless 0x says hex: a leading zero (0300, as in an address)
    // is no octal mark.
    const size_t sign = word[0] == '-' || word[0] == '+' ? 1 : 0;
    const bool hex = word.compare(sign, 2, "0x") == 0 || word.compare(sign, 2, "0X") == 0;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(word.c_str(), &end, hex ? 16 : 10);
    if (*end || errno != 0 || v < low || v > high) return false;
    *value = v;
    return true;
}

bool ParseValue(const std::string& word, uint32_t* value) {
    int64_t v = 0;
    if (!ParseNumber(word, -2147483648LL, 4294967295LL, &v)) return false;
    *value = uint32_t(v);
    return true;
}

bool ReadTextLine(std::istream& in, std::string* line, bool* tooLong) {
    line->clear();
    *tooLong = false;
    bool any = false;
    for (std::istream::int_type c; (c = in.get()) != std::istream::traits_type::eof();) {
        any = true;
        if (c == '\n') return true;
        if (line->size() == kCommandLineMax) {
            *tooLong = true;
            return true;
        }
        line->push_back(static_cast<char>(c));
    }
    return any;
}

namespace {

// Hands each line of in, up to its #, to take with "NAME:LINE: " for its
// messages; stops with *error at a line too long or one take finds wrong.
using LineTaker = std::function<bool(std::istringstream& words, const std::string& line, std::string* why)>;

bool ForEachLine(std::istream& in, const std::string& name, std::string* error, const LineTaker& take) {
    std::string line;
    bool tooLong = false;
    for (int number = 1; ReadTextLine(in, &line, &tooLong); ++number) {
        std::istringstream words(line.substr(0, line.find('#')));
        std::string why = tooLong ? "line longer than " + std::to_string(kCommandLineMax) + " characters" : "";
        if (why.empty() && take(words, line, &why)) continue;
        *error = name + ":" + std::to_string(number) + ": " + why;
        return false;
    }
    return true;
}

}  // namespace

bool LoadRegisterMap(const std::string& path, std::vector<std::pair<uint16_t, uint32_t>>* entries, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = path + ": cannot open";
        return false;
    }
    return ForEachLine(in, path, error, [&](std::istringstream& words, const std::string&, std::string* why) {
        // What follows the value is the register's name, for kivpoll --names.
        std::string first, second;
        if (!(words >> first)) return true;
        int64_t address = 0;
        uint32_t value = 0;
        if (!(words >> second) || !ParseNumber(first, 0, 65535, &address) || !ParseValue(second, &value)) {
            *why = "expected \"register value [name]\"";
            return false;
        }
        entries->emplace_back(uint16_t(address), value);
        return true;
    });
}

bool ReadScenario(std::istream& in, const std::string& name, std::vector<std::string>* lines, std::string* error) {
    return ForEachLine(in, name, error, [&](std::istringstream& words, const std::string& line, std::string* why) {
        std::string verb;
        if (words >> verb && !IsCommand(verb)) {
            *why = "unknown command " + verb + " (kivsim --help lists them)";
            return false;
        }
        lines->push_back(line);
        return true;
    });
}

void CommandFeed::Feed(const char* bytes, size_t count) {
    for (const char* end = bytes + count; bytes < end;) {
        const char* feed = static_cast<const char*>(std::memchr(bytes, '\n', static_cast<size_t>(end - bytes)));
        const char* stop = feed == nullptr ? end : feed;
        if (!dropping_) {
            const size_t piece = static_cast<size_t>(stop - bytes);
            if (partial_.size() + piece > kCommandLineMax) {
                lines_.emplace_back(std::string(), true);
                partial_.clear();
                dropping_ = true;
            } else {
                partial_.append(bytes, piece);
            }
        }
        if (feed == nullptr) break;
        if (!dropping_) lines_.emplace_back(std::move(partial_), false);
        partial_.clear();
        dropping_ = false;
        bytes = feed + 1;
    }
}

bool CommandFeed::Next(std::string* line, bool* tooLong) {
    if (lines_.empty()) return false;
    *line = std::move(lines_.front().first);
    *tooLong = lines_.front().second;
    lines_.pop_front();
    return true;
}

}  // namespace kivsim
