// The simulator's service thread: reads frames off the line, lets the
// addressed unit answer, commits the faults asked for, and sends what units
// say unasked when the line is quiet.
#include "tools/kivsim/kivsim.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#endif
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "link/frame_codec.h"
#include "tools/common/capture.h"
#include "tools/common/frame_splitter.h"
#include "tools/common/frame_text.h"
#include "tools/common/time_text.h"
#include "tools/kivsim/line.h"

#if defined(_WIN32)
// The link layer's headers bring windows.h, whose SendMessage macro would
// rename the simulator's member of that name here and nowhere else.
#undef SendMessage
#endif

namespace kivsim {

namespace {

using SteadyClock = std::chrono::steady_clock;

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now().time_since_epoch()).count();
}

int64_t SystemMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::vector<uint8_t> NoticeMessage(uint16_t station, uint16_t host, uint8_t classes) {
    std::vector<uint8_t> m(10, 0);
    PutHeader(m.data(), 9, RequestControl(host, station, 0, FunctionSendData), host, station, 1, OpcodeExceptionNotice);
    m[9] = classes;
    return m;
}

std::vector<uint8_t> LinkResetMessage(uint16_t station, uint16_t host) {
    std::vector<uint8_t> m(8, 0);
    PutHeader(m.data(), kHeaderOnlyLength, uint8_t(DirectionFor(host, station) | ControlPrm), host, station, 0,
              OpcodeLinkReset);
    return m;
}

// One to eight stray bytes, as a squelch tail or a key-up burst leaves
// them; never the start byte, so that they cannot begin a false frame.
std::vector<uint8_t> StrayBytes(Rng& rng) {
    std::vector<uint8_t> bytes(1 + rng.Below(8));
    for (uint8_t& byte : bytes) {
        byte = uint8_t(rng.Next());
        if (byte == 0x05) byte = 0x06;
    }
    return bytes;
}

// Something to put on the line: bytes, after a pause.
struct Transmission {
    std::vector<uint8_t> bytes;
    int64_t delayUs = 0;
    std::string note;  // fault or reason, for the trace
};

// Something a unit or a command wants sent unasked.
struct Unasked {
    enum Kind { Notice, LinkReset, Message, Raw };
    Kind kind = Raw;
    uint16_t station = 0;
    int classes = -1;
    std::vector<uint8_t> bytes;
};

}  // namespace

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
    ComPortState netCom;        // the network line's settings, copied for other threads
    std::atomic<int> forcedCarrier{-1};  // -1 unchanged, else the carrier to force (taken by the service thread)
    bool netConnected = false;
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

    int64_t PcNow() const { return options.pcClock ? options.pcClock() : SystemMs(); }
    Station* Find(uint16_t number) {
        auto it = stations.find(number);
        return it == stations.end() ? nullptr : it->second.get();
    }
    void Wake() {
        if (wake[1] >= 0) {
            uint8_t b = 1;
            ssize_t ignored = ::write(wake[1], &b, 1);
            (void)ignored;
        }
    }
    // A trace line and, for bytes that crossed the line, a capture record.
    void Trace(const char* direction, const uint8_t* bytes, size_t count, const std::string& note,
               bool crossed = true);
    void Run();
    bool TakeOneFrame(std::vector<Transmission>& out);
    void HandleMessage(const uint8_t* message, const std::vector<uint8_t>& frame, std::vector<Transmission>& out);
    void BuildAnswer(Station& station, const uint8_t* request, const Outcome& outcome, int64_t receptionUs,
                     std::vector<Transmission>& out);
    void UnaskedWork(std::vector<Transmission>& out);
    void Transmit(std::vector<Transmission>& out);
    void TakeLineNotes();
    void ReadLine();
    void ApplyForcedCarrier();
    bool PumpFor(int64_t ms);
    void TransmitByRadio(Transmission& tx);
    bool SleepUs(int64_t us);
    std::vector<uint8_t> Frame(const std::vector<uint8_t>& message) {
        std::vector<uint8_t> frame(kFrameBufferSize);
        frame.resize(EncodeFrameWith(FrameCrcTable(), message.data(), frame.data()));
        return frame;
    }
    int64_t ByteTimeUs() const { return options.paceBaud > 0 ? 10000000LL / options.paceBaud : 0; }
};

