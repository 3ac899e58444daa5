// Pseudo-terminal and serial device handling for the simulator.
#include "tools/kivsim/line.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace kivsim {

namespace {

constexpr size_t kShortPathLimit = 11;
constexpr int kPtyTries = 64;

bool MakeRaw(int fd) {
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0) return false;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

bool SetNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

speed_t SpeedFor(int baud) {
    switch (baud) {
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B0;
    }
}

std::string Errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

}  // namespace

Line::~Line() {
    Close();
}

void Line::Close() {
    net_.reset();
    if (fd_ >= 0) ::close(fd_);
    if (slaveFd_ >= 0) ::close(slaveFd_);
    fd_ = slaveFd_ = -1;
    if (!linkPath_.empty()) {
        ::unlink(linkPath_.c_str());
        linkPath_.clear();
    }
}

bool Line::OpenPty(std::string* error) {
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
    if (!MakeRaw(slaveFd_) || !SetNonBlocking(fd_)) {
        *error = Errno("setting up the pseudo-terminal");
        Close();
        return false;
    }
    fcntl(fd_, F_SETFD, FD_CLOEXEC);
    fcntl(slaveFd_, F_SETFD, FD_CLOEXEC);
    return true;
}

bool Line::OpenDevice(const std::string& path, int baud, std::string* error) {
    Close();
    speed_t speed = SpeedFor(baud);
    if (speed == B0) {
        *error = "unsupported baud rate " + std::to_string(baud);
        return false;
    }
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        *error = Errno(path);
        return false;
    }
    struct termios tio;
    if (tcgetattr(fd_, &tio) != 0) {
        *error = Errno(path + ": not a serial line");
        Close();
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS | CSIZE);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    if (tcsetattr(fd_, TCSANOW, &tio) != 0) {
        *error = Errno(path + ": line settings");
        Close();
        return false;
    }
    tcflush(fd_, TCIOFLUSH);
    path_ = path;
    return true;
}

bool Line::Listen(NetLineKind kind, const std::string& address, int port, std::string* error) {
    Close();
    net_.reset(new NetEndpoint);
    if (!net_->Listen(kind, address, port, error)) {
        net_.reset();
        return false;
    }
    path_ = net_->Url();
    return true;
}

bool Line::MakeLink(const std::string& linkPath, std::string* error) {
    ::unlink(linkPath.c_str());
    if (::symlink(path_.c_str(), linkPath.c_str()) != 0) {
        *error = Errno("link " + linkPath);
        return false;
    }
    linkPath_ = linkPath;
    return true;
}

int Line::ReadAvailable(std::vector<uint8_t>& into) {
    if (net_) return net_->ReadAvailable(into);
    uint8_t buffer[512];
    int total = 0;
    for (;;) {
        ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n > 0) {
            into.insert(into.end(), buffer, buffer + n);
            total += int(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return total;
        // 0 or EIO: the other side has no open end just now.
        return total > 0 ? total : (n == 0 || errno == EIO ? 0 : -1);
    }
}

bool Line::Write(const uint8_t* bytes, size_t count, int paceBaud, const std::atomic<bool>& stop) {
    if (net_) return net_->Write(bytes, count, paceBaud, stop);
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto byteTime = std::chrono::nanoseconds(paceBaud > 0 ? 10000000000LL / paceBaud : 0);
    size_t done = 0;
    auto lastProgress = start;
    while (done < count) {
        if (stop.load()) return false;
        size_t chunk = count - done;
        if (paceBaud > 0) {
            // A byte goes out when its ten bits have passed on the line:
            // wait for the next one, then write all whose time has come.
            auto due = start + byteTime * int64_t(done + 1);
            auto now = Clock::now();
            if (due > now) {
                std::this_thread::sleep_for(due - now);
                now = Clock::now();
            }
            size_t ready = std::min(count, size_t((now - start) / byteTime));
            chunk = ready > done ? ready - done : 1;
        }
        ssize_t n = ::write(fd_, bytes + done, chunk);
        if (n > 0) {
            done += size_t(n);
            lastProgress = Clock::now();
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        if (Clock::now() - lastProgress > std::chrono::seconds(1)) return false;
        struct pollfd p = {fd_, POLLOUT, 0};
        ::poll(&p, 1, 10);
    }
    return true;
}

}  // namespace kivsim
