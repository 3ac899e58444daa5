// The reasons kivpoll gives for refused requests.
#include "tools/kivpoll/reasons.h"

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

}  // namespace kivpoll
