// Placeholder until this module is written.
#include "driver/config.h"

int ReadConfigLine(FILE*, char*) { return 0; }
int ReadChannelConfig(int32_t) { return 0; }
