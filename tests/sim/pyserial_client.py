"""An RFC 2217 client that no one here wrote (pyserial's) against kivsim.

usage: pyserial_client.py URL REQUEST_HEX ANSWER_LENGTH
Opens the line at 19200 baud, 7 data bits, even parity, two stop bits,
reports the modem lines, toggles RTS and waits for CTS to follow, sends the
request and prints the answer's bytes in hex, then purges. One line of
"name value" per finding.
"""
import sys
import time

import serial


def wait_for(read, wanted, seconds=3.0):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if read() == wanted:
            return True
        time.sleep(0.01)
    return False


def main():
    url, request, answer_length = sys.argv[1], bytes.fromhex(sys.argv[2]), int(sys.argv[3])
    line = serial.serial_for_url(url, baudrate=19200, bytesize=serial.SEVENBITS,
                                 parity=serial.PARITY_EVEN, stopbits=serial.STOPBITS_TWO, timeout=3)
    print("dsr", int(wait_for(lambda: line.dsr, True)))
    print("cd", int(wait_for(lambda: line.cd, True)))
    line.rts = False
    print("cts-after-rts-off", int(wait_for(lambda: line.cts, False)))
    line.rts = True
    print("cts-after-rts-on", int(wait_for(lambda: line.cts, True)))
    line.write(request)
    print("answer", line.read(answer_length).hex())
    line.reset_input_buffer()
    time.sleep(0.2)
    line.close()
    sys.stdout.flush()


if __name__ == "__main__":
    main()
