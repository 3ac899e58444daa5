// Requests through the driver, each reported as a row with its reason.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/kivpoll/driver_host.h"
#include "tools/kivpoll/line_tap.h"
#include "tools/kivpoll/output.h"
#include "tools/kivpoll/summary.h"

namespace kivpoll {

// What one request asks for, beyond its address.
struct RequestSpec {
    int32_t count = 1;            // registers of a block read
    bool write = false;
    std::vector<int32_t> values;  // written values (a bit address: 0 or 1)
    int32_t kind = -1;            // -1: 3, or 6 for bit addresses
};

// True for an address with bit digits (R0012030105).
bool IsBitAddress(const std::string& text);

class Requester {
public:
    Requester(DriverHost& host, Output& output, Summary& summary) : host_(host), output_(output), summary_(summary) {}
    // One request for one address; returns the driver's result.
    int32_t Request(const std::string& address, const RequestSpec& spec, std::vector<int32_t>* values = nullptr);
    // Keeps the checklists instead of showing them after the rows (a scan,
    // where silent stations are the rule), until ShowHeldChecklists.
    void HoldChecklists() { holding_ = true; }
    void ShowHeldChecklists();

private:
    int32_t Timed(int32_t command, GateRequest* gate, double* ms);
    void ReadRegister(const std::string& text, const RequestSpec& spec, GateRequest* gate, int32_t kind, ResultRow* row);
    void WriteRegister(const RequestSpec& spec, GateRequest* gate, int32_t kind, ResultRow* row);
    // What came back for a request without a fitting answer: the row's
    // reason, and the checklist once a run for each kind of what came.
    void SayWhatCameBack(const std::vector<std::string>& log, const LineSeen& before, ResultRow* row);
    DriverHost& host_;
    Output& output_;
    Summary& summary_;
    std::vector<std::string> checklists_;  // to show after the row, each kind once a run
    std::vector<std::string> held_;        // kept back while holding_
    bool holding_ = false;
    bool advised_[3] = {false, false, false};
};

}  // namespace kivpoll
