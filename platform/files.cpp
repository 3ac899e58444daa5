// File kinds through the C runtime's stat, which both platforms have.
#include "platform/files.h"

#include <sys/stat.h>

FileKind FileKindOf(const char* name, int64_t* size) {
    struct stat status;
    if (stat(name, &status) != 0) return FileMissing;
    if (!S_ISREG(status.st_mode)) return FileOther;
    *size = static_cast<int64_t>(status.st_size);
    return FileRegular;
}
