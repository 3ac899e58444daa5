// The per-port input buffer of the POSIX stand-in: what one read of the
// device brought beyond what was asked, served to the reads that follow, as
// the Windows driver serves reads from its own receive queue.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/win32_names.h"

namespace kivposix {

constexpr DWORD kInputCapacity = 512;  // more than the largest frame (290 bytes)

// head, tail and drained are atomics only so that ClearCommError may count
// while a read runs on another thread; bytes belong to the one reader.
struct InputBuffer {
    std::atomic<uint16_t> head{0};  // next byte to hand out
    std::atomic<uint16_t> tail{0};  // end of the bytes read
    std::atomic<bool> drained{false};  // the device had nothing more at the last look: wait before reading
    uint8_t bytes[kInputCapacity];
};

inline DWORD BufferedInput(const InputBuffer& in) {
    return static_cast<DWORD>(in.tail.load(std::memory_order_relaxed) - in.head.load(std::memory_order_relaxed));
}

// Moves up to count held bytes to out; returns how many.
DWORD TakeInput(InputBuffer& in, uint8_t* out, DWORD count);

// Forgets the held bytes and what the last look found.
void ClearInput(InputBuffer& in);

}  // namespace kivposix