void Simulator::Impl::Trace(const char* direction, const uint8_t* bytes, size_t count, const std::string& note,
                            bool crossed) {
    std::lock_guard<std::mutex> lock(traceMutex);
    const int64_t us = kivtools::WallClockUs();
    if (captureSink && crossed && count > 0) {
        captureSink(us, direction[0] == 'R' ? kivtools::kCaptureToUnit : kivtools::kCaptureToHost, bytes, count);
    }
    if (!traceSink || !tracing.load()) return;
    traceSink(kivtools::TraceLine(us / 1000, direction, bytes, count, note));
}

bool Simulator::Impl::SleepUs(int64_t us) {
    std::unique_lock<std::mutex> lock(stopMutex);
    return !stopCv.wait_for(lock, std::chrono::microseconds(us), [this] { return stop.load(); });
}

// Takes junk, one bad frame or one sound frame off the front of rx; the
// answers to a sound frame go to out. false when nothing could be taken
// (rx empty, or a frame still incomplete).
bool Simulator::Impl::TakeOneFrame(std::vector<Transmission>& out) {
    kivtools::FramePiece piece;
    if (!rx.Next(&piece)) return false;
    if (piece.kind == kivtools::FramePiece::Junk) {
        Trace("RX", piece.bytes.data(), piece.bytes.size(), "junk skipped");
        stats.junkBytes += piece.bytes.size();
        return true;
    }
    if (piece.kind != kivtools::FramePiece::Frame) {
        Trace("RX", piece.bytes.data(), piece.bytes.size(), "dropped");
        ++stats.crcErrors;
        return true;
    }
    const uint8_t* message = piece.message;
    const std::vector<uint8_t>& frame = piece.bytes;
    HandleMessage(message, frame, out);
    return true;
}

void Simulator::Impl::HandleMessage(const uint8_t* m, const std::vector<uint8_t>& frame,
                                    std::vector<Transmission>& out) {
    ++stats.framesReceived;
    if (m[0] < 7) {
        Trace("RX", frame.data(), frame.size(), "shorter than a header");
        ++stats.refused;
        return;
    }
    const uint16_t destination = MessageDestination(m);
    for (auto& entry : stations) {
        if (entry.first != destination) entry.second->ForgetLastRequest();
    }
    Station* station = Find(destination);
    if (!station) {
        ++stats.framesNotOurs;
        Trace("RX", frame.data(), frame.size(), "not for a station we play");
        return;
    }
    const bool linkReset = m[HeaderSet] == 0 && m[HeaderOpcode] == 0 && (m[HeaderControl] & ControlPrm);
    if (m[HeaderSet] == 1 && m[HeaderOpcode] < 16) ++stats.requests[m[HeaderOpcode]];
    if (linkReset) ++stats.linkResets;
    Outcome outcome = station->Handle(m, PcNow(), options.strict);
    Trace("RX", frame.data(), frame.size(), outcome.note);
    const int64_t now = SteadyMs();
    if (outcome.linkResetReply) ++stats.linkResetReplies;
    if (outcome.acknowledgement) {
        if (outcome.ackMatched) {
            ++stats.acks;
            // The host will now fetch; should it not, the unit reminds it
            // after the retry time.
            station->nextNoticeAt = now + options.noticeRetryMs;
        } else {
            ++stats.ackMismatches;
        }
    }
    if (outcome.kind == Outcome::Refused) ++stats.refused;
    if (outcome.kind != Outcome::Answer) return;
    if (linkReset) {
        ++stats.linkResetAnswers;
    } else {
        ++stats.answers[m[HeaderOpcode]];
        if (m[HeaderOpcode] == OpcodeSetClock && options.askTimeMs > 0) {
            station->nextClockAskAt = now + options.askTimeMs;
        }
    }
    if (station->WaitingClasses() == 0) {
        // Everything announced has been taken: new events may be reported
        // after the short gap.
        station->nextNoticeAt = std::min(station->nextNoticeAt, now + options.noticeGapMs);
    }
    if (outcome.repeated) ++stats.repeats;
    BuildAnswer(*station, m, outcome, int64_t(frame.size()) * ByteTimeUs(), out);
}

