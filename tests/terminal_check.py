#!/usr/bin/env python3
"""Bytes from files and names never act on a terminal, and the progress line
never leaves stale text on it, seen through a pseudo-terminal.

- A tag field, a file name and a message holding ESC, BEL or a C1 byte reach
  the terminal as readable escapes; into a pipe they stay as they are.
- The progress line fits 20 columns, is drawn under --jobs 2, and is rubbed
  out when the window changes size and on Ctrl-C (SIGINT).

usage: terminal_check.py FRAMELINT DATA_DIR
"""
import fcntl
import os
import pty
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

RUB_OUT = b"\r\x1b[K"


def on_terminal(args, columns=80, stdout_tty=True, stderr_tty=True, during=None, cwd=None):
    """Runs framelint; returns (status, stdout if not a tty, stderr if not a tty, terminal bytes).
    during(proc, master, seen) runs on a thread while the program runs; seen[0]
    is what the terminal got so far."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    proc = subprocess.Popen(args, cwd=cwd,
                            stdout=slave if stdout_tty else subprocess.PIPE,
                            stderr=slave if stderr_tty else subprocess.PIPE)
    os.close(slave)  # else the terminal never reports that every writer has gone
    helper = None
    shared = [b""]
    if during:
        helper = threading.Thread(target=during, args=(proc, master, shared))
        helper.start()
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # EIO: every writer of the terminal has gone
            break
        if not chunk:
            break
        shared[0] += chunk
    seen = shared[0]
    out, err = proc.communicate()
    if helper:
        helper.join()
    os.close(master)
    return proc.returncode, out, err, seen


def slow_fifo(path, data, delay):
    """A named pipe whose writer comes after delay seconds."""
    os.mkfifo(path)

    def feed():
        time.sleep(delay)
        with open(path, "wb") as w:
            w.write(data)
    t = threading.Thread(target=feed)
    t.start()
    return t


def main():
    framelint, data_dir = sys.argv[1], sys.argv[2]
    failures = []
    work = tempfile.mkdtemp(prefix="framelint-terminal.")
    try:
        clean = open(os.path.join(data_dir, "lame_cbr128.mp3"), "rb").read()
        if clean[-128:-125] == b"TAG":
            clean = clean[:-128]
        # An ID3v1 title that clears the screen and writes the clipboard (OSC 52).
        title = b"\x1b[2J\x1b]52;c;aGk=\x07"
        tag = (b"TAG" + title.ljust(30, b"\0") + b"artist".ljust(30, b"\0") + b"album".ljust(30, b"\0") +
               b"2020" + b"comment".ljust(30, b"\0") + b"\x00")
        tagged = os.path.join(work, "tagged.mp3")
        open(tagged, "wb").write(clean + tag)

        status, _, _, tty = on_terminal([framelint, "-i", "-a", "-v", tagged])
        if b"\x1b" in tty or b"TITLE               \\e[2J\\e]52;c;aGk=\\a\r\n" not in tty:
            failures.append(f"-i -a -v of a crafted title on a terminal: {tty!r}")
        status, out, _, _ = on_terminal([framelint, "-i", "-a", "-v", tagged], stdout_tty=False)
        if b"TITLE               " + title + b"\n" not in out:
            failures.append(f"-i -a -v into a pipe must give the title's bytes as they are: {out!r}")

        # A name that sets the window title, and a missing one that clears the screen.
        named = os.path.join(work, "x\x1b]0;owned\x07.mp3")
        open(named, "wb").write(clean)
        missing = os.path.join(work, "gone\x1b[2J.mp3")
        status, _, _, tty = on_terminal([framelint, "-p", named, missing])
        if b"\x1b" in tty or b"x\\e]0;owned\\a.mp3\t" not in tty or b"gone\\e[2J.mp3 No such file" not in tty:
            failures.append(f"-p of crafted names on a terminal: {tty!r}")
        if status != 1:
            failures.append(f"-p with a missing file: status {status}")
        status, out, err, _ = on_terminal([framelint, "-p", named, missing], stdout_tty=False, stderr_tty=False)
        if named.encode() + b"\t" not in out or missing.encode() + b" No such file" not in err:
            failures.append(f"-p into pipes must give the names as they are: {out!r} {err!r}")

        # --summary keeps its own escaping, a C1 control included.
        c1 = os.path.join(work, "c1\x9b31m.mp3")
        open(c1, "wb").write(clean[:5000] + b"\0" * 3000 + clean[5000:])
        status, _, _, tty = on_terminal([framelint, "--summary", c1])
        if b"\x9b" in tty or b"c1?31m.mp3: DAMAGED" not in tty:
            failures.append(f"--summary of a name holding a C1 byte: {tty!r}")

        # The progress line at 20 columns, one after another and side by side:
        # the second slow file is named after more than a second, so the line
        # is drawn; nothing drawn may be wider than 19 columns.
        for jobs in ("1", "2"):
            one, two = os.path.join(work, f"slow1-{jobs}.mp3"), os.path.join(work, f"slow2-{jobs}.mp3")
            feeders = [slow_fifo(one, clean, 1.3), slow_fifo(two, clean, 2.6)]
            status, _, _, tty = on_terminal([framelint, "--summary", "--jobs", jobs, one, two, tagged], columns=20)
            for f in feeders:
                f.join()
            # Every piece but the tally ("3 files: ..."); a line drawn late, on
            # a loaded machine, may itself read "3 files".
            drawn = [p for p in tty.split(RUB_OUT)[1:] if p and not p.startswith(b"3 files:")]
            if not drawn:
                failures.append(f"--jobs {jobs}: no progress line drawn at 20 columns: {tty!r}")
            for p in drawn:
                if len(p) > 19 or b"\n" in p:
                    failures.append(f"--jobs {jobs}: wider than 19 columns: {p!r}")
            os.unlink(one)
            os.unlink(two)

        # Resized, and then interrupted, while the line is shown: it is rubbed
        # out each time, and the run ends by the signal as before.
        for label, signals in (("resize", [signal.SIGWINCH, signal.SIGINT]), ("Ctrl-C", [signal.SIGINT])):
            one, two = os.path.join(work, "slow1.mp3"), os.path.join(work, "slow2.mp3")
            feeder = slow_fifo(one, clean, 1.3)
            os.mkfifo(two)  # never written: the run waits on it until interrupted
            after_first = []

            def send(proc, master, seen, signals=signals, after_first=after_first):
                time.sleep(2.0)
                fcntl.ioctl(master, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 20, 0, 0))
                for sig in signals:
                    proc.send_signal(sig)
                    time.sleep(0.5)
                    after_first.append(seen[0])
            status, _, _, tty = on_terminal([framelint, "--summary", one, two], during=send)
            feeder.join()
            os.unlink(one)
            os.unlink(two)
            line = RUB_OUT + b"0 files, 0 bytes done: " + one.encode()
            if status != -signal.SIGINT or tty != line + RUB_OUT or not after_first or after_first[0] != tty:
                failures.append(f"{label}: status {status}, the line must be rubbed out at once: {tty!r} {after_first!r}")
    finally:
        shutil.rmtree(work)
    for f in failures:
        print(f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
