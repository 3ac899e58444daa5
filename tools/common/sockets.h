// The few socket calls the tools make, one way on POSIX and on Winsock:
// non-blocking TCP sockets held in an int, their errors as text, and a
// bounded wait for one of them.
#pragma once

#include <string>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kivtools {

// A TCP socket, non-blocking and not inherited by children; -1 on failure.
int OpenStreamSocket(int family);
// A waiting client of a listener, set up as OpenStreamSocket's; -1 when none.
int AcceptClient(int listener);
void CloseSocket(int fd);
// Whether the last call on a non-blocking socket only had to wait.
bool SocketWouldBlock();
// Whether the last socket call failed because the address (or its family,
// such as IPv6) is not on this machine, or because the port is taken.
bool SocketAddressMissing();
bool SocketAddressInUse();
// The last socket error, as text.
std::string SocketErrorText();
// Waits up to timeoutMs until the socket can be read (or written).
bool WaitSocket(int fd, bool forWriting, int timeoutMs);
// Waits up to timeoutMs until one of count sockets can be read.
bool WaitSocketsReadable(const int* fds, int count, int timeoutMs);
// Sends or receives what the socket takes now: bytes moved, 0 at the end
// of a received stream, -1 on an error or when it would block.
long SendSome(int fd, const void* bytes, size_t count);
long ReceiveSome(int fd, void* bytes, size_t count);

}  // namespace kivtools
