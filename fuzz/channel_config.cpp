// Fuzz target: the channel configuration file, written from the input and
// read by ReadChannelConfig as Open reads it. The switches end up 0 or 1 and
// an address is reported exactly when one was found.
#include "driver/config.h"
#include "fuzz/support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ChannelBlock* block = fuzzing::StartChannel(0);
    // Earlier values the reader must reset or keep.
    block->hostAddress[0] = 0xAB;
    block->hostAddress[1] = 0xCD;
    block->exceptionEnabled = 7;
    block->radioEnabled = 7;
    int found;
    {
        fuzzing::InScratchDirectory here;
        fuzzing::WriteScratchFile("kivIN01.int", data, size);
        found = ReadChannelConfig(1);
    }
    fuzzing::Check(found == 0 || found == 1, "the reader answers 0 or 1");
    fuzzing::Check(block->exceptionEnabled <= 1 && block->radioEnabled <= 1, "switches are 0 or 1");
    if (!found)
        fuzzing::Check(block->hostAddress[0] == 0xAB && block->hostAddress[1] == 0xCD,
                       "without an address the stored one stays");
    if (block->radioEnabled == 0)
        fuzzing::Check(block->radioOnTime == 200 && block->radioOffTime == 200 && block->radioDelayTime == 200,
                       "without a radio line the times are the defaults");
    return 0;
}
