// Loading the driver by path (dlopen / LoadLibrary) and calling KivMain.
#include "tools/kivpoll/driver_host.h"

#include <cstring>

#if defined(_WIN32)
#include <windows.h>

#include "tools/common/serial_line.h"
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace kivpoll {

bool DriverHost::Load(const std::string& path) {
#if defined(_WIN32)
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        error_ = "cannot load " + path + ": " + kivtools::WindowsErrorText(GetLastError()) +
                 " (--driver PATH names the driver library)";
        return false;
    }
    kivMain_ = reinterpret_cast<KivMainFunction>(reinterpret_cast<void*>(GetProcAddress(module, "KivMain")));
    module_ = module;
#else
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        error_ = std::string(dlerror()) + " (--driver PATH names the driver library)";
        return false;
    }
    kivMain_ = reinterpret_cast<KivMainFunction>(dlsym(module, "KivMain"));
    module_ = module;
#endif
    if (kivMain_ == nullptr) {
        error_ = path + " has no KivMain";
        return false;
    }
    CallRecord describe{nullptr, CommandDescribe, 0, 0, &info_};
    if (kivMain_(&describe) != 0 || info_.blockSize <= 0) {
        error_ = "Describe failed";
        return false;
    }
    block_.assign(static_cast<size_t>(info_.blockSize), 0);
    return true;
}

int32_t DriverHost::Call(int32_t command, void* parameters) {
    CallRecord call{reinterpret_cast<ChannelBlock*>(block_.data()), command, channel_, 0, parameters};
    return kivMain_(&call);
}

void* DriverHost::Symbol(const char* name) const {
    if (module_ == nullptr) return nullptr;
#if defined(_WIN32)
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module_), name));
#else
    return dlsym(module_, name);
#endif
}

int32_t DriverHost::Open(const ChannelOptions& options) {
    channel_ = options.channel;
    PortSettings settings;
    std::memset(&settings, 0, sizeof settings);
    std::strncpy(settings.portName, options.port.c_str(), sizeof settings.portName - 1);
    settings.enabled = 1;
    settings.readTimeout = options.readTimeout;
    settings.line = options.line;
    return Call(CommandOpen, &settings);
}

int32_t DriverHost::Close() { return Call(CommandClose, nullptr); }

static AddressRequest RequestFor(const std::string& text, int32_t kind, int32_t blockLength) {
    AddressRequest request;
    std::memset(&request, 0, sizeof request);
    request.text = text.c_str();
    request.gate.kind = kind;
    request.gate.blockLength = blockLength;
    return request;
}

int32_t DriverHost::Address(int32_t command, const std::string& text, int32_t kind, int32_t blockLength,
                            GateRequest* gate) {
    AddressRequest request = RequestFor(text, kind, blockLength);
    int32_t result = Call(command, &request);
    *gate = request.gate;
    return result;
}

int32_t DriverHost::Refusal(int32_t command, const std::string& text, int32_t kind, int32_t blockLength) const {
    auto function = reinterpret_cast<KivAddressRefusalFunction>(Symbol("KivAddressRefusal"));
    AddressRequest request = RequestFor(text, kind, blockLength);
    return function == nullptr ? -1 : function(&request, command == CommandCheckAddress ? 1 : 0);
}

int32_t DriverHost::PortFailure(KivPortFailureReport* report) const {
    auto function = reinterpret_cast<KivPortFailureFunction>(Symbol("KivPortFailure"));
    if (function == nullptr || block_.empty()) return -1;
    return function(reinterpret_cast<const ChannelBlock*>(block_.data()), report);
}

// The folder of the running program: from the system where it says, since
// argv[0] is a bare name when the program was found on the PATH.
static std::string ProgramFolder(const char* argv0) {
    std::string program(argv0 != nullptr ? argv0 : "");
#if defined(_WIN32)
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length > 0 && length < sizeof path) program.assign(path, length);
#else
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    if (length > 0 && static_cast<size_t>(length) < sizeof path) program.assign(path, static_cast<size_t>(length));
#endif
    size_t slash = program.find_last_of("/\\");
    return slash == std::string::npos ? std::string(".") : program.substr(0, slash);
}

std::string DefaultDriverPath(const char* argv0) {
    std::string folder = ProgramFolder(argv0);
#if defined(_WIN32)
    return folder + "\\KIVLINK.dll";
#else
    // Beside the program in a build folder; in the library folder once installed.
    std::string beside = folder + "/KIVLINK.so";
#if defined(KIV_LIBDIR_FROM_BINDIR)
    if (access(beside.c_str(), F_OK) != 0) return folder + "/" KIV_LIBDIR_FROM_BINDIR "/KIVLINK.so";
#endif
    return beside;
#endif
}

#if defined(_WIN32)
}  // namespace kivpoll

// kivpoll's own import table for the runtime: the compiler calls a function
// declared dllimport through the pointer __imp_NAME, which an import library
// would have the loader fill at start. Here LoadRuntime fills them. Every
// runtime call kivpoll makes has its slot below (a call without one does
// not link: undefined __imp_ name).
#define KIV_RUNTIME_CALLS(X)                                                                               \
    X(TavClientCount) X(TavGateAddress) X(TavSetAutoDefine) X(TavSetGateCallback) X(TavSetLogCallback)   \
        X(TavSetLogToStderr) X(TavSetWaitTick) X(TavStopWaits)
#define KIV_TEXT(x) #x
#define KIV_SYMBOL(prefix, name) "__imp_" KIV_TEXT(prefix) #name
#define KIV_RUNTIME_SLOT(name) FARPROC kiv_runtime_##name __asm__(KIV_SYMBOL(__USER_LABEL_PREFIX__, name)) = nullptr;
extern "C" {
KIV_RUNTIME_CALLS(KIV_RUNTIME_SLOT)
}

namespace kivpoll {

namespace {

struct RuntimeSlot {
    const char* name;
    FARPROC* slot;
};
#define KIV_RUNTIME_ENTRY(name) {#name, &kiv_runtime_##name},
const RuntimeSlot kRuntimeSlots[] = {KIV_RUNTIME_CALLS(KIV_RUNTIME_ENTRY)};

}  // namespace

std::string LoadRuntime() {
    const std::string folder = ProgramFolder(nullptr);
    const std::string places[] = {folder + "\\test-stand-in", folder};
    // A module that does not load says so here, not in a dialog box.
    SetErrorMode(SetErrorMode(0) | SEM_FAILCRITICALERRORS);
    for (const std::string& place : places) {
        const std::string path = place + "\\TAVLIB.DLL";
        if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) continue;
        HMODULE module = LoadLibraryA(path.c_str());
        if (module == nullptr) return "cannot load the runtime stand-in " + path + ": " +
                                      kivtools::WindowsErrorText(GetLastError());
        // The host's own TAVLIB.DLL has the runtime's services but not the
        // stand-in's control calls kivpoll makes.
        for (const RuntimeSlot& entry : kRuntimeSlots) {
            *entry.slot = GetProcAddress(module, entry.name);
            if (*entry.slot != nullptr) continue;
            FreeLibrary(module);
            return path + " is not the runtime stand-in (it has no " + entry.name +
                   "; kivpoll needs the kit's test-stand-in\\TAVLIB.DLL)";
        }
        return "";
    }
    return "the runtime stand-in TAVLIB.DLL is neither in " + places[0] + " nor in " + places[1] +
           " (the kit keeps it in test-stand-in\\; unzip the whole kit)";
}
#else
std::string LoadRuntime() { return ""; }
#endif

}  // namespace kivpoll
