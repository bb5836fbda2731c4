#!/usr/bin/env python3
"""Makes a lame clip's Info/Xing frame and LAME tag describe a longer file.

    fix_info_frame.py FILE...

make_corpus.sh builds long files as [ID3v2] + a lame clip (Info/Xing frame
first) + copies of the same clip without that frame + [ID3v1].  The first
frame still describes the one clip.  This rewrites, in place, in that frame:

  * the Xing/Info frame count and byte count, so that they count the whole
    file (the frame count in the clip's own convention: with or without the
    tag frame);
  * the LAME tag's music length (bytes from the tag frame's first byte to the
    end of the last frame), its music CRC (CRC-16/ARC of the bytes after the
    tag frame up to the tag frame's start + music length) and its tag CRC
    (CRC-16/ARC of the frame's bytes before that field, as LAME computes it),

as if the file had been encoded in one go.  The file's size does not change.
Before writing, the clip's own tag CRC and music CRC are checked with the same
code, so a CRC or offset mistake here stops the corpus instead of making it.

A Layer III file whose first frame holds no Info/Xing header (lame leaves it
out when the frame is too small for it) is left as it is, with a note on
standard error.  Anything else unexpected (not Layer III, no LAME tag, a walk
that does not end at the end of the file or at an ID3v1 tag) is an error:
exit status 1, the file untouched.

Python 3 standard library only.
"""
import array
import sys

# kbit/s for bit-rate index 1..14, Layer III
BITRATES_V1 = [32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320]
BITRATES_V2 = [8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160]
SAMPLE_RATES = {3: [44100, 48000, 32000], 2: [22050, 24000, 16000], 0: [11025, 12000, 8000]}

LAME_TAG_BYTES = 36
LAME_MUSIC_LENGTH_AT = 28   # in the LAME tag: music length (4), music CRC (2), tag CRC (2)
LAME_MUSIC_CRC_AT = 32
LAME_TAG_CRC_AT = 34


class Unexpected(Exception):
    pass


def crc_tables():
    """CRC-16/ARC (poly 0x8005 reflected = 0xA001, init 0, no final XOR):
    the byte table, and a table that takes 16 bits at a time."""
    byte_table = []
    for n in range(256):
        c = n
        for _ in range(8):
            c = (c >> 1) ^ 0xA001 if c & 1 else c >> 1
        byte_table.append(c)
    # The register is 16 bits wide, so XORing a little-endian 16-bit word into
    # it and shifting 16 times depends on nothing else: one lookup per word.
    word_table = []
    for v in range(65536):
        c = (v >> 8) ^ byte_table[v & 0xFF]
        word_table.append((c >> 8) ^ byte_table[c & 0xFF])
    return byte_table, word_table


BYTE_TABLE, WORD_TABLE = crc_tables()


def crc16_arc(data, crc=0):
    data = memoryview(data)
    whole = len(data) & ~1
    words = array.array("H")
    words.frombytes(data[:whole])
    if sys.byteorder == "big":
        words.byteswap()
    table = WORD_TABLE
    for w in words:
        crc = table[crc ^ w]
    if whole < len(data):
        crc = (crc >> 8) ^ BYTE_TABLE[(crc ^ data[whole]) & 0xFF]
    return crc


def zeros_operator(n):
    """The register after n zero bytes, as a linear map: the image of each of its
    16 bits.  With init 0 and no final XOR, CRC(A + B) = Z_len(B)(CRC(A)) ^ CRC(B)."""
    def apply(op, x):
        y, i = 0, 0
        while x:
            if x & 1:
                y ^= op[i]
            x >>= 1
            i += 1
        return y
    result = [1 << i for i in range(16)]
    step = [(1 << i >> 8) ^ BYTE_TABLE[(1 << i) & 0xFF] for i in range(16)]
    while n:
        if n & 1:
            result = [apply(step, x) for x in result]
        step = [apply(step, x) for x in step]
        n >>= 1
    return lambda x: apply(result, x)


