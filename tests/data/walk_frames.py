#!/usr/bin/env python3
"""Small, independent MPEG audio frame walker used to describe the fixtures.

It knows nothing of the C++ code under test.  For each file it:
  * skips a leading ID3v2 tag (size is synchsafe; +10 bytes when the v2.4
    footer flag is set),
  * finds the first frame header (at that offset, or by scanning forward for
    two headers in a row),
  * walks frame lengths to the end of the file (or to an ID3v1 tag, when the
    last 128 bytes begin with "TAG"),
  * checks the CRC-16 of protected Layer II and Layer III frames,
  * notes a Xing/Info header in the first frame.

Usage:  walk_frames.py [--tsv] FILE...
Prints one "key=value" line per file, or one TSV row per file with --tsv
(the column names are in COLUMNS below; --header prints them).
Python 3 standard library only.
"""
import sys

# kbit/s, index 1..14
BITRATES = {
    ("1", 1): [32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448],
    ("1", 2): [32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384],
    ("1", 3): [32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320],
    ("2", 1): [32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256],
    ("2", 2): [8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160],
    ("2", 3): [8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160],
}
SAMPLE_RATES = {"1": [44100, 48000, 32000], "2": [22050, 24000, 16000],
                "2.5": [11025, 12000, 8000]}
VERSIONS = {0: "2.5", 2: "2", 3: "1"}          # 1 is reserved
MODES = ["stereo", "joint_stereo", "dual_channel", "mono"]

COLUMNS = ["mpeg_version", "layer", "sample_rate", "bitrate", "channel_mode",
           "protected", "frames_walker", "first_frame_offset", "end_offset",
           "trailing_bytes", "padded_frames", "crc_ok_frames", "info_frame",
           "id3v2", "id3v2_bytes", "id3v2_padding", "id3v1"]


