// The console's JSON API, apart from any socket: a request (method, path,
// query, headers that matter, body) in, a status and a JSON body out. The
// web page and scripts use only this; the HTTP server only carries it.
#pragma once

#include <map>
#include <string>

#include "tools/kivsim/console_frames.h"
#include "tools/kivsim/kivsim.h"

namespace kivsim {

struct ApiRequest {
    std::string method;                         // GET, PUT, POST, ...
    std::string path;                           // "/api/stations/1", without the query
    std::map<std::string, std::string> query;   // ?after=12 -> {"after", "12"}
    std::string contentType;                    // the Content-Type header, empty when none
    std::string origin;                         // the Origin header, empty when none
    std::string host;                           // the Host header
    std::string body;
};

struct ApiResponse {
    int status = 200;
    std::string body;                             // JSON unless contentType says otherwise
    std::string contentType = "application/json";
};

// Why a request is refused before its path is looked at, or "" when it is
// not: a Host that is not this machine's own name while the console listens
// on the loopback only (a page whose name was rebound to 127.0.0.1), and, for
// a request that changes something, an Origin of another site than Host.
std::string ForeignRequest(const ApiRequest& request, bool loopbackOnly);
// True when a request with this method changes the units or the line.
bool ChangesState(const std::string& method);
// The text with ASCII letters in lower case (header names, origins).
std::string AsciiLower(std::string text);

class ConsoleApi {
public:
    // frames: what the line carried. loopbackOnly: the console listens on
    // this machine's loopback only (see ForeignRequest).
    ConsoleApi(Simulator& sim, ConsoleFrames& frames, bool loopbackOnly = true);

    // Answers one request. Nothing it refuses (any status but 200) changed
    // a unit, the faults or the line.
    ApiResponse Handle(const ApiRequest& request);

    // The longest wait of a long poll of frames, in ms.
    static constexpr int kLongestWaitMs = 25000;

private:
    Simulator& sim_;
    ConsoleFrames& frames_;
    bool loopbackOnly_;
};

}  // namespace kivsim
