#!/usr/bin/env python3
"""The reader on a Wine COM port for WinePty.* (wine_pty_test.cpp): the first request gets a
proper find-card reply, the second one that starts wrongly, the third none.
Usage: wine_reader_serial_peer.py path/to/reader_tests.exe"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "cmake"))
import wine_com_pty  # noqa: E402

REQUEST = bytes([0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x11, 0xFF, 0xED])
GOOD = bytes([0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x08, 0x00, 0x00, 0x9F, 1, 2, 3, 4, 0x93])
BAD = bytes([0x55]) + GOOD[1:]
ANSWERS = [GOOD, BAD, None]


class Peer:
    def __init__(self):
        self.requests = 0
        self.pending = b""

    def feed(self, data, write):
        self.pending += data
        while REQUEST in self.pending:
            self.pending = self.pending[self.pending.index(REQUEST) + len(REQUEST):]
            answer = ANSWERS[self.requests] if self.requests < len(ANSWERS) else None
            self.requests += 1
            if answer:
                write(answer)

    def finish(self):
        return None if self.requests == 3 else "%d requests reached the peer, expected 3" % self.requests


wine_com_pty.main(sys.argv[1], "WinePty.*", Peer)
