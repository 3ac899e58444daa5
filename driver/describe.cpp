// Describe (command 14): the driver's identity, banner and block size.
#include <cstring>

#include "base/channel_block.h"
#include "driver/commands.h"
#include "kiv_version.h"

const char kDeviceName[] = "INTROL, DPC3000";

// Code page 437: a framed box of six rows of 61 characters, after a newline.
#define BOX_H "\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4"
#define BOX_TOP "\xDA" BOX_H BOX_H BOX_H BOX_H BOX_H "\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4" "\xBF\n"
#define BOX_BOTTOM "\xC0" BOX_H BOX_H BOX_H BOX_H BOX_H "\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4" "\xD9\n"
#define FULL5 "\xDB\xDB\xDB\xDB\xDB"
#define DARK6 "\xB2\xB2\xB2\xB2\xB2\xB2"
#define MEDIUM6 "\xB1\xB1\xB1\xB1\xB1\xB1"
#define LIGHT6 "\xB0\xB0\xB0\xB0\xB0\xB0"

const char kBanner[] =
    "\n" BOX_TOP
    "\xB3 " FULL5 DARK6 MEDIUM6 LIGHT6 " K I V I N " LIGHT6 MEDIUM6 DARK6 FULL5 " \xB3\n"
    "\xB3            INTROL SYSTEMS , Driver installed.             \xB3\n"
    "\xB3             DPC3000 - TDE protocol,SCADA set              \xB3\n"
    "\xB3" KIV_BANNER_VERSION_ROW "\xB3\n"
    BOX_BOTTOM;

static_assert(sizeof(kBanner) == 374, "the banner is 373 characters");

int32_t Describe(CallRecord* call) {
    DriverInfo* info = static_cast<DriverInfo*>(call->parameters);
    info->driverKind = 70;
    info->deviceName = kDeviceName;
    info->banner = kBanner;
    info->blockSize = static_cast<int32_t>(sizeof(ChannelBlock));
    info->defaultReadTimeout = 4;
    info->defaultLine.baudRate = 19200;
    info->defaultLine.dataBits = 8;
    info->defaultLine.stopBits = 0;
    info->defaultLine.parity = 0;
    info->defaultExtra = 3;
    return 0;
}
