// A minimal host: loads the driver by path as a SCADA host does (without
// linking the runtime itself), calls Describe with and without a block, then
// an Open whose configuration file is missing (so the driver logs), and
// prints what it saw, one fact per line.
//
// With "cycles N" it instead opens and closes a channel N times, each time
// in a fresh block that it frees after Close, with report-by-exception on
// and off by turns, then unloads the driver, and prints the threads, open
// descriptors (handles) and host clients before and after the cycles, and
// after the unload whether the driver is gone and the threads.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kivlink.h"
#include "tests/support/channel_file.h"

typedef int32_t(
#if defined(_WIN32)
    __cdecl
#endif
        * CountFunction)(void);

#if defined(_WIN32)
#include <windows.h>
#include <tlhelp32.h>
static HMODULE driverModule;
static KivMainFunction LoadDriver(const char* path) {
    driverModule = LoadLibraryA(path);
    if (driverModule == nullptr) return nullptr;
    return reinterpret_cast<KivMainFunction>(reinterpret_cast<void*>(GetProcAddress(driverModule, "KivMain")));
}
static bool UnloadDriver() { return FreeLibrary(driverModule) != 0; }
// True when no module of that name is left in the process.
static bool DriverGone(const char* path) { return GetModuleHandleA(path) == nullptr; }
static CountFunction RuntimeClientCount() {
    HMODULE runtime = GetModuleHandleA("TAVLIB.DLL");
    if (runtime == nullptr) return nullptr;
    return reinterpret_cast<CountFunction>(reinterpret_cast<void*>(GetProcAddress(runtime, "TavClientCount")));
}
static int ThreadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snapshot);
    return count;
}
static int DescriptorCount() {
    DWORD handles = 0;
    return GetProcessHandleCount(GetCurrentProcess(), &handles) ? static_cast<int>(handles) : -1;
}
#else
#include <dirent.h>
#include <dlfcn.h>
static void* driverModule;
static KivMainFunction LoadDriver(const char* path) {
    driverModule = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (driverModule == nullptr) {
        std::printf("dlopen: %s\n", dlerror());
        return nullptr;
    }
    return reinterpret_cast<KivMainFunction>(dlsym(driverModule, "KivMain"));
}
static bool UnloadDriver() { return dlclose(driverModule) == 0; }
// True when the library is no longer mapped (dlclose may keep it).
static bool DriverGone(const char* path) {
    void* again = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (again == nullptr) return true;
    dlclose(again);
    return false;
}
static CountFunction RuntimeClientCount() {
    // The runtime the driver brought in is already loaded: find it there.
    void* self = dlopen(nullptr, RTLD_NOW);
    void* found = self != nullptr ? dlsym(RTLD_DEFAULT, "TavClientCount") : nullptr;
    if (found == nullptr) {
        void* runtime = dlopen("libTAVLIB.so", RTLD_NOW | RTLD_NOLOAD);
        if (runtime != nullptr) found = dlsym(runtime, "TavClientCount");
    }
    return reinterpret_cast<CountFunction>(found);
}
static int EntriesIn(const char* folder) {
    DIR* directory = opendir(folder);
    if (directory == nullptr) return -1;
    int count = 0;
    while (struct dirent* entry = readdir(directory)) count += entry->d_name[0] != '.';
    closedir(directory);
    return count;
}
static int ThreadCount() { return EntriesIn("/proc/self/task"); }
static int DescriptorCount() { return EntriesIn("/proc/self/fd"); }
#endif

// Channel 98 listens, 99 does not; both run on the null device.
static int RunCycles(KivMainFunction kivMain, const char* driverPath, int cycles, int32_t blockSize) {
    if (!WriteChannelFile(98, "HostAddress=1\nEXCEPTION=ON\n", true) || !WriteChannelFile(99, "HostAddress=1\n", true))
        return 1;
    const int threads = ThreadCount();
    const int descriptors = DescriptorCount();
    CountFunction clients = RuntimeClientCount();
    const int clientsBefore = clients != nullptr ? clients() : -1;
    int failures = 0;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        // calloc: the host hands blocks over zero-filled.
        ChannelBlock* block = static_cast<ChannelBlock*>(std::calloc(1, static_cast<size_t>(blockSize)));
        PortSettings port;
        std::memset(&port, 0, sizeof port);
        std::strcpy(port.portName, "NUL");
        port.enabled = 1;
        port.readTimeout = 4;
        const int32_t channel = cycle % 2 == 0 ? 98 : 99;
        CallRecord open{block, 1, channel, 0, &port};
        CallRecord close{block, 11, channel, 0, nullptr};
        failures += kivMain(&open) != 0;
        failures += kivMain(&close) != 0;
        std::free(block);
    }
    const int clientsAfter = clients != nullptr ? clients() : -1;
    std::printf("cycles %d failures %d threads %d %d descriptors %d %d clients %d %d\n", cycles, failures, threads,
                ThreadCount(), descriptors, DescriptorCount(), clientsBefore, clientsAfter);
    std::fflush(stdout);
    const bool unloaded = UnloadDriver();
    std::printf("unloaded %d gone %d threads %d\n", unloaded ? 1 : 0, DriverGone(driverPath) ? 1 : 0, ThreadCount());
    std::remove("kivIN98.int");
    std::remove("kivIN99.int");
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: kiv_host_probe DRIVER [cycles N]\n");
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

    if (argc >= 4 && std::string(argv[2]) == "cycles") return RunCycles(kivMain, argv[1], std::atoi(argv[3]), info.blockSize);

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
