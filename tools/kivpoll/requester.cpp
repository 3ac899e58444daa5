// One request: the address check, the driver's command, the row.
#include "tools/kivpoll/requester.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "tools/kivpoll/console.h"
#include "tools/kivpoll/host_log.h"
#include "tools/kivpoll/reasons.h"

namespace kivpoll {

namespace {

constexpr int32_t kBitKind = 6;  // the host's value kind of a single bit

// A bit gate's value is the 16-bit word at byte offset 2 of its first entry.
uint16_t BitOf(const int32_t* data) {
    uint16_t bit;
    std::memcpy(&bit, reinterpret_cast<const unsigned char*>(data) + 2, sizeof bit);
    return bit;
}

}  // namespace

bool IsBitAddress(const std::string& text) {
    return text.size() >= 10 && (text[0] == 'R' || text[0] == 'r') && text[9] != ' ';
}

int32_t Requester::Timed(int32_t command, GateRequest* gate, double* ms) {
    auto start = std::chrono::steady_clock::now();
    int32_t result = host_.Call(command, gate);
    *ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    return result;
}

int32_t Requester::Request(const std::string& text, const RequestSpec& spec, std::vector<int32_t>* values) {
    ResultRow row;
    row.address = text;
    int32_t kind = spec.kind >= 0 ? spec.kind : (IsBitAddress(text) ? kBitKind : 3);
    GateRequest gate;
    LogCapture log;
    const LineSeen before = SeenOnLine();
    row.result = host_.Address(CommandParseAddress, text, kind, 0, &gate);
    if (row.result != 0) {
        row.operation = "check";
        row.reason = AddressReason(host_, CommandParseAddress, text, kind, 0);
    } else {
        std::vector<int32_t> data(std::max<size_t>(std::max<size_t>(spec.count, spec.values.size()), 1), 0);
        gate.data = data.data();
        gate.count = 1;
        if (gate.area == AreaRegister && spec.write) {
            WriteRegister(spec, &gate, kind, &row);
        } else if (gate.area == AreaRegister) {
            ReadRegister(text, spec, &gate, kind, &row);
        } else {
            const bool clock = gate.area == AreaClock, events = gate.area != AreaStatus && !clock;
            row.operation = clock ? "clock" : events ? "events" : spec.write ? "write" : "read";
            row.result = Timed(clock || (!events && spec.write) ? CommandWrite : CommandRead, &gate, &row.milliseconds);
            // A status point is set only by status events: the driver refuses it.
            if (row.result == 1 && gate.area == AreaStatus)
                row.reason = "a status point is set only by status events (fetch them with !S)";
        }
        const bool unfit = row.result == 1 && row.reason.empty();
        if (unfit) row.reason = RefusedRequestReason(log.lines(), row.operation);
        if (row.result == 2 || (unfit && row.reason == RefusedRequestReason({}, row.operation)))
            SayWhatCameBack(log.lines(), before, &row);
    }
    ShowResult(output_, summary_, row);
    if (holding_) held_.insert(held_.end(), checklists_.begin(), checklists_.end());
    else for (const std::string& text : checklists_) ShowNote(output_, text);
    checklists_.clear();
    if (values != nullptr) *values = row.values;
    return row.result;
}

void Requester::ShowHeldChecklists() {
    for (const std::string& text : held_) ShowNote(output_, text);
    held_.clear();
}

void Requester::SayWhatCameBack(const std::vector<std::string>& log, const LineSeen& before, ResultRow* row) {
    const LineSeen after = SeenOnLine();
    const LineHeard heard = HeardOnLine(row->result, log, before, after);
    if (row->result == 2) {
        row->reason = NoAnswerReason(heard, after);
    } else {
        const std::string addresses = AnswerAddresses(after);
        if (!addresses.empty()) row->reason += " (" + addresses + ")";
    }
    bool& advised = advised_[static_cast<int>(heard)];
    if (!advised) checklists_.push_back(Checklist(heard, row->address));
    advised = true;
}

void Requester::ReadRegister(const std::string& text, const RequestSpec& spec, GateRequest* gate, int32_t kind,
                             ResultRow* row) {
    row->operation = "read";
    if (spec.count > 1) {
        GateRequest block;
        row->result = host_.Address(CommandCheckAddress, text, 3, spec.count, &block);
        if (row->result != 0) {
            row->reason = AddressReason(host_, CommandCheckAddress, text, 3, spec.count);
            return;
        }
        gate->count = spec.count;
        row->result = Timed(CommandReadBlock, gate, &row->milliseconds);
        if (row->result == 0) row->values.assign(gate->data, gate->data + spec.count);
        return;
    }
    row->result = Timed(CommandRead, gate, &row->milliseconds);
    if (row->result == 0) row->values.push_back(kind == kBitKind ? BitOf(gate->data) : gate->data[0]);
}

void Requester::WriteRegister(const RequestSpec& spec, GateRequest* gate, int32_t kind, ResultRow* row) {
    row->operation = "write";
    const std::vector<int32_t>& values = spec.values;
    if (kind == kBitKind) {
        uint16_t bit = !values.empty() && values[0] != 0 ? 1 : 0;
        std::memcpy(reinterpret_cast<unsigned char*>(gate->data) + 2, &bit, sizeof bit);
        row->values.push_back(bit);
        row->result = Timed(CommandWrite, gate, &row->milliseconds);
        return;
    }
    std::copy(values.begin(), values.end(), gate->data);
    row->values = values;
    gate->count = static_cast<int32_t>(std::max<size_t>(values.size(), 1));
    row->result = Timed(values.size() > 1 ? CommandWriteBlock : CommandWrite, gate, &row->milliseconds);
    if (row->result == 1) row->reason = WriteReason(gate->count);
}

}  // namespace kivpoll
