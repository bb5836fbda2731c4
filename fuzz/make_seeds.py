#!/usr/bin/env python3
"""Rebuilds the seed corpora under fuzz/corpus/ from the real fixtures in
tests/data and a few hand-made streams.

    python3 fuzz/make_seeds.py

Every scan seed is four option bytes (see the head of scan_fuzz.cpp) followed by
a small stream: the start of a fixture, its end (where the ID3v1 tag sits), or a
synthetic stream. Seeds stay under 8 KiB so that a fuzz run keeps many of them
in play. The output is the same each time.
"""

import pathlib
import shutil
import struct

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT / "tests" / "data"
SCAN = ROOT / "fuzz" / "corpus" / "scan"
HEADER = ROOT / "fuzz" / "corpus" / "decode_header"

LIMIT = 8 * 1024 - 4

# Option bytes: byte 0 copy mode (bits 0-2), -i, -a, -e, -p, stdin;
# byte 1 verbosity (bits 0-1), budget (bits 2-4), -q (bits 5-7); byte 2 the budget number;
# byte 3 the source (bits 0-1: memory, file, pipe, pieces) and the seed of the piece lengths;
# for a file, bit 2 maps it and bits 3-4 cut it to that many 4096-byte pages once mapped.
COPY_NONE, COPY_S, COPY_SS, COPY_SF, COPY_SS_SF = 0, 1, 2, 3, 4
I, A, E, P, STDIN = 0x08, 0x10, 0x20, 0x40, 0x80
V, VV = 1, 2
B_BARE, B_ZERO, B_NEG, B_SMALL, B_LARGE = 2 << 2, 3 << 2, 4 << 2, 5 << 2, 6 << 2
Q3, Q4 = 5 << 5, 6 << 5
MEMORY, FILE, PIPE, PIECES = 0, 1, 2, 3
MAPPED, CUT_4K = 1 << 2, 1 << 3

MODES = {
    "plain": (COPY_NONE, 0, 0, MEMORY),
    "plain_file": (COPY_NONE, 0, 0, FILE),
    "copy": (COPY_S | A, 0, 0, MEMORY),
    "copy_pieces": (COPY_S, 0, 0, PIECES | 7 << 2),
    "repair_tag": (COPY_SF | I, 0, 0, MEMORY),
    "repair_tag_pieces": (COPY_SF | I, 0, 0, PIECES | 2 << 2),
    "silent": (COPY_SS, 0, 0, FILE),
    "silent_repair_tag": (COPY_SS_SF | I | A, 0, 0, PIPE),
    "verbose_tag": (I | A, V, 0, MEMORY),
    "verbose_tag_stdin_pieces": (STDIN | I | A, V, 0, PIECES | 13 << 2),
    "frames_dump_pieces": (A | P, VV, 0, PIECES | 5 << 2),
    "budget": (COPY_NONE, B_SMALL, 200, MEMORY),
    "budget_large_stdin": (STDIN | E, B_LARGE | Q3, 5, PIPE),
    "first_frame": (COPY_SF, B_ZERO, 0, MEMORY),
    "min_run_stdin": (STDIN | I | P, Q4, 0, MEMORY),
}


def frame(header, body_len, fill):
    return bytes.fromhex(header) + bytes([fill & 0xFF]) * body_len


def crc16_arc(data):
    crc = 0
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def protected_frame(fill, right):
    """A protected 417-byte frame: header, CRC word, 411 body bytes. The scanner
    checks CRC-16/ARC over the body; right=False stores a word that does not match."""
    body = bytes((fill + k) & 0xFF for k in range(411))
    word = crc16_arc(body) ^ (0 if right else 0x5A5A)
    return bytes.fromhex("fffa9064") + struct.pack(">H", word) + body


def synthetic():
    mp3 = b"".join(frame("fffb9064", 413, i) for i in range(6))  # 128 kbit/s, 44.1 kHz, 417 bytes
    crc = b"".join(protected_frame(0x30 + i, right=i % 2 == 0) for i in range(4))
    id3v2 = b"ID3\x04\x00\x00\x00\x00\x00\x0a" + bytes(range(10))
    tag = b"TAG" + b"Title".ljust(30, b" ") + b"Artist".ljust(30, b"\0") + b"Album".ljust(30, b"\0")
    tag += b"2024" + b"Comment".ljust(28, b"\0") + b"\0\x07" + b"\x11"
    assert len(tag) == 128
    junk = b"\x00\xff\xfe\x12" * 8
    damaged = bytearray(mp3)
    damaged[417 * 2 + 2] = 0xF0  # bit-rate index 15 in the third header
    return {
        "synthetic_frames": mp3,
        "synthetic_crc": crc,
        "synthetic_id3v2": id3v2 + mp3[: 417 * 3],
        "synthetic_id3v1": mp3[: 417 * 3] + tag,
        "synthetic_junk": junk + mp3[: 417 * 3],
        "synthetic_damaged": bytes(damaged),
        "synthetic_cut": mp3[: 417 * 2 + 100],
        "synthetic_short": mp3[:3],
    }


