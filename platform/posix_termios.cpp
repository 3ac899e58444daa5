// DCB <-> termios for the POSIX stand-in: the baud table, the settings
// termios cannot express, and the tty calls that apply them.
#include "platform/posix_termios.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#ifdef __linux__
#include <sys/sysmacros.h>
#endif

#include <cerrno>

namespace kivposix {
namespace {

struct BaudSpeed {
    DWORD baud;
    speed_t speed;
};

const BaudSpeed kBaudSpeeds[] = {
    {50, B50}, {75, B75}, {110, B110}, {134, B134}, {150, B150}, {200, B200}, {300, B300},
    {600, B600}, {1200, B1200}, {1800, B1800}, {2400, B2400}, {4800, B4800}, {9600, B9600},
    {19200, B19200}, {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

// The termios speed of a baud rate; false for a rate termios has no code for.
bool SpeedOf(DWORD baud, speed_t* speed) {
    for (const BaudSpeed& entry : kBaudSpeeds) {
        if (entry.baud == baud) {
            *speed = entry.speed;
            return true;
        }
    }
    return false;
}

DWORD BaudOf(speed_t speed) {
    for (const BaudSpeed& entry : kBaudSpeeds) {
        if (entry.speed == speed) return entry.baud;
    }
    return 0;
}

#ifdef CMSPAR
constexpr tcflag_t kStickParity = CMSPAR;
#else
constexpr tcflag_t kStickParity = 0;
#endif

}  // namespace

DCB DcbFromTermios(const struct termios& t, int lines) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = BaudOf(cfgetospeed(&t));
    dcb.fBinary = 1;
    dcb.fParity = (t.c_iflag & INPCK) != 0;
    bool hardwareFlow = (t.c_cflag & CRTSCTS) != 0;
    dcb.fOutxCtsFlow = hardwareFlow;
    dcb.fDtrControl = (lines < 0 || (lines & TIOCM_DTR)) ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    if (hardwareFlow) {
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else {
        dcb.fRtsControl = (lines < 0 || (lines & TIOCM_RTS)) ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    }
    dcb.fOutX = (t.c_iflag & IXON) != 0;
    dcb.fInX = (t.c_iflag & IXOFF) != 0;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    switch (t.c_cflag & CSIZE) {
    case CS5: dcb.ByteSize = 5; break;
    case CS6: dcb.ByteSize = 6; break;
    case CS7: dcb.ByteSize = 7; break;
    default: dcb.ByteSize = 8; break;
    }
    if (!(t.c_cflag & PARENB)) {
        dcb.Parity = NOPARITY;
    } else if (kStickParity != 0 && (t.c_cflag & kStickParity)) {
        dcb.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    } else {
        dcb.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    }
    dcb.StopBits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    return dcb;
}

DWORD TermiosFromDcb(const DCB& dcb, struct termios* t) {
    speed_t speed;
    if (!SpeedOf(dcb.BaudRate, &speed)) return ERROR_INVALID_PARAMETER;
    tcflag_t size;
    switch (dcb.ByteSize) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: return ERROR_INVALID_PARAMETER;
    }
    tcflag_t parity;
    switch (dcb.Parity) {
    case NOPARITY: parity = 0; break;
    case ODDPARITY: parity = PARENB | PARODD; break;
    case EVENPARITY: parity = PARENB; break;
    case MARKPARITY:
        if (kStickParity == 0) return ERROR_INVALID_PARAMETER;
        parity = PARENB | PARODD | kStickParity;
        break;
    case SPACEPARITY:
        if (kStickParity == 0) return ERROR_INVALID_PARAMETER;
        parity = PARENB | kStickParity;
        break;
    default: return ERROR_INVALID_PARAMETER;
    }
    if (dcb.StopBits != ONESTOPBIT && dcb.StopBits != TWOSTOPBITS) return ERROR_INVALID_PARAMETER;
    if (dcb.fOutxDsrFlow || dcb.fDsrSensitivity || dcb.fDtrControl == DTR_CONTROL_HANDSHAKE ||
        dcb.fRtsControl == RTS_CONTROL_TOGGLE || dcb.fErrorChar || dcb.fNull || dcb.fAbortOnError) {
        return ERROR_INVALID_PARAMETER;
    }
    // termios has one switch for both directions of RTS/CTS flow: CTS flow
    // alone is taken with it, RTS handshake alone would stall our output.
    if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE && !dcb.fOutxCtsFlow) return ERROR_INVALID_PARAMETER;
    if ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar) return ERROR_INVALID_PARAMETER;

    cfsetispeed(t, speed);
    cfsetospeed(t, speed);
    t->c_cflag &= ~(CSIZE | PARENB | PARODD | kStickParity | CSTOPB | CRTSCTS);
    t->c_cflag |= size | parity | CREAD | CLOCAL;
    if (dcb.StopBits == TWOSTOPBITS) t->c_cflag |= CSTOPB;
    if (dcb.fOutxCtsFlow) t->c_cflag |= CRTSCTS;
    t->c_iflag &= ~(INPCK | IGNPAR | PARMRK | IXON | IXOFF | IXANY);
    if (dcb.fParity) t->c_iflag |= INPCK;
    if (dcb.fOutX) t->c_iflag |= IXON;
    if (dcb.fInX) t->c_iflag |= IXOFF;
    t->c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t->c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    return ERROR_SUCCESS;
}

bool TermiosTaken(const struct termios& asked, const struct termios& got, bool pseudo) {
    tcflag_t compared = CSTOPB | CRTSCTS;
    if (!pseudo) compared |= CSIZE | PARENB | PARODD | kStickParity;
    const tcflag_t inputCompared = INPCK | IXON | IXOFF;
    return cfgetispeed(&asked) == cfgetispeed(&got) && cfgetospeed(&asked) == cfgetospeed(&got) &&
           (asked.c_cflag & compared) == (got.c_cflag & compared) &&
           (asked.c_iflag & inputCompared) == (got.c_iflag & inputCompared);
}

bool SetModemLine(int fd, int line, bool raised) {
    if (ioctl(fd, raised ? TIOCMBIS : TIOCMBIC, &line) == 0) return true;
    return errno == ENOTTY || errno == EINVAL;
}

bool IsPseudoTerminal(int fd) {
#ifdef __linux__
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode)) return false;
    unsigned deviceMajor = major(status.st_rdev);
    return (deviceMajor >= 136 && deviceMajor <= 143) || deviceMajor == 3;
#else
    (void)fd;
    return false;
#endif
}

bool MakeRaw(int fd) {
    struct termios t;
    if (tcgetattr(fd, &t) != 0) return false;
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

}  // namespace kivposix
