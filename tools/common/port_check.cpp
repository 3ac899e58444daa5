// What a port name stands for, as far as a tool can tell without the driver.
#include "tools/common/port_check.h"

#include "platform/port_map.h"

namespace kivtools {

const char* const kPortMapFileName = kPortMapFile;

bool IsNetAddress(const std::string& text) {
    PortMapEntry entry;
    return ParseNetAddress(text.c_str(), text.size(), &entry);
}

}  // namespace kivtools
