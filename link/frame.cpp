// TDE frames on the current channel: its CRC table, and the send and
// receive paths, which add the port and the radio keying to the pure frame
// code of frame_codec.cpp.
#include "link/frame.h"

#include "driver/channel_block.h"
#include "host/tavrik.h"
#include "serial/port.h"
#include "serial/radio.h"

namespace {

HANDLE CurrentPort() { return FieldToHandle(PortHandleOf(CurrentChannel)); }

}  // namespace

// Fills the current channel's CRC table.
void CrcInit() { CrcBuildTable(CurrentChannel->crcTable); }

// One byte through the current channel's table; returns the new CRC.
uint16_t CrcUpdate(uint16_t crc, uint8_t byte) { return CrcStep(CurrentChannel->crcTable, crc, byte); }

// The frame of message with the current channel's table; returns its size.
uint16_t EncodeFrame(const uint8_t* message, uint8_t* out) {
    return EncodeFrameWith(CurrentChannel->crcTable, message, out);
}

// Encodes message and transmits it; returns what TransmitFrame returns.
int SendFrame(const uint8_t* message) {
    uint8_t frame[kFrameBufferSize];
    const uint16_t size = EncodeFrame(message, frame);
    return TransmitFrame(frame, size);
}

// Purges pending input, then writes the frame: with radio keying around a
// clear-channel wait, keyed write and answering-carrier wait, else plainly.
// Returns 1 when the whole frame went out (and with radio keying the unit's
// carrier came up in time), else 0.
int TransmitFrame(const uint8_t* frame, uint16_t size) {
    const HANDLE port = CurrentPort();
    PortPurgeInput(port);
    uint32_t written = 0;
    if (RadioKeyingOn()) {
        if (!RadioWaitClearToSend(port)) return 0;
        const int result = RadioKeyedWrite(port, frame, size, &written);
        if (result != PortOk || written != size) return 0;
        return RadioWaitAnswerCarrier(port);
    }
    const int result = PortWrite(port, frame, size, &written);
    return result == PortOk && written == size ? 1 : 0;
}

// Reads one frame into a buffer of its own and, when it is sound, leaves the
// message (length byte first) in message (256 bytes). Returns 1 or 0 (logged).
int ReceiveFrame(uint8_t* message) {
    if (RadioKeyingOn() && !RadioWaitCarrierDrop(CurrentPort())) return 0;
    uint8_t frame[kFrameBufferSize];
    if (!ReadExact(frame, 3)) return 0;
    if (frame[0] != kFrameStartHi) {
        err(kLogFault, "KivIN : RX Failed on Header HI");
        return 0;
    }
    if (frame[1] != kFrameStartLo) {
        err(kLogFault, "KivIN : RX Failed on Header LO");
        return 0;
    }
    const uint8_t length = frame[2];
    if (!ReadExact(frame + 3, FrameSizeFor(length) - 3u)) return 0;
    // Head read and checked, rest read by the length byte; now check block by block.
    if (!CheckFrameBlocks(CurrentChannel->crcTable, frame, message)) {
        err(kLogFault, "KivIN : RX Failed on CRC Check");
        return 0;
    }
    return 1;
}

// Reads exactly count bytes from the current channel's port. Returns 1 when
// all arrived, else logs and returns 0.
int ReadExact(uint8_t* buffer, uint32_t count) {
    uint32_t total = 0;
    const int result = PortReadExact(CurrentPort(), buffer, count, &total);
    if (result != PortOk || total != count) {
        err(kLogFault, "KivIN : Invalid message received");
        return 0;
    }
    return 1;
}
