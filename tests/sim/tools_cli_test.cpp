// The tools' command lines: what each accepts, what it refuses with which
// exit code, and that its reason names the option and the range.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <unistd.h>

#include "kiv_version.h"
#include "tests/support/man_examples.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/tool_run.h"

namespace {

struct CommandCase {
    const char* arguments;
    int status;
    const char* says;  // a piece of the output
};

// A temporary file holding text; its path, "" when it cannot be written.
std::string FileWith(const char* text, const char* prefix) {
    std::string name = std::string("/tmp/") + prefix + "-XXXXXX";
    int fd = mkstemp(&name[0]);
    if (fd < 0) return "";
    const ssize_t length = static_cast<ssize_t>(std::strlen(text));
    const bool written = write(fd, text, static_cast<size_t>(length)) == length;
    close(fd);
    return written ? name : "";
}

void RunCases(const std::string& program, const CommandCase* cases, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        ToolRun run = RunTool(program, cases[i].arguments);
        EXPECT_EQ(cases[i].status, run.status) << cases[i].arguments << "\n" << run.output;
        EXPECT_NE(std::string::npos, run.output.find(cases[i].says)) << cases[i].arguments << "\n" << run.output;
    }
}

#if defined(KIV_KIVPOLL_PATH)
TEST(ToolsCommandLine, KivpollOptions) {
    const CommandCase cases[] = {
        {"--version", 0, "kivpoll " KIV_VERSION},
        {"--help", 0, "--trace"},
        {"--help", 0, "4 the port cannot be opened"},
        {"--help", 0, "5 the channel file cannot be used"},
        {"--help", 0, "6 the runtime stand-in TAVLIB.DLL"},
        // The demo on two ports of a pair: both ends, and two of them.
        {"--demo --sim-port /dev/null", 3, "kivpoll: --sim-port needs --port, the other end of the pair"},
        {"--demo --sim-port ttyS0 -p ttyS0", 3, "--port and --sim-port name the same port"},
        {"--demo --sim-port /dev/kiv-no-such-port -p ttyS1 --listen 1", 4,
         "the simulator could not open its line: /dev/kiv-no-such-port"},
        {"--csv --json -p NUL R00120300", 3, "--csv and --json"},
        {"-C 62 R00120300", 3, "--count: Value 62 not in range 1 to 60"},
        {"--count=0 R00120300", 3, "--count"},
        {"-b 3", 3, "--baud"},
        {"--parity=odd2 R00120300", 3, "--parity"},
        {"--no-such-option", 3, "--no-such-option"},
        {"-p", 3, "--port"},
        {"-qx -p NUL", 3, "no address given"},  // bundled flags parse; then no address
        {"--decode /nonexistent/line.pcap", 3, "--decode /nonexistent/line.pcap: No such file"},
        {"--decode line.pcap R00120300", 3, "--decode prints a capture file and takes no addresses"},
        {"--pcap /nonexistent/line.pcap -p tcp://127.0.0.1:1 R00120300", 3, "need a serial port"},
        // A mistyped option: what was likely meant, or nothing when nothing is near.
        {"--lisen 5 -p NUL", 3, "kivpoll: unknown option --lisen; did you mean --listen?\n(kivpoll --help"},
        {"--chek-config=kivIN01.int", 3, "unknown option --chek-config; did you mean --check-config?"},
        {"--baudrate 9600 -p NUL R00120300", 3, "unknown option --baudrate; did you mean --baud?"},
        {"--no-such-option", 3, "kivpoll: unknown option --no-such-option\n(kivpoll --help tells more)"},
        // A channel file that cannot be read, with the system's reason; a
        // device or a folder is refused before it is read (no endless read).
        {"-p NUL --config /nonexistent/kivIN01.int R00120300", 3,
         "kivpoll: cannot read /nonexistent/kivIN01.int: No such file or directory"},
        {"-p NUL --config /tmp R00120300", 3, "cannot read /tmp: it is a folder, not a file"},
        {"-p NUL --config /dev/zero R00120300", 3, "cannot read /dev/zero: it is no regular file"},
    };
    RunCases(KIV_KIVPOLL_PATH, cases, sizeof cases / sizeof cases[0]);
}
#endif

