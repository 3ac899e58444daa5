// A counting interposer on the C allocator: the benchmark program defines
// malloc and its kin, which count and hand over to glibc's own entry points.
// operator new of the C++ runtime allocates through malloc, so it is counted
// here too. Only threads that asked to be tracked add to the count, so the
// simulator's and the benchmark's own threads do not blur the driver's figure.
#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "bench/support.h"

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);
}

namespace {

// Initial-exec TLS of the program itself: reading it never allocates.
thread_local bool tracked = false;
std::atomic<uint64_t> trackedAllocations{0};

inline void Count() {
    if (tracked) trackedAllocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

namespace kivbench {

uint64_t TrackedAllocations() { return trackedAllocations.load(); }
void TrackThisThread(bool on) { tracked = on; }

bool AllocationCounterWorks() {
    // Called through volatile pointers, so that the compiler cannot drop the
    // pairs of allocation and release as it may for plain calls.
    void* (*volatile allocate)(size_t) = std::malloc;
    void* (*volatile make)(size_t) = ::operator new;
    void (*volatile release)(void*) = std::free;
    void (*volatile destroy)(void*) = ::operator delete;
    const bool wasTracked = tracked;
    const uint64_t before = TrackedAllocations();
    tracked = true;
    release(allocate(24));
    destroy(make(24));
    tracked = false;
    const uint64_t counted = TrackedAllocations() - before;
    tracked = false;
    release(allocate(24));  // an untracked thread adds nothing
    tracked = wasTracked;
    return counted == 2 && TrackedAllocations() - before == 2;
}

}  // namespace kivbench

extern "C" {

void* malloc(size_t size) {
    Count();
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
    Count();
    return __libc_calloc(count, size);
}

void* realloc(void* pointer, size_t size) {
    Count();
    return __libc_realloc(pointer, size);
}

void free(void* pointer) { __libc_free(pointer); }

void* memalign(size_t alignment, size_t size) {
    Count();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
    Count();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** result, size_t alignment, size_t size) {
    Count();
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
    void* pointer = __libc_memalign(alignment, size);
    if (pointer == nullptr && size != 0) return ENOMEM;
    *result = pointer;
    return 0;
}

}  // extern "C"
