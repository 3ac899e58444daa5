// Fuzz target: CheckResponse on an answer taken from the input, with the
// host address, station, opcode and function code it must fit, and more line
// bytes behind it (read when the answer is an exception notice). An answer
// it accepts really carries what was asked for.
#include <cstring>

#include "fuzz/support.h"
#include "link/exchange.h"
#include "link/frame_codec.h"
#include "tests/support/fake_platform.h"

using fuzzing::Bytes;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::Input input(data, size);
    const uint16_t hostAddress = input.Word();
    const uint16_t station = input.Word();
    const uint8_t opcode = input.Byte();
    const uint8_t function = input.Byte() & ControlFunction;
    fuzzing::StartChannel(hostAddress);

    uint8_t answer[kMessageBufferSize];
    std::memset(answer, 0, sizeof answer);
    const Bytes first = input.Take(input.Byte());
    if (!first.empty()) std::memcpy(answer, first.data(), first.size());
    while (!input.Empty()) fuzzing::QueueAnswer(input);

    const int result = CheckResponse(answer, hostAddress, station, opcode, function);
    fuzzing::Check(result == 0 || result == 1, "CheckResponse answers 0 or 1");
    if (result == 0) {
        fuzzing::Check(answer[HeaderLength] >= 7, "an accepted answer holds a header");
        fuzzing::Check(answer[HeaderOpcode] == opcode, "an accepted answer carries the opcode");
        fuzzing::Check((answer[HeaderControl] & ControlFunction) == function, "... and the function code");
        fuzzing::Check(MessageDestination(answer) == hostAddress, "... is for us");
        fuzzing::Check(MessageSource(answer) == station, "... and from the station asked");
    }
    return 0;
}
