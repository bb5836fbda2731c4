#!/usr/bin/env python3
"""Damages copies of the sources, repairs one copy with framelint --fix and
one with mp3val -f, and measures each result (a Markdown table on stdout).

    fix_compare.py FRAMELINT SOURCE_DIR WORK_DIR

For each result:
  -c       whether it then passes `framelint -c`;
  kept     its audio frames (Xing/Info/VBRI frames aside) that are frames of
           the original, taken in order, against the frames the damaged file
           still holds whole (found byte for byte, in order) and the frames
           of the original;
  foreign  audio frames in it that are not the original's next ones in order
           (found by the same walk);
  tags     the tags of the original still there, byte for byte (an ID3v2
           tag's body, its size field aside; the ID3v1 tag);
  ffprobe  ffprobe's duration less the play time of the frames kept, in
           seconds (a LAME tag's encoder delay and padding make up to about
           0.05 s of it).
The walk knows nothing of either tool: it skips the ID3v2 tag at the start by
its size field (as players do), then takes each header of the stream's own
version, layer and sample rate whose frame is whole and either begins where
the frame before it ended or is followed by another such header, a tag or
the end.
Standard library only.
"""
import json
import os
import random
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "data"))
from walk_frames import parse_header  # noqa: E402


def synchsafe(four):
    return (four[0] << 21) | (four[1] << 14) | (four[2] << 7) | four[3]


def id3v2_end(b):
    if b[:3] != b"ID3" or len(b) < 10:
        return 0
    return 10 + synchsafe(b[6:10]) + (10 if b[5] & 0x10 else 0)


def is_vbr_frame(frame):
    head = frame[:64]
    return b"Xing" in head or b"Info" in head or b"VBRI" in head


def walk(b):
    """The stream's frames: (audio frame digests, VBR header frames, format)."""
    start = id3v2_end(b)
    end = len(b) - 128 if len(b) >= 128 and b[-128:-125] == b"TAG" else len(b)
    form = None
    pos = start
    while pos + 4 <= end and form is None:
        hd = parse_header(b, pos)
        if hd and pos + hd["length"] <= end:
            nxt = parse_header(b, pos + hd["length"])
            if nxt and (nxt["version"], nxt["layer"], nxt["sample_rate"]) == (
                    hd["version"], hd["layer"], hd["sample_rate"]):
                form = (hd["version"], hd["layer"], hd["sample_rate"])
                break
        pos += 1
    if form is None:
        return [], 0, None

    def ours(at):
        hd = parse_header(b, at)
        return hd if hd and (hd["version"], hd["layer"], hd["sample_rate"]) == form else None

    audio, vbr_frames = [], 0
    pos, expected = start, start
    while pos + 4 <= end:
        hd = ours(pos)
        if hd and pos + hd["length"] <= end:
            after = pos + hd["length"]
            if pos == expected or after == end or ours(after) or b[after:after + 3] in (b"TAG", b"ID3"):
                frame = b[pos:after]
                if hd["layer"] == 3 and is_vbr_frame(frame):
                    vbr_frames += 1
                else:
                    audio.append(frame)
                pos = expected = after
                continue
        pos += 1
    return audio, vbr_frames, form


def samples_per_frame(form):
    version, layer, _ = form
    return 384 if layer == 1 else 1152 if layer == 2 or version == "1" else 576


def in_order(kept, reference):
    """Frames of kept matched, in order, against reference; and the others."""
    matched, foreign, j = 0, 0, 0
    for f in kept:
        k = j
        while k < len(reference) and reference[k] != f:
            k += 1
        if k < len(reference):
            matched, j = matched + 1, k + 1
        else:
            foreign += 1
    return matched, foreign


def still_whole(data, reference):
    """Frames of the reference that the damaged bytes still hold, whole and in order."""
    found, at = 0, 0
    for frame in reference:
        where = data.find(frame, at)
        if where >= 0:
            found, at = found + 1, where + len(frame)
    return found


def frame_offsets(b):
    """Where each frame of a clean file starts (after its ID3v2 tag)."""
    pos, offsets = id3v2_end(b), []
    while True:
        hd = parse_header(b, pos)
        if not hd:
            return offsets
        offsets.append(pos)
        pos += hd["length"]


def with_id3v2_size(b, size):
    out = bytearray(b)
    out[6:10] = bytes([(size >> 21) & 0x7F, (size >> 14) & 0x7F, (size >> 7) & 0x7F, size & 0x7F])
    return bytes(out)


def flip_headers(b, which, mask_byte, mask):
    """Flips bits of the headers of the frames numbered in which."""
    out, offsets = bytearray(b), frame_offsets(b)
    for n in which:
        out[offsets[n] + mask_byte] ^= mask
    return bytes(out)


