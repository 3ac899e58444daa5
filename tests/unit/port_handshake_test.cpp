// The handshake options of PortOpen on a port whose DCB starts with DTR and
// RTS off, which only the fake platform can give (a pseudo-terminal always
// reports DTR on, so the line tests cannot tell "turned on" from "left on").
#include <gtest/gtest.h>

#include "serial/port.h"
#include "tests/support/fake_platform.h"

namespace {

TEST(PortHandshake, TheDtrRowsTurnDtrOnFromOff) {
    const struct {
        uint32_t options;
        DWORD dtr;
        DWORD rts;
    } cases[] = {
        {0x0001, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE},
        {0x0100, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE},
        {0x0101 | 0x8000, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE},  // the first row present decides
        {0x8000, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_DISABLE},
        {0x0202, DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE},  // the other group only
        {0x0004, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE},  // set-up without a handshake row
    };
    const LineSettings line{19200, 8, 0, 0};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        fake::Reset();
        DCB start = fake::PortDcb(fake::OpenPort("COM0"));
        const COMMTIMEOUTS timeouts = fake::PortTimeouts();
        start.fDtrControl = DTR_CONTROL_DISABLE;
        start.fRtsControl = RTS_CONTROL_DISABLE;
        fake::SetPortDefaults(start, timeouts);
        HANDLE handle = INVALID_HANDLE_VALUE;
        ASSERT_EQ(PortOk, PortOpen("COM1", &line, c.options, &handle));
        const DCB dcb = fake::PortDcb(handle);
        EXPECT_EQ(c.dtr, dcb.fDtrControl);
        EXPECT_EQ(c.rts, dcb.fRtsControl);
        EXPECT_EQ(19200u, dcb.BaudRate);  // the settings went in with it
    }
}

}  // namespace
