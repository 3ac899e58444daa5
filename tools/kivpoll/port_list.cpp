// Listing the serial ports: on Linux from /dev/serial and sysfs, on
// Windows from the DOS device names.
#include "tools/kivpoll/port_list.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <filesystem>
#include <fstream>
#endif

#include "tools/kivpoll/summary.h"

namespace kivpoll {

#if defined(_WIN32)

int ListPorts(const std::string&, std::FILE* out) {
    std::vector<char> names(65536);
    const DWORD length = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
    std::map<int, std::string> ports;  // by number, so that COM10 follows COM9
    for (const char* name = names.data(); length > 0 && *name != '\0'; name += std::strlen(name) + 1) {
        if (_strnicmp(name, "COM", 3) != 0 || name[3] < '1' || name[3] > '9') continue;
        char target[512] = {};
        QueryDosDeviceA(name, target, sizeof target);
        ports[std::atoi(name + 3)] = std::string(name) + "  " + target;
    }
    for (const auto& port : ports) std::fprintf(out, "%s\n", port.second.c_str());
    if (ports.empty()) std::fprintf(out, "no COM ports found (a USB adapter gets one once its driver is installed)\n");
    return kExitDone;
}

#else

namespace fs = std::filesystem;

namespace {

// The first line of a small sysfs file, "" when it cannot be read.
std::string FirstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

struct Port {
    std::vector<std::string> names;  // stable names, by-id first
    std::string what;                // driver and USB ids
};

// The device a link under /dev/serial stands for, as a path below root.
std::string LinkTarget(const fs::path& link, const fs::path& root) {
    std::error_code failed;
    fs::path target = fs::read_symlink(link, failed);
    if (failed) return "";
    if (target.is_relative()) target = link.parent_path() / target;
    std::string path = fs::weakly_canonical(target, failed).string();
    const std::string top = root.string();
    if (!top.empty() && top != "/" && path.compare(0, top.size(), top) == 0) path = path.substr(top.size());
    return path;
}

// The driver of a tty and, when it hangs off a USB device, that device's
// ids and names: "ftdi_sio, USB 0403:6001 FTDI FT232R USB UART".
std::string Describe(const fs::path& root, const std::string& tty) {
    std::error_code failed;
    const fs::path device = root / "sys/class/tty" / tty / "device";
    if (!fs::exists(device, failed)) return "";
    std::string what = fs::read_symlink(device / "driver", failed).filename().string();
    failed.clear();
    for (fs::path at = fs::canonical(device, failed); !failed && at.has_relative_path(); at = at.parent_path()) {
        const std::string vendor = FirstLine(at / "idVendor");
        if (vendor.empty()) continue;
        std::string usb = "USB " + vendor + ":" + FirstLine(at / "idProduct");
        for (const char* field : {"manufacturer", "product", "serial"}) {
            const std::string text = FirstLine(at / field);
            if (!text.empty()) usb += " " + text;
        }
        what += (what.empty() ? "" : ", ") + usb;
        break;
    }
    return what;
}

// Ports sysfs knows of: every tty with a device behind it, but for the
// 8250 driver's places that hold no UART (type 0).
void AddSysfsPorts(const fs::path& root, std::map<std::string, Port>* ports) {
    std::error_code failed;
    for (const auto& entry : fs::directory_iterator(root / "sys/class/tty", failed)) {
        const std::string tty = entry.path().filename().string();
        if (!fs::exists(entry.path() / "device", failed)) continue;
        const std::string type = FirstLine(entry.path() / "type");
        if (!type.empty() && type == "0") continue;
        (*ports)["/dev/" + tty].what = Describe(root, tty);
    }
}

void AddStableNames(const fs::path& root, std::map<std::string, Port>* ports) {
    for (const char* folder : {"dev/serial/by-id", "dev/serial/by-path"}) {
        std::error_code failed;
        std::set<std::string> links;  // in order of their names
        for (const auto& entry : fs::directory_iterator(root / folder, failed)) links.insert(entry.path().string());
        for (const std::string& link : links) {
            const std::string device = LinkTarget(link, root);
            if (device.empty()) continue;
            Port& port = (*ports)[device];
            port.names.push_back("/" + fs::path(link).lexically_relative(root).string());
            if (port.what.empty()) port.what = Describe(root, fs::path(device).filename().string());
        }
    }
}

}  // namespace

int ListPorts(const std::string& rootText, std::FILE* out) {
    const fs::path root = rootText.empty() ? fs::path("/") : fs::path(rootText);
    std::map<std::string, Port> ports;
    AddSysfsPorts(root, &ports);
    AddStableNames(root, &ports);
    for (const auto& entry : ports) {
        std::fprintf(out, "%s%s%s\n", entry.first.c_str(), entry.second.what.empty() ? "" : "  ",
                     entry.second.what.c_str());
        for (const std::string& name : entry.second.names) std::fprintf(out, "    %s\n", name.c_str());
    }
    if (ports.empty())
        std::fprintf(out, "no serial ports found (a USB adapter shows as /dev/ttyUSBn or /dev/ttyACMn once plugged "
                          "in; kivpoll -p takes any device path)\n");
    return kExitDone;
}

#endif

}  // namespace kivpoll
