// Watching the channel's port for its device going and coming back.
#include "tools/kivpoll/port_watch.h"

#include <algorithm>

#include "tools/kivpoll/host_log.h"
#include "tools/kivpoll/port_failure.h"
#include "tools/kivpoll/summary.h"

namespace kivpoll {

namespace {

constexpr auto kLookWhileInUse = std::chrono::milliseconds(250);
constexpr auto kLookWhileGone = std::chrono::milliseconds(1000);

}  // namespace

bool PortWatch::PortInUse() {
    const auto now = std::chrono::steady_clock::now();
    if (now < nextLook_) return !gone_;
    nextLook_ = now + (gone_ ? pause_ : kLookWhileInUse);
    if (gone_) pause_ = std::min(pause_ * 2, std::max(longestPause_, kLookWhileGone));
    if (!gone_) {
        KivPortFailureReport report{};
        if (host_.PortFailure(&report) != 1 || report.step != KivPortStepGone) return true;
        gone_ = true;
        pause_ = kLookWhileGone;
        if (report_.gone) report_.gone(report);
        else Said("port " + portName_ + " gone: " + PortFailureReason(report, kivtools::LineSetup{}) +
                  "; kivpoll reopens it when it comes back");
    }
    return Reopened();
}

// One try of ReopenPort; its failure's log lines, one a second while the
// port stays away, are kept to this try.
bool PortWatch::Reopened() {
    {
        LogCapture quiet(true);
        if (host_.Call(CommandReopenPort, nullptr) != 0) return false;
    }
    gone_ = false;
    if (report_.back) report_.back();
    else Said("port " + portName_ + " back: reopened, carrying on");
    return true;
}

}  // namespace kivpoll
