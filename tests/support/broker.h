// An MQTT broker for a test (Debian's mosquitto on a free loopback port,
// its configuration in a folder of its own) that can be stopped and started
// again on the same port; and a client (libmosquitto) that subscribes to a
// filter and keeps every message per topic, with bounded waits for them.
// Header only: a program that includes it links libmosquitto.
#pragma once

#include <mosquitto.h>

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/wait_until.h"

// A loopback TCP port nobody listens on now (0 when none could be had).
inline int FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0) close(fd);
    return port;
}

// Whether something accepts TCP connections on 127.0.0.1:port.
inline bool LoopbackListening(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool accepted = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return accepted;
}

// /usr/sbin/mosquitto on 127.0.0.1:port, anonymous clients, nothing kept on
// disk: a restart forgets every retained message and session, as a broker
// that lost its disk would.
class MosquittoBroker {
public:
    static constexpr const char* kProgram = "/usr/sbin/mosquitto";
    static bool Installed() { return access(kProgram, X_OK) == 0; }

    MosquittoBroker() {
        char pattern[] = "/tmp/kiv-broker-XXXXXX";
        if (mkdtemp(pattern) != nullptr) folder_ = pattern;
    }
    ~MosquittoBroker() {
        Stop();
        std::error_code ignored;
        if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
    }
    MosquittoBroker(const MosquittoBroker&) = delete;
    MosquittoBroker& operator=(const MosquittoBroker&) = delete;

    // Starts the broker on a free port (the first time) or on the port it
    // had (after Stop), and waits up to limitMs until it listens.
    bool Start(int limitMs = 10000) {
        if (folder_.empty() || running_) return false;
        if (port_ == 0) port_ = FreeLoopbackPort();
        const std::string config = folder_ + "/mosquitto.conf";
        std::ofstream(config) << "listener " << port_ << " 127.0.0.1\n"
                              << "allow_anonymous true\npersistence false\n"
                              << "log_dest stderr\nlog_type error\nlog_type warning\nlog_type notice\n";
        process_.reset(new ChildProcess);
        ++starts_;
        running_ = process_->Start({kProgram, "-c", config}, ChildProcess::Errors::ToFile,
                                   folder_ + "/mosquitto-" + std::to_string(starts_) + ".log");
        running_ = running_ && WaitUntil([&] { return LoopbackListening(port_); }, limitMs);
        return running_;
    }
    // Ends the broker (SIGTERM: it closes its clients' connections) and
    // waits for its end; true when it ended by itself.
    bool Stop(int limitMs = 10000) {
        if (!running_) return true;
        running_ = false;
        int status = -1;
        process_->Signal(SIGTERM);
        return process_->WaitExit(limitMs, &status);
    }
    bool Restart() { return Stop() && Start(); }

    int port() const { return port_; }
    bool running() const { return running_; }
    // What the broker logged, every run in turn (for a failure's message).
    std::string Log() const {
        std::string text;
        for (int run = 1; run <= starts_; ++run)
            text += ReadBytesFile(folder_ + "/mosquitto-" + std::to_string(run) + ".log");
        return text;
    }

private:
    std::string folder_;
    int port_ = 0;
    int starts_ = 0;
    bool running_ = false;
    std::unique_ptr<ChildProcess> process_;
};

// One message as the client received it.
struct MqttMessage {
    std::string topic;
    std::string payload;
    bool retain = false;  // true: the broker's retained copy, sent on subscribing
    int qos = 0;
    std::chrono::steady_clock::time_point arrival;
    uint64_t sequence = 0;  // 1, 2, ... in order of arrival over all topics
};

// A client of the broker on 127.0.0.1:port subscribed to filter at QoS 1.
// Its network thread reconnects by itself (every second) when the broker
// goes away and subscribes again each time it connects.
class Subscriber {
public:
    using Match = std::function<bool(const MqttMessage&)>;

