// kivsim's console: the web page and the JSON API (console_api.h) served over
// HTTP on threads of their own, beside the line. Built where an HTTP server
// library is at hand (console_http.cpp); elsewhere console_http_none.cpp
// stands in and says the console is not in this build.
#pragma once

#include <memory>
#include <string>

#include "tools/kivsim/console_frames.h"
#include "tools/kivsim/kivsim.h"

namespace CLI {
class App;
}

namespace kivsim {

struct Settings;

// Adds --http [ADDRESS:]PORT to kivsim's options, into settings->http.
void AddConsoleOption(CLI::App& app, Settings* settings);

// "[ADDRESS:]PORT" (ADDRESS a name, an IPv4 address or an IPv6 one in
// brackets) into its parts; the loopback 127.0.0.1 without ADDRESS. false
// with why for anything else.
bool ParseConsoleAddress(const std::string& text, std::string* address, int* port, std::string* why);

// True when this build has the console.
bool ConsoleBuilt();

class ConsoleServer {
public:
    // Serves sim's state and frames' traffic; both outlive the server.
    ConsoleServer(Simulator& sim, ConsoleFrames& frames);
    ~ConsoleServer();  // Stop
    ConsoleServer(const ConsoleServer&) = delete;
    ConsoleServer& operator=(const ConsoleServer&) = delete;

    // Listens on "[ADDRESS:]PORT" (port 0: any free one) and serves from
    // threads of its own; false with why when it cannot.
    bool Start(const std::string& where, std::string* why);
    // Ends every long poll, stops listening and joins the threads.
    void Stop();
    // "http://127.0.0.1:8080/", the address and port as bound.
    std::string Url() const;
    // True when it listens on this machine's loopback only.
    bool LoopbackOnly() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace kivsim
