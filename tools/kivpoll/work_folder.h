// The folder the driver runs in: the channel file (and for a network line
// the port map) written there and the folder made current. A temporary
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
    // Writes the port map that gives kNetworkPortName this url; false with
    // the reason printed.
    bool WritePortMap(const std::string& url);

private:
    std::string folder_;
    int32_t channel_ = 0;
    bool temporary_ = false;
};

// The channel's configuration file name, kivINnn.int.
std::string ConfigName(int32_t channel);
// The port name kivpoll gives a network line in the port map it writes.
extern const char kNetworkPortName[];
std::string AbsolutePath(const std::string& path);

}  // namespace kivpoll