void Simulator::Impl::BuildAnswer(Station& station, const uint8_t* request, const Outcome& outcome, int64_t receptionUs,
                                  std::vector<Transmission>& out) {
    std::vector<uint8_t> message = outcome.message;
    const int fault = faults.Choose(outcome.fetch);
    Rng& rng = faults.Random();
    Transmission tx;
    // With pacing the request took its time on the line before the unit had it.
    tx.delayUs = receptionUs;
    bool intact = true;
    if (fault >= 0) {
        ++stats.faults[fault];
        tx.note = std::string("fault ") + FaultName(FaultKind(fault));
    }
    switch (fault < 0 ? -1 : fault) {
    case int(FaultKind::Drop):
        intact = false;
        tx.note += ": no answer";
        break;
    case int(FaultKind::Crc): {
        tx.bytes = Frame(message);
        // Flip one bit of one block's CRC.
        const size_t blocks = message[0] / 16 + 1;
        const size_t block = rng.Below(uint32_t(blocks));
        const size_t crcAt = block + 1 < blocks ? 2 + 16 * (block + 1) + 2 * block : tx.bytes.size() - 2;
        tx.bytes[crcAt + rng.Below(2)] ^= uint8_t(1u << rng.Below(8));
        intact = false;
        break;
    }
    case int(FaultKind::Delay):
        tx.delayUs += int64_t(delayMs) * 1000;
        tx.bytes = Frame(message);
        break;
    case int(FaultKind::WrongSource):
        PutHigh16(&message[HeaderSource], uint16_t(station.Number() + 1));
        tx.bytes = Frame(message);
        intact = false;
        break;
    case int(FaultKind::WrongDestination):
        PutHigh16(&message[HeaderDestination], uint16_t(MessageDestination(message.data()) + 1));
        tx.bytes = Frame(message);
        intact = false;
        break;
    case int(FaultKind::Notice):
    case int(FaultKind::NoticeFirst): {
        uint8_t classes = station.WaitingClasses();
        Transmission notice;
        notice.delayUs = tx.delayUs;
        notice.note = tx.note;
        notice.bytes =
            Frame(NoticeMessage(station.Number(), MessageSource(request), classes ? classes : uint8_t(ClassStatus)));
        out.push_back(notice);
        if (fault == int(FaultKind::Notice)) {
            intact = false;
            tx.note += ": in place of the answer";
        } else {
            tx.delayUs = 0;
            tx.bytes = Frame(message);
        }
        break;
    }
    case int(FaultKind::Garbage): {
        const uint32_t count = 1 + rng.Below(24);
        for (uint32_t i = 0; i < count; ++i) tx.bytes.push_back(uint8_t(rng.Next()));
        if (tx.bytes[0] == 0x05) tx.bytes[0] = 0x06;
        intact = false;
        break;
    }
    case int(FaultKind::Truncate):
        tx.bytes = Frame(message);
        tx.bytes.resize(1 + rng.Below(uint32_t(tx.bytes.size() - 1)));
        intact = false;
        break;
    case int(FaultKind::MoreStuck):
        message[8] = 1;
        tx.bytes = Frame(message);
        break;
    case int(FaultKind::Late):
        tx.delayUs += int64_t(options.lateMs) * 1000;
        tx.bytes = Frame(message);
        // Whole, only late: a later try may still take it.
        break;
    case int(FaultKind::Repeat): {
        tx.bytes = Frame(message);
        Transmission copy;
        copy.delayUs = int64_t(options.repeatGapMs) * 1000;
        copy.bytes = tx.bytes;
        copy.note = tx.note + ": the copy";
        out.push_back(tx);
        tx = copy;
        break;
    }
    case int(FaultKind::Split): {
        const std::vector<uint8_t> whole = Frame(message);
        const size_t cut = 1 + rng.Below(uint32_t(whole.size() - 1));
        Transmission head;
        head.delayUs = tx.delayUs;
        head.bytes.assign(whole.begin(), whole.begin() + long(cut));
        head.note = tx.note + ": first part";
        out.push_back(head);
        tx.delayUs = int64_t(options.splitGapMs) * 1000;
        tx.bytes.assign(whole.begin() + long(cut), whole.end());
        tx.note += ": rest";
        break;  // whole, only slow: a read that outlasts the pause takes it
    }
    case int(FaultKind::Noise):
        tx.bytes = StrayBytes(rng);
        for (uint8_t byte : Frame(message)) tx.bytes.push_back(byte);
        break;
    default: tx.bytes = Frame(message); break;
    }
    // Only a fetch answer carries the records of the last fetch: an intact
    // answer to another request must not count them as delivered.
    if (intact && outcome.fetch) {
        EventKind kind;
        int records = station.TakeDeliveredRecords(&kind);
        if (records > 0) stats.eventsSent[int(kind)] += uint64_t(records);
    }
    if (!tx.bytes.empty() || !tx.note.empty()) out.push_back(tx);
}

