// Serial lines for the tools on POSIX: devices set up by the driver's own
// DCB-to-termios code, and pseudo-terminal pairs.
#include "tools/common/serial_line.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include "platform/posix_serial.h"
#include "platform/posix_termios.h"
#include "tools/common/serial_dcb.h"

namespace kivtools {

namespace {

constexpr size_t kShortPathLimit = 11;
constexpr int kPtyTries = 64;

bool SetNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

std::string Errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

}  // namespace

std::string UnsupportedSettings(const LineSetup& setup) {
    struct termios probe {};
    LineSetup plain;
    plain.baud = setup.baud;
    if (kivposix::TermiosFromDcb(DcbFor(plain), &probe) != ERROR_SUCCESS) {
        return std::to_string(setup.baud) + " baud (a rate without a termios code)";
    }
    if (setup.stopBits == 1) return "1.5 stop bits";
    if (setup.stopBits != 0 && setup.stopBits != 2) return "stop bits code " + std::to_string(setup.stopBits);
    if (setup.dataBits < 5 || setup.dataBits > 8) return std::to_string(setup.dataBits) + " data bits";
    if (setup.parity == 3 || setup.parity == 4) return std::string(setup.parity == 3 ? "mark" : "space") + " parity";
    return "parity code " + std::to_string(setup.parity);
}

std::string DevicePathOf(const std::string& portName) {
    char path[512];
    return PosixPortPath(portName.c_str(), path, sizeof path) ? std::string(path) : std::string();
}

void SerialLine::Close() {
    if (fd_ >= 0) ::close(fd_);
    if (slaveFd_ >= 0) ::close(slaveFd_);
    fd_ = slaveFd_ = -1;
    if (!linkPath_.empty()) {
        ::unlink(linkPath_.c_str());
        linkPath_.clear();
    }
}

bool SerialLine::OpenPty(std::string* error) {
    Close();
    // A pair whose slave path is too long stays open until a shorter one
    // turns up, so that the next try gets another number.
    std::vector<std::pair<int, int>> tooLong;
    for (int attempt = 0; attempt < kPtyTries; ++attempt) {
        int master = -1, slave = -1;
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
            *error = Errno("openpty");
            break;
        }
        char name[64] = {};
        if (ttyname_r(slave, name, sizeof name) != 0) {
            *error = Errno("ttyname");
            ::close(master);
            ::close(slave);
            break;
        }
        if (std::strlen(name) <= kShortPathLimit || attempt == kPtyTries - 1) {
            fd_ = master;
            slaveFd_ = slave;
            path_ = name;
            break;
        }
        tooLong.emplace_back(master, slave);
    }
    for (auto& pair : tooLong) {
        ::close(pair.first);
        ::close(pair.second);
    }
    if (fd_ < 0) return false;
    if (!kivposix::MakeRaw(slaveFd_) || !SetNonBlocking(fd_)) {
        *error = Errno("setting up the pseudo-terminal");
        Close();
        return false;
    }
    fcntl(fd_, F_SETFD, FD_CLOEXEC);
    fcntl(slaveFd_, F_SETFD, FD_CLOEXEC);
    return true;
}

bool SerialLine::OpenDevice(const std::string& path, const LineSetup& setup, std::string* error) {
    Close();
    auto fail = [&](const std::string& why) {
        *error = why;
        Close();
        return false;
    };
    struct termios wanted {};
    if (kivposix::TermiosFromDcb(DcbFor(setup), &wanted) != ERROR_SUCCESS)
        return fail(path + ": settings the port cannot do: " + UnsupportedSettings(setup));
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    struct termios tio;
    if (fd_ < 0) return fail(Errno(path));
    if (tcgetattr(fd_, &tio) != 0) return fail(Errno(path + ": not a serial line"));
    // The driver's mapping onto what the device has, then raw bytes.
    kivposix::TermiosFromDcb(DcbFor(setup), &tio);
    tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    struct termios got;
    if (tcsetattr(fd_, TCSANOW, &tio) != 0 || tcgetattr(fd_, &got) != 0)
        return fail(Errno(path + ": line settings " + DescribeSetup(setup)));
    if (!kivposix::TermiosTaken(tio, got, kivposix::IsPseudoTerminal(fd_)))
        return fail(path + ": the device did not take the settings " + DescribeSetup(setup));
    tcflush(fd_, TCIOFLUSH);
    path_ = path;
    return true;
}

bool SerialLine::MakeLink(const std::string& linkPath, std::string* error) {
    ::unlink(linkPath.c_str());
    if (::symlink(path_.c_str(), linkPath.c_str()) != 0) {
        *error = Errno("link " + linkPath);
        return false;
    }
    linkPath_ = linkPath;
    return true;
}

int SerialLine::ReadAvailable(std::vector<uint8_t>& into, size_t limit) {
    uint8_t buffer[512];
    size_t total = 0;
    while (total < limit) {
        ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, limit - total));
        if (n > 0) {
            into.insert(into.end(), buffer, buffer + n);
            total += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        // 0 or EIO: the other side has no open end just now.
        if (total == 0 && n < 0 && errno != EIO) return -1;
        break;
    }
    return int(total);
}

bool SerialLine::WaitReadable(int timeoutMs) {
    struct pollfd p = {fd_, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN);
}

bool SerialLine::Write(const uint8_t* bytes, size_t count, int paceBaud, const std::atomic<bool>& stop) {
    return PacedWrite(
        bytes, count, paceBaud, stop,
        [this](const uint8_t* chunk, size_t length) -> long {
            ssize_t n = ::write(fd_, chunk, length);
            if (n >= 0) return long(n);
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
        },
        [this] {
            struct pollfd p = {fd_, POLLOUT, 0};
            ::poll(&p, 1, 10);
        });
}

long SerialLine::WriteAvailable(const uint8_t* bytes, size_t count) {
    for (;;) {
        ssize_t n = ::write(fd_, bytes, count);
        if (n >= 0) return long(n);
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

}  // namespace kivtools
