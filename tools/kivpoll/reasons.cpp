// The reasons kivpoll gives for refused requests.
#include "tools/kivpoll/reasons.h"

#include <cstdio>
#include <cstring>

namespace kivpoll {

namespace {

std::string RefusalText(int32_t refusal) {
    const std::string upTo31 = "00 to " + std::to_string(KivBitMax);
    switch (refusal) {
    case AddressValid: return "";
    case AddressNoText: return "no address text";
    case AddressFirstLetter: return "first letter: R (register), S (status point) or ! (events, clock)";
    case AddressStation: return "station: four digits, 0000 to " + std::to_string(KivStationMax);
    case AddressNumber: return "register or point number: four digits, 0000 to " + std::to_string(KivNumberMax);
    case AddressBitDigits: return "bit: two digits, " + upTo31 + " (bits 4 to 9 as 04 to 09)";
    case AddressEventArea: return "the letter after !: S, R, L or T";
    case AddressAfterStation: return "nothing may follow the station of a ! address";
    case AddressStatusBit: return "a status point has no bit";
    case AddressBitMissing: return "bit: a bit gate (kind 6) needs a bit number";
    case AddressBitAbove31: return "bit: " + upTo31;
    case AddressBitNotBitKind: return "bit: a bit number needs gate kind 6 (-k 6)";
    case AddressKind: return "gate kind: a register takes kinds 3 to 6";
    case AddressBlockNotRegister: return "block: only R addresses name a block";
    case AddressBlockTooLong: return "block too long: at most " + std::to_string(KivBlockRegistersMax) + " registers";
    }
    return "refused by the address check";
}

bool StartsWith(const std::string& text, const char* start) { return text.compare(0, std::strlen(start), start) == 0; }

// A radio port's line in the driver's log at Open.
const char kNoModemLines[] = "cannot key a radio or read a carrier";

// The station digits of a gate address ("0012" of R00120300 and of !S0012).
std::string StationOf(const std::string& address) {
    const size_t at = !address.empty() && address[0] == '!' ? 2 : 1;
    return address.size() >= at + 4 ? address.substr(at, 4) : "the address's";
}

#if defined(_WIN32)
const char kOtherProgram[] = "no other program on the port (a terminal program, another poller)";
#else
const char kOtherProgram[] = "no other program on the port (fuser -v on the device names it)";
#endif


}  // namespace

std::string AddressReason(const DriverHost& host, int32_t command, const std::string& text, int32_t kind,
                          int32_t blockLength) {
    return RefusalText(host.Refusal(command, text, kind, blockLength));
}

std::string WriteReason(int32_t count) {
    if (count <= KivWriteRegistersMax) return "";
    return "block too long: a write takes at most " + std::to_string(KivWriteRegistersMax) + " registers";
}

bool PortDidNotOpen(const std::vector<std::string>& log) {
    for (const std::string& line : log)
        if (line.find(" : Fail to open ") != std::string::npos) return true;
    return false;
}

bool IsLineFault(const char* text) {
    for (const char* fault : {"KivIN : Invalid message received", "KivIN : RX Failed", "KivIN : Carrier",
                              "KivIN : No Carrier"})
        if (std::strncmp(text, fault, std::strlen(fault)) == 0) return true;
    return false;
}

std::string RefusedRequestReason(const std::vector<std::string>& log, const std::string& operation) {
    bool lineFaults = false;
    for (const std::string& line : log) {
        if (StartsWith(line, "KivIN : The Report-By-Exception thread is busy"))
            return "busy: the channel's line stayed taken (by the listener or another request) for 4 s";
        if (StartsWith(line, "KivIN : Station ") && line.find("still has more events") != std::string::npos)
            return "the unit still had events after the fetch's passes: fetch again";
        lineFaults = lineFaults || IsLineFault(line.c_str());
    }
    return lineFaults && operation == "clock"
               ? "no sound answer to the link reset before the clock setting"
               : "the unit's answer did not fit the request (length, function or station; a negative answer)";
}

LineHeard HeardOnLine(int32_t result, const std::vector<std::string>& log, const LineSeen& before,
                      const LineSeen& after) {
    if (after.running) {
        if (after.framesFromUnits > before.framesFromUnits) return LineHeard::NotForThisRequest;
        return after.bytesFromUnits > before.bytesFromUnits ? LineHeard::NoSoundFrame : LineHeard::Nothing;
    }
    if (result == 1) return LineHeard::NotForThisRequest;
    for (const std::string& line : log)
        if (StartsWith(line, "KivIN : RX Failed") || StartsWith(line, "KivIN : RX Skipped") ||
            StartsWith(line, "KivIN : Line never fell quiet"))
            return LineHeard::NoSoundFrame;
    return LineHeard::Nothing;
}

std::string AnswerAddresses(const LineSeen& after) {
    if (!after.running || after.framesFromUnits == 0) return "";
    if (after.answerSource == after.requestDestination && after.answerDestination == after.requestSource) return "";
    return "answers from station " + std::to_string(after.answerSource) + " to host address " +
           std::to_string(after.answerDestination) + "; the request went to station " +
           std::to_string(after.requestDestination) + " from host address " + std::to_string(after.requestSource);
}

std::string NoAnswerReason(LineHeard heard, const LineSeen& after) {
    switch (heard) {
    case LineHeard::Nothing: return "nothing came back";
    case LineHeard::NoSoundFrame: return "bytes came back, but no sound frame";
    case LineHeard::NotForThisRequest: break;
    }
    const std::string addresses = AnswerAddresses(after);
    return "answers came back, but not for this request" + (addresses.empty() ? "" : " (" + addresses + ")");
}

std::string Checklist(LineHeard heard, const std::string& address) {
    const std::string station = StationOf(address);
    std::string text;
    auto item = [&text](const char* what, const std::string& check) {
        char name[16];
        std::snprintf(name, sizeof name, "  %-9s ", what);
        text += name + check + "\n";
    };
    switch (heard) {
    case LineHeard::Nothing:
        text = "nothing came back for " + address + "; check:\n";
        item("wiring", "the port's TX to the unit's RX and back, the ground, the unit powered");
        item("baud", "-b, -d, -P, -s as the unit is set: at another speed it does not hear the request");
        item("station", station + " is the unit's own address");
        item("port", std::string(kOtherProgram) + ": it would take the answers");
        item("radio", "on a radio line --radio ON,OFF,DELAY, with an ON time the transmitter needs to come up");
        break;
    case LineHeard::NoSoundFrame:
        text = "bytes came back for " + address + ", but no sound frame; check:\n";
        item("baud", "-b, -d, -P, -s as the unit is set: another speed or framing garbles every answer");
        item("wiring", "noise: the ground, the cable's screen and length, an RS-485 line's termination");
        item("port", std::string(kOtherProgram) + " writing to the line");
        item("radio", "a radio's key-up noise before the answer: the unit's radio times, --radio's ON time");
        break;
    case LineHeard::NotForThisRequest:
        text = "answers came back for " + address + ", but not for this request; check:\n";
        item("host", "-a as the host address the unit answers to");
        item("station", "one unit per station number: another unit with station " + station + ", or a unit set to "
                        "another number, answered");
        item("port", std::string(kOtherProgram) + ", no second master polling the line");
        item("unit", "a negative answer: the unit has no such register or refuses the request");
        break;
    }
    return text + "  (docs/troubleshooting.md tells more)";
}

bool PortCannotKeyRadio(const std::vector<std::string>& log) {
    for (const std::string& line : log)
        if (StartsWith(line, "KivIN : Port ") && line.find(kNoModemLines) != std::string::npos) return true;
    return false;
}

std::string RadioPortMessage(const std::string& port, bool throughTap) {
    if (throughTap)
        return "radio keying and the trace do not go together: the driver opens the trace's pseudo-terminal, which "
               "has no modem lines, so it " + std::string(kNoModemLines) + " (RTS, carrier detect); trace on the unit "
               "side (kivsim --trace) instead";
    return "port " + port + " " + kNoModemLines + ": it has no modem lines (RTS, carrier detect), as "
           "pseudo-terminals and many USB adapters have none; --radio needs a port that wires them "
           "(docs/troubleshooting.md)";
}

}  // namespace kivpoll
