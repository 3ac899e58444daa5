// Sockets for the tools on POSIX and on Winsock.
#include "tools/common/sockets.h"

#include <vector>

namespace kivtools {

#if defined(_WIN32)

namespace {

// Winsock wants its start-up before the first socket.
bool WinsockStarted() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

bool SetUp(SOCKET fd) {
    u_long on = 1;
    return ioctlsocket(fd, FIONBIO, &on) == 0;
}

}  // namespace

int OpenStreamSocket(int family) {
    if (!WinsockStarted()) return -1;
    SOCKET fd = ::socket(family, SOCK_STREAM, IPPROTO_TCP);
    if (fd == INVALID_SOCKET) return -1;
    if (!SetUp(fd)) {
        closesocket(fd);
        return -1;
    }
    return int(fd);
}

int AcceptClient(int listener) {
    SOCKET fd = ::accept(SOCKET(listener), nullptr, nullptr);
    if (fd == INVALID_SOCKET) return -1;
    SetUp(fd);
    return int(fd);
}

void CloseSocket(int fd) {
    closesocket(SOCKET(fd));
}

bool SocketWouldBlock() {
    int error = WSAGetLastError();
    return error == WSAEWOULDBLOCK || error == WSAEINTR;
}

bool SocketAddressMissing() {
    int error = WSAGetLastError();
    return error == WSAEAFNOSUPPORT || error == WSAEADDRNOTAVAIL || error == WSAEPROTONOSUPPORT;
}

bool SocketAddressInUse() {
    return WSAGetLastError() == WSAEADDRINUSE;
}

std::string SocketErrorText() {
    return "Winsock error " + std::to_string(WSAGetLastError());
}

bool WaitSocket(int fd, bool forWriting, int timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(SOCKET(fd), &set);
    timeval timeout = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return ::select(0, forWriting ? nullptr : &set, forWriting ? &set : nullptr, nullptr, &timeout) > 0;
}

bool WaitSocketsReadable(const int* fds, int count, int timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    for (int i = 0; i < count; ++i) FD_SET(SOCKET(fds[i]), &set);
    timeval timeout = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return ::select(0, &set, nullptr, nullptr, &timeout) > 0;
}

long SendSome(int fd, const void* bytes, size_t count) {
    return ::send(SOCKET(fd), static_cast<const char*>(bytes), int(count), 0);
}

long ReceiveSome(int fd, void* bytes, size_t count) {
    return ::recv(SOCKET(fd), static_cast<char*>(bytes), int(count), 0);
}

#else

int OpenStreamSocket(int family) {
    return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

int AcceptClient(int listener) {
    return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
}

void CloseSocket(int fd) {
    ::close(fd);
}

bool SocketWouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

bool SocketAddressMissing() {
    return errno == EAFNOSUPPORT || errno == EADDRNOTAVAIL || errno == EPROTONOSUPPORT;
}

bool SocketAddressInUse() {
    return errno == EADDRINUSE;
}

std::string SocketErrorText() {
    return std::strerror(errno);
}

bool WaitSocket(int fd, bool forWriting, int timeoutMs) {
    struct pollfd p = {fd, short(forWriting ? POLLOUT : POLLIN), 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

bool WaitSocketsReadable(const int* fds, int count, int timeoutMs) {
    std::vector<pollfd> p;
    for (int i = 0; i < count; ++i) p.push_back({fds[i], POLLIN, 0});
    return ::poll(p.data(), nfds_t(p.size()), timeoutMs) > 0;
}

long SendSome(int fd, const void* bytes, size_t count) {
    return long(::send(fd, bytes, count, MSG_NOSIGNAL));
}

long ReceiveSome(int fd, void* bytes, size_t count) {
    return long(::recv(fd, bytes, count, MSG_DONTWAIT));
}

#endif

}  // namespace kivtools
