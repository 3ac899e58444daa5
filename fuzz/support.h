// What the fuzz targets of the driver's core share: a channel on a fresh
// fake port (virtual time: sleeps and read time-outs cost nothing), and
// a scripted unit that answers every frame the driver writes with the next
// answer decoded from the input.
#pragma once

#include <cstdint>

#include "base/channel_block.h"
#include "fuzz/basics.h"

namespace fuzzing {

// The fuzz targets' channel: a zero-filled block, made current, on a fresh
// fake port (read time-out 1000 ms of virtual time), with its CRC table and
// the given host address. Resets the fake platform and the runtime stand-in
// (log off, no gates); with gates, then defines those of DefineSomeGates.
ChannelBlock* StartChannel(uint16_t hostAddress, bool gates = false);

// The frame of a message (length byte first) with its CRCs.
Bytes FrameOf(const Bytes& message);

// Decodes one answer from the input and queues its bytes on the current fake
// port, arriving from now on. The answer's shape (first byte):
//   bits 0-2: 0 a sound frame of a message taken whole from the input
//               (length byte, then that many bytes);
//             1 a sound answer to the last request: the header mirrors it
//               (function 6 for a request that asks for data, else 0), the
//               length and the payload come from the input;
//             2 raw bytes (count, then the bytes);
//             3 like 1 with one bit flipped (position from the input);
//             4 like 1 cut short (length from the input);
//             5 nothing at all;
//             6 an exception notice from the station, then like 1;
//             7 like 1 from another station.
//   bits 3-4: arrival: 0 at once; 1 in two parts 50 ms apart; 2 400 ms late
//             (within the read time-out); 3 1500 ms late (after it).
void QueueAnswer(Input& input);
// From now on every write of the driver is answered by QueueAnswer.
void AnswerEveryWrite(Input& input);

// Gates of the runtime stand-in on channel index 0 (channel number 1):
// registers 0..15 and status points 0..15 of stations 0..3, every third
// one left out so that missing gates are met too.
void DefineSomeGates();

}  // namespace fuzzing
