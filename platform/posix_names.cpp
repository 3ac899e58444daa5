// Port names of the POSIX stand-in: COMn, \\.\COMn, NUL, paths, and names
// under /dev/.
#include <cstdio>
#include <cstring>

#include "platform/posix_serial.h"

namespace {

bool EqualsIgnoringCase(const char* text, const char* upper, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != upper[i]) return false;
    }
    return true;
}

// The number n of "COMn" (1 to 255, no leading zero), or 0.
int ComNumber(const char* name) {
    if (std::strlen(name) < 4 || !EqualsIgnoringCase(name, "COM", 3)) return 0;
    const char* digits = name + 3;
    if (digits[0] < '1' || digits[0] > '9') return 0;
    int number = 0;
    for (const char* p = digits; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return 0;
        number = number * 10 + (*p - '0');
        if (number > 255) return 0;
    }
    return number;
}

}  // namespace

bool PosixPortPath(const char* name, char* path, size_t size) {
    if (name == nullptr || name[0] == '\0' || size == 0) return false;
    if (std::strncmp(name, "\\\\.\\", 4) == 0) {
        name += 4;
        if (name[0] == '\0') return false;
    }
    int written;
    int com = ComNumber(name);
    if (name[0] == '/') {
        written = std::snprintf(path, size, "%s", name);
    } else if (std::strlen(name) == 3 && EqualsIgnoringCase(name, "NUL", 3)) {
        written = std::snprintf(path, size, "/dev/null");
    } else if (com > 0) {
        written = std::snprintf(path, size, "/dev/ttyS%d", com - 1);
    } else {
        written = std::snprintf(path, size, "/dev/%s", name);
    }
    return written > 0 && static_cast<size_t>(written) < size;
}
