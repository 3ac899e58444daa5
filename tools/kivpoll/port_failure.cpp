// The driver's report on a port that did not open, in words: the system's
// text for its error code (strerror, or FormatMessage on Windows) and a
// hint for what to try.
#include "tools/kivpoll/port_failure.h"

#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <grp.h>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix_termios.h"
#include "tools/common/serial_dcb.h"
#endif

#include "tools/common/port_check.h"

namespace kivpoll {

namespace {

const char kGone[] = "the device went away (unplugged, or its connection dropped)";

#if defined(_WIN32)
std::string SystemText(DWORD code) {
    char text[512] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  code, 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' '))
        text[--length] = '\0';
    std::string out = length > 0 ? std::string(text) : std::string("Windows error");
    return out + " (error " + std::to_string(code) + ")";
}

std::string Reason(const KivPortFailureReport& report, const kivtools::LineSetup& setup) {
    const DWORD code = static_cast<DWORD>(report.systemCode);
    switch (report.step) {
    case KivPortStepOpen:
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return "no such port: " + SystemText(code);
        return SystemText(code);
    case KivPortStepLock: return "in use by another program, or access denied: " + SystemText(code);
    case KivPortStepSettings:
        return "the port did not take the settings " + kivtools::DescribeSetup(setup) + ": " + SystemText(code);
    case KivPortStepGone: return kGone;
    default: return SystemText(code);
    }
}
#else
// Who may open the device, for a refused open: serial ports belong to a
// group (dialout on Debian and Ubuntu) whose members may use them.
std::string PermissionHint(const std::string& device) {
    struct stat status;
    const group* owner = stat(device.c_str(), &status) == 0 ? getgrgid(status.st_gid) : nullptr;
    if (owner == nullptr || status.st_gid == 0)
        return " (serial ports usually belong to the group dialout: sudo usermod -aG dialout $USER, then log in "
               "again)";
    const std::string name = owner->gr_name;
    const char* user = getlogin();
    bool listed = false;
    for (char** member = owner->gr_mem; user != nullptr && *member != nullptr; ++member)
        listed = listed || std::strcmp(*member, user) == 0;
    if (listed) return " (you are in the group " + name + " of " + device + ", but this login is not: log in again)";
    return " (" + device + " belongs to the group " + name + ": sudo usermod -aG " + name +
           " $USER, then log in again)";
}

std::string ResolveReason(const KivPortFailureReport& report) {
    const std::string device = report.device;
    if (device == kivtools::kPortMapFileName)
        return std::string(kivtools::kPortMapFileName) +
               " gives this name no address it takes (NAME = tcp://HOST:PORT, rfc2217://HOST:PORT or a device path)";
    if (kivtools::IsNetAddress(device)) return std::string("host not found: ") + gai_strerror(report.systemCode);
    return "no device path for this name";
}

std::string SettingsReason(const KivPortFailureReport& report, const kivtools::LineSetup& setup) {
    if (report.systemCode == ENOTTY) return "not a serial line";
    if (report.systemCode != EINVAL)
        return "line settings " + kivtools::DescribeSetup(setup) + ": " + std::strerror(report.systemCode);
    struct termios probe {};
    if (kivposix::TermiosFromDcb(kivtools::DcbFor(setup), &probe) != ERROR_SUCCESS)
        return "settings the port cannot do: " + kivtools::UnsupportedSettings(setup);
    return "the device did not take the settings " + kivtools::DescribeSetup(setup);
}

std::string Reason(const KivPortFailureReport& report, const kivtools::LineSetup& setup) {
    const int code = report.systemCode;
    switch (report.step) {
    case KivPortStepResolve: return ResolveReason(report);
    case KivPortStepOpen:
        if (code == ENOENT || code == ENXIO || code == ENODEV || code == EIO) return "no such device";
        if (code == EACCES || code == EPERM) return std::strerror(code) + PermissionHint(report.device);
        return std::strerror(code);
    case KivPortStepLock:
        return std::string("in use: another program holds the port (fuser -v ") + report.device + " tells which)";
    case KivPortStepSettings: return SettingsReason(report, setup);
    case KivPortStepConnect:
        if (code == EPROTONOSUPPORT) return "the server does not speak RFC 2217 (for a raw TCP port: tcp://)";
        return std::strerror(code);
    case KivPortStepGone: return kGone;
    default: return code != 0 ? std::strerror(code) : "the driver does not say why";
    }
}
#endif

}  // namespace

std::string PortFailureReason(const KivPortFailureReport& report, const kivtools::LineSetup& setup) {
    return Reason(report, setup);
}

std::string PortAndDevice(const std::string& named, const KivPortFailureReport& report) {
    const std::string device = report.device;
    if (device.empty() || device == named || device == kivtools::kPortMapFileName) return named;
    return named + " (" + device + ")";
}

}  // namespace kivpoll
