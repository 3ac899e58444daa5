// What units and commands send unasked: the outbox of commands, the
// exception notices of units in report-by-exception, and the plant and
// clock asks that make units want to speak. All of it waits for a quiet line.
#include <algorithm>

#include "tools/kivsim/simulator_impl.h"

namespace kivsim {

// Queues item; false when it is a unit's and the unit is not played.
bool Simulator::Impl::Post(const Unasked& item) {
    std::lock_guard<std::mutex> lock(mutex);
    const bool unit = item.kind == Unasked::Notice || item.kind == Unasked::LinkReset;
    if (unit && !Find(item.station)) return false;
    outbox.push_back(item);
    Wake();
    return true;
}

bool Simulator::SendNotice(uint16_t station, int classes) {
    return impl_->Post({Unasked::Notice, station, classes, {}});
}

bool Simulator::SendLinkReset(uint16_t station) {
    return impl_->Post({Unasked::LinkReset, station, -1, {}});
}

void Simulator::SendMessage(const std::vector<uint8_t>& message) {
    // The length byte rules; a short message is padded with zeros.
    std::vector<uint8_t> bytes = message.empty() ? std::vector<uint8_t>(1, 0) : message;
    bytes.resize(size_t(bytes[0]) + 1, 0);
    impl_->Post({Unasked::Message, 0, -1, bytes});
}

void Simulator::SendRaw(const std::vector<uint8_t>& bytes) {
    impl_->Post({Unasked::Raw, 0, -1, bytes});
}

void Simulator::Impl::UnaskedWork(std::vector<Transmission>& out) {
    const int64_t now = SteadyMs();
    TickUnits(now);
    // Units speak unasked only on a quiet line: nothing half received, and
    // nothing on the line for the idle gap.
    if (rx.Held() > 0 || now - std::max(lastRxMs, lastTxMs) < options.idleGapMs) return;
    // One frame per quiet spell: what commands asked for first.
    Transmission tx;
    if (!outbox.empty() ? TakeOutbox(now, &tx) : NextNotice(now, &tx)) out.push_back(tx);
}

// The plant's steps, and units in exception mode that come to want the time.
void Simulator::Impl::TickUnits(int64_t now) {
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
}

namespace {

void MarkNoticeSent(Station& station, uint8_t classes, int64_t now) {
    station.noticeOutstanding = true;
    station.noticeClass = classes;
    station.noticeSentAt = now;
}

}  // namespace

// The first item of the outbox into *tx; false when it has nothing to send
// (its station has gone).
bool Simulator::Impl::TakeOutbox(int64_t now, Transmission* tx) {
    const Unasked item = outbox.front();
    outbox.pop_front();
    Station* station = Find(item.station);
    if (!station && (item.kind == Unasked::Notice || item.kind == Unasked::LinkReset)) return false;
    switch (item.kind) {
    case Unasked::Notice: {
        const uint8_t classes = item.classes >= 0 ? uint8_t(item.classes) : station->WaitingClasses();
        MarkNoticeSent(*station, classes, now);
        ++stats.noticesSent;
        *tx = {FrameOf(NoticeMessage(station->Number(), station->Host(), classes)), 0, "notice by command"};
        return true;
    }
    case Unasked::LinkReset:
        ++stats.linkResetsSent;
        *tx = {FrameOf(LinkResetMessage(station->Number(), station->Host())), 0, "link reset by command"};
        return true;
    case Unasked::Message:
        ++stats.framesSentUnasked;
        *tx = {FrameOf(item.bytes), 0, "sent by command"};
        return true;
    case Unasked::Raw:
        ++stats.framesSentUnasked;
        *tx = {item.bytes, 0, "raw bytes by command"};
        return true;
    }
    return false;
}

// The next exception notice into *tx: a unit whose events wait and whose
// notice gap has passed, or whose notice went unacknowledged for the retry
// time. false when none is due.
bool Simulator::Impl::NextNotice(int64_t now, Transmission* tx) {
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
            tx->note = "notice again: not acknowledged";
        } else {
            if (classes == 0 || now < station.nextNoticeAt) continue;
            ++stats.noticesSent;
            tx->note = "notice";
        }
        MarkNoticeSent(station, classes, now);
        if (faults.NoiseBeforeNotice()) {
            tx->bytes = StrayBytes(faults.Random());
            tx->note += " behind stray bytes";
            ++stats.noisyNotices;
        }
        const std::vector<uint8_t> frame = FrameOf(NoticeMessage(station.Number(), station.Host(), classes));
        tx->bytes.insert(tx->bytes.end(), frame.begin(), frame.end());
        return true;
    }
    return false;
}

}  // namespace kivsim
