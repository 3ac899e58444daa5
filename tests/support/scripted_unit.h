// A unit on the other end of the fake port, for tests of the request code.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "link/frame_codec.h"
#include "tests/support/fake_platform.h"

using Bytes = std::vector<uint8_t>;

// A unit on the other end of the fake port: decodes every frame the driver
// writes, keeps the messages, and answers as a unit would unless a test
// shapes or withholds the answer.
struct ScriptedUnit {
    uint16_t table[256];
    std::vector<Bytes> requests;                 // messages received, length byte first
    std::map<uint16_t, uint32_t> registers;      // the unit's register values
    std::function<void(Bytes& answer)> shape;    // changes each answer before it is sent
    int silentAnswers = 0;                       // this many requests go unanswered first
    bool answerLinkResets = true;
    // Puts an answer's frame on the line; unset: at once, whole.
    std::function<void(HANDLE port, const Bytes& frame)> deliver;

    // A reply to a request: addresses swapped, set and opcode kept.
    static Bytes ReplyTo(const Bytes& request, uint8_t function, const Bytes& payload) {
        Bytes answer(8 + payload.size());
        answer[0] = static_cast<uint8_t>(7 + payload.size());
        answer[1] = function;
        answer[2] = request[4];
        answer[3] = request[5];
        answer[4] = request[2];
        answer[5] = request[3];
        answer[6] = request[6];
        answer[7] = request[7];
        for (size_t i = 0; i < payload.size(); ++i) answer[8 + i] = payload[i];
        return answer;
    }

    Bytes Answer(const Bytes& request) {
        if (request[6] == 0) return answerLinkResets ? ReplyTo(request, 0, {}) : Bytes();
        const uint16_t first = static_cast<uint16_t>((request[8] << 8) | request[9]);
        switch (request[7]) {
        case 1: {
            Bytes payload = {request[8], request[9], request[10]};  // three bytes the driver skips
            for (int k = 0; k < request[10]; ++k) {
                const uint32_t value = registers[static_cast<uint16_t>(first + k)];
                for (int shift = 24; shift >= 0; shift -= 8) payload.push_back(static_cast<uint8_t>(value >> shift));
            }
            return ReplyTo(request, 6, payload);
        }
        case 3:
            for (size_t at = 8; at + 6 <= request.size(); at += 6) {
                const uint16_t number = static_cast<uint16_t>((request[at] << 8) | request[at + 1]);
                registers[number] = (uint32_t(request[at + 2]) << 24) | (uint32_t(request[at + 3]) << 16) |
                                    (uint32_t(request[at + 4]) << 8) | request[at + 5];
            }
            return ReplyTo(request, 0, {});
        case 4: {
            const uint32_t mask = 1u << (request[10] & 0x1F);
            if (request[10] & 0x80) registers[first] |= mask; else registers[first] &= ~mask;
            return ReplyTo(request, 0, {});
        }
        default: return ReplyTo(request, 0, {});
        }
    }

    void Hear(HANDLE port, const Bytes& frame) {
        Bytes message(kMessageBufferSize);
        ASSERT_GE(frame.size(), 5u);
        ASSERT_EQ(FrameSizeFor(frame[2]), frame.size());
        ASSERT_EQ(1, CheckFrameBlocks(table, frame.data(), message.data()));
        message.resize(message[0] + 1u);
        requests.push_back(message);
        if (message[6] != 0 && silentAnswers > 0) {
            --silentAnswers;
            return;
        }
        Bytes answer = Answer(message);
        if (answer.empty()) return;
        if (shape && message[6] != 0) shape(answer);
        Bytes out(kFrameBufferSize);
        out.resize(EncodeFrameWith(table, answer.data(), out.data()));
        if (deliver) {
            deliver(port, out);
        } else {
            fake::QueueInput(out, 0, port);
        }
    }
};
