// The pure frame code: the CRC-16 table, the encoder and the block checker,
// over buffers and a given table, with no port and no channel. The driver,
// the simulator and the tools share it.
#include "link/frame.h"

namespace {

constexpr uint16_t kPolynomial = 0x3D65;
constexpr int kBlockSize = 16;

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

namespace {

// Copies count bytes of a block from `from` to `to` and returns the block's
// CRC as it goes on the line (complemented). The two never overlap, which
// lets the copy and the CRC run as one tight loop.
uint16_t CopyBlock(const uint16_t table[256], const uint8_t* __restrict from, uint8_t* __restrict to, int count) {
    uint16_t crc = 0;
    for (int i = 0; i < count; ++i) {
        const uint8_t byte = from[i];
        crc = CrcStep(table, crc, byte);
        to[i] = byte;
    }
    return static_cast<uint16_t>(~crc);
}

// Bytes of the next block: 16, or what is left of the message.
int BlockLength(int done, int total) {
    return total - done < kBlockSize ? total - done : kBlockSize;
}

}  // namespace

// Writes 05 64, then the message (length byte first) in blocks of 16 bytes,
// each followed by its complemented CRC high byte first. Returns the frame
// size, L + 2*(L/16) + 5; out must hold that many bytes.
uint16_t EncodeFrameWith(const uint16_t table[256], const uint8_t* message, uint8_t* out) {
    const int total = message[0] + 1;  // the length byte counts itself out
    uint8_t* at = out;
    *at++ = kFrameStartHi;
    *at++ = kFrameStartLo;
    for (int done = 0; done < total;) {
        const int count = BlockLength(done, total);
        const uint16_t crc = CopyBlock(table, message + done, at, count);
        done += count;
        at += count;
        *at++ = static_cast<uint8_t>(crc >> 8);
        *at++ = static_cast<uint8_t>(crc & 0xFF);
    }
    return FrameSizeFor(message[0]);
}

// Checks a whole frame, FrameSizeFor(frame[2]) bytes from its start bytes on
// (which it does not look at): walks the L+1 message bytes in the encoder's
// blocks, copying each into message (256 bytes) and comparing each block's
// CRC. Returns 1 when every CRC matches, 0 at the first mismatch (message
// then holds a partial copy).
int CheckFrameBlocks(const uint16_t table[256], const uint8_t* frame, uint8_t* message) {
    const uint8_t* in = frame + 2;
    const int total = in[0] + 1;
    for (int done = 0; done < total;) {
        const int count = BlockLength(done, total);
        const uint16_t crc = CopyBlock(table, in, message + done, count);
        done += count;
        in += count;
        if (in[0] != (crc >> 8) || in[1] != (crc & 0xFF)) return 0;
        in += 2;
    }
    return 1;
}

// A lone start byte at the end may still be followed by the second one.
uint32_t FrameStartCandidate(const uint8_t* bytes, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        if (bytes[i] != kFrameStartHi) continue;
        if (i + 1 == count || bytes[i + 1] == kFrameStartLo) return i;
    }
    return count;
}
