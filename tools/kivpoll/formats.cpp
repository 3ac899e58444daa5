// Register values as kivpoll shows them.
#include "tools/kivpoll/formats.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kivpoll {

namespace {

struct Named {
    const char* word;
    int value;
};

const Named kKinds[] = {{"u16", int(ValueKind::U16)},
                        {"s16", int(ValueKind::S16)},
                        {"u32", int(ValueKind::U32)},
                        {"s32", int(ValueKind::S32)},
                        {"f32", int(ValueKind::F32)}};
const Named kOrders[] = {{"hi-lo", int(WordOrder::HighFirst)}, {"lo-hi", int(WordOrder::LowFirst)}};

template <size_t N>
bool Lookup(const Named (&table)[N], const std::string& word, int* value) {
    for (const Named& named : table) {
        if (word == named.word) {
            *value = named.value;
            return true;
        }
    }
    return false;
}

bool Is16Bit(ValueKind kind) { return kind == ValueKind::U16 || kind == ValueKind::S16; }

// Binary digits from the highest of width bits down, in groups of four.
std::string BinaryText(uint32_t bits, int width) {
    std::string text = "0b";
    for (int bit = width - 1; bit >= 0; --bit) {
        text += (bits >> bit) & 1u ? '1' : '0';
        if (bit > 0 && bit % 4 == 0) text += '_';
    }
    return text;
}

// The 16-bit word kind a lone register of a pair shows as: signed for s32.
ValueKind WordKind(ValueKind kind) { return kind == ValueKind::S32 ? ValueKind::S16 : ValueKind::U16; }

}  // namespace

bool ValueKindNamed(const std::string& word, ValueKind* kind) {
    int value = 0;
    if (!Lookup(kKinds, word, &value)) return false;
    *kind = ValueKind(value);
    return true;
}

bool WordOrderNamed(const std::string& word, WordOrder* order) {
    int value = 0;
    if (!Lookup(kOrders, word, &value)) return false;
    *order = WordOrder(value);
    return true;
}

std::string ShortestFloat(float value) {
    char text[32];
    for (int digits = 6; digits <= 9; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, double(value));
        if (std::strtof(text, nullptr) == value) break;
    }
    return text;
}

ShownValue ShowBits(uint32_t bits, ValueKind kind, Radix radix) {
    const int width = Is16Bit(kind) ? 16 : 32;
    if (width == 16) bits &= 0xFFFFu;
    char text[48];
    if (radix == Radix::Hex) {
        std::snprintf(text, sizeof text, "0x%0*X", width / 4, bits);
        return {text, false};
    }
    if (radix == Radix::Binary) return {BinaryText(bits, width), false};
    switch (kind) {
    case ValueKind::U16:
    case ValueKind::U32: std::snprintf(text, sizeof text, "%u", bits); break;
    case ValueKind::S16: std::snprintf(text, sizeof text, "%d", int(int16_t(uint16_t(bits)))); break;
    case ValueKind::S32: std::snprintf(text, sizeof text, "%d", int32_t(bits)); break;
    case ValueKind::F32: {
        float value;
        std::memcpy(&value, &bits, sizeof value);
        // JSON has no number for these.
        if (std::isnan(value)) return {"nan", false};
        if (std::isinf(value)) return {value < 0 ? "-inf" : "inf", false};
        return {ShortestFloat(value), true};
    }
    }
    return {text, true};
}

std::vector<ShownValue> ShowRegisters(const std::vector<int32_t>& registers, const ValueFormat& format) {
    std::vector<ShownValue> shown;
    if (format.order == WordOrder::Whole || Is16Bit(format.kind)) {
        for (int32_t value : registers) shown.push_back(ShowBits(uint32_t(value), format.kind, format.radix));
        return shown;
    }
    size_t at = 0;
    for (; at + 1 < registers.size(); at += 2) {
        const uint32_t first = uint32_t(registers[at]) & 0xFFFFu, second = uint32_t(registers[at + 1]) & 0xFFFFu;
        const uint32_t bits = format.order == WordOrder::HighFirst ? first << 16 | second : second << 16 | first;
        shown.push_back(ShowBits(bits, format.kind, format.radix));
    }
    if (at < registers.size()) shown.push_back(ShowBits(uint32_t(registers[at]), WordKind(format.kind), format.radix));
    return shown;
}

}  // namespace kivpoll
