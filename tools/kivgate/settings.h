// What kivgate's configuration file says, once read and checked: the broker,
// and per channel its line and its gates. Every field holds a checked value;
// the file's line of each item is kept for the messages that name it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kivlink.h"

namespace kivgate {

struct BrokerSettings {
    std::string host = "localhost";
    int port = 1883;              // 8883 when tls and no port is given
    std::string clientId = "kivgate";
    std::string user;             // empty: no user name
    std::string password;         // from the file, or read from passwordFile
    std::string passwordFile;
    bool tls = false;
    std::string caFile;           // with tls: the authority that signed the broker's certificate
    std::string prefix = "kivgate";  // first level of every topic
    int qos = 1;                  // of values, statuses and results; events are always 1
    int keepAliveSeconds = 30;
    int eventQueue = 1000;        // events and results kept while the broker is away; overflow is counted
};

struct GateSettings {
    int line = 0;                 // of the file, for messages
    std::string name;             // last topic level: letters, digits, '-', '_' and '.'
    std::string address;          // in the driver's syntax: R00120300, R0012030005, S00120007, !L0012
    int32_t count = 1;            // registers of a block gate (R addresses), 1 to KivBlockRegistersMax
    int32_t kind = 3;             // the host's value kind given to the address commands; 6 for a bit
    int32_t pollMs = 1000;        // 0: exception only (never polled; the listener's updates only)
    bool writable = false;
    double scale = 1.0;           // published value = raw * scale + offset
    double offset = 0.0;
    // Filled from the address by the configuration reader (the same parse the
    // driver does), so that the plan and the listener's updates need no text.
    int32_t station = 0;
    int32_t area = AreaRegister;
    int32_t number = 0;
    int32_t bit = KivWholeRegister;
};

struct ChannelSettings {
    int line = 0;                 // of the file, for messages
    std::string name;             // second topic level
    int32_t number = 1;           // the driver's channel number (kivINnn.int); 1, 2, ... in file order
    std::string port;             // /dev/ttyS0, ttyUSB0, COM1, tcp://HOST:PORT, rfc2217://HOST:PORT
    LineSettings lineSettings{19200, 8, 0, 0};
    int32_t readTimeout = 4;      // tens of milliseconds
    int32_t hostAddress = 0;
    bool exception = false;       // report-by-exception: the driver's listener runs
    std::vector<int32_t> radioTimes;  // empty, or the three radio times of the channel file
    std::vector<GateSettings> gates;
};

struct GatewaySettings {
    std::string file;             // the configuration file as given
    std::string driverPath;       // KIVLINK.so; empty: beside the program
    std::string workdir;          // where the channel files go; empty: a temporary folder
    BrokerSettings broker;
    std::vector<ChannelSettings> channels;
};

}  // namespace kivgate
