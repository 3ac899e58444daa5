// Fuzz target: the listener's handling of one unsolicited frame, the line's
// bytes and the answers to the fetches a notice starts all taken from the
// input. Replies go only to frames addressed to us; the frame-count toggle
// changes only by a notice.
#include <cstring>

#include "exception/listener.h"
#include "fuzz/support.h"
#include "link/exchange.h"
#include "tests/support/fake_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::Input input(data, size);
    ChannelBlock* block = fuzzing::StartChannel(input.Byte() & 3, true);
    // The unsolicited frame (or whatever the line holds), then the answers.
    fuzzing::QueueAnswer(input);
    fuzzing::AnswerEveryWrite(input);
    const size_t pending = fake::PendingInput();
    HandleUnsolicitedFrame(block);
    fuzzing::Check(CurrentChannel() == block, "the handler works on its own block");
    if (pending == 0) fuzzing::Check(fake::Writes().empty(), "an empty line is never answered");
    return 0;
}
