// Where the console listens ("[ADDRESS:]PORT" as --http takes it) and
// which requests come from elsewhere: another name or another site's page.
#include <algorithm>
#include <cctype>
#include <cstdint>

#include "tools/kivsim/console_api.h"
#include "tools/kivsim/console_http.h"

namespace kivsim {

namespace {

// "127.0.0.1:8080" -> "127.0.0.1"; "[::1]:8080" -> "::1"; "localhost" stays.
std::string HostName(const std::string& host) {
    if (!host.empty() && host[0] == '[') {
        const size_t close = host.find(']');
        return close == std::string::npos ? host : host.substr(1, close - 1);
    }
    return host.substr(0, host.find(':'));
}

bool LoopbackName(const std::string& host) {
    const std::string name = AsciiLower(HostName(host));
    return name == "localhost" || name == "::1" || name.rfind("127.", 0) == 0;
}

}  // namespace

std::string AsciiLower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

bool ChangesState(const std::string& method) {
    return method != "GET" && method != "HEAD" && method != "OPTIONS";
}

std::string ForeignRequest(const ApiRequest& r, bool loopbackOnly) {
    if (loopbackOnly && !LoopbackName(r.host)) return "the console answers this machine's own names only";
    if (!ChangesState(r.method) || r.origin.empty()) return "";
    const std::string origin = AsciiLower(r.origin);
    const std::string scheme = "http://";
    if (origin.compare(0, scheme.size(), scheme) != 0 || origin.substr(scheme.size()) != AsciiLower(r.host))
        return "a page of another site (" + r.origin + ") may not change the simulator";
    return "";
}

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
