"""What the fixture scripts share: reading a committed fixture, writing a derived
one under integrity/, and an ID3v2 synchsafe size."""

import os

OUT = "integrity"


def read(name):
    with open(name, "rb") as f:
        return f.read()


def write(name, data):
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(data)


def synchsafe(n):
    return bytes([(n >> 21) & 127, (n >> 14) & 127, (n >> 7) & 127, n & 127])
