// What kind of file a path names, for readers that must not open devices or
// FIFOs (an open of a FIFO without a writer never returns).
#pragma once

#include <cstdint>

enum FileKind { FileMissing, FileRegular, FileOther };

// The kind of the file at name; its size in bytes in *size when regular.
FileKind FileKindOf(const char* name, int64_t* size);
