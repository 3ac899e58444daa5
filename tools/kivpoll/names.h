// Names of registers from a map file, shown beside addresses. The file is
// the one kivsim's --map reads: lines "REGISTER VALUE NAME", where kivpoll
// passes over the value and may go without it ("REGISTER NAME").
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace kivpoll {

// The longest name a map file may give.
constexpr size_t kRegisterNameMax = 64;

struct RegisterNames {
    std::map<int32_t, std::string> byRegister;
    // The name of the register an R address (R00120300, R0012030005 or a
    // gate's R00120300) names; empty when none is given or the text is
    // not an R address.
    std::string Of(const std::string& address) const;
    size_t Longest() const;
};

// Reads a map file. Each line up to a # holds a register (decimal or 0x
// hex, 0 to 65535), then a value that kivpoll passes over when it is a
// number, then the name: the rest of the line without blanks around it. A
// line without a name names nothing; a later line for a register replaces
// an earlier one. false with *error naming the file and the line.
bool ReadRegisterNames(const std::string& path, RegisterNames* names, std::string* error);

// The same from text already read; name goes into the messages.
bool ParseRegisterNames(const std::string& text, const std::string& name, RegisterNames* names, std::string* error);

}  // namespace kivpoll
