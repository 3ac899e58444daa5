// The console over HTTP: every request to /api/ goes to the JSON API as it
// stands, / gets the page built into the binary. The server's threads only
// copy the simulator's state under its lock, as the control commands do, so
// the line's service thread never waits for a page.
#include "tools/kivsim/console_http.h"

#include <chrono>
#include <thread>

#include <httplib.h>

#include "tools/kivsim/console_api.h"

namespace kivsim {

extern const char kConsolePage[];  // console_page.html, built in

namespace {

// The longest body a request may carry: the API's bodies are a few fields.
constexpr size_t kBodyMax = 65536;
// Threads that serve requests. Each open page holds one in its long poll of
// frames, and a browser keeps a few idle connections besides: room for
// several pages and scripts at once.
constexpr size_t kServerThreads = 24;

bool LoopbackAddress(const std::string& address) {
    return address == "localhost" || address == "::1" || address.rfind("127.", 0) == 0;
}

ApiRequest FromHttp(const httplib::Request& in) {
    ApiRequest r;
    r.method = in.method;
    r.path = in.path;
    for (const auto& param : in.params) r.query.emplace(param.first, param.second);
    r.contentType = in.get_header_value("Content-Type");
    r.origin = in.get_header_value("Origin");
    r.host = in.get_header_value("Host");
    r.body = in.body;
    return r;
}

}  // namespace

struct ConsoleServer::Impl {
    Impl(Simulator& s, ConsoleFrames& f) : sim(s), frames(f) {}

    void Serve(const httplib::Request& in, httplib::Response& out) {
        const ApiRequest request = FromHttp(in);
        out.set_header("Cache-Control", "no-store");
        if (request.path.rfind("/api/", 0) == 0) {
            const ApiResponse answer = api->Handle(request);
            out.status = answer.status;
            if (answer.contentType != "application/json")
                out.set_header("Content-Disposition", "attachment; filename=\"kivsim.pcap\"");
            out.set_content(answer.body, answer.contentType.c_str());
            return;
        }
        const std::string foreign = ForeignRequest(request, loopbackOnly);
        if (!foreign.empty()) {
            out.status = 403;
            out.set_content(foreign + "\n", "text/plain");
        } else if ((request.path == "/" || request.path == "/index.html") && request.method == "GET") {
            out.set_content(kConsolePage, "text/html; charset=utf-8");
        } else {
            out.status = 404;
            out.set_content("not found\n", "text/plain");
        }
    }

    Simulator& sim;
    ConsoleFrames& frames;
    std::unique_ptr<ConsoleApi> api;
    httplib::Server server;
    std::thread thread;
    std::string url;
    bool loopbackOnly = true;
};

bool ConsoleBuilt() {
    return true;
}

ConsoleServer::ConsoleServer(Simulator& sim, ConsoleFrames& frames) : impl_(new Impl(sim, frames)) {}

ConsoleServer::~ConsoleServer() {
    Stop();
}

bool ConsoleServer::Start(const std::string& where, std::string* why) {
    std::string address;
    int port = 0;
    if (!ParseConsoleAddress(where, &address, &port, why)) return false;
    Impl& i = *impl_;
    i.loopbackOnly = LoopbackAddress(address);
    i.api.reset(new ConsoleApi(i.sim, i.frames, i.loopbackOnly));
    auto serve = [&i](const httplib::Request& in, httplib::Response& out) { i.Serve(in, out); };
    i.server.Get(".*", serve).Put(".*", serve).Post(".*", serve).Delete(".*", serve).Patch(".*", serve);
    i.server.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
    i.server.set_keep_alive_timeout(2);
    i.server.set_payload_max_length(kBodyMax);
    i.server.set_read_timeout(5, 0);
    // A long poll of frames holds its answer up to this long.
    i.server.set_write_timeout(ConsoleApi::kLongestWaitMs / 1000 + 5, 0);
    const int bound = port == 0 ? i.server.bind_to_any_port(address) : (i.server.bind_to_port(address, port) ? port : -1);
    if (bound <= 0) {
        *why = "cannot listen on " + where + " for the console";
        return false;
    }
    i.url = "http://" + (address.find(':') != std::string::npos ? "[" + address + "]" : address) + ":" +
            std::to_string(bound) + "/";
    i.thread = std::thread([&i] { i.server.listen_after_bind(); });
    // Stop before the server runs would leave it running: wait for it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!i.server.is_running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

void ConsoleServer::Stop() {
    Impl& i = *impl_;
    if (!i.thread.joinable()) return;
    i.frames.Close();
    i.server.stop();
    i.thread.join();
}

std::string ConsoleServer::Url() const {
    return impl_->url;
}

bool ConsoleServer::LoopbackOnly() const {
    return impl_->loopbackOnly;
}

}  // namespace kivsim
