// The simulator's statistics: taken, reset, and printed as `stats` prints them.
#include <sstream>

#include "tools/kivsim/simulator_impl.h"

namespace kivsim {

Stats Simulator::GetStats() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Stats stats = impl_->stats;
    for (auto& entry : impl_->stations) stats.eventsLost += entry.second->EventsLost();
    return stats;
}

void Simulator::ResetStats() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->stats = Stats();
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
    out << "; notices behind stray bytes " << s.noisyNotices << "\n";
    return out.str();
}

}  // namespace kivsim
