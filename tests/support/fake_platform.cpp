// The fake platform: the same Win32 names as the POSIX stand-in, linked in
// its place by the unit tests. Time is virtual and serial ports are scripted.
#include "tests/support/fake_platform.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <thread>
#include <atomic>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>
#include <cstdio>

#include "platform/port_failure.h"

namespace {

struct Arrival {
    uint64_t at;
    uint8_t byte;
};

struct Port {
    std::string name;
    bool open = true;
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
    DWORD inQueue = 0;
    DWORD outQueue = 0;
    std::deque<Arrival> input;  // ordered by arrival time
    std::vector<fake::Written> writes;
    int writeLimit = -1;
    std::function<bool(uint64_t)> carrier;
    bool rts = false;
    bool dtr = false;
};

struct FailRule {
    fake::Fn fn;
    int first;
    int count;    // < 0: for ever
    DWORD error;  // the last error the failed calls leave
};

constexpr int kFnCount = static_cast<int>(fake::Fn::ModemStatus) + 1;
constexpr uintptr_t kHandleBase = 0x1000;
constexpr uintptr_t kHandleStep = 0x10;

DCB DefaultDcb() {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 9600;
    dcb.fBinary = 1;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

COMMTIMEOUTS DefaultTimeouts() { return COMMTIMEOUTS{0, 0, 1000, 0, 0}; }

const SYSTEMTIME kDefaultLocalTime{2026, 3, 0, 1, 14, 5, 9, 250};

std::mutex fakeMutex;
std::atomic<uint64_t> virtualNow{0};
std::atomic<uint64_t> sleeps{0};
// Sleep's granularity in microseconds (0: exact) and the part of a
// millisecond that coarse sleeps have run ahead of virtual time so far.
uint64_t sleepTickMicros = 0;
uint64_t sleepRemainderMicros = 0;
DWORD tickCountStart = 0;
std::function<void(uint64_t)> sleepHook;
SYSTEMTIME localTime = kDefaultLocalTime;
std::vector<fake::ThreadStart> threadStarts;
bool failThreadStarts = false;
bool runThreads = false;

// A started thread that really runs (RunThreads on), awaited by handle.
struct RunningThread {
    std::thread thread;
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
};
std::map<uintptr_t, std::shared_ptr<RunningThread>> runningThreads;

std::vector<std::unique_ptr<Port>> ports;
DCB portDefaultDcb = DefaultDcb();
COMMTIMEOUTS portDefaultTimeouts = DefaultTimeouts();
std::vector<FailRule> failRules;
int callCounts[kFnCount];
std::vector<std::string> refusedNames;
std::vector<std::string> callLog;
fake::Responder responder;

thread_local DWORD lastError = ERROR_SUCCESS;

// Moves virtual time forward to at least t (never back).
void AdvanceTo(uint64_t t) {
    uint64_t now = virtualNow.load();
    while (now < t && !virtualNow.compare_exchange_weak(now, t)) {
    }
}

HANDLE HandleOf(size_t index) { return reinterpret_cast<HANDLE>(kHandleBase + kHandleStep * (index + 1)); }

// The port of a handle, or nullptr. Caller holds the lock.
Port* Find(HANDLE handle) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value <= kHandleBase || (value - kHandleBase) % kHandleStep != 0) return nullptr;
    const size_t index = (value - kHandleBase) / kHandleStep - 1;
    return index < ports.size() ? ports[index].get() : nullptr;
}

// The port a test function means: the given one, or the last opened.
Port* Pick(HANDLE handle) {
    if (handle == nullptr) return ports.empty() ? nullptr : ports.back().get();
    return Find(handle);
}

Port& MustPick(HANDLE handle) {
    Port* port = Pick(handle);
    if (port == nullptr) {
        // A test asked about a port that does not exist: give it a dummy
        // rather than crash, so that its assertions fail readably.
        static Port none;
        none = Port{};
        return none;
    }
    return *port;
}

