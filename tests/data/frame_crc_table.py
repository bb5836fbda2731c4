#!/usr/bin/env python3
"""Expected MPEG frame CRCs for the table in tests/integrity_test.cpp, worked out
here independently of framelint's C++ code: a bit-by-bit CRC-16 (0x8005, start
0xFFFF, most significant bit first) over header bytes 2-3 and the protected bits
read by the rules of each layer. The rate tables, the bit reader and the Layer II
allocation table come from walk_frames.py, the fixture walker, which is just as
independent of the C++ code.

Each case is a header word and a body of pseudo-random bytes (byte i is
(i * 73 + seed * 29 + 11) mod 256) after the CRC word. Run:
    python3 tests/data/frame_crc_table.py
and paste the printed rows into the table."""

from walk_frames import BITRATES, SAMPLE_RATES, VERSIONS, Bits, layer2_nbal


def body(seed, n=64):
    return bytes((i * 73 + seed * 29 + 11) % 256 for i in range(n))


def crc_bits(crc, value, n):
    for i in reversed(range(n)):
        bit = (value >> i) & 1
        top = (crc >> 15) & 1
        crc = (crc << 1) & 0xFFFF
        if top ^ bit:
            crc ^= 0x8005
    return crc


def expected(word, data):
    version, layer = (word >> 19) & 3, (word >> 17) & 3
    br_index, sr_index = (word >> 12) & 15, (word >> 10) & 3
    mode, ext = (word >> 6) & 3, (word >> 4) & 3
    nch = 1 if mode == 3 else 2
    crc = crc_bits(0xFFFF, word & 0xFFFF, 16)
    bits = Bits(data)
    if layer == 1:  # Layer III: side information
        n = (17 if nch == 1 else 32) if version == 3 else (9 if nch == 1 else 17)
        for b in data[:n]:
            crc = crc_bits(crc, b, 8)
        return crc
    if layer == 3:  # Layer I
        bound = 4 * (ext + 1) if mode == 1 else 32
        for sb in range(32):
            for _ in range(nch if sb < bound else 1):
                crc = crc_bits(crc, bits.read(4), 4)
        return crc
    ver = VERSIONS[version]
    nbal = layer2_nbal({"version": ver, "mode": mode, "sample_rate": SAMPLE_RATES[ver][sr_index],
                        "bitrate": BITRATES[("1" if ver == "1" else "2", 2)][br_index - 1]})
    sblimit = len(nbal)
    bound = min(4 * (ext + 1) if mode == 1 else 32, sblimit)
    alloc = [[0] * sblimit for _ in range(2)]
    for sb in range(sblimit):
        if sb < bound:
            for ch in range(nch):
                alloc[ch][sb] = bits.read(nbal[sb])
                crc = crc_bits(crc, alloc[ch][sb], nbal[sb])
        else:
            v = bits.read(nbal[sb])
            crc = crc_bits(crc, v, nbal[sb])
            alloc[0][sb] = alloc[1][sb] = v
    for sb in range(sblimit):
        for ch in range(nch):
            if alloc[ch][sb]:
                crc = crc_bits(crc, bits.read(2), 2)
    return crc


def header(version, layer, br_index, sr_index, mode, ext=0):
    return (0xFFE00000 | version << 19 | layer << 17 | br_index << 12 | sr_index << 10
            | mode << 6 | ext << 4 | 0x4)  # protection bit 0, original


CASES = [
    # what, version, layer, bit-rate index, sample-rate index, mode, mode extension
    ("MPEG-1 Layer I stereo", 3, 3, 12, 0, 0, 0),
    ("MPEG-1 Layer I joint, bound 4", 3, 3, 8, 1, 1, 0),
    ("MPEG-1 Layer I joint, bound 16", 3, 3, 8, 1, 1, 3),
    ("MPEG-1 Layer I dual", 3, 3, 4, 2, 2, 0),
    ("MPEG-1 Layer I mono", 3, 3, 2, 0, 3, 0),
    ("MPEG-2 Layer I joint, bound 8", 2, 3, 6, 1, 1, 1),
    ("MPEG-2.5 Layer I mono", 0, 3, 3, 2, 3, 0),
    ("MPEG-1 Layer II table A, 48 kHz 128 stereo", 3, 2, 8, 1, 0, 0),
    ("MPEG-1 Layer II table A, 44.1 kHz 56 mono", 3, 2, 3, 0, 3, 0),
    ("MPEG-1 Layer II table A, 32 kHz 160 joint bound 8", 3, 2, 9, 2, 1, 1),
    ("MPEG-1 Layer II table B, 44.1 kHz 192 stereo", 3, 2, 10, 0, 0, 0),
    ("MPEG-1 Layer II table B, 32 kHz 384 joint bound 16", 3, 2, 14, 2, 1, 3),
    ("MPEG-1 Layer II table B, 44.1 kHz 96 mono", 3, 2, 6, 0, 3, 0),
    ("MPEG-1 Layer II table C, 48 kHz 64 stereo", 3, 2, 4, 1, 0, 0),
    ("MPEG-1 Layer II table C, 44.1 kHz 32 mono", 3, 2, 1, 0, 3, 0),
    ("MPEG-1 Layer II table D, 32 kHz 96 dual", 3, 2, 6, 2, 2, 0),
    ("MPEG-1 Layer II table D, 32 kHz 48 mono", 3, 2, 2, 2, 3, 0),
    ("MPEG-2 Layer II stereo", 2, 2, 10, 0, 0, 0),
    ("MPEG-2 Layer II joint, bound 12", 2, 2, 8, 1, 1, 2),
    ("MPEG-2 Layer II mono", 2, 2, 4, 2, 3, 0),
    ("MPEG-2.5 Layer II stereo", 0, 2, 6, 0, 0, 0),
    ("MPEG-1 Layer III stereo", 3, 1, 9, 0, 0, 0),
    ("MPEG-1 Layer III joint", 3, 1, 9, 0, 1, 2),
    ("MPEG-1 Layer III mono", 3, 1, 5, 1, 3, 0),
    ("MPEG-2 Layer III joint", 2, 1, 8, 0, 1, 0),
    ("MPEG-2 Layer III mono", 2, 1, 4, 1, 3, 0),
    ("MPEG-2.5 Layer III dual", 0, 1, 6, 2, 2, 0),
    ("MPEG-2.5 Layer III mono", 0, 1, 2, 2, 3, 0),
]

for seed, (what, version, layer, br, sr, mode, ext) in enumerate(CASES):
    word = header(version, layer, br, sr, mode, ext)
    print('    {"%s", 0x%08Xu, %d, 0x%04X},' % (what, word, seed, expected(word, body(seed))))
