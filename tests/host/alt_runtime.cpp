// Another host runtime with the same seven services, for loading ahead of
// the stand-in (LD_PRELOAD): every service says so on standard output.
#include <cstdarg>
#include <cstdint>
#include <cstdio>

#define ALT_EXPORT extern "C" __attribute__((visibility("default")))

ALT_EXPORT int32_t Tav5MkClient(const char* name, int32_t, int32_t, uint8_t* clientId) {
    std::printf("alt Tav5MkClient %s\n", name);
    *clientId = 9;
    return 0;
}
ALT_EXPORT int32_t Tav5RmClient(int32_t) { return 0; }
ALT_EXPORT int32_t Tav5WaitMsg(int32_t, void*, int32_t) { return 0; }
ALT_EXPORT int32_t Tav5GetGateIdByAddress(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t*) {
    return 1;
}
ALT_EXPORT int32_t Tav5Cook(int32_t, int32_t, int32_t, double*) { return 1; }
ALT_EXPORT int32_t Tav5PutGateVal(int32_t, int32_t, int32_t, double, int32_t, int32_t) { return 1; }
ALT_EXPORT int32_t err(int32_t level, const char* format, ...) {
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    std::printf("alt err %d %s\n", level, text);
    std::fflush(stdout);
    return 0;
}