def crc16_arc_periodic(data, period):
    """crc16_arc(data), at C speed when data repeats with the given period (the
    corpus files are one clip over and over): the CRC of one period, combined."""
    data = memoryview(data)
    if period <= 0 or len(data) < 2 * period or data[period:].tobytes() != data[:-period].tobytes():
        return crc16_arc(data)
    repeats, crc = len(data) // period, 0
    block, block_crc = period, crc16_arc(data[:period])
    while repeats:
        if repeats & 1:
            crc = zeros_operator(block)(crc) ^ block_crc
        block_crc = zeros_operator(block)(block_crc) ^ block_crc
        block *= 2
        repeats >>= 1
    return crc16_arc(data[len(data) // period * period:], crc)


def layer3_frame(b, off):
    """(frame length, side-information bytes) of a Layer III header at b[off], or None."""
    if off + 4 > len(b):
        return None
    h = int.from_bytes(b[off:off + 4], "big")
    version = (h >> 19) & 3
    br_index = (h >> 12) & 15
    sr_index = (h >> 10) & 3
    if (h >> 21) != 0x7FF or version == 1 or (h >> 17) & 3 != 1 or br_index in (0, 15) or sr_index == 3:
        return None
    mono = (h >> 6) & 3 == 3
    padding = (h >> 9) & 1
    rate = SAMPLE_RATES[version][sr_index]
    if version == 3:
        length = 144000 * BITRATES_V1[br_index - 1] // rate + padding
        side = 17 if mono else 32
    else:
        length = 72000 * BITRATES_V2[br_index - 1] // rate + padding
        side = 9 if mono else 17
    return length, side


def walk(b, start, stop):
    """Frames from start on while they lie within b[:stop]: (count, end of the last)."""
    count, off = 0, start
    while True:
        f = layer3_frame(b, off)
        if f is None or off + f[0] > stop:
            return count, off
        count += 1
        off += f[0]


def id3v2_size(b):
    if len(b) < 10 or b[:3] != b"ID3":
        return 0
    size = 0
    for x in b[6:10]:
        size = (size << 7) | (x & 0x7F)
    return 10 + size + (10 if b[5] & 0x10 else 0)


def be32(b, at):
    return int.from_bytes(b[at:at + 4], "big")


def be16(b, at):
    return int.from_bytes(b[at:at + 2], "big")


def fix(path):
    """Returns the changes as [(offset, bytes)], or None when there is no Info/Xing frame."""
    with open(path, "rb") as f:
        b = f.read()
    start = id3v2_size(b)
    first = layer3_frame(b, start)
    if first is None:
        raise Unexpected("no Layer III frame at byte %d" % start)
    frame_length, side = first
    at = start + 4 + side  # right after the side information, even in a protected frame
    kind = b[at:at + 4]
    if kind not in (b"Xing", b"Info"):
        return None
    flags = be32(b, at + 4)
    if flags & 3 != 3:
        raise Unexpected("%s header without both counts (flags %#x)" % (kind.decode(), flags))
    frames_at, bytes_at = at + 8, at + 12
    lame = at + 16 + (100 if flags & 4 else 0) + (4 if flags & 8 else 0)
    if lame + LAME_TAG_BYTES > start + frame_length or b[lame:lame + 4] != b"LAME":
        raise Unexpected("no LAME tag after the %s header" % kind.decode())
    tag_crc_at = lame + LAME_TAG_CRC_AT

    # The clip as encoded: its own CRCs must check out by the rules used below.
    old_music = be32(b, lame + LAME_MUSIC_LENGTH_AT)
    if crc16_arc(b[start:tag_crc_at]) != be16(b, tag_crc_at):
        raise Unexpected("the clip's own tag CRC does not match")
    if crc16_arc(b[start + frame_length:start + old_music]) != be16(b, lame + LAME_MUSIC_CRC_AT):
        raise Unexpected("the clip's own music CRC does not match")
    clip_frames, clip_end = walk(b, start, start + be32(b, bytes_at))
    if clip_end != start + be32(b, bytes_at):
        raise Unexpected("the clip's byte count does not end at a frame boundary")
    old_frames = be32(b, frames_at)
    if old_frames not in (clip_frames, clip_frames - 1):
        raise Unexpected("the clip's frame count %d is neither %d nor %d" % (old_frames, clip_frames, clip_frames - 1))
    counts_tag_frame = old_frames == clip_frames

    frames, end = walk(b, start, len(b))
    rest = len(b) - end
    if not (rest == 0 or (rest == 128 and b[end:end + 3] == b"TAG")):
        raise Unexpected("the frames end at byte %d, then %d bytes that are no ID3v1 tag" % (end, rest))
    music = end - start

    fixed = bytearray(b[start:start + frame_length])
    rel = lambda offset: offset - start  # noqa: E731
    fixed[rel(frames_at):rel(frames_at) + 4] = (frames if counts_tag_frame else frames - 1).to_bytes(4, "big")
    fixed[rel(bytes_at):rel(bytes_at) + 4] = music.to_bytes(4, "big")
    fixed[rel(lame) + LAME_MUSIC_LENGTH_AT:rel(lame) + LAME_MUSIC_LENGTH_AT + 4] = music.to_bytes(4, "big")
    music_crc = crc16_arc_periodic(memoryview(b)[start + frame_length:end], old_music - frame_length)
    fixed[rel(lame) + LAME_MUSIC_CRC_AT:rel(lame) + LAME_MUSIC_CRC_AT + 2] = music_crc.to_bytes(2, "big")
    tag_crc = crc16_arc(fixed[:rel(tag_crc_at)])
    fixed[rel(tag_crc_at):rel(tag_crc_at) + 2] = tag_crc.to_bytes(2, "big")
    return [(start, bytes(fixed))]


def main(paths):
    status = 0
    for path in paths:
        try:
            changes = fix(path)
        except (Unexpected, OSError) as e:
            print("fix_info_frame: %s: %s" % (path, e), file=sys.stderr)
            status = 1
            continue
        if changes is None:
            print("fix_info_frame: %s: no Info/Xing frame, left as it is" % path, file=sys.stderr)
            continue
        with open(path, "r+b") as f:
            for offset, data in changes:
                f.seek(offset)
                f.write(data)
    return status


if __name__ == "__main__":
    if len(sys.argv) < 2:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1:]))