// Counts a call of fn and says whether a scripted failure hits it.
// Returns the error the call fails with, or 0.
DWORD ShouldFail(fake::Fn fn) {
    const int number = ++callCounts[static_cast<int>(fn)];
    for (const FailRule& rule : failRules) {
        if (rule.fn != fn || number < rule.first) continue;
        if (rule.count < 0 || number < rule.first + rule.count) return rule.error;
    }
    return 0;
}

// Counts the call, checks the handle and scripted failures, and logs entry
// with " failed" when it fails. Returns the open port, or nullptr.
Port* Enter(fake::Fn fn, HANDLE handle, const std::string& entry) {
    const DWORD fail = ShouldFail(fn);
    Port* port = Find(handle);
    if (port == nullptr || !port->open) {
        lastError = ERROR_INVALID_HANDLE;
        callLog.push_back(entry + " failed");
        return nullptr;
    }
    if (fail) {
        lastError = fail;
        callLog.push_back(entry + " failed");
        return nullptr;
    }
    callLog.push_back(entry);
    return port;
}

HANDLE NewPort(const char* name) {
    std::unique_ptr<Port> port(new Port());
    port->name = name != nullptr ? name : "";
    port->dcb = portDefaultDcb;
    port->timeouts = portDefaultTimeouts;
    ports.push_back(std::move(port));
    return HandleOf(ports.size() - 1);
}

size_t ArrivedCount(const Port& port, uint64_t by) {
    size_t count = 0;
    for (const Arrival& arrival : port.input) {
        if (arrival.at > by) break;
        ++count;
    }
    return count;
}

}  // namespace

namespace fake {

void Reset() {
    std::lock_guard<std::mutex> lock(fakeMutex);
    virtualNow = 0;
    sleeps = 0;
    sleepTickMicros = 0;
    sleepRemainderMicros = 0;
    tickCountStart = 0;
    sleepHook = nullptr;
    localTime = kDefaultLocalTime;
    threadStarts.clear();
    failThreadStarts = false;
    runThreads = false;
    // A thread a test left running keeps running on its own.
    for (auto& entry : runningThreads)
        if (entry.second->thread.joinable()) entry.second->thread.detach();
    runningThreads.clear();
    ports.clear();
    portDefaultDcb = DefaultDcb();
    portDefaultTimeouts = DefaultTimeouts();
    failRules.clear();
    std::fill(callCounts, callCounts + kFnCount, 0);
    refusedNames.clear();
    callLog.clear();
    responder = nullptr;
}

uint64_t Now() { return virtualNow.load(); }
uint64_t SleepCount() { return sleeps.load(); }

void SetSleepTick(uint64_t micros) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    sleepTickMicros = micros;
    sleepRemainderMicros = 0;
}

void SetTickCountStart(DWORD start) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    tickCountStart = start;
}

void SetSleepHook(std::function<void(uint64_t)> hook) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    sleepHook = std::move(hook);
}

void SetLocalTime(const SYSTEMTIME& time) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    localTime = time;
}

std::vector<ThreadStart> ThreadStarts() {
    std::lock_guard<std::mutex> lock(fakeMutex);
    return threadStarts;
}

void FailThreadStarts(bool on) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    failThreadStarts = on;
}

void RunThreads(bool on) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    runThreads = on;
}

void FailCall(Fn fn, int first, int count, DWORD error) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    failRules.push_back(FailRule{fn, first, count, error});
}

void StopFailing() {
    std::lock_guard<std::mutex> lock(fakeMutex);
    failRules.clear();
}

int CallCount(Fn fn) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    return callCounts[static_cast<int>(fn)];
}

void RefuseName(const std::string& name) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    refusedNames.push_back(name);
}

void SetPortDefaults(const DCB& dcb, const COMMTIMEOUTS& timeouts) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    portDefaultDcb = dcb;
    portDefaultTimeouts = timeouts;
}

HANDLE OpenPort(const char* name) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    return NewPort(name);
}

std::string PortName(HANDLE port) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    return MustPick(port).name;
}

DCB PortDcb(HANDLE port) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    return MustPick(port).dcb;
}

COMMTIMEOUTS PortTimeouts(HANDLE port) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    return MustPick(port).timeouts;
}