    Subscriber(int port, const std::string& filter) : port_(port), filter_(filter) {
        static std::once_flag library;
        std::call_once(library, [] { mosquitto_lib_init(); });
        static int counter = 0;
        const std::string id = "kiv-test-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
        client_ = mosquitto_new(id.c_str(), true, this);
        if (client_ == nullptr) return;
        mosquitto_connect_callback_set(client_, OnConnect);
        mosquitto_subscribe_callback_set(client_, OnSubscribe);
        mosquitto_message_callback_set(client_, OnMessage);
        mosquitto_reconnect_delay_set(client_, 1, 1, false);
    }
    ~Subscriber() {
        if (client_ == nullptr) return;
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, false);  // ends by itself after the disconnect: no cancel in a lock
        mosquitto_destroy(client_);
    }
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;

    // Connects and waits up to limitMs until the subscription is in place.
    bool Connect(int limitMs = 10000) {
        if (client_ == nullptr || mosquitto_connect(client_, "127.0.0.1", port_, 10) != MOSQ_ERR_SUCCESS ||
            mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS)
            return false;
        return WaitSubscribed(1, limitMs);
    }
    // Waits until the subscription was granted count times (once per
    // connection: 2 after one reconnect).
    bool WaitSubscribed(int count, int limitMs = 10000) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(limitMs), [&] { return subscribed_ >= count; });
    }
    int Subscriptions() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return subscribed_;
    }

    bool Publish(const std::string& topic, const std::string& payload, int qos = 1, bool retain = false) {
        return mosquitto_publish(client_, nullptr, topic.c_str(), int(payload.size()), payload.data(), qos,
                                 retain) == MOSQ_ERR_SUCCESS;
    }

    // The sequence number the next message will get: a mark to wait for
    // messages after.
    uint64_t Mark() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return sequence_ + 1;
    }
    // Every message of topic so far, in order.
    std::vector<MqttMessage> On(const std::string& topic) const {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = messages_.find(topic);
        return found == messages_.end() ? std::vector<MqttMessage>() : found->second;
    }
    // The topics that have had a message.
    std::vector<std::string> Topics() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> topics;
        for (const auto& entry : messages_) topics.push_back(entry.first);
        return topics;
    }
    // Waits up to limitMs for a message on topic that matches (any that came
    // before the call count too); true with it in *found.
    bool WaitFor(const std::string& topic, const Match& match, int limitMs, MqttMessage* found = nullptr) {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto first = [&]() -> const MqttMessage* {
            auto list = messages_.find(topic);
            if (list == messages_.end()) return nullptr;
            for (const MqttMessage& message : list->second)
                if (match(message)) return &message;
            return nullptr;
        };
        if (!changed_.wait_for(lock, std::chrono::milliseconds(limitMs), [&] { return first() != nullptr; }))
            return false;
        if (found != nullptr) *found = *first();
        return true;
    }
    // The last message of topic, or one with an empty topic.
    MqttMessage Last(const std::string& topic) const {
        std::lock_guard<std::mutex> lock(mutex_);
        auto list = messages_.find(topic);
        return list == messages_.end() || list->second.empty() ? MqttMessage() : list->second.back();
    }

private:
    static void OnConnect(mosquitto* client, void* self, int result) {
        if (result == 0) mosquitto_subscribe(client, nullptr, static_cast<Subscriber*>(self)->filter_.c_str(), 1);
    }
    static void OnSubscribe(mosquitto*, void* self, int, int, const int*) {
        auto* me = static_cast<Subscriber*>(self);
        std::lock_guard<std::mutex> lock(me->mutex_);
        ++me->subscribed_;
        me->changed_.notify_all();
    }
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* received) {
        auto* me = static_cast<Subscriber*>(self);
        MqttMessage message;
        message.topic = received->topic;
        message.payload.assign(static_cast<const char*>(received->payload), size_t(received->payloadlen));
        message.retain = received->retain;
        message.qos = received->qos;
        message.arrival = std::chrono::steady_clock::now();
        std::lock_guard<std::mutex> lock(me->mutex_);
        message.sequence = ++me->sequence_;
        me->messages_[message.topic].push_back(std::move(message));
        me->changed_.notify_all();
    }

    int port_;
    std::string filter_;
    mosquitto* client_ = nullptr;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, std::vector<MqttMessage>> messages_;
    uint64_t sequence_ = 0;
    int subscribed_ = 0;
};
