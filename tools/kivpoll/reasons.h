// Why the driver refused a request. It answers only done, refused or no
// answer; these say which check failed, by the driver's reason for an
// address refusal, the published limits and its log lines where nothing else
// tells.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kivlink.h"
#include "tools/kivpoll/driver_host.h"
#include "tools/kivpoll/line_tap.h"

namespace kivpoll {

// Why the driver's address command (CommandParseAddress, CommandCheckAddress)
// refuses text; "" when it takes it.
std::string AddressReason(const DriverHost& host, int32_t command, const std::string& text, int32_t kind,
                          int32_t blockLength);
// Why a block write of count registers is refused before it is sent; "" when
// it is not.
std::string WriteReason(int32_t count);
// Whether the driver logged, while its Open ran, that the port did not open:
// nothing else tells this 2 of Open from the others (a listener that did not
// start, a full side table).
bool PortDidNotOpen(const std::vector<std::string>& log);
// A line the driver logs for a failed try of an exchange.
bool IsLineFault(const char* text);
// Why a request that reached the driver was refused. That the line was busy,
// that a fetch stopped with events left or that a clock setting's link reset
// got no sound answer, only the driver's log lines (those written while the
// request ran) tell.
std::string RefusedRequestReason(const std::vector<std::string>& log, const std::string& operation);

// What came back from the line while a request got no fitting answer.
enum class LineHeard {
    Nothing,            // no byte (by the tap), or nothing the driver could start a frame with
    NoSoundFrame,       // bytes, but no sound frame: another speed or framing, noise
    NotForThisRequest,  // sound frames that did not fit: another host address, station or function
};
// What a request whose result was 1 or 2 heard: by the tap's counts before
// and after it when a tap ran, else by the driver's result and the log
// lines written while it ran (a frame cut short reads as nothing there).
LineHeard HeardOnLine(int32_t result, const std::vector<std::string>& log, const LineSeen& before,
                      const LineSeen& after);
// The reason on the row of a request that got no answer (result 2); with a
// tap, the addresses of what came when they were not this request's.
std::string NoAnswerReason(LineHeard heard, const LineSeen& after);
// What the tap tells of sound answers that did not fit (their addresses
// beside the request's); "" without a tap or when they matched.
std::string AnswerAddresses(const LineSeen& after);
// The checklist that fits what came back, for people: a title line and the
// things to look at, most likely first.
std::string Checklist(LineHeard heard, const std::string& address);
// Whether the driver logged, while its Open ran, that the port has no modem
// lines (radio keying cannot work on it).
bool PortCannotKeyRadio(const std::vector<std::string>& log);
// What kivpoll says then; through is the tap's note when the driver opened
// the tap's pseudo-terminal rather than the port.
std::string RadioPortMessage(const std::string& port, bool throughTap);

}  // namespace kivpoll
