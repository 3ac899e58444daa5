// kivpoll's host side: loads the driver as the SCADA host does, keeps one
// channel block and calls the driver only through KivMain.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kivlink.h"

namespace kivpoll {

struct ChannelOptions {
    std::string driverPath;   // KIVLINK.so / KIVLINK.dll
    std::string port;         // as the driver names it (/dev/pts/7, COM1, NUL)
    LineSettings line{19200, 8, 0, 0};
    int32_t readTimeout = 4;  // tens of ms
    int32_t channel = 1;
};

// The library stays loaded when the host ends: a listener thread of the
// driver may still be running when the program ends.
class DriverHost {
public:
    DriverHost() = default;
    DriverHost(const DriverHost&) = delete;
    DriverHost& operator=(const DriverHost&) = delete;

    // Loads the driver and asks Describe; false with a reason in error().
    bool Load(const std::string& path);
    const DriverInfo& info() const { return info_; }
    const std::string& error() const { return error_; }

    // The commands; each returns the driver's result.
    int32_t Open(const ChannelOptions& options);
    int32_t Close();
    // An address command (CommandParseAddress, CommandCheckAddress) on text;
    // the gate as the command fills it.
    int32_t Address(int32_t command, const std::string& text, int32_t kind, int32_t blockLength, GateRequest* gate);
    // Why that command refuses text: an AddressRefusal, or -1 when the
    // driver does not say (no KivAddressRefusal export).
    int32_t Refusal(int32_t command, const std::string& text, int32_t kind, int32_t blockLength) const;
    // Why the channel's port is not in use (the driver's KivPortFailure
    // export): 1 with *report filled, 0 when nothing failed, -1 when the
    // driver does not say.
    int32_t PortFailure(KivPortFailureReport* report) const;
    int32_t Call(int32_t command, void* parameters);
    // An export of the loaded driver beside KivMain, or nullptr.
    void* Symbol(const char* name) const;

private:
    KivMainFunction kivMain_ = nullptr;
    void* module_ = nullptr;
    DriverInfo info_{};
    std::vector<unsigned char> block_;
    int32_t channel_ = 1;
    std::string error_;
};

// The driver file that sits beside the running program.
std::string DefaultDriverPath(const char* argv0);

// Makes the host runtime (the stand-in) ready before the first call to it;
// "" when it is, else the line that says what is missing. On Windows
// kivpoll has no import of the runtime, so that a kit unzipped anywhere
// starts without the stand-in on the DLL search path: this loads it from
// the kit's test-stand-in folder beside the program, or from beside the
// program (a build folder), and binds kivpoll's calls to it. The driver's
// own import of TAVLIB.DLL then binds to that module by its name, so that
// driver and poller share one runtime. Elsewhere the program is linked with
// the runtime and this has nothing to do.
std::string LoadRuntime();

}  // namespace kivpoll
