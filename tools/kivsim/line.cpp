// The simulator's line: the tools' serial line or the network endpoint.
#include "tools/kivsim/line.h"

#include "tools/common/sockets.h"

namespace kivsim {

Line::~Line() {
    Close();
}

void Line::Close() {
    net_.reset();
    netPath_.clear();
    serial_.Close();
}

bool Line::OpenPty(std::string* error) {
    Close();
    return serial_.OpenPty(error);
}

bool Line::OpenDevice(const std::string& path, int baud, std::string* error) {
    Close();
    kivtools::LineSetup setup;
    setup.baud = static_cast<uint32_t>(baud);
    return serial_.OpenDevice(path, setup, error);
}

bool Line::Listen(NetLineKind kind, const std::string& address, int port, std::string* error) {
    Close();
    net_.reset(new NetEndpoint);
    if (!net_->Listen(kind, address, port, error)) {
        net_.reset();
        return false;
    }
    netPath_ = net_->Url();
    return true;
}

bool Line::MakeLink(const std::string& linkPath, std::string* error) {
    if (net_) {
        *error = "a network line (" + netPath_ + ") has no path to link to";
        return false;
    }
    return serial_.MakeLink(linkPath, error);
}

int Line::WaitFds(int* fds) const {
    if (net_) return net_->WaitFds(fds);
    fds[0] = serial_.Fd();
    return 1;
}

bool Line::WaitReadable(int timeoutMs) {
    if (!net_) return serial_.WaitReadable(timeoutMs);
    int fds[kMaxWaitFds];
    return kivtools::WaitSocketsReadable(fds, net_->WaitFds(fds), timeoutMs);
}

int Line::ReadAvailable(std::vector<uint8_t>& into) {
    return net_ ? net_->ReadAvailable(into, kivtools::kReadChunk) : serial_.ReadAvailable(into, kivtools::kReadChunk);
}

bool Line::Write(const uint8_t* bytes, size_t count, int paceBaud, const std::atomic<bool>& stop) {
    return net_ ? net_->Write(bytes, count, paceBaud, stop) : serial_.Write(bytes, count, paceBaud, stop);
}

}  // namespace kivsim
