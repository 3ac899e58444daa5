// The examples of the user documentation, run as they stand.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "driver/commands.h"
#include "base/channel_block.h"
#include "tests/support/channel_file.h"
#include "tests/support/fake_platform.h"
#include "tests/support/log_capture.h"
#include "tests/support/scratch_directory.h"

#if defined(KIV_SOURCE_DIR)

namespace {

std::string ReadDoc(const std::string& name) { return ReadBytesFile(std::string(KIV_SOURCE_DIR) + "/docs/" + name); }

// The body of the next fenced block of this kind after position at.
std::string FencedBlock(const std::string& doc, const std::string& kind, size_t* at) {
    size_t open = doc.find("```" + kind + "\n", *at);
    if (open == std::string::npos) return "";
    size_t body = open + 4 + kind.size();
    size_t close = doc.find("```", body);
    *at = close + 3;
    return doc.substr(body, close - body);
}

// Opens channel 1 with this channel file from a fresh start: Open logs what
// is expected and gives 0 exactly when the log names a host address.
void ExpectOpenLogs(const std::string& file, const std::vector<std::string>& expected) {
    ScratchDirectory directory("kiv-docs");
    ASSERT_TRUE(WriteChannelFile(1, file, true));
    fake::Reset();
    LogCapture log;
    ChannelBlock block{};
    PortSettings port{};
    CallRecord call{&block, CommandOpen, 1, 0, &port};
    const int32_t result = KivMain(&call);
    EXPECT_EQ(expected, log.Texts()) << file;
    const bool hasAddress = expected.front().rfind("KivIN : Tavrik Address", 0) == 0;
    EXPECT_EQ(hasAddress ? 0 : 2, result) << file;
}

TEST(Docs, ConfigurationExamplesLogWhatTheySay) {
    std::string doc = ReadDoc("configuration.md");
    ASSERT_FALSE(doc.empty());
    int examples = 0;
    for (size_t at = doc.find("<!-- example -->"); at != std::string::npos;
         at = doc.find("<!-- example -->", at)) {
        std::string file = FencedBlock(doc, "text", &at);
        std::vector<std::string> expected = LinesOf(FencedBlock(doc, "log", &at));
        ExpectOpenLogs(file, expected);
        ++examples;
    }
    EXPECT_EQ(5, examples);
}

// The sample that the packages ship opens a channel as it stands.
TEST(Docs, TheShippedSampleChannelFileOpensAChannel) {
    std::string sample = ReadDoc("kivIN01.int");
    ASSERT_FALSE(sample.empty());
    ExpectOpenLogs(sample, {"KivIN : Tavrik Address = 1", "KivIN : The Report By Exception support is OFF"});
}

}  // namespace

#endif

#if defined(KIV_SOURCE_DIR)
namespace {

// A table row's cells, without the outer bars and with blanks trimmed.
std::vector<std::string> Cells(const std::string& row) {
    std::vector<std::string> cells;
    std::stringstream stream(row.substr(1));
    for (std::string cell; std::getline(stream, cell, '|');) {
        size_t first = cell.find_first_not_of(' '), last = cell.find_last_not_of(' ');
        cells.push_back(first == std::string::npos ? "" : cell.substr(first, last - first + 1));
    }
    return cells;
}

// "`R00120300·7`" as the text the host would pass.
std::string AddressText(std::string cell) {
    cell = cell.substr(1, cell.size() - 2);
    std::string text;
    for (size_t i = 0; i < cell.size(); ++i) {
        if (cell.compare(i, 2, "\xC2\xB7") == 0) {
            text += ' ';
            ++i;
        } else {
            text += cell[i];
        }
    }
    return text;
}

TEST(Docs, AddressExamplesGiveTheirResults) {
    std::string doc = ReadDoc("addresses.md");
    size_t at = doc.find("<!-- address table -->");
    ASSERT_NE(std::string::npos, at);
    std::vector<std::string> lines = LinesOf(doc.substr(at));
    int rows = 0;
    for (size_t i = 3; i < lines.size() && !lines[i].empty() && lines[i][0] == '|'; ++i) {
        std::vector<std::string> cells = Cells(lines[i]);
        ASSERT_GE(cells.size(), 4u) << lines[i];
        std::string text = AddressText(cells[0]);
        bool block = cells[1] == "block";
        AddressRequest request{text.c_str(), 0, GateRequest{}};
        if (block) request.gate.blockLength = std::stoi(cells[2]);
        else request.gate.kind = std::stoi(cells[2]);
        ChannelBlock channel{};
        CallRecord call{&channel, block ? CommandCheckAddress : CommandParseAddress, 1, 0, &request};
        EXPECT_EQ(cells[3] == "valid" ? 0 : 1, KivMain(&call)) << lines[i];
        ++rows;
    }
    EXPECT_EQ(22, rows);
}

}  // namespace
#endif
