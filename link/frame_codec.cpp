// The pure frame code: the CRC-16 table, the encoder and the block checker,
// over buffers and a given table, with no port and no channel. The driver,
// the simulator and the tools share it.
#include "link/frame_codec.h"

namespace {

constexpr uint16_t kPolynomial = 0x3D65;
constexpr int kBlockSize = 16;

// Entry i of the table: the CRC register after shifting byte i through the
// polynomial from a zero start.
constexpr uint16_t TableEntry(int i) {
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
    return crc;
}

}  // namespace

void CrcBuildTable(uint16_t table[256]) {
    for (int i = 0; i < 256; ++i) table[i] = TableEntry(i);
}

namespace {

// The registers after a byte and then one, two or three zero bytes, from a
// zero start, derived from the polynomial at compile time: with the table
// itself they fold four bytes with four lookups, where one lookup per byte
// otherwise costs a step per byte through the register.
struct CrcFollowers {
    uint16_t after[3][256];
};

struct CrcTable {
    uint16_t entry[256];
};

constexpr CrcTable BuildTable() {
    CrcTable table{};
    for (int i = 0; i < 256; ++i) table.entry[i] = TableEntry(i);
    return table;
}

constexpr CrcTable kTable = BuildTable();

constexpr CrcFollowers BuildFollowers() {
    const CrcTable table = BuildTable();
    const uint16_t* first = table.entry;
    CrcFollowers followers{};
    for (int k = 0; k < 3; ++k) {
        for (int i = 0; i < 256; ++i) {
            const uint16_t before = k == 0 ? first[i] : followers.after[k - 1][i];
            followers.after[k][i] = static_cast<uint16_t>((before << 8) ^ first[before >> 8]);
        }
    }
    return followers;
}

constexpr CrcFollowers kFollowers = BuildFollowers();

// The block's CRC as it goes on the line (complemented), with kCopy copying
// its count bytes from `from` to `to` on the way (the two never overlap, so
// the copy rides along with the CRC's loads). Four bytes a step: the
// register's two bytes fold into the first two, and each byte's lookup says
// what it leaves after the bytes behind it; the one to three left over in one
// step the same way.
template <bool kCopy>
uint16_t FoldBlock(const uint16_t table[256], const uint8_t* __restrict from, uint8_t* __restrict to, int count) {
    uint16_t crc = 0;
    int i = 0;
    for (; i + 4 <= count; i += 4) {
        const uint8_t b0 = from[i], b1 = from[i + 1], b2 = from[i + 2], b3 = from[i + 3];
        if (kCopy) {
            to[i] = b0;
            to[i + 1] = b1;
            to[i + 2] = b2;
            to[i + 3] = b3;
        }
        crc = static_cast<uint16_t>(kFollowers.after[2][(crc >> 8) ^ b0] ^ kFollowers.after[1][(crc & 0xFF) ^ b1] ^
                                    kFollowers.after[0][b2] ^ table[b3]);
    }
    switch (count - i) {
    case 3: {
        const uint8_t b0 = from[i], b1 = from[i + 1], b2 = from[i + 2];
        if (kCopy) {
            to[i] = b0;
            to[i + 1] = b1;
            to[i + 2] = b2;
        }
        crc = static_cast<uint16_t>(kFollowers.after[1][(crc >> 8) ^ b0] ^ kFollowers.after[0][(crc & 0xFF) ^ b1] ^
                                    table[b2]);
        break;
    }
    case 2: {
        const uint8_t b0 = from[i], b1 = from[i + 1];
        if (kCopy) {
            to[i] = b0;
            to[i + 1] = b1;
        }
        crc = static_cast<uint16_t>(kFollowers.after[0][(crc >> 8) ^ b0] ^ table[(crc & 0xFF) ^ b1]);
        break;
    }
    case 1:
        if (kCopy) to[i] = from[i];
        crc = CrcStep(table, crc, from[i]);
        break;
    default: break;
    }
    return static_cast<uint16_t>(~crc);
}

uint16_t CopyBlock(const uint16_t table[256], const uint8_t* from, uint8_t* to, int count) {
    return FoldBlock<true>(table, from, to, count);
}

// Bytes of the next block: 16, or what is left of the message.
int BlockLength(int done, int total) {
    return total - done < kBlockSize ? total - done : kBlockSize;
}

}  // namespace

const uint16_t* FrameCrcTable() { return kTable.entry; }

uint16_t BlockCrc(const uint16_t table[256], const uint8_t* bytes, int count) {
    return FoldBlock<false>(table, bytes, nullptr, count);
}

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
