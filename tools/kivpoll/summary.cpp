// Counting requests and printing the summary.
#include "tools/kivpoll/summary.h"

#include <algorithm>

namespace kivpoll {

namespace {

double Percentile(std::vector<double> values, double share) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t index = static_cast<size_t>(share * (values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

}  // namespace

void Summary::Count(const ResultRow& row) {
    ++requests;
    if (row.result == 0) ++done;
    else if (row.result == 1) ++refused;
    else ++noAnswer;
    if (row.milliseconds >= 0) rtts.push_back(row.milliseconds);
}

void PrintSummary(const Summary& summary, const OutputOptions& output, std::FILE* out) {
    if (output.csv) out = stderr;  // the rows stay a table of rows
    const double low = Percentile(summary.rtts, 0), median = Percentile(summary.rtts, 0.5),
                 p90 = Percentile(summary.rtts, 0.9), high = Percentile(summary.rtts, 1);
    if (output.json) {
        std::fprintf(out, "{\"type\":\"summary\",\"requests\":%d,\"done\":%d,\"refused\":%d,\"no_answer\":%d,"
                    "\"gate_updates\":%d,\"line_faults\":%d,\"rtt_ms\":{\"min\":%.3f,\"median\":%.3f,\"p90\":%.3f,"
                    "\"max\":%.3f}}\n",
                    summary.requests, summary.done, summary.refused, summary.noAnswer, summary.gateUpdates,
                    summary.lineFaults, low, median, p90, high);
    } else {
        std::fprintf(out, "\nrequests %d: done %d, refused %d, no answer %d; gate updates %d; line faults logged %d\n",
                    summary.requests, summary.done, summary.refused, summary.noAnswer, summary.gateUpdates,
                    summary.lineFaults);
        if (!summary.rtts.empty())
            std::fprintf(out, "round trip ms: min %.3f  median %.3f  p90 %.3f  max %.3f\n", low, median, p90, high);
    }
    std::fflush(out);
}

bool Said(const std::string& message) {
    std::fprintf(stderr, "kivpoll: %s\n", message.c_str());
    return false;
}

int ExitCodeFor(const Summary& summary) {
    if (summary.noAnswer > 0) return kExitNoAnswer;
    if (summary.refused > 0) return kExitRefused;
    return kExitDone;
}

}  // namespace kivpoll