DWORD PortQueueSizes(HANDLE port, DWORD* outQueue) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    const Port& picked = MustPick(port);
    if (outQueue != nullptr) *outQueue = picked.outQueue;
    return picked.inQueue;
}

bool PortIsOpen(HANDLE port) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    Port* picked = Pick(port);
    return picked != nullptr && picked->open;
}

int PortCount() {
    std::lock_guard<std::mutex> lock(fakeMutex);
    return static_cast<int>(ports.size());
}

void QueueInput(const std::vector<uint8_t>& bytes, uint64_t delayMs, HANDLE port) {
    QueueInputAt(bytes, Now() + delayMs, port);
}

void QueueInputAt(const std::vector<uint8_t>& bytes, uint64_t atMs, HANDLE port) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    Port& picked = MustPick(port);
    // Keep the queue ordered by arrival; equal times keep their order.
    auto at = std::upper_bound(picked.input.begin(), picked.input.end(), atMs,
                               [](uint64_t t, const Arrival& a) { return t < a.at; });
    std::vector<Arrival> arrivals;
    for (uint8_t byte : bytes) arrivals.push_back(Arrival{atMs, byte});
    picked.input.insert(at, arrivals.begin(), arrivals.end());
}

size_t PendingInput(HANDLE port) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    return MustPick(port).input.size();
}

std::vector<Written> Writes(HANDLE port) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    return MustPick(port).writes;
}

void LimitWrites(int maxBytes, HANDLE port) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    MustPick(port).writeLimit = maxBytes;
}

void SetResponder(Responder callback) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    responder = std::move(callback);
}

void SetCarrier(std::function<bool(uint64_t)> line, HANDLE port) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    MustPick(port).carrier = std::move(line);
}

bool RtsIsOn(HANDLE port) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    return MustPick(port).rts;
}

std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(fakeMutex);
    return callLog;
}

std::vector<std::string> CallsWithout(const std::function<bool(const std::string&)>& skip) {
    std::vector<std::string> kept;
    for (const std::string& entry : Calls()) {
        if (!skip(entry)) kept.push_back(entry);
    }
    return kept;
}

void ClearCalls() {
    std::lock_guard<std::mutex> lock(fakeMutex);
    callLog.clear();
}

}  // namespace fake

extern "C" void Sleep(DWORD milliseconds) {
    ++sleeps;
    std::function<void(uint64_t)> hook;
    uint64_t now = 0;
    {
        std::lock_guard<std::mutex> lock(fakeMutex);
        uint64_t advance = milliseconds;
        if (sleepTickMicros != 0 && milliseconds != 0) {
            // A sleep lasts whole ticks, at least one.
            const uint64_t wanted = static_cast<uint64_t>(milliseconds) * 1000;
            const uint64_t micros = (wanted + sleepTickMicros - 1) / sleepTickMicros * sleepTickMicros;
            sleepRemainderMicros += micros;
            advance = sleepRemainderMicros / 1000;
            sleepRemainderMicros %= 1000;
        }
        now = virtualNow += advance;
        callLog.push_back("Sleep " + std::to_string(milliseconds));
        hook = sleepHook;
    }
    if (hook) hook(now);
}

extern "C" DWORD GetTickCount(void) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    return static_cast<DWORD>(tickCountStart + virtualNow.load());
}

extern "C" void GetLocalTime(SYSTEMTIME* time) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    *time = localTime;
}

uintptr_t StartThread(ThreadBody body, unsigned stackSize, void* argument) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    if (failThreadStarts) return 0;
    threadStarts.push_back(fake::ThreadStart{body, stackSize, argument});
    const uintptr_t handle = threadStarts.size();
    if (runThreads) {
        std::shared_ptr<RunningThread> running = std::make_shared<RunningThread>();
        running->thread = std::thread([running, body, argument] {
            body(argument);
            std::lock_guard<std::mutex> doneLock(running->mutex);
            running->done = true;
            running->ended.notify_all();
        });
        runningThreads[handle] = running;
    }
    return handle;
}

