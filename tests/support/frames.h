// Frames for tests: the frame of a message, with the driver's own CRCs.
#pragma once

#include "tests/support/line_pair.h"

// The frame of a message (length byte first), with its CRCs.
Bytes FrameOf(const Bytes& message);
