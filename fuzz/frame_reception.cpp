// Fuzz target: bytes arriving on the line into ReceiveFrame, in pieces, late,
// over a wire or a keyed radio. A frame it accepts must be exactly the bytes
// it consumed, less any stray bytes before it: encoding the returned message
// gives the frame back.
#include <cstring>

#include "fuzz/support.h"
#include "link/frame_io.h"
#include "tests/support/fake_platform.h"

using fuzzing::Bytes;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::Input input(data, size);
    ChannelBlock* block = fuzzing::StartChannel(0);
    const uint8_t flags = input.Byte();
    // Radio keying with a carrier that is off, on for a while, or stuck on.
    if (flags & 1) {
        block->radioEnabled = 1;
        const uint64_t carrierUntil = (flags & 2) ? ((flags & 4) ? UINT64_MAX : 300) : 0;
        fake::SetCarrier([carrierUntil](uint64_t now) { return now < carrierUntil; });
    }
    // The line's bytes as answers would arrive, in the order they arrive.
    while (!input.Empty()) fuzzing::QueueAnswer(input);

    for (int frames = 0; frames < 16 && fake::PendingInput() > 0; ++frames) {
        const size_t before = fake::PendingInput();
        uint8_t message[kMessageBufferSize];
        std::memset(message, 0xEE, sizeof message);
        if (ReceiveFrame(message)) {
            const size_t consumed = before - fake::PendingInput();
            // Stray bytes ahead of the start bytes are read away by the hunt.
            fuzzing::Check(consumed >= FrameSizeFor(message[0]),
                           "an accepted frame is no longer than what was consumed");
            const Bytes again = fuzzing::FrameOf(Bytes(message, message + message[0] + 1));
            fuzzing::Check(again.size() == FrameSizeFor(message[0]) && again[0] == 0x05 && again[1] == 0x64,
                           "an accepted message encodes back to a frame of the consumed size");
        } else if (before == fake::PendingInput()) {
            break;  // nothing arrived in time and nothing was read
        }
    }
    return 0;
}