// A recorded start that never ran has ended at once. A running one is waited
// for on the real clock, generously: the asked bound is virtual time.
int AwaitThreadEnd(uintptr_t thread, uint32_t) {
    std::shared_ptr<RunningThread> running;
    {
        std::lock_guard<std::mutex> lock(fakeMutex);
        auto found = runningThreads.find(thread);
        if (found == runningThreads.end()) return 1;
        running = found->second;
    }
    {
        std::unique_lock<std::mutex> lock(running->mutex);
        if (!running->ended.wait_for(lock, std::chrono::seconds(60), [&] { return running->done; })) return 0;
    }
    running->thread.join();
    std::lock_guard<std::mutex> lock(fakeMutex);
    runningThreads.erase(thread);
    return 1;
}

extern "C" {

HANDLE CreateFileA(LPCSTR name, DWORD, DWORD, void*, DWORD, DWORD, HANDLE) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    const std::string text = name != nullptr ? name : "";
    const DWORD fail = ShouldFail(fake::Fn::CreateFile);
    if (fail || std::find(refusedNames.begin(), refusedNames.end(), text) != refusedNames.end()) {
        lastError = fail ? fail : ERROR_FILE_NOT_FOUND;
        callLog.push_back("Open " + text + " failed");
        return INVALID_HANDLE_VALUE;
    }
    callLog.push_back("Open " + text);
    return NewPort(name);
}

BOOL CloseHandle(HANDLE handle) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    Port* port = Enter(fake::Fn::Close, handle, "Close");
    if (port == nullptr) return FALSE;
    port->open = false;
    return TRUE;
}

BOOL GetCommState(HANDLE handle, DCB* dcb) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    Port* port = Enter(fake::Fn::GetCommState, handle, "GetCommState");
    if (port == nullptr) return FALSE;
    *dcb = port->dcb;
    return TRUE;
}

BOOL SetCommState(HANDLE handle, DCB* dcb) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    Port* port = Enter(fake::Fn::SetCommState, handle, "SetCommState");
    if (port == nullptr) return FALSE;
    port->dcb = *dcb;
    return TRUE;
}

BOOL GetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    Port* port = Enter(fake::Fn::GetCommTimeouts, handle, "GetCommTimeouts");
    if (port == nullptr) return FALSE;
    *timeouts = port->timeouts;
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    Port* port = Enter(fake::Fn::SetCommTimeouts, handle,
                       "SetCommTimeouts " + std::to_string(timeouts->ReadTotalTimeoutConstant));
    if (port == nullptr) return FALSE;
    port->timeouts = *timeouts;
    return TRUE;
}

BOOL SetupComm(HANDLE handle, DWORD inQueue, DWORD outQueue) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    Port* port = Enter(fake::Fn::SetupComm, handle,
                       "SetupComm " + std::to_string(inQueue) + " " + std::to_string(outQueue));
    if (port == nullptr) return FALSE;
    port->inQueue = inQueue;
    port->outQueue = outQueue;
    return TRUE;
}

BOOL ClearCommError(HANDLE handle, DWORD* errors, COMSTAT* stat) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    Port* port = Enter(fake::Fn::ClearCommError, handle, "ClearCommError");
    if (port == nullptr) return FALSE;
    if (errors != nullptr) *errors = 0;
    if (stat != nullptr) {
        std::memset(stat, 0, sizeof *stat);
        stat->cbInQue = static_cast<DWORD>(ArrivedCount(*port, virtualNow.load()));
    }
    return TRUE;
}

