// The channel configuration file: the line reader, and the whole file read
// through Open with the port disabled (block fields, log lines, result).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "base/channel_block.h"
#include "driver/commands.h"
#include "driver/config.h"
#include "tavlib/tavlib_control.h"
#include "tests/support/channel_file.h"
#include "tests/support/fake_channel.h"
#include "tests/support/fake_platform.h"
#include "tests/support/log_capture.h"
#include "tests/support/scratch_directory.h"

namespace {

const char kNoAddress[] = "kivIN : Can not find Host Address";
const char kOn[] = "KivIN : The Report By Exception support is ON";
const char kOff[] = "KivIN : The Report By Exception support is OFF";
const char kRadio[] = "KivIN : Radio RTS switch is supported";

std::string Address(int value) { return "KivIN : Tavrik Address = " + std::to_string(value); }
std::string OutOfRange(int value) {
    return "KivIN : Tavrik Address " + std::to_string(value) + " out of range 0..65535";
}
std::string Held(const char* which, int value) {
    return std::string("KivIN : Radio switch ") + which + " time " + std::to_string(value) +
           " above 4000 ms, held at 4000";
}
// "KivIN : Radio switch ON    time = 150": the name padded to align the value.
std::string TimeLine(const std::string& which, int value) {
    return "KivIN : Radio switch " + which + std::string(6 - which.size(), ' ') + "time = " + std::to_string(value);
}
std::vector<std::string> Times(int on, int off, int delay) {
    return {kRadio, TimeLine("ON", on), TimeLine("OFF", off), TimeLine("DELAY", delay)};
}
std::vector<std::string> Join(std::vector<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

void WriteFile(const std::string& name, const std::string& bytes) { ASSERT_TRUE(WriteBytesFile(name, bytes)) << name; }

// All lines ReadConfigLine delivers from a file of these bytes.
std::vector<std::string> ReadAllLines(const std::string& bytes) {
    WriteFile("lines.txt", bytes);
    FILE* file = std::fopen("lines.txt", "r");
    std::vector<std::string> lines;
    if (file == nullptr) return lines;
    // Guard bytes after the buffer show any write past its end.
    char buffer[kConfigLineBuffer + 16];
    for (;;) {
        std::memset(buffer, 0, sizeof buffer);
        std::memset(buffer + kConfigLineBuffer, 0x5A, 16);
        const int more = ReadConfigLine(file, buffer);
        for (int i = kConfigLineBuffer; i < kConfigLineBuffer + 16; ++i)
            EXPECT_EQ(0x5A, buffer[i]) << "write past the line buffer";
        if (!more) break;
        lines.push_back(buffer);
        if (lines.size() > 100) break;
    }
    std::fclose(file);
    return lines;
}

class ConfigTest : public FakeChannelTest {
protected:
    // Open with the port disabled: it reads the file and stops.
    int32_t OpenWithoutPort(int32_t channel) {
        PortSettings settings{};
        settings.enabled = 0;
        CallRecord call{block.get(), CommandOpen, channel, 0, &settings};
        return KivMain(&call);
    }
    ScratchDirectory directory{"kiv-config"};
};

struct LineCase {
    const char* what;
    std::string bytes;
    std::vector<std::string> lines;
};

TEST_F(ConfigTest, LineReaderKeepsCharacters33To127AndHonoursTheTenCharacterRule) {
    const std::string longLine(300, '7');
    const LineCase cases[] = {
        {"blanks and tabs go wherever they stand", "Host Address =\t1\n", {"HostAddress=1"}},
        {"both line-end conventions", "A=1\r\nB=2\n", {"A=1", "B=2"}},
        {"control bytes and 128..255 dropped, 127 kept", std::string("\x01x\x7f\x80y\xff\xe9z\x1f\n"),
         {"x\x7fyz"}},
        {"empty lines are lines", "\n\n", {"", ""}},
        {"last line of 9 kept characters without a line feed", "A=1\n123456789", {"A=1"}},
        {"last line of 10 kept characters without a line feed", "1234567890", {"1234567890"}},
        {"blanks do not count towards the ten", "1 2 3 4 5 6 7 8 9 ", {}},
        {"EXCEPTION=ON as the last line counts", "A=1\nEXCEPTION=ON", {"A=1", "EXCEPTION=ON"}},
        {"an empty file", "", {}},
        {"a longer line keeps 255 characters and drops the rest of it", longLine + "\nX\n",
         {std::string(255, '7'), "X"}},
        {"a long last line without a line feed", longLine, {std::string(255, '7')}},
    };
    for (const LineCase& c : cases) EXPECT_EQ(c.lines, ReadAllLines(c.bytes)) << c.what;
}

struct FileCase {
    const char* what;
    std::string file;
    int32_t openResult;  // 0: an address was found; 2: none
    uint8_t address[2];
    uint8_t exception, radio;
    int32_t on, off, delay;
    std::vector<std::string> log;
};

TEST_F(ConfigTest, FilesReadThroughOpenGiveTheirFieldsAndMessages) {
    const FileCase cases[] = {
        {"worked example", "Host Address = 1\nEXCEPTION = ON\nRADIO = YES, 150, 100, 50\n", 0, {0x00, 0x01}, 1, 1,
         150, 100, 50, Join({{Address(1), kOn}, Times(150, 100, 50)})},
        {"only the address line", "HostAddress=258\n", 0, {0x01, 0x02}, 0, 0, 200, 200, 200,
         {Address(258), kOff}},
        {"five characters of the number", "A=123456\n", 0, {0x30, 0x39}, 0, 0, 200, 200, 200,
         {Address(12345), kOff}},
        {"an address above 65535 is refused", "A=70000\n", 2, {0, 0}, 0, 0, 200, 200, 200,
         {OutOfRange(70000), kOff}},
        {"the highest address", "A=65535\n", 0, {0xFF, 0xFF}, 0, 0, 200, 200, 200, {Address(65535), kOff}},
        {"a refused address leaves a later pass its chance", "A=99999\nRADIO=YES,1\nB=5\n", 0, {0, 5}, 0, 1, 1,
         200, 200, Join({{OutOfRange(99999)}, Times(1, 200, 200), {Address(5), kOff}})},
        {"a sign counts as one of the five", "A=+123456\n", 0, {0x04, 0xD2}, 0, 0, 200, 200, 200,
         {Address(1234), kOff}},
        {"a negative address is refused", "A=-2\n", 2, {0, 0}, 0, 0, 200, 200, 200, {OutOfRange(-2), kOff}},
        {"digits stop at the first other character", "A=12x3\n", 0, {0x00, 0x0C}, 0, 0, 200, 200, 200,
         {Address(12), kOff}},
        {"a sign alone is no number", "A=+\n", 2, {0, 0}, 0, 0, 200, 200, 200, {kNoAddress, kOff}},
        {"no number after =", "A=x1\nEXCEPTION=ON\n", 2, {0, 0}, 1, 0, 200, 200, 200, {kNoAddress, kOn}},
        {"EXCEPTION=NONE holds ON only inside a word", "A=1\nEXCEPTION=NONE\n", 0, {0, 1}, 0, 0, 200, 200, 200,
         {Address(1), kOff}},
        {"EXCEPTION=ONLINE", "A=1\nEXCEPTION=ONLINE\n", 0, {0, 1}, 0, 0, 200, 200, 200, {Address(1), kOff}},
        {"ON followed by a comment", "A=1\nEXCEPTION = ON ;rbe\n", 0, {0, 1}, 1, 0, 200, 200, 200,
         {Address(1), kOn}},
        {"ON as the last of several words", "A=1\nEXCEPTION=RBE,ON\n", 0, {0, 1}, 1, 0, 200, 200, 200,
         {Address(1), kOn}},
        {"EXCEPTION=OFF", "A=1\nEXCEPTION=OFF\n", 0, {0, 1}, 0, 0, 200, 200, 200, {Address(1), kOff}},
        {"ON before the = does not count", "A=1\nONEXCEPTION=1\n", 0, {0, 1}, 0, 0, 200, 200, 200,
         {Address(1), kOff}},
        {"the character after YES is skipped", "A=1\nRADIO=YES150,100,50\n", 0, {0, 1}, 0, 1, 50, 100, 50,
         Join({{Address(1)}, Times(50, 100, 50), {kOff}})},
        {"radio line third after a line that is none", "A=1\nMODE=2\nRADIO=YES,1,2,3\n", 0, {0, 1}, 0, 1, 1, 2,
         3, Join({{Address(1)}, Times(1, 2, 3), {kOff}})},
        {"one time: the next line is an address line", "A=1\nRADIO=YES,150\nB=2\n", 0, {0, 2}, 0, 1, 150, 200,
         200, Join({{Address(1)}, Times(150, 200, 200), {Address(2), kOff}})},
        {"two times end the reading", "A=1\nRADIO=YES,150,100\nB=2\n", 0, {0, 1}, 0, 1, 150, 100, 200,
         Join({{Address(1)}, Times(150, 100, 200), {kOff}})},
        {"nothing after YES", "A=1\nRADIO=YES\nB=2\n", 0, {0, 1}, 0, 1, 200, 200, 200,
         Join({{Address(1)}, Times(200, 200, 200), {kOff}})},
        {"YES as the last kept characters of a cut line",
         "A=1\nRADIO=" + std::string(246, 'x') + "YES,1,2,3\n", 0, {0, 1}, 0, 1, 200, 200, 200,
         Join({{Address(1)}, Times(200, 200, 200), {kOff}})},
        {"negative times are read as numbers", "A=1\nRADIO=YES,-5,+7,0\n", 0, {0, 1}, 0, 1, -5, 7, 0,
         Join({{Address(1)}, Times(-5, 7, 0), {kOff}})},
        {"huge times are held at 4000 ms", "A=1\nRADIO=YES,99999999999,-99999999999,1\n", 0, {0, 1}, 0,
         1, 4000, -2147483647 - 1, 1,
         {Address(1), kRadio, Held("ON", 2147483647), TimeLine("ON", 4000), TimeLine("OFF", -2147483647 - 1),
          TimeLine("DELAY", 1), kOff}},
        {"4000 ms is kept, 4001 is not", "A=1\nRADIO=YES,4000,4001,4000\n", 0, {0, 1}, 0, 1, 4000, 4000, 4000,
         {Address(1), kRadio, Held("OFF", 4001), TimeLine("ON", 4000), TimeLine("OFF", 4000),
          TimeLine("DELAY", 4000), kOff}},
        {"last line without a line feed still counts", "A=1\nEXCEPTION=ON", 0, {0, 1}, 1, 0, 200, 200, 200,
         {Address(1), kOn}},
        {"A=1 alone without a line feed is no line", "A=1", 2, {0, 0}, 0, 0, 200, 200, 200, {kOff}},
        {"a blank first line", "\nA=1\n", 2, {0, 0}, 0, 0, 200, 200, 200, {kNoAddress, kOff}},
        {"an empty line begins a second pass", "A=1\nEXCEPTION=ON\nRADIO=NO\n\n", 0, {0, 1}, 1, 0, 200, 200, 200,
         {Address(1), kOn, kNoAddress}},
        {"CR LF line ends", "Host Address = 7\r\nEXCEPTION = ON\r\n", 0, {0, 7}, 1, 0, 200, 200, 200,
         {Address(7), kOn}},
        {"the rest of a long line is no line of its own",
         "A=19" + std::string(300, '9') + "\nEXCEPTION=ON\n", 0, {0x4E, 0x1F}, 1, 0, 200, 200, 200,
         {Address(19999), kOn}},
        {"an = beyond the kept characters", std::string(300, 'x') + "=5\n", 2, {0, 0}, 0, 0, 200, 200, 200,
         {kNoAddress, kOff}},
    };
    for (const FileCase& c : cases) {
        SCOPED_TRACE(c.what);
        block.reset(new ChannelBlock());
        log->Clear();
        ASSERT_TRUE(WriteChannelFile(1, c.file, true));
        EXPECT_EQ(c.openResult, OpenWithoutPort(1));
        EXPECT_EQ(c.address[0], block->hostAddress[0]);
        EXPECT_EQ(c.address[1], block->hostAddress[1]);
        EXPECT_EQ(c.exception, block->exceptionEnabled);
        EXPECT_EQ(c.radio, block->radioEnabled);
        EXPECT_EQ(c.on, block->radioOnTime);
        EXPECT_EQ(c.off, block->radioOffTime);
        EXPECT_EQ(c.delay, block->radioDelayTime);
        EXPECT_EQ(c.log, log->Texts());
        for (const LogLine& line : log->Lines()) EXPECT_EQ(32, line.level) << line.text;
    }
}

TEST_F(ConfigTest, EveryOpenStartsFromTheDefaults) {
    ASSERT_TRUE(WriteChannelFile(1, "A=1\nEXCEPTION=ON\nRADIO=YES,1,2,3\n", true));
    ASSERT_EQ(0, OpenWithoutPort(1));
    ASSERT_EQ(1, block->exceptionEnabled);
    ASSERT_TRUE(WriteChannelFile(1, "A=3\n", true));
    EXPECT_EQ(0, OpenWithoutPort(1));
    EXPECT_EQ(0, block->exceptionEnabled);
    EXPECT_EQ(0, block->radioEnabled);
    EXPECT_EQ(200, block->radioOnTime);
    EXPECT_EQ(200, block->radioOffTime);
    EXPECT_EQ(200, block->radioDelayTime);
    EXPECT_EQ(3, block->hostAddress[1]);
}

TEST_F(ConfigTest, AMissingFileIsLoggedByNameAndTheDefaultsStand) {
    block->exceptionEnabled = 1;
    block->radioEnabled = 1;
    block->radioOnTime = block->radioOffTime = block->radioDelayTime = 5;
    block->hostAddress[1] = 9;
    EXPECT_EQ(2, OpenWithoutPort(3));
    EXPECT_EQ(std::vector<std::string>{"KivIN : File kivIN03.int not found !"}, log->Texts());
    EXPECT_EQ(0, block->exceptionEnabled);
    EXPECT_EQ(0, block->radioEnabled);
    EXPECT_EQ(200, block->radioOnTime);
    EXPECT_EQ(200, block->radioOffTime);
    EXPECT_EQ(200, block->radioDelayTime);
    EXPECT_EQ(9, block->hostAddress[1]);
}

TEST_F(ConfigTest, ChannelNumbersOutsideTwoDigitsNameTheirWholeFile) {
    const struct {
        int32_t channel;
        const char* name;
    } cases[] = {{0, "kivIN00.int"}, {7, "kivIN07.int"}, {99, "kivIN99.int"}, {100, "kivIN100.int"},
                 {-1, "kivIN-01.int"}, {-2147483647 - 1, "kivIN-2147483648.int"}};
    for (const auto& c : cases) {
        char name[kConfigNameBuffer];
        FormatConfigFileName(c.channel, name);
        EXPECT_STREQ(c.name, name);
        WriteFile(c.name, "A=" + std::to_string(c.channel & 0x7FFF) + "\n");
        block.reset(new ChannelBlock());
        EXPECT_EQ(0, OpenWithoutPort(c.channel)) << c.name;
        EXPECT_EQ(c.channel & 0xFF, block->hostAddress[1]) << c.name;
    }
}

// Files that are no channel file are refused before they are read, with the
// reason; the defaults stand and Open gives 2.
TEST_F(ConfigTest, FilesThatAreNoChannelFileAreRefusedWithTheReason) {
    namespace fs = std::filesystem;
    const std::string prefix = "KivIN : File kivIN01.int refused: ";
    struct RefusedCase {
        const char* what;
        std::function<void()> make;
        std::string reason;
    };
    std::vector<RefusedCase> cases = {
        {"an empty file", [] { WriteFile("kivIN01.int", ""); }, "empty"},
        {"a directory", [] { fs::create_directory("kivIN01.int"); }, "not a regular file"},
        {"a file past the byte bound", [] { WriteFile("kivIN01.int", "A=1\n" + std::string(4093, 'x')); },
         "larger than 4096 bytes"},
#ifndef _WIN32
        // Opening a FIFO without a writer would block for ever; reading a
        // device would never end.
        {"a FIFO", [] { ASSERT_EQ(0, mkfifo("kivIN01.int", 0600)); }, "not a regular file"},
        {"a link to /dev/zero", [] { fs::create_symlink("/dev/zero", "kivIN01.int"); }, "not a regular file"},
#endif
    };
    for (const RefusedCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::error_code ignored;
        fs::remove_all("kivIN01.int", ignored);
        c.make();
        block.reset(new ChannelBlock());
        log->Clear();
        EXPECT_EQ(2, OpenWithoutPort(1));
        EXPECT_EQ(std::vector<std::string>{prefix + c.reason}, log->Texts());
        EXPECT_EQ(200, block->radioOnTime);
        fs::remove_all("kivIN01.int", ignored);
    }
    // At the bound the file is read.
    ASSERT_TRUE(WriteChannelFile(1, "A=1\n" + std::string(4092, 'x'), true));
    EXPECT_EQ(0, OpenWithoutPort(1));
}

}  // namespace
