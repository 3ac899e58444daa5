// A unit on the other end of a port, for tests of the request code: it
// decodes every frame the driver writes, keeps the messages, and answers as a
// unit would unless a test shapes or withholds the answer. The fake port hands
// it frames through Hear, a line's responder through FramesFor.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "link/frame_codec.h"
#include "tests/support/fake_platform.h"

using Bytes = std::vector<uint8_t>;

// Answers link resets, reads from its registers, writes and bit sets into
// them, keeps the clock payload, and serves fetches from three queues of event
// records (as many as fit, the more flag while some remain). What it gets as a
// secondary (acknowledgements, link reset replies) it only keeps.
struct ScriptedUnit {
    ScriptedUnit() { CrcBuildTable(table); }

    uint16_t table[256];
    std::vector<Bytes> requests;                // messages received, length byte first
    std::map<uint16_t, uint32_t> registers;     // the unit's register values
    Bytes clock;                                // the payload of the last clock set
    std::deque<Bytes> changes, status, logged;  // event records waiting for a fetch
    std::function<void(Bytes& answer)> shape;   // changes each set-1 answer before it is sent
    int silentAnswers = 0;                      // this many set-1 requests go unanswered first
    bool answerLinkResets = true;
    // Runs for each message before it is answered, outside the unit's lock;
    // false withholds the answer.
    std::function<bool(const Bytes& message)> onRequest;
    // Puts an answer's frame on the fake port; unset: at once, whole.
    std::function<void(HANDLE port, const Bytes& frame)> deliver;
    // Held by a test that reads or changes the unit while a line's responder
    // may be answering.
    std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(mutex); }

    // A reply to a request: addresses swapped, set and opcode kept.
    static Bytes ReplyTo(const Bytes& request, uint8_t function, const Bytes& payload) {
        Bytes answer = {static_cast<uint8_t>(7 + payload.size()), function, request[4], request[5], request[2],
                        request[3], request[6], request[7]};
        answer.insert(answer.end(), payload.begin(), payload.end());
        return answer;
    }

    // The message answering a request; empty: none.
    Bytes Answer(const Bytes& request) {
        if ((request[1] & 0x40) == 0) return {};
        if (request[6] == 0) return answerLinkResets ? ReplyTo(request, 0, {}) : Bytes();
        // The first register of a read or a bit write (fetches and clock sets carry none).
        const uint16_t first = request.size() >= 10 ? static_cast<uint16_t>((request[8] << 8) | request[9]) : 0;
        switch (request[7]) {
        case 0: return Fetch(request, changes, 6);
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
        case 5: return Fetch(request, status, 8);
        case 6: return Fetch(request, logged, 12);
        case 7: clock.assign(request.begin() + 8, request.end()); return ReplyTo(request, 0, {});
        default: return ReplyTo(request, 0, {});
        }
    }

    // The frames answering a message (none or one); keeps the message.
    std::vector<Bytes> FramesFor(const Bytes& message) {
        std::function<bool(const Bytes&)> hook;
        {
            std::lock_guard<std::mutex> lock(mutex);
            requests.push_back(message);
            hook = onRequest;
        }
        if (hook && !hook(message)) return {};
        std::lock_guard<std::mutex> lock(mutex);
        if (message[6] != 0 && silentAnswers > 0) {
            --silentAnswers;
            return {};
        }
        Bytes answer = Answer(message);
        if (answer.empty()) return {};
        if (shape && message[6] != 0) shape(answer);
        Bytes frame(kFrameBufferSize);
        frame.resize(EncodeFrameWith(table, answer.data(), frame.data()));
        return {frame};
    }

    void Hear(HANDLE port, const Bytes& frame) {
        Bytes message(kMessageBufferSize);
        ASSERT_GE(frame.size(), 5u);
        ASSERT_EQ(FrameSizeFor(frame[2]), frame.size());
        ASSERT_EQ(1, CheckFrameBlocks(table, frame.data(), message.data()));
        message.resize(message[0] + 1u);
        for (const Bytes& out : FramesFor(message)) {
            if (deliver) {
                deliver(port, out);
            } else {
                fake::QueueInput(out, 0, port);
            }
        }
    }

private:
    static Bytes Fetch(const Bytes& request, std::deque<Bytes>& queue, size_t recordSize) {
        Bytes payload = {0};
        for (size_t n = 0; n < 247 / recordSize && !queue.empty(); ++n) {
            payload.insert(payload.end(), queue.front().begin(), queue.front().end());
            queue.pop_front();
        }
        payload[0] = queue.empty() ? 0 : 1;
        return ReplyTo(request, 6, payload);
    }
    std::mutex mutex;
};
