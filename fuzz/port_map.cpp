// Fuzz target: the port map kivports.int, as the driver looks a port name up
// in it, and each of its lines through the line parser. The input's first
// line is the port name looked up, the rest is the file.
//   - A line read as an entry has a name of 1 to 11 characters without
//     blanks or NUL, a host of 1 to 255 without blanks, '/' or NUL, a port
//     from 1 to 65535, and written out again as NAME = scheme://HOST:PORT it
//     reads back as the same entry.
//   - The lookup answers what the first line naming the port says (its
//     entry, or -1 for a bad address), and 0 when no line names it; lines
//     end at LF, and a line longer than the reader takes is passed over.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/basics.h"
#include "platform/port_map.h"
#include "platform/posix_network.h"

namespace {

// The longest line (LF not counted) the driver's lookup reads.
constexpr size_t kLongestLine = 511;

bool Blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

bool SameEntry(const PortMapEntry& a, const PortMapEntry& b) {
    return std::strcmp(a.name, b.name) == 0 && a.kind == b.kind && std::strcmp(a.host, b.host) == 0 &&
           a.port == b.port;
}

// The entry as a line of the map.
std::string LineOf(const PortMapEntry& entry) {
    if (entry.kind == PortMapDevice) return std::string(entry.name) + " = " + entry.host;
    std::string host = entry.host;
    if (host.find(':') != std::string::npos || host[0] == '[') host = "[" + host + "]";
    return std::string(entry.name) + " = " + (entry.kind == NetLineTcp ? "tcp://" : "rfc2217://") + host + ":" +
           std::to_string(entry.port);
}

// A device path: the address's text whole, from its '/', read back the same.
void CheckDevicePath(const std::string& line, const PortMapEntry& entry) {
    const std::string path = entry.host;
    fuzzing::Check(!path.empty() && path[0] == '/' && path.size() <= kPortHostMax, "a path from '/', 255 bytes at most");
    fuzzing::Check(line.find(path) != std::string::npos && !Blank(path.back()), "the path is the address's text whole");
    PortMapEntry again;
    const std::string written = LineOf(entry);
    fuzzing::Check(ParsePortMapLine(written.data(), written.size(), &again) == PortMapEntryRead &&
                       SameEntry(entry, again),
                   "a device entry written out reads back the same");
}

void CheckLine(const std::string& line) {
    PortMapEntry entry;
    const PortMapLineResult result = ParsePortMapLine(line.data(), line.size(), &entry);
    fuzzing::Check(result == PortMapBlank || result == PortMapEntryRead || result == PortMapBadName ||
                       result == PortMapBadUrl,
                   "a line is blank, an entry, a bad name or a bad address");
    if (result != PortMapEntryRead && result != PortMapBadUrl) return;
    const size_t nameLength = std::strlen(entry.name);
    fuzzing::Check(nameLength >= 1 && nameLength <= kPortNameMax, "a name of 1 to 11 characters");
    for (size_t i = 0; i < nameLength; ++i) fuzzing::Check(!Blank(entry.name[i]), "no blank inside a name");
    // The whole name went into the entry: nothing of it was cut at a NUL.
    const std::string text = line.substr(0, line.find('='));
    fuzzing::Check(text.find(entry.name) != std::string::npos &&
                       text.find_first_not_of(" \t\r", text.find(entry.name) + nameLength) == std::string::npos,
                   "the name is the line's text before '=' whole");
    if (result != PortMapEntryRead) return;
    if (entry.kind == PortMapDevice) {
        CheckDevicePath(line, entry);
        return;
    }
    fuzzing::Check(entry.kind == NetLineTcp || entry.kind == NetLineRfc2217, "an entry has a kind");
    fuzzing::Check(entry.port >= 1, "a port from 1");
    const size_t hostLength = std::strlen(entry.host);
    fuzzing::Check(hostLength >= 1 && hostLength <= kPortHostMax, "a host of 1 to 255 characters");
    const std::string host = entry.host;
    fuzzing::Check(line.find(host + ":") != std::string::npos || line.find(host + "]:") != std::string::npos,
                   "the host is the address's text whole");
    for (size_t i = 0; i < hostLength; ++i)
        fuzzing::Check(!Blank(entry.host[i]) && entry.host[i] != '/', "no blank or '/' inside a host");

    PortMapEntry again;
    const std::string written = LineOf(entry);
    fuzzing::Check(ParsePortMapLine(written.data(), written.size(), &again) == PortMapEntryRead,
                   "an entry written out reads back");
    fuzzing::Check(SameEntry(entry, again), "an entry written out reads back the same");
}

// What the lookup should answer, from the lines as the file holds them.
int ExpectedLookup(const std::string& name, const std::vector<std::string>& lines, PortMapEntry* entry) {
    if (name.empty() || name.size() > kPortNameMax) return 0;
    for (const std::string& line : lines) {
        if (line.size() > kLongestLine) continue;
        const PortMapLineResult result = ParsePortMapLine(line.data(), line.size(), entry);
        if (result == PortMapBlank || result == PortMapBadName || !PortNameMatches(name.c_str(), *entry)) continue;
        return result == PortMapBadUrl ? -1 : 1;
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t firstEnd = input.find('\n');
    // The name as the driver gets it: a C string.
    const std::string name = input.substr(0, firstEnd).c_str();
    const std::string file = firstEnd == std::string::npos ? std::string() : input.substr(firstEnd + 1);

    const std::vector<std::string> lines = fuzzing::Split(file);
    for (const std::string& line : lines) CheckLine(line);

    fuzzing::InScratchDirectory here;
    fuzzing::WriteScratchFile(kPortMapFile, reinterpret_cast<const uint8_t*>(file.data()), file.size());
    PortMapEntry expected, found;
    std::memset(&expected, 0, sizeof expected);
    std::memset(&found, 0, sizeof found);
    const int want = ExpectedLookup(name, lines, &expected);
    const int got = NetLookupPort(name.c_str(), &found);
    fuzzing::Check(got == want, "the lookup answers as the first line naming the port says");
    if (got == 1) fuzzing::Check(SameEntry(found, expected), "the lookup gives that line's entry");
    return 0;
}
