// The outbox: the latest message of each retained topic, and a bounded queue
// of the rest, between the channels and the broker's sender.
#include "tools/kivgate/outbox.h"

#include <chrono>
#include <utility>

namespace kivgate {

void Outbox::SetLatest(const std::string& topic, const std::string& payload, int qos) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Latest& latest = latest_[topic];
        latest.message = Message{topic, payload, qos, true};
        if (!latest.changed) {
            latest.changed = true;
            changed_.push_back(topic);
        }
    }
    ready_.notify_one();
}

bool Outbox::Queue(const std::string& topic, const std::string& payload, int qos) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.size() >= bound_) {
            ++dropped_;
            ++unreported_;
            return false;
        }
        queue_.push_back(Message{topic, payload, qos, false});
    }
    ready_.notify_one();
    return true;
}

std::vector<Message> Outbox::Take(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait_for(lock, std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0),
                    [this] { return woken_ || !changed_.empty() || !queue_.empty(); });
    woken_ = false;
    std::vector<Message> taken;
    taken.reserve(changed_.size() + queue_.size());
    // Values and statuses first: they are what a subscriber that comes late
    // sees, and the events behind them may be many after an absence.
    for (const std::string& topic : changed_) {
        Latest& latest = latest_[topic];
        latest.changed = false;
        taken.push_back(latest.message);
    }
    changed_.clear();
    for (Message& message : queue_) taken.push_back(std::move(message));
    queue_.clear();
    return taken;
}

void Outbox::GiveBack(std::vector<Message> messages) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::deque<Message> back;
        for (Message& message : messages) {
            if (!message.retain) {
                back.push_back(std::move(message));
                continue;
            }
            // A retained topic's latest payload is sent again, which may be
            // newer than the one given back.
            auto found = latest_.find(message.topic);
            if (found == latest_.end()) {
                const std::string topic = message.topic;
                latest_[topic] = Latest{std::move(message), true};
                changed_.push_back(topic);
            } else if (!found->second.changed) {
                found->second.changed = true;
                changed_.push_back(found->first);
            }
        }
        queue_.insert(queue_.begin(), std::make_move_iterator(back.begin()), std::make_move_iterator(back.end()));
        while (queue_.size() > bound_) {
            queue_.pop_back();
            ++dropped_;
            ++unreported_;
        }
    }
    ready_.notify_one();
}

void Outbox::ResendLatest() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& entry : latest_) {
            if (entry.second.changed) continue;
            entry.second.changed = true;
            changed_.push_back(entry.first);
        }
    }
    ready_.notify_one();
}

void Outbox::Wake() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        woken_ = true;
    }
    ready_.notify_all();
}

uint64_t Outbox::Dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

uint64_t Outbox::TakeDroppedUnreported() {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t count = unreported_;
    unreported_ = 0;
    return count;
}

size_t Outbox::Queued() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

}  // namespace kivgate
