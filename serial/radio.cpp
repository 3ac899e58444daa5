// Radio keying: RTS keys the transmitter around each frame, and the
// carrier-detect line tells when the channel is clear and when a unit answers.
#include "serial/radio.h"

#include "driver/channel_block.h"
#include "driver/log_holding.h"
#include "host/tavrik.h"
#include "serial/port.h"

namespace {

constexpr int kClearToSendPolls = 4000;   // nominally 4 s of 1 ms sleeps
constexpr int kAnswerCarrierPolls = 2000; // nominally 2 s
constexpr int kCarrierDropPolls = 4000;   // nominally 4 s

// Sleeps a keying pause. A time of 0 gives no pause at all; a negative time
// from the configuration file is taken as 0 rather than as a wait of weeks.
void Pause(int32_t milliseconds) {
    if (milliseconds > 0) Sleep(static_cast<DWORD>(milliseconds));
}

// Polls the carrier until it reads as wanted. 1 when it did, 0 after the
// given number of 1 ms sleeps; no sleep follows a poll that found it.
int WaitForCarrier(HANDLE handle, bool wanted, int polls) {
    for (int slept = 0; slept < polls; ++slept) {
        if ((CarrierDetected(handle) != 0) == wanted) return 1;
        Sleep(1);
    }
    return 0;
}

}  // namespace

// Non-zero when the modem status shows a carrier. A failed status query is
// logged and reported as no carrier: a port without modem lines then still
// sends at once instead of waiting out the clear-channel limit on every frame.
int CarrierDetected(HANDLE handle) {
    DWORD status = 0;
    if (!GetCommModemStatus(handle, &status)) {
        DriverLog(kLogFault, "KivIN : Fail to get CD state");
        return 0;
    }
    return (status & MS_RLSD_ON) != 0;
}

// Keys the transmitter; a failure is logged and the caller goes on.
void RtsOn(HANDLE handle) {
    if (!EscapeCommFunction(handle, SETRTS)) DriverLog(kLogFault, " KivIN: Fail to set RTS to on");
}

// Unkeys the transmitter; a failure is logged and the caller goes on.
void RtsOff(HANDLE handle) {
    if (!EscapeCommFunction(handle, CLRRTS)) DriverLog(kLogFault, " KivIN: Fail to set RTS to off");
}

// True only for a radio flag of exactly 1; any other value is a plain wire.
bool RadioKeyingOn() { return CurrentChannel->radioEnabled == 1; }

// 1 as soon as no carrier is heard; 0 (logged) after 4000 busy polls.
// Nothing is written and RTS is left alone either way.
int RadioWaitClearToSend(HANDLE handle) {
    if (WaitForCarrier(handle, false, kClearToSendPolls)) return 1;
    DriverLog(kLogFault, "KivIN : Carrier Detect high > 4 sec while TX");
    return 0;
}

// RTS up, ON time, write, OFF time, RTS down, DELAY time. The key always
// drops, write error or not. Returns PortWrite's result (0, 2 or 7).
int RadioKeyedWrite(HANDLE handle, const uint8_t* frame, uint32_t size, uint32_t* written) {
    const ChannelBlock* block = CurrentChannel;
    RtsOn(handle);
    Pause(block->radioOnTime);
    const int result = PortWrite(handle, frame, size, written);
    Pause(block->radioOffTime);
    RtsOff(handle);
    Pause(block->radioDelayTime);
    return result;
}

// 1 as soon as the unit's carrier is heard; 0 (logged) after 2000 polls.
int RadioWaitAnswerCarrier(HANDLE handle) {
    if (WaitForCarrier(handle, true, kAnswerCarrierPolls)) return 1;
    DriverLog(kLogFault, "KivIN : No Carrier Detected 2 sec after TX");
    return 0;
}

// 1 as soon as the sender's carrier has dropped; 0 (logged) after 4000 busy
// polls, and then nothing is read.
int RadioWaitCarrierDrop(HANDLE handle) {
    if (WaitForCarrier(handle, false, kCarrierDropPolls)) return 1;
    DriverLog(kLogFault, "KivIN : Carrier remained high > 4 sec before RX");
    return 0;
}
