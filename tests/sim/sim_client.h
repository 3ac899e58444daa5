// The test's end of the simulator's line: the pseudo-terminal's slave, opened
// and read with plain POSIX calls, and builders for the requests a driver sends.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "link/frame_codec.h"
#include "tools/kivsim/station.h"

namespace simtest {

using Bytes = std::vector<uint8_t>;

inline const uint16_t* CrcTable() { return FrameCrcTable(); }

// A calendar time's fields in order, to compare in one check.
inline std::vector<int> FieldsOf(const kivsim::CalendarTime& t) {
    return {t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond};
}

inline Bytes Frame(const Bytes& message) {
    Bytes frame(kFrameBufferSize);
    frame.resize(EncodeFrameWith(CrcTable(), message.data(), frame.data()));
    return frame;
}

// A request as the driver builds it: DIR by the station/host rule, PRM, the
// given FCB, FCV, function 15 for opcodes that ask for data and 3 for those
// that carry it.
inline Bytes Request(uint16_t station, uint16_t host, uint8_t opcode, const Bytes& payload = {}, bool fcb = false) {
    const bool asks = opcode == 0 || opcode == 1 || opcode == 5 || opcode == 6;
    Bytes m(8 + payload.size());
    m[0] = uint8_t(7 + payload.size());
    m[1] = uint8_t((station >= host ? 0x80 : 0) | 0x40 | (fcb ? 0x20 : 0) | 0x10 | (asks ? 15 : 3));
    m[2] = uint8_t(station >> 8);
    m[3] = uint8_t(station);
    m[4] = uint8_t(host >> 8);
    m[5] = uint8_t(host);
    m[6] = 1;
    m[7] = opcode;
    for (size_t i = 0; i < payload.size(); ++i) m[8 + i] = payload[i];
    return m;
}

inline Bytes LinkReset(uint16_t station, uint16_t host) {
    return {7,
            uint8_t((station >= host ? 0x80 : 0) | 0x40),
            uint8_t(station >> 8),
            uint8_t(station),
            uint8_t(host >> 8),
            uint8_t(host),
            0,
            0};
}

// The driver's acknowledgement of a notice.
inline Bytes NoticeAck(uint16_t station, uint16_t host, uint8_t classes) {
    return {9,
            uint8_t(station >= host ? 0x80 : 0),
            uint8_t(station >> 8),
            uint8_t(station),
            uint8_t(host >> 8),
            uint8_t(host),
            1,
            9,
            0,
            classes};
}

inline uint16_t Source(const Bytes& m) {
    return uint16_t((m[4] << 8) | m[5]);
}
inline uint16_t Destination(const Bytes& m) {
    return uint16_t((m[2] << 8) | m[3]);
}

class SimClient {
public:
    explicit SimClient(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ >= 0) {
            struct termios tio;
            tcgetattr(fd_, &tio);
            cfmakeraw(&tio);
            tcsetattr(fd_, TCSANOW, &tio);
        }
    }
    ~SimClient() {
        if (fd_ >= 0) ::close(fd_);
    }
    SimClient(const SimClient&) = delete;
    SimClient& operator=(const SimClient&) = delete;

    bool ok() const { return fd_ >= 0; }

    void SendBytes(const Bytes& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += size_t(n);
            } else {
                struct pollfd p = {fd_, POLLOUT, 0};
                ::poll(&p, 1, 100);
            }
        }
    }
    void Send(const Bytes& message) { SendBytes(Frame(message)); }

    // Reads until count bytes came or timeoutMs passed; returns what came.
    Bytes Read(size_t count, int timeoutMs) {
        Bytes got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < count) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            struct pollfd p = {fd_, POLLIN, 0};
            if (::poll(&p, 1, int(left.count())) <= 0) continue;
            uint8_t buffer[512];
            size_t want = std::min(sizeof buffer, count - got.size());
            ssize_t n = ::read(fd_, buffer, want);
            if (n > 0) got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

    // Reads one frame: true with its message (length byte first) when it came
    // whole with the right start bytes and CRCs. The raw bytes go to *frame.
    bool ReadFrame(Bytes* message, Bytes* frame = nullptr, int timeoutMs = 5000) {
        Bytes head = Read(3, timeoutMs);
        if (frame) *frame = head;
        if (head.size() < 3 || head[0] != 0x05 || head[1] != 0x64) return false;
        Bytes rest = Read(FrameSizeFor(head[2]) - 3, timeoutMs);
        head.insert(head.end(), rest.begin(), rest.end());
        if (frame) *frame = head;
        if (head.size() < FrameSizeFor(head[2])) return false;
        uint8_t m[kMessageBufferSize];
        if (!CheckFrameBlocks(CrcTable(), head.data(), m)) return false;
        message->assign(m, m + head[2] + 1);
        return true;
    }

    // Sends a request and returns the answer's message (empty when none came).
    Bytes Ask(const Bytes& request) {
        Send(request);
        Bytes answer;
        if (!ReadFrame(&answer)) answer.clear();
        return answer;
    }

private:
    int fd_ = -1;
};

}  // namespace simtest
