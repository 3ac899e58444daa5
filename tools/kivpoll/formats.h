// How kivpoll shows register values: as 16- or 32-bit integers or 32-bit
// floats, one register each or a value made of two 16-bit words, in
// decimal, hexadecimal or binary. Pure functions of the register bits.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kivpoll {

enum class ValueKind { U16, S16, U32, S32, F32 };
// Whole: each register holds its own value (the units' registers are 32
// bits wide). HighFirst, LowFirst: a value spans two registers that hold a
// 16-bit word each, the high word in the first or in the second.
enum class WordOrder { Whole, HighFirst, LowFirst };
enum class Radix { Decimal, Hex, Binary };

struct ValueFormat {
    ValueKind kind = ValueKind::S32;
    WordOrder order = WordOrder::Whole;
    Radix radix = Radix::Decimal;
    // True when values show as the registers' plain signed numbers.
    bool Plain() const { return kind == ValueKind::S32 && order == WordOrder::Whole && radix == Radix::Decimal; }
};

// One value as shown; number says whether JSON may carry it unquoted.
struct ShownValue {
    std::string text;
    bool number = true;
};

// Names and the option words they come from: "u16" ... "f32", "hi-lo" and
// "lo-hi". false for a word that names none.
bool ValueKindNamed(const std::string& word, ValueKind* kind);
bool WordOrderNamed(const std::string& word, WordOrder* order);

// The 32 bits of one value as kind and radix show them; U16 and S16 take
// the low 16 bits.
ShownValue ShowBits(uint32_t bits, ValueKind kind, Radix radix);

// The registers of one row as the format shows them: one value a register,
// or with a word order one a pair of registers (the low 16 bits of each);
// a register left without a partner shows as its 16-bit word.
std::vector<ShownValue> ShowRegisters(const std::vector<int32_t>& registers, const ValueFormat& format);

// A float in the fewest digits that read back as the same float.
std::string ShortestFloat(float value);

}  // namespace kivpoll
