// Why a COM port did not open on Windows: the device CreateFileA was given
// and the thread's last error.
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/port_failure.h"

void DescribePortFailure(const char* name, int32_t step, KivPortFailureReport* report) {
    const DWORD code = GetLastError();
    // A COM port allows one program at a time: another one holding it is
    // what access denied means there.
    const bool taken = step == KivPortStepOpen && (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION);
    report->step = taken ? KivPortStepLock : step;
    report->systemCode = static_cast<int32_t>(code);
    const char* prefix = std::strncmp(name, "\\\\.\\", 4) == 0 ? "" : "\\\\.\\";
    std::snprintf(report->device, sizeof report->device, "%s%s", prefix, name);
}