#if defined(KIV_KIVPOLL_PATH)
// --check-config reads a channel file through the driver's own reader and
// says, line by line, what it takes and why it ignores a line.
TEST(ToolsCommandLine, KivpollCheckConfigReportsEveryLine) {
    const struct {
        const char* lines;
        int status;
        std::vector<const char*> says;
    } cases[] = {
        {"Host Address = 12\nEXCEPTION = ON\nRADIO = YES,100,200,300\nHost Address = 13\n", 0,
         {"the driver can open a channel with this file", "line 1: Host Address = 12\n    read as the host address "
          "line\n    driver: KivIN : Tavrik Address = 12", "Report By Exception support is ON", "Radio switch DELAY "
          "time = 300", "line 4: Host Address = 13\n    not read: the reading ended at line 3: a RADIO line with "
          "other than one time ends it"}},
        {"Host Address = 12\nEXCEPTION = OFF\n# radio later\n", 0,
         {"line 2: EXCEPTION = OFF\n    read as the EXCEPTION line\n    ignored: report-by-exception stays off",
          "line 3: # radio later\n    read as the RADIO line\n    ignored: radio keying stays off"}},
        {"Host Adress 12\nHost Address = 12\n", 5,
         {"no host address: Can not find Host Address\nline 1 is at fault",
          "line 2: Host Address = 12\n    not read: the reading ended at line 1: a host address line without \"=\""}},
        {"Host Address = 99999\n", 5, {"Tavrik Address 99999 out of range 0..65535\nline 1 is at fault"}},
        {"Host Address = 12\nEXCEPTION=ON\nRADIO=YES,5\nab", 0,
         {"line 4: ab\n    not read: the reading ended at line 3: end of file (the driver does not read a last line "
          "without a line feed that keeps fewer than 10 characters)"}},
        {"", 5, {"refused: empty"}},
        // The driver reads a host address from five characters after "=".
        {"Host Address = 123456\nEXCEPTION = ON\n", 0,
         {"can open a channel with this file\nmind line 1: the host address is 12345, not what is written: the "
          "driver reads it from at most 5 characters after \"=\" and leaves out \"6\""}},
        {"Host Address = 0012345 # SCADA\n", 0, {"mind line 1: the host address is 123, ", "leaves out \"45#SCADA\""}},
        {"Host Address = +1234\n", 0, {"KivIN : Tavrik Address = 1234"}},
    };
    for (const auto& c : cases) {
        const std::string name = FileWith(c.lines, "kivpoll-config");
        ASSERT_FALSE(name.empty());
        ToolRun run = RunTool(KIV_KIVPOLL_PATH, "--check-config " + name);
        std::remove(name.c_str());
        EXPECT_EQ(c.status, run.status) << c.lines << "\n" << run.output;
        bool mind = false;
        for (const char* piece : c.says) {
            EXPECT_NE(std::string::npos, run.output.find(piece)) << piece << "\n" << run.output;
            mind = mind || std::strstr(piece, "mind line") != nullptr;
        }
        if (!mind) {
            EXPECT_EQ(std::string::npos, run.output.find("mind line")) << c.lines << "\n" << run.output;
        }
    }
    ToolRun missing = RunTool(KIV_KIVPOLL_PATH, "--check-config /nonexistent/kivIN01.int");
    EXPECT_EQ(5, missing.status);
    EXPECT_NE(std::string::npos, missing.output.find("File /nonexistent/kivIN01.int not found")) << missing.output;
    // A file the driver refuses is not listed: a device would never end.
    ToolRun device = RunTool(KIV_KIVPOLL_PATH, "--check-config /dev/zero");
    EXPECT_EQ(5, device.status);
    EXPECT_NE(std::string::npos, device.output.find("File /dev/zero refused: not a regular file")) << device.output;
    EXPECT_EQ(std::string::npos, device.output.find("line 1:")) << device.output;
}
#endif

#if defined(KIV_KIVSIM_PATH)
TEST(ToolsCommandLine, KivsimOptions) {
    const CommandCase cases[] = {
        {"--version", 0, "kivsim " KIV_VERSION},
        {"--help", 0, "--pace-baud"},
        {"--idle-gap=-1", 2, "--idle-gap"},
        {"--baud 0", 2, "--baud: Value 0 not in range 1 to 4000000"},
        {"--statoin 3", 2, "--statoin"},
        {"--station 70000", 2, "--station 70000: S and HOST are numbers from 0 to 65535"},
        {"--station 1:70000", 2, "0 to 65535"},
        {"--fault drop=1.5", 2, "--fault drop=1.5: probability 1.5 not in 0 to 1"},
        {"--scenario /nonexistent/scenario.txt --no-stdin --duration 1", 2, "No such file"},
        {"--pcap /nonexistent/line.pcap --no-stdin --duration 1", 2, "--pcap: cannot write /nonexistent/line.pcap"},
        {"--help", 0, "loopback (127.0.0.1 and ::1) unless ADDRESS"},
        {"--listen-tcp 1.2.3:0 --no-stdin --duration 1", 1, "not an address: 1.2.3"},
        {"--listen-rfc2217 192.0.2.1:0 --no-stdin --duration 1", 1, "listen on 192.0.2.1:0: "},  // not this machine's
        {"--trace-file /nonexistent/trace.txt --no-stdin --duration 1", 2, "cannot write /nonexistent/trace.txt"},
        {"--statoin 3", 2, "kivsim: unknown option --statoin; did you mean --station?"},
        {"--listen 4001", 2, "unknown option --listen; did you mean --listen-tcp or --listen-rfc2217?"},
        {"--listen-tcp somehost:0 --no-stdin --duration 1", 1, "not an address: somehost (give a number"},
    };
    RunCases(KIV_KIVSIM_PATH, cases, sizeof cases / sizeof cases[0]);
}

