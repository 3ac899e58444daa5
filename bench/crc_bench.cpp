// Figure 4: the frame CRC and the frame code. The driver's block CRC
// (BlockCrc: four bytes a step over the table and three follower tables) against a bitwise reference and against
// Boost.CRC's table-driven crc_optimal with the same parameters, on 16-byte
// blocks as frames cut them and on 256-byte runs; then encoding plus checking
// a 255-byte message with the driver's EncodeFrameWith and CheckFrameBlocks
// against the same framing done with the two other CRCs.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "bench/bench.h"
#include "bench/support.h"
#include "link/frame_codec.h"

#ifdef KIV_BENCH_BOOST_CRC
#include <boost/crc.hpp>
#endif

namespace {

constexpr uint16_t kPolynomial = 0x3D65;
constexpr size_t kRun = 4096;  // bytes per iteration of the block benchmarks

// Taken before main, so that no block pays for a call to get it.
const uint16_t* const crcTable = FrameCrcTable();

const uint16_t* Table() { return crcTable; }

const std::vector<uint8_t>& Data() {
    static const std::vector<uint8_t> data = [] {
        std::vector<uint8_t> bytes(kRun);
        uint32_t state = 0x12345678u;
        for (uint8_t& byte : bytes) {
            state = state * 1664525u + 1013904223u;
            byte = static_cast<uint8_t>(state >> 24);
        }
        return bytes;
    }();
    return data;
}

// The driver's CRC of one block, complemented as it goes on the line.
inline uint16_t TableCrc(const uint8_t* bytes, size_t count) {
    return BlockCrc(Table(), bytes, static_cast<int>(count));
}

// The definition, one bit at a time: the reference.
inline uint16_t BitwiseCrc(const uint8_t* bytes, size_t count) {
    uint16_t crc = 0;
    for (size_t i = 0; i < count; ++i) {
        crc = static_cast<uint16_t>(crc ^ (bytes[i] << 8));
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ kPolynomial : crc << 1);
    }
    return static_cast<uint16_t>(~crc);
}

#ifdef KIV_BENCH_BOOST_CRC
using BoostCrc = boost::crc_optimal<16, kPolynomial, 0, 0xFFFF, false, false>;
inline uint16_t BoostBlockCrc(const uint8_t* bytes, size_t count) {
    BoostCrc crc;
    crc.process_bytes(bytes, count);
    return crc.checksum();
}
#endif

// One pass of Crc over the kRun bytes in blocks, each from a fresh start,
// as the frame code computes them.
template <uint16_t (*Crc)(const uint8_t*, size_t)>
void CrcPass(const uint8_t* data, size_t block) {
    uint16_t sink = 0;
    for (size_t at = 0; at + block <= kRun; at += block) sink ^= Crc(data + at, block);
    benchmark::DoNotOptimize(sink);
}

// CRCs of kRun bytes cut into blocks of state.range(0) bytes.
template <uint16_t (*Crc)(const uint8_t*, size_t)>
void BlockCrc(benchmark::State& state) {
    const size_t block = static_cast<size_t>(state.range(0));
    const uint8_t* data = Data().data();
    // Every implementation must agree on every block before it is timed.
    for (size_t at = 0; at + block <= kRun; at += block) {
        if (Crc(data + at, block) != BitwiseCrc(data + at, block)) {
            state.SkipWithError("CRC differs from the reference");
            return;
        }
    }
    for (auto _ : state) CrcPass<Crc>(data, block);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kRun - kRun % block));
}

#ifdef KIV_BENCH_BOOST_CRC
// The duration of one pass of Crc, in ns.
template <uint16_t (*Crc)(const uint8_t*, size_t)>
int64_t TimedPass(const uint8_t* data, size_t block) {
    const int64_t start = kivbench::NowNs();
    CrcPass<Crc>(data, block);
    return kivbench::NowNs() - start;
}

// The budget's comparison, robust to a busy machine: the driver's loop and
// Boost.CRC on the same blocks, pass for pass in alternating order, each pass
// timed alone; the medians of the pass times give the two speeds.
void BM_CrcVersusBoost(benchmark::State& state) {
    const size_t block = static_cast<size_t>(state.range(0));
    const uint8_t* data = Data().data();
    std::vector<int64_t> table, boost;
    table.reserve(static_cast<size_t>(state.max_iterations));
    boost.reserve(static_cast<size_t>(state.max_iterations));
    bool tableFirst = true;
    for (auto _ : state) {
        if (tableFirst) table.push_back(TimedPass<TableCrc>(data, block));
        boost.push_back(TimedPass<BoostBlockCrc>(data, block));
        if (!tableFirst) table.push_back(TimedPass<TableCrc>(data, block));
        tableFirst = !tableFirst;
    }
    const double bytes = static_cast<double>(kRun - kRun % block);
    const double tableNs = kivbench::Quantile(table, 0.5);
    const double boostNs = kivbench::Quantile(boost, 0.5);
    state.counters["table_mb_s"] = bytes / tableNs * 1e3;
    state.counters["boost_mb_s"] = bytes / boostNs * 1e3;
    state.counters["table_vs_boost"] = boostNs / tableNs;  // above 1: the table loop is faster
}
#endif

