#!/usr/bin/env python3
"""Writes the seed corpora, corpus/<target>/<name>, in the input layouts the
fuzz targets decode (see support.h for the answer shapes). Run it again after
changing a layout; libFuzzer grows its own corpora from these."""
import os

HERE = os.path.dirname(os.path.abspath(__file__))


def h(text):
    return bytes.fromhex(text.replace(" ", ""))


def frame_message(message):
    """Shape 0: a sound frame of the message, taken whole."""
    return b"\x00" + message


def answer(payload, shape=1, other=1):
    """Shape 1 (or 3 and 4, whose extra bytes follow): length and payload;
    shape 7 takes the change to the source between the two."""
    if shape == 7:
        return bytes([shape, len(payload), other]) + payload
    return bytes([shape, len(payload)]) + payload


def crc_table():
    table = []
    for i in range(256):
        crc, c = 0, i << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x3D65) if (crc ^ c) & 0x8000 else (crc << 1)
            crc &= 0xFFFF
            c = (c << 1) & 0xFFFF
        table.append(crc)
    return table


TABLE = crc_table()


def frame(message):
    """The frame of a message (length byte first) as it goes on the line."""
    out = b"\x05\x64"
    for at in range(0, len(message), 16):
        block = message[at:at + 16]
        crc = 0
        for byte in block:
            crc = TABLE[((crc >> 8) ^ byte) & 0xFF] ^ ((crc << 8) & 0xFF00)
        crc ^= 0xFFFF
        out += block + bytes([crc >> 8, crc & 0xFF])
    return out