def damaged_files(src):
    """(name, what was done, damaged bytes, reference frames' sources, tags to keep)."""
    rnd = random.Random(19)

    def junk(n):
        return bytes(rnd.randrange(256) for _ in range(n))

    def read(name):
        with open(os.path.join(src, name), "rb") as f:
            return f.read()

    cbr, vbr, l2 = read("cbr.mp3"), read("vbr.mp3"), read("layer2.mp2")
    pic, v1, bare = read("vbr_picture.mp3"), read("cbr_id3v1.mp3"), read("vbr_no_header.mp3")
    pic_tag, v1_tag = pic[:id3v2_end(pic)], v1[-128:]

    def at(b, share):
        return int(len(b) * share)

    def spliced(b, share, piece):
        return b[:at(b, share)] + piece + b[at(b, share):]

    audio_pic = pic[len(pic_tag):]
    return [
        ("cut_cbr", "lame CBR cut at 57 %", cbr[:at(cbr, 0.573)], [cbr], []),
        ("cut_vbr", "lame VBR cut at 62 %", vbr[:at(vbr, 0.617)], [vbr], []),
        ("cut_layer2", "twolame Layer II cut at 43 %", l2[:at(l2, 0.431)], [l2], []),
        ("cut_picture", "VBR with ID3v2 picture, cut at 70 %", pic[:at(pic, 0.7)], [pic], [pic_tag]),
        ("cut_then_tagged", "CBR with ID3v1, cut at 50 % and tagged again", v1[:at(v1, 0.5)] + v1_tag, [v1],
         [v1_tag]),
        ("joined_vbr", "two VBR files joined", vbr + vbr, [vbr, vbr], []),
        ("joined_picture", "two ID3v2-tagged VBR files joined", pic + pic, [pic, pic], [pic_tag]),
        ("joined_id3v1", "two ID3v1-tagged CBR files joined", v1 + v1, [v1, v1], [v1_tag]),
        ("junk_front", "2000 random bytes before a VBR file", junk(2000) + vbr, [vbr], []),
        ("junk_after_id3v2", "1500 random bytes between ID3v2 and audio", pic_tag + junk(1500) + audio_pic,
         [pic], [pic_tag]),
        ("junk_middle_vbr", "777 random bytes inside a VBR file", spliced(vbr, 0.4, junk(777)), [vbr], []),
        ("junk_middle_layer2", "500 random bytes inside Layer II", spliced(l2, 0.5, junk(500)), [l2], []),
        ("junk_before_id3v1", "600 bytes of text before the ID3v1 tag", v1[:-128] + b"junk " * 120 + v1_tag,
         [v1], [v1_tag]),
        ("junk_end", "1000 random bytes after a VBR file", vbr + junk(1000), [vbr], []),
        ("zeroed_vbr", "4 KiB zeroed at 30 % of a VBR file",
         vbr[:at(vbr, 0.3)] + bytes(4096) + vbr[at(vbr, 0.3) + 4096:], [vbr], []),
        ("zeroed_cbr", "4 KiB zeroed at 60 % of a CBR file",
         cbr[:at(cbr, 0.6)] + bytes(4096) + cbr[at(cbr, 0.6) + 4096:], [cbr], []),
        ("deleted_block", "3000 bytes deleted at 45 % of a CBR file", cbr[:at(cbr, 0.45)] + cbr[at(cbr, 0.45) + 3000:],
         [cbr], []),
        ("reserved_rate_bits", "sample-rate bits of 3 VBR headers set to reserved",
         flip_headers(vbr, (100, 101, 180), 2, 0x0C), [vbr], []),
        ("flipped_bitrate_bit", "a bit-rate bit of 2 CBR headers flipped", flip_headers(cbr, (120, 200), 2, 0x10),
         [cbr], []),
        ("id3v2_size_into_audio", "ID3v2 size 400 bytes past the tag",
         with_id3v2_size(pic, id3v2_end(pic) - 10 + 400), [pic], [pic_tag]),
        ("vbr_no_header", "lame -t VBR: no Xing header", bare, [bare], []),
        ("vbr_no_header_cut", "lame -t VBR cut at 60 %", bare[:at(bare, 0.6)], [bare], []),
    ]


def tags_kept(out, tags):
    kept = 0
    for tag in tags:
        if tag[:3] == b"ID3":
            kept += out[:3] == b"ID3" and out[10:len(tag)] == tag[10:]
        else:
            kept += out[-128:] == tag
    return kept


def run(args, timeout=120):
    try:
        p = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
        return p.returncode, p.stdout.decode("utf-8", "replace") + p.stderr.decode("utf-8", "replace")
    except subprocess.TimeoutExpired:
        return None, "timed out"


def ffprobe_seconds(path):
    code, text = run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path])
    try:
        return float(text.strip().splitlines()[0])
    except (ValueError, IndexError):
        return None


def measure(framelint, path, reference, tags):
    with open(path, "rb") as f:
        out = f.read()
    audio, _, form = walk(out)
    matched, foreign = in_order(audio, reference)
    passes = run([framelint, "-c", path])[0] == 0
    # Players ignore the LAME tag's own CRC: does the file pass but for it?
    code, text = run([framelint, "-c", "--json", path])
    damage = [p["kind"] for line in text.splitlines() if line.startswith("{")
              for p in json.loads(line).get("problems", []) if p.get("severity") == "damage"]
    passes_but_lame_crc = passes or (bool(damage) and set(damage) == {"lame_tag_crc"})
    probe = ffprobe_seconds(path)
    frames_seconds = len(audio) * samples_per_frame(form) / form[2] if form else 0.0
    return {"passes": passes, "passes_but_lame_crc": passes_but_lame_crc, "kept": matched, "foreign": foreign, "tags": tags_kept(out, tags),
            "probe_gap": None if probe is None else probe - frames_seconds}