// The framing of the frame code, with another CRC: what the driver's
// EncodeFrameWith and CheckFrameBlocks would be with it.
template <uint16_t (*Crc)(const uint8_t*, size_t)>
size_t ReferenceEncode(const uint8_t* message, uint8_t* out) {
    const size_t total = static_cast<size_t>(message[0]) + 1;
    size_t at = 0;
    out[at++] = kFrameStartHi;
    out[at++] = kFrameStartLo;
    for (size_t done = 0; done < total; done += 16) {
        const size_t block = total - done < 16 ? total - done : 16;
        std::memcpy(out + at, message + done, block);
        at += block;
        const uint16_t crc = Crc(message + done, block);
        out[at++] = static_cast<uint8_t>(crc >> 8);
        out[at++] = static_cast<uint8_t>(crc & 0xFF);
    }
    return at;
}

template <uint16_t (*Crc)(const uint8_t*, size_t)>
int ReferenceCheck(const uint8_t* frame, uint8_t* message) {
    const uint8_t* in = frame + 2;
    const size_t total = static_cast<size_t>(in[0]) + 1;
    for (size_t done = 0; done < total; done += 16) {
        const size_t block = total - done < 16 ? total - done : 16;
        std::memcpy(message + done, in, block);
        const uint16_t crc = Crc(in, block);
        in += block;
        if (in[0] != (crc >> 8) || in[1] != (crc & 0xFF)) return 0;
        in += 2;
    }
    return 1;
}

size_t DriverEncode(const uint8_t* message, uint8_t* out) { return EncodeFrameWith(Table(), message, out); }
int DriverCheck(const uint8_t* frame, uint8_t* message) { return CheckFrameBlocks(Table(), frame, message); }

// Encodes a message of length 255 (256 bytes with its length byte, a 290-byte
// frame) and checks the frame back into a message buffer.
template <size_t (*Encode)(const uint8_t*, uint8_t*), int (*Check)(const uint8_t*, uint8_t*)>
void FrameRoundTrip(benchmark::State& state) {
    uint8_t message[kMessageBufferSize];
    std::memcpy(message, Data().data(), sizeof message);
    message[0] = 255;
    uint8_t frame[kFrameBufferSize];
    uint8_t reference[kFrameBufferSize];
    uint8_t back[kMessageBufferSize];
    // Byte for byte what the driver's encoder makes, and accepted.
    const size_t size = Encode(message, frame);
    if (size != DriverEncode(message, reference) || std::memcmp(frame, reference, size) != 0 ||
        !Check(frame, back) || std::memcmp(back, message, sizeof back) != 0) {
        state.SkipWithError("frame differs from the driver's");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(Encode(message, frame));
        benchmark::ClobberMemory();
        benchmark::DoNotOptimize(Check(frame, back));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(sizeof message));
    state.counters["frame_bytes"] = static_cast<double>(size);
}

}  // namespace

namespace kivbench {

// Five repetitions each, reported as mean, median and spread: the budget
// compares medians of CPU time.
void RegisterCrcBenchmarks() {
    using Fn = void (*)(benchmark::State&);
    const struct {
        const char* name;
        Fn fn;
        bool blocks;
    } kCases[] = {
        {"BM_CrcTable", BlockCrc<TableCrc>, true},
        {"BM_CrcBitwise", BlockCrc<BitwiseCrc>, true},
#ifdef KIV_BENCH_BOOST_CRC
        {"BM_CrcBoost", BlockCrc<BoostBlockCrc>, true},
#endif
        {"BM_FrameDriver", FrameRoundTrip<DriverEncode, DriverCheck>, false},
        {"BM_FrameBitwise", FrameRoundTrip<ReferenceEncode<BitwiseCrc>, ReferenceCheck<BitwiseCrc>>, false},
#ifdef KIV_BENCH_BOOST_CRC
        {"BM_FrameBoost", FrameRoundTrip<ReferenceEncode<BoostBlockCrc>, ReferenceCheck<BoostBlockCrc>>, false},
#endif
    };
    for (const auto& entry : kCases) {
        benchmark::internal::Benchmark* b = benchmark::RegisterBenchmark(entry.name, entry.fn);
        if (entry.blocks) b->Arg(16)->Arg(256);
        b->Repetitions(5)->ReportAggregatesOnly(true);
    }
#ifdef KIV_BENCH_BOOST_CRC
    benchmark::RegisterBenchmark("BM_CrcVersusBoost", BM_CrcVersusBoost)->Arg(16)->Iterations(20000);
#endif
}

}  // namespace kivbench