// Returns once count bytes have arrived or the total time-out has passed,
// with virtual time moved to that moment.
BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD count, DWORD* read, void*) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    const std::string entry = "Read " + std::to_string(count);
    const DWORD fail = ShouldFail(fake::Fn::ReadFile);
    Port* port = Find(handle);
    if (port == nullptr || !port->open || fail) {
        lastError = fail ? fail : ERROR_INVALID_HANDLE;
        callLog.push_back(entry + " failed");
        if (read != nullptr) *read = 0;
        return FALSE;
    }
    const uint64_t now = virtualNow.load();
    const COMMTIMEOUTS& t = port->timeouts;
    const bool noTimeouts =
        t.ReadIntervalTimeout == 0 && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
    // With no time-outs a real read would wait for ever; the fake takes what
    // is queued, whenever it arrives, so that a test cannot hang.
    const uint64_t deadline = noTimeouts ? UINT64_MAX
                                         : now + uint64_t(t.ReadTotalTimeoutMultiplier) * count +
                                               t.ReadTotalTimeoutConstant;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    DWORD taken = 0;
    uint64_t lastArrival = now;
    while (taken < count && !port->input.empty() && port->input.front().at <= deadline) {
        lastArrival = std::max(lastArrival, port->input.front().at);
        out[taken++] = port->input.front().byte;
        port->input.pop_front();
    }
    if (taken == count || noTimeouts) {
        AdvanceTo(lastArrival);
    } else {
        AdvanceTo(deadline);
    }
    if (read != nullptr) *read = taken;
    callLog.push_back(entry + " got " + std::to_string(taken));
    return TRUE;
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD count, DWORD* written, void*) {
    std::vector<uint8_t> bytes;
    HANDLE port = handle;
    fake::Responder callback;
    {
        std::lock_guard<std::mutex> lock(fakeMutex);
        const std::string entry = "Write " + std::to_string(count);
        const DWORD fail = ShouldFail(fake::Fn::WriteFile);
        Port* picked = Find(handle);
        if (picked == nullptr || !picked->open || fail) {
            lastError = fail ? fail : ERROR_INVALID_HANDLE;
            callLog.push_back(entry + " failed");
            return FALSE;
        }
        DWORD take = count;
        if (picked->writeLimit >= 0 && take > static_cast<DWORD>(picked->writeLimit)) {
            take = static_cast<DWORD>(picked->writeLimit);
        }
        const uint8_t* in = static_cast<const uint8_t*>(buffer);
        bytes.assign(in, in + take);
        picked->writes.push_back(fake::Written{virtualNow.load(), bytes});
        callLog.push_back(take == count ? entry : entry + " took " + std::to_string(take));
        if (written != nullptr) *written = take;
        callback = responder;
    }
    if (callback) callback(port, bytes);
    return TRUE;
}

DWORD GetLastError(void) { return lastError; }
void SetLastError(DWORD code) { lastError = code; }

BOOL EscapeCommFunction(HANDLE handle, DWORD function) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    const char* name = function == SETRTS   ? "RTS on"
                       : function == CLRRTS ? "RTS off"
                       : function == SETDTR ? "DTR on"
                       : function == CLRDTR ? "DTR off"
                                            : nullptr;
    if (name == nullptr) {
        ShouldFail(fake::Fn::EscapeComm);
        lastError = ERROR_INVALID_PARAMETER;
        callLog.push_back("Escape " + std::to_string(function) + " failed");
        return FALSE;
    }
    Port* port = Enter(fake::Fn::EscapeComm, handle, name);
    if (port == nullptr) return FALSE;
    if (function == SETRTS || function == CLRRTS) port->rts = function == SETRTS;
    if (function == SETDTR || function == CLRDTR) port->dtr = function == SETDTR;
    return TRUE;
}

BOOL GetCommModemStatus(HANDLE handle, DWORD* status) {
    std::function<bool(uint64_t)> line;
    {
        std::lock_guard<std::mutex> lock(fakeMutex);
        Port* port = Enter(fake::Fn::ModemStatus, handle, "ModemStatus");
        if (port == nullptr) return FALSE;
        line = port->carrier;
    }
    *status = line && line(virtualNow.load()) ? MS_RLSD_ON : 0;
    return TRUE;
}

}  // extern "C"

// The fake's ports stand for their names; the reason is the failed call's
// error as the fake set it.
void DescribePortFailure(const char* name, int32_t step, KivPortFailureReport* report) {
    report->step = step;
    report->systemCode = static_cast<int32_t>(GetLastError());
    std::snprintf(report->device, sizeof report->device, "%s", name);
}
