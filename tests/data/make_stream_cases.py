#!/usr/bin/python3
"""Writes the stream-shape cases of tests/data/integrity/: valid files whose
tags hold sync words (which framelint -c must pass), files joined or mis-tagged
(which it must report), and the two notices (a VBR stream without its header,
a free-format stream). Tags are written by mutagen, so this runs under the
system Python, which has it (python3-mutagen); the free-format stream comes
from lame. Everything else is derived from committed fixtures.

Run from tests/data (make_fixtures.sh does):  /usr/bin/python3 make_stream_cases.py"""
import os
import shutil
import struct
import subprocess
import tempfile

from mutagen.apev2 import APEv2, APEValue, BINARY
from mutagen.id3 import ID3, APIC, TIT2, TPE1

from fixture_io import OUT, read, write, synchsafe


def id3v2_length(data):
    return 10 + (data[6] << 21 | data[7] << 14 | data[8] << 7 | data[9])


# A "picture": bytes that follow no rule (a fixed generator), with a frame
# header planted every few hundred bytes, as in compressed image data, only
# far more often.
def picture(n=6000):
    out, x = bytearray(), 12345
    while len(out) < n:
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out.append((x >> 16) & 0xFF)
        if x % 211 == 0:
            out += b"\xff\xfb\x90\x64"
    return bytes(out)


PICTURE = picture()


# Where the frames of an MPEG-1 Layer III stream without tags begin.
def frame_starts(data):
    starts, at = [], 0
    while at + 4 <= len(data):
        word = struct.unpack(">I", data[at:at + 4])[0]
        if word >> 21 != 0x7FF:
            break
        kbps = [0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320][(word >> 12) & 15]
        rate = [44100, 48000, 32000][(word >> 10) & 3]
        starts.append(at)
        at += 144000 * kbps // rate + ((word >> 9) & 1)
    return starts


def tagged_copy(source, name, tag):
    path = os.path.join(OUT, name)
    shutil.copyfile(source, path)
    tag(path)
    return read(path)


def id3_with_picture(path):
    t = ID3()
    t.add(TIT2(encoding=3, text="Fixture Tone"))
    t.add(APIC(encoding=3, mime="image/png", type=3, desc="cover", data=PICTURE))
    t.save(path, v2_version=3)


def ape_with_binary(path):
    t = APEv2()
    t["Title"] = "Fixture Tone"
    t["Cover Art (Front)"] = APEValue(b"cover.png\0" + PICTURE, BINARY)
    t.save(path)


def id3_plain(version):
    def tag(path):
        t = ID3()
        t.add(TPE1(encoding=3, text="framelint fixtures"))
        t.save(path, v2_version=version)
    return tag


os.makedirs(OUT, exist_ok=True)
cbr, vbr, lsf = read("lame_cbr128.mp3"), read("lame_vbr.mp3"), read("lame_mpeg2_64.mp3")

# Valid: tags that hold sync words, tags in a row, a title with a header in it.
tagged_copy("lame_cbr128.mp3", "valid_id3v2_picture.mp3", id3_with_picture)
ape = tagged_copy("tag_v1.mp3", "valid_apev2_binary_v1.mp3", ape_with_binary)
# The same APEv2 tag without its header: known only by its footer.
# (mutagen writes it after the ID3v1 tag here: any order is valid.)
at, end = ape.index(b"APETAGEX"), ape.rindex(b"APETAGEX")
footer = bytearray(ape[end:end + 32])
footer[20:24] = struct.pack("<I", struct.unpack("<I", footer[20:24])[0] & ~0x80000000)
write("valid_apev2_binary_footer_only_v1.mp3", ape[:at] + ape[at + 32:end] + bytes(footer) + ape[end + 32:])
v24 = tagged_copy("lame_vbr.mp3", "valid_two_id3v2.mp3", id3_plain(4))
v23 = read("tag_v23.mp3")
write("valid_two_id3v2.mp3", v23[:id3v2_length(v23)] + v24)
v1 = read("tag_v1.mp3")[-128:]
write("valid_id3v1_sync_in_title.mp3", cbr + v1[:3] + b"\xff\xfb\x90\x64" + v1[7:])

# Damage: two files joined with a tag between them; a change of format mid-stream;
# an ID3v2 size that runs 1000 bytes into the audio.
write("joined_with_id3v2.mp3", lsf + v23)
write("format_switch.mp3", cbr + lsf)
tag = bytearray(v23[:id3v2_length(v23)])
tag[6:10] = synchsafe(id3v2_length(v23) - 10 + 1000)
write("id3v2_swallows_audio.mp3", bytes(tag) + v23[id3v2_length(v23):])
# 500 bytes of junk ending in an ID3v2 footer whose header is nowhere.
write("id3v2_footer_without_tag.mp3", vbr + bytes(490) + b"3DI\x04\x00\x10" + synchsafe(480))

# Damage that must be reported as what it is, not as more than it is.
# A frame's worth of zeros over a mono stream from the last byte of a header
# on: that header then reads as stereo, which is no change of format.
mono = read("ffmpeg_lavc_mono.mp3")
header = frame_starts(mono)[30]
write("zeros_from_mono_header.mp3", mono[:header + 3] + bytes(209) + mono[header + 3 + 209:])
# Zeros before a whole ID3v2 tag (a picture full of sync words), then the audio:
# the zeros are junk, the tag is a tag.
write("id3v2_after_junk.mp3", bytes(300) + read(os.path.join(OUT, "valid_id3v2_picture.mp3")))

# Notices: lame's VBR stream without its Xing frame; a free-format stream.
# (lame's Xing frame is MPEG-1 Layer III at 44.1 kHz: its length is in its header.)
first = struct.unpack(">I", vbr[:4])[0]
kbps = [0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320][(first >> 12) & 15]
write("vbr_without_header.mp3", vbr[144000 * kbps // 44100 + ((first >> 9) & 1):])
with tempfile.TemporaryDirectory() as tmp:
    wav = os.path.join(tmp, "tone.wav")
    subprocess.run(["sox", "-n", "-r", "44100", "-c", "1", wav, "synth", "0.5", "sine", "440"], check=True)
    subprocess.run(["lame", "--quiet", "--freeformat", "-b", "40", "-t", wav, os.path.join(OUT, "free_format.mp3")],
                   check=True)
