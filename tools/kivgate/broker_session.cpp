// The broker client's callbacks and its sender: what happens on connect,
// on an acknowledgement, on a /set message and when the connection goes;
// the outbox drained while connected and at Stop.
#include "tools/kivgate/broker_session.h"

#include <algorithm>
#include <string>

#include <mosquitto.h>

#include "tools/kivgate/publish.h"

namespace kivgate {

namespace {

// Messages of QoS 1 and 2 published and not yet acknowledged, past which the
// sender waits (and the outbox, bounded, keeps the rest).
constexpr size_t kWindow = 256;
// Dropped events are told on each connection, and while connected at most this often.
constexpr auto kDropReportEvery = std::chrono::seconds(10);
// How long Stop waits for the broker to acknowledge "offline" when the flush took all its time.
constexpr auto kOfflineWait = std::chrono::milliseconds(500);
constexpr int kSenderWaitMs = 1000;

BrokerSession* Self(void* self) { return static_cast<BrokerSession*>(self); }

// Errors of one message that no retry mends (a topic or payload the broker
// cannot take); any other leaves the message for the next connection.
bool MessageRefused(int rc) {
    return rc == MOSQ_ERR_INVAL || rc == MOSQ_ERR_MALFORMED_UTF8 || rc == MOSQ_ERR_PAYLOAD_SIZE ||
           rc == MOSQ_ERR_OVERSIZE_PACKET || rc == MOSQ_ERR_QOS_NOT_SUPPORTED;
}

}  // namespace

bool ParseSetTopic(const std::string& prefix, const std::string& topic, std::string* channel, int32_t* station,
                   std::string* name) {
    const std::string head = prefix + "/";
    if (topic.compare(0, head.size(), head) != 0) return false;
    std::vector<std::string> levels(1);
    for (size_t at = head.size(); at < topic.size(); ++at) {
        if (topic[at] == '/') levels.emplace_back();
        else levels.back() += topic[at];
    }
    if (levels.size() != 4 || levels[3] != "set" || levels[0].empty() || levels[2].empty()) return false;
    const std::string& digits = levels[1];
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
    const long number = std::stol(digits);
    if (number > KivStationMax) return false;
    *channel = levels[0];
    *station = static_cast<int32_t>(number);
    *name = levels[2];
    return true;
}

void BrokerSession::OnConnect(mosquitto*, void* self, int rc) { Self(self)->Connack(rc); }

void BrokerSession::OnDisconnect(mosquitto*, void* self, int) { Self(self)->Lost(); }

void BrokerSession::OnPublish(mosquitto*, void* self, int mid) { Self(self)->Acknowledged(mid); }

void BrokerSession::OnSubscribe(mosquitto*, void* self, int mid, int count, const int* granted) {
    BrokerSession& session = *Self(self);
    if (count > 0 && granted != nullptr && granted[0] > 2) {
        session.Log("the broker refused the subscription to " + session.settings_.prefix +
                    "/+/+/+/set: /set messages do not reach the gateway");
    }
    session.Subscribed(mid);
}

void BrokerSession::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    BrokerSession& session = *Self(self);
    std::string channel;
    std::string name;
    int32_t station = 0;
    if (message->topic == nullptr ||
        !ParseSetTopic(session.settings_.prefix, message->topic, &channel, &station, &name)) {
        return;
    }
    // A retained /set comes again with every connection: writing it each
    // time would repeat a write nobody asked for again.
    if (message->retain) {
        session.Log(std::string("passed over the retained message on ") + message->topic +
                    ": writes are taken only as they are sent");
        return;
    }
    std::string payload;
    if (message->payload != nullptr && message->payloadlen > 0) {
        payload.assign(static_cast<const char*>(message->payload), static_cast<size_t>(message->payloadlen));
    }
    if (session.sink_) session.sink_(channel, station, name, payload);
}

// Runs on the network thread while it handles the broker's CONNACK: no
// other CONNACK, SUBACK or acknowledgement is handled before it returns.
void BrokerSession::Connack(int rc) {
    bool first = false;
    int tries = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (rc != 0) {
            refusal_ = mosquitto_connack_string(rc);
            return;
        }
        connected_ = true;
        connectedThisTry_ = true;
        first = connections_++ == 0;
        tries = failedTries_;
        failedTries_ = 0;
        loggedReason_.clear();
    }
    if (first) Log("connected, topics under " + settings_.prefix + "/");
    else Log("reconnected" + (tries > 0 ? " after " + std::to_string(tries + 1) + " tries" : std::string()));
    const std::string status = settings_.prefix + "/status";
    mosquitto_publish(client_, nullptr, status.c_str(), 6, "online", 1, true);
    const std::string filter = settings_.prefix + "/+/+/+/set";
    int mid = 0;
    const int subscribed = mosquitto_subscribe(client_, &mid, filter.c_str(), 1);
    if (subscribed != MOSQ_ERR_SUCCESS) {
        Log("cannot subscribe to " + filter + ": " + mosquitto_strerror(subscribed));
        mid = -1;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        subscribeMid_ = mid;
    }
    if (mid == -1) Subscribed(-1);
}

