// What every platform's serial line shares.
#include "tools/common/serial_line.h"

#include <cstdio>

namespace kivtools {

std::string DescribeSetup(const LineSetup& setup) {
    const char parities[] = "NOEMS";
    char text[48];
    std::snprintf(text, sizeof text, "%u %d%c%s", static_cast<unsigned>(setup.baud), setup.dataBits,
                  setup.parity >= 0 && setup.parity <= 4 ? parities[setup.parity] : '?',
                  setup.stopBits == 1 ? "1.5" : setup.stopBits == 2 ? "2" : "1");
    return text;
}

}  // namespace kivtools
