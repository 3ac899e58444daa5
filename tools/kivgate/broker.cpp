// The broker's client: the client made and started, the network thread's
// tries to connect with back-off between them, and the end at Stop.
#include "tools/kivgate/broker.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <mosquitto.h>
#include <unistd.h>

#include "tools/kivgate/broker_session.h"

namespace kivgate {

namespace {

constexpr int kBackOffFirstSeconds = 1;
constexpr int kBackOffLastSeconds = 30;
// How long the network thread may take to send the DISCONNECT after Stop.
constexpr auto kQuitGrace = std::chrono::seconds(1);

// The library's words for rc, without their full stop (a log line goes on after them).
std::string Reason(int rc, int systemError) {
    if (rc == MOSQ_ERR_KEEPALIVE) return "no answer from the broker within the keep-alive time";
    if (rc == MOSQ_ERR_ERRNO && systemError == 0) return "the connection failed";
    std::string reason = rc == MOSQ_ERR_ERRNO ? std::strerror(systemError) : mosquitto_strerror(rc);
    while (!reason.empty() && reason.back() == '.') reason.pop_back();
    if (reason == "Unknown error") reason += " " + std::to_string(rc) + " of the MQTT library";
    return reason;
}

}  // namespace

struct Broker::State {
    State(const BrokerSettings& settings, Outbox& outbox, WriteSink sink)
        : session(settings, outbox, std::move(sink)) {}
    BrokerSession session;
};

Broker::Broker(const BrokerSettings& settings, Outbox& outbox, WriteSink sink)
    : state_(std::make_unique<State>(settings, outbox, std::move(sink))) {}

Broker::~Broker() { Stop(); }

bool Broker::Start(std::string* error) { return state_->session.Start(error); }

void Broker::Stop(int timeoutMs) { state_->session.Stop(timeoutMs); }

bool Broker::Connected() const { return state_->session.Connected(); }

BrokerSession::BrokerSession(const BrokerSettings& settings, Outbox& outbox, WriteSink sink)
    : settings_(settings), outbox_(outbox), sink_(std::move(sink)),
      name_(settings.host + ":" + std::to_string(settings.port)) {}

BrokerSession::~BrokerSession() { Stop(0); }

bool BrokerSession::Start(std::string* error) {
    if (started_) return true;
    if (settings_.prefix.empty() || settings_.prefix.find_first_of("+#") != std::string::npos) {
        *error = "the topic prefix \"" + settings_.prefix + "\" must be given, without + or #";
        return false;
    }
    if (settings_.tls && access(settings_.caFile.c_str(), R_OK) != 0) {
        *error = "cannot read the broker's ca_file " + settings_.caFile + ": " + std::strerror(errno);
        return false;
    }
    if (!MakeClient(error)) return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopSender_ = false;
        stopping_ = false;
    }
    started_ = true;
    network_ = std::thread(&BrokerSession::RunNetwork, this);
    sender_ = std::thread(&BrokerSession::RunSender, this);
    return true;
}

bool BrokerSession::MakeClient(std::string* error) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { mosquitto_lib_init(); });
    client_ = mosquitto_new(settings_.clientId.empty() ? nullptr : settings_.clientId.c_str(), true, this);
    if (client_ == nullptr) {
        *error = std::string("cannot make the MQTT client: ") + std::strerror(errno);
        return false;
    }
    // Publishing comes from the sender thread, the network from another.
    int rc = mosquitto_threaded_set(client_, true);
    const std::string status = settings_.prefix + "/status";
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_will_set(client_, status.c_str(), 7, "offline", 1, true);
    if (rc == MOSQ_ERR_SUCCESS && !settings_.user.empty()) {
        rc = mosquitto_username_pw_set(client_, settings_.user.c_str(),
                                       settings_.password.empty() ? nullptr : settings_.password.c_str());
    }
    if (rc == MOSQ_ERR_SUCCESS && settings_.tls) {
        rc = mosquitto_tls_set(client_, settings_.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        *error = "cannot set up the MQTT client" + std::string(settings_.tls ? " (TLS with " + settings_.caFile + ")" : "") +
                 ": " + Reason(rc, errno);
        mosquitto_destroy(client_);
        client_ = nullptr;
        return false;
    }
    mosquitto_connect_callback_set(client_, &BrokerSession::OnConnect);
    mosquitto_disconnect_callback_set(client_, &BrokerSession::OnDisconnect);
    mosquitto_publish_callback_set(client_, &BrokerSession::OnPublish);
    mosquitto_subscribe_callback_set(client_, &BrokerSession::OnSubscribe);
    mosquitto_message_callback_set(client_, &BrokerSession::OnMessage);
    return true;
}

