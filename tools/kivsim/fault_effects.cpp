// The faults' effects on an answer: which bytes go out, when, and whether
// the host gets the answer whole.
#include "tools/kivsim/fault_effects.h"

#include <algorithm>
#include <iterator>

#include "link/frame_codec.h"
#include "tools/kivsim/station.h"

namespace kivsim {

namespace {

// Flips one bit of one block's CRC in frame, the frame of a message of
// length L.
void FlipCrcBit(uint8_t length, Rng& rng, std::vector<uint8_t>& frame) {
    const size_t blocks = length / 16 + 1;
    const size_t block = rng.Below(uint32_t(blocks));
    const size_t crcAt = block + 1 < blocks ? 2 + 16 * (block + 1) + 2 * block : frame.size() - 2;
    frame[crcAt + rng.Below(2)] ^= uint8_t(1u << rng.Below(8));
}

// The answer with one field wrong: its source, its destination or its
// more flag.
std::vector<uint8_t> Altered(const Answer& answer, FaultKind kind) {
    std::vector<uint8_t> m = answer.message;
    if (kind == FaultKind::WrongSource) {
        PutHigh16(&m[HeaderSource], uint16_t(answer.station + 1));
    } else if (kind == FaultKind::WrongDestination) {
        PutHigh16(&m[HeaderDestination], uint16_t(MessageDestination(m.data()) + 1));
    } else {
        m[8] = 1;
    }
    return m;
}

// One to most random bytes: none of them the start byte when every is
// set, else only the first not.
std::vector<uint8_t> RandomBytes(Rng& rng, uint32_t most, bool every) {
    std::vector<uint8_t> bytes(1 + rng.Below(most));
    for (uint8_t& byte : bytes) {
        byte = uint8_t(rng.Next());
        if (byte == 0x05 && (every || &byte == &bytes[0])) byte = 0x06;
    }
    return bytes;
}

// A notice to the host before tx: in its place (notice) or ahead of it
// (notice-first, then the answer at once).
void PutNoticeFirst(const Answer& answer, bool inPlace, Transmission& tx, FaultEffect& effect) {
    const uint8_t classes = answer.waitingClasses ? answer.waitingClasses : uint8_t(ClassStatus);
    effect.out.push_back({FrameOf(NoticeMessage(answer.station, answer.host, classes)), tx.delayUs, tx.note});
    if (inPlace) {
        tx.bytes.clear();
        tx.note += ": in place of the answer";
    } else {
        tx.delayUs = 0;
    }
}

// The answer cut in two, the rest after the split gap: whole, only slow,
// so that a read that outlasts the pause takes it.
void Split(Rng& rng, int gapMs, Transmission& tx, FaultEffect& effect) {
    const size_t cut = 1 + rng.Below(uint32_t(tx.bytes.size() - 1));
    effect.out.push_back({std::vector<uint8_t>(tx.bytes.begin(), tx.bytes.begin() + long(cut)), tx.delayUs,
                          tx.note + ": first part"});
    tx.bytes.erase(tx.bytes.begin(), tx.bytes.begin() + long(cut));
    tx.delayUs = int64_t(gapMs) * 1000;
    tx.note += ": rest";
}

// The faults after which the host no longer gets the answer whole and sound.
const FaultKind kSpoiling[] = {FaultKind::Drop, FaultKind::Crc, FaultKind::WrongSource, FaultKind::WrongDestination,
                               FaultKind::Notice, FaultKind::Garbage, FaultKind::Truncate};

}  // namespace

FaultEffect ApplyFault(const Answer& answer, int fault, Rng& rng, const FaultTimes& times) {
    FaultEffect effect;
    Transmission tx{FrameOf(answer.message), answer.delayUs, ""};
    const FaultKind kind = FaultKind(fault);
    if (fault >= 0) tx.note = std::string("fault ") + FaultName(kind);
    switch (fault < 0 ? -1 : fault) {
    case int(FaultKind::Drop):
        tx.bytes.clear();
        tx.note += ": no answer";
        break;
    case int(FaultKind::Crc): FlipCrcBit(answer.message[0], rng, tx.bytes); break;
    case int(FaultKind::Delay): tx.delayUs += int64_t(times.delayMs) * 1000; break;
    case int(FaultKind::WrongSource):
    case int(FaultKind::WrongDestination):
    case int(FaultKind::MoreStuck): tx.bytes = FrameOf(Altered(answer, kind)); break;
    case int(FaultKind::Notice):
    case int(FaultKind::NoticeFirst): PutNoticeFirst(answer, kind == FaultKind::Notice, tx, effect); break;
    case int(FaultKind::Garbage): tx.bytes = RandomBytes(rng, 24, false); break;
    case int(FaultKind::Truncate): tx.bytes.resize(1 + rng.Below(uint32_t(tx.bytes.size() - 1))); break;
    case int(FaultKind::Late): tx.delayUs += int64_t(times.lateMs) * 1000; break;  // a later try may still take it
    case int(FaultKind::Repeat):
        effect.out.push_back(tx);
        tx.delayUs = int64_t(times.repeatGapMs) * 1000;
        tx.note += ": the copy";
        break;
    case int(FaultKind::Split): Split(rng, times.splitGapMs, tx, effect); break;
    case int(FaultKind::Noise): {
        const std::vector<uint8_t> stray = StrayBytes(rng);
        tx.bytes.insert(tx.bytes.begin(), stray.begin(), stray.end());
        break;
    }
    default: break;
    }
    effect.out.push_back(tx);
    effect.intact = std::find(std::begin(kSpoiling), std::end(kSpoiling), kind) == std::end(kSpoiling);
    return effect;
}

std::vector<uint8_t> FrameOf(const std::vector<uint8_t>& message) {
    std::vector<uint8_t> frame(kFrameBufferSize);
    frame.resize(EncodeFrameWith(FrameCrcTable(), message.data(), frame.data()));
    return frame;
}

std::vector<uint8_t> NoticeMessage(uint16_t station, uint16_t host, uint8_t classes) {
    std::vector<uint8_t> m(10, 0);
    PutHeader(m.data(), 9, RequestControl(host, station, 0, FunctionSendData), host, station, 1, OpcodeExceptionNotice);
    m[9] = classes;
    return m;
}

std::vector<uint8_t> LinkResetMessage(uint16_t station, uint16_t host) {
    std::vector<uint8_t> m(8, 0);
    PutHeader(m.data(), kHeaderOnlyLength, uint8_t(DirectionFor(host, station) | ControlPrm), host, station, 0,
              OpcodeLinkReset);
    return m;
}

std::vector<uint8_t> StrayBytes(Rng& rng) {
    return RandomBytes(rng, 8, true);
}

}  // namespace kivsim
