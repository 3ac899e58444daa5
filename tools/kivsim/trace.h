// Frames as people read them: hex bytes and the decoded link header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kivsim {

// "05 64 07 C0 ..." (upper-case hex, one space between bytes).
std::string HexBytes(const uint8_t* bytes, size_t count);
// The header and a short summary of the payload of a message (length byte
// first): "DIR=1 PRM=1 FCB=0 FCV=0 fn=0 dst=5 src=0 set=0 op=0 link reset".
std::string DescribeMessage(const uint8_t* message);
// The same for bytes on the line: the header when they start like a frame
// and hold at least the header, with a note when a CRC does not match.
std::string DescribeLineBytes(const uint16_t crcTable[256], const uint8_t* bytes, size_t count);
// Local wall-clock time with microseconds: "14:05:09.250123".
std::string TraceClock();

}  // namespace kivsim