// The sender starts when the subscription is acknowledged: by then the
// library has sent again what it held from the last connection, so the
// latest values sent now arrive after those and stay the retained ones.
void BrokerSession::Subscribed(int mid) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!connected_ || mid != subscribeMid_) return;
        subscribeMid_ = -1;
        ready_ = true;
        ++readyCount_;
    }
    outbox_.ResendLatest();
    changed_.notify_all();
}

void BrokerSession::Acknowledged(int mid) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (mid == offlineMid_) {
            offlineMid_ = -1;
        } else {
            auto found = orderOfMid_.find(mid);
            if (found == orderOfMid_.end()) return;  // not tracked: QoS 0, "online", or sent before a loss
            unacknowledged_.erase(found->second);
            orderOfMid_.erase(found);
        }
    }
    changed_.notify_all();
}

void BrokerSession::Lost() {
    std::vector<Message> back;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connected_ = false;
        ready_ = false;
        subscribeMid_ = -1;
        for (auto& entry : unacknowledged_) back.push_back(std::move(entry.second));
        unacknowledged_.clear();
        orderOfMid_.clear();
    }
    changed_.notify_all();
    if (!back.empty()) outbox_.GiveBack(std::move(back));
}

void BrokerSession::RunSender() {
    uint64_t reportedFor = 0;
    Clock::time_point lastReport;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return stopSender_ || (ready_ && unacknowledged_.size() < kWindow); });
            if (stopSender_) return;
        }
        ReportDropped(&reportedFor, &lastReport);
        std::vector<Message> batch = outbox_.Take(kSenderWaitMs);
        if (!batch.empty()) Publish(std::move(batch));
    }
}

// Ahead of what the outbox holds: a subscriber learns of the gap first.
void BrokerSession::ReportDropped(uint64_t* reportedFor, Clock::time_point* lastReport) {
    uint64_t readyCount = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        readyCount = readyCount_;
    }
    const Clock::time_point now = Clock::now();
    if (readyCount == *reportedFor && now - *lastReport < kDropReportEvery) return;
    *reportedFor = readyCount;
    *lastReport = now;
    const uint64_t count = outbox_.TakeDroppedUnreported();
    if (count == 0) return;
    Outbox report(1);
    Publisher(report, settings_).GatewayEvent("events dropped", "{\"count\":" + std::to_string(count) + "}");
    Publish(report.Take(0));
}

void BrokerSession::Publish(std::vector<Message> batch) {
    std::vector<Message> unsent;
    std::vector<std::string> refused;
    {
        // Held across the library's calls: an acknowledgement cannot be
        // handled before its message is recorded.
        std::lock_guard<std::mutex> lock(mutex_);
        for (Message& message : batch) {
            int mid = 0;
            const int rc = !ready_ ? MOSQ_ERR_NO_CONN
                                   : mosquitto_publish(client_, &mid, message.topic.c_str(),
                                                       static_cast<int>(message.payload.size()),
                                                       message.payload.data(), message.qos, message.retain);
            if (rc == MOSQ_ERR_SUCCESS) {
                if (message.qos == 0) continue;
                orderOfMid_[mid] = sequence_;
                unacknowledged_.emplace(sequence_++, std::move(message));
            } else if (MessageRefused(rc)) {
                refused.push_back("cannot publish on " + message.topic + ": " + mosquitto_strerror(rc) +
                                  "; the message is dropped");
            } else {
                // The connection is going, or the client is in a state only
                // a new connection mends: its end gives the rest back.
                if (ready_ && rc != MOSQ_ERR_NO_CONN && rc != MOSQ_ERR_CONN_LOST) {
                    refused.push_back(std::string("publishing failed: ") + mosquitto_strerror(rc) +
                                      "; connecting again");
                    mosquitto_disconnect(client_);
                }
                ready_ = false;
                unsent.push_back(std::move(message));
            }
        }
    }
    for (const std::string& line : refused) Log(line);
    if (!unsent.empty()) outbox_.GiveBack(std::move(unsent));
}

void BrokerSession::Flush(Clock::time_point deadline) {
    while (Clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!ready_) return;
        }
        std::vector<Message> batch = outbox_.Take(0);
        if (batch.empty()) break;
        Publish(std::move(batch));
    }
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_until(lock, deadline, [this] { return !ready_ || unacknowledged_.empty(); });
}

// A clean DISCONNECT leaves the last will unsaid: "offline" is said here.
void BrokerSession::PublishOffline(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!connected_) return;
    const std::string status = settings_.prefix + "/status";
    int mid = 0;
    if (mosquitto_publish(client_, &mid, status.c_str(), 7, "offline", 1, true) != MOSQ_ERR_SUCCESS) return;
    offlineMid_ = mid;
    changed_.wait_until(lock, std::max(deadline, Clock::now() + kOfflineWait),
                        [this] { return offlineMid_ == -1 || !connected_; });
    offlineMid_ = -1;
}

}  // namespace kivgate
