// pcap files of the tools' line traffic.
#include "tools/common/capture.h"
#include "tools/common/time_text.h"

#include <cerrno>
#include <cstring>

namespace kivtools {

namespace {

constexpr uint32_t kMagic = 0xA1B2C3D4;  // microsecond time stamps
constexpr size_t kFileHeaderSize = 24;
constexpr size_t kRecordHeaderSize = 16;

void PutLittle32(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

uint32_t Get32(const uint8_t* p, bool big) {
    return big ? (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]
               : (uint32_t(p[3]) << 24) | (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
}

// The 24-byte file header and the 16-byte header of a record, as written
// (little-endian, microsecond time stamps).
std::vector<uint8_t> CaptureFileHeader() {
    std::vector<uint8_t> header;
    PutLittle32(header, kMagic);
    PutLittle32(header, 2 | 4 << 16);  // version 2.4: major, then minor, 16 bits each
    PutLittle32(header, 0);  // time stamps are UTC
    PutLittle32(header, 0);  // accuracy
    PutLittle32(header, kCaptureSnapLength);
    PutLittle32(header, kCaptureLinkType);
    return header;
}

std::vector<uint8_t> CaptureRecordHeader(int64_t wallUs, size_t lineBytes) {
    std::vector<uint8_t> header;
    int64_t micros;
    const int64_t seconds = FloorDivide(wallUs, 1000000, &micros);
    const uint32_t length = static_cast<uint32_t>(lineBytes + 1);  // the direction byte first
    PutLittle32(header, static_cast<uint32_t>(seconds));
    PutLittle32(header, static_cast<uint32_t>(micros));
    PutLittle32(header, length);
    PutLittle32(header, length);
    return header;
}

}  // namespace

bool CaptureWriter::Open(const std::string& path, std::string* error) {
    Close();
    std::lock_guard<std::mutex> lock(mutex_);
    file_ = std::fopen(path.c_str(), "wb");
    const std::vector<uint8_t> header = CaptureFileHeader();
    if (file_ == nullptr || std::fwrite(header.data(), 1, header.size(), file_) != header.size() ||
        std::fflush(file_) != 0) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        if (file_ != nullptr) std::fclose(file_);
        file_ = nullptr;
        return false;
    }
    return true;
}

void CaptureWriter::Write(int64_t wallUs, uint8_t direction, const uint8_t* bytes, size_t count) {
    if (count == 0) return;
    if (count >= kCaptureSnapLength) {
        // A run of bytes longer than a record holds goes into several.
        const size_t first = kCaptureSnapLength - 1;
        Write(wallUs, direction, bytes, first);
        Write(wallUs, direction, bytes + first, count - first);
        return;
    }
    std::vector<uint8_t> record = CaptureRecordHeader(wallUs, count);
    record.push_back(direction);
    record.insert(record.end(), bytes, bytes + count);
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ == nullptr) return;
    std::fwrite(record.data(), 1, record.size(), file_);
    std::fflush(file_);
}

void CaptureWriter::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
}

bool CaptureReader::Open(const std::string& path, std::string* error) {
    Close();
    path_ = path;
    records_ = 0;
    file_ = std::fopen(path.c_str(), "rb");
    if (file_ == nullptr) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    uint8_t header[kFileHeaderSize];
    const char* fault = nullptr;
    if (std::fread(header, 1, sizeof header, file_) != sizeof header) {
        fault = "too short for a pcap file header";
    } else {
        big_ = Get32(header, true) == kMagic;
        if (!big_ && Get32(header, false) != kMagic) fault = "not a pcap file with microsecond time stamps";
    }
    if (fault == nullptr) {
        const uint32_t linkType = Get32(&header[20], big_);
        if (linkType == kCaptureLinkType) return true;
        *error = path + ": link type " + std::to_string(linkType) + ", not " + std::to_string(kCaptureLinkType);
    } else {
        *error = path + ": " + fault;
    }
    Close();
    return false;
}

int CaptureReader::Next(CaptureRecord* record, std::string* error) {
    if (file_ == nullptr) return 0;
    const std::string where = path_ + ": record " + std::to_string(records_ + 1);
    auto fail = [&](const char* why) {
        *error = where + ": " + why;
        Close();
        return -1;
    };
    uint8_t header[kRecordHeaderSize];
    const size_t got = std::fread(header, 1, sizeof header, file_);
    if (got == 0) {
        Close();
        return 0;
    }
    if (got < sizeof header) return fail("header cut short");
    const uint32_t seconds = Get32(header, big_), micros = Get32(header + 4, big_);
    const uint32_t stored = Get32(header + 8, big_), original = Get32(header + 12, big_);
    if (stored == 0 || stored > kCaptureSnapLength || stored != original || micros >= 1000000)
        return fail("not a record of this format");
    data_.resize(stored);
    if (std::fread(data_.data(), 1, stored, file_) != stored) return fail("cut short");
    if (data_[0] > kCaptureToHost) return fail(("direction byte " + std::to_string(data_[0])).c_str());
    record->wallUs = int64_t(seconds) * 1000000 + micros;
    record->direction = data_[0];
    record->bytes.assign(data_.begin() + 1, data_.end());
    ++records_;
    return 1;
}

void CaptureReader::Close() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
}

bool ReadCapture(const std::string& path, std::vector<CaptureRecord>* records, std::string* error) {
    CaptureReader reader;
    if (!reader.Open(path, error)) return false;
    CaptureRecord record;
    int next;
    while ((next = reader.Next(&record, error)) == 1) records->push_back(std::move(record));
    return next == 0;
}

}  // namespace kivtools