def pieces():
    out = dict(synthetic())
    for path in sorted(DATA.glob("*.mp[23]")):
        data = path.read_bytes()
        stem = path.stem
        out[stem + "_head"] = data[:6000]
        if stem.startswith("tag_"):
            out[stem + "_tail"] = data[-1500:]
        if stem.startswith("tag_v2") or stem == "tag_both":
            out[stem + "_head"] = data[:6000]
    return out


def main():
    for d in (SCAN, HEADER):
        if d.exists():
            shutil.rmtree(d)
        d.mkdir(parents=True)

    # Seeds that need one particular option set: a tag that declares 256 MiB in a
    # small regular file (the body skip seeks, and must stop at the file's end),
    # the same through a pipe, an empty stream, and protected frames whose
    # CRC-16 is checked.
    huge_tag = b"ID3\x04\x00\x00\x7f\x7f\x7f\x7f" + synthetic()["synthetic_frames"][: 417 * 2]
    targeted = {
        "huge_id3v2.plain_file": (MODES["plain_file"], huge_tag),
        "huge_id3v2.budget_large_stdin": (MODES["budget_large_stdin"], huge_tag),
        "empty.verbose_tag": (MODES["verbose_tag"], b""),
        # Bodies read in one block, where the CRC-16 is checked and noted.
        "synthetic_crc.plain_file": (MODES["plain_file"], synthetic()["synthetic_crc"]),
        "synthetic_crc.silent": (MODES["silent"], synthetic()["synthetic_crc"]),
        # Mapped files, cut to one page once mapped: the scan runs into lost pages
        # in a CRC-checked body, a plain copy, a repair and the frame dump.
        "lame_crc_head.mapped_cut": ((COPY_NONE, 0, 0, FILE | MAPPED | CUT_4K), (DATA / "lame_crc.mp3").read_bytes()[:LIMIT]),
        "lame_cbr128_head.mapped_cut_copy": ((COPY_S, 0, 0, FILE | MAPPED | CUT_4K),
                                             (DATA / "lame_cbr128.mp3").read_bytes()[:LIMIT]),
        "twolame_l2_crc_head.mapped_cut_repair": ((COPY_SF | I, 0, 0, FILE | MAPPED | CUT_4K),
                                                  (DATA / "twolame_l2_crc.mp2").read_bytes()[:LIMIT]),
        "lame_crc_head.mapped_cut_dump": ((A | P, VV, 0, FILE | MAPPED | CUT_4K),
                                          (DATA / "lame_crc.mp3").read_bytes()[:LIMIT]),
        "lame_vbr_head.mapped": ((I | A, 0, 0, FILE | MAPPED), (DATA / "lame_vbr.mp3").read_bytes()[:LIMIT]),
        # Read files, cut to one page before the first read: the reads end early,
        # which is a read error, in the check and in a plain copy.
        "lame_crc_head.read_cut": ((COPY_NONE, 0, 0, FILE | CUT_4K), (DATA / "lame_crc.mp3").read_bytes()[:LIMIT]),
        "lame_cbr128_head.read_cut_copy": ((COPY_S, 0, 0, FILE | CUT_4K),
                                           (DATA / "lame_cbr128.mp3").read_bytes()[:LIMIT]),
    }
    for name, (mode, stream) in targeted.items():
        (SCAN / name).write_bytes(bytes(mode) + stream)

    mode_names = sorted(MODES)
    for i, (name, stream) in enumerate(sorted(pieces().items())):
        # Two option sets per piece, spread so that every set meets several pieces.
        for mode in (mode_names[i % len(mode_names)], mode_names[(i * 5 + 3) % len(mode_names)]):
            seed = bytes(MODES[mode]) + stream[:LIMIT]
            (SCAN / f"{name}.{mode}").write_bytes(seed)

    words = [0xFFFB9064, 0xFFFA9064, 0xFFFB9264, 0xFFE328C4, 0xFFF38064, 0xFFFDA404, 0xFFFCA404,
             0xFFF56404, 0xFFF59404, 0xFFFB7864, 0xFFFF1000, 0xFFE00000, 0xFFFFFFFF, 0x49443303, 0x00000000]
    for w in words:
        (HEADER / f"{w:08x}").write_bytes(struct.pack(">I", w))


if __name__ == "__main__":
    main()
