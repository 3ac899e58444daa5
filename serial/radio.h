// Radio keying by RTS and supervision of the carrier-detect line, used
// around every transmission and before every reception when the channel's
// radio keying is on.
#pragma once

#include "base/channel_block.h"
#include "platform/platform.h"

// How long each carrier wait lasts at most, looking every 1 ms: for a clear
// channel before sending, for the unit's answering carrier, and for the
// carrier to drop before a reception.
constexpr DWORD kRadioClearToSendMs = 4000;
constexpr DWORD kRadioAnswerCarrierMs = 2000;
constexpr DWORD kRadioCarrierDropMs = 4000;

// Non-zero when the modem status shows a received carrier.
int CarrierDetected(HANDLE handle);
void RtsOn(HANDLE handle);
void RtsOff(HANDLE handle);

// True when the current channel keys a radio: only a flag of exactly 1;
// any other value is a plain wire.
inline bool RadioKeyingOn() { return CurrentChannel()->radioEnabled == 1; }

// When a channel that keys a radio has opened a port: asks the port's modem
// status once. A port without modem lines (a pseudo-terminal, a USB adapter
// that does not wire them) fails the query, and then one line in the log
// says that radio keying cannot work on it; the channel runs on as before.
// Only the status is read: nothing on the line or its control lines changes.
// 1 when the status could be read or radio keying is off, else 0.
int RadioCheckModemLines(HANDLE handle, const char* portName);

// Before a transmission: waits for a clear channel. 1 when clear, 0 after
// the carrier stayed up through 4000 polls (logged).
int RadioWaitClearToSend(HANDLE handle);
// Keys up, waits the ON time, writes the frame, waits the OFF time, keys
// down and waits the DELAY time. Returns the port layer's write result.
int RadioKeyedWrite(HANDLE handle, const uint8_t* frame, uint32_t size, uint32_t* written);
// After a transmission: 1 when the answering carrier came up within 2000
// polls, else 0 (logged).
int RadioWaitAnswerCarrier(HANDLE handle);
// Before a reception: 1 when the carrier dropped within 4000 polls, else 0
// (logged).
int RadioWaitCarrierDrop(HANDLE handle);
