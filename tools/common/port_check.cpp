// What a port name stands for and why it does not open.
#include "tools/common/port_check.h"

#include <cstring>
#include <fstream>

#include "platform/port_map.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kivtools {

const char* const kPortMapFileName = kPortMapFile;

bool IsNetAddress(const std::string& text) {
    PortMapEntry entry;
    return ParseNetAddress(text.c_str(), text.size(), &entry);
}

namespace {

#if defined(_WIN32)
std::string SystemText(DWORD code) {
    char text[512] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                  sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' '))
        text[--length] = '\0';
    std::string out = length > 0 ? std::string(text) : std::string("Windows error");
    return out + " (error " + std::to_string(code) + ")";
}
#else
// The entry of the port map in the current folder that names the port.
bool MappedPort(const std::string& portName, PortMapEntry* entry) {
    std::ifstream in(kPortMapFile, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (ParsePortMapLine(line.c_str(), line.size(), entry) == PortMapEntryRead &&
            PortNameMatches(portName.c_str(), *entry))
            return true;
    }
    return false;
}

// Connects to the network line as the driver would; the system's reason
// when that fails, "" when it connects.
std::string ConnectReason(const PortMapEntry& entry) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int resolved = getaddrinfo(entry.host, std::to_string(entry.port).c_str(), &hints, &found);
    if (resolved != 0) return std::string("host not found: ") + gai_strerror(resolved);
    std::string reason = "no address to connect to";
    for (addrinfo* at = found; at != nullptr; at = at->ai_next) {
        int fd = socket(at->ai_family, at->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, at->ai_protocol);
        if (fd < 0) {
            reason = std::strerror(errno);
            continue;
        }
        int error = 0;
        if (connect(fd, at->ai_addr, at->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                pollfd p = {fd, POLLOUT, 0};
                socklen_t size = sizeof error;
                if (poll(&p, 1, 3000) <= 0) error = ETIMEDOUT;
                else getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
            }
        }
        close(fd);
        if (error == 0) {
            reason.clear();
            break;
        }
        reason = std::strerror(error);
    }
    freeaddrinfo(found);
    return reason;
}
#endif

#if defined(_WIN32)
// The COM port as the driver opens it, then with the line settings.
std::string ProbeComPort(const std::string& device, const LineSetup& setup) {
    HANDLE port = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        const char* plain = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? "no such port: "
                            : code == ERROR_ACCESS_DENIED ? "in use by another program, or access denied: "
                                                          : "";
        return plain + SystemText(code);
    }
    CloseHandle(port);
    SerialLine probe;
    std::string error;
    return probe.OpenDevice(device, setup, &error) ? "" : error;
}
#else
// The device first, as the driver opens it before it sets the line up.
std::string ProbeDevice(const std::string& device, const LineSetup& setup) {
    int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? "no such device" : std::strerror(errno);
    const bool terminal = isatty(fd) != 0;
    const bool taken = terminal && flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    if (taken) return "in use: another program holds the port";
    if (!terminal) return "not a serial line";
    SerialLine probe;
    std::string error;
    if (probe.OpenDevice(device, setup, &error)) return "";
    const std::string said = device + ": ";  // the line's message starts with the path, said already
    return error.compare(0, said.size(), said) == 0 ? error.substr(said.size()) : error;
}
#endif

}  // namespace

PortFailure ProbePort(const std::string& portName, const LineSetup& setup) {
    PortFailure failure;
#if defined(_WIN32)
    failure.device = portName.rfind("\\\\.\\", 0) == 0 ? portName : "\\\\.\\" + portName;
    failure.reason = ProbeComPort(failure.device, setup);
#else
    PortMapEntry entry;
    if (MappedPort(portName, &entry)) {
        failure.device = std::string(entry.kind == NetLineTcp ? "tcp://" : "rfc2217://") + entry.host + ":" +
                         std::to_string(entry.port) + " (" + kPortMapFile + ")";
        failure.reason = ConnectReason(entry);
        if (failure.reason.empty()) failure.reason = "it connects now: the line may have been busy or gone for a moment";
        return failure;
    }
    failure.device = DevicePathOf(portName);
    if (failure.device.empty()) {
        failure.device = portName;
        failure.reason = "no device path for this name";
        return failure;
    }
    failure.reason = ProbeDevice(failure.device, setup);
#endif
    if (failure.reason.empty()) failure.reason = "it opens now: it may have been in use for a moment";
    return failure;
}


}  // namespace kivtools
