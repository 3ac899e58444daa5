// Where the console listens: "[ADDRESS:]PORT" as --http takes it.
#include <cstdint>

#include "tools/kivsim/console_http.h"

namespace kivsim {

bool ParseConsoleAddress(const std::string& text, std::string* address, int* port, std::string* why) {
    const size_t colon = text.rfind(':');
    const std::string host = colon == std::string::npos ? "" : text.substr(0, colon);
    int64_t number = 0;
    if (!ParseNumber(text.substr(colon == std::string::npos ? 0 : colon + 1), 0, 65535, &number)) {
        *why = "bad port in " + text + " (0 to 65535)";
        return false;
    }
    std::string name = host;
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
        name = name.substr(1, name.size() - 2);
    } else if (name.find_first_of(":[]") != std::string::npos) {
        *why = "an IPv6 address goes in brackets: [" + name + "]:PORT";
        return false;
    }
    if (colon != std::string::npos && name.empty()) {
        *why = "no address before the port in " + text;
        return false;
    }
    *address = name.empty() ? "127.0.0.1" : name;
    *port = int(number);
    return true;
}

}  // namespace kivsim
