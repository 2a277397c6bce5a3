"""A COM port for a Windows test program under Wine, played from Linux.

A program inside Wine cannot make a pseudo-terminal, so this holds the master of one and links
COM<n> of the Wine prefix (a dosdevices link) to its slave. The test program runs with
TW_WINE_COM_PORT=<n> and only the gtest cases of the filter; a peer object answers what it
writes. Each port of the list is tried in turn (COM5 is opened as "COM5", COM10 through the
device namespace).
"""
import os
import select
import subprocess
import sys
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
RUNNER = os.path.join(HERE, "wine-run.sh")
TIME_LIMIT = 120


def _prefix():
    prefix = os.environ.setdefault("WINEPREFIX", os.path.expanduser("~/.local/share/tarnwick-wine"))
    dosdevices = os.path.join(prefix, "dosdevices")
    if not os.path.isdir(dosdevices):
        # Wine makes the prefix on first use; the links need its dosdevices folder.
        subprocess.run([RUNNER, "cmd", "/c", "exit"], stdin=subprocess.DEVNULL, check=False)
    if not os.path.isdir(dosdevices):
        sys.exit("no Wine prefix at " + prefix)
    return dosdevices


def _run_port(program, gtest_filter, port, peer):
    """Returns a list of problems; empty when the program passed and the peer is content."""
    master, slave = os.openpty()
    # A real COM port does no line editing; Wine's SetCommState keeps what it finds otherwise.
    tty.setraw(slave)
    link = os.path.join(_prefix(), "com%d" % port)
    previous = os.readlink(link) if os.path.islink(link) else None
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)
    problems = []
    try:
        proc = subprocess.Popen([RUNNER, program, "--gtest_filter=" + gtest_filter],
                                env=dict(os.environ, TW_WINE_COM_PORT=str(port)), stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + TIME_LIMIT
        while True:
            exited = proc.poll() is not None
            ready, _, _ = select.select([master], [], [], 0 if exited else 0.05)
            if ready:
                try:
                    data = os.read(master, 256)
                except OSError:
                    data = b""
                if data:
                    peer.feed(data, lambda answer: os.write(master, answer))
                    continue
            if exited:
                break
            if time.monotonic() > deadline:
                problems.append("timed out after %d s" % TIME_LIMIT)
                proc.kill()
                proc.wait()
                break
        if proc.returncode != 0:
            problems.append("test program exited with %d" % proc.returncode)
        problem = peer.finish()
        if problem:
            problems.append(problem)
    finally:
        os.unlink(link)
        if previous is not None:
            os.symlink(previous, link)
        os.close(master)
        os.close(slave)
    return ["COM%d: %s" % (port, p) for p in problems]


def main(program, gtest_filter, make_peer, ports=(5, 10)):
    """Runs the program once per port with a fresh peer; exits 0 when every run passed."""
    problems = []
    for port in ports:
        problems += _run_port(program, gtest_filter, port, make_peer())
    for p in problems:
        print("FAIL", p, file=sys.stderr)
    failed = len({p.split(":")[0] for p in problems})
    print("%d passed, %d failed" % (len(ports) - failed, failed))
    sys.exit(1 if problems else 0)
