// Capture files: every frame both ways in the pcap format (docs/capture.md),
// link type 147 (the first of the user types), one direction byte before
// each record's line bytes. Written and read here without libpcap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace kivtools {

constexpr uint32_t kCaptureLinkType = 147;
constexpr uint32_t kCaptureSnapLength = 65535;
// The direction byte: first byte of every record.
enum : uint8_t { kCaptureToUnit = 0, kCaptureToHost = 1 };

struct CaptureRecord {
    int64_t wallUs = 0;  // microseconds since 1970 (UTC)
    uint8_t direction = kCaptureToUnit;
    std::vector<uint8_t> bytes;  // as they crossed the line
};

// Writes a capture; records may come from several threads.
class CaptureWriter {
public:
    CaptureWriter() = default;
    ~CaptureWriter() { Close(); }
    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;

    // Creates (or empties) the file and writes its header; false with the reason.
    bool Open(const std::string& path, std::string* error);
    // One record (several for more bytes than a record holds); nothing for
    // no bytes. Each record reaches the file at once, so a capture cut short
    // by a crash still reads up to its last record.
    void Write(int64_t wallUs, uint8_t direction, const uint8_t* bytes, size_t count);
    void Close();
    bool IsOpen() const { return file_ != nullptr; }

private:
    std::mutex mutex_;
    FILE* file_ = nullptr;
};

// Reads a capture of this link type, either byte order, one record at a
// time: memory holds one record however long the file, and a stream that
// is no capture (a device that never ends) is refused at its header.
class CaptureReader {
public:
    CaptureReader() = default;
    ~CaptureReader() { Close(); }
    CaptureReader(const CaptureReader&) = delete;
    CaptureReader& operator=(const CaptureReader&) = delete;

    // Opens the file and reads its header; false with the reason.
    bool Open(const std::string& path, std::string* error);
    // The next record: 1 with it, 0 at the end of the file, -1 with the
    // reason ("PATH: record N: ...") for a fault; after 0 or -1 nothing more.
    int Next(CaptureRecord* record, std::string* error);
    void Close();

private:
    FILE* file_ = nullptr;
    std::string path_;
    bool big_ = false;       // the file's numbers are big-endian
    size_t records_ = 0;     // records read so far
    std::vector<uint8_t> data_;  // the record being read
};

// Reads a whole capture with a CaptureReader. false with the reason (and
// the records up to the fault) for anything that is not such a capture.
bool ReadCapture(const std::string& path, std::vector<CaptureRecord>* records, std::string* error);

}  // namespace kivtools
