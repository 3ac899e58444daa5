// The fuzz targets' shared pieces: channel set-up and the
// scripted unit on the fake port.
#include "fuzz/support.h"

#include <cstring>
#include <memory>

#include "link/exchange.h"
#include "link/frame_io.h"
#include "tavlib/tavlib_control.h"
#include "tests/support/fake_platform.h"

namespace fuzzing {

namespace {

constexpr uint64_t kSplitGapMs = 50;
constexpr uint64_t kLateInTimeMs = 400;
constexpr uint64_t kAfterTimeoutMs = 1500;

Bytes lastRequest;

// The header fields of an answer to request (when it holds a header): its
// addresses swapped.
void MirrorAddresses(const Bytes& request, Bytes* message) {
    if (request.size() < HeaderSize) return;
    (*message)[HeaderDestination] = request[HeaderSource];
    (*message)[HeaderDestination + 1] = request[HeaderSource + 1];
    (*message)[HeaderSource] = request[HeaderDestination];
    (*message)[HeaderSource + 1] = request[HeaderDestination + 1];
}

// The sound answer to the last request, with length and payload from the
// input and the given source.
Bytes AnswerMessage(Input& input, bool otherSource) {
    const Bytes& request = lastRequest;
    const uint8_t length = static_cast<uint8_t>(HeaderSize - 1 + input.Byte() % (256 - (HeaderSize - 1)));
    Bytes message(static_cast<size_t>(length) + 1, 0);
    message[HeaderLength] = length;
    MirrorAddresses(request, &message);
    if (request.size() >= HeaderSize) {
        const bool asksData = (request[HeaderControl] & ControlFunction) == FunctionAskData;
        message[HeaderControl] = asksData ? FunctionAnswerData : FunctionAck;
        message[HeaderSet] = request[HeaderSet];
        message[HeaderOpcode] = request[HeaderOpcode];
    }
    if (otherSource) message[HeaderSource + 1] ^= static_cast<uint8_t>(1 + input.Byte() % 255);
    const Bytes payload = input.Take(length - (HeaderSize - 1));
    std::copy(payload.begin(), payload.end(), message.begin() + HeaderSize);
    return message;
}

Bytes NoticeFrom(const Bytes& request, uint8_t classes) {
    Bytes notice(10, 0);
    notice[HeaderLength] = 9;
    notice[HeaderControl] = ControlPrm | ControlFcv | FunctionSendData;
    MirrorAddresses(request, &notice);
    notice[HeaderSet] = 1;
    notice[HeaderOpcode] = OpcodeExceptionNotice;
    notice[9] = classes;
    return notice;
}

}  // namespace

ChannelBlock* StartChannel(uint16_t hostAddress, bool gates) {
    static std::unique_ptr<ChannelBlock> block(new ChannelBlock());
    fake::Reset();
    TavReset();
    TavSetLogToStderr(0);
    lastRequest.clear();
    std::memset(block.get(), 0, sizeof(ChannelBlock));
    SetCurrentChannel(block.get());
    block->portHandle = HandleToField(fake::OpenPort("COM1"));
    block->hostAddress[0] = static_cast<uint8_t>(hostAddress >> 8);
    block->hostAddress[1] = static_cast<uint8_t>(hostAddress);
    block->channelNumber = 1;
    block->clientId = 1;
    CrcInit();
    if (gates) DefineSomeGates();
    return block.get();
}

Bytes FrameOf(const Bytes& message) {
    Bytes frame(kFrameBufferSize);
    frame.resize(EncodeFrameWith(FrameCrcTable(), message.data(), frame.data()));
    return frame;
}

void QueueAnswer(Input& input) {
    if (input.Empty()) return;
    const uint8_t shape = input.Byte();
    Bytes bytes;
    switch (shape & 7) {
        case 0: {
            Bytes message(1, input.Byte());
            const Bytes rest = input.Take(message[0]);
            message.insert(message.end(), rest.begin(), rest.end());
            message.resize(static_cast<size_t>(message[0]) + 1, 0);
            bytes = FrameOf(message);
            break;
        }
        case 1: bytes = FrameOf(AnswerMessage(input, false)); break;
        case 2: bytes = input.Take(input.Byte()); break;
        case 3: {
            bytes = FrameOf(AnswerMessage(input, false));
            const uint16_t at = input.Word();
            bytes[at % bytes.size()] ^= static_cast<uint8_t>(1u << (at >> 13));
            break;
        }
        case 4: {
            bytes = FrameOf(AnswerMessage(input, false));
            bytes.resize(input.Byte() % bytes.size());
            break;
        }
        case 5: return;
        case 6: {
            bytes = FrameOf(NoticeFrom(lastRequest, input.Byte()));
            const Bytes answer = FrameOf(AnswerMessage(input, false));
            bytes.insert(bytes.end(), answer.begin(), answer.end());
            break;
        }
        case 7: bytes = FrameOf(AnswerMessage(input, true)); break;
    }
    switch ((shape >> 3) & 3) {
        case 0: fake::QueueInput(bytes); break;
        case 1: {
            const size_t half = bytes.size() / 2;
            fake::QueueInput(Bytes(bytes.begin(), bytes.begin() + static_cast<long>(half)));
            fake::QueueInput(Bytes(bytes.begin() + static_cast<long>(half), bytes.end()), kSplitGapMs);
            break;
        }
        case 2: fake::QueueInput(bytes, kLateInTimeMs); break;
        case 3: fake::QueueInput(bytes, kAfterTimeoutMs); break;
    }
}

void AnswerEveryWrite(Input& input) {
    fake::SetResponder([&input](HANDLE, const std::vector<uint8_t>& written) {
        lastRequest.clear();
        if (written.size() >= 3 && written.size() == FrameSizeFor(written[2])) {
            uint8_t message[kMessageBufferSize];
            if (CheckFrameBlocks(FrameCrcTable(), written.data(), message))
                lastRequest.assign(message, message + message[0] + 1);
        }
        QueueAnswer(input);
    });
}

void DefineSomeGates() {
    int n = 0;
    for (int32_t station = 0; station < 4; ++station) {
        for (int32_t number = 0; number < 16; ++number) {
            if (++n % 3 == 0) continue;
            TavDefineGateAt(0, station, AreaRegister, number, 255, 1.0, 0.0);
            TavDefineGateAt(0, station, AreaStatus, number, 255, 1.0, 0.0);
        }
    }
}

}  // namespace fuzzing
