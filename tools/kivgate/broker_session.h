// The broker's client behind Broker: one libmosquitto client, a network
// thread that connects (and again, with back-off) and serves it, and a
// sender thread that takes what the outbox holds while the connection is
// up. Messages of QoS 1 and 2 count as sent when the broker acknowledged
// them; those not acknowledged when the connection goes are given back to
// the outbox (sent at least once: a subscriber may see one twice).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "tools/kivgate/broker.h"

struct mosquitto;
struct mosquitto_message;

namespace kivgate {

// Reads PREFIX/CHANNEL/STATION/NAME/set (STATION in decimal, 0 to
// KivStationMax); false for any other topic.
bool ParseSetTopic(const std::string& prefix, const std::string& topic, std::string* channel, int32_t* station,
                   std::string* name);

class BrokerSession {
public:
    BrokerSession(const BrokerSettings& settings, Outbox& outbox, WriteSink sink);
    ~BrokerSession();
    BrokerSession(const BrokerSession&) = delete;
    BrokerSession& operator=(const BrokerSession&) = delete;

    bool Start(std::string* error);
    void Stop(int timeoutMs);
    bool Connected() const;

private:
    using Clock = std::chrono::steady_clock;

    bool MakeClient(std::string* error);
    // The network thread: a try to connect, the connection served until it
    // ends, then the back-off; until Stop.
    void RunNetwork();
    int Serve();
    void TryEnded(int rc, int systemError);
    void WaitBackOff(int seconds);
    // The sender thread.
    void RunSender();
    void ReportDropped(uint64_t* reportedFor, Clock::time_point* lastReport);
    void Publish(std::vector<Message> batch);
    void Flush(Clock::time_point deadline);
    void PublishOffline(Clock::time_point deadline);
    // The connection went: the sender stops, what the broker did not
    // acknowledge goes back to the outbox.
    void Lost();
    void Log(const std::string& text) const;

    static void OnConnect(mosquitto* client, void* self, int rc);
    static void OnDisconnect(mosquitto* client, void* self, int rc);
    static void OnPublish(mosquitto* client, void* self, int mid);
    static void OnSubscribe(mosquitto* client, void* self, int mid, int count, const int* granted);
    static void OnMessage(mosquitto* client, void* self, const mosquitto_message* message);
    void Connack(int rc);
    void Subscribed(int mid);
    void Acknowledged(int mid);

    BrokerSettings settings_;
    Outbox& outbox_;
    WriteSink sink_;
    std::string name_;                 // HOST:PORT, in log lines
    mosquitto* client_ = nullptr;
    bool started_ = false;
    std::thread network_;
    std::thread sender_;

    mutable std::mutex mutex_;         // guards what follows; held across publishing, never across a wait
    std::condition_variable changed_;  // ready_, stop flags, unacknowledged_ changed
    bool connected_ = false;           // the broker accepted the connection, not lost since
    bool ready_ = false;               // connected and subscribed: the sender publishes
    uint64_t readyCount_ = 0;          // connections that became ready since the start
    int subscribeMid_ = -1;            // the subscription asked for on connect, until its SUBACK
    int offlineMid_ = -1;              // "offline" at Stop, until its acknowledgement
    bool stopSender_ = false;
    bool stopping_ = false;            // Stop: the network thread ends at quitAt_
    Clock::time_point quitAt_;
    uint64_t sequence_ = 0;            // order of unacknowledged messages
    std::map<uint64_t, Message> unacknowledged_;  // QoS 1 and 2 messages published, by order
    std::unordered_map<int, uint64_t> orderOfMid_;
    bool connectedThisTry_ = false;
    int connections_ = 0;              // connections the broker accepted since the start
    int failedTries_ = 0;              // tries that failed since the last connection
    std::string refusal_;              // the broker's CONNACK refusal of the current try
    std::string loggedReason_;         // the reason logged since the last connection
};

}  // namespace kivgate
