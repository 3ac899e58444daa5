// Fuzz target: the channel configuration file, written from the input and
// read by ReadChannelConfig as Open reads it. The switches end up 0 or 1 and
// an address is reported exactly when one was found.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "driver/config.h"
#include "fuzz/support.h"

namespace {

// The file lives in a private directory, current only while it is read:
// libFuzzer opens its corpus files by the paths it was given.
const char* ScratchDirectory() {
    static char path[] = "/tmp/kiv-fuzz-config-XXXXXX";
    static const char* made = mkdtemp(path);
    if (made == nullptr) fuzzing::Fail("no scratch directory");
    return made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char previous[4096];
    if (getcwd(previous, sizeof previous) == nullptr || chdir(ScratchDirectory()) != 0) fuzzing::Fail("cannot enter");
    ChannelBlock* block = fuzzing::StartChannel(0);
    // Earlier values the reader must reset or keep.
    block->hostAddress[0] = 0xAB;
    block->hostAddress[1] = 0xCD;
    block->exceptionEnabled = 7;
    block->radioEnabled = 7;
    FILE* file = std::fopen("kivIN01.int", "wb");
    if (file == nullptr) fuzzing::Fail("cannot write the file");
    if (size > 0 && std::fwrite(data, 1, size, file) != size) fuzzing::Fail("short write");
    std::fclose(file);

    const int found = ReadChannelConfig(1);
    if (chdir(previous) != 0) fuzzing::Fail("cannot go back");
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
