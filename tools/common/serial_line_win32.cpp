// The tools' serial line on Windows: a COM port through the Win32 serial
// calls, set up with the DCB the driver builds. Windows has no
// pseudo-terminals: a null-modem cable or a virtual COM port pair joins the
// tool to the host's port.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "tools/common/serial_dcb.h"
#include "tools/common/serial_line.h"

namespace kivtools {

namespace {

// What failed, a plain word for the errors a port open meets most, and
// the system's text: "COM7: no such port: The system cannot find the file
// specified. (error 2)".
std::string Win32Error(const std::string& what) {
    const DWORD code = GetLastError();
    const char* plain = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? "no such port: "
                        : code == ERROR_ACCESS_DENIED ? "in use by another program, or access denied: "
                                                      : "";
    return what + ": " + plain + WindowsErrorText(code);
}

// COM1 to COM9 open by name; the device namespace opens every port.
std::string DeviceName(const std::string& name) {
    return name.rfind("\\\\.\\", 0) == 0 ? name : "\\\\.\\" + name;
}

}  // namespace

std::string WindowsErrorText(unsigned long code) {
    char text[512] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                  MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' '))
        text[--length] = '\0';
    const std::string said = length > 0 ? std::string(text) : std::string("Windows error");
    return said + " (error " + std::to_string(code) + ")";
}

void SerialLine::Close() {
    if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
    handle_ = nullptr;
}

bool SerialLine::OpenDevice(const std::string& path, const LineSetup& setup, std::string* error) {
    Close();
    HANDLE port = CreateFileA(DeviceName(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        *error = Win32Error(path);
        return false;
    }
    DCB dcb = DcbFor(setup);
    // Reads return at once with what waits; a write gives up after a second.
    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 1000};
    if (!SetupComm(port, 4096, 4096) || !SetCommState(port, &dcb)) {
        *error = Win32Error(path + ": line settings " + DescribeSetup(setup));
    } else if (!SetCommTimeouts(port, &timeouts)) {
        *error = Win32Error(path + ": time-outs");
    } else {
        PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
        handle_ = port;
        path_ = path;
        return true;
    }
    CloseHandle(port);
    return false;
}

bool SerialLine::OpenPty(std::string* error) {
    *error = "Windows has no pseudo-terminals: give a COM port";
    return false;
}

bool SerialLine::MakeLink(const std::string&, std::string* error) {
    *error = "links to the line are not made on Windows";
    return false;
}

bool SerialLine::WaitReadable(int timeoutMs) {
    // A COM port cannot be waited on together with other handles without
    // overlapped I/O; its input count is looked at every millisecond.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(static_cast<HANDLE>(handle_), &errors, &status)) {
            // A port that fails (a removed adapter) is not looked at in a
            // tight loop: the wait takes its time all the same.
            Sleep(DWORD(timeoutMs > 0 ? timeoutMs : 0));
            return false;
        }
        if (status.cbInQue > 0) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        Sleep(1);
    }
}

int SerialLine::ReadAvailable(std::vector<uint8_t>& into, size_t limit) {
    uint8_t buffer[512];
    size_t total = 0;
    while (total < limit) {
        DWORD count = 0;
        const DWORD wanted = DWORD(std::min(sizeof buffer, limit - total));
        if (!ReadFile(static_cast<HANDLE>(handle_), buffer, wanted, &count, nullptr)) {
            return total > 0 ? int(total) : -1;
        }
        if (count == 0) break;
        into.insert(into.end(), buffer, buffer + count);
        total += count;
    }
    return int(total);
}

bool SerialLine::Write(const uint8_t* bytes, size_t count, int paceBaud, const std::atomic<bool>& stop) {
    return PacedWrite(
        bytes, count, paceBaud, stop,
        [this](const uint8_t* chunk, size_t length) -> long {
            DWORD written = 0;
            if (!WriteFile(static_cast<HANDLE>(handle_), chunk, DWORD(length), &written, nullptr)) return -1;
            return long(written);
        },
        [] { Sleep(1); });
}

long SerialLine::WriteAvailable(const uint8_t* bytes, size_t count) {
    DWORD written = 0;
    if (!WriteFile(static_cast<HANDLE>(handle_), bytes, DWORD(count), &written, nullptr)) return -1;
    return long(written);
}

}  // namespace kivtools
