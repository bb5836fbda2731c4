#!/usr/bin/env python3
"""The progress line of --summary, seen through a pseudo-terminal.

The first file is a named pipe whose writer waits longer than a second, so
that the run has lasted more than a second when the next files start. On a
terminal the line must appear, say how much is done and which file is
checked, and be rubbed out before every record and at the end; with standard
error not a terminal it must never appear.

usage: progress_check.py FRAMELINT DATA_DIR
"""
import fcntl
import os
import pty
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

RUB_OUT = b"\r\x1b[K"
PROGRESS = re.compile(rb"\d+ files?, [0-9.]+ (bytes?|kB|MB|GB) done: [^\r\n]*")


def run(framelint, files, fifo, data, stderr_tty, stdout_tty, columns=200):
    """Runs framelint --summary on files; returns (stdout bytes, stderr bytes) as seen."""
    def feed():
        time.sleep(1.3)
        with open(fifo, "wb") as w:
            w.write(data)
    writer = threading.Thread(target=feed)
    writer.start()
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    proc = subprocess.Popen([framelint, "--summary", fifo] + files,
                            stdout=slave if stdout_tty else subprocess.PIPE,
                            stderr=slave if stderr_tty else subprocess.PIPE)
    os.close(slave)
    seen = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # EIO: every writer of the terminal has gone
            break
        if not chunk:
            break
        seen += chunk
    out, err = proc.communicate()
    os.close(master)
    writer.join()
    return proc.returncode, out, err, seen


def main():
    framelint, data_dir = sys.argv[1], sys.argv[2]
    failures = []
    work = tempfile.mkdtemp(prefix="framelint-progress.")
    try:
        fifo = os.path.join(work, "slow.mp3")
        os.mkfifo(fifo)
        clean = open(os.path.join(data_dir, "lame_cbr128.mp3"), "rb").read()
        files = [os.path.join(data_dir, "integrity", n) for n in ("cut_60.mp3", "bitrot.mp3")]
        files += [os.path.join(data_dir, n) for n in ("lame_vbr.mp3", "tag_v23.mp3")]

        # Standard error alone on the terminal.
        status, out, _, tty = run(framelint, files, fifo, clean, True, False)
        if status != 255:
            failures.append(f"status {status}, not 255")
        pieces = tty.split(RUB_OUT)
        drawn = [p for p in pieces[1:] if p]
        if not drawn:
            failures.append(f"no progress line on the terminal: {tty!r}")
        for p in drawn:
            if not PROGRESS.fullmatch(p):
                failures.append(f"not a progress line: {p!r}")
        # The named pipe opens only once its writer comes, after more than a second.
        if drawn and drawn[0] != b"0 files, 0 bytes done: " + fifo.encode():
            failures.append(f"the first line drawn should name the slow file: {drawn[0]!r}")
        if pieces[0] != b"" or not tty.endswith(RUB_OUT):
            failures.append(f"the line must be all there is, and rubbed out at the end: {tty!r}")
        if RUB_OUT in out or b"\n5 files: 3 clean, 2 damaged (1 can be made playable), 0 unreadable (" not in out:
            failures.append(f"standard output: {out!r}")

        # Both on the terminal: every record reaches it whole, after the line is gone.
        status, _, _, tty = run(framelint, files, fifo, clean, True, True)
        records = b""
        for i, p in enumerate(tty.split(RUB_OUT)):
            if i > 0 and PROGRESS.fullmatch(p):
                continue
            if PROGRESS.search(p):
                failures.append(f"a record glued to the progress line: {p!r}")
            records += p
        lines = records.replace(b"\r\n", b"\n").decode().splitlines()
        if len(lines) != 3 or not lines[0].startswith(files[0] + ": DAMAGED: ") or \
                not lines[1].startswith(files[1] + ": DAMAGED: ") or \
                not lines[2].startswith("5 files: 3 clean, 2 damaged (1 can be made playable), 0 unreadable ("):
            failures.append(f"records on the terminal: {lines!r} from {tty!r}")

        # A narrow terminal: the line never wraps, and keeps the end of the name.
        status, _, _, tty = run(framelint, files, fifo, clean, True, False, columns=40)
        drawn = [p for p in tty.split(RUB_OUT)[1:] if p]
        first = drawn[0] if drawn else b""
        if len(first) > 39 or not first.startswith(b"0 files, 0 bytes done: ...") or \
                not first.endswith(b"/slow.mp3"):
            failures.append(f"on 40 columns: {drawn!r}")

        # Standard error not a terminal: never drawn, even on a long run.
        status, out, err, tty = run(framelint, files, fifo, clean, False, True)
        if err != b"" or RUB_OUT in tty:
            failures.append(f"drawn without a terminal: {err!r} {tty!r}")
    finally:
        shutil.rmtree(work)
    for f in failures:
        print(f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
