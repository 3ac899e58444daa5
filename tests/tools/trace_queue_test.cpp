// The trace's own writer: lines reach the output in order; an output that
// does not keep up costs lines (counted, and said so), never a wait of the
// one who traces; an output that takes nothing at all is given up at the end.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/scratch_directory.h"
#include "tools/common/trace_queue.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

std::string Line(int number) {
    return "line " + std::to_string(number) + std::string(90, '.');
}


TEST(TraceQueue, LinesReachTheFileInOrderAfterWhatItHeld) {
    ScratchDirectory scratch("kiv-trace-queue");
    ASSERT_TRUE(WriteBytesFile("trace.txt", "earlier\n"));
    kivtools::TraceQueue trace;
    std::string error;
    ASSERT_TRUE(trace.OpenFile("trace.txt", &error)) << error;
    for (int i = 0; i < 1000; ++i) trace.Add(Line(i));
    trace.Finish();
    EXPECT_EQ(0u, trace.LeftOut());
    const std::vector<std::string> lines = LinesOf(ReadBytesFile("trace.txt"));
    ASSERT_EQ(1001u, lines.size());
    EXPECT_EQ("earlier", lines[0]);
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(Line(i), lines[size_t(i) + 1]);
    EXPECT_FALSE(trace.OpenFile("no-such-folder/trace.txt", &error));
    EXPECT_NE(std::string::npos, error.find("cannot write no-such-folder/trace.txt")) << error;
}

#if !defined(_WIN32)
// The output is a named pipe the test reads only when it wants to: a
// reader that stops for a while, or for good.
class StalledOutput : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, mkfifo("trace.fifo", 0600));
        reader_ = open("trace.fifo", O_RDONLY | O_NONBLOCK);
        ASSERT_GE(reader_, 0);
        std::string error;
        ASSERT_TRUE(trace_.OpenFile("trace.fifo", &error, kLimit)) << error;
    }
    void TearDown() override {
        if (reader_ >= 0) close(reader_);
    }
    // Reads what the pipe holds until it stays empty for quietMs.
    std::string Drain(int quietMs) {
        std::string text;
        char buffer[65536];
        for (;;) {
            struct pollfd p = {reader_, POLLIN, 0};
            if (poll(&p, 1, quietMs) <= 0) return text;
            ssize_t n = read(reader_, buffer, sizeof buffer);
            if (n <= 0) return text;
            text.append(buffer, size_t(n));
        }
    }

    static constexpr size_t kLimit = 4096;
    ScratchDirectory scratch_{"kiv-trace-queue"};
    int reader_ = -1;
    kivtools::TraceQueue trace_;
};

TEST_F(StalledOutput, LinesBeyondTheQueueAreLeftOutCountedAndSaidSo) {
    // Far more than the pipe and the queue hold, added without waiting.
    const int added = 5000;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < added; ++i) trace_.Add(Line(i));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));  // never waited for the reader
    const uint64_t leftOut = trace_.LeftOut();
    EXPECT_GT(leftOut, 0u);
    // The reader comes back: what waited goes out, then a note for what
    // was left out since the last one, with the next line.
    std::string text = Drain(200);
    trace_.Add("after the stall");
    trace_.Finish();
    text += Drain(200);
    const std::vector<std::string> lines = LinesOf(text);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ("after the stall", lines.back());
    // Every line that was not left out came whole and in order; the notes
    // count the others, each note standing right before the next line that
    // came after a gap (on a loaded machine the writer may move while the
    // lines are still being added, so a gap can close before the stall ends).
    const std::string noteEnd = " trace lines left out: the trace's output did not keep up)";
    int next = 0;
    uint64_t noted = 0, arrived = 0;
    bool afterNote = false;
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i].rfind("(", 0) == 0) {
            EXPECT_EQ(lines[i].size() - noteEnd.size(), lines[i].find(noteEnd)) << lines[i];
            noted += std::stoull(lines[i].substr(1));
            afterNote = true;
            continue;
        }
        ASSERT_EQ(0u, lines[i].rfind("line ", 0)) << lines[i];
        const int number = std::stoi(lines[i].substr(5));
        EXPECT_GE(number, next);
        if (number > next) {
            EXPECT_TRUE(afterNote) << "no note before " << lines[i];
        }
        EXPECT_EQ(Line(number), lines[i]);
        next = number + 1;
        afterNote = false;
        ++arrived;
    }
    if (next < added) {
        EXPECT_TRUE(afterNote) << "no note before the line after the stall";
    }
    EXPECT_EQ(leftOut, noted);
    EXPECT_EQ(uint64_t(added), arrived + leftOut);
}

TEST_F(StalledOutput, FinishGivesUpOnAnOutputThatTakesNothing) {
    // Another writer fills the pipe first: the queue's writer stays in its
    // first write.
    int other = open("trace.fifo", O_WRONLY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    const std::string filler(4096, 'x');
    while (write(other, filler.data(), filler.size()) > 0) {
    }
    close(other);
    for (int i = 0; i < 2000; ++i) trace_.Add(Line(i));
    const auto start = std::chrono::steady_clock::now();
    trace_.Finish();  // the reader never reads: the writer stays in its write
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    trace_.Add("after the end");  // goes nowhere, and does not wait
    EXPECT_FALSE(trace_.IsOpen());
}
#endif

}  // namespace
