/* A host program built against the installed headers with pkg-config: it
   loads the installed driver as the SCADA host does and prints what
   Describe says, the banner's version row among it. Links the runtime
   stand-in, whose control interface it uses to keep the log quiet. */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "kivlink.h"
#include "tavlib_control.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: host_program DRIVER\n");
        return 3;
    }
    TavSetLogToStderr(0);
    void* driver = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (driver == NULL) {
        fprintf(stderr, "%s\n", dlerror());
        return 2;
    }
    KivMainFunction kivMain = (KivMainFunction)dlsym(driver, "KivMain");
    if (kivMain == NULL) return 2;
    DriverInfo info;
    memset(&info, 0, sizeof info);
    CallRecord call = {NULL, 14, 0, 0, &info};
    if (kivMain(&call) != 0) return 1;
    /* The fifth row, between its vertical lines. */
    printf("kind %d block %d\n%.59s\n", info.driverKind, info.blockSize, info.banner + 1 + 4 * 62 + 1);
    return 0;
}
