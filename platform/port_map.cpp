// Parsing the port map's lines.
#include "platform/port_map.h"

#include <cstring>

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// A NUL byte would cut a name or a host short where it is kept as text.
bool IsBlankOrNul(char c) {
    return IsBlank(c) || c == '\0';
}

char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool StartsWithIgnoringCase(const char* text, size_t length, const char* prefix) {
    size_t n = std::strlen(prefix);
    if (length < n) return false;
    for (size_t i = 0; i < n; ++i) {
        if (Upper(text[i]) != Upper(prefix[i])) return false;
    }
    return true;
}

// Cuts blanks off both ends of [*begin, *end).
void Trim(const char** begin, const char** end) {
    while (*begin < *end && IsBlank(**begin)) ++*begin;
    while (*end > *begin && IsBlank((*end)[-1])) --*end;
}

// A device path as the map's address: the path as it stands.
PortMapLineResult ParseDevicePath(const char* path, size_t length, PortMapEntry* entry) {
    if (length > kPortHostMax || std::memchr(path, '\0', length) != nullptr) return PortMapBadUrl;
    entry->kind = PortMapDevice;
    std::memcpy(entry->host, path, length);
    entry->host[length] = '\0';
    entry->port = 0;
    return PortMapEntryRead;
}

}  // namespace

bool ParseNetAddress(const char* text, size_t length, PortMapEntry* entry) {
    static const struct {
        const char* scheme;
        NetLineKind kind;
    } kSchemes[] = {{"tcp://", NetLineTcp}, {"rfc2217://", NetLineRfc2217}};
    NetLineKind kind = NetLineNone;
    for (const auto& scheme : kSchemes) {
        if (StartsWithIgnoringCase(text, length, scheme.scheme)) {
            kind = scheme.kind;
            size_t skip = std::strlen(scheme.scheme);
            text += skip;
            length -= skip;
            break;
        }
    }
    if (kind == NetLineNone) return false;

    const char* end = text + length;
    const char* hostBegin = text;
    const char* hostEnd;
    const char* colon;
    if (length > 0 && text[0] == '[') {
        ++hostBegin;
        hostEnd = static_cast<const char*>(std::memchr(hostBegin, ']', static_cast<size_t>(end - hostBegin)));
        if (hostEnd == nullptr) return false;
        colon = hostEnd + 1;
    } else {
        colon = nullptr;
        for (const char* p = text; p < end; ++p) {
            if (*p == ':') colon = p;
        }
        hostEnd = colon;
    }
    if (colon == nullptr || colon >= end || *colon != ':' || hostEnd == hostBegin) return false;
    size_t hostLength = static_cast<size_t>(hostEnd - hostBegin);
    if (hostLength > kPortHostMax) return false;
    for (const char* p = hostBegin; p < hostEnd; ++p) {
        if (IsBlankOrNul(*p) || *p == '/' || (*p == ':' && text[0] != '[')) return false;
    }
    unsigned long port = 0;
    const char* digits = colon + 1;
    if (digits == end || end - digits > 5) return false;
    for (const char* p = digits; p < end; ++p) {
        if (*p < '0' || *p > '9') return false;
        port = port * 10 + static_cast<unsigned long>(*p - '0');
    }
    if (port == 0 || port > 65535) return false;

    entry->kind = kind;
    std::memcpy(entry->host, hostBegin, hostLength);
    entry->host[hostLength] = '\0';
    entry->port = static_cast<uint16_t>(port);
    return true;
}

PortMapLineResult ParsePortMapLine(const char* line, size_t length, PortMapEntry* entry) {
    std::memset(entry, 0, sizeof *entry);
    const char* end = line + length;
    const char* hash = static_cast<const char*>(std::memchr(line, '#', length));
    if (hash != nullptr) end = hash;
    const char* begin = line;
    Trim(&begin, &end);
    if (begin == end) return PortMapBlank;

    const char* equals = static_cast<const char*>(std::memchr(begin, '=', static_cast<size_t>(end - begin)));
    if (equals == nullptr) return PortMapBadName;
    const char* nameBegin = begin;
    const char* nameEnd = equals;
    Trim(&nameBegin, &nameEnd);
    size_t nameLength = static_cast<size_t>(nameEnd - nameBegin);
    if (nameLength == 0 || nameLength > kPortNameMax) return PortMapBadName;
    for (const char* p = nameBegin; p < nameEnd; ++p) {
        if (IsBlankOrNul(*p)) return PortMapBadName;
    }
    std::memcpy(entry->name, nameBegin, nameLength);
    entry->name[nameLength] = '\0';

    const char* urlBegin = equals + 1;
    const char* urlEnd = end;
    Trim(&urlBegin, &urlEnd);
    const size_t urlLength = static_cast<size_t>(urlEnd - urlBegin);
    if (urlLength > 0 && urlBegin[0] == '/') return ParseDevicePath(urlBegin, urlLength, entry);
    if (!ParseNetAddress(urlBegin, urlLength, entry)) return PortMapBadUrl;
    return PortMapEntryRead;
}

bool PortNameMatches(const char* name, const PortMapEntry& entry) {
    size_t i = 0;
    for (; entry.name[i] != '\0'; ++i) {
        if (Upper(name[i]) != Upper(entry.name[i])) return false;
    }
    return name[i] == '\0';
}
