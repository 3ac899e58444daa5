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

}  // namespace kivpoll
