// kivsim's command input: scenario files and standard input cut into lines,
// with a bound on a line so that input without line ends cannot fill memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "tools/kivsim/kivsim.h"

namespace {

const std::string kOverLong(kivsim::kCommandLineMax + 1, 'x');

TEST(KivsimScenario, ReadsCommandsAndNamesTheFirstLineThatIsNone) {
    const struct {
        const char* name;
        std::string text;
        std::vector<std::string> lines;  // read before the end or the refusal
        const char* error;               // "" when read whole
    } cases[] = {
        {"commands, blanks and comments", "stations\n\n  # a comment\nreg 1 2 3 # set\r\nquit",
         {"stations", "", "  # a comment", "reg 1 2 3 # set\r", "quit"}, ""},
        {"no command", "stations\nfrobnicate 3\nquit\n", {"stations"}, "s.txt:2: unknown command frobnicate"},
        {"a line over the bound", "stations\n" + kOverLong + "\nquit\n", {"stations"},
         "s.txt:2: line longer than 65536 characters"},
        {"a line at the bound", "#" + std::string(kivsim::kCommandLineMax - 1, 'x') + "\n",
         {"#" + std::string(kivsim::kCommandLineMax - 1, 'x')}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::istringstream in(c.text);
        std::vector<std::string> lines;
        std::string error;
        EXPECT_EQ(std::string(c.error).empty(), kivsim::ReadScenario(in, "s.txt", &lines, &error));
        EXPECT_EQ(c.lines, lines);
        EXPECT_EQ(0u, error.find(c.error)) << error;
    }
}

// Standard input arrives in pieces of any size; a line over the bound is
// dropped whole, in its place, and the lines around it come out intact.
TEST(KivsimStandardInput, LinesComeOutWholeWhateverThePieces) {
    const std::string text = "stations\nreg 1 2\r\n" + kOverLong + "\nquit\npartial";
    const std::vector<std::pair<std::string, bool>> expected = {
        {"stations", false}, {"reg 1 2\r", false}, {"", true}, {"quit", false}};
    for (size_t piece : {size_t(1), size_t(7), size_t(4096), text.size()}) {
        SCOPED_TRACE(piece);
        kivsim::CommandFeed feed;
        std::vector<std::pair<std::string, bool>> got;
        std::string line;
        bool tooLong = false;
        for (size_t at = 0; at < text.size(); at += piece) {
            feed.Feed(text.data() + at, std::min(piece, text.size() - at));
            while (feed.Next(&line, &tooLong)) got.emplace_back(line, tooLong);
        }
        EXPECT_EQ(expected, got);
        feed.Feed("\n", 1);
        ASSERT_TRUE(feed.Next(&line, &tooLong));
        EXPECT_EQ("partial", line);
    }
}

}  // namespace
