// Why a port did not open, in the system's own terms: what the port name
// stood for, the step that failed and the system's error code for it.
#pragma once

#include <cstdint>

#include "kivlink.h"

// Fills report's device, step and systemCode for the port name whose open
// failed on this thread just now: right after CreateFileA failed (step
// KivPortStepOpen) or a call setting the opened port up failed
// (KivPortStepSettings), before any other platform call. Where the
// platform's own open saw more (a name that maps to nothing, a lock held by
// another program, a connection refused) it names that step instead.
void DescribePortFailure(const char* name, int32_t step, KivPortFailureReport* report);
