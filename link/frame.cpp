// Placeholder until this module is written.
#include "link/frame.h"

void CrcBuildTable(uint16_t table[256]) { for (int i = 0; i < 256; ++i) table[i] = 0; }
uint16_t EncodeFrameWith(const uint16_t*, const uint8_t*, uint8_t*) { return 0; }
int CheckFrameBlocks(const uint16_t*, const uint8_t*, uint8_t*) { return 0; }
void CrcInit() {}
uint16_t CrcUpdate(uint16_t crc, uint8_t) { return crc; }
uint16_t EncodeFrame(const uint8_t*, uint8_t*) { return 0; }
int SendFrame(const uint8_t*) { return 0; }
int TransmitFrame(const uint8_t*, uint16_t) { return 0; }
int ReceiveFrame(uint8_t*) { return 0; }
int ReadExact(uint8_t*, uint32_t) { return 0; }
