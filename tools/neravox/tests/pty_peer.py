#!/usr/bin/env python3
"""A Linux program at the far end of a port whose line is a pseudo-terminal.

Runs `neravox` with --pty, finds the announced slave path on its stderr,
opens it as a serial program would (raw) and checks what crosses the line
in both directions. Every wait is on I/O with a limit that only a broken
run reaches.

    pty_peer.py NERAVOX term COM5
    pty_peer.py NERAVOX send COM5 WORKDIR
    pty_peer.py NERAVOX recv COM5 WORKDIR
"""
import os
import re
import select
import subprocess
import sys
import termios
import time
import tty
import zlib

LIMIT = 10.0


class Child:
    """neravox with its stdin, stdout and stderr on pipes."""

    def __init__(self, argv):
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.out = b""
        self.err = b""
        for f in (self.proc.stdout, self.proc.stderr):
            os.set_blocking(f.fileno(), False)

    def _pump(self, timeout):
        fds = [f for f in (self.proc.stdout, self.proc.stderr) if not f.closed]
        if not fds:
            return False
        ready, _, _ = select.select(fds, [], [], timeout)
        for f in ready:
            data = os.read(f.fileno(), 65536)
            if not data:
                f.close()
            elif f is self.proc.stdout:
                self.out += data
            else:
                self.err += data
        return True

    def wait_for(self, stream, pattern):
        """The first match of pattern in stdout or stderr; fails after LIMIT."""
        end = time.monotonic() + LIMIT
        while True:
            text = self.out if stream == "out" else self.err
            m = re.search(pattern, text)
            if m:
                return m
            left = end - time.monotonic()
            if left <= 0 or not self._pump(left):
                fail("no %r on %s; stdout %r; stderr %r" % (pattern, stream, self.out, self.err))

    def finish(self):
        """Reads to the end of both streams and returns the exit code."""
        end = time.monotonic() + LIMIT
        while self._pump(max(end - time.monotonic(), 0)):
            if time.monotonic() >= end:
                self.proc.kill()
                fail("neravox did not end; stdout %r; stderr %r" % (self.out, self.err))
        try:
            return self.proc.wait(timeout=LIMIT)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            fail("neravox did not exit")


def fail(message):
    print("pty peer: FAIL: " + message)
    sys.exit(1)


def open_slave(child, port):
    m = child.wait_for("err", (r"%s: pseudo-terminal (\S+)" % port).encode())
    path = m.group(1).decode()
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd, termios.TCSANOW)
    return fd


def read_exactly(fd, count):
    got = b""
    end = time.monotonic() + LIMIT
    while len(got) < count:
        left = end - time.monotonic()
        ready, _, _ = select.select([fd], [], [], max(left, 0))
        if not ready:
            fail("%d of %d bytes came over the pseudo-terminal: %r" % (len(got), count, got[:80]))
        got += os.read(fd, count - len(got))
    return got


def term(neravox, port):
    child = Child([neravox, "term", port, "--pty"])
    fd = open_slave(child, port)
    child.wait_for("err", (r"%s at 115200 baud 8N1" % port).encode())

    line = b"hello from the terminal\n"
    child.proc.stdin.write(line)
    child.proc.stdin.flush()
    got = read_exactly(fd, len(line))
    if got != line:
        fail("the peer got %r for %r" % (got, line))

    reply = b"echo: " + got
    os.write(fd, reply)
    child.wait_for("out", re.escape(reply))

    child.proc.stdin.close()  # end of input ends the session
    rc = child.finish()
    os.close(fd)
    check_sanitizers(child)
    if rc != 0:
        fail("term exited %d; stderr %r" % (rc, child.err))
    if child.out != reply:
        fail("the terminal printed %r, expected %r" % (child.out, reply))


def pattern(count):
    return bytes((i * 7 + (i >> 8)) & 0xFF for i in range(count))


def crc_line(child, port, verb, count):
    m = child.wait_for("out", (r"%s: %s (\d+) bytes, CRC-32 0x([0-9A-F]{8})" % (port, verb)).encode())
    if int(m.group(1)) != count:
        fail("neravox reported %s bytes, expected %d" % (m.group(1).decode(), count))
    return int(m.group(2), 16)


def send(neravox, port, workdir):
    data = pattern(3000)  # fits what the pseudo-terminal holds while the peer is not yet reading
    path = os.path.join(workdir, "send.bin")
    with open(path, "wb") as f:
        f.write(data)
    child = Child([neravox, "send", port, path, "--pty"])
    fd = open_slave(child, port)
    got = read_exactly(fd, len(data))
    crc = crc_line(child, port, "sent", len(data))
    rc = child.finish()
    os.close(fd)
    check_sanitizers(child)
    if rc != 0:
        fail("send exited %d; stderr %r" % (rc, child.err))
    if got != data:
        fail("the peer got other bytes than the file holds")
    if crc != zlib.crc32(data):
        fail("neravox printed CRC-32 %08X, the data has %08X" % (crc, zlib.crc32(data)))


def recv(neravox, port, workdir):
    data = b"0123456789abcdefghijklmnopqrstuvwxyz!?"  # within one receive FIFO
    path = os.path.join(workdir, "recv.bin")
    child = Child([neravox, "recv", port, path, "--pty", "--bytes", str(len(data)), "--idle-ms", "10000"])
    fd = open_slave(child, port)
    child.wait_for("err", (r"%s: receiving at" % port).encode())
    os.write(fd, data)
    crc = crc_line(child, port, "received", len(data))
    rc = child.finish()
    os.close(fd)
    check_sanitizers(child)
    if rc != 0:
        fail("recv exited %d; stderr %r" % (rc, child.err))
    with open(path, "rb") as f:
        stored = f.read()
    if stored != data:
        fail("the file holds %r, the peer sent %r" % (stored, data))
    if crc != zlib.crc32(data):
        fail("neravox printed CRC-32 %08X, the data has %08X" % (crc, zlib.crc32(data)))


def main():
    neravox, mode, port = sys.argv[1], sys.argv[2], sys.argv[3]
    if mode == "term":
        term(neravox, port)
    elif mode == "send":
        send(neravox, port, sys.argv[4])
    elif mode == "recv":
        recv(neravox, port, sys.argv[4])
    else:
        fail("unknown mode " + mode)
    print("pty peer: %s over %s: PASS" % (mode, port))


def check_sanitizers(child):
    # UndefinedBehaviorSanitizer reports without changing the exit code.
    for marker in (b"runtime error:", b"Sanitizer"):
        if marker in child.err:
            fail("a sanitizer reported: %r" % child.err[-2000:])


if __name__ == "__main__":
    main()
