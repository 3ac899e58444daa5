// Looking a port name up in the port map file (the lines themselves are
// parsed by port_map.cpp).
#include <cstdio>
#include <cstring>

#include "host/tavrik.h"
#include "platform/posix_network.h"

namespace {

// Lines end in LF (CR LF too); a line longer than the buffer is refused.
int LookupIn(FILE* file, const char* name, PortMapEntry* entry) {
    char text[512];
    int number = 0;
    while (std::fgets(text, sizeof text, file) != nullptr) {
        ++number;
        size_t length = std::strlen(text);
        bool whole = length > 0 && text[length - 1] == '\n';
        if (whole) text[--length] = '\0';
        if (!whole && !std::feof(file)) {
            err(kLogFault, "KivIN : %s line %d is too long, ignored", kPortMapFile, number);
            int c;
            while ((c = std::fgetc(file)) != EOF && c != '\n') {
            }
            continue;
        }
        PortMapLineResult result = ParsePortMapLine(text, length, entry);
        if (result == PortMapBadName) {
            err(kLogFault, "KivIN : %s line %d is not NAME = tcp://HOST:PORT or rfc2217://HOST:PORT, ignored",
                kPortMapFile, number);
            continue;
        }
        if (result == PortMapBlank || !PortNameMatches(name, *entry)) continue;
        if (result == PortMapBadUrl) {
            err(kLogFault, "KivIN : %s line %d: bad address for port %s", kPortMapFile, number, name);
            return -1;
        }
        return 1;
    }
    return 0;
}

}  // namespace

int NetLookupPort(const char* name, PortMapEntry* entry) {
    if (name == nullptr || name[0] == '\0' || std::strlen(name) > kPortNameMax) return 0;
    FILE* file = std::fopen(kPortMapFile, "r");
    if (file == nullptr) return 0;
    int found = LookupIn(file, name, entry);
    std::fclose(file);
    return found;
}
