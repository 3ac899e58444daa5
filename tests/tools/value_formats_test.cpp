// kivpoll's value formats against known register pairs, and the register
// names it reads from a map file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tools/kivpoll/formats.h"
#include "tools/kivpoll/names.h"

namespace {

using kivpoll::Radix;
using kivpoll::ValueFormat;
using kivpoll::ValueKind;
using kivpoll::WordOrder;

std::vector<std::string> Texts(const std::vector<int32_t>& registers, const ValueFormat& format) {
    std::vector<std::string> texts;
    for (const kivpoll::ShownValue& shown : kivpoll::ShowRegisters(registers, format)) texts.push_back(shown.text);
    return texts;
}

TEST(ValueFormats, RegistersShowAsTheFormatSays) {
    const auto hiLo = WordOrder::HighFirst, loHi = WordOrder::LowFirst, whole = WordOrder::Whole;
    const auto dec = Radix::Decimal, hex = Radix::Hex, bin = Radix::Binary;
    const struct {
        std::vector<int32_t> registers;
        ValueFormat format;
        std::vector<std::string> shown;
    } cases[] = {
        {{0x4049, 0x0FDB}, {ValueKind::F32, hiLo, dec}, {"3.1415927"}},
        {{0x0FDB, 0x4049}, {ValueKind::F32, loHi, dec}, {"3.1415927"}},
        {{0x40490FDB}, {ValueKind::F32, whole, dec}, {"3.1415927"}},
        {{0x3DCCCCCD, 0x3F800000, int32_t(0xC2F6E979)}, {ValueKind::F32, whole, dec}, {"0.1", "1", "-123.456"}},
        {{0x4B800001}, {ValueKind::F32, whole, dec}, {"16777218"}},
        {{0x0001, 0x0000}, {ValueKind::U32, hiLo, dec}, {"65536"}},
        {{0x0001, 0x0000}, {ValueKind::U32, loHi, dec}, {"1"}},
        {{0xFFFF, 0xFFFE}, {ValueKind::S32, hiLo, dec}, {"-2"}},
        // Only the low word of each register joins a pair.
        {{0x7FFF8000, 0x12340001}, {ValueKind::U32, hiLo, hex}, {"0x80000001"}},
        {{-1, -2}, {ValueKind::U32, whole, dec}, {"4294967295", "4294967294"}},
        {{-1}, {ValueKind::S32, whole, dec}, {"-1"}},
        {{0x12345678, int32_t(0xFFFF8000)}, {ValueKind::U16, whole, dec}, {"22136", "32768"}},
        {{0x12345678, int32_t(0xFFFF8000)}, {ValueKind::S16, whole, dec}, {"22136", "-32768"}},
        // 16-bit kinds take a register each whatever the word order.
        {{1, 2}, {ValueKind::U16, hiLo, dec}, {"1", "2"}},
        {{0x4049, 0x0FDB}, {ValueKind::F32, hiLo, hex}, {"0x40490FDB"}},
        {{0x1234ABCD}, {ValueKind::U16, whole, hex}, {"0xABCD"}},
        {{100000}, {ValueKind::S32, whole, hex}, {"0x000186A0"}},
        {{5}, {ValueKind::U16, whole, bin}, {"0b0000_0000_0000_0101"}},
        {{int32_t(0x80000001)}, {ValueKind::U32, whole, bin}, {"0b1000_0000_0000_0000_0000_0000_0000_0001"}},
        // A register without a partner shows as its word.
        {{0x4049, 0x0FDB, 0x8000}, {ValueKind::F32, hiLo, dec}, {"3.1415927", "32768"}},
        {{0x8000}, {ValueKind::S32, loHi, dec}, {"-32768"}},
        {{}, {ValueKind::F32, hiLo, dec}, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.shown, Texts(c.registers, c.format))
            << "format " << int(c.format.kind) << "/" << int(c.format.order) << "/" << int(c.format.radix)
            << ", first register " << (c.registers.empty() ? 0 : c.registers[0]);
    }
}

TEST(ValueFormats, OnlyNumbersGoIntoJsonUnquoted) {
    const struct {
        uint32_t bits;
        ValueKind kind;
        Radix radix;
        const char* text;
        bool number;
    } cases[] = {
        {0x7FC00000, ValueKind::F32, Radix::Decimal, "nan", false},
        {0x7F800000, ValueKind::F32, Radix::Decimal, "inf", false},
        {0xFF800000, ValueKind::F32, Radix::Decimal, "-inf", false},
        {0x00000001, ValueKind::F32, Radix::Decimal, "1.4013e-45", true},
        {0xFFFFFFFF, ValueKind::S32, Radix::Decimal, "-1", true},
        {0xFFFFFFFF, ValueKind::S32, Radix::Hex, "0xFFFFFFFF", false},
        {0x3, ValueKind::U16, Radix::Binary, "0b0000_0000_0000_0011", false},
    };
    for (const auto& c : cases) {
        const kivpoll::ShownValue shown = kivpoll::ShowBits(c.bits, c.kind, c.radix);
        EXPECT_EQ(c.text, shown.text) << std::hex << c.bits;
        EXPECT_EQ(c.number, shown.number) << std::hex << c.bits;
    }
}

TEST(ValueFormats, FloatsReadBackAsTheSameFloat) {
    // Patterns across the exponents and mantissas, subnormals included.
    for (uint32_t bits = 1; bits < 0x7F800000u; bits += 0x00F1E2D3u) {
        float value;
        std::memcpy(&value, &bits, sizeof value);
        const std::string text = kivpoll::ShortestFloat(value);
        EXPECT_EQ(value, std::strtof(text.c_str(), nullptr)) << text;
        EXPECT_LE(text.size(), 15u) << text;
    }
}

TEST(RegisterNames, MapLinesGiveNamesAndRefusalsNameTheLine) {
    const std::string longName(kivpoll::kRegisterNameMax + 1, 'n');
    const struct {
        std::string text;
        std::map<int32_t, std::string> names;
        std::string error;  // the start of the error after "map:", or empty
    } cases[] = {
        {"300 100000 Boiler temperature\n", {{300, "Boiler temperature"}}, ""},
        {"301 Pump speed\n", {{301, "Pump speed"}}, ""},
        {"0x12D 0xFF hex register  # a comment\n", {{301, "hex register"}}, ""},
        // A leading zero is no octal mark, as in an address's digits.
        {"0300 1 leading zero\n", {{300, "leading zero"}}, ""},
        {"302 -5\tTabbed\tname \r\n", {{302, "Tabbed name"}}, ""},
        {"+303 +7 signed\n", {{303, "signed"}}, ""},
        {"304 7\n305 12 volts\n306 12V supply\n", {{305, "volts"}, {306, "12V supply"}}, ""},
        {"# only a comment\n\n   \n", {}, ""},
        {"307 1 first\n307 2 second\n", {{307, "second"}}, ""},
        {"65535 0 " + std::string(kivpoll::kRegisterNameMax, 'n'), {{65535, std::string(64, 'n')}}, ""},
        {"308 1 a\n65536 1 b\n", {}, "2: expected \"register value name\""},
        {"pump 1 b\n", {}, "1: expected"},
        {"-1 1 b\n", {}, "1: expected"},
        {"309 1 " + longName + "\n", {}, "1: a name holds at most 64 characters"},
        {"310 1 bell\a\n", {}, "1: a name may not hold a control character"},
    };
    for (const auto& c : cases) {
        kivpoll::RegisterNames names;
        std::string error;
        const bool read = kivpoll::ParseRegisterNames(c.text, "map", &names, &error);
        EXPECT_EQ(c.error.empty(), read) << c.text << ": " << error;
        if (!c.error.empty()) {
            EXPECT_EQ(0u, error.find("map:" + c.error)) << c.text << ": " << error;
        } else {
            EXPECT_EQ(c.names, names.byRegister) << c.text;
        }
    }
}

TEST(RegisterNames, AddressesFindTheirRegistersName) {
    kivpoll::RegisterNames names;
    names.byRegister = {{300, "Boiler"}, {0, "Zero"}};
    const struct {
        const char* address;
        const char* name;
    } cases[] = {
        {"R00120300", "Boiler"}, {"r0099030005", "Boiler"}, {"R00000000", "Zero"}, {"R00120301", ""},
        {"S00120300", ""},       {"!R0012", ""},           {"R0012", ""},         {"R0012x300", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(c.name, names.Of(c.address)) << c.address;
    EXPECT_EQ(6u, names.Longest());
}

TEST(RegisterNames, FilesThatCannotBeReadSayWhy) {
    kivpoll::RegisterNames names;
    std::string error;
    EXPECT_FALSE(kivpoll::ReadRegisterNames("/nonexistent/map.txt", &names, &error));
    EXPECT_NE(std::string::npos, error.find("/nonexistent/map.txt: ")) << error;
    EXPECT_GT(error.size(), std::strlen("/nonexistent/map.txt: ")) << "a reason follows";
#if !defined(_WIN32)
    EXPECT_FALSE(kivpoll::ReadRegisterNames("/tmp", &names, &error));
    EXPECT_NE(std::string::npos, error.find("/tmp: ")) << error;
    EXPECT_FALSE(kivpoll::ReadRegisterNames("/dev/zero", &names, &error));
    EXPECT_NE(std::string::npos, error.find("not a map file")) << error;
#endif
}

}  // namespace
