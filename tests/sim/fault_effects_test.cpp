// What each fault puts on the line for an answer, over many draws: the host
// gets the answer sound only when the fault lets it, and a fault changes
// what it names and nothing else.
#include <gtest/gtest.h>

#include <algorithm>
#include <bitset>
#include <functional>
#include <string>
#include <vector>

#include "link/frame_codec.h"
#include "tools/kivsim/fault_effects.h"
#include "tools/kivsim/station.h"

namespace {

using kivsim::FaultKind;
using kivsim::Transmission;
using Bytes = std::vector<uint8_t>;
using Sends = std::vector<Transmission>;

// The message of a whole, sound frame; empty otherwise.
Bytes Decode(const Bytes& frame) {
    uint8_t m[kMessageBufferSize];
    const bool whole = frame.size() >= 5 && frame.size() == FrameSizeFor(frame[2]);
    if (!whole || !CheckFrameBlocks(FrameCrcTable(), frame.data(), m)) return {};
    return Bytes(m, m + m[0] + 1);
}

int BitsDiffering(const Bytes& a, const Bytes& b) {
    int bits = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) bits += int(std::bitset<8>(a[i] ^ b[i]).count());
    return bits;
}

TEST(FaultEffects, EachFaultChangesWhatItNamesAndNothingElse) {
    // A fetch answer of six register changes from station 12 to host 3:
    // 44 bytes after the length, so three CRC blocks.
    Bytes message(45, 0);
    PutHeader(message.data(), 44, uint8_t(DirectionFor(3, 12) | FunctionAnswerData), 3, 12, 1, OpcodeRegisterChanges);
    for (size_t i = 9; i < message.size(); ++i) message[i] = uint8_t(i * 7);
    const kivsim::Answer answer{message, 12, 3, kivsim::ClassChanges, 700};
    const Bytes frame = kivsim::FrameOf(message);
    const Bytes notice = kivsim::FrameOf(kivsim::NoticeMessage(12, 3, kivsim::ClassChanges));
    auto whole = [&](const Transmission& tx, int64_t delayUs) {
        EXPECT_EQ(tx.bytes, frame);
        EXPECT_EQ(tx.delayUs, delayUs);
    };
    // The answer decoded with one byte (at, value) expected different.
    auto alteredAt = [&](size_t at, uint8_t value) {
        return [&, at, value](const Sends& out) {
            Bytes expected = message;
            expected[at] = value;
            EXPECT_EQ(Decode(out[0].bytes), expected);
        };
    };
    struct Case {
        int fault;
        size_t sends;
        bool intact;
        std::function<void(const Sends&)> check;
    };
    const Case cases[] = {
        {-1, 1, true, [&](const Sends& out) { whole(out[0], 700); }},
        {int(FaultKind::Drop), 1, false, [&](const Sends& out) { EXPECT_TRUE(out[0].bytes.empty()); }},
        {int(FaultKind::Crc), 1, false,
         [&](const Sends& out) {
             EXPECT_EQ(out[0].bytes.size(), frame.size());
             EXPECT_EQ(BitsDiffering(out[0].bytes, frame), 1);
             EXPECT_TRUE(Decode(out[0].bytes).empty());
         }},
        {int(FaultKind::Delay), 1, true, [&](const Sends& out) { whole(out[0], 700 + 1500000); }},
        {int(FaultKind::WrongSource), 1, false, alteredAt(HeaderSource + 1, 13)},
        {int(FaultKind::WrongDestination), 1, false, alteredAt(HeaderDestination + 1, 4)},
        {int(FaultKind::Notice), 2, false,
         [&](const Sends& out) {
             EXPECT_EQ(out[0].bytes, notice);
             EXPECT_TRUE(out[1].bytes.empty());
         }},
        {int(FaultKind::NoticeFirst), 2, true,
         [&](const Sends& out) {
             EXPECT_EQ(out[0].bytes, notice);
             whole(out[1], 0);
         }},
        {int(FaultKind::Garbage), 1, false,
         [&](const Sends& out) {
             EXPECT_TRUE(out[0].bytes.size() >= 1 && out[0].bytes.size() <= 24);
             EXPECT_NE(out[0].bytes[0], 0x05);
         }},
        {int(FaultKind::Truncate), 1, false,
         [&](const Sends& out) {
             EXPECT_LT(out[0].bytes.size(), frame.size());
             EXPECT_TRUE(std::equal(out[0].bytes.begin(), out[0].bytes.end(), frame.begin()));
         }},
        {int(FaultKind::MoreStuck), 1, true, alteredAt(8, 1)},
        {int(FaultKind::Late), 1, true, [&](const Sends& out) { whole(out[0], 700 + 500000); }},
        {int(FaultKind::Repeat), 2, true,
         [&](const Sends& out) {
             whole(out[0], 700);
             whole(out[1], 15000);
         }},
        {int(FaultKind::Split), 2, true,
         [&](const Sends& out) {
             EXPECT_FALSE(out[0].bytes.empty() || out[1].bytes.empty());
             Bytes joined = out[0].bytes;
             joined.insert(joined.end(), out[1].bytes.begin(), out[1].bytes.end());
             EXPECT_EQ(joined, frame);
             EXPECT_EQ(out[1].delayUs, 200000);
         }},
        {int(FaultKind::Noise), 1, true,
         [&](const Sends& out) {
             const size_t stray = out[0].bytes.size() - frame.size();
             EXPECT_TRUE(stray >= 1 && stray <= 8);
             EXPECT_EQ(Bytes(out[0].bytes.begin() + long(stray), out[0].bytes.end()), frame);
             EXPECT_EQ(std::count(out[0].bytes.begin(), out[0].bytes.begin() + long(stray), 0x05), 0);
         }},
    };
    for (const Case& c : cases) {
        for (uint64_t seed = 1; seed <= 64; ++seed) {
            SCOPED_TRACE("fault " + std::to_string(c.fault) + " seed " + std::to_string(seed));
            kivsim::Rng rng(seed);
            const kivsim::FaultEffect effect = kivsim::ApplyFault(answer, c.fault, rng, {1500, 500, 15, 200});
            ASSERT_EQ(effect.out.size(), c.sends);
            EXPECT_EQ(effect.intact, c.intact);
            c.check(effect.out);
        }
    }
}

}  // namespace
