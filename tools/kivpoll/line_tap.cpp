// The frame trace tap (POSIX; Windows has no pseudo-terminal pairs).
#include "tools/kivpoll/line_tap.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "tools/common/frame_text.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace kivpoll {

#if defined(_WIN32)

bool LineTap::Start(const std::string&, const LineSettings&, std::string* error) {
    *error = "the frame trace needs a pseudo-terminal pair, which Windows does not have; use kivsim --trace";
    return false;
}
void LineTap::Stop() {}
void LineTap::Relay() {}

#else

namespace {

// The same names the driver's platform layer accepts.
std::string DevicePath(const std::string& name) {
    if (!name.empty() && name[0] == '/') return name;
    if (name == "NUL") return "/dev/null";
    if (name.size() > 3 && name.compare(0, 3, "COM") == 0) {
        int number = std::atoi(name.c_str() + 3);
        if (number >= 1) return "/dev/ttyS" + std::to_string(number - 1);
    }
    return "/dev/" + name;
}

speed_t SpeedFor(unsigned baud) {
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    default: return B19200;
    }
}

void MakeRaw(int fd, const LineSettings* line) {
    termios settings;
    if (tcgetattr(fd, &settings) != 0) return;
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    if (line != nullptr) {
        cfsetispeed(&settings, SpeedFor(line->baudRate));
        cfsetospeed(&settings, SpeedFor(line->baudRate));
        settings.c_cflag &= ~CSIZE;
        settings.c_cflag |= line->dataBits == 7 ? CS7 : CS8;
        if ((line->stopBits & 0xFF) == 2) settings.c_cflag |= CSTOPB;
        if ((line->parity & 0xFF) == 1) settings.c_cflag |= PARENB | PARODD;
        if ((line->parity & 0xFF) == 2) settings.c_cflag |= PARENB;
    }
    tcsetattr(fd, TCSANOW, &settings);
}

}  // namespace

bool LineTap::Start(const std::string& port, const LineSettings& line, std::string* error) {
    if (port == "NUL") {
        *error = "nothing to trace on the null device";
        return false;
    }
    std::string path = DevicePath(port);
    portFd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (portFd_ < 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    MakeRaw(portFd_, &line);
    char name[64];
    if (openpty(&masterFd_, &slaveFd_, name, nullptr, nullptr) != 0) {
        *error = std::string("cannot make a pseudo-terminal pair: ") + std::strerror(errno);
        Stop();
        return false;
    }
    MakeRaw(masterFd_, nullptr);
    MakeRaw(slaveFd_, nullptr);
    driverPort_ = name;
    if (driverPort_.size() > 11) {
        *error = "the pseudo-terminal's name " + driverPort_ + " is longer than a port name may be";
        Stop();
        return false;
    }
    stop_ = false;
    thread_ = std::thread(&LineTap::Relay, this);
    return true;
}

void LineTap::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int* fd : {&portFd_, &masterFd_, &slaveFd_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

void LineTap::Relay() {
    FrameTracer toUnit("H>U"), toHost("U>H");
    pollfd fds[2] = {{masterFd_, POLLIN, 0}, {portFd_, POLLIN, 0}};
    unsigned char buffer[512];
    while (!stop_) {
        int ready = poll(fds, 2, 50);
        if (ready <= 0) {
            toUnit.Idle(stderr);
            toHost.Idle(stderr);
            continue;
        }
        if (fds[0].revents & POLLIN) {
            ssize_t got = read(masterFd_, buffer, sizeof buffer);
            if (got > 0) {
                ssize_t put = write(portFd_, buffer, static_cast<size_t>(got));
                (void)put;
                toUnit.Feed(buffer, static_cast<size_t>(got), stderr);
            }
        }
        if (fds[1].revents & POLLIN) {
            ssize_t got = read(portFd_, buffer, sizeof buffer);
            if (got > 0) {
                ssize_t put = write(masterFd_, buffer, static_cast<size_t>(got));
                (void)put;
                toHost.Feed(buffer, static_cast<size_t>(got), stderr);
            }
        }
    }
}

#endif

}  // namespace kivpoll
