// TDE frames on the current channel: its CRC table, and the send and
// receive paths, which add the port and the radio keying to the pure frame
// code (link/frame_codec.h).
#include "link/frame_io.h"

#include "base/channel_block.h"
#include "base/log.h"
#include "host/tavrik.h"
#include "link/line_budget.h"
#include "serial/port.h"
#include "serial/radio.h"

namespace {

const char* const kShortRead = "KivIN : Invalid message received";

HANDLE CurrentPort() { return FieldToHandle(PortHandleOf(CurrentChannel())); }

}  // namespace

// Fills the current channel's CRC table.
void CrcInit() { CrcBuildTable(CurrentChannel()->crcTable); }

// One byte through the current channel's table; returns the new CRC.
uint16_t CrcUpdate(uint16_t crc, uint8_t byte) { return CrcStep(CurrentChannel()->crcTable, crc, byte); }

// The frame of message with the current channel's table; returns its size.
uint16_t EncodeFrame(const uint8_t* message, uint8_t* out) {
    return EncodeFrameWith(CurrentChannel()->crcTable, message, out);
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

namespace {

enum HeadFault { HeadSound, HeadWrongHi, HeadWrongLo };

// The refusal of a reception whose first bytes were not the start bytes.
void LogHeadFault(HeadFault fault) {
    DriverLog(kLogFault, fault == HeadWrongHi ? "KivIN : RX Failed on Header HI" : "KivIN : RX Failed on Header LO");
}

// Reads the three head bytes (05 64 L) into frame, hunting for the start
// bytes past stray bytes (a squelch tail, a key-up burst) with the hunt step
// the frame splitter cuts junk with (FrameStartCandidate), while they keep
// coming: at most kMaxHuntBytes of them, and after each skip only while the
// deadline allows. Returns 1 with the head in frame[0..2]. A found frame
// after a hunt is logged once with the count skipped; a hunt that ends in
// silence, at the bound or at the deadline logs what the first wrong byte
// was; silence before any wrong byte logs the short read.
int ReadFrameHead(uint8_t* frame, LineDeadline* deadline) {
    uint32_t have = 0;
    uint32_t skipped = 0;
    HeadFault first = HeadSound;
    for (;;) {
        uint32_t got = 0;
        int result = PortReadExact(CurrentPort(), frame + have, 3 - have, &got, deadline);
        have += got;
        const uint32_t start = FrameStartCandidate(frame, have);
        if (start > 0) {
            if (first == HeadSound) first = frame[0] != kFrameStartHi ? HeadWrongHi : HeadWrongLo;
            skipped += start;
            have -= start;
            for (uint32_t i = 0; i < have; ++i) frame[i] = frame[start + i];
            // Stray bytes: the hunt goes on only within the bound and the deadline.
            if (result == PortOk && (skipped > kMaxHuntBytes || !PortFitReadToDeadline(CurrentPort(), deadline))) {
                deadline->timeUp = 1;
                result = PortTimeUp;
            }
        }
        if (have == 3 && result == PortOk) {
            if (skipped > 0) DriverLog(kLogFault, "KivIN : RX Skipped %u bytes before Header", static_cast<unsigned>(skipped));
            return 1;
        }
        if (result != PortOk) {
            if (first != HeadSound) {
                LogHeadFault(first);
            } else {
                DriverLog(kLogFault, kShortRead);
            }
            return 0;
        }
    }
}

// The steps of a reception (see ReceiveFrame).
int ReceiveFrameBy(uint8_t* message, LineDeadline* deadline) {
    // Only a further frame of the same try looks at the clock before its
    // first read: the first starts well within the try's time.
    if (deadline->frames++ > 0 && !PortFitReadToDeadline(CurrentPort(), deadline)) {
        DriverLog(kLogFault, kShortRead);
        return 0;
    }
    if (RadioKeyingOn() && !RadioWaitCarrierDrop(CurrentPort())) return 0;
    uint8_t frame[kFrameBufferSize];
    if (!ReadFrameHead(frame, deadline)) return 0;
    const uint8_t length = frame[2];
    if (!ReadExact(frame + 3, FrameSizeFor(length) - 3u, deadline)) return 0;
    // Head found and read, rest read by the length byte; now check block by block.
    if (!CheckFrameBlocks(CurrentChannel()->crcTable, frame, message)) {
        DriverLog(kLogFault, "KivIN : RX Failed on CRC Check");
        return 0;
    }
    return 1;
}

}  // namespace

// Reads one frame into a buffer of its own and, when it is sound, leaves the
// message (length byte first) in message (256 bytes). Returns 1 or 0
// (logged). The port's read time-out, if the deadline cut it, is its own
// again afterwards.
int ReceiveFrame(uint8_t* message, LineDeadline* deadline) {
    LineDeadline own;
    if (deadline == nullptr) {
        const ChannelBlock* block = CurrentChannel();
        own = LineDeadlineFromNow(LoneReceptionMs(block), ReadTimeoutMs(block));
        deadline = &own;
    }
    const int received = ReceiveFrameBy(message, deadline);
    if (deadline->shortened) PortRestoreReadTimeout(CurrentPort(), deadline);
    return received;
}

// Reads exactly count bytes from the current channel's port by the
// deadline. Returns 1 when all arrived, else logs and returns 0.
int ReadExact(uint8_t* buffer, uint32_t count, LineDeadline* deadline) {
    uint32_t total = 0;
    const int result = PortReadExact(CurrentPort(), buffer, count, &total, deadline);
    if (result != PortOk || total != count) {
        DriverLog(kLogFault, kShortRead);
        return 0;
    }
    return 1;
}
