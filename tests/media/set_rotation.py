#!/usr/bin/env python3
"""Writes a display rotation into an MP4/MOV file's video track, in place.

    set_rotation.py FILE DEGREES      (DEGREES: 0, 90, 180 or 270, clockwise)

Neither ffmpeg's rotate option nor an image-orientation tag given to mp4mux
ends up in the file, but demuxers read the rotation from the transformation
matrix of the video track header ("tkhd"). This rewrites that matrix in every
video track and leaves every other byte of the file as it was.
"""

import struct
import sys

ONE = 0x00010000  # 1.0 in 16.16 fixed point
MINUS_ONE = 0xFFFF0000  # -1.0 in 16.16
W_ONE = 0x40000000  # 1.0 in 2.30 fixed point, for the matrix's last column


def matrix_for(degrees, width, height):
    """The tkhd matrix {a b u c d v x y w}; width and height are 16.16."""
    if degrees == 0:
        return [ONE, 0, 0, 0, ONE, 0, 0, 0, W_ONE]
    if degrees == 90:
        return [0, ONE, 0, MINUS_ONE, 0, 0, height, 0, W_ONE]
    if degrees == 180:
        return [MINUS_ONE, 0, 0, 0, MINUS_ONE, 0, width, height, W_ONE]
    if degrees == 270:
        return [0, MINUS_ONE, 0, ONE, 0, 0, 0, width, W_ONE]
    raise ValueError("rotation must be 0, 90, 180 or 270")


def boxes(data, start, end):
    """Yields (type, payload start, box end) for the boxes in data[start:end]."""
    pos = start
    while pos + 8 <= end:
        size, kind = struct.unpack_from(">I4s", data, pos)
        header = 8
        if size == 1:
            if pos + 16 > end:
                raise ValueError("truncated box header at %d" % pos)
            size = struct.unpack_from(">Q", data, pos + 8)[0]
            header = 16
        elif size == 0:
            size = end - pos
        if size < header or pos + size > end:
            raise ValueError("bad box size at %d" % pos)
        yield kind, pos + header, pos + size
        pos += size


def child(data, start, end, kind):
    for k, payload, box_end in boxes(data, start, end):
        if k == kind:
            return payload, box_end
    return None


def handler_type(data, trak_start, trak_end):
    mdia = child(data, trak_start, trak_end, b"mdia")
    if mdia is None:
        return None
    hdlr = child(data, mdia[0], mdia[1], b"hdlr")
    if hdlr is None:
        return None
    # version/flags (4), pre_defined (4), handler_type (4)
    return data[hdlr[0] + 8:hdlr[0] + 12]


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    path, degrees = argv[1], int(argv[2])
    with open(path, "rb") as f:
        data = bytearray(f.read())
    moov = child(data, 0, len(data), b"moov")
    if moov is None:
        sys.stderr.write("set_rotation: no moov box in %s\n" % path)
        return 1
    patched = 0
    for kind, start, end in boxes(data, moov[0], moov[1]):
        if kind != b"trak" or handler_type(data, start, end) != b"vide":
            continue
        tkhd = child(data, start, end, b"tkhd")
        if tkhd is None:
            continue
        version = data[tkhd[0]]
        # Version 1 has 64-bit creation, modification and duration fields.
        matrix_at = tkhd[0] + (52 if version == 1 else 40)
        if matrix_at + 44 > tkhd[1]:
            raise ValueError("short tkhd box")
        width, height = struct.unpack_from(">II", data, matrix_at + 36)
        struct.pack_into(">9I", data, matrix_at,
                         *matrix_for(degrees, width, height))
        patched += 1
    if patched == 0:
        sys.stderr.write("set_rotation: no video track in %s\n" % path)
        return 1
    with open(path, "r+b") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
