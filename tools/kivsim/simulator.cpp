// The simulator's public calls: units and their registers, events and
// clocks, the plant, the faults, the line and the trace, each under the
// simulator's lock; the service thread (service.cpp) does the rest.
#include <sstream>
#include <unistd.h>

#include "tools/kivsim/simulator_impl.h"

namespace kivsim {

int64_t Simulator::Impl::PcNow() const {
    using namespace std::chrono;
    return options.pcClock ? options.pcClock()
                           : duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

Station* Simulator::Impl::Find(uint16_t number) {
    auto it = stations.find(number);
    return it == stations.end() ? nullptr : it->second.get();
}

void Simulator::Impl::Wake() {
    if (wake[1] < 0) return;
    uint8_t b = 1;
    ssize_t ignored = ::write(wake[1], &b, 1);
    (void)ignored;
}

Simulator::Simulator(Options options) : impl_(new Impl) {
    impl_->options = std::move(options);
    impl_->delayMs = impl_->options.delayMs;
    impl_->faults.Seed(impl_->options.seed);
}

Simulator::~Simulator() {
    Stop();
    impl_->line.Close();
    for (int fd : impl_->wake) {
        if (fd >= 0) ::close(fd);
    }
}

bool Simulator::AddStation(uint16_t station, uint16_t host) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->stations.count(station)) return false;
    impl_->stations[station].reset(new Station(station, host));
    return true;
}

std::vector<uint16_t> Simulator::Stations() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::vector<uint16_t> list;
    for (auto& entry : impl_->stations) list.push_back(entry.first);
    return list;
}

bool Simulator::HasStation(uint16_t station) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->stations.count(station) != 0;
}

std::string Simulator::Error() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->error;
}

std::string Simulator::LinePath() const {
    return impl_->lineOpen ? impl_->line.Path() : std::string();
}

std::vector<std::string> Simulator::ListenAddresses() const {
    NetEndpoint* net = impl_->lineOpen ? impl_->line.Net() : nullptr;
    return net ? net->ListenAddresses() : std::vector<std::string>();
}

bool Simulator::WithStation(uint16_t station, const std::function<void(Station&)>& f) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Station* s = impl_->Find(station);
    if (!s) return false;
    f(*s);
    impl_->Wake();
    return true;
}

bool Simulator::ReadStation(uint16_t station, const std::function<void(const Station&)>& f) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Station* s = impl_->Find(station);
    if (!s) return false;
    f(*s);
    return true;
}

bool Simulator::SetRegister(uint16_t station, uint16_t address, uint32_t value) {
    return WithStation(station, [&](Station& s) { s.SetRegister(address, value); });
}

uint32_t Simulator::RegisterValue(uint16_t station, uint16_t address) {
    uint32_t value = 0;
    WithStation(station, [&](Station& s) { value = s.RegisterValue(address); });
    return value;
}

bool Simulator::QueueRegisterChange(uint16_t station, uint16_t address, uint32_t value) {
    return WithStation(station, [&](Station& s) {
        s.SetRegister(address, value);
        s.QueueRegisterChange(address, value);
    });
}

bool Simulator::QueueStatusEvent(uint16_t station, uint16_t point, bool state) {
    if (point >= kStatusPointCount) return false;
    const int64_t pcNow = impl_->PcNow();
    return WithStation(station, [&](Station& s) {
        s.SetPoint(point, state);
        s.QueueStatusEvent(point, state, pcNow);
    });
}

bool Simulator::QueueLoggedEvent(uint16_t station, uint16_t address, uint32_t value) {
    if (address >= kLoggedRegisterCount) return false;
    const int64_t pcNow = impl_->PcNow();
    return WithStation(station, [&](Station& s) {
        s.SetRegister(address, value);
        s.QueueLoggedEvent(address, value, pcNow);
    });
}

size_t Simulator::Pending(uint16_t station, EventKind kind) {
    size_t count = 0;
    WithStation(station, [&](Station& s) { count = s.Pending(kind); });
    return count;
}

bool Simulator::SetExceptionMode(uint16_t station, bool on) {
    return WithStation(station, [&](Station& s) {
        s.exceptionMode = on;
        if (!on) s.noticeOutstanding = false;
    });
}