void Simulator::Impl::UnaskedWork(std::vector<Transmission>& out) {
    const int64_t now = SteadyMs();
    const int64_t pcNow = PcNow();
    if (plantRunning) {
        for (auto& entry : plants) {
            Station* station = Find(entry.first);
            if (station) RunPlant(entry.second, *station, pcNow);
        }
    }
    for (auto& entry : stations) {
        Station& station = *entry.second;
        if (options.askTimeMs > 0 && station.exceptionMode && !station.ClockWanted()) {
            if (station.nextClockAskAt == 0) station.nextClockAskAt = now + options.askTimeMs;
            if (now >= station.nextClockAskAt) station.SetClockWanted(true);
        }
    }
    // Units speak unasked only on a quiet line: nothing half received, and
    // nothing on the line for the idle gap.
    if (rx.Held() > 0 || now - std::max(lastRxMs, lastTxMs) < options.idleGapMs) return;
    Transmission tx;
    if (!outbox.empty()) {
        Unasked item = outbox.front();
        outbox.pop_front();
        Station* station = Find(item.station);
        switch (item.kind) {
        case Unasked::Notice: {
            if (!station) return;
            uint8_t classes = item.classes >= 0 ? uint8_t(item.classes) : station->WaitingClasses();
            station->noticeOutstanding = true;
            station->noticeClass = classes;
            station->noticeSentAt = now;
            ++stats.noticesSent;
            tx.bytes = Frame(NoticeMessage(station->Number(), station->Host(), classes));
            tx.note = "notice by command";
            break;
        }
        case Unasked::LinkReset:
            if (!station) return;
            ++stats.linkResetsSent;
            tx.bytes = Frame(LinkResetMessage(station->Number(), station->Host()));
            tx.note = "link reset by command";
            break;
        case Unasked::Message:
            ++stats.framesSentUnasked;
            tx.bytes = Frame(item.bytes);
            tx.note = "sent by command";
            break;
        case Unasked::Raw:
            ++stats.framesSentUnasked;
            tx.bytes = item.bytes;
            tx.note = "raw bytes by command";
            break;
        }
        out.push_back(tx);
        return;
    }
    for (auto& entry : stations) {
        Station& station = *entry.second;
        if (!station.exceptionMode) continue;
        const uint8_t classes = station.WaitingClasses();
        if (station.noticeOutstanding) {
            if (now - station.noticeSentAt < options.noticeRetryMs) continue;
            if (classes == 0) {
                // Polling took what the notice announced.
                station.noticeOutstanding = false;
                continue;
            }
            ++stats.noticesRepeated;
            tx.note = "notice again: not acknowledged";
        } else {
            if (classes == 0 || now < station.nextNoticeAt) continue;
            ++stats.noticesSent;
            tx.note = "notice";
        }
        station.noticeOutstanding = true;
        station.noticeClass = classes;
        station.noticeSentAt = now;
        tx.bytes.clear();
        if (faults.NoiseBeforeNotice()) {
            tx.bytes = StrayBytes(faults.Random());
            tx.note += " behind stray bytes";
            ++stats.noisyNotices;
        }
        for (uint8_t byte : Frame(NoticeMessage(station.Number(), station.Host(), classes))) tx.bytes.push_back(byte);
        out.push_back(tx);
        return;  // one frame per quiet spell
    }
}

void Simulator::Impl::Transmit(std::vector<Transmission>& out) {
    for (Transmission& tx : out) {
        if (tx.delayUs > 0 && !SleepUs(tx.delayUs)) return;
        if (tx.bytes.empty()) {
            Trace("TX", nullptr, 0, tx.note);
            continue;
        }
        if (options.radio.on && line.Net() != nullptr) {
            TransmitByRadio(tx);
            continue;
        }
        Trace("TX", tx.bytes.data(), tx.bytes.size(), tx.note);
        line.Write(tx.bytes.data(), tx.bytes.size(), options.paceBaud, stop);
        lastTxMs = SteadyMs();
    }
    out.clear();
}

// Traces what the network line noted: clients, and host bytes the radio lost.
void Simulator::Impl::TakeLineNotes() {
    NetEndpoint* net = line.Net();
    if (net == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        netCom = net->Com();
        netConnected = net->Connected();
    }
    for (const NetEndpoint::Note& note : net->TakeNotes()) {
        std::lock_guard<std::mutex> lock(mutex);
        if (note.connected) ++stats.clients;
        if (note.loss >= 0) stats.radioLost[note.loss] += note.bytes.size();
        Trace("RX", note.bytes.data(), note.bytes.size(), note.text, false);
    }
}

