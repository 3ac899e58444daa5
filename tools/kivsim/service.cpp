// The simulator's service thread: reads frames off the line, lets the
// addressed unit answer, commits the faults asked for, sends what units say
// unasked when the line is quiet, and keys the radio where there is one.
#include <algorithm>
#include <ctime>
#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#endif
#include <unistd.h>

#include "link/frame_codec.h"
#include "tools/common/capture.h"
#include "tools/common/frame_text.h"
#include "tools/common/time_text.h"
#include "tools/kivsim/simulator_impl.h"

namespace kivsim {

bool Simulator::Start() {
    Impl& s = *impl_;
    if (s.thread.joinable()) return true;
    if (!s.lineOpen && !s.OpenLine()) return false;
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

// Opens the line the options name: the network, a device or a pseudo-
// terminal, and the link to it. false with error set.
bool Simulator::Impl::OpenLine() {
    std::string why;
    bool ok;
    if (options.listenKind != NetLineNone) {
        ok = line.Listen(options.listenKind, options.listenAddress, options.listenPort, &why);
        if (ok) {
            line.Net()->SetRadio(options.radio);
            line.Net()->SetRadioLog(&radioLog);
            line.Net()->SetStopFlag(&stop);
        }
    } else {
        ok = options.device.empty() ? line.OpenPty(&why) : line.OpenDevice(options.device, options.baud, &why);
    }
    if (ok && options.radio.on && options.listenKind != NetLineRfc2217) {
        ok = false;
        why = "the radio needs a line served with RFC 2217 (its modem lines)";
    }
    if (ok && !options.linkPath.empty()) ok = line.MakeLink(options.linkPath, &why);
    if (!ok) {
        std::lock_guard<std::mutex> lock(mutex);
        error = why;
        return false;
    }
    lineOpen = true;
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

void Simulator::Impl::Run() {
    std::vector<Transmission> out;
    // Sends what a step put into out, outside the lock.
    auto send = [&] {
        Transmit(out);
        std::lock_guard<std::mutex> lock(mutex);
        transmitting = false;
    };
    while (!stop.load()) {
        bool hungUp = false;
        const bool readable = WaitForLine(&hungUp);
        if (stop.load()) break;
        ApplyForcedCarrier();
        if (readable) {
            ReadLine();
            if (hungUp) SleepUs(5000);
        }
        bool took;
        do {
            {
                std::lock_guard<std::mutex> lock(mutex);
                took = TakeOneFrame(out);
                transmitting = !out.empty();
            }
            send();
        } while (took && !stop.load());
        DropIncompleteFrame();
        {
            std::lock_guard<std::mutex> lock(mutex);
            UnaskedWork(out);
            transmitting = !out.empty();
        }
        send();
    }
}

// Waits up to a turn for the line (or a wake-up): 5 ms while something is
// timed or half received, else 100 ms. true when the line has something;
// *hungUp when it only hung up.
bool Simulator::Impl::WaitForLine(bool* hungUp) {
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
    *hungUp = false;
    return line.WaitReadable(timeoutMs);
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
    bool readable = false;
    for (int i = 1; ready > 0 && i <= lineCount; ++i) {
        const short events = fds[i].revents;
        if (!(events & (POLLIN | POLLHUP | POLLERR))) continue;
        readable = true;
        *hungUp = *hungUp || ((events & (POLLHUP | POLLERR)) && !(events & POLLIN));
    }
    return readable;
#endif
}

// A frame still incomplete after the frame time-out without bytes is dropped.
void Simulator::Impl::DropIncompleteFrame() {
    if (rx.Held() == 0 || SteadyMs() - lastRxMs <= options.frameTimeoutMs) return;
    std::lock_guard<std::mutex> lock(mutex);
    kivtools::FramePiece piece;
    while (rx.Flush(&piece)) Trace("RX", piece.bytes.data(), piece.bytes.size(), "incomplete frame dropped");
    ++stats.incompleteFrames;
}

bool Simulator::Impl::SleepUs(int64_t us) {
    std::unique_lock<std::mutex> lock(stopMutex);
    return !stopCv.wait_for(lock, std::chrono::microseconds(us), [this] { return stop.load(); });
}

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

// Takes junk, one bad frame or one sound frame off the front of rx; the
// answers to a sound frame go to out. false when nothing could be taken
// (rx empty, or a frame still incomplete).
bool Simulator::Impl::TakeOneFrame(std::vector<Transmission>& out) {
    kivtools::FramePiece piece;
    if (!rx.Next(&piece)) return false;
    if (piece.kind == kivtools::FramePiece::Frame) {
        HandleMessage(piece.message, piece.bytes, out);
    } else if (piece.kind == kivtools::FramePiece::Junk) {
        Trace("RX", piece.bytes.data(), piece.bytes.size(), "junk skipped");
        stats.junkBytes += piece.bytes.size();
    } else {
        Trace("RX", piece.bytes.data(), piece.bytes.size(), "dropped");
        ++stats.crcErrors;
    }
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
    if (outcome.acknowledgement && !outcome.ackMatched) ++stats.ackMismatches;
    if (outcome.ackMatched) {
        ++stats.acks;
        // The host will now fetch; should it not, the unit reminds it after
        // the retry time.
        station->nextNoticeAt = now + options.noticeRetryMs;
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
    const int fault = faults.Choose(outcome.fetch);
    if (fault >= 0) ++stats.faults[fault];
    // With pacing the request took its time on the line before the unit had it.
    const Answer answer{outcome.message, station.Number(), MessageSource(request), station.WaitingClasses(),
                        receptionUs};
    FaultEffect effect =
        ApplyFault(answer, fault, faults.Random(), {delayMs, options.lateMs, options.repeatGapMs, options.splitGapMs});
    // Only a fetch answer carries the records of the last fetch: an intact
    // answer to another request must not count them as delivered.
    if (effect.intact && outcome.fetch) {
        EventKind kind;
        int records = station.TakeDeliveredRecords(&kind);
        if (records > 0) stats.eventsSent[int(kind)] += uint64_t(records);
    }
    out.insert(out.end(), effect.out.begin(), effect.out.end());
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

}  // namespace kivsim
