#!/usr/bin/env bash
# Runs SerialPty.RoundTripThroughWine of the Windows test program under Wine, once as COM5 and
# once as \\.\COM10. Each COM port is a dosdevices link to the slave of a pseudo-terminal whose
# master this script holds as the peer: a program inside Wine cannot make one itself.
# Usage: wine_serial_test.sh path/to/platform_tests.exe
set -euo pipefail

if [[ $# -ne 1 ]]; then
  echo "usage: $0 platform_tests.exe" >&2
  exit 2
fi
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
export WINEPREFIX="${WINEPREFIX:-$HOME/.local/share/tarnwick-wine}"

exec python3 - "$here/../../cmake/wine-run.sh" "$1" <<'PY'
import os
import select
import subprocess
import sys
import time
import tty

runner, program = sys.argv[1], sys.argv[2]
dosdevices = os.path.join(os.environ["WINEPREFIX"], "dosdevices")

# Must match kRequest, kAnswer and kShort in serial_test.cpp.
REQUEST = bytes([0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x11, 0xFF, 0xED])
ANSWER = bytes([0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x08, 0x00, 0x00, 0x90, 0x13, 0x11, 0x0D, 0x0A, 0x8C])
SHORT = bytes([0x03, 0x0D, 0x7F])
ASK_SHORT = b"\x01"
DONE = b"\x02"
TIME_LIMIT = 120


def ensure_prefix():
    if os.path.isdir(dosdevices):
        return
    # Wine makes the prefix on first use; the links need its dosdevices folder.
    subprocess.run([runner, "cmd", "/c", "exit"], stdin=subprocess.DEVNULL, check=False)
    if not os.path.isdir(dosdevices):
        sys.exit("no Wine prefix at " + os.environ["WINEPREFIX"])


def run(port):
    master, slave = os.openpty()
    # A real COM port does no line editing; Wine's SetCommState keeps what it finds otherwise.
    tty.setraw(slave)
    link = os.path.join(dosdevices, "com%d" % port)
    previous = os.readlink(link) if os.path.islink(link) else None
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)
    env = dict(os.environ, TW_SERIAL_PTY_PORT=str(port))
    stage = "request"
    received = b""
    problems = []
    try:
        proc = subprocess.Popen([runner, program, "--gtest_filter=SerialPty.RoundTripThroughWine"],
                                env=env, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + TIME_LIMIT
        exited = False
        while True:
            if not exited and proc.poll() is not None:
                exited = True
            ready, _, _ = select.select([master], [], [], 0 if exited else 0.05)
            if not ready:
                if exited:
                    break
                if time.monotonic() > deadline:
                    problems.append("timed out after %d s" % TIME_LIMIT)
                    proc.kill()
                    proc.wait()
                    break
                continue
            received += os.read(master, 256)
            # The peer's side of the exchange, one stage at a time.
            if stage == "request" and len(received) >= len(REQUEST):
                if received[:len(REQUEST)] != REQUEST:
                    problems.append("request was " + received.hex())
                    stage = "failed"
                else:
                    received = received[len(REQUEST):]
                    os.write(master, ANSWER)
                    stage = "ask short"
            if stage == "ask short" and received:
                if received[:1] != ASK_SHORT:
                    problems.append("expected 01, got " + received.hex())
                    stage = "failed"
                else:
                    received = received[1:]
                    os.write(master, SHORT)
                    stage = "done"
            if stage == "done" and received:
                if received[:1] != DONE:
                    problems.append("expected 02, got " + received.hex())
                    stage = "failed"
                else:
                    received = received[1:]
                    stage = "finished"
        code = proc.returncode
    finally:
        os.unlink(link)
        if previous is not None:
            os.symlink(previous, link)
        os.close(master)
        os.close(slave)
    if code != 0:
        problems.append("test program exited with %d" % code)
    if stage != "finished" and not problems:
        problems.append("the exchange stopped at stage '%s'" % stage)
    for problem in problems:
        print("COM%d: %s" % (port, problem), file=sys.stderr)
    return not problems


ensure_prefix()
results = [run(port) for port in (5, 10)]
sys.exit(0 if all(results) else 1)
PY
