// Two ends of a serial line for tests: a pseudo-terminal pair natively, two
// COM ports of the wine prefix under Windows.
#include "tests/support/line_pair.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>

#include "platform/posix_termios.h"
#include <time.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

#ifndef _WIN32
int64_t NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Raw pseudo-terminal ends, set up by the same code as the driver's ports.
using kivposix::MakeRaw;
#else
int64_t NowMs() { return static_cast<int64_t>(GetTickCount64()); }

std::string EnvironmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}
#endif

}  // namespace

Bytes HexBytes(const std::string& text) {
    Bytes bytes;
    int high = -1;
    for (char c : text) {
        if (c == ' ') continue;
        int digit = HexDigit(c);
        if (digit < 0) break;
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<uint8_t>(high * 16 + digit));
            high = -1;
        }
    }
    return bytes;
}

std::string HexText(const Bytes& bytes) {
    std::string text;
    char piece[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(piece, sizeof piece, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += piece;
    }
    return text;
}

bool UnderWine() {
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

bool LinePair::Write(const Bytes& bytes) { return Write(bytes.data(), bytes.size()); }

#ifndef _WIN32

LinePair::LinePair() {
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) {
        error_ = std::string("openpty: ") + std::strerror(errno);
        return;
    }
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    if (!MakeRaw(master_) || !MakeRaw(slave_)) {
        error_ = std::string("raw mode: ") + std::strerror(errno);
        return;
    }
    char path[64];
    if (ttyname_r(slave_, path, sizeof path) != 0) {
        error_ = "no name for the pseudo-terminal";
        return;
    }
    driverPort_ = path;
    if (driverPort_.size() > 11 && driverPort_.compare(0, 5, "/dev/") == 0) driverPort_.erase(0, 5);
    if (driverPort_.size() > 11) {
        error_ = "pseudo-terminal name too long: " + driverPort_;
        return;
    }
    ok_ = true;
}

void LinePair::HangUp() {
    if (master_ >= 0) close(master_);
    master_ = -1;
}

LinePair::~LinePair() {
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
}

bool LinePair::Write(const void* data, size_t size) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    size_t sent = 0;
    while (sent < size) {
        ssize_t n = write(master_, bytes + sent, size - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            struct pollfd wait = {master_, POLLOUT, 0};
            poll(&wait, 1, 100);
        } else if (!(n < 0 && errno == EINTR)) {
            return false;
        }
    }
    return true;
}

Bytes LinePair::Read(size_t count, int timeoutMs) {
    Bytes bytes(count);
    size_t got = 0;
    int64_t deadline = NowMs() + timeoutMs;
    while (got < count) {
        ssize_t n = read(master_, bytes.data() + got, count - got);
        if (n > 0) {
            got += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
        int64_t left = deadline - NowMs();
        if (left <= 0) break;
        struct pollfd wait = {master_, POLLIN, 0};
        poll(&wait, 1, static_cast<int>(left));
    }
    bytes.resize(got);
    return bytes;
}

size_t LinePair::Available() {
    int waiting = 0;
    if (ioctl(master_, FIONREAD, &waiting) != 0) return 0;
    return static_cast<size_t>(waiting);
}

#else  // _WIN32

LinePair::LinePair() {
    driverPort_ = EnvironmentValue("KIV_COM_DRIVER");
    std::string peerName = EnvironmentValue("KIV_COM_PEER");
    if (driverPort_.empty() || peerName.empty()) {
        error_ = "KIV_COM_DRIVER and KIV_COM_PEER name no COM ports (run through scripts/wine-run)";
        return;
    }
    // What an earlier test left at the driver's end goes first.
    HANDLE driver = CreateFileA(driverPort_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    if (driver != INVALID_HANDLE_VALUE) {
        PurgeComm(driver, PURGE_RXCLEAR | PURGE_TXCLEAR);
        CloseHandle(driver);
    }
    peer_ = CreateFileA(peerName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (peer_ == INVALID_HANDLE_VALUE) {
        error_ = "cannot open " + peerName + ", error " + std::to_string(GetLastError());
        return;
    }
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (GetCommState(peer_, &dcb)) {
        dcb.BaudRate = 19200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = 1;
        dcb.fParity = 0;
        dcb.fOutxCtsFlow = 0;
        dcb.fOutxDsrFlow = 0;
        dcb.fOutX = 0;
        dcb.fInX = 0;
        SetCommState(peer_, &dcb);
    }
    PurgeComm(peer_, PURGE_RXCLEAR | PURGE_TXCLEAR);
    Drain();
    ok_ = true;
}

LinePair::~LinePair() {
    if (peer_ != INVALID_HANDLE_VALUE) CloseHandle(peer_);
}

bool LinePair::Write(const void* data, size_t size) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    size_t sent = 0;
    while (sent < size) {
        DWORD done = 0;
        if (!WriteFile(peer_, bytes + sent, static_cast<DWORD>(size - sent), &done, nullptr)) return false;
        sent += done;
    }
    return true;
}

Bytes LinePair::Read(size_t count, int timeoutMs) {
    Bytes bytes(count);
    size_t got = 0;
    int64_t deadline = NowMs() + timeoutMs;
    while (got < count) {
        int64_t left = deadline - NowMs();
        if (left <= 0) break;
        COMMTIMEOUTS timeouts = {0, 0, static_cast<DWORD>(left), 0, 0};
        SetCommTimeouts(peer_, &timeouts);
        DWORD done = 0;
        if (!ReadFile(peer_, bytes.data() + got, static_cast<DWORD>(count - got), &done, nullptr)) break;
        got += done;
    }
    bytes.resize(got);
    return bytes;
}

size_t LinePair::Available() {
    DWORD errors = 0;
    COMSTAT status;
    std::memset(&status, 0, sizeof status);
    if (!ClearCommError(peer_, &errors, &status)) return 0;
    return status.cbInQue;
}

#endif

void LinePair::Drain(int quietMs) {
    while (!Read(4096, quietMs).empty()) {
    }
}