def first_line(args):
    code, text = run(args)
    return text.strip().splitlines()[0] if text.strip() else "?"


def main(argv):
    framelint, src, work = argv[1], argv[2], argv[3]
    shutil.rmtree(work, ignore_errors=True)
    for sub in ("damaged", "framelint", "mp3val"):
        os.makedirs(os.path.join(work, sub))
    reference_of = {}
    rows, totals = [], {"framelint": {}, "mp3val": {}}
    for name, what, data, sources, tags in damaged_files(src):
        key = tuple(sources_id for sources_id in (id(s) for s in sources))
        if key not in reference_of:
            reference_of[key] = [d for s in sources for d in walk(s)[0]]
        reference = reference_of[key]
        damaged = os.path.join(work, "damaged", name + ".mp3")
        with open(damaged, "wb") as f:
            f.write(data)
        whole = still_whole(data, reference)
        before = run([framelint, "-c", damaged])[0] == 0
        results = {}
        for tool in ("framelint", "mp3val"):
            copy = os.path.join(work, tool, name + ".mp3")
            shutil.copyfile(damaged, copy)
            if tool == "framelint":
                status, text = run([framelint, "--fix", "--no-backup", copy])
            else:
                status, text = run(["mp3val", copy, "-f", "-nb", "-si"])
            r = measure(framelint, copy, reference, tags)
            r["changed"] = open(copy, "rb").read() != data
            r["status"] = status
            results[tool] = r
            t = totals[tool]
            t["passes"] = t.get("passes", 0) + r["passes"]
            t["but_lame"] = t.get("but_lame", 0) + r["passes_but_lame_crc"]
            t["kept"] = t.get("kept", 0) + r["kept"]
            t["foreign"] = t.get("foreign", 0) + r["foreign"]
            t["tags"] = t.get("tags", 0) + r["tags"]
            t["probe_ok"] = t.get("probe_ok", 0) + (r["probe_gap"] is not None and abs(r["probe_gap"]) <= 0.1)
            t["changed"] = t.get("changed", 0) + r["changed"]
        rows.append((name, what, before, len(reference), whole, len(tags), results))

    def cell(r, whole):
        gap = "?" if r["probe_gap"] is None else "%+.2f" % r["probe_gap"]
        return "%s | %d%s | %d | %s | %s" % ("pass" if r["passes"] else "FAIL", r["kept"],
                                              "" if r["kept"] == whole else " (%+d)" % (r["kept"] - whole),
                                              r["foreign"], "%d" % r["tags"], gap)

    cpu = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    print("# framelint --fix beside mp3val -f")
    print()
    print("Made by `bash bench/fix_compare.sh` on %s UTC; CPU %s, %d cores." % (
        first_line(["date", "-u", "+%Y-%m-%d %H:%M"]), cpu, os.cpu_count() or 0))
    print("%s; %s; %s; %s; %s." % (
        first_line([framelint, "--version"]), "mp3val " + first_line(["dpkg-query", "-W", "-f", "${Version}", "mp3val"]),
        first_line(["lame", "--version"]), "twolame " + first_line(["dpkg-query", "-W", "-f", "${Version}", "twolame"]),
        " ".join(first_line(["ffprobe", "-version"]).split()[:3])))
    print()
    print("Per tool: `-c` after the repair; audio frames kept that are frames of the original in order "
          "(in brackets: against the frames the damaged file still holds whole); foreign frames kept; "
          "tags kept byte for byte; ffprobe's duration less the play time of the frames kept (s).")
    print()
    print("| file | damage | `-c` before | frames: original / whole | tags | framelint `-c` | kept | foreign "
          "| tags | ffprobe | mp3val `-c` | kept | foreign | tags | ffprobe |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for name, what, before, total, whole, ntags, results in rows:
        print("| %s | %s | %s | %d / %d | %d | %s | %s |" % (
            name, what, "pass" if before else "FAIL", total, whole, ntags,
            cell(results["framelint"], whole), cell(results["mp3val"], whole)))
    n = len(rows)
    whole_total = sum(r[4] for r in rows)
    tags_total = sum(r[5] for r in rows)
    print()
    for tool in ("framelint", "mp3val"):
        t = totals[tool]
        print("- %s: %d of %d files pass `-c` afterwards (%d with the LAME tag's own CRC not counted; %d rewritten); "
              "%d of %d whole frames kept, %d foreign; %d of %d tags kept; ffprobe within 0.1 s of the frames "
              "kept on %d of %d." % (
                  tool, t["passes"], n, t["but_lame"], t["changed"], t["kept"], whole_total, t["foreign"],
                  t["tags"], tags_total, t["probe_ok"], n))


if __name__ == "__main__":
    main(sys.argv)
