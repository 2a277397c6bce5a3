#!/usr/bin/env python3
"""The built capture program with the built tablet library beside it, driven over TCP as the
service drives it: once with no tablet (it ends at once without listening), once with the
simulated tablet signing and pressing its confirm key.

Usage: program_test.py PROGRAM [RUNNER...]   (RUNNER: for example the Wine wrapper)
"""
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import zlib

PORT = 45654
program = os.path.abspath(sys.argv[1])
runner = sys.argv[2:]
failures = []
passes = 0


def check(name, condition, detail=''):
    global passes
    passes += bool(condition)
    if not condition:
        failures.append(f'{name} {detail}')
        print(f'FAIL {name} {detail}')


def start(work, env):
    # The program and its library run from a folder of their own, which is also its working
    # folder, as the service starts it.
    for name in os.listdir(os.path.dirname(program)):
        if name.startswith(('PemrikProcessor', 'PMTablet', 'libPMTablet')):
            shutil.copy(os.path.join(os.path.dirname(program), name), work)
    exe = os.path.join(work, os.path.basename(program))
    return subprocess.Popen(runner + [exe], cwd=work, env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def connect(deadline):
    while time.time() < deadline:
        try:
            return socket.create_connection(('127.0.0.1', PORT), timeout=2)
        except OSError:
            time.sleep(0.1)
    return None


def log_reads(work, word):
    try:
        text = open(os.path.join(work, 'PemrikProcessor.txt'), 'rb').read()
    except OSError:
        return 0
    return sum(1 for line in text.splitlines() if line.rstrip(b'\r').endswith(b'buffer:' + word))


def command(s, work, word):
    """A word without an answer; returns once the program's log shows it was read."""
    before = log_reads(work, word)
    s.sendall(word + b'\0')
    deadline = time.time() + 20
    while log_reads(work, word) == before and time.time() < deadline:
        time.sleep(0.02)


def ask(s, word, limit=20):
    s.sendall(word + b'\0')
    s.settimeout(limit)
    data = b''
    while True:
        try:
            chunk = s.recv(1 << 20)
        except socket.timeout:
            return data
        if not chunk:
            return data
        data += chunk
        if word == b'Confirm' or png_of(data) is not None:
            return data


def png_of(text):
    import base64
    try:
        png = base64.b64decode(text, validate=True)
    except Exception:
        return None
    return png if png.startswith(b'\x89PNG\r\n\x1a\n') and png.endswith(b'IEND\xaeB`\x82') else None


def pixels(png):
    """(width, height, channels, alpha values) of an 8-bit RGBA PNG."""
    pos, idat, header = 8, b'', None
    while pos < len(png):
        n, kind = struct.unpack('>I4s', png[pos:pos + 8])
        body = png[pos + 8:pos + 8 + n]
        if kind == b'IHDR':
            header = struct.unpack('>IIBB', body[:10])
        if kind == b'IDAT':
            idat += body
        pos += 12 + n
    width, height, depth, colour = header
    if (depth, colour) != (8, 6):
        return width, height, 0, []
    raw, stride, rows, i = zlib.decompress(idat), width * 4, [], 0
    previous = bytearray(stride)
    for _ in range(height):
        kind, line = raw[i], bytearray(raw[i + 1:i + 1 + stride])
        i += 1 + stride
        for x in range(stride):
            a = line[x - 4] if x >= 4 else 0
            b = previous[x]
            c = previous[x - 4] if x >= 4 else 0
            p = a + b - c
            paeth = a if abs(p - a) <= min(abs(p - b), abs(p - c)) else b if abs(p - b) <= abs(p - c) else c
            line[x] = (line[x] + (0, a, b, (a + b) // 2, paeth)[kind]) & 255
        rows.append(line)
        previous = line
    return width, height, 4, [row[x * 4 + 3] for row in rows for x in range(width)]


def ink(text):
    png = png_of(text)
    if png is None:
        return -1
    return sum(1 for a in pixels(png)[3] if a)


env = dict(os.environ, TARNWICK_MESSAGEBOX='stderr')
env.pop('TARNWICK_SIM', None)

with tempfile.TemporaryDirectory(prefix='tw_capture_program_') as work:
    p = start(work, dict(env, TARNWICK_SIM='0'))
    try:
        code = p.wait(60)
    except subprocess.TimeoutExpired:
        p.kill()
        code = 'still running'
    check('without a tablet it ends with 0', code == 0, f'({code})')
    check('without a tablet nothing listens', connect(time.time() + 0.5) is None)

with tempfile.TemporaryDirectory(prefix='tw_capture_program_') as work:
    p = start(work, dict(env, TARNWICK_SIM='1', TARNWICK_SIM_TABLET='sign,confirm'))
    s = connect(time.time() + 60)
    check('it listens with the simulated tablet', s is not None)
    if s is not None:
        empty = ask(s, b'GetSign')
        check('GetSign on the empty canvas', ink(empty) == 0, f'({ink(empty)})')
        png = png_of(empty)
        if png:
            w, h, channels, _ = pixels(png)
            check('a 600 x 300 picture with alpha', (w, h, channels) == (600, 300, 4), f'({w}, {h}, {channels})')
        command(s, work, b'Init')
        check('Confirm before the key', ask(s, b'Confirm') == b'0')
        # The signature takes about two seconds; the confirm key follows it.
        deadline, answer, signed = time.time() + 60, b'0', -1
        while answer == b'0' and time.time() < deadline:
            signed = max(signed, ink(ask(s, b'GetSign')))
            answer = ask(s, b'Confirm')
        check('the signature left ink before the confirm key', signed > 2000, f'({signed} pixels)')
        check('Confirm after the key', answer == b'1', f'({answer!r})')
        check('Confirm once only', ask(s, b'Confirm') == b'0')
        check('the canvas is empty after the confirmation', ink(ask(s, b'GetSign')) == 0)
        command(s, work, b'init')
        check('commands go on after an unknown word', ask(s, b'Confirm') == b'0')
        s.sendall(b'Quit\0')
    try:
        code = p.wait(60)
    except subprocess.TimeoutExpired:
        p.kill()
        code = 'still running'
    shown = p.stderr.read().decode('utf-8', 'replace')
    check('Quit ends the program with 0', code == 0, f'({code})')
    check('the unknown word was shown', 'Info: init' in shown, repr(shown[-300:]))

print(f'program_test: {passes} passed, {len(failures)} failed')
sys.exit(1 if failures else 0)
