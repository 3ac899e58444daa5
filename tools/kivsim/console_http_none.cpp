// The console where no HTTP server library is at hand (kivsim.exe): --http
// is refused as not in this build.
#include "tools/kivsim/console_http.h"

namespace kivsim {

struct ConsoleServer::Impl {};

bool ConsoleBuilt() {
    return false;
}

ConsoleServer::ConsoleServer(Simulator&, ConsoleFrames&) {}
ConsoleServer::~ConsoleServer() = default;

bool ConsoleServer::Start(const std::string&, std::string* why) {
    *why = "the console is not in this build of kivsim";
    return false;
}

void ConsoleServer::Stop() {}

std::string ConsoleServer::Url() const {
    return std::string();
}

bool ConsoleServer::LoopbackOnly() const {
    return true;
}

}  // namespace kivsim
