// TDE frames: the CRC-16 table, the encoder and the checker as pure
// functions over buffers, and the send and receive paths of the current
// channel, which add the port and the radio keying.
#include "link/frame.h"

#include "driver/channel_block.h"
#include "host/tavrik.h"
#include "serial/port.h"
#include "serial/radio.h"

namespace {

constexpr uint8_t kStartHi = 0x05;
constexpr uint8_t kStartLo = 0x64;
constexpr uint16_t kPolynomial = 0x3D65;
constexpr int kBlockSize = 16;

HANDLE CurrentPort() { return FieldToHandle(CurrentChannel->portHandle); }

}  // namespace

// Fills table: entry i is the CRC register after shifting byte i through the
// polynomial from a zero start.
void CrcBuildTable(uint16_t table[256]) {
    for (int i = 0; i < 256; ++i) {
        uint16_t crc = 0;
        uint16_t c = static_cast<uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit) {
            if ((crc ^ c) & 0x8000) {
                crc = static_cast<uint16_t>((crc << 1) ^ kPolynomial);
            } else {
                crc = static_cast<uint16_t>(crc << 1);
            }
            c = static_cast<uint16_t>(c << 1);
        }
        table[i] = crc;
    }
}

// Writes 05 64, then the message (length byte first) in blocks of 16 bytes,
// each followed by its complemented CRC high byte first. Returns the frame
// size, L + 2*(L/16) + 5; out must hold that many bytes.
uint16_t EncodeFrameWith(const uint16_t table[256], const uint8_t* message, uint8_t* out) {
    const int total = message[0] + 1;  // the length byte counts itself out
    int at = 0;
    out[at++] = kStartHi;
    out[at++] = kStartLo;
    int done = 0;
    while (done < total) {
        uint16_t crc = 0;
        for (int inBlock = 0; inBlock < kBlockSize && done < total; ++inBlock, ++done) {
            crc = CrcStep(table, crc, message[done]);
            out[at++] = message[done];
        }
        crc = static_cast<uint16_t>(~crc);
        out[at++] = static_cast<uint8_t>(crc >> 8);
        out[at++] = static_cast<uint8_t>(crc & 0xFF);
    }
    return FrameSizeFor(message[0]);
}

// Checks a whole frame whose start bytes are already known good: walks the
// L+1 message bytes in the encoder's blocks, copying each byte into message
// (256 bytes) and comparing each block's CRC. Returns 1 when every CRC
// matches, 0 at the first mismatch (message then holds a partial copy).
// The start bytes themselves are not checked here.
int CheckFrameBlocks(const uint16_t table[256], const uint8_t* frame, uint8_t* message) {
    const uint8_t* in = frame + 2;
    const int total = in[0] + 1;
    int done = 0;
    // Block by block: copy and fold up to 16 bytes, then compare the two CRC bytes.
    while (done < total) {
        uint16_t crc = 0;
        for (int inBlock = 0; inBlock < kBlockSize && done < total; ++inBlock, ++done) {
            crc = CrcStep(table, crc, *in);
            message[done] = *in++;
        }
        crc = static_cast<uint16_t>(~crc);
        if (in[0] != (crc >> 8) || in[1] != (crc & 0xFF)) return 0;
        in += 2;
    }
    return 1;
}

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
    if (frame[0] != kStartHi) {
        err(kLogFault, "KivIN : RX Failed on Header HI");
        return 0;
    }
    if (frame[1] != kStartLo) {
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
