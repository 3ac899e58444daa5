// What the network line's two files share: sending on and taking in from a
// locked line (posix_network.cpp), and the com-port option's part of that
// (posix_net_comport.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/posix_deadline.h"
#include "platform/posix_network.h"

namespace kivposix {

// Puts the bytes whole behind what waits in the line's output and sends
// what the socket takes without waiting (line locked). false, with nothing
// queued, when the output has no room for them (the server reads nothing)
// or the connection dropped. They go in only when the output then holds at
// most limit bytes, so that answers to a peer's flood keep room for ours.
bool NetQueue(NetLine* line, const uint8_t* bytes, size_t count, size_t limit = kNetOutputSize);
// Sends waiting output, then takes at most kNetPumpMax bytes of what the
// socket holds without waiting, as far as the input ring has room (line
// locked). On raw TCP every byte is data.
void NetPump(NetLine* line);

// A decoded event of the peer's stream other than data: option talk is
// answered, a modem state kept (line locked).
void NetTakeOptionEvent(NetLine* line, const TelnetEvent& event);
// Asks for the com-port option and waits until the server agrees or
// refuses or the deadline passes (line locked), then asks for carrier and
// CTS changes. Our side of it on is success.
bool NetNegotiate(NetLine* line, Deadline* deadline);

}  // namespace kivposix
