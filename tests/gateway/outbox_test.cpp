// kivgate's outbox: one table of what goes in (latest values, queued
// events, messages given back, a resend) and what each Take hands out, and
// the same with many channels putting in while the sender takes.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/kivgate/outbox.h"

namespace {

using kivgate::Message;
using kivgate::Outbox;

// Steps: "L topic payload" SetLatest, "Q topic payload" Queue, "T" Take,
// "G" give back all of the last Take, "R" ResendLatest. The result: each
// Take's messages as topic=payload, Takes apart by " | ".
std::string Steps(Outbox& outbox, const std::vector<std::string>& steps) {
    std::string taken;
    bool first = true;
    std::vector<Message> last;
    for (const std::string& step : steps) {
        std::istringstream words(step);
        std::string verb, topic, payload;
        words >> verb >> topic >> payload;
        if (verb == "L") outbox.SetLatest(topic, payload, 1);
        if (verb == "Q") outbox.Queue(topic, payload, 1);
        if (verb == "R") outbox.ResendLatest();
        if (verb == "G") outbox.GiveBack(last);
        if (verb != "T") continue;
        last = outbox.Take(0);
        if (!first) taken += " | ";
        first = false;
        for (size_t i = 0; i < last.size(); ++i) taken += (i ? " " : "") + last[i].topic + "=" + last[i].payload;
    }
    return taken;
}

struct OutboxCase {
    const char* name;
    size_t bound;
    std::vector<std::string> steps;
    std::string taken;
    uint64_t dropped;
    size_t queuedAfter;
};

TEST(Outbox, KeepsLatestAndQueuesInOrderWithinItsBound) {
    const std::vector<OutboxCase> cases = {
        {"latest replaces what was not sent", 10, {"L a 1", "L a 2", "L b 1", "T", "T"}, "a=2 b=1 | ", 0, 0},
        {"latest in the order topics changed", 10, {"L b 1", "L a 1", "L b 2", "T"}, "b=2 a=1", 0, 0},
        {"queue keeps order and every message", 10, {"Q e 1", "Q e 1", "Q f 2", "T"}, "e=1 e=1 f=2", 0, 0},
        {"latest ahead of queued", 10, {"Q e 1", "L a 1", "T"}, "a=1 e=1", 0, 0},
        {"full queue drops the new message", 2, {"Q e 1", "Q e 2", "Q e 3", "L a 1", "T"}, "a=1 e=1 e=2", 1, 0},
        {"room again after a Take", 2, {"Q e 1", "Q e 2", "T", "Q e 3", "T"}, "e=1 e=2 | e=3", 0, 0},
        {"given back goes in front, in order", 10, {"Q e 1", "Q e 2", "T", "Q e 3", "G", "T"},
         "e=1 e=2 | e=1 e=2 e=3", 0, 0},
        {"given back past the bound drops the newest", 3, {"Q e 1", "Q e 2", "T", "Q e 3", "Q e 4", "G"},
         "e=1 e=2", 1, 3},
        {"given back latest is sent again", 10, {"L a 1", "T", "G", "T"}, "a=1 | a=1", 0, 0},
        {"given back latest sends the newer one once", 10, {"L a 1", "T", "L a 2", "G", "T"}, "a=1 | a=2", 0, 0},
        {"resend sends every latest again", 10, {"L a 1", "L b 2", "T", "R", "Q e 1", "T"},
         "a=1 b=2 | a=1 b=2 e=1", 0, 0},
        {"resend does not double a changed one", 10, {"L a 1", "R", "T"}, "a=1", 0, 0},
        {"nothing to send", 10, {"T", "R", "T"}, " | ", 0, 0},
    };
    for (const OutboxCase& row : cases) {
        SCOPED_TRACE(row.name);
        Outbox outbox(row.bound);
        EXPECT_EQ(Steps(outbox, row.steps), row.taken);
        EXPECT_EQ(outbox.Dropped(), row.dropped);
        EXPECT_EQ(outbox.TakeDroppedUnreported(), row.dropped);
        EXPECT_EQ(outbox.TakeDroppedUnreported(), 0u);
        EXPECT_EQ(outbox.Queued(), row.queuedAfter);
    }
}

TEST(Outbox, TakeReturnsAsSoonAsSomethingComes) {
    using Clock = std::chrono::steady_clock;
    const std::vector<std::pair<const char*, void (*)(Outbox&)>> wakers = {
        {"queued", [](Outbox& outbox) { outbox.Queue("e", "1", 1); }},
        {"latest", [](Outbox& outbox) { outbox.SetLatest("a", "1", 1); }},
        {"woken", [](Outbox& outbox) { outbox.Wake(); }},
    };
    for (const auto& waker : wakers) {
        SCOPED_TRACE(waker.first);
        Outbox outbox;
        const Clock::time_point start = Clock::now();
        std::thread other([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            waker.second(outbox);
        });
        const std::vector<Message> taken = outbox.Take(120000);
        other.join();
        // Far below the wait asked for: the Take was woken, not timed out.
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(60));
        EXPECT_EQ(taken.size(), waker.first == std::string("woken") ? 0u : 1u);
    }
}

TEST(Outbox, ChannelsPuttingInWhileTheSenderTakesLoseNothing) {
    constexpr int kChannels = 4;
    constexpr int kEach = 2000;
    Outbox outbox(kChannels * kEach);
    std::vector<std::thread> channels;
    for (int channel = 0; channel < kChannels; ++channel) {
        channels.emplace_back([&outbox, channel] {
            for (int i = 0; i < kEach; ++i) {
                outbox.Queue("events/" + std::to_string(channel), std::to_string(i), 1);
                outbox.SetLatest("value/" + std::to_string(channel), std::to_string(i), 1);
            }
        });
    }
    std::vector<int> next(kChannels, 0);
    std::vector<std::string> lastValue(kChannels);
    int events = 0;
    while (events < kChannels * kEach) {
        for (const Message& message : outbox.Take(1000)) {
            const int channel = message.topic.back() - '0';
            if (message.retain) {
                lastValue[channel] = message.payload;
                continue;
            }
            ASSERT_EQ(message.payload, std::to_string(next[channel])) << message.topic;
            ++next[channel];
            ++events;
        }
    }
    for (std::thread& channel : channels) channel.join();
    for (const Message& message : outbox.Take(0)) lastValue[message.topic.back() - '0'] = message.payload;
    for (int channel = 0; channel < kChannels; ++channel) EXPECT_EQ(lastValue[channel], std::to_string(kEach - 1));
    EXPECT_EQ(outbox.Dropped(), 0u);
}

}  // namespace
