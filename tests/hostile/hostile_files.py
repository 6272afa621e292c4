# Copyright 2026 The Zelkoz Authors. All rights reserved.
"""Hostile inputs for the video plugin, made from the shared test media: MP4s
cut short or with lying box sizes, noise with a media name, special files,
awkward names, a huge picture and a stream nothing here decodes.

Each maker returns a list of Case(name, path, kind); kind says what a correct
answer may be:
  "broken"  nothing can be made of it: null probe, false poster, "VideoError"
            from the player, {"ok": false, "cancelled": false} from compress;
  "partial" a damaged file that may still yield something (its header is
            whole): any well-formed answer within the time-outs;
  "valid"   sound media under a hard name: every call succeeds.
"""

import collections
import os
import random
import shutil
import struct
import subprocess
import zlib

Case = collections.namedtuple("Case", "name path kind")

# Boxes that hold other boxes, as far as these cases need to walk.
_CONTAINERS = {b"moov", b"trak", b"mdia", b"minf", b"stbl", b"edts", b"dinf"}


def boxes(data, start=0, end=None, path=()):
    """Yields (path, offset, header_size, size) of every box, depth first."""
    end = len(data) if end is None else end
    offset = start
    while offset + 8 <= end:
        size, kind = struct.unpack(">I4s", data[offset:offset + 8])
        header = 8
        if size == 1:
            size = struct.unpack(">Q", data[offset + 8:offset + 16])[0]
            header = 16
        elif size == 0:
            size = end - offset
        if size < header:
            return
        here = path + (kind,)
        yield here, offset, header, size
        if kind in _CONTAINERS:
            yield from boxes(data, offset + header, offset + size, here)
        offset += size


def find_box(data, *path):
    """(offset, header_size, size) of the first box at that path."""
    for here, offset, header, size in boxes(data):
        if here == tuple(path):
            return offset, header, size
    raise KeyError(b"/".join(path))


def _write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return path


def _patch(data, offset, fmt, value):
    patched = bytearray(data)
    struct.pack_into(fmt, patched, offset, value)
    return bytes(patched)


def faststart_copy(source, out):
    """The same clip with its moov in front of the media data."""
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i",
                    source, "-c", "copy", "-movflags", "+faststart",
                    "-fflags", "+bitexact", out], check=True)
    return out