void Simulator::Impl::ApplyForcedCarrier() {
    int forced = forcedCarrier.exchange(-1);
    if (forced >= 0 && line.Net() != nullptr) line.Net()->SetForcedCarrier(forced == 1);
}

void Simulator::Impl::ReadLine() {
    ApplyForcedCarrier();
    std::vector<uint8_t> bytes;
    if (line.ReadAvailable(bytes) > 0) {
        lastRxMs = SteadyMs();
        rx.Feed(bytes.data(), bytes.size());
    }
    TakeLineNotes();
}

// Goes on taking what the host sends for ms (RTS, bytes) while a radio
// transmission runs. false when stopped.
bool Simulator::Impl::PumpFor(int64_t ms) {
    const int64_t end = SteadyMs() + ms;
    for (;;) {
        ReadLine();
        int64_t left = end - SteadyMs();
        if (left <= 0) return true;
        if (!SleepUs(std::min<int64_t>(left, 1) * 1000)) return false;
    }
}

// A unit on the radio: it waits until the host's transmitter is off, keys
// its own (the host sees the carrier from here), sends after its key-up
// time and holds the carrier for the tail. Should the host key up
// meanwhile, both transmissions are garbled.
void Simulator::Impl::TransmitByRadio(Transmission& tx) {
    NetEndpoint& net = *line.Net();
    const int64_t giveUp = SteadyMs() + 10000;
    while (net.HostKeyed() && net.Connected()) {
        if (SteadyMs() > giveUp) {
            Trace("TX", tx.bytes.data(), tx.bytes.size(), "not sent: the host kept its transmitter keyed", false);
            return;
        }
        if (!PumpFor(1)) return;
    }
    if (!net.Connected()) return;
    net.SetUnitTransmitting(true);
    const uint32_t baud = net.Com().baud > 0 ? net.Com().baud : 9600;
    const int64_t airMs = options.radio.keyUpMs + int64_t(tx.bytes.size()) * 10000 / baud;
    bool sent = PumpFor(airMs);
    std::vector<uint8_t> bytes = tx.bytes;
    std::string note = tx.note;
    if (net.TakeCollision()) {
        for (uint8_t& b : bytes) b ^= 0xA5;
        note += note.empty() ? "" : "; ";
        note += "garbled: the host keyed up during it";
        std::lock_guard<std::mutex> lock(mutex);
        ++stats.radioCollisions;
    }
    if (sent) {
        Trace("TX", bytes.data(), bytes.size(), note);
        line.Write(bytes.data(), bytes.size(), 0, stop);
        PumpFor(options.radio.tailMs);
    }
    net.SetUnitTransmitting(false);
    net.TakeCollision();
    lastTxMs = SteadyMs();
}

void Simulator::Impl::Run() {
    std::vector<Transmission> out;
    while (!stop.load()) {
        int timeoutMs = 100;
        {
            std::lock_guard<std::mutex> lock(mutex);
            bool timed = !outbox.empty() || plantRunning || options.askTimeMs > 0;
            for (auto& entry : stations) timed = timed || entry.second->exceptionMode;
            if (timed || rx.Held() > 0) timeoutMs = 5;
        }
#if defined(_WIN32)
        // A COM port cannot be waited on together with a wake-up: the line
        // is waited on alone, so a wake-up waits at most one turn.
        const bool readable = line.WaitReadable(timeoutMs);
        const bool hungUp = false;
#else
        // The wake-up first, then the line's descriptors.
        int lineFds[Line::kMaxWaitFds];
        const int lineCount = line.WaitFds(lineFds);
        struct pollfd fds[1 + Line::kMaxWaitFds] = {{wake[0], POLLIN, 0}};
        for (int i = 0; i < lineCount; ++i) fds[1 + i] = {lineFds[i], POLLIN, 0};
        int ready = ::poll(fds, nfds_t(1 + lineCount), timeoutMs);
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            uint8_t drain[64];
            while (::read(wake[0], drain, sizeof drain) > 0) {
            }
        }
        bool readable = false, hungUp = false;
        for (int i = 1; ready > 0 && i <= lineCount; ++i) {
            const short events = fds[i].revents;
            if (!(events & (POLLIN | POLLHUP | POLLERR))) continue;
            readable = true;
            hungUp = hungUp || ((events & (POLLHUP | POLLERR)) && !(events & POLLIN));
        }
#endif
        if (stop.load()) break;
        ApplyForcedCarrier();
        if (readable) {
            ReadLine();
            if (hungUp) SleepUs(5000);
        }
        for (;;) {
            bool took;
            {
                std::lock_guard<std::mutex> lock(mutex);
                took = TakeOneFrame(out);
                transmitting = !out.empty();
            }
            Transmit(out);
            {
                std::lock_guard<std::mutex> lock(mutex);
                transmitting = false;
            }
            if (!took || stop.load()) break;
        }
        if (rx.Held() > 0 && SteadyMs() - lastRxMs > options.frameTimeoutMs) {
            std::lock_guard<std::mutex> lock(mutex);
            kivtools::FramePiece piece;
            while (rx.Flush(&piece)) Trace("RX", piece.bytes.data(), piece.bytes.size(), "incomplete frame dropped");
            ++stats.incompleteFrames;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            UnaskedWork(out);
            transmitting = !out.empty();
        }
        Transmit(out);
        {
            std::lock_guard<std::mutex> lock(mutex);
            transmitting = false;
        }
    }
}