TEST(ToolsCommandLine, KivsimScenarioMistakesStopItWithFileAndLine) {
    const struct {
        const char* lines;
        const char* says;
    } cases[] = {
        {"stations\nfrobnicate 3\n", ":2: unknown command frobnicate"},
        {"# a comment\nclock 1 2020-13-45 00:00:00\n", ":2: no such date and time 2020-13-45 00:00:00"},
        {"clock 1 2021-02-29 12:00:00\n", ":1: no such date"},
        {"clock 1 2020-01-01 24:00:00\n", ":1: no such date"},
    };
    for (const auto& c : cases) {
        const std::string name = FileWith(c.lines, "kivsim-scenario");
        ASSERT_FALSE(name.empty());
        ToolRun run = RunTool(KIV_KIVSIM_PATH, "--quiet --no-stdin --duration 5 --scenario " + name);
        std::remove(name.c_str());
        EXPECT_EQ(2, run.status) << c.lines << run.output;
        EXPECT_NE(std::string::npos, run.output.find(name + c.says)) << c.lines << run.output;
    }
}
#endif

}  // namespace

#if defined(KIV_SOURCE_DIR)
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

namespace {

// The long options named in a document's option table (rows starting with
// "| `-"), or in a help text's option lines (starting with blanks and "-").
std::set<std::string> LongOptions(const std::string& text, bool table) {
    std::set<std::string> names;
    std::stringstream stream(text);
    const std::regex option("--[a-z][a-z0-9-]*");
    for (std::string line; std::getline(stream, line);) {
        bool listed = table ? line.rfind("| `-", 0) == 0 : std::regex_search(line, std::regex("^  +-"));
        if (!listed) continue;
        if (!table) line = line.substr(0, line.find("  ", line.find_first_not_of(' ')));
        for (std::sregex_iterator it(line.begin(), line.end(), option), end; it != end; ++it) names.insert(it->str());
    }
    return names;
}

std::string ReadSource(const std::string& name) { return ReadBytesFile(std::string(KIV_SOURCE_DIR) + "/" + name); }

void ExpectHelpAndDocAgree(const std::string& program, const std::string& doc) {
    ToolRun help = RunTool(program, "--help");
    ASSERT_EQ(0, help.status) << help.output;
    std::set<std::string> inHelp = LongOptions(help.output, false), inDoc = LongOptions(ReadSource(doc), true);
    EXPECT_GT(inHelp.size(), 10u) << help.output;
    for (const std::string& name : inHelp) EXPECT_EQ(1u, inDoc.count(name)) << name << " is missing from " << doc;
    for (const std::string& name : inDoc) EXPECT_EQ(1u, inHelp.count(name)) << name << " is not in " << program;
}

#if defined(KIV_KIVPOLL_PATH)
TEST(ToolsCommandLine, KivpollHelpAndDocsListTheSameOptions) {
    ExpectHelpAndDocAgree(KIV_KIVPOLL_PATH, "docs/kivpoll.md");
}
#endif

#if defined(KIV_KIVSIM_PATH)
TEST(ToolsCommandLine, KivsimHelpAndDocsListTheSameOptions) {
    ExpectHelpAndDocAgree(KIV_KIVSIM_PATH, "docs/kivsim.md");
}

// The man page's examples, each for a second, on a port the system picks.
TEST(ToolsCommandLine, KivsimManPageExamplesRun) {
    ScratchDirectory scratch("kiv-kivsim-examples");  // for the files the examples write
    const std::vector<std::string> examples =
        ManExamples(std::string(KIV_SOURCE_DIR) + "/packaging/man/kivsim.h2m", "kivsim");
    EXPECT_EQ(6u, examples.size());
    for (const std::string& example : examples) {
        std::stringstream words(example);
        std::string rewritten, previous;
        for (std::string word; words >> word; previous = word) {
            if (word.size() >= 4 && word.compare(word.size() - 4, 4, "4001") == 0) word.replace(word.size() - 4, 4, "0");
            if (previous == "--duration") word = "1";
            rewritten += " " + word;
        }
        if (example.find("--duration") == std::string::npos) rewritten += " --no-stdin --duration 1";
        ToolRun run = RunTool(KIV_KIVSIM_PATH, rewritten + " --quiet");
        EXPECT_EQ(0, run.status) << example << "\n" << rewritten << "\n" << run.output;
    }
}
#endif

}  // namespace
#endif
