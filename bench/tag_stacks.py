#!/usr/bin/env python3
"""Tags stacked every way taggers stack them, checked by -c and repaired by --fix.

    python3 bench/tag_stacks.py [FRAMELINT] [SOURCE.mp3]

Builds every stack of up to three tags at the end of an untagged file (ID3v1,
APEv2 with and without a header, Lyrics3v2, ID3v2 with a footer, without one,
empty) and at its start (ID3v2 2.2, 2.3 with padding, 2.4 with and without a
footer, empty), each once as it is and once with 35 bytes of junk between the
tags and the audio. Expected: -c finds nothing in the clean stacks and exactly
the junk in the others, and --fix turns each junk copy back into the clean one,
byte for byte. Prints the counts and every stack that differs.
"""
import itertools
import json
import os
import struct
import subprocess
import sys
import tempfile

here = os.path.dirname(os.path.abspath(__file__))
framelint = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, '..', 'build', 'framelint')
source = sys.argv[2] if len(sys.argv) > 2 else os.path.join(here, '..', 'tests', 'data', 'lame_cbr128.mp3')
song = open(source, 'rb').read()
junk = b'junk!' * 7


def synchsafe(n):
    return bytes([(n >> 21) & 127, (n >> 14) & 127, (n >> 7) & 127, n & 127])


def id3v2(size, footer=False, version=4):
    flags = 0x10 if footer else 0
    head = b'ID3' + bytes([version, 0, flags]) + synchsafe(size)
    return head + b'x' * size + ((b'3DI' + head[3:]) if footer else b'')


def id3v23_padded(size):
    frame = b'TIT2' + struct.pack('>I', 5) + b'\0\0' + b'\0abcd'
    return b'ID3' + bytes([3, 0, 0]) + synchsafe(size) + frame + bytes(size - len(frame))


def ape(with_header, items=40):
    le = lambda v: struct.pack('<I', v)
    size = items + 32
    footer = b'APETAGEX' + le(2000) + le(size) + le(1) + le(0x80000000 if with_header else 0) + bytes(8)
    header = b'APETAGEX' + le(2000) + le(size) + le(1) + le(0xA0000000) + bytes(8)
    item = le(items - 14) + le(0) + b'Title\0' + b'a' * (items - 14)
    return (header if with_header else b'') + item + footer


def lyrics3v2():
    body = b'LYRICSBEGIN' + b'IND0000210LYR00005la la'
    return body + b'%06d' % len(body) + b'LYRICS200'


id3v1 = b'TAG' + b'Title'.ljust(30, b'\0') + b'Artist'.ljust(30, b'\0') + bytes(30) + b'2000' + bytes(28) + b'\0\1\2'
end_tags = {'v1': id3v1, 'apeH': ape(True), 'apeF': ape(False), 'lyr': lyrics3v2(), 'id3F': id3v2(20, True),
            'id3e': id3v2(0), 'id3s': id3v2(10), 'id3b': id3v2(300)}
start_tags = {'F': id3v2(20, True), 'e': id3v2(0), 's': id3v2(10), 'b': id3v2(3000), 'p': id3v23_padded(500),
              'v22': id3v2(40, version=2)}


def findings(path):
    out = subprocess.run([framelint, '-c', '--json', path], capture_output=True, text=True).stdout
    line = json.loads(out.splitlines()[0])
    return [(p['kind'], p['offset']) for p in line.get('problems', []) if p.get('severity') != 'notice']


def sweep(where, kinds, make, junk_findings):
    stacks = differs = restored = 0
    with tempfile.TemporaryDirectory() as d:
        for count in (1, 2, 3):
            for combo in itertools.product(kinds, repeat=count):
                tags = b''.join(kinds[k] for k in combo)
                clean, damaged = make(tags, b''), make(tags, junk)
                name = os.path.join(d, '_'.join(combo))
                open(name + '.mp3', 'wb').write(clean)
                open(name + '.junk.mp3', 'wb').write(damaged)
                stacks += 1
                for path, want in ((name + '.mp3', []), (name + '.junk.mp3', junk_findings(len(tags)))):
                    got = findings(path)
                    if sorted(got) != sorted(want):
                        differs += 1
                        print(f'{where} {os.path.basename(path)}: {got}, expected {want}')
                subprocess.run([framelint, '--fix', '--no-backup', name + '.junk.mp3'], capture_output=True)
                restored += open(name + '.junk.mp3', 'rb').read() == clean
    print(f'{where}: {stacks} stacks; -c as expected on {2 * stacks - differs} of {2 * stacks} files; '
          f'--fix restored {restored} of {stacks} junk copies byte for byte')
    return differs == 0 and restored == stacks


ok = sweep('end', end_tags, lambda tags, j: song + j + tags, lambda n: [('trailing_junk', len(song))])
ok &= sweep('start', start_tags, lambda tags, j: tags + j + song,
            lambda n: [('leading_junk', n), ('first_frame_late', n + len(junk) + 4)])
sys.exit(0 if ok else 1)
