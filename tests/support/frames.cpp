// Frames for tests, made by the driver's own link code.
#include "tests/support/frames.h"

#include "link/frame_codec.h"

Bytes FrameOf(const Bytes& message) {
    uint8_t padded[kMessageBufferSize] = {};
    size_t size = message.size() < sizeof padded ? message.size() : sizeof padded;
    for (size_t i = 0; i < size; ++i) padded[i] = message[i];
    uint8_t frame[kFrameBufferSize] = {};
    uint16_t length = EncodeFrameWith(FrameCrcTable(), padded, frame);
    return Bytes(frame, frame + length);
}
