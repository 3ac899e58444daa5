// Fuzz target: a capture file as `kivpoll --decode` reads and prints it.
//   - The reader ends with the file or with a reason; what it read before a
//     fault is whole records (direction 0 or 1, at most a record's bytes).
//   - A capture read without fault accounts for every byte of the file.
//   - The records written again by the capture writer read back the same.
//   - The decoder prints one trace line per record read, the record's bytes
//     in it, whether the file ends soundly or not.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/basics.h"
#include "tools/common/capture.h"
#include "tools/common/frame_text.h"
#include "tools/common/time_text.h"

namespace {

using kivtools::CaptureRecord;

bool SameRecords(const std::vector<CaptureRecord>& a, const std::vector<CaptureRecord>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].wallUs != b[i].wallUs || a[i].direction != b[i].direction || a[i].bytes != b[i].bytes) return false;
    }
    return true;
}

// What PrintCapture writes, as lines.
std::vector<std::string> PrintedLines(const std::string& path, bool* ok) {
    char* text = nullptr;
    size_t length = 0;
    FILE* out = open_memstream(&text, &length);
    if (out == nullptr) fuzzing::Fail("no memory stream");
    std::string error;
    *ok = kivtools::PrintCapture(path, out, &error);
    std::fclose(out);
    const std::string all(text, length);
    std::free(text);
    fuzzing::Check(all.empty() || all.back() == '\n', "every printed line ends with a line feed");
    fuzzing::Check(*ok || !error.empty(), "a failed print says why");
    return fuzzing::Split(all);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Half the inputs in UTC, half in the local zone: both time paths.
    kivtools::UseUtc(size % 2 == 0);
    const std::string path = fuzzing::WriteScratchFile("input.pcap", data, size);
    std::vector<CaptureRecord> records;
    std::string error;
    const bool read = kivtools::ReadCapture(path, &records, &error);
    fuzzing::Check(read == error.empty(), "a reason exactly when the reading failed");
    size_t accounted = 24;
    for (const CaptureRecord& record : records) {
        fuzzing::Check(record.direction <= kivtools::kCaptureToHost, "a direction of 0 or 1");
        fuzzing::Check(record.bytes.size() < kivtools::kCaptureSnapLength, "no record over the snap length");
        fuzzing::Check(record.wallUs >= 0, "no time before 1970");
        accounted += 16 + 1 + record.bytes.size();
    }
    if (read) fuzzing::Check(accounted == size, "a sound capture is its header and its records, nothing else");
    else fuzzing::Check(accounted <= size || records.empty(), "no record read from past the file's end");

    bool printed = false;
    const std::vector<std::string> lines = PrintedLines(path, &printed);
    fuzzing::Check(printed == read, "the decoder fails exactly when the reader does");
    fuzzing::Check(lines.size() == records.size(), "one trace line per record");
    for (size_t i = 0; i < lines.size(); ++i) {
        const CaptureRecord& record = records[i];
        const std::string hex = kivtools::HexBytes(record.bytes.data(), record.bytes.size());
        fuzzing::Check(lines[i].find(record.direction == kivtools::kCaptureToUnit ? " H>U " : " U>H ") !=
                           std::string::npos,
                       "the line names the record's direction");
        fuzzing::Check(lines[i].find(hex) != std::string::npos, "the line holds the record's bytes");
    }

    // Written again, the records read back the same (the writer leaves a
    // record without line bytes out).
    std::vector<CaptureRecord> kept;
    for (const CaptureRecord& record : records) {
        if (!record.bytes.empty()) kept.push_back(record);
    }
    const std::string again = fuzzing::ScratchDirectory() + "/again.pcap";
    {
        kivtools::CaptureWriter writer;
        if (!writer.Open(again, &error)) fuzzing::Fail("cannot write the capture again");
        for (const CaptureRecord& record : kept)
            writer.Write(record.wallUs, record.direction, record.bytes.data(), record.bytes.size());
    }
    std::vector<CaptureRecord> reread;
    fuzzing::Check(kivtools::ReadCapture(again, &reread, &error), "a written capture reads back");
    fuzzing::Check(SameRecords(kept, reread), "a written capture reads back the same records");
    return 0;
}