Simulator::Simulator(Options options) : impl_(new Impl) {
    impl_->options = std::move(options);
    impl_->delayMs = impl_->options.delayMs;
    impl_->faults.Seed(impl_->options.seed);
}

Simulator::~Simulator() {
    Stop();
    impl_->line.Close();
    for (int fd : impl_->wake) {
        if (fd >= 0) ::close(fd);
    }
}

bool Simulator::AddStation(uint16_t station, uint16_t host) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->stations.count(station)) return false;
    impl_->stations[station].reset(new Station(station, host));
    return true;
}

std::vector<uint16_t> Simulator::Stations() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::vector<uint16_t> list;
    for (auto& entry : impl_->stations) list.push_back(entry.first);
    return list;
}

bool Simulator::HasStation(uint16_t station) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->stations.count(station) != 0;
}

bool Simulator::Start() {
    Impl& s = *impl_;
    if (s.thread.joinable()) return true;
    std::string error;
    if (!s.lineOpen) {
        bool ok;
        if (s.options.listenKind != NetLineNone) {
            ok = s.line.Listen(s.options.listenKind, s.options.listenAddress, s.options.listenPort, &error);
            if (ok) {
                s.line.Net()->SetRadio(s.options.radio);
                s.line.Net()->SetStopFlag(&s.stop);
            }
        } else {
            ok = s.options.device.empty() ? s.line.OpenPty(&error)
                                          : s.line.OpenDevice(s.options.device, s.options.baud, &error);
        }
        if (ok && s.options.radio.on && s.options.listenKind != NetLineRfc2217) {
            ok = false;
            error = "the radio needs a line served with RFC 2217 (its modem lines)";
        }
        if (ok && !s.options.linkPath.empty()) ok = s.line.MakeLink(s.options.linkPath, &error);
        if (!ok) {
            std::lock_guard<std::mutex> lock(s.mutex);
            s.error = error;
            return false;
        }
        s.lineOpen = true;
    }
#if !defined(_WIN32)
    if (s.wake[0] < 0) {
        if (::pipe(s.wake) != 0) {
            std::lock_guard<std::mutex> lock(s.mutex);
            s.error = "pipe failed";
            return false;
        }
        for (int fd : s.wake) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }
#endif
    // Load the time zone here, so that the service thread's first local
    // time does not read it while other threads may.
    tzset();
    s.stop = false;
    s.thread = std::thread([&s] { s.Run(); });
    return true;
}

void Simulator::Stop() {
    Impl& s = *impl_;
    if (!s.thread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(s.stopMutex);
        s.stop = true;
    }
    s.stopCv.notify_all();
    s.Wake();
    s.thread.join();
}

bool Simulator::Running() const {
    return impl_->thread.joinable();
}

std::string Simulator::Error() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->error;
}

std::string Simulator::LinePath() const {
    return impl_->lineOpen ? impl_->line.Path() : std::string();
}

std::vector<std::string> Simulator::ListenAddresses() const {
    NetEndpoint* net = impl_->lineOpen ? impl_->line.Net() : nullptr;
    return net ? net->ListenAddresses() : std::vector<std::string>();
}

bool Simulator::WithStation(uint16_t station, const std::function<void(Station&)>& f) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Station* s = impl_->Find(station);
    if (!s) return false;
    f(*s);
    impl_->Wake();
    return true;
}

bool Simulator::SetRegister(uint16_t station, uint16_t address, uint32_t value) {
    return WithStation(station, [&](Station& s) { s.SetRegister(address, value); });
}