def capture(records, big=False):
    """A capture file: (seconds, microseconds, direction, bytes) records."""
    order = ">" if big else "<"
    import struct
    out = struct.pack(order + "IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 147)
    for seconds, micros, direction, data in records:
        out += struct.pack(order + "IIII", seconds, micros, len(data) + 1, len(data) + 1) + bytes([direction]) + data
    return out


READ_REQUEST = frame(h("0A 5F 00 0C 00 00 01 01 01 2C 01"))
READ_ANSWER = frame(h("0E 06 00 00 00 0C 01 01 01 2C 01 00 01 86 A0"))
NOTHING = b"\x05"
STAMP_1997 = h("06 1A 51 8F B7 E7")

SEEDS = {
    "frame_reception": {
        "worked-example-1": b"\x00" + frame_message(h("07 C0 00 05 00 00 00 00")),
        "worked-example-2": b"\x00" + frame_message(h("10 D3 00 05 00 00 01 07 01 02 03 04 05 06 07 08 09")),
        "two-frames-in-parts": b"\x00" + b"\x08" + h("07 C0 00 05 00 00 00 00") + frame_message(h("07 80 00 00 00 05 00 00")),
        "garbage-then-frame": b"\x00" + b"\x02\x05" + h("05 65 01 02 03") + frame_message(h("07 C0 00 05 00 00 00 00")),
        "radio-carrier-for-a-while": b"\x03" + frame_message(h("0E 06 00 00 00 0C 01 01 01 2C 01 00 01 86 A0")),
        "late-frame": b"\x00" + b"\x18" + h("07 C0 00 05 00 00 00 00"),
    },
    "check_response": {
        "read-answer": h("0000 000C 01 06") + b"\x0f" + h("0E 06 00 00 00 0C 01 01 01 2C 01 00 01 86 A0"),
        "wrong-source": h("0000 000C 01 06") + b"\x0f" + h("0E 06 00 00 00 0D 01 01 01 2C 01 00 01 86 A0"),
        "notice-then-answer": h("0000 000C 01 06") + b"\x0a" + h("09 53 00 00 00 0C 01 09 00 01")
        + frame_message(h("0E 06 00 00 00 0C 01 01 01 2C 01 00 01 86 A0")),
        "notice-then-nothing": h("0000 000C 00 06") + b"\x0a" + h("09 53 00 00 00 0C 01 09 00 02"),
        "write-answer": h("012C 0005 03 00") + b"\x08" + h("07 00 01 2C 00 05 01 03"),
    },
    "requests": {
        # host, selector, station, number, [bit], count, then the unit's answers.
        "read-after-link-reset": h("00 40 01 0005 01") + answer(b"") + answer(h("0005 01 12345678")),
        "read-block-of-eight": h("00 61 01 0005 08") + answer(h("0005 08") + bytes(range(32))),
        "write-register": h("00 62 01 0005 01") + answer(b""),
        "write-bit": h("00 22 01 0005 03 01") + answer(b""),
        "write-block": h("00 63 01 000A 03") + answer(b""),
        "clock": h("00 76 01 0000 01") + answer(b""),
        "change-events": h("00 6C 01 0000 01") + answer(h("00 0001 0000002A 0002 0000002B")),
        "faults-then-answer": h("00 61 01 0005 02") + answer(h("0005 02 0000000100000002"), 3) + h("0010")
        + NOTHING + answer(h("0005 02 0000000100000002"), 7) + answer(h("0005 02 0000000100000002")),
    },
    "event_fetch": {
        # host, selector, station, then the unit's answers.
        "register-changes-two-passes": h("00 00 01") + answer(h("01 0001 0000002A 0002 0000002B"))
        + answer(h("00 0003 FFFFFFFF")),
        "status-event": h("00 01 01") + answer(h("00 8003") + STAMP_1997),
        "logged-event": h("00 02 01") + answer(h("00 0004 00000100") + STAMP_1997),
        "missing-gates-and-failed-cooking": h("00 12 01") + answer(h("00 0002 00000001 0005 00000002")),
        "lost-answer-then-retry": h("00 00 02") + NOTHING + answer(h("00 0001 00000007"), 4) + h("05")
        + answer(h("00 0001 00000007")),
    },
    "listener_frames": {
        # host, the unsolicited frame, then the answers to what follows.
        "notice-register-changes": h("00") + frame_message(h("09 53 00 00 00 01 01 09 00 02")) + NOTHING
        + answer(h("00 0001 0000002A")),
        "notice-every-class": h("00") + frame_message(h("09 53 00 00 00 01 01 09 00 0F")) + NOTHING
        + answer(h("00 8001") + STAMP_1997) + answer(h("00 0001 0000002A")) + answer(h("00 0004 00000100") + STAMP_1997)
        + answer(b""),
        "link-reset": h("00") + frame_message(h("07 40 00 00 00 01 00 00")),
        "for-another-host": h("00") + frame_message(h("09 53 00 05 00 01 01 09 00 02")),
        "illegal": h("00") + frame_message(h("0A 5F 00 00 00 01 01 01 01 2C 01")),
        "short-notice": h("00") + frame_message(h("08 53 00 00 00 01 01 09 00")),
    },
    "channel_config": {
        "worked-example": b"Host Address = 1\nEXCEPTION = ON\nRADIO = YES, 150, 100, 50\n",
        "address-only": b"Host Address = 258\n",
        "crlf-and-one-radio-time": b"HostAddress=70000\r\nRADIO=YES,150\r\nHost Address = 3\r\n",
        "no-final-line-feed": b"A=1\nEXCEPTION=ON",
        "blank-first-line": b"\nHost Address = 1\n",
        "long-line": b"Host Address = " + b"9" * 300 + b"\nRADIO=YES150,100,50\n",
    },
    "address_text": {
        # mode (1: block check), kind, block length, text.
        "register": b"\x00\x03\x00R00120300",
        "bit": b"\x00\x06\x00R0012030031",
        "status": b"\x00\x03\x00S00120007",
        "clock": b"\x00\x03\x00!T0012",
        "lower-case-event": b"\x00\x03\x00!l0007",
        "block": b"\x01\x03\x3cR00120300",
        "twelve-characters": b"\x00\x03\x00R00120300 7X",
    },
    "port_map": {
        # the port name looked up, then the map.
        "tcp": b"NET1\nNET1 = tcp://127.0.0.1:4001\n",
        "rfc2217-crlf-comment": b"com7\n# device servers\r\n  COM7=RFC2217://box.local:2217  # pump\r\n",
        "v6": b"V6\nV6 = rfc2217://[::1]:65535",
        "bad-lines-first": b"X\nX tcp://h:1\nTWO WORDS = tcp://h:2\nX = tcp://h:3\n",
        "bad-address": b"N\nN = udp://h:1\nN = tcp://h:2\n",
        "long-line": b"N\n" + b"A" * 600 + b"\nN = tcp://h:1\n",
        "not-mapped": b"COM1\nNET1 = tcp://h:1\nNET2 = tcp://h:2\n",
        "device-path": b"USB0\nNET = tcp://h:1\nusb0 = /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0  # pump\n"
                       b"P = /dev/my port\n",
    },
    "capture_decode": {
        "exchange": capture([(1796702462, 345678, 0, READ_REQUEST), (1796702462, 360000, 1, READ_ANSWER)]),
        "big-endian": capture([(1796702462, 1, 1, READ_ANSWER)], big=True),
        "junk-and-cut-frame": capture([(1, 2, 1, h("01 02 05")), (1, 3, 1, READ_ANSWER[:9])]),
        "bad-crc": capture([(7, 0, 1, READ_ANSWER[:-1] + b"\x00")]),
        "fetch-answer": capture([(9, 9, 1, frame(h("10 06 00 00 00 0C 01 05 00 80 03") + STAMP_1997))]),
        "header-only": capture([]),
        "cut-record": capture([(1, 2, 0, READ_REQUEST)])[:-3],
    },
    "kivsim_control": {
        # map NUL scenario NUL standard input.
        "map-and-commands": b"# pump\n100 1500\n0x65 0x7FFF\n102 -40\n\0stations\nreg 1 100\nload 1 map.txt\n"
        b"\0reg 2 7 -1\nregs 1 99 4\nchange 1 5 6\npending\n",
        "events-and-faults": b"\0events 1 change 3 10\ntoggle 2 4\nlog 1 4095 9\nfault drop=0.25\nfault crc 2\n"
        b"faults\nfault off\n\0stats\nclear 1\nquit\n",
        "clock-and-frames": b"\0clock 1 2026-12-08 05:01:02.5\nclock 2 +1000\nclock 1\nnotice 1 3\n"
        b"linkreset 2\nsend 07 40 00 00 00 05 00 00\nraw 05 64 FF\n\0asktime 1\nexception all on\n",
        "plant": b"\0plant 1 demo\nplant 2 counter 5 1 100 both\nplant 2 ramp 6 -10 10 3 50\n"
        b"plant 1 sine 7 0 1000 60000 500 log\nplant 1 toggle 3 700\nplant on\nplant\n\0plant 1 clear\n",
        "bad-map-line": b"1 2\n3\n\0load all map.txt\n\0",
        "unknown-command": b"\0stations\nfrobnicate 3\n\0bogus\nhelp\n",
    },
    "telnet_codec": {
        # part (0 raw, 1 built, 2 escape, 3 negotiation), then its bytes.
        "raw-server-talk": b"\x00" + h("FF FB 2C FF FB 00 FF FD 00 FF FD 03") + b"data" + h("FF FF 05 64")
        + h("FF FA 2C 6B B0 FF F0 FF F1 FF FA 2C 65 FF FF 01 FF F0"),
        "raw-overlong-sub": b"\x00" + h("FF FA 2C 01") + bytes(range(40)) + h("FF F0") + b"after",
        "raw-sub-never-closed": b"\x00" + h("FF FA 2C 01") + b"\x11" * 1100 + b"data again",
        "built-items": b"\x01" + b"\x28abcdefgh" + b"\x01\x00\x2c" + b"\x02\xf1" + b"\x03\x6b\x01\xff"
        + b"\x04\x05" + bytes(40) + b"\x05\xff\xff\xff",
        "escape-tight-room": b"\x02\x05" + h("01 FF FF 02 FF"),
        "negotiation": b"\x03\x17\x05\x1f\x05" + bytes([0x00, 0x41, 0x10, 0x51, 0x80 | 0x08, 0xC1, 0x21, 0x61]),
    },
    "net_line": {
        # bit 0 RFC 2217, the rest the piece size; the host's bytes; the server's stream.
        "rfc2217-talk-and-data": b"\x03\x06" + h("FF FD 2C FF FB 00 FF FD 00 FF FB 03 FF FD 03")
        + h("FF FA 2C 6B B0 FF F0") + READ_ANSWER + h("FF FF 05 64 FF F1") + h("FF FA 2C 65 FF FF 01 FF F0"),
        "rfc2217-overlong-sub": b"\x11\x00" + h("FF FA 2C 01") + bytes(range(60)) + h("FF F0") + READ_ANSWER,
        "rfc2217-sub-never-closed": b"\x41\x00" + h("FF FA 2C 01") + b"\x05" * 1100 + READ_ANSWER,
        "raw-tcp": b"\x06\x0f" + READ_REQUEST + READ_ANSWER + h("FF FF FD 2C"),
    },
    "check_config": {
        "worked-example": b"Host Address = 1\nEXCEPTION = ON\nRADIO = YES, 150, 100, 50\n",
        "second-pass": b"Host Address = 12\nEXCEPTION = OFF\n# radio later\nHost Address = 13\n",
        "no-equals": b"Host Adress 12\nHost Address = 12\n",
        "out-of-range": b"Host Address = 99999\n",
        "short-last-line": b"Host Address = 12\nEXCEPTION=ON\nRADIO=YES,5\nab",
        "crlf": b"Host Address = 3\r\nEXCEPTION = ON\r\nRADIO = YES,1\r\n",
        "too-large": b"Host Address = 1\n" + b"#" * 4100 + b"\n",
    },
}


def main():
    for target, seeds in SEEDS.items():
        folder = os.path.join(HERE, "corpus", target)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as out:
                out.write(data)


if __name__ == "__main__":
    main()
