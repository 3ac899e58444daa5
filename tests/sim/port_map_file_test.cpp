// Looking a port name up in the port map file: each line read whole, as its
// bytes stand, and only a regular file read at all.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "platform/posix_network.h"
#include "tests/support/log_capture.h"
#include "tests/support/scratch_directory.h"

namespace {

TEST(PortMapFile, TheFirstLineNamingThePortAnswers) {
    const std::string longComment = "# " + std::string(509, 'x');  // 511 bytes: read
    const struct {
        const char* name;
        std::string map;
        int result;
        const char* host;  // the entry's host when found
        const char* logged;
    } cases[] = {
        // A NUL byte inside a name or a host makes the line bad, and the
        // line after it is read as it stands.
        {"NUL in a name", std::string("N\0X = tcp://a:1\nN = tcp://b:2\n", 30), 1, "b",
         "KivIN : kivports.int line 1 is not NAME = tcp://HOST:PORT or rfc2217://HOST:PORT, ignored"},
        {"NUL in a host", std::string("N = tcp://a\0b:1\nN = tcp://c:3\n", 30), -1, "",
         "KivIN : kivports.int line 1: bad address for port N"},
        {"a line over 511 bytes", std::string(600, 'y') + "\nN = tcp://h:1\n", 1, "h",
         "KivIN : kivports.int line 1 is too long, ignored"},
        {"a line of 511 bytes", longComment + "\nN = tcp://h:1\n", 1, "h", nullptr},
        {"a last line without its LF", "M = tcp://m:1\r\nN = tcp://h:1", 1, "h", nullptr},
        {"a name not in the map", "M = tcp://m:1\n", 0, "", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDirectory scratch("kiv-portmap");
        LogCapture log;
        ASSERT_TRUE(WriteBytesFile(kPortMapFile, c.map));
        PortMapEntry entry{};
        EXPECT_EQ(c.result, NetLookupPort("N", &entry));
        if (c.result == 1) {
            EXPECT_STREQ(c.host, entry.host);
        }
        if (c.logged != nullptr) {
            EXPECT_EQ(1, log.Count(c.logged));
        } else {
            EXPECT_TRUE(log.Lines().empty());
        }
    }
}

// A FIFO without a writer would block the open for ever; a directory holds
// no lines. Neither is opened.
TEST(PortMapFile, OnlyARegularFileIsRead) {
    for (const char* kind : {"fifo", "directory"}) {
        SCOPED_TRACE(kind);
        ScratchDirectory scratch("kiv-portmap");
        LogCapture log;
        ASSERT_EQ(0, std::string(kind) == "fifo" ? mkfifo(kPortMapFile, 0600) : mkdir(kPortMapFile, 0700));
        PortMapEntry entry{};
        EXPECT_EQ(0, NetLookupPort("N", &entry));
        EXPECT_EQ(1, log.Count("KivIN : kivports.int is not a regular file, ignored"));
    }
}

}  // namespace
