#!/usr/bin/env python3
"""Differential run: two framelint binaries on the same mutated inputs.

    python3 fuzz/diff_outputs.py NEW REFERENCE [COUNT] [SEED]

Each input is a fixture (tests/data) or seed (fuzz/corpus) changed a few times
at random: a bit flipped, bytes cut out or put in, the end cut off, another
input appended or spliced in. Both binaries check it with the default
switches, -c, --json, -c --json and --summary; the outputs (status, standard
output, standard error, less the timings) must agree. The default switches
and --json must agree byte for byte (exit status 1 on any difference there);
differences under -c and --summary are counted, and the first few inputs of
each are kept in ./diff_cases/ for a look, since a change to the check may
mean them.
"""
import glob
import os
import random
import subprocess
import sys

here = os.path.dirname(os.path.abspath(__file__))
new, ref = sys.argv[1], sys.argv[2]
count = int(sys.argv[3]) if len(sys.argv) > 3 else 400
rng = random.Random(int(sys.argv[4]) if len(sys.argv) > 4 else 26)
names = sorted(glob.glob(os.path.join(here, "..", "tests", "data", "**", "*.mp*"), recursive=True))
names += sorted(glob.glob(os.path.join(here, "corpus", "**", "*"), recursive=True))
sources = [open(n, "rb").read() for n in names if os.path.isfile(n)]


def mutate(data):
    b = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        if not b:
            break
        i = rng.randrange(len(b))
        k = rng.randint(0, 5)
        if k == 0:
            b[i] ^= 1 << rng.randrange(8)
        elif k == 1:
            del b[i:i + rng.randint(1, 2000)]
        elif k == 2:
            b[i:i] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 300)))
        elif k == 3:
            b = b[:i]
        elif k == 4:
            b += rng.choice(sources)
        else:
            b[i:i] = rng.choice(sources)[:rng.randint(10, 3000)]
    return bytes(b)


def strip(text):
    return b"\n".join(l for l in text.splitlines() if b"_TIME" not in l and b" s)" not in l)


os.makedirs("diff_cases", exist_ok=True)
path = os.path.join("diff_cases", "input.mp3")
differences = {}
must_agree = {"default", "--json"}
for n in range(count):
    data = mutate(rng.choice(sources))
    with open(path, "wb") as f:
        f.write(data)
    for mode in ([], ["-c"], ["--json"], ["-c", "--json"], ["--summary"]):
        a = subprocess.run([new] + mode + [path], capture_output=True)
        b = subprocess.run([ref] + mode + [path], capture_output=True)
        if (a.returncode, strip(a.stdout), strip(a.stderr)) != (b.returncode, strip(b.stdout), strip(b.stderr)):
            key = " ".join(mode) or "default"
            differences[key] = differences.get(key, 0) + 1
            if differences[key] <= 3:
                with open(os.path.join("diff_cases", "%s_%d.mp3" % (key.replace(" ", "").strip("-"), n)), "wb") as f:
                    f.write(data)
print("%d inputs; differences: %s" % (count, differences or "none"))
sys.exit(1 if must_agree & differences.keys() else 0)
