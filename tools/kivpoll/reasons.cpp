// The reasons kivpoll gives for refused requests and ports that do not open.
#include "tools/kivpoll/reasons.h"

#include <cstring>
#include <fstream>

#include "platform/port_map.h"
#include "requests/address.h"
#include "tools/common/serial_line.h"

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

namespace kivpoll {

namespace {

const char* RefusalText(AddressRefusal refusal) {
    switch (refusal) {
    case AddressValid: return "";
    case AddressNoText: return "no address text";
    case AddressFirstLetter: return "first letter: R (register), S (status point) or ! (events, clock)";
    case AddressStation: return "station: four digits, 0000 to 9999";
    case AddressNumber: return "register or point number: four digits, 0000 to 8999";
    case AddressBitDigits: return "bit: two digits, 00 to 31 (bits 4 to 9 as 04 to 09)";
    case AddressEventArea: return "the letter after !: S, R, L or T";
    case AddressAfterStation: return "nothing may follow the station of a ! address";
    case AddressStatusBit: return "a status point has no bit";
    case AddressBitMissing: return "bit: a bit gate (kind 6) needs a bit number";
    case AddressBitAbove31: return "bit: 00 to 31";
    case AddressBitNotBitKind: return "bit: a bit number needs gate kind 6 (-k 6)";
    case AddressKind: return "gate kind: a register takes kinds 3 to 6";
    case AddressBlockNotRegister: return "block: only R addresses name a block";
    case AddressBlockTooLong: return "block too long: at most 60 registers";
    }
    return "refused by the address check";
}

std::string Refusal(const std::string& text, AddressMode mode, int32_t kind, int32_t blockLength) {
    AddressRequest request;
    std::memset(&request, 0, sizeof request);
    request.text = text.c_str();
    request.gate.kind = kind;
    request.gate.blockLength = blockLength;
    return RefusalText(AddressRefusalOf(&request, mode));
}

bool StartsWith(const std::string& text, const char* start) { return text.compare(0, std::strlen(start), start) == 0; }

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

}  // namespace

std::string AddressReason(const std::string& text, int32_t kind) { return Refusal(text, AddressGate, kind, 0); }

std::string BlockReason(const std::string& text, int32_t count) { return Refusal(text, AddressBlock, 3, count); }

std::string ReasonFromLog(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        if (StartsWith(line, "KivIN : The Report-By-Exception thread is busy"))
            return "busy: the channel's line stayed taken (by the listener or another request) for 4 s";
        if (StartsWith(line, "KivIN : Station ") && line.find("still has more events") != std::string::npos)
            return "the unit still had events after the fetch's passes: fetch again";
    }
    return "";
}

PortFailure ProbePort(const std::string& portName, const LineSettings& line) {
    PortFailure failure;
    kivtools::LineSetup setup;
    setup.baud = line.baudRate;
    setup.dataBits = line.dataBits;
    setup.parity = line.parity;
    setup.stopBits = line.stopBits;
    kivtools::SerialLine probe;
    std::string error;
#if defined(_WIN32)
    failure.device = portName.rfind("\\\\.\\", 0) == 0 ? portName : "\\\\.\\" + portName;
    HANDLE port = CreateFileA(failure.device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        const char* plain = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? "no such port: "
                            : code == ERROR_ACCESS_DENIED ? "in use by another program, or access denied: "
                                                          : "";
        failure.reason = plain + SystemText(code);
        return failure;
    }
    CloseHandle(port);
    if (!probe.OpenDevice(portName, setup, &error)) {
        failure.reason = error;
        return failure;
    }
#else
    PortMapEntry entry;
    if (MappedPort(portName, &entry)) {
        failure.device = std::string(entry.kind == NetLineTcp ? "tcp://" : "rfc2217://") + entry.host + ":" +
                         std::to_string(entry.port) + " (" + kPortMapFile + ")";
        failure.reason = ConnectReason(entry);
        if (failure.reason.empty()) failure.reason = "it connects now: the line may have been busy or gone for a moment";
        return failure;
    }
    failure.device = kivtools::DevicePathOf(portName);
    if (failure.device.empty()) {
        failure.device = portName;
        failure.reason = "no device path for this name";
        return failure;
    }
    // The device first, as the driver opens it before it sets the line up.
    int fd = open(failure.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        failure.reason = errno == ENOENT ? "no such device" : std::strerror(errno);
        return failure;
    }
    const bool terminal = isatty(fd) != 0;
    const bool taken = terminal && flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    if (taken) {
        failure.reason = "in use: another program holds the port";
        return failure;
    }
    if (!terminal) {
        failure.reason = "not a serial line";
        return failure;
    }
    if (!probe.OpenDevice(failure.device, setup, &error)) {
        // The line's message starts with the path, said already.
        failure.reason = StartsWith(error, (failure.device + ": ").c_str()) ? error.substr(failure.device.size() + 2) : error;
        return failure;
    }
#endif
    failure.reason = "it opens now: it may have been in use for a moment";
    return failure;
}

}  // namespace kivpoll
