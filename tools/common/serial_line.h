// One end of a serial line for the tools: a serial device opened and set up
// as the driver sets it up (what the driver refuses is refused here too), or
// a pseudo-terminal pair whose other end a driver opens. Moves bytes only.
// The POSIX implementation is serial_line_posix.cpp; on Windows a COM port
// (serial_line_win32.cpp), where no pseudo-terminals or links exist.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kivtools {

// The most one ReadAvailable takes by default: a line that never falls
// quiet still hands its bytes over in pieces, between which the caller
// can look at other work and at its stop flag.
constexpr size_t kReadChunk = 4096;

// Line settings with the driver's meanings: parity 0 none, 1 odd, 2 even,
// 3 mark, 4 space; stop bits 0 one, 1 one and a half, 2 two.
struct LineSetup {
    uint32_t baud = 19200;
    int dataBits = 8;
    int parity = 0;
    int stopBits = 0;
};

// "19200 8N1", "9600 7E1.5": settings as people write them.
std::string DescribeSetup(const LineSetup& setup);

#if defined(_WIN32)
// The system's text for a Windows error code, with the code:
// "The system cannot find the file specified. (error 2)".
std::string WindowsErrorText(unsigned long code);
#endif

// The device the driver opens for a port name (COM3 is /dev/ttyS2 on
// Linux); empty when the name names none.
std::string DevicePathOf(const std::string& portName);

class SerialLine {
public:
    SerialLine() = default;
    ~SerialLine() { Close(); }
    SerialLine(const SerialLine&) = delete;
    SerialLine& operator=(const SerialLine&) = delete;

    // Opens a serial device for this process alone, raw, with these
    // settings. Refuses settings the driver refuses (a rate without a code,
    // 1.5 stop bits...) and settings the device did not take, saying which.
    bool OpenDevice(const std::string& path, const LineSetup& setup, std::string* error);
    // Creates a pseudo-terminal pair in raw mode and keeps both ends open, so
    // that the other side can open and close its end as often as it likes.
    // Prefers a path of at most 11 characters (what a port name holds).
    bool OpenPty(std::string* error);
    // Also makes linkPath a symbolic link to the line's path (replacing a
    // link that is there already); removed again on Close.
    bool MakeLink(const std::string& linkPath, std::string* error);
    void Close();
#if defined(_WIN32)
    bool IsOpen() const { return handle_ != nullptr; }
#else
    bool IsOpen() const { return fd_ >= 0; }
#endif

    const std::string& Path() const { return path_; }
    // The descriptor to wait on (POSIX: for poll together with others;
    // Windows: -1, wait with WaitReadable).
    int Fd() const { return fd_; }

    // Waits up to timeoutMs for bytes; true when some wait.
    bool WaitReadable(int timeoutMs);
    // Appends the bytes that wait, at most limit of them, without
    // blocking; their count, 0 when none (or the other side has no open
    // end), -1 on a read error.
    int ReadAvailable(std::vector<uint8_t>& into, size_t limit = kReadChunk);
    // Writes all bytes. With paceBaud > 0 each byte takes 10 bits at that
    // rate. Gives up when stop is set, or when the other side takes nothing
    // for a second. true when every byte went out.
    bool Write(const uint8_t* bytes, size_t count, int paceBaud, const std::atomic<bool>& stop);
    // Writes what the line takes now, without waiting (a COM port waits at
    // most its write time-out of a second): the count written, 0 when it
    // takes nothing just now, -1 on an error.
    long WriteAvailable(const uint8_t* bytes, size_t count);

private:
#if defined(_WIN32)
    void* handle_ = nullptr;  // the COM port's HANDLE
#endif
    int fd_ = -1;       // our end: the master, or the device
    int slaveFd_ = -1;  // the slave end kept open (pseudo-terminal only)
    std::string path_;
    std::string linkPath_;
};

#if !defined(_WIN32)
// Which of the settings the driver's termios mapping cannot express
// ("14400 baud (a rate without a termios code)", "1.5 stop bits"), for a
// message; call only for settings that mapping refuses.
std::string UnsupportedSettings(const LineSetup& setup);
#endif

}  // namespace kivtools
