// Fuzz target: gate address texts with every kind, mode and block length,
// through commands 3 and 4 as the host calls them. A text is read no further
// than its NUL (the copy handed over is exactly as long), and an address
// accepted decodes into numbers inside the ranges its form allows.
#include <cstring>
#include <memory>

#include "driver/commands.h"
#include "fuzz/support.h"
#include "requests/address.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::Input input(data, size);
    const uint8_t mode = input.Byte();
    AddressRequest request;
    std::memset(&request, 0x77, sizeof request);
    request.gate.kind = static_cast<int8_t>(input.Byte());
    request.gate.blockLength = static_cast<int8_t>(input.Byte());
    const fuzzing::Bytes rest = input.Rest();
    std::unique_ptr<char[]> text(new char[rest.size() + 1]);
    if (!rest.empty()) std::memcpy(text.get(), rest.data(), rest.size());
    text[rest.size()] = '\0';
    request.text = text.get();
    const int32_t numberBefore = request.gate.number;

    CallRecord call{nullptr, (mode & 1) ? CommandCheckAddress : CommandParseAddress, 1, 0, &request};
    std::unique_ptr<ChannelBlock> block;
    if (call.command == CommandCheckAddress) {
        block.reset(new ChannelBlock());
        call.block = block.get();
    }
    const int32_t result = KivMain(&call);
    fuzzing::Check(result == 0 || result == 1, "address commands answer 0 or 1");
    fuzzing::Check(rest.empty() || std::memcmp(text.get(), rest.data(), rest.size()) == 0, "the text is not changed");
    if (result != 0) return 0;

    const GateRequest& gate = request.gate;
    fuzzing::Check(gate.station >= 0 && gate.station <= 9999, "stations have four digits");
    fuzzing::Check(gate.size == 32, "values are 32 bits");
    switch (gate.area) {
        case AreaRegister:
        case AreaStatus:
            fuzzing::Check(gate.number >= 0 && gate.number <= 8999, "numbers stop at 8999");
            fuzzing::Check(gate.bit == 255 || (gate.bit >= 0 && gate.bit <= 31 && gate.kind == 6 &&
                                               gate.area == AreaRegister && call.command == CommandParseAddress),
                           "a bit only on a register bit gate");
            if (gate.area == AreaRegister && call.command == CommandParseAddress)
                fuzzing::Check(gate.kind >= 3 && gate.kind <= 6, "register gates are of kinds 3 to 6");
            if (call.command == CommandCheckAddress)
                fuzzing::Check(gate.area == AreaRegister && gate.blockLength <= 60, "blocks are registers, 60 at most");
            break;
        case AreaLoggedEvents:
        case AreaChangeEvents:
        case AreaStatusEvents:
        case AreaClock:
            fuzzing::Check(call.command == CommandParseAddress, "event addresses name no block");
            fuzzing::Check(gate.bit == 255 && gate.number == numberBefore, "event addresses have no number or bit");
            break;
        default: fuzzing::Fail("an accepted address has a known area");
    }
    return 0;
}