// The library's own threaded loop ends for good on a TLS or protocol error
// from the broker; this one tries again after those too, for as long as
// the gateway runs.
void BrokerSession::RunNetwork() {
    const int keepAlive = std::max(5, std::min(settings_.keepAliveSeconds, 65535));
    int delay = kBackOffFirstSeconds;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
            refusal_.clear();
            connectedThisTry_ = false;
        }
        int rc = mosquitto_connect_async(client_, settings_.host.c_str(), settings_.port, keepAlive);
        int systemError = errno;
        if (rc == MOSQ_ERR_SUCCESS) {
            rc = Serve();
            systemError = errno;
        }
        Lost();
        bool hadConnection = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
            hadConnection = connectedThisTry_;
        }
        TryEnded(rc, systemError);
        if (hadConnection) delay = kBackOffFirstSeconds;
        WaitBackOff(delay);
        delay = std::min(delay * 2, kBackOffLastSeconds);
    }
}

// Serves the connection until it ends, or until Stop's grace is over.
int BrokerSession::Serve() {
    for (;;) {
        const int rc = mosquitto_loop(client_, 1000, 1);
        if (rc != MOSQ_ERR_SUCCESS) return rc;
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ && Clock::now() >= quitAt_) return MOSQ_ERR_SUCCESS;
    }
}

// A lost connection is told once; so is the first failed try, and every
// refusal by the broker itself (a wrong password) that differs from the
// last one told. Tries that fail for the same reason go unsaid.
void BrokerSession::TryEnded(int rc, int systemError) {
    std::string reason = Reason(rc, systemError);
    std::string line;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const bool refused = !refusal_.empty();
        if (refused) reason = refusal_.substr(0, refusal_.find_last_not_of('.') + 1);
        if (connectedThisTry_) {
            line = "connection lost: " + reason + "; trying again";
        } else {
            ++failedTries_;
            const bool first = failedTries_ == 1 && connections_ == 0;
            if ((first || refused) && reason != loggedReason_) {
                line = (connections_ == 0 ? "cannot connect: " : "cannot reconnect: ") + reason +
                       "; trying again, every " + std::to_string(kBackOffFirstSeconds) + " to " +
                       std::to_string(kBackOffLastSeconds) + " s";
            }
        }
        if (!line.empty()) loggedReason_ = reason;
    }
    if (!line.empty()) Log(line);
}

void BrokerSession::WaitBackOff(int seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(seconds), [this] { return stopping_; });
}

void BrokerSession::Stop(int timeoutMs) {
    if (!started_) return;
    started_ = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopSender_ = true;
    }
    changed_.notify_all();
    outbox_.Wake();
    sender_.join();
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(0, timeoutMs));
    Flush(deadline);
    PublishOffline(deadline);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        quitAt_ = Clock::now() + (connected_ ? std::chrono::duration_cast<Clock::duration>(kQuitGrace)
                                             : Clock::duration::zero());
        // Only while connected: the network thread is then in its loop, not
        // in a try to connect, which makes the client's wake-up pipe anew.
        if (connected_) mosquitto_disconnect(client_);
    }
    changed_.notify_all();
    network_.join();
    mosquitto_destroy(client_);
    client_ = nullptr;
}

bool BrokerSession::Connected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connected_;
}

void BrokerSession::Log(const std::string& text) const {
    std::fprintf(stderr, "kivgate: broker %s: %s\n", name_.c_str(), text.c_str());
}

}  // namespace kivgate
