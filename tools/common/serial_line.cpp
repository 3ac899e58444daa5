// What every platform's serial line shares.
#include "tools/common/serial_line.h"
#include "tools/common/serial_dcb.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace kivtools {

std::string DescribeSetup(const LineSetup& setup) {
    const char parities[] = "NOEMS";
    char text[48];
    std::snprintf(text, sizeof text, "%u %d%c%s", static_cast<unsigned>(setup.baud), setup.dataBits,
                  setup.parity >= 0 && setup.parity <= 4 ? parities[setup.parity] : '?',
                  setup.stopBits == 1 ? "1.5" : setup.stopBits == 2 ? "2" : "1");
    return text;
}

bool PacedWrite(const uint8_t* bytes, size_t count, int paceBaud, const std::atomic<bool>& stop,
                const std::function<long(const uint8_t*, size_t)>& writeSome, const std::function<void()>& waitWritable) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto byteTime = std::chrono::nanoseconds(paceBaud > 0 ? 10000000000LL / paceBaud : 0);
    size_t done = 0;
    auto lastProgress = start;
    while (done < count) {
        if (stop.load()) return false;
        size_t chunk = count - done;
        if (paceBaud > 0) {
            // A byte goes out when its ten bits have passed on the line:
            // wait for the next one, then write all whose time has come.
            auto due = start + byteTime * int64_t(done + 1);
            auto now = Clock::now();
            if (due > now) {
                std::this_thread::sleep_for(due - now);
                now = Clock::now();
            }
            size_t ready = std::min(count, size_t((now - start) / byteTime));
            chunk = ready > done ? ready - done : 1;
        }
        long n = writeSome(bytes + done, chunk);
        if (n > 0) {
            done += size_t(n);
            lastProgress = Clock::now();
            continue;
        }
        if (n < 0) return false;
        if (Clock::now() - lastProgress > std::chrono::seconds(1)) return false;
        waitWritable();
    }
    return true;
}

DCB DcbFor(const LineSetup& setup) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.fBinary = 1;
    dcb.BaudRate = setup.baud;
    dcb.ByteSize = static_cast<BYTE>(setup.dataBits);
    dcb.StopBits = static_cast<BYTE>(setup.stopBits);
    dcb.Parity = static_cast<BYTE>(setup.parity);
    dcb.fParity = setup.parity != 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    return dcb;
}

}  // namespace kivtools
