// Looking a port name up in the port map file (the lines themselves are
// parsed by port_map.cpp).
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "platform/platform_log.h"
#include "platform/posix_network.h"

namespace {

// The longest line of the map, its LF not counted.
constexpr size_t kMapLineMax = 511;
// The map is read no further than this: thousands of entries, and a file
// that keeps growing cannot hold an open for ever.
constexpr size_t kMapBytesMax = 1 << 20;

// Reads the next line of file into text (kMapLineMax + 1 bytes), without
// its LF, as the bytes stand (a NUL byte among them too, which the parser
// then refuses), counting the bytes it reads off *left. 1 with the line and
// its length, 0 at the end of the file or of *left, -1 for a longer line
// (read past up to its LF).
int ReadMapLine(FILE* file, char* text, size_t* length, size_t* left) {
    size_t count = 0;
    bool any = false, tooLong = false;
    for (int c; *left > 0 && (c = std::fgetc(file)) != EOF;) {
        --*left;
        any = true;
        if (c == '\n') break;
        if (count < kMapLineMax) text[count++] = static_cast<char>(c);
        else tooLong = true;
    }
    text[count] = '\0';
    *length = count;
    if (!any) return 0;
    return tooLong ? -1 : 1;
}

// Lines end in LF (CR LF too); a line longer than kMapLineMax is refused.
int LookupIn(FILE* file, const char* name, PortMapEntry* entry) {
    char text[kMapLineMax + 1];
    size_t length = 0;
    size_t left = kMapBytesMax;
    int number = 0;
    for (int read; (read = ReadMapLine(file, text, &length, &left)) != 0;) {
        ++number;
        if (read < 0) {
            PlatformLog(kLogFault, "KivIN : %s line %d is too long, ignored", kPortMapFile, number);
            continue;
        }
        PortMapLineResult result = ParsePortMapLine(text, length, entry);
        if (result == PortMapBadName) {
            PlatformLog(kLogFault, "KivIN : %s line %d is not NAME = tcp://HOST:PORT or rfc2217://HOST:PORT, ignored",
                kPortMapFile, number);
            continue;
        }
        if (result == PortMapBlank || !PortNameMatches(name, *entry)) continue;
        if (result == PortMapBadUrl) {
            PlatformLog(kLogFault, "KivIN : %s line %d: bad address for port %s", kPortMapFile, number, name);
            return -1;
        }
        return 1;
    }
    return 0;
}

}  // namespace

int NetLookupPort(const char* name, PortMapEntry* entry) {
    if (name == nullptr || name[0] == '\0' || std::strlen(name) > kPortNameMax) return 0;
    // Only a regular file: a FIFO without a writer would block the open
    // for ever, a device may never end.
    struct stat status;
    if (stat(kPortMapFile, &status) != 0) return 0;
    if (!S_ISREG(status.st_mode)) {
        PlatformLog(kLogFault, "KivIN : %s is not a regular file, ignored", kPortMapFile);
        return 0;
    }
    FILE* file = std::fopen(kPortMapFile, "r");
    if (file == nullptr) return 0;
    int found = LookupIn(file, name, entry);
    std::fclose(file);
    return found;
}