def truncated(source, folder, prefix, count):
    """Copies of source cut at count points spread over the whole file,
    among them right inside the first box headers and the moov."""
    data = open(source, "rb").read()
    moov, _, moov_size = find_box(data, b"moov")
    points = {1, 7, 8, 12, 33, moov + 4, moov + 8, moov + 120,
              moov + moov_size // 2, len(data) - 1}
    for i in range(1, count + 1):
        points.add(len(data) * i // (count + 1))
    cases = []
    for cut in sorted(points):
        # Without the moov's body nothing is known; past it (or within it,
        # when the tracks that matter are whole) something may still play.
        kind = "partial" if cut > moov + 8 else "broken"
        name = f"{prefix}_cut_{cut}.mp4"
        cases.append(Case(name, _write(os.path.join(folder, name), data[:cut]),
                          kind))
    return cases


def lying_sizes(source, folder):
    """An MP4 (moov at the end) whose boxes claim sizes and counts that the
    file cannot hold."""
    data = open(source, "rb").read()
    moov, _, _ = find_box(data, b"moov")
    video_stsz, _, _ = find_box(data, b"moov", b"trak", b"mdia", b"minf",
                                b"stbl", b"stsz")
    video_stco, _, _ = find_box(data, b"moov", b"trak", b"mdia", b"minf",
                                b"stbl", b"stco")
    video_stsd, _, _ = find_box(data, b"moov", b"trak", b"mdia", b"minf",
                                b"stbl", b"stsd")
    trak, _, _ = find_box(data, b"moov", b"trak")
    mdhd, _, _ = find_box(data, b"moov", b"trak", b"mdia", b"mdhd")
    variants = {
        # The moov claims 4 GiB.
        "moov_4g": _patch(data, moov, ">I", 0xFFFFFFF0),
        # A 64-bit size of nearly 2^63.
        "moov_huge64": data[:moov] + struct.pack(">I4sQ", 1, b"moov",
                                                 (1 << 63) - 1)
        + data[moov + 8:],
        # The first track claims 4 GiB inside its moov.
        "trak_4g": _patch(data, trak, ">I", 0xFFFFFFF0),
        # 4 billion samples of the size in the table's own field (0: a table
        # follows), and 4 billion chunk offsets.
        "stsz_count": _patch(data, video_stsz + 16, ">I", 0xFFFFFFFF),
        "stco_count": _patch(data, video_stco + 12, ">I", 0x7FFFFFFF),
        # One sample size for all samples, and 4 billion of them.
        "stsz_fixed": _patch(_patch(data, video_stsz + 12, ">I", 0x7FFFFFFF),
                             video_stsz + 16, ">I", 0xFFFFFFFF),
        # 4 billion sample descriptions.
        "stsd_count": _patch(data, video_stsd + 12, ">I", 0xFFFFFFFF),
        # A timescale of 1 and the longest 32-bit duration: 136 years.
        "mdhd_duration": _patch(_patch(data, mdhd + 20, ">I", 1), mdhd + 24,
                                ">I", 0xFFFFFFFF),
    }
    cases = []
    for label, body in variants.items():
        name = f"lying_{label}.mp4"
        cases.append(Case(name, _write(os.path.join(folder, name), body),
                          "partial"))
    return cases


def noise(folder, seed=9):
    rng = random.Random(seed)
    cases = []
    for name, size in (("noise.mp4", 200_000), ("noise.mkv", 4096),
                       ("noise.png", 100)):
        cases.append(Case(name, _write(os.path.join(folder, name),
                                       rng.randbytes(size)), "broken"))
    # An MP4 signature and then noise.
    body = struct.pack(">I4s4sI", 24, b"ftyp", b"isom", 0x200) + b"isomiso2"
    body += rng.randbytes(100_000)
    cases.append(Case("noise_after_ftyp.mp4",
                      _write(os.path.join(folder, "noise_after_ftyp.mp4"),
                             body), "broken"))
    return cases


def special_files(folder):
    """An empty file, a directory, a FIFO and /dev/zero, all named as media;
    and a file nobody may read (only unreadable to a process without the
    capability to override file permissions)."""
    empty = _write(os.path.join(folder, "empty.mp4"), b"")
    directory = os.path.join(folder, "directory.mp4")
    os.makedirs(directory, exist_ok=True)
    fifo = os.path.join(folder, "fifo.mp4")
    if not os.path.exists(fifo):
        os.mkfifo(fifo)
    zero = os.path.join(folder, "zero.mp4")
    if not os.path.lexists(zero):
        os.symlink("/dev/zero", zero)
    locked = os.path.join(folder, "locked.mp4")
    shutil.copyfile(os.path.join(os.environ["ZK_MEDIA_DIR"],
                                 "clip_320x240.mp4"), locked)
    os.chmod(locked, 0)
    return [Case("empty.mp4", empty, "broken"),
            Case("directory.mp4", directory, "broken"),
            Case("fifo.mp4", fifo, "broken"),
            Case("/dev/zero", "/dev/zero", "broken"),
            Case("zero.mp4 -> /dev/zero", zero, "broken"),
            Case("locked.mp4 (mode 000)", locked, "broken")]


# Hard names for sound media: blanks, both quotes, the pipeline separator,
# a backslash, a percent sign and non-ASCII letters. The last two would, if
# pasted unescaped into a quoted pipeline description, end the quote and add
# a filesink that writes the file PWNED in the working directory.
PWNED = "pwned-by-a-file-name"
AWKWARD_NAMES = [
    "with spaces and 'quotes' and \"double\" ! bang.mp4",
    "back\\slash %20 percent #hash ?query.mp4",
    "Çà et là – 日本語 – ünïcödé.mp4",
    f"x\" ! filesink location={PWNED} ! fakesink name=\"y.mp4",
    f"x\\\" ! filesink location={PWNED} ! fakesink name=\\\"y.mp4",
]


def awkward(folder):
    """Sound clips under the names above."""
    clip = os.path.join(os.environ["ZK_MEDIA_DIR"], "clip_320x240.mp4")
    cases = []
    for name in AWKWARD_NAMES:
        path = os.path.join(folder, name)
        shutil.copyfile(clip, path)
        cases.append(Case(name, path, "valid"))
    return cases


def huge_png(folder, side=16384):
    """A side x side grey PNG, written row by row (a few hundred kB)."""
    path = os.path.join(folder, f"huge_{side}.png")

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    compressor = zlib.compressobj(9)
    row = b"\x00" + bytes([128]) * side  # filter byte, then grey pixels
    parts = [compressor.compress(row) for _ in range(side)]
    parts.append(compressor.flush())
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 0, 0,
                                           0, 0)))
        f.write(chunk(b"IDAT", b"".join(parts)))
        f.write(chunk(b"IEND", b""))
    return Case(f"huge_{side}.png", path, "valid")


def undecodable(folder):
    """The 320x240 clip with its video sample entry renamed to a codec no
    decoder here knows (fourcc "zkzk"), audio left as it is; and the same
    with the audio entry renamed too."""
    data = open(os.path.join(os.environ["ZK_MEDIA_DIR"],
                             "clip_320x240.mp4"), "rb").read()
    video_only = data.replace(b"avc1", b"zkzk", 1).replace(b"avcC", b"zkzC",
                                                           1)
    both = video_only.replace(b"mp4a", b"zkau", 1)
    return [
        Case("undecodable_video.mp4",
             _write(os.path.join(folder, "undecodable_video.mp4"),
                    video_only), "partial"),
        Case("undecodable_all.mp4",
             _write(os.path.join(folder, "undecodable_all.mp4"), both),
             "broken"),
    ]


def all_cases(folder, cuts=6):
    media = os.environ["ZK_MEDIA_DIR"]
    clip = os.path.join(media, "clip_320x240.mp4")
    front = faststart_copy(clip, os.path.join(folder, "faststart.mp4"))
    cases = truncated(clip, folder, "tail_moov", cuts)
    cases += truncated(front, folder, "front_moov", cuts)
    cases += lying_sizes(clip, folder)
    cases += noise(folder)
    cases += special_files(folder)
    cases += awkward(folder)
    cases.append(huge_png(folder))
    cases += undecodable(folder)
    return cases
