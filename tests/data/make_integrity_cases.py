#!/usr/bin/env python3
"""Writes tests/data/integrity/: copies of the real-encoder fixtures with tags
stacked at their ends (which framelint -c must accept) and with one kind of
damage each (which it must report). Everything is derived byte by byte from
committed fixtures, so the result is the same on every machine.

Run from tests/data (make_fixtures.sh does):  python3 make_integrity_cases.py"""
import os
import struct

from fixture_io import OUT, read, write, synchsafe


def id3v2_appended(footer):
    frame = b"TIT2" + struct.pack(">I", 6) + b"\0\0" + b"\0Tone!"
    head = b"ID3\x04\x00" + (b"\x10" if footer else b"\x00") + synchsafe(len(frame))
    return head + frame + (b"3DI\x04\x00\x10" + synchsafe(len(frame)) if footer else b"")


def apev2(with_header, item_bytes=40):
    item = struct.pack("<II", item_bytes, 0) + b"Title\0" + b"t" * item_bytes
    size = len(item) + 32  # items and footer
    flags = 0x80000000 if with_header else 0
    footer = b"APETAGEX" + struct.pack("<IIII", 2000, size, 1, flags) + bytes(8)
    header = b"APETAGEX" + struct.pack("<IIII", 2000, size, 1, flags | 0x20000000) + bytes(8)
    return (header if with_header else b"") + item + footer


def lyrics3v2():
    body = b"LYRICSBEGIN" + b"IND00002" + b"10" + b"LYR00011" + b"la la la la"
    return body + b"%06d" % len(body) + b"LYRICS200"


def id3v1():
    return (b"TAG" + b"Fixture Tone".ljust(30, b"\0") + b"framelint fixtures".ljust(30, b"\0")
            + bytes(30) + b"2026" + bytes(28) + b"\0\x03" + b"\xff")


def id3v2_size(data):
    if data[:3] != b"ID3":
        return 0
    return 10 + (data[6] << 21 | data[7] << 14 | data[8] << 7 | data[9])


def flip(data, offset, mask=0xFF):
    b = bytearray(data)
    b[offset] ^= mask
    return bytes(b)


def frame_starts(data):
    """Offsets of the frames of a clean stream, by walking their lengths."""
    starts, at = [], id3v2_size(data)
    rates = {3: [44100, 48000, 32000], 2: [22050, 24000, 16000], 0: [11025, 12000, 8000]}
    kbps = {(3, 1): [0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320],
            (3, 2): [0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384]}
    lsf = [0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160]
    while at + 4 <= len(data) and data[at] == 0xFF:
        h = struct.unpack(">I", data[at:at + 4])[0]
        version, layer = (h >> 19) & 3, (h >> 17) & 3
        rate = rates[version][(h >> 10) & 3]
        br = (kbps[(3, layer)] if version == 3 else lsf)[(h >> 12) & 15]
        pad = (h >> 9) & 1
        if layer == 1:
            length = (144000 if version == 3 else 72000) * br // rate + pad
        else:
            length = 144000 * br // rate + pad
        starts.append(at)
        at += length
    return starts


os.makedirs(OUT, exist_ok=True)
cbr, vbr = read("lame_cbr128.mp3"), read("lame_vbr.mp3")
tagged = read("tag_v23.mp3")

# Tags stacked at the end, as taggers leave them: all clean under -c.
write("tags_ape_v1.mp3", cbr + apev2(True) + id3v1())
write("tags_ape_footer_only_v1.mp3", cbr + apev2(False, 3000) + id3v1())
write("tags_lyrics_v1.mp3", cbr + lyrics3v2() + id3v1())
write("tags_v1_appended_id3v2.mp3", cbr + id3v1() + id3v2_appended(True))
write("tags_v1_appended_id3v2_no_footer.mp3", cbr + id3v1() + id3v2_appended(False))

# Damage, one kind per file.
starts = frame_starts(vbr)
write("bitrot.mp3", flip(vbr, starts[20] + 200))                    # one audio byte
write("lame_tag_version.mp3", flip(vbr, 156 + 8, 0x01))             # "LAME3.100" -> "LAME3.101"
write("cut_60.mp3", vbr[:len(vbr) * 6 // 10])
write("joined.mp3", vbr + cbr)
write("junk_after_end.mp3", vbr + b"This is not a tag, nor a frame. " * 2)
write("zeros_after_id3v2.mp3", tagged[:id3v2_size(tagged)] + bytes(64) + tagged[id3v2_size(tagged):])
write("empty.mp3", b"")
write("tag_only.mp3", tagged[:id3v2_size(tagged)])
write("cut_inside_id3v2.mp3", tagged[:600])
# A download cut 50 bytes short of its end, inside the last frame, then tagged:
# the tag runs on past where the frame should end, so the frame walk reads it
# as the rest of the body.
write("last_frame_cut_by_v1.mp3", cbr[:len(cbr) - 50] + id3v1())

protected_l3 = read("lame_crc.mp3")
s = frame_starts(protected_l3)
write("l3_side_info_flipped.mp3", flip(protected_l3, s[5] + 6 + 3))
protected_l2 = read("twolame_l2_crc.mp2")
s = frame_starts(protected_l2)
write("l2_allocation_flipped.mp2", flip(protected_l2, s[5] + 6 + 1))
