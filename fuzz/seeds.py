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
