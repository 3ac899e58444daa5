// Register names from a map file.
#include "tools/kivpoll/names.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace kivpoll {

namespace {

// A map file is a short list; a bigger file is not one.
constexpr size_t kMapFileMax = 4 << 20;

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The next word of line from *at on, passing blanks before it.
std::string NextWord(const std::string& line, size_t* at) {
    while (*at < line.size() && Blank(line[*at])) ++*at;
    const size_t start = *at;
    while (*at < line.size() && !Blank(line[*at])) ++*at;
    return line.substr(start, *at - start);
}

// A whole number as kivsim's map takes it: decimal (a leading zero is no
// octal mark) or 0x hex, with a plus, and a minus when sign allows.
bool MapNumber(const std::string& word, bool sign, long long low, long long high, long long* value) {
    size_t at = word.size() > 1 && (word[0] == '+' || (sign && word[0] == '-')) ? 1 : 0;
    const bool hex = word.compare(at, 2, "0x") == 0 || word.compare(at, 2, "0X") == 0;
    if (hex) at += 2;
    if (at >= word.size() || word.size() - at > 16) return false;
    for (size_t i = at; i < word.size(); ++i) {
        if (!(hex ? std::isxdigit(static_cast<unsigned char>(word[i])) : std::isdigit(static_cast<unsigned char>(word[i]))))
            return false;
    }
    long long number = std::stoll(word.substr(at), nullptr, hex ? 16 : 10);
    if (word[0] == '-') number = -number;
    if (number < low || number > high) return false;
    *value = number;
    return true;
}

// The name from the rest of a line: without blanks around it, tabs inside
// as spaces. "" with *why when it cannot be one.
std::string NameOf(const std::string& rest, std::string* why) {
    size_t begin = 0, end = rest.size();
    while (begin < end && Blank(rest[begin])) ++begin;
    while (end > begin && Blank(rest[end - 1])) --end;
    std::string name = rest.substr(begin, end - begin);
    for (char& c : name) {
        if (c == '\t') c = ' ';
        else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) *why = "a name may not hold a control character";
    }
    if (name.size() > kRegisterNameMax)
        *why = "a name holds at most " + std::to_string(kRegisterNameMax) + " characters";
    return why->empty() ? name : std::string();
}

// One line, up to its #, into names; false with *why.
bool TakeLine(const std::string& whole, RegisterNames* names, std::string* why) {
    const std::string line = whole.substr(0, whole.find('#'));
    size_t at = 0;
    const std::string first = NextWord(line, &at);
    if (first.empty()) return true;
    long long reg = 0;
    if (!MapNumber(first, false, 0, 65535, &reg)) {
        *why = "expected \"register value name\" or \"register name\", register 0 to 65535, not " + first;
        return false;
    }
    size_t after = at;
    long long value = 0;
    if (!MapNumber(NextWord(line, &after), true, -2147483648LL, 4294967295LL, &value)) after = at;
    const std::string name = NameOf(line.substr(after), why);
    if (!why->empty()) return false;
    if (!name.empty()) names->byRegister[int32_t(reg)] = name;
    return true;
}

}  // namespace

std::string RegisterNames::Of(const std::string& address) const {
    if (byRegister.empty() || address.size() < 9 || (address[0] != 'R' && address[0] != 'r')) return "";
    int32_t reg = 0;
    for (size_t i = 1; i < 9; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(address[i]))) return "";
        if (i >= 5) reg = reg * 10 + (address[i] - '0');
    }
    auto found = byRegister.find(reg);
    return found == byRegister.end() ? "" : found->second;
}

size_t RegisterNames::Longest() const {
    size_t longest = 0;
    for (const auto& entry : byRegister) longest = std::max(longest, entry.second.size());
    return longest;
}

bool ParseRegisterNames(const std::string& text, const std::string& name, RegisterNames* names, std::string* error) {
    std::istringstream in(text);
    std::string line, why;
    for (int number = 1; std::getline(in, line); ++number) {
        if (TakeLine(line, names, &why)) continue;
        *error = name + ":" + std::to_string(number) + ": " + why;
        return false;
    }
    return true;
}

bool ReadRegisterNames(const std::string& path, RegisterNames* names, std::string* error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    char piece[4096];
    size_t got = 0;
    while ((got = std::fread(piece, 1, sizeof piece, file)) > 0 && text.size() <= kMapFileMax) text.append(piece, got);
    const int failure = std::ferror(file) ? errno : 0;
    std::fclose(file);
    if (failure != 0) *error = path + ": " + std::strerror(failure);
    else if (text.size() > kMapFileMax)
        *error = path + ": larger than " + std::to_string(kMapFileMax >> 20) + " MiB, not a map file";
    else return ParseRegisterNames(text, path, names, error);
    return false;
}

}  // namespace kivpoll