def parse_header(b, off):
    """Return a dict for a valid 4-byte header at b[off], or None."""
    if off + 4 > len(b):
        return None
    h = int.from_bytes(b[off:off + 4], "big")
    if (h >> 21) & 0x7FF != 0x7FF:
        return None
    ver_bits = (h >> 19) & 3
    layer_bits = (h >> 17) & 3
    br_idx = (h >> 12) & 15
    sr_idx = (h >> 10) & 3
    if ver_bits == 1 or layer_bits == 0 or br_idx in (0, 15) or sr_idx == 3:
        return None                       # free format (0) is not walked
    ver = VERSIONS[ver_bits]
    layer = 4 - layer_bits
    br = BITRATES[("1" if ver == "1" else "2", layer)][br_idx - 1]
    sr = SAMPLE_RATES[ver][sr_idx]
    pad = (h >> 9) & 1
    if layer == 1:
        length = (12000 * br // sr + pad) * 4
    elif layer == 2 or ver == "1":
        length = 144000 * br // sr + pad
    else:
        length = 72000 * br // sr + pad
    return {"h": h, "version": ver, "layer": layer, "bitrate": br,
            "sample_rate": sr, "padding": pad, "length": length,
            "protected": 0 if (h >> 16) & 1 else 1,
            "mode": (h >> 6) & 3, "mode_ext": (h >> 4) & 3}


def crc16(data, crc=0xFFFF):
    for byte in data:
        for i in range(7, -1, -1):
            bit = (byte >> i) & 1
            top = (crc >> 15) & 1
            crc = (crc << 1) & 0xFFFF
            if top ^ bit:
                crc ^= 0x8005
    return crc


class Bits:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def read(self, n):
        v = 0
        for _ in range(n):
            byte = self.data[self.pos >> 3]
            v = (v << 1) | ((byte >> (7 - (self.pos & 7))) & 1)
            self.pos += 1
        return v


def layer2_nbal(hd):
    """Bits of allocation per subband for Layer II (ISO 11172-3 B.2, 13818-3 B.1)."""
    nch = 1 if hd["mode"] == 3 else 2
    if hd["version"] != "1":
        return [4] * 4 + [3] * 7 + [2] * 19                   # 30 subbands
    ch_br, sr = hd["bitrate"] // nch, hd["sample_rate"]
    if (sr == 48000 and ch_br >= 56) or 56 <= ch_br <= 80:
        return [4] * 11 + [3] * 12 + [2] * 4                  # 27 subbands
    if sr != 48000 and ch_br >= 96:
        return [4] * 11 + [3] * 12 + [2] * 7                  # 30 subbands
    if sr != 32000 and ch_br <= 48:
        return [4] * 2 + [3] * 6                              # 8 subbands
    return [4] * 2 + [3] * 10                                 # 12 subbands


def protected_bits(b, off, hd):
    """Bytes (and bit count) covered by the CRC after the CRC word, or None."""
    nch = 1 if hd["mode"] == 3 else 2
    start = off + 6
    if hd["layer"] == 3:
        n = (17 if nch == 1 else 32) if hd["version"] == "1" else (9 if nch == 1 else 17)
        return start, n * 8
    if hd["layer"] == 2:
        nbal = layer2_nbal(hd)
        sblimit = len(nbal)
        bound = (hd["mode_ext"] + 1) * 4 if hd["mode"] == 1 else sblimit
        bound = min(bound, sblimit)
        r = Bits(b[start:off + hd["length"]])
        alloc = [[0] * sblimit for _ in range(nch)]
        for sb in range(sblimit):
            for ch in range(nch if sb < bound else 1):
                alloc[ch][sb] = r.read(nbal[sb])
            if sb >= bound and nch == 2:
                alloc[1][sb] = alloc[0][sb]
        for sb in range(sblimit):
            for ch in range(nch):
                if alloc[ch][sb]:
                    r.read(2)                                   # scfsi
        return start, r.pos
    return None                                                 # Layer I: not needed


def crc_ok(b, off, hd):
    got = protected_bits(b, off, hd)
    if got is None:
        return None
    start, nbits = got
    crc = crc16(b[off + 2:off + 4])
    whole, rest = divmod(nbits, 8)
    crc = crc16(b[start:start + whole], crc)
    if rest:
        last = b[start + whole]
        for i in range(7, 7 - rest, -1):
            bit = (last >> i) & 1
            top = (crc >> 15) & 1
            crc = (crc << 1) & 0xFFFF
            if top ^ bit:
                crc ^= 0x8005
    return crc == int.from_bytes(b[off + 4:off + 6], "big")


def info_tag(b, off, hd):
    """'Xing' / 'Info' / 'VBRI' if the first frame carries such a header."""
    if hd["layer"] != 3:
        return "-"
    nch = 1 if hd["mode"] == 3 else 2
    side = (17 if nch == 1 else 32) if hd["version"] == "1" else (9 if nch == 1 else 17)
    # LAME (and readers such as ffmpeg) put the tag right after the side
    # info counted from the end of the 4-byte header, even in a protected
    # frame; the CRC-aware position is tried too.
    for pos in (off + 4 + side, off + 6 + side):
        tag = b[pos:pos + 4]
        if tag in (b"Xing", b"Info"):
            return tag.decode()
    if b[off + 36:off + 40] == b"VBRI":
        return "VBRI"
    return "-"


def id3v2_padding(b, major, flags, body_end):
    """Bytes after the last frame of an ID3v2 tag (its padding)."""
    pos = 10
    if flags & 0x40 and major >= 3:           # extended header
        if major == 3:
            pos += 4 + int.from_bytes(b[10:14], "big")
        else:
            pos += synchsafe(b[10:14])
    id_len, hdr_len = (3, 6) if major == 2 else (4, 10)
    while pos + hdr_len <= body_end and b[pos] != 0:
        raw = b[pos + id_len:pos + hdr_len - (0 if major == 2 else 2)]
        size = synchsafe(raw) if major == 4 else int.from_bytes(raw, "big")
        pos += hdr_len + size
    return max(body_end - pos, 0)


def synchsafe(four):
    size = 0
    for x in four:
        size = (size << 7) | (x & 0x7F)
    return size


def walk(path):
    b = open(path, "rb").read()
    r = {"bytes": len(b), "id3v2": "-", "id3v2_bytes": 0, "id3v2_padding": 0}
    off = 0
    if b[:3] == b"ID3" and len(b) >= 10:
        size = synchsafe(b[6:10])
        total = 10 + size + (10 if b[3] == 4 and b[5] & 0x10 else 0)
        r["id3v2"] = "2.%d" % b[3]
        r["id3v2_bytes"] = total
        r["id3v2_padding"] = id3v2_padding(b, b[3], b[5], 10 + size)
        off = total
    limit = len(b)
    r["id3v1"] = "-"
    if len(b) >= 128 and b[-128:-125] == b"TAG":
        t = b[-128:]
        r["id3v1"] = "1.1" if t[125] == 0 and t[126] != 0 else "1.0"
        limit -= 128

    def ok_at(o):
        hd = parse_header(b, o)
        return hd if hd and o + hd["length"] <= limit else None

    first = off
    while first + 4 <= limit:
        hd = ok_at(first)
        if hd and (first + hd["length"] == limit or ok_at(first + hd["length"])):
            break
        first += 1
    else:
        r.update(frames_walker=0, first_frame_offset=-1, end_offset=off)
        return r
    r["first_frame_offset"] = first
    r["info_frame"] = info_tag(b, first, hd)
    frames = padded = crc_good = 0
    rates, modes = set(), set()
    pos = first
    while True:
        hd = ok_at(pos)
        if not hd:
            break
        if frames == 0:
            first_hd = hd
        frames += 1
        padded += hd["padding"]
        rates.add(hd["bitrate"])
        modes.add(hd["mode"])
        if hd["protected"]:
            crc_good += 1 if crc_ok(b, pos, hd) else 0
        pos += hd["length"]
    # The Info/Xing frame of a VBR file carries a bit rate of its own;
    # judge CBR/VBR on the audio frames.
    audio_rates = set()
    p = first + (first_hd["length"] if r["info_frame"] != "-" else 0)
    while p < pos:
        h = parse_header(b, p)
        audio_rates.add(h["bitrate"])
        p += h["length"]
    r.update(
        mpeg_version=first_hd["version"], layer=first_hd["layer"],
        sample_rate=first_hd["sample_rate"],
        bitrate=(audio_rates.pop() if len(audio_rates) == 1 else "vbr"),
        channel_mode="/".join(MODES[m] for m in sorted(modes)),
        protected=first_hd["protected"], frames_walker=frames,
        end_offset=pos, trailing_bytes=limit - pos, padded_frames=padded,
        crc_ok_frames=(crc_good if first_hd["protected"] else "-"))
    return r


def main(argv):
    tsv = "--tsv" in argv
    if "--header" in argv:
        print("\t".join(COLUMNS))
    for path in [a for a in argv if not a.startswith("--")]:
        r = walk(path)
        if tsv:
            print("\t".join(str(r.get(c, "-")) for c in COLUMNS))
        else:
            print(path)
            for k in ["bytes"] + COLUMNS:
                print("  %s=%s" % (k, r.get(k, "-")))


if __name__ == "__main__":
    main(sys.argv[1:])