uint32_t Simulator::RegisterValue(uint16_t station, uint16_t address) {
    uint32_t value = 0;
    WithStation(station, [&](Station& s) { value = s.RegisterValue(address); });
    return value;
}

bool Simulator::QueueRegisterChange(uint16_t station, uint16_t address, uint32_t value) {
    return WithStation(station, [&](Station& s) {
        s.SetRegister(address, value);
        s.QueueRegisterChange(address, value);
    });
}

bool Simulator::QueueStatusEvent(uint16_t station, uint16_t point, bool state) {
    if (point >= kStatusPointCount) return false;
    const int64_t pcNow = impl_->PcNow();
    return WithStation(station, [&](Station& s) {
        s.SetPoint(point, state);
        s.QueueStatusEvent(point, state, pcNow);
    });
}

bool Simulator::QueueLoggedEvent(uint16_t station, uint16_t address, uint32_t value) {
    if (address >= kLoggedRegisterCount) return false;
    const int64_t pcNow = impl_->PcNow();
    return WithStation(station, [&](Station& s) {
        s.SetRegister(address, value);
        s.QueueLoggedEvent(address, value, pcNow);
    });
}

size_t Simulator::Pending(uint16_t station, EventKind kind) {
    size_t count = 0;
    WithStation(station, [&](Station& s) { count = s.Pending(kind); });
    return count;
}

bool Simulator::SetExceptionMode(uint16_t station, bool on) {
    return WithStation(station, [&](Station& s) {
        s.exceptionMode = on;
        if (!on) s.noticeOutstanding = false;
    });
}

bool Simulator::AskTime(uint16_t station) {
    return WithStation(station, [&](Station& s) { s.SetClockWanted(true); });
}

bool Simulator::AddGenerator(uint16_t station, const Generator& generator) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (!impl_->Find(station)) return false;
    impl_->plants[station].push_back(generator);
    return true;
}

bool Simulator::ClearPlant(uint16_t station) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (!impl_->Find(station)) return false;
    impl_->plants.erase(station);
    return true;
}

void Simulator::SetPlantRunning(bool on) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->plantRunning = on;
    impl_->Wake();
}

bool Simulator::PlantRunning() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->plantRunning;
}

std::string Simulator::DescribePlant() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::ostringstream out;
    out << "plant " << (impl_->plantRunning ? "on" : "off") << "\n";
    for (auto& entry : impl_->plants) {
        for (const Generator& g : entry.second) out << "  station " << entry.first << ": " << g.Describe() << "\n";
    }
    return out.str();
}

bool Simulator::SendNotice(uint16_t station, int classes) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (!impl_->Find(station)) return false;
    Unasked item;
    item.kind = Unasked::Notice;
    item.station = station;
    item.classes = classes;
    impl_->outbox.push_back(item);
    impl_->Wake();
    return true;
}

bool Simulator::SendLinkReset(uint16_t station) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (!impl_->Find(station)) return false;
    Unasked item;
    item.kind = Unasked::LinkReset;
    item.station = station;
    impl_->outbox.push_back(item);
    impl_->Wake();
    return true;
}

void Simulator::SendMessage(const std::vector<uint8_t>& message) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Unasked item;
    item.kind = Unasked::Message;
    // The length byte rules; a short message is padded with zeros.
    item.bytes = message;
    if (item.bytes.empty()) item.bytes.push_back(0);
    item.bytes.resize(size_t(item.bytes[0]) + 1, 0);
    impl_->outbox.push_back(item);
    impl_->Wake();
}

void Simulator::SendRaw(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Unasked item;
    item.kind = Unasked::Raw;
    item.bytes = bytes;
    impl_->outbox.push_back(item);
    impl_->Wake();
}

void Simulator::InjectFault(FaultKind kind, int count) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->faults.Inject(kind, count);
}

void Simulator::SetFaultProbability(FaultKind kind, double probability) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->faults.SetProbability(kind, probability);
}

void Simulator::ClearFaults() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->faults.Clear();
}

void Simulator::SetFaultSeed(uint64_t seed) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->faults.Seed(seed);
}

void Simulator::SetDelay(int milliseconds) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->delayMs = milliseconds < 0 ? 0 : milliseconds;
}

std::string Simulator::DescribeFaults() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->faults.Describe() + " (delay " + std::to_string(impl_->delayMs) + " ms)";
}

Stats Simulator::GetStats() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Stats stats = impl_->stats;
    for (auto& entry : impl_->stations) stats.eventsLost += entry.second->EventsLost();
    return stats;
}

