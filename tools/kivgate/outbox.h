// What the channels hand to the broker's side, kept while the broker is away:
// the latest message of each retained topic (values, statuses: bounded by the
// number of topics) and a bounded queue of the rest (events, write results),
// whose overflow is counted. Channels never wait on it longer than a lock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace kivgate {

struct Message {
    std::string topic;
    std::string payload;
    int qos = 1;
    bool retain = false;
};

class Outbox {
public:
    explicit Outbox(size_t queueBound = 1000) : bound_(queueBound) {}

    // The latest payload of a retained topic (a gate's value, a status);
    // replaces what was there and not yet sent.
    void SetLatest(const std::string& topic, const std::string& payload, int qos);
    // A message that is not retained (an event, a write's result), queued in
    // order; false when the queue is full: the message is dropped and counted.
    bool Queue(const std::string& topic, const std::string& payload, int qos);

    // The broker's side: waits up to timeoutMs for something to send, then
    // takes every changed latest message and every queued one (in order).
    std::vector<Message> Take(int timeoutMs);
    // Gives back queued messages that could not be sent, at the front, in
    // order (they count against the bound again; overflow drops the newest).
    void GiveBack(std::vector<Message> messages);
    // Marks every latest message changed, so that the next Take sends all of
    // them again (after a reconnect: the broker may have lost its retained ones).
    void ResendLatest();
    // Wakes a Take at once (shutdown).
    void Wake();

    // Messages dropped because the queue was full, since the start; and the
    // count not yet reported (reset by the call).
    uint64_t Dropped() const;
    uint64_t TakeDroppedUnreported();
    size_t Queued() const;

private:
    struct Latest {
        Message message;
        bool changed = false;
    };
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::map<std::string, Latest> latest_;
    std::deque<std::string> changed_;  // topics of latest_ marked changed, in the order they changed
    std::deque<Message> queue_;
    size_t bound_;
    uint64_t dropped_ = 0;
    uint64_t unreported_ = 0;
    bool woken_ = false;
};

}  // namespace kivgate
