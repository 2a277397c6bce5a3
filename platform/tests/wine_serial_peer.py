#!/usr/bin/env python3
"""The peer of SerialPty.RoundTripThroughWine (serial_test.cpp) on a Wine COM port: answers its
request, sends a short answer when asked, and waits for the end mark.
Usage: wine_serial_peer.py path/to/platform_tests.exe"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "cmake"))
import wine_com_pty  # noqa: E402

# Must match kRequest, kAnswer and kShort in serial_test.cpp.
REQUEST = bytes([0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x11, 0xFF, 0xED])
ANSWER = bytes([0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x08, 0x00, 0x00, 0x90, 0x13, 0x11, 0x0D, 0x0A, 0x8C])
SHORT = bytes([0x03, 0x0D, 0x7F])
# What the test sends next, and what the peer answers: the request, "send the short one", done.
STAGES = [(REQUEST, ANSWER), (b"\x01", SHORT), (b"\x02", b"")]


class Peer:
    def __init__(self):
        self.stage = 0
        self.received = b""
        self.problem = None

    def feed(self, data, write):
        self.received += data
        while self.problem is None and self.stage < len(STAGES):
            expected, answer = STAGES[self.stage]
            if len(self.received) < len(expected):
                return
            if self.received[:len(expected)] != expected:
                self.problem = "stage %d: got %s" % (self.stage, self.received.hex())
                return
            self.received = self.received[len(expected):]
            if answer:
                write(answer)
            self.stage += 1

    def finish(self):
        if self.problem is None and self.stage < len(STAGES):
            return "the exchange stopped at stage %d" % self.stage
        return self.problem


wine_com_pty.main(sys.argv[1], "SerialPty.RoundTripThroughWine", Peer)
