// Gate address texts: the register and event forms in gate and block mode,
// the fields written up to a refusal, and texts read no further than needed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/channel_block.h"
#include "driver/commands.h"
#include "requests/address.h"
#include "tests/support/fake_platform.h"

namespace {

constexpr int32_t kUntouched = 0x5A5A5A5A;  // what the record holds before a parse
constexpr int32_t kAnyKind = -100;          // the row holds for every kind

struct Fields {
    int32_t station, area, number, bit, size;
};
constexpr Fields kNothingWritten = {kUntouched, kUntouched, kUntouched, kUntouched, kUntouched};

struct AddressCase {
    const char* text;
    int32_t kind;  // gate mode: the gate's kind; block mode: the block length
    int32_t result;
    Fields fields;
};

std::ostream& operator<<(std::ostream& out, const AddressCase& c) {
    return out << '"' << c.text << "\" kind/length " << c.kind;
}

// The text in a heap buffer of exactly its size (terminator included), so
// that the address sanitizer catches a read past the NUL.
struct ExactText {
    explicit ExactText(const std::string& text) : bytes(text.c_str(), text.c_str() + text.size() + 1) {}
    std::vector<char> bytes;
};

AddressRequest Prepared(const char* text, int32_t kind, int32_t blockLength) {
    AddressRequest request;
    std::memset(&request, 0x5A, sizeof request);
    request.text = text;
    request.gate.kind = kind;
    request.gate.blockLength = blockLength;
    return request;
}

void ExpectFields(const Fields& expected, const AddressRequest& request) {
    EXPECT_EQ(expected.station, request.gate.station);
    EXPECT_EQ(expected.area, request.gate.area);
    EXPECT_EQ(expected.number, request.gate.number);
    EXPECT_EQ(expected.bit, request.gate.bit);
    EXPECT_EQ(expected.size, request.gate.size);
    // The fields the parse never writes.
    EXPECT_EQ(kUntouched, request.reserved);
    EXPECT_EQ(kUntouched, request.gate.reserved1);
    EXPECT_EQ(kUntouched, request.gate.count);
    EXPECT_EQ(kUntouched, request.gate.reserved2);
}

int32_t RunCommand(int32_t command, AddressRequest* request) {
    ChannelBlock* noBlockNeeded = nullptr;
    CallRecord call{noBlockNeeded, command, 1, 0, request};
    return command == CommandParseAddress ? ParseAddress(&call) : CheckAddress(&call);
}

const AddressCase kGateCases[] = {
    {"R00120300", 3, 0, {12, 0, 300, 255, 32}},
    {"r00120300", 4, 0, {12, 0, 300, 255, 32}},
    {"R00120300", 5, 0, {12, 0, 300, 255, 32}},
    {"R0012030005", 6, 0, {12, 0, 300, 5, 32}},
    {"R001203003", 6, 0, {12, 0, 300, 3, 32}},
    {"R001203005", 6, 1, kNothingWritten},  // bits 4 to 9 need a leading zero
    {"R0012030031", 6, 0, {12, 0, 300, 31, 32}},
    {"R0012030032", 6, 1, {12, 0, 300, 32, 32}},  // refused after the bit was written
    {"R00120300", 6, 1, {12, 0, 300, 255, 32}},   // bit gate without a bit
    {"R00120300 7", 6, 1, {12, 0, 300, 255, 32}}, // position 10 alone is no bit
    {"R0012030005", 3, 1, {12, 0, 300, 255, 32}}, // a bit on a gate of another kind
    {"R00120300", 2, 1, {12, 0, 300, 255, 32}},
    {"R00120300", 7, 1, {12, 0, 300, 255, 32}},
    {"R00129300", 3, 1, kNothingWritten},  // register numbers stop at 8999
    {"R00128999", 3, 0, {12, 0, 8999, 255, 32}},
    {"R99990000", 3, 0, {9999, 0, 0, 255, 32}},
    {"R0012030", 3, 1, kNothingWritten},
    {"R00120300 7", 3, 0, {12, 0, 300, 255, 32}},  // a digit in position 10 alone is ignored
    {"R00120300  X", 3, 0, {12, 0, 300, 255, 32}}, // the twelfth character is ignored
    {"R0012030005trailing", 6, 0, {12, 0, 300, 5, 32}},
    {"S00120007", kAnyKind, 0, {12, 1, 7, 255, 32}},
    {"s00120007", kAnyKind, 0, {12, 1, 7, 255, 32}},
    {"S0012000701", kAnyKind, 1, {12, 1, 7, 255, 32}},  // a status point takes no bit
    {"!T0012", kAnyKind, 0, {12, 84, kUntouched, 255, 32}},
    {"!l0007", kAnyKind, 0, {7, 76, kUntouched, 255, 32}},
    {"!r0001", kAnyKind, 0, {1, 82, kUntouched, 255, 32}},
    {"!S9999", kAnyKind, 0, {9999, 83, kUntouched, 255, 32}},
    {"!X0012", kAnyKind, 1, kNothingWritten},
    {"!T12", kAnyKind, 1, kNothingWritten},
    {"!T00123", kAnyKind, 1, kNothingWritten},
    {"!T0012   x", kAnyKind, 1, kNothingWritten},
    {" R00120300", kAnyKind, 1, kNothingWritten},
    {"", kAnyKind, 1, kNothingWritten},
    {"T00120300", kAnyKind, 1, kNothingWritten},
    {"R0012\x80" "300", kAnyKind, 1, kNothingWritten},
};

TEST(AddressTest, GateModeTable) {
    for (const AddressCase& c : kGateCases) {
        const std::vector<int32_t> kinds =
            c.kind == kAnyKind ? std::vector<int32_t>{0, 2, 3, 6, 7} : std::vector<int32_t>{c.kind};
        for (int32_t kind : kinds) {
            SCOPED_TRACE(::testing::Message() << '"' << c.text << "\" kind " << kind);
            ExactText text(c.text);
            AddressRequest request = Prepared(text.bytes.data(), kind, 60);
            EXPECT_EQ(c.result, RunCommand(CommandParseAddress, &request));
            ExpectFields(c.fields, request);
            EXPECT_EQ(kind, request.gate.kind);
            EXPECT_EQ(60, request.gate.blockLength);
            EXPECT_EQ(std::string(c.text), std::string(text.bytes.data()));  // the text is left alone
        }
    }
}

// In block mode the second number is the block length; the kind plays no part.
const AddressCase kBlockCases[] = {
    {"R00120300", 60, 0, {12, 0, 300, 255, 32}},
    {"R00120300", 61, 1, {12, 0, 300, 255, 32}},
    {"R00120300", 1, 0, {12, 0, 300, 255, 32}},
    {"R0012030031", 10, 0, {12, 0, 300, 255, 32}},  // bit digits are not examined
    {"R0012030099", 10, 1, kNothingWritten},        // but still held to the template
    {"S00120007", 10, 1, {12, 1, 7, 255, 32}},
    {"S0012000701", 10, 1, {12, 1, 7, 255, 32}},
    {"!R0012", 10, 1, {12, 82, kUntouched, 255, 32}},
    {"R0012", 10, 1, kNothingWritten},
};

TEST(AddressTest, BlockModeTable) {
    for (const AddressCase& c : kBlockCases) {
        for (int32_t kind : {0, 3, 6, 7}) {
            SCOPED_TRACE(::testing::Message() << c << " kind " << kind);
            ExactText text(c.text);
            AddressRequest request = Prepared(text.bytes.data(), kind, c.kind);
            EXPECT_EQ(c.result, RunCommand(CommandCheckAddress, &request));
            ExpectFields(c.fields, request);
        }
    }
}

TEST(AddressTest, MissingRecordOrTextIsRefusedUntouched) {
    AddressRequest request = Prepared(nullptr, 3, 10);
    EXPECT_EQ(1, RunCommand(CommandParseAddress, &request));
    EXPECT_EQ(1, RunCommand(CommandCheckAddress, &request));
    ExpectFields(kNothingWritten, request);
    EXPECT_EQ(1, RunCommand(CommandParseAddress, nullptr));
    EXPECT_EQ(1, RunCommand(CommandCheckAddress, nullptr));
    EXPECT_EQ(1, ParseAddress(nullptr));
    EXPECT_EQ(1, CheckAddress(nullptr));
}

TEST(AddressTest, ReadsNoMoreThanElevenCharacters) {
    // Eleven characters and no terminator: the twelfth byte is not ours.
    const std::string address = "R0012030005";
    std::unique_ptr<char[]> text(new char[address.size()]);
    std::memcpy(text.get(), address.data(), address.size());
    AddressRequest request = Prepared(text.get(), 6, 10);
    EXPECT_EQ(0, RunCommand(CommandParseAddress, &request));
    EXPECT_EQ(5, request.gate.bit);
}

TEST(AddressTest, ThroughTheEntryPointWhileTheLineIsBusy) {
    fake::Reset();
    std::unique_ptr<ChannelBlock> block(new ChannelBlock());
    block->exceptionEnabled = 1;
    block->busy = 1;  // command 3 must not wait for the listener
    AddressRequest request = Prepared("R0012030005", 6, 10);
    CallRecord call{block.get(), CommandParseAddress, 1, 0, &request};
    EXPECT_EQ(0, KivMain(&call));
    EXPECT_EQ(5, request.gate.bit);
    EXPECT_EQ(0u, fake::SleepCount());

    block->busy = 0;
    request = Prepared("R00120300", 0, 61);
    call.command = CommandCheckAddress;
    EXPECT_EQ(1, KivMain(&call));
    request.gate.blockLength = 60;
    EXPECT_EQ(0, KivMain(&call));
    EXPECT_EQ(0, block->busy);
}

// Parses keep nothing between calls, so threads parsing different texts at
// the same time each get their own answer.
TEST(AddressTest, ParsesRunSideBySide) {
    auto parseMany = [](int32_t station, bool* allRight) {
        char text[16];
        for (int i = 0; i < 2000; ++i) {
            const int32_t number = i % 9000;
            std::snprintf(text, sizeof text, "R%04d%04d%02d", station, number, i % 32);
            AddressRequest request = Prepared(text, 6, 10);
            if (ParseAddressText(&request, AddressGate) != 0 || request.gate.station != station ||
                request.gate.number != number || request.gate.bit != i % 32) {
                *allRight = false;
            }
        }
    };
    bool allRight[4] = {true, true, true, true};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back(parseMany, 1000 * (t + 1), &allRight[t]);
    for (std::thread& thread : threads) thread.join();
    for (bool right : allRight) EXPECT_TRUE(right);
}

// Why a text is refused: the first check it fails, so that a tool can say
// which part of the address is wrong. The commands' results follow from it.
TEST(AddressTest, EachRefusalNamesTheCheckThatFailed) {
    const struct {
        const char* text;
        AddressMode mode;
        int32_t kindOrLength;
        AddressRefusal refusal;
    } cases[] = {
        {"R00120300", AddressGate, 3, AddressValid},
        {"X00120300", AddressGate, 3, AddressFirstLetter},
        {"", AddressGate, 3, AddressFirstLetter},
        {"R001x0300", AddressGate, 3, AddressStation},
        {"R0012", AddressGate, 3, AddressNumber},          // the number's digits are blanks
        {"R00129300", AddressGate, 3, AddressNumber},      // 9000 to 9999 do not exist
        {"R001203004", AddressGate, 6, AddressBitDigits},  // bits 4 to 9 need a leading zero
        {"R00120300x5", AddressGate, 6, AddressBitDigits},
        {"!X0012", AddressGate, 0, AddressEventArea},
        {"!T12", AddressGate, 0, AddressStation},
        {"!T00121", AddressGate, 0, AddressAfterStation},
        {"S0012000701", AddressGate, 0, AddressStatusBit},
        {"R00120300", AddressGate, 6, AddressBitMissing},
        {"R0012030032", AddressGate, 6, AddressBitAbove31},
        {"R0012030005", AddressGate, 3, AddressBitNotBitKind},
        {"R00120300", AddressGate, 7, AddressKind},
        {"R00120300", AddressBlock, 60, AddressValid},
        {"R00120300", AddressBlock, 61, AddressBlockTooLong},
        {"S00120007", AddressBlock, 10, AddressBlockNotRegister},
        {"!R0012", AddressBlock, 10, AddressBlockNotRegister},
        {"R001x0300", AddressBlock, 10, AddressStation},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        AddressRequest request{};
        request.text = c.text;
        request.gate.kind = c.mode == AddressGate ? c.kindOrLength : 3;
        request.gate.blockLength = c.mode == AddressBlock ? c.kindOrLength : 0;
        AddressRequest again = request;
        EXPECT_EQ(c.refusal, AddressRefusalOf(&request, c.mode));
        CallRecord call{nullptr, c.mode == AddressGate ? 3 : 4, 1, 0, &again};
        const int32_t result = c.mode == AddressGate ? ParseAddress(&call) : CheckAddress(&call);
        EXPECT_EQ(c.refusal == AddressValid ? 0 : 1, result);
    }
    EXPECT_EQ(AddressNoText, AddressRefusalOf(nullptr, AddressGate));
}

}  // namespace
