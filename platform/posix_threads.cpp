// POSIX threads behind the driver's StartThread / AwaitThreadEnd: a joinable
// pthread and a record that says when its body has returned, so that the
// wait can be bounded (pthread_join alone cannot).
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <limits.h>
#include <mutex>

#include "platform/platform.h"

namespace {

struct ThreadRecord {
    ThreadBody body;
    void* argument;
    pthread_t thread;
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
};

void* RunThread(void* raw) {
    ThreadRecord* record = static_cast<ThreadRecord*>(raw);
    record->body(record->argument);
    std::lock_guard<std::mutex> lock(record->mutex);
    record->done = true;
    record->ended.notify_all();
    return nullptr;
}

}  // namespace

uintptr_t StartThread(ThreadBody body, unsigned stackSize, void* argument) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return 0;
    if (stackSize != 0) {
        size_t size = stackSize < PTHREAD_STACK_MIN ? PTHREAD_STACK_MIN : stackSize;
        pthread_attr_setstacksize(&attributes, size);
    }
    ThreadRecord* record = new ThreadRecord;
    record->body = body;
    record->argument = argument;
    const int started = pthread_create(&record->thread, &attributes, RunThread, record);
    pthread_attr_destroy(&attributes);
    if (started != 0) {
        delete record;
        return 0;
    }
    return reinterpret_cast<uintptr_t>(record);
}

int AwaitThreadEnd(uintptr_t thread, uint32_t milliseconds) {
    ThreadRecord* record = reinterpret_cast<ThreadRecord*>(thread);
    if (record == nullptr) return 1;
    {
        std::unique_lock<std::mutex> lock(record->mutex);
        if (!record->ended.wait_for(lock, std::chrono::milliseconds(milliseconds), [record] { return record->done; }))
            return 0;
    }
    // The body has returned; the join only waits for the last instructions.
    pthread_join(record->thread, nullptr);
    delete record;
    return 1;
}
