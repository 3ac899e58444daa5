// The DCB <-> termios mapping of the POSIX stand-in, checked as pure
// conversions: no terminal is opened.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/ioctl.h>
#include <termios.h>

#include <cstring>

#include "platform/posix_termios.h"
#include "tests/support/refused_dcb.h"

namespace {

using kivposix::DcbFromTermios;
using kivposix::TermiosFromDcb;
using kivposix::TermiosTaken;

// A DCB of 9600 8N1 without flow control, as a port layer sets one up.
DCB PlainDcb() {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 9600;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.ByteSize = 8;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

struct termios RawTermios() {
    struct termios t;
    std::memset(&t, 0, sizeof t);
    cfmakeraw(&t);
    return t;
}

TEST(DcbTermios, WhatTermiosCanExpressGoesThereAndComesBack) {
    struct Case {
        const char* what;
        void (*change)(DCB*);
        tcflag_t cflags;  // expected under CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS
        tcflag_t iflags;  // expected under INPCK | IXON | IXOFF
    };
    const Case cases[] = {
        {"8N1", [](DCB*) {}, CS8, 0},
        {"7 data bits", [](DCB* d) { d->ByteSize = 7; }, CS7, 0},
        {"6 data bits", [](DCB* d) { d->ByteSize = 6; }, CS6, 0},
        {"5 data bits", [](DCB* d) { d->ByteSize = 5; }, CS5, 0},
        {"odd parity checked", [](DCB* d) { d->Parity = ODDPARITY; d->fParity = 1; }, CS8 | PARENB | PARODD, INPCK},
        {"even parity", [](DCB* d) { d->Parity = EVENPARITY; }, CS8 | PARENB, 0},
        {"mark parity", [](DCB* d) { d->Parity = MARKPARITY; }, CS8 | PARENB | PARODD | CMSPAR, 0},
        {"space parity", [](DCB* d) { d->Parity = SPACEPARITY; }, CS8 | PARENB | CMSPAR, 0},
        {"two stop bits", [](DCB* d) { d->StopBits = TWOSTOPBITS; }, CS8 | CSTOPB, 0},
        {"CTS flow alone", [](DCB* d) { d->fOutxCtsFlow = 1; }, CS8 | CRTSCTS, 0},
        {"RTS/CTS handshake",
         [](DCB* d) {
             d->fOutxCtsFlow = 1;
             d->fRtsControl = RTS_CONTROL_HANDSHAKE;
         },
         CS8 | CRTSCTS, 0},
        {"XON/XOFF both ways", [](DCB* d) { d->fOutX = d->fInX = 1; }, CS8, IXON | IXOFF},
    };
    const tcflag_t cMask = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    const tcflag_t iMask = INPCK | IXON | IXOFF;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DCB dcb = PlainDcb();
        c.change(&dcb);
        struct termios t = RawTermios();
        ASSERT_EQ(ERROR_SUCCESS, TermiosFromDcb(dcb, &t));
        EXPECT_EQ(c.cflags, t.c_cflag & cMask);
        EXPECT_EQ(c.iflags, t.c_iflag & iMask);
        EXPECT_EQ(CREAD | CLOCAL, t.c_cflag & (CREAD | CLOCAL));
        EXPECT_EQ(B9600, cfgetospeed(&t));
        EXPECT_EQ(B9600, cfgetispeed(&t));

        DCB back = DcbFromTermios(t, -1);
        EXPECT_EQ(sizeof(DCB), back.DCBlength);
        EXPECT_EQ(dcb.BaudRate, back.BaudRate);
        EXPECT_EQ(dcb.ByteSize, back.ByteSize);
        EXPECT_EQ(dcb.Parity, back.Parity);
        EXPECT_EQ(dcb.fParity, back.fParity);
        EXPECT_EQ(dcb.StopBits, back.StopBits);
        EXPECT_EQ(dcb.fOutxCtsFlow, back.fOutxCtsFlow);
        EXPECT_EQ(dcb.fOutX, back.fOutX);
        EXPECT_EQ(dcb.fInX, back.fInX);
        EXPECT_EQ(dcb.XonChar, back.XonChar);
        EXPECT_EQ(dcb.XoffChar, back.XoffChar);
        // CTS flow shares termios's one switch with RTS handshake.
        EXPECT_EQ(dcb.fOutxCtsFlow ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE, back.fRtsControl);
    }
}

TEST(DcbTermios, EveryRateOfTheTableRoundTrips) {
    struct Rate {
        DWORD baud;
        speed_t speed;
    };
    const Rate rates[] = {
        {50, B50},       {75, B75},       {110, B110},     {134, B134},     {150, B150},
        {200, B200},     {300, B300},     {600, B600},     {1200, B1200},   {1800, B1800},
        {2400, B2400},   {4800, B4800},   {9600, B9600},   {19200, B19200}, {38400, B38400},
        {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
    };
    for (const Rate& rate : rates) {
        SCOPED_TRACE(rate.baud);
        DCB dcb = PlainDcb();
        dcb.BaudRate = rate.baud;
        struct termios t = RawTermios();
        ASSERT_EQ(ERROR_SUCCESS, TermiosFromDcb(dcb, &t));
        EXPECT_EQ(rate.speed, cfgetospeed(&t));
        EXPECT_EQ(rate.baud, DcbFromTermios(t, -1).BaudRate);
    }
}

TEST(DcbTermios, WhatTermiosCannotExpressIsRefusedAndLeavesTermiosAlone) {
    for (const RefusedDcbChange& c : kRefusedDcbChanges) {
        SCOPED_TRACE(c.what);
        DCB dcb = PlainDcb();
        dcb.BaudRate = 4800;  // would show if anything were written
        c.change(&dcb);
        struct termios before = RawTermios();
        cfsetospeed(&before, B19200);
        struct termios t = before;
        EXPECT_EQ(ERROR_INVALID_PARAMETER, TermiosFromDcb(dcb, &t));
        EXPECT_EQ(0, std::memcmp(&before, &t, sizeof t));
    }
}

TEST(DcbTermios, ModemLinesAsTheyAreOrRaisedWhenUnknown) {
    struct Case {
        int lines;
        DWORD dtr;
        DWORD rts;
    };
    const Case cases[] = {
        {-1, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE},
        {0, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE},
        {TIOCM_DTR, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE},
        {TIOCM_RTS, DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines);
        DCB dcb = DcbFromTermios(RawTermios(), c.lines);
        EXPECT_EQ(c.dtr, dcb.fDtrControl);
        EXPECT_EQ(c.rts, dcb.fRtsControl);
        EXPECT_EQ(1u, dcb.fBinary);
    }
}

TEST(DcbTermios, APseudoTerminalMayRewriteSizeAndParityButNothingElse) {
    DCB dcb = PlainDcb();
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    struct termios asked = RawTermios();
    ASSERT_EQ(ERROR_SUCCESS, TermiosFromDcb(dcb, &asked));
    struct termios rewritten = asked;  // what a pseudo-terminal gives back: 8 bits, no parity
    rewritten.c_cflag = (rewritten.c_cflag & ~(CSIZE | PARENB)) | CS8;
    EXPECT_TRUE(TermiosTaken(asked, asked, false));
    EXPECT_FALSE(TermiosTaken(asked, rewritten, false));
    EXPECT_TRUE(TermiosTaken(asked, rewritten, true));

    struct termios slower = asked;
    cfsetospeed(&slower, B4800);
    EXPECT_FALSE(TermiosTaken(asked, slower, true));
    struct termios noStop = asked;
    noStop.c_cflag ^= CSTOPB;
    EXPECT_FALSE(TermiosTaken(asked, noStop, true));
    struct termios noXon = asked;
    noXon.c_iflag ^= IXON;
    EXPECT_FALSE(TermiosTaken(asked, noXon, true));
}

}  // namespace

#endif  // _WIN32
