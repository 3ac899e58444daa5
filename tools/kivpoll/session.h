// One kivpoll run: the channel's configuration file, the driver opened on
// the port, the requests, the listening and the summary.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/kivpoll/driver_host.h"
#include "tools/kivpoll/host_log.h"
#include "tools/kivpoll/line_tap.h"
#include "tools/kivpoll/output.h"

namespace kivpoll {

enum : int { kExitDone = 0, kExitRefused = 1, kExitNoAnswer = 2, kExitUsage = 3, kExitPort = 4, kExitConfig = 5 };

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
    TapOutputs tap;          // trace and capture: through a tap on the line when wanted
    bool quiet = false;
    bool progress = false;  // standard output is a terminal
    bool demo = false;
    std::string decodeFile;  // print this capture file and end
    OutputOptions output;
    std::string outputFile;   // --output: rows there instead of standard output
    LogOptions log;
    std::string checkConfig;  // --check-config: report on this channel file and end
};

// What one request asks for, beyond its address.
struct RequestSpec {
    int32_t count = 1;                // registers of a block read
    bool write = false;
    std::vector<int32_t> values;      // written values (a bit address: 0 or 1)
    int32_t kind = -1;                // -1: 3, or 6 for bit addresses
};

// Figures for the summary.
struct Summary {
    int requests = 0, done = 0, refused = 0, noAnswer = 0, gateUpdates = 0, lineFaults = 0;
    std::vector<double> rtts;
};

// Runs requests through the driver and reports each as a row.
class Requester {
public:
    Requester(DriverHost& host, Output& output, Summary& summary) : host_(host), output_(output), summary_(summary) {}
    // One request for one address; returns the driver's result.
    int32_t Request(const std::string& address, const RequestSpec& spec, std::vector<int32_t>* values = nullptr);

private:
    int32_t Timed(int32_t command, GateRequest* gate, double* ms);
    void Explain(const std::vector<std::string>& log, ResultRow* row);
    void Report(const ResultRow& row);
    void ReadRegister(const std::string& text, const RequestSpec& spec, GateRequest* gate, int32_t kind, ResultRow* row);
    void WriteRegister(const RequestSpec& spec, GateRequest* gate, int32_t kind, ResultRow* row);
    DriverHost& host_;
    Output& output_;
    Summary& summary_;
};

// The runtime stand-in reports to this output while attached: gate updates
// as rows, the driver's log on standard error, a progress line when asked.
void AttachRuntime(Output* output, Summary* summary, bool progress);
void DetachRuntime();
// Stops every client wait and, when a listener runs, gives it time to end.
void StopListeners(bool listening);
void SetProgress(const Summary& summary, const std::string& what);
// The summary goes where the rows go; beside CSV rows, to standard error.
void PrintSummary(const Summary& summary, const OutputOptions& output, std::FILE* out = stdout);
int ExitCodeFor(const Summary& summary);

// The text of a channel configuration file for these options.
std::string ConfigText(const SessionOptions& options);
// Writes the configuration text into a working folder (a fresh temporary
// one when folder is empty) and makes it current, where the driver reads it.
bool PrepareWorkFolder(const std::string& text, int32_t channel, std::string* folder, bool* temporary);
void RemoveWorkFolder(const std::string& folder, int32_t channel);
// The port name kivpoll gives a network line in the port map it writes.
extern const char kNetworkPortName[];
// Writes the port map (kivports.int) that maps kNetworkPortName to url,
// in the current folder.
bool WritePortMap(const std::string& url);
std::string AbsolutePath(const std::string& path);

int RunSession(const SessionOptions& options);
// --check-config: prints the report; kExitDone when the driver can use the
// file, kExitConfig when not.
int RunCheckConfig(const SessionOptions& options);

// True for an address with bit digits (R0012030105).
bool IsBitAddress(const std::string& text);
// Makes a port name fit the 11 characters the driver takes: a device path
// under /dev/ becomes the name below /dev/ (the driver looks names up
// there). false when it cannot be made to fit.
bool ShortPortName(std::string* port);
int RunDemo(const SessionOptions& options);

}  // namespace kivpoll
