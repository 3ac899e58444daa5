// Capture files: the pcap headers byte for byte, records read back and
// printed as trace lines, files that are not such a capture refused with the
// reason, and the tracer's pieces going into trace and capture alike.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/frames.h"
#include "tests/support/scratch_directory.h"
#include "tools/common/capture.h"
#include "tools/common/frame_text.h"
#include "tools/common/time_text.h"

namespace {

constexpr int64_t kUs = 1796702462345678;  // 2026-12-08T04:01:02.345678Z

Bytes ReadAll(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& name, const Bytes& bytes) {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string Printed(const std::string& name, bool* ok, std::string* error) {
    FILE* out = std::tmpfile();
    *ok = kivtools::PrintCapture(name, out, error);
    std::rewind(out);
    std::string text;
    for (int c; (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
    std::fclose(out);
    return text;
}

class CaptureTest : public ::testing::Test {
protected:
    void SetUp() override { kivtools::UseUtc(true); }
    void TearDown() override { kivtools::UseUtc(false); }
    ScratchDirectory scratch{"kiv-capture"};
    const Bytes reset = FrameOf(HexBytes("07 C0 00 0C 00 00 00 00"));
    const Bytes junk = HexBytes("01 02");
};

TEST_F(CaptureTest, HeadersAreTheDocumentedBytes) {
    {
        kivtools::CaptureWriter writer;
        std::string error;
        ASSERT_TRUE(writer.Open("line.pcap", &error)) << error;
        writer.Write(kUs, kivtools::kCaptureToUnit, reset.data(), reset.size());
        writer.Write(kUs + 1000, kivtools::kCaptureToHost, junk.data(), junk.size());
        writer.Write(kUs, kivtools::kCaptureToHost, junk.data(), 0);  // nothing
    }
    const Bytes file = ReadAll("line.pcap");
    const struct {
        size_t at;
        const char* bytes;
    } pieces[] = {
        {0, "D4 C3 B2 A1 02 00 04 00 00 00 00 00 00 00 00 00 FF FF 00 00 93 00 00 00"},  // file header
        {24, "FE 80 17 6B 4E 46 05 00 0D 00 00 00 0D 00 00 00 00"},  // record: seconds, us, lengths, H>U
        {24 + 17 + 12, "FE 80 17 6B 36 4A 05 00 03 00 00 00 03 00 00 00 01 01 02"},  // U>H, junk
    };
    for (const auto& piece : pieces) {
        const Bytes want = HexBytes(piece.bytes);
        ASSERT_GE(file.size(), piece.at + want.size());
        EXPECT_EQ(HexText(want), HexText(Bytes(file.begin() + piece.at, file.begin() + piece.at + want.size())))
            << "at " << piece.at;
    }
    EXPECT_EQ(HexText(reset), HexText(Bytes(file.begin() + 41, file.begin() + 53)));
    EXPECT_EQ(24u + 17 + 12 + 19, file.size());

    std::vector<kivtools::CaptureRecord> records;
    std::string error;
    ASSERT_TRUE(kivtools::ReadCapture("line.pcap", &records, &error)) << error;
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(kUs, records[0].wallUs);
    EXPECT_EQ(kivtools::kCaptureToHost, records[1].direction);
    EXPECT_EQ(junk, records[1].bytes);

    bool ok = false;
    EXPECT_EQ(kivtools::TraceLine(kUs / 1000, "H>U", reset.data(), reset.size()) + "\n" +
                  "2026-12-08T04:01:02.346Z U>H 01 02 (not a frame)\n",
              Printed("line.pcap", &ok, &error));
    EXPECT_TRUE(ok) << error;
}

TEST_F(CaptureTest, ALongRunOfBytesTakesSeveralRecords) {
    const Bytes noise(70000, 0x11);
    {
        kivtools::CaptureWriter writer;
        std::string error;
        ASSERT_TRUE(writer.Open("long.pcap", &error)) << error;
        writer.Write(kUs, kivtools::kCaptureToHost, noise.data(), noise.size());
    }
    std::vector<kivtools::CaptureRecord> records;
    std::string error;
    ASSERT_TRUE(kivtools::ReadCapture("long.pcap", &records, &error)) << error;
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(noise.size(), records[0].bytes.size() + records[1].bytes.size());
}

TEST_F(CaptureTest, FilesThatAreNoSuchCaptureSayWhy) {
    const Bytes header = HexBytes("D4 C3 B2 A1 02 00 04 00 00 00 00 00 00 00 00 00 FF FF 00 00 93 00 00 00");
    const Bytes record = HexBytes("FE 80 17 6B 4E 46 05 00 03 00 00 00 03 00 00 00 01 01 02");
    auto with = [](Bytes bytes, size_t at, const char* hex) {
        const Bytes patch = HexBytes(hex);
        std::copy(patch.begin(), patch.end(), bytes.begin() + at);
        return bytes;
    };
    Bytes whole = header;
    whole.insert(whole.end(), record.begin(), record.end());
    Bytes bigEndian = HexBytes("A1 B2 C3 D4 00 02 00 04 00 00 00 00 00 00 00 00 00 00 FF FF 00 00 00 93"
                               " 6B 17 80 FE 00 05 46 4E 00 00 00 03 00 00 00 03 01 01 02");
    const struct {
        Bytes bytes;
        bool ok;
        size_t records;
        const char* says;
    } cases[] = {
        {whole, true, 1, ""},
        {bigEndian, true, 1, ""},
        {header, true, 0, ""},
        {Bytes(header.begin(), header.begin() + 20), false, 0, "too short for a pcap file header"},
        {with(whole, 0, "4D 3C B2 A1"), false, 0, "not a pcap file with microsecond time stamps"},
        {with(whole, 20, "01"), false, 0, "link type 1, not 147"},
        {Bytes(whole.begin(), whole.end() - 1), false, 0, "record 1: cut short"},
        {Bytes(whole.begin(), whole.begin() + 30), false, 0, "record 1: header cut short"},
        {with(whole, 24 + 16, "07"), false, 0, "record 1: direction byte 7"},
        {with(whole, 24 + 12, "04"), false, 0, "record 1: not a record of this format"},
    };
    for (const auto& c : cases) {
        WriteAll("case.pcap", c.bytes);
        std::vector<kivtools::CaptureRecord> records;
        std::string error;
        EXPECT_EQ(c.ok, kivtools::ReadCapture("case.pcap", &records, &error)) << HexText(c.bytes);
        EXPECT_EQ(c.records, records.size()) << HexText(c.bytes);
        EXPECT_NE(std::string::npos, error.find(c.says)) << error;
        if (c.ok && c.records == 1) {
            EXPECT_EQ(kUs, records[0].wallUs);
        }
    }
    std::string error;
    bool ok = true;
    Printed("no-such.pcap", &ok, &error);
    EXPECT_FALSE(ok);
    EXPECT_NE(std::string::npos, error.find("no-such.pcap")) << error;
#if !defined(_WIN32)
    // A device that never ends is refused at its header, not read whole.
    EXPECT_EQ("", Printed("/dev/zero", &ok, &error));
    EXPECT_FALSE(ok);
    EXPECT_NE(std::string::npos, error.find("/dev/zero: not a pcap file")) << error;
#endif
}

// The tap's tracer: junk, a frame and a frame left incomplete go into the
// trace and the capture as the same three pieces.
TEST_F(CaptureTest, TheTracerWritesEachPieceToTraceAndCapture) {
    kivtools::CaptureWriter writer;
    std::string error;
    ASSERT_TRUE(writer.Open("tap.pcap", &error)) << error;
    FILE* trace = std::tmpfile();
    kivtools::FrameTracer tracer("U>H", kivtools::kCaptureToHost, trace, &writer);
    Bytes stream = junk;
    stream.insert(stream.end(), reset.begin(), reset.end());
    stream.insert(stream.end(), reset.begin(), reset.begin() + 5);
    tracer.Feed(stream.data(), 3);  // pieces as they arrive
    tracer.Feed(stream.data() + 3, stream.size() - 3);
    tracer.Idle();
    writer.Close();
    std::rewind(trace);
    std::vector<std::string> lines;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, trace) != nullptr) lines.push_back(buffer);
    std::fclose(trace);
    std::vector<kivtools::CaptureRecord> records;
    ASSERT_TRUE(kivtools::ReadCapture("tap.pcap", &records, &error)) << error;
    ASSERT_EQ(3u, records.size());
    ASSERT_EQ(3u, lines.size());
    const char* says[] = {"U>H 01 02 (not a frame)", " | DIR=1 PRM=1", "U>H 05 64 07 C0 00 | incomplete frame"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(kivtools::kCaptureToHost, records[i].direction);
        EXPECT_NE(std::string::npos, lines[i].find(HexText(records[i].bytes))) << lines[i];
        EXPECT_NE(std::string::npos, lines[i].find(says[i])) << lines[i];
    }
    EXPECT_EQ(reset, records[1].bytes);
}

}  // namespace
