// Placeholder until this module is written.
#include "requests/address.h"

int32_t ParseAddressText(AddressRequest*, AddressMode) { return 1; }
int32_t ParseAddress(CallRecord*) { return 1; }
int32_t CheckAddress(CallRecord*) { return 1; }
