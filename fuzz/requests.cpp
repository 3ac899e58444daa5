// Fuzz target: the host's read and write commands with a gate request from
// the input, answered by a scripted unit whose answers come from the input.
// Whatever the answers, the result is 0, 1 or 2, nothing is written outside
// the request's data area, a failed read leaves the data alone, and values
// read are those of the answer the read accepted.
#include <cstring>

#include "driver/commands.h"
#include "fuzz/support.h"
#include "link/exchange.h"
#include "requests/registers.h"
#include "tests/support/fake_platform.h"

namespace {

constexpr int kDataEntries = 64;
constexpr int32_t kCanary = 0x5A5A5A5A;
const int32_t kCommands[] = {CommandRead, CommandReadBlock, CommandWrite, CommandWriteBlock};
const int32_t kAreas[] = {AreaRegister, AreaStatus, AreaLoggedEvents, AreaChangeEvents, AreaStatusEvents, AreaClock};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::Input input(data, size);
    ChannelBlock* block = fuzzing::StartChannel(input.Byte() & 3, true);
    const uint8_t selector = input.Byte();
    const int32_t command = kCommands[selector & 3];
    GateRequest request;
    std::memset(&request, 0, sizeof request);
    request.station = input.Byte() & 3;
    request.area = (selector & 0x80) ? static_cast<int8_t>(input.Byte()) : kAreas[(selector >> 2) % 6];
    request.number = input.Word();
    request.bit = (selector & 0x40) ? 255 : input.Byte() % 40;
    request.count = static_cast<int8_t>(input.Byte());
    if (selector & 0x20) block->linkReset[request.station] = 1;

    int32_t values[kDataEntries + 2];
    for (int32_t& value : values) value = kCanary;
    for (int k = 1; k <= kDataEntries; ++k) values[k] = static_cast<int32_t>(0x01000000 * k + k);
    int32_t before[kDataEntries + 2];
    std::memcpy(before, values, sizeof values);
    request.data = values + 1;

    fuzzing::AnswerEveryWrite(input);
    CallRecord call{block, command, 1, 0, &request};
    const int32_t count = request.count;
    const int32_t result = KivMain(&call);

    fuzzing::Check(result >= 0 && result <= 2, "commands answer 0, 1 or 2");
    fuzzing::Check(values[0] == kCanary && values[kDataEntries + 1] == kCanary, "nothing written around the data area");
    const bool reads = command == CommandRead || command == CommandReadBlock;
    if (reads && result != 0)
        fuzzing::Check(std::memcmp(before, values, sizeof values) == 0, "a failed read leaves the data alone");
    if (command == CommandReadBlock && result == 0 && request.area == AreaRegister) {
        for (int k = count; k < kDataEntries; ++k)
            fuzzing::Check(request.data[k] == before[k + 1], "a block read stores count values, no more");
    }
    if (!reads) fuzzing::Check(std::memcmp(before, values, sizeof values) == 0, "writes leave the values alone");
    return 0;
}
