// The folder the driver runs in: the channel file (and for a network line or
// a long device path the port map) written there and the folder made
// current. A temporary
// folder removes itself and the files kivpoll wrote when the run ends.
#pragma once

#include <cstdint>
#include <string>

namespace kivpoll {

class WorkFolder {
public:
    WorkFolder() = default;
    ~WorkFolder();
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;

    // Enters folder (a fresh temporary one when empty) and writes the
    // channel's configuration text there; false with the reason printed.
    bool Prepare(const std::string& folder, int32_t channel, const std::string& configText);
    // Gives target (a tcp:// or rfc2217:// address, or a device path longer
    // than a port name holds) a port name in the folder's port map: the name
    // of an entry that maps it already, else a new entry added under a free
    // name (base, base2, ...), keeping the entries already there. The name,
    // or "" with the reason printed. writer names who added the entry, in
    // the comment line above it.
    std::string MapPort(const std::string& target, const std::string& base,
                        const std::string& writer = "kivpoll for -p");

private:
    std::string folder_;
    int32_t channel_ = 0;
    bool temporary_ = false;
};

// The channel's configuration file name, kivINnn.int.
std::string ConfigName(int32_t channel);
// The port names kivpoll gives a network line and a long device path in
// the port map.
extern const char kNetworkPortName[];
extern const char kDevicePortName[];
std::string AbsolutePath(const std::string& path);

}  // namespace kivpoll
