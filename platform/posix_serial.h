// What the POSIX serial stand-in offers beyond the Win32 names: the mapping
// from a port name to the device path it opens.
#pragma once

#include <cstddef>

// Writes the device path for a port name into path (size bytes): a name
// beginning with '/' is the path itself; "NUL" is /dev/null and "COMn"
// (n from 1) is /dev/ttyS(n-1), both in any letter case and also with the
// prefix "\\.\"; any other name is looked up under /dev/. Returns false
// when the name is empty or the path does not fit.
bool PosixPortPath(const char* name, char* path, size_t size);
