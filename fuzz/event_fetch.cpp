// Fuzz target: the three event fetches with answers from the input, into
// the runtime stand-in's gates (some missing, cooking and writes failing on
// the input's word). Every gate write carries a record of an answer that the
// fetch accepted, so there are never more writes than such records.
#include <cstring>

#include "fuzz/support.h"
#include "link/exchange.h"
#include "link/frame_codec.h"
#include "requests/events.h"
#include "tavlib/tavlib_control.h"
#include "tests/support/fake_platform.h"

namespace {

// Records in the answers the fetch's exchanges accepted, counted from the
// answers to fetch requests the scripted unit saw go out: an upper bound for
// the gate writes, since every record is written at most once.
int GateWrites() { return TavGateWrites(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::Input input(data, size);
    fuzzing::StartChannel(input.Byte() & 3, true);
    const uint8_t selector = input.Byte();
    if (selector & 0x10) TavSetFault(TavFaultCook, 1);
    if (selector & 0x20) TavSetFault(TavFaultPut, 1);
    if (selector & 0x40) TavSetFault(TavFaultLookup, 1);

    GateRequest request;
    std::memset(&request, 0, sizeof request);
    request.station = input.Byte() & 3;
    int32_t values[3] = {0x11111111, 0x22222222, 0x33333333};
    request.data = (selector & 0x80) ? nullptr : values + 1;

    fuzzing::AnswerEveryWrite(input);
    int32_t result = 0;
    int recordSize = 6;
    switch (selector % 3) {
        case 0: result = FetchRegisterChanges(&request); break;
        case 1:
            result = FetchStatusEvents(&request);
            recordSize = 8;
            break;
        case 2:
            result = FetchLoggedEvents(&request);
            recordSize = 12;
            break;
    }
    fuzzing::Check(result >= 0 && result <= 2, "fetches answer 0, 1 or 2");
    fuzzing::Check(values[0] == 0x11111111 && values[2] == 0x33333333, "only the first data value is written");
    if (request.data != nullptr)
        fuzzing::Check(result == 0 ? values[1] == 0 : values[1] == 0x22222222, "the data word marks success only");
    // Each pass sends one request per try; each answer holds at most 247 / size records.
    const size_t writes = fake::Writes().size();
    fuzzing::Check(static_cast<size_t>(GateWrites()) <= writes * (247 / recordSize),
                   "no more gate writes than records");
    return 0;
}
