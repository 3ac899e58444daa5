// Gate address texts: checks a text against the register and event templates
// and decodes it into the station, area, number and bit of its GateRequest.
// A parse keeps no state between calls, so it may run beside any command.
#include "requests/address.h"

namespace {

constexpr int kAddressWidth = 11;

// One set of allowed characters per position; a blank in a set allows a blank.
typedef const char* AddressTemplate[kAddressWidth];

// R and S forms: letter, four station digits, four number digits (register
// numbers stop at 8999), then an optional bit number of one or two digits.
const AddressTemplate RegisterTemplate = {
    "RS",         "0123456789", "0123456789", "0123456789", "0123456789", "012345678",
    "0123456789", "0123456789", "0123456789", "0123 ",      "0123456789 ",
};

// The ! form: area letter and four station digits, nothing after them.
const AddressTemplate EventTemplate = {
    "!", "SRLT", "0123456789", "0123456789", "0123456789", "0123456789", " ", " ", " ", " ", " ",
};

// The first position of copy that is none of its template's characters, or
// kAddressWidth when every position is.
int FirstMismatch(const char* copy, const AddressTemplate& pattern) {
    for (int position = 0; position < kAddressWidth; ++position) {
        const char c = copy[position];
        bool allowed = false;
        for (const char* a = pattern[position]; *a != '\0'; ++a) allowed = allowed || *a == c;
        if (!allowed) return position;
    }
    return kAddressWidth;
}

// Which part of the text a position of a template belongs to.
AddressRefusal RegisterPart(int position) {
    if (position == 0) return AddressFirstLetter;
    if (position <= 4) return AddressStation;
    if (position <= 8) return AddressNumber;
    return AddressBitDigits;
}
AddressRefusal EventPart(int position) {
    if (position <= 1) return AddressEventArea;
    if (position <= 5) return AddressStation;
    return AddressAfterStation;
}

// The call's own copy of the text: at most eleven characters, read no further
// than the NUL, a-z upper-cased, padded with blanks.
void BuildWorkCopy(const char* text, char* copy) {
    int position = 0;
    for (; position < kAddressWidth && text[position] != '\0'; ++position) {
        const char c = text[position];
        copy[position] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    for (; position < kAddressWidth; ++position) copy[position] = ' ';
}

// The decimal value of copy[first .. first+count-1], all digits by template.
int32_t DecimalValue(const char* copy, int first, int count) {
    int32_t value = 0;
    for (int i = first; i < first + count; ++i) value = value * 10 + (copy[i] - '0');
    return value;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

// AddressValid when the text is a valid address for the mode and the gate's
// kind, else the first check it failed (also for a null record or text).
// Once the text has the form of an address, station, bit and size are set,
// then area, number and bit as far as the checks got; a refusal leaves them
// written.
AddressRefusal AddressRefusalOf(AddressRequest* request, AddressMode mode) {
    if (request == nullptr || request->text == nullptr) return AddressNoText;
    char copy[kAddressWidth];
    BuildWorkCopy(request->text, copy);
    // The first character decides the form: the two templates share none.
    const bool event = copy[0] == '!';
    const int mismatch = FirstMismatch(copy, event ? EventTemplate : RegisterTemplate);
    if (mismatch < kAddressWidth) return event ? EventPart(mismatch) : RegisterPart(mismatch);

    GateRequest& gate = request->gate;
    gate.station = 0;
    gate.bit = KivWholeRegister;
    gate.size = 32;

    if (event) {
        gate.area = copy[1];  // 'L', 'R', 'S' or 'T': the area codes are these letters
        gate.station = DecimalValue(copy, 2, 4);
        return mode == AddressBlock ? AddressBlockNotRegister : AddressValid;
    }

    gate.area = copy[0] == 'R' ? AreaRegister : AreaStatus;
    gate.station = DecimalValue(copy, 1, 4);
    gate.number = DecimalValue(copy, 5, 4);
    if (gate.area == AreaStatus && copy[9] != ' ') return AddressStatusBit;
    if (mode == AddressBlock) {
        if (gate.area != AreaRegister) return AddressBlockNotRegister;
        return gate.blockLength > KivBlockRegistersMax ? AddressBlockTooLong : AddressValid;
    }

    if (gate.kind == 6 && gate.area == AreaRegister) {
        if (copy[9] == ' ') return AddressBitMissing;
        gate.bit = copy[9] - '0';
        if (IsDigit(copy[10])) gate.bit = gate.bit * 10 + (copy[10] - '0');
        if (gate.bit > KivBitMax) return AddressBitAbove31;
    }
    if (gate.kind != 6 && copy[9] != ' ') return AddressBitNotBitKind;
    if (gate.area != AreaRegister) return AddressValid;
    return (gate.kind < 3 || gate.kind > 6) ? AddressKind : AddressValid;
}

// 0 when the text is a valid address for the mode and the gate's kind, 1 when
// not; the fields as AddressRefusalOf leaves them. A block is checked for its
// form only here: its area and length are CheckAddress's to check.
int32_t ParseAddressText(AddressRequest* request, AddressMode mode) {
    const AddressRefusal refusal = AddressRefusalOf(request, mode);
    if (mode == AddressBlock && (refusal == AddressBlockNotRegister || refusal == AddressBlockTooLong)) return 0;
    return refusal == AddressValid ? 0 : 1;
}

// Command 3: 0 valid gate address, 1 not.
int32_t ParseAddress(CallRecord* call) {
    if (call == nullptr) return 1;
    return ParseAddressText(static_cast<AddressRequest*>(call->parameters), AddressGate);
}

// Command 4: 0 when the text names a register block of at most 60 registers,
// 1 when not.
int32_t CheckAddress(CallRecord* call) {
    if (call == nullptr) return 1;
    // S and ! addresses name no block; a block holds at most 60 registers.
    return AddressRefusalOf(static_cast<AddressRequest*>(call->parameters), AddressBlock) == AddressValid ? 0 : 1;
}

extern "C" int32_t KIV_CDECL KivAddressRefusal(AddressRequest* request, int32_t block) {
    return AddressRefusalOf(request, block != 0 ? AddressBlock : AddressGate);
}
