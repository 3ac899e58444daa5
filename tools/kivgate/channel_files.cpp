// A channel's files in the gateway's work folder (the current folder, where
// the driver looks at Open): its channel file and, for a device server or a
// device path longer than a port name holds, its entry in the port map.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>

#include "tools/common/port_check.h"
#include "tools/kivgate/channel_run.h"
#include "tools/kivpoll/session.h"
#include "tools/kivpoll/work_folder.h"

namespace kivgate {

namespace {

// Channels start at once and share the port map: one writes at a time.
std::mutex filesMutex;

bool IsNetworkPort(const std::string& port) {
    return port.compare(0, 6, "tcp://") == 0 || port.compare(0, 10, "rfc2217://") == 0;
}

// The channel file's text, as kivpoll writes it for the same settings.
std::string ChannelFileText(const ChannelSettings& settings) {
    kivpoll::SessionOptions options;
    options.hostAddress = settings.hostAddress;
    options.exception = settings.exception;
    options.radio = !settings.radioTimes.empty();
    options.radioTimes = settings.radioTimes;
    return kivpoll::ConfigText(options);
}

// The name the driver opens the port by: the port itself when it fits, a
// port map entry (added when none maps it yet) when not. "" when the map
// could not take it.
std::string DriverPortName(const ChannelSettings& settings) {
    std::string port = settings.port;
    const bool network = IsNetworkPort(port);
    if (!network && kivpoll::ShortPortName(&port)) return port;
    kivpoll::WorkFolder folder;  // the current one, left as it is
    return folder.MapPort(settings.port, network ? kivpoll::kNetworkPortName : kivpoll::kDevicePortName,
                          "kivgate for channel " + settings.name + ":");
}

}  // namespace

bool WriteChannelFiles(ChannelRun& state, std::string* error) {
    std::lock_guard<std::mutex> lock(filesMutex);
    const std::string name = kivpoll::ConfigName(state.settings.number);
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out << ChannelFileText(state.settings);
    out.close();
    if (!out) {
        *error = "cannot write the channel file " + name + " in " + kivpoll::AbsolutePath(".") + ": " +
                 std::strerror(errno);
        return false;
    }
    state.driverPort = DriverPortName(state.settings);
    if (!state.driverPort.empty()) return true;
    *error = "cannot give " + state.settings.port + " a port name in " + kivtools::kPortMapFileName + " in " +
             kivpoll::AbsolutePath(".");
    return false;
}

}  // namespace kivgate
