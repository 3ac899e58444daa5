// What every platform's serial line shares: the DCB the driver builds for a
// line set-up (Win32's own type on Windows, our stand-in's on POSIX) and the
// paced write loop.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include "platform/win32_names.h"
#endif

#include <functional>

#include "tools/common/serial_line.h"

namespace kivtools {

DCB DcbFor(const LineSetup& setup);

// Writes all bytes through writeSome (bytes taken, 0 when the line takes
// none just now, -1 on an error), waiting with waitWritable in between. With
// paceBaud > 0 each byte takes 10 bits at that rate. Gives up when stop is
// set, or when the line takes nothing for a second.
bool PacedWrite(const uint8_t* bytes, size_t count, int paceBaud, const std::atomic<bool>& stop,
                const std::function<long(const uint8_t*, size_t)>& writeSome, const std::function<void()>& waitWritable);

}  // namespace kivtools
