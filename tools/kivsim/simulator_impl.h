// The simulator's inside, shared by its files: the units and what they
// hold, the line, the service thread's state, and the steps of its loop.
// simulator.cpp: the public calls; service.cpp: the loop, the answers and
// the radio; unasked.cpp: what units and commands send unasked;
// stats.cpp: the statistics; fault_effects.cpp: what a fault does.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/common/frame_splitter.h"
#include "tools/kivsim/fault_effects.h"
#include "tools/kivsim/kivsim.h"
#include "tools/kivsim/line.h"

#if defined(_WIN32)
// The line's headers bring windows.h, whose SendMessage macro would rename
// the simulator's member of that name here and nowhere else.
#undef SendMessage
#endif

namespace kivsim {

// Something a unit or a command wants sent unasked.
struct Unasked {
    enum Kind { Notice, LinkReset, Message, Raw };
    Kind kind = Raw;
    uint16_t station = 0;
    int classes = -1;
    std::vector<uint8_t> bytes;
};

struct Simulator::Impl {
    Options options;
    mutable std::mutex mutex;  // guards everything below but the service thread's own
    std::map<uint16_t, std::unique_ptr<Station>> stations;
    std::map<uint16_t, std::vector<Generator>> plants;
    bool plantRunning = false;
    FaultPlan faults;
    int delayMs = 1500;
    Stats stats;
    std::deque<Unasked> outbox;
    bool transmitting = false;
    std::string error;
    std::atomic<bool> quit{false};

    Line line;
    bool lineOpen = false;
    ComPortState netCom;                 // the network line's settings, copied for other threads
    std::atomic<int> forcedCarrier{-1};  // -1 unchanged, else the carrier to force (taken by the service thread)
    bool netConnected = false;
    RadioLog radioLog;                   // key-ups and carrier, noted by the service thread
    std::thread thread;
    std::atomic<bool> stop{false};
    std::mutex stopMutex;
    std::condition_variable stopCv;
    int wake[2] = {-1, -1};

    std::mutex traceMutex;
    std::function<void(const std::string&)> traceSink;
    CaptureSink captureSink;
    std::atomic<bool> tracing{true};

    // The service thread's own: bytes received and not yet taken as frames,
    // and when the line last carried something.
    kivtools::FrameSplitter rx;  // bytes from the line, cut into frames
    int64_t lastRxMs = 0;
    int64_t lastTxMs = 0;

    int64_t PcNow() const;
    Station* Find(uint16_t number);
    void Wake();
    bool Post(const Unasked& item);

    // service.cpp
    bool OpenLine();
    void Run();
    bool WaitForLine(bool* hungUp);
    bool SleepUs(int64_t us);
    // A trace line and, for bytes that crossed the line, a capture record.
    void Trace(const char* direction, const uint8_t* bytes, size_t count, const std::string& note,
               bool crossed = true);
    bool TakeOneFrame(std::vector<Transmission>& out);
    void HandleMessage(const uint8_t* message, const std::vector<uint8_t>& frame, std::vector<Transmission>& out);
    void BuildAnswer(Station& station, const uint8_t* request, const Outcome& outcome, int64_t receptionUs,
                     std::vector<Transmission>& out);
    void DropIncompleteFrame();
    void Transmit(std::vector<Transmission>& out);
    void TakeLineNotes();
    void ReadLine();
    void ApplyForcedCarrier();
    bool PumpFor(int64_t ms);
    void TransmitByRadio(Transmission& tx);
    int64_t ByteTimeUs() const { return options.paceBaud > 0 ? 10000000LL / options.paceBaud : 0; }

    // unasked.cpp
    void UnaskedWork(std::vector<Transmission>& out);
    void TickUnits(int64_t now);
    bool TakeOutbox(int64_t now, Transmission* tx);
    bool NextNotice(int64_t now, Transmission* tx);
};

}  // namespace kivsim
