// Radio keying: RTS keys the transmitter around each frame, and the
// carrier-detect line tells when the channel is clear and when a unit answers.
#include "serial/radio.h"

#include "base/channel_block.h"
#include "base/log.h"
#include "base/timed_wait.h"
#include "host/tavrik.h"
#include "serial/port.h"

namespace {

// Failed modem status queries of this thread's transmission or reception so
// far. A port without modem lines fails every poll of a carrier wait, so each
// failure is counted and the count is logged once when the transmission (or
// reception) ends, not once per poll.
// The count is kept in the platform's per-thread values.
int CarrierQueryFailures() { return static_cast<int>(ThreadValue(ThreadValueCarrierFailures)); }

// Logs the failed queries counted since the last report, if any, and starts
// counting afresh: the plain message for one failure, with the count for more.
void ReportCarrierQueryFailures() {
    const int failures = CarrierQueryFailures();
    SetThreadValue(ThreadValueCarrierFailures, 0);
    if (failures == 1) DriverLog(kLogFault, "KivIN : Fail to get CD state");
    if (failures > 1) DriverLog(kLogFault, "KivIN : Fail to get CD state (%d times)", failures);
}

// Sleeps a keying pause. A time of 0 gives no pause at all; a negative time
// from the configuration file is taken as 0 rather than as a wait of weeks.
void Pause(int32_t milliseconds) {
    if (milliseconds > 0) Sleep(static_cast<DWORD>(milliseconds));
}

// Polls the carrier until it reads as wanted. 1 when it did, 0 once limitMs
// have passed; no sleep follows a poll that found it.
int WaitForCarrier(HANDLE handle, bool wanted, DWORD limitMs) {
    return WaitWithin(limitMs, [handle, wanted] { return (CarrierDetected(handle) != 0) == wanted; }) ? 1 : 0;
}

}  // namespace

// Non-zero when the modem status shows a carrier. A failed status query is
// counted (logged when the transmission or reception ends) and reported as no
// carrier: a port without modem lines then still sends at once instead of
// waiting out the clear-channel limit on every frame.
int CarrierDetected(HANDLE handle) {
    DWORD status = 0;
    if (!GetCommModemStatus(handle, &status)) {
        PortNoteFailure(handle);
        SetThreadValue(ThreadValueCarrierFailures, static_cast<uintptr_t>(CarrierQueryFailures() + 1));
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

// One query at the opening, not a failure per carrier poll: the line tells
// the reason once instead of leaving it to the carrier waits' counts.
int RadioCheckModemLines(HANDLE handle, const char* portName) {
    if (!RadioKeyingOn()) return 1;
    DWORD status = 0;
    if (GetCommModemStatus(handle, &status)) return 1;
    const DWORD error = GetLastError();
    DriverLog(kLogFault, "KivIN : Port %s cannot key a radio or read a carrier: no modem lines (system error %lu)",
              portName, static_cast<unsigned long>(error));
    return 0;
}

// 1 as soon as no carrier is heard; 0 (logged) after 4 s of busy polls.
// Nothing is written and RTS is left alone either way.
int RadioWaitClearToSend(HANDLE handle) {
    if (WaitForCarrier(handle, false, kRadioClearToSendMs)) return 1;
    ReportCarrierQueryFailures();  // the transmission ends here
    DriverLog(kLogFault, "KivIN : Carrier Detect high > 4 sec while TX");
    return 0;
}

// RTS up, ON time, write, OFF time, RTS down, DELAY time. The key always
// drops, write error or not. Returns PortWrite's result (0, 2 or 7).
int RadioKeyedWrite(HANDLE handle, const uint8_t* frame, uint32_t size, uint32_t* written) {
    const ChannelBlock* block = CurrentChannel();
    RtsOn(handle);
    Pause(block->radioOnTime);
    const int result = PortWrite(handle, frame, size, written);
    Pause(block->radioOffTime);
    RtsOff(handle);
    Pause(block->radioDelayTime);
    // A failed write ends the transmission without the answering-carrier wait.
    if (result != PortOk) ReportCarrierQueryFailures();
    return result;
}

// 1 as soon as the unit's carrier is heard; 0 (logged) after 2 s of polls.
int RadioWaitAnswerCarrier(HANDLE handle) {
    const int heard = WaitForCarrier(handle, true, kRadioAnswerCarrierMs);
    ReportCarrierQueryFailures();
    if (heard) return 1;
    DriverLog(kLogFault, "KivIN : No Carrier Detected 2 sec after TX");
    return 0;
}

// 1 as soon as the sender's carrier has dropped; 0 (logged) after 4 s of
// busy polls, and then nothing is read.
int RadioWaitCarrierDrop(HANDLE handle) {
    const int dropped = WaitForCarrier(handle, false, kRadioCarrierDropMs);
    ReportCarrierQueryFailures();
    if (dropped) return 1;
    DriverLog(kLogFault, "KivIN : Carrier remained high > 4 sec before RX");
    return 0;
}
