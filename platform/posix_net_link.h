// What the network line's two files share: sending on and taking in from a
// locked line (posix_network.cpp), and the com-port option's part of that
// (posix_net_comport.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/posix_network.h"

namespace kivposix {

// Sends all bytes (line locked by the caller), waiting while the socket is
// full. A failure marks the connection dropped.
bool NetSendAll(NetLine* line, const uint8_t* bytes, size_t count);
// Takes what the socket holds without waiting, as far as the input ring has
// room (line locked). On raw TCP every byte is data.
void NetPump(NetLine* line);

// A decoded event of the peer's stream other than data: option talk is
// answered, a modem state kept (line locked).
void NetTakeOptionEvent(NetLine* line, const TelnetEvent& event);
// Asks for the com-port option and waits until the server agrees or refuses
// (line locked), then asks for carrier and CTS changes. Our side of it on is
// success.
bool NetNegotiate(NetLine* line);

}  // namespace kivposix
