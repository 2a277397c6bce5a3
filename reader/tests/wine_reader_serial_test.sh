#!/usr/bin/env bash
# Plays the reader on a pseudo-terminal that Wine sees as a COM port (a dosdevices link), and
# runs WinePty.* of the Windows reader tests against it, as COM5 and as \\.\COM10.
# Usage: wine_reader_serial_test.sh path/to/reader_tests.exe
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
export WINEPREFIX="${WINEPREFIX:-$HOME/.local/share/tarnwick-wine}"

exec python3 - "$here/../../cmake/wine-run.sh" "$1" <<'PY'
import os, select, subprocess, sys, time, tty

runner, program = sys.argv[1], sys.argv[2]
dosdevices = os.path.join(os.environ["WINEPREFIX"], "dosdevices")
REQUEST = bytes([0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x11, 0xFF, 0xED])
GOOD = bytes([0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x08, 0x00, 0x00, 0x9F, 1, 2, 3, 4, 0x93])
BAD = bytes([0x55]) + GOOD[1:]


def run(port):
    master, slave = os.openpty()
    tty.setraw(slave)
    link = os.path.join(dosdevices, "com%d" % port)
    previous = os.readlink(link) if os.path.islink(link) else None
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)
    answers = [GOOD, BAD, None]
    requests = 0
    pending = b""
    try:
        proc = subprocess.Popen([runner, program, "--gtest_filter=WinePty.*"],
                                env=dict(os.environ, TW_READER_PTY_PORT=str(port)), stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 120
        while proc.poll() is None and time.monotonic() < deadline:
            ready, _, _ = select.select([master], [], [], 0.1)
            if not ready:
                continue
            try:
                pending += os.read(master, 256)
            except OSError:
                continue
            while REQUEST in pending:
                pending = pending[pending.index(REQUEST) + len(REQUEST):]
                answer = answers[requests] if requests < len(answers) else None
                requests += 1
                if answer:
                    os.write(master, answer)
        if proc.poll() is None:
            proc.kill()
            return "COM%d: timed out" % port
        if proc.returncode != 0:
            return "COM%d: test program failed (%d)" % (port, proc.returncode)
        if requests != 3:
            return "COM%d: %d requests reached the peer, expected 3" % (port, requests)
        return None
    finally:
        os.unlink(link)
        if previous:
            os.symlink(previous, link)
        os.close(master)
        os.close(slave)


failures = [f for f in (run(5), run(10)) if f]
for f in failures:
    print("FAIL", f)
print("wine_reader_serial: %d passed, %d failed" % (2 - len(failures), len(failures)))
sys.exit(1 if failures else 0)
PY