bool Simulator::AskTime(uint16_t station) {
    return WithStation(station, [&](Station& s) { s.SetClockWanted(true); });
}

bool Simulator::AddGenerator(uint16_t station, const Generator& generator) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (!impl_->Find(station)) return false;
    impl_->plants[station].push_back(generator);
    return true;
}

bool Simulator::ClearPlant(uint16_t station) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (!impl_->Find(station)) return false;
    impl_->plants.erase(station);
    return true;
}

void Simulator::SetPlantRunning(bool on) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->plantRunning = on;
    impl_->Wake();
}

std::string Simulator::DescribePlant() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::ostringstream out;
    out << "plant " << (impl_->plantRunning ? "on" : "off") << "\n";
    for (auto& entry : impl_->plants) {
        for (const Generator& g : entry.second) out << "  station " << entry.first << ": " << g.Describe() << "\n";
    }
    return out.str();
}

void Simulator::InjectFault(FaultKind kind, int count) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->faults.Inject(kind, count);
}

void Simulator::SetFaultProbability(FaultKind kind, double probability) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->faults.SetProbability(kind, probability);
}

void Simulator::ClearFaults() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->faults.Clear();
}

void Simulator::SetFaultSeed(uint64_t seed) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->faults.Seed(seed);
}

void Simulator::SetDelay(int milliseconds) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->delayMs = milliseconds < 0 ? 0 : milliseconds;
}

std::string Simulator::DescribeFaults() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->faults.Describe() + " (delay " + std::to_string(impl_->delayMs) + " ms)";
}

FaultSettings Simulator::GetFaultSettings() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    FaultSettings settings = impl_->faults.Settings();
    settings.delayMs = impl_->delayMs;
    return settings;
}

void Simulator::SetForcedCarrier(bool on) {
    impl_->forcedCarrier = on ? 1 : 0;
    impl_->Wake();
}

bool Simulator::RadioChanges(uint64_t after, RadioSettings* settings, std::vector<RadioChange>* changes,
                             RadioChange* now) const {
    if (!impl_->options.radio.on) return false;
    *settings = impl_->options.radio;
    *changes = impl_->radioLog.After(after, now);
    return true;
}

bool Simulator::NetLineState(ComPortState* state) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    *state = impl_->netCom;
    return impl_->netConnected;
}

std::string Simulator::DescribeNetLine() const {
    if (impl_->options.listenKind == NetLineNone) return "line: " + LinePath() + "\n";
    ComPortState c;
    bool connected = NetLineState(&c);
    static const char* const kParity[] = {"?", "none", "odd", "even", "mark", "space"};
    static const char* const kStop[] = {"?", "1", "2", "1.5"};
    std::ostringstream out;
    out << "line: " << LinePath() << (impl_->options.radio.on ? " with radio" : "") << ", "
        << (connected ? "client connected" : "no client");
    if (connected && impl_->options.listenKind == NetLineRfc2217) {
        out << "; " << c.baud << " baud, " << int(c.dataBits) << " data bits, parity "
            << kParity[c.parity <= 5 ? c.parity : 0] << ", stop bits " << kStop[c.stopBits <= 3 ? c.stopBits : 0]
            << ", RTS " << (c.rts ? "on" : "off") << ", DTR " << (c.dtr ? "on" : "off") << ", purges " << c.purges;
    }
    out << "\n";
    return out.str();
}

void Simulator::SetTraceSink(std::function<void(const std::string&)> sink) {
    std::lock_guard<std::mutex> lock(impl_->traceMutex);
    impl_->traceSink = std::move(sink);
}

void Simulator::SetCaptureSink(CaptureSink sink) {
    std::lock_guard<std::mutex> lock(impl_->traceMutex);
    impl_->captureSink = std::move(sink);
}

void Simulator::SetTracing(bool on) {
    impl_->tracing = on;
}

bool Simulator::QuitRequested() const {
    return impl_->quit.load();
}

void Simulator::RequestQuit() {
    impl_->quit = true;
}

int64_t Simulator::PcNow() const {
    return impl_->PcNow();
}

bool Simulator::WaitQuiet(int timeoutMs) {
    const int64_t end = SteadyMs() + timeoutMs;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(impl_->mutex);
            if (impl_->outbox.empty() && !impl_->transmitting) return true;
        }
        if (SteadyMs() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace kivsim