void Simulator::SetForcedCarrier(bool on) {
    impl_->forcedCarrier = on ? 1 : 0;
    impl_->Wake();
}

bool Simulator::NetLineState(ComPortState* state) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    *state = impl_->netCom;
    return impl_->netConnected;
}

std::string Simulator::DescribeNetLine() const {
    if (impl_->options.listenKind == NetLineNone) return "line: " + LinePath() + "\n";
    ComPortState c;
    bool connected = NetLineState(&c);
    static const char* const kParity[] = {"?", "none", "odd", "even", "mark", "space"};
    static const char* const kStop[] = {"?", "1", "2", "1.5"};
    std::ostringstream out;
    out << "line: " << LinePath() << (impl_->options.radio.on ? " with radio" : "") << ", "
        << (connected ? "client connected" : "no client");
    if (connected && impl_->options.listenKind == NetLineRfc2217) {
        out << "; " << c.baud << " baud, " << int(c.dataBits) << " data bits, parity "
            << kParity[c.parity <= 5 ? c.parity : 0] << ", stop bits " << kStop[c.stopBits <= 3 ? c.stopBits : 0]
            << ", RTS " << (c.rts ? "on" : "off") << ", DTR " << (c.dtr ? "on" : "off") << ", purges " << c.purges;
    }
    out << "\n";
    return out.str();
}

void Simulator::ResetStats() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->stats = Stats();
}

void Simulator::SetTraceSink(std::function<void(const std::string&)> sink) {
    std::lock_guard<std::mutex> lock(impl_->traceMutex);
    impl_->traceSink = std::move(sink);
}

void Simulator::SetCaptureSink(CaptureSink sink) {
    std::lock_guard<std::mutex> lock(impl_->traceMutex);
    impl_->captureSink = std::move(sink);
}

void Simulator::SetTracing(bool on) {
    impl_->tracing = on;
}

bool Simulator::QuitRequested() const {
    return impl_->quit.load();
}

void Simulator::RequestQuit() {
    impl_->quit = true;
}

int64_t Simulator::PcNow() const {
    return impl_->PcNow();
}

bool Simulator::WaitQuiet(int timeoutMs) {
    const int64_t end = SteadyMs() + timeoutMs;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(impl_->mutex);
            if (impl_->outbox.empty() && !impl_->transmitting) return true;
        }
        if (SteadyMs() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::string FormatStats(const Stats& s) {
    static const char* const kOpcodeNames[16] = {
        "fetch register changes", "read registers", "", "write registers",       "write bit", "fetch status events",
        "fetch logged events",    "set clock",      "", "notice acknowledgement"};
    std::ostringstream out;
    out << "frames received " << s.framesReceived << " (not ours " << s.framesNotOurs << ", CRC errors " << s.crcErrors
        << ", incomplete " << s.incompleteFrames << ", junk bytes " << s.junkBytes << ", refused " << s.refused
        << ")\n";
    out << "link resets " << s.linkResets << " answered " << s.linkResetAnswers << "\n";
    for (int op = 0; op < 16; ++op) {
        if (s.requests[op] == 0 && s.answers[op] == 0) continue;
        out << "opcode " << op << " " << (kOpcodeNames[op] ? kOpcodeNames[op] : "") << ": received " << s.requests[op]
            << " answered " << s.answers[op] << "\n";
    }
    out << "fetch retries answered with the same records " << s.repeats << "\n";
    out << "events sent: register changes " << s.eventsSent[0] << ", status events " << s.eventsSent[1]
        << ", logged events " << s.eventsSent[2] << " (lost to full queues " << s.eventsLost << ")\n";
    out << "notices sent " << s.noticesSent << " repeated " << s.noticesRepeated << " acknowledged " << s.acks
        << " (mismatched acknowledgements " << s.ackMismatches << ")\n";
    out << "link resets sent " << s.linkResetsSent << " replies " << s.linkResetReplies << "; frames sent by command "
        << s.framesSentUnasked << "\n";
    if (s.clients > 0) {
        out << "network clients " << s.clients << "; radio: host bytes lost unkeyed " << s.radioLost[0]
            << ", before key-up " << s.radioLost[1] << ", in collisions " << s.radioLost[2]
            << "; unit frames garbled " << s.radioCollisions << "\n";
    }
    out << "faults:";
    for (int k = 0; k < kFaultKinds; ++k) out << " " << FaultName(FaultKind(k)) << "=" << s.faults[k];
    out << "; notices behind stray bytes " << s.noisyNotices;
    out << "\n";
    return out.str();
}

}  // namespace kivsim
