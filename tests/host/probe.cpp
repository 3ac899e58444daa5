// A minimal host: loads the driver by path as a SCADA host does (without
// linking the runtime itself), calls Describe with and without a block, then
// an Open whose configuration file is missing (so the driver logs), and
// prints what it saw, one fact per line.
#include <cstdio>
#include <cstring>
#include <vector>

#include "kivlink.h"

#if defined(_WIN32)
#include <windows.h>
static KivMainFunction LoadDriver(const char* path) {
    HMODULE module = LoadLibraryA(path);
    if (module == nullptr) return nullptr;
    return reinterpret_cast<KivMainFunction>(reinterpret_cast<void*>(GetProcAddress(module, "KivMain")));
}
#else
#include <dlfcn.h>
static KivMainFunction LoadDriver(const char* path) {
    void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        std::printf("dlopen: %s\n", dlerror());
        return nullptr;
    }
    return reinterpret_cast<KivMainFunction>(dlsym(module, "KivMain"));
}
#endif

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: kiv_host_probe DRIVER\n");
        return 2;
    }
    KivMainFunction kivMain = LoadDriver(argv[1]);
    if (kivMain == nullptr) {
        std::printf("load failed\n");
        return 1;
    }
    DriverInfo info;
    std::memset(&info, 0, sizeof info);
    CallRecord describe{nullptr, 14, 0, 0, &info};
    int32_t result = kivMain(&describe);
    std::printf("describe %d %d \"%s\" %d %d %d %d/%d/%d/%d %d\n", result, info.driverKind, info.deviceName,
                static_cast<int>(std::strlen(info.banner)), info.blockSize, info.defaultReadTimeout,
                info.defaultLine.baudRate, info.defaultLine.dataBits, info.defaultLine.stopBits,
                info.defaultLine.parity, info.defaultExtra);

    std::vector<unsigned char> block(static_cast<size_t>(info.blockSize), 0);
    PortSettings port;
    std::memset(&port, 0, sizeof port);
    std::strcpy(port.portName, "NUL");
    port.enabled = 1;
    port.readTimeout = 4;
    // Channel 97: no kivIN97.int exists where the tests run.
    CallRecord open{reinterpret_cast<ChannelBlock*>(block.data()), 1, 97, 0, &port};
    std::fflush(stdout);
    result = kivMain(&open);
    std::printf("open %d\n", result);
    return 0;
}
