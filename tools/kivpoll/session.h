// One kivpoll run: the channel's configuration file, the driver opened on
// the port, the requests, the listening and the summary.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/kivpoll/driver_host.h"
#include "tools/kivpoll/host_log.h"
#include "tools/kivpoll/line_tap.h"
#include "tools/kivpoll/output.h"
#include "tools/kivpoll/scan.h"
#include "tools/kivpoll/summary.h"

namespace kivpoll {

struct SessionOptions {
    ChannelOptions channel;
    int32_t hostAddress = 0;
    bool exception = false;
    bool radio = false;
    std::vector<int32_t> radioTimes;
    std::string configFile;  // an existing file to use instead of writing one
    std::string workdir;     // folder of the configuration file; empty: a temporary one
    std::string networkUrl;  // tcp:// or rfc2217:// line, mapped to channel.port in the port map
    std::vector<std::string> addresses;
    int32_t count = 1;
    bool write = false;
    std::vector<int32_t> writeValues;
    int32_t kind = -1;  // -1: 3, or 6 for bit addresses
    int32_t polls = 1;
    int32_t intervalMs = 1000;
    bool listen = false;
    int32_t listenSeconds = 0;
    ScanOptions scan;        // --scan: a register on each station of a range, in place of the addresses
    TapOutputs tap;          // trace and capture: through a tap on the line when wanted
    bool quiet = false;
    bool progress = false;  // standard output is a terminal
    bool demo = false;
    std::string simPort;     // --demo: the units' end of a pair of ports; empty: a pseudo-terminal pair
    std::string decodeFile;  // print this capture file and end
    OutputOptions output;
    std::string outputFile;   // --output: rows there instead of standard output
    LogOptions log;
    std::string checkConfig;  // --check-config: report on this channel file and end
    bool listPorts = false;   // --list-ports: list the serial ports and end
};

// The text of a channel configuration file for these options.
std::string ConfigText(const SessionOptions& options);

int RunSession(const SessionOptions& options);
// --check-config: prints the report; kExitDone when the driver can use the
// file, kExitConfig when not.
int RunCheckConfig(const SessionOptions& options);

// Makes a port name fit the 11 characters the driver takes: a device path
// under /dev/ becomes the name below /dev/ (the driver looks names up
// there). false when it cannot be made to fit.
bool ShortPortName(std::string* port);
int RunDemo(const SessionOptions& options);

}  // namespace kivpoll
