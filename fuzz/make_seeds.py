#!/usr/bin/env python3
# Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.
#
#   fuzz/make_seeds.py
#
# Seeds of the codec fuzzer are real standard-codec messages. Seeds of the
# other targets are inputs in the byte format that fuzz_support.cc reads
# (Input, GenerateName, GenerateArgs, GenerateValue) and each target's own
# operation table, so each one starts the fuzzer at a run that reaches deep:
# a probe, a poster, a compression, a playing player, an accepted restart, a
# close to the tray. The files are small and change only when this script
# does.
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(bytes(data))


# --- standard codec ---------------------------------------------------------

def size(n):
    if n < 254:
        return bytes([n])
    if n <= 0xFFFF:
        return bytes([254]) + struct.pack("<H", n)
    return bytes([255]) + struct.pack("<I", n)


class Enc:
    def __init__(self):
        self.b = bytearray()

    def align(self, n):
        while len(self.b) % n:
            self.b.append(0)

    def value(self, v):
        b = self.b
        if v is None:
            b.append(0)
        elif v is True:
            b.append(1)
        elif v is False:
            b.append(2)
        elif isinstance(v, int):
            if -2**31 <= v < 2**31:
                b.append(3)
                b += struct.pack("<i", v)
            else:
                b.append(4)
                b += struct.pack("<q", v)
        elif isinstance(v, float):
            b.append(6)
            self.align(8)
            b += struct.pack("<d", v)
        elif isinstance(v, str):
            raw = v.encode()
            b.append(7)
            b += size(len(raw)) + raw
        elif isinstance(v, bytes):
            b.append(8)
            b += size(len(v)) + v
        elif isinstance(v, tuple):  # (tag, format, items): a typed list
            tag, fmt, items = v
            b.append(tag)
            b += size(len(items))
            self.align(struct.calcsize(fmt))
            for item in items:
                b += struct.pack("<" + fmt, item)
        elif isinstance(v, list):
            b.append(12)
            b += size(len(v))
            for item in v:
                self.value(item)
        elif isinstance(v, dict):
            b.append(13)
            b += size(len(v))
            for key, item in v.items():
                self.value(key)
                self.value(item)
        else:
            raise TypeError(v)
        return self


def encode(*values):
    e = Enc()
    for v in values:
        e.value(v)
    return e.b


def codec_seeds():
    t = "codec_fuzzer"
    write(t, "null", encode(None))
    write(t, "scalars", encode([True, False, 7, -(2**40), 0.5, "text", "\u00fc"]))
    write(t, "typed-lists", encode([
        b"\x00\x01\x02",
        (9, "i", [1, -2, 3]),
        (10, "q", [2**40]),
        (11, "d", [1.5, -0.0]),
        (14, "f", [0.25, 2.0]),
    ]))
    write(t, "nested-map", encode({"a": {"b": [1, {"c": None}]}, 3: "int key",
                                   None: [[], {}]}))
    write(t, "long-string", encode("x" * 300))
    write(t, "method-call", encode("probe", {"path": "/tmp/clip.mp4"}))
    write(t, "method-call-no-args", encode("encoders", None))
    write(t, "success-envelope", b"\x00" + encode({"ok": True, "cancelled": False}))
    write(t, "error-envelope", b"\x01" + encode("bad_args", "path is required", None))
    write(t, "error-with-details", b"\x01" + encode("busy", None, [1, 2]))
    write(t, "deep-list", bytes([12, 1]) * 40 + bytes([0]))


# --- structured inputs (fuzz_support.cc) ------------------------------------

def name(index):
    """GenerateName picking names[index] as it stands."""
    return [4, index]


def key(index):
    """GenerateKey picking context.keys[index]."""
    return [2, index]


def pooled_string(index):
    """GenerateValue: a string from context.strings."""
    return [5, 1, index]


def small_int(n):
    """GenerateValue: an integer from one signed byte."""
    return [2, 0, n & 0xFF]


def pooled_int(index):
    """GenerateValue: an integer from context.ints."""
    return [2, 2, index]


def boolean(v):
    return [1, 1 if v else 0]


def args_map(*entries):
    """GenerateArgs: a map of (key bytes, value bytes) entries."""
    out = [2, len(entries)]
    for k, v in entries:
        out += k + v
    return out


NO_ARGS = [0]


# The video channel fuzzer's tables (video_channel_fuzzer.cc).
VIDEO_METHODS = ["encoders", "probe", "poster", "compress", "compressCancel",
                 "playerCreate", "playerPlay", "playerPause", "playerVolume",
                 "playerLooping", "playerSeek", "playerPosition",
                 "playerDispose"]
VIDEO_KEYS = ["path", "output", "maxSide", "uri", "id", "volume", "looping",
              "ms", "input", "width", "height", "videoKbps", "audioKbps",
              "durationMs", "hasAudio"]
# context.strings: the 11 inputs, the 7 outputs, the 11 URIs.
CLIP, SILENT, AUDIO, TEXT, EMPTY, ODD, MISSING, FOLDER = range(8)
POSTER_OUT, MP4_OUT, NO_FOLDER_OUT, OUT_FOLDER, CLIP_OUT, LINK_OUT = range(11, 17)
CLIP_URI, SILENT_URI, AUDIO_URI, TEXT_URI = range(18, 22)
BOGUS_URI = 28


def vm(method):
    return VIDEO_METHODS.index(method)


def vk(k):
    return key(VIDEO_KEYS.index(k))


def video_call(method, *entries):
    return [0] + name(vm(method)) + (args_map(*entries) if entries else NO_ARGS)


VIDEO_WAIT = [9]


def video_pump(ms):
    return [8, ms]


def video_seeds():
    t = "video_channel_fuzzer"
    write(t, "encoders", video_call("encoders") + VIDEO_WAIT)
    write(t, "probe-clip",
          video_call("probe", (vk("path"), pooled_string(CLIP))) + VIDEO_WAIT)
    write(t, "probe-text-and-missing",
          video_call("probe", (vk("path"), pooled_string(TEXT))) +
          video_call("probe", (vk("path"), pooled_string(MISSING))) +
          video_call("probe", (vk("path"), small_int(3))) + VIDEO_WAIT)
    write(t, "poster-clip",
          video_call("poster", (vk("path"), pooled_string(CLIP)),
                     (vk("output"), pooled_string(POSTER_OUT)),
                     (vk("maxSide"), small_int(32))) + VIDEO_WAIT)
    write(t, "poster-onto-input",
          video_call("poster", (vk("path"), pooled_string(CLIP)),
                     (vk("output"), pooled_string(CLIP_OUT))) +
          video_call("poster", (vk("path"), pooled_string(CLIP)),
                     (vk("output"), pooled_string(LINK_OUT))) + VIDEO_WAIT)
    write(t, "poster-odd-name",
          video_call("poster", (vk("path"), pooled_string(ODD)),
                     (vk("output"), pooled_string(NO_FOLDER_OUT))) + VIDEO_WAIT)
    compress = video_call(
        "compress", (vk("input"), pooled_string(CLIP)),
        (vk("output"), pooled_string(MP4_OUT)), (vk("width"), small_int(32)),
        (vk("height"), small_int(24)), (vk("durationMs"), small_int(100)),
        (vk("hasAudio"), boolean(True)))
    listen_compress = [5, 0] + name(0) + [0]
    write(t, "compress-clip", listen_compress + compress + VIDEO_WAIT)
    write(t, "compress-cancelled", compress + video_call("compressCancel") +
          VIDEO_WAIT)
    write(t, "compress-busy", compress + compress + VIDEO_WAIT)
    write(t, "compress-onto-input",
          video_call("compress", (vk("input"), pooled_string(CLIP)),
                     (vk("output"), pooled_string(LINK_OUT)),
                     (vk("width"), small_int(32)),
                     (vk("height"), small_int(24))) + VIDEO_WAIT)
    write(t, "compress-failures",
          video_call("compress", (vk("input"), pooled_string(SILENT)),
                     (vk("output"), pooled_string(MP4_OUT)),
                     (vk("width"), small_int(32)), (vk("height"), small_int(32)),
                     (vk("hasAudio"), boolean(True))) + VIDEO_WAIT +
          video_call("compress", (vk("input"), pooled_string(TEXT)),
                     (vk("output"), pooled_string(MP4_OUT))) + VIDEO_WAIT +
          video_call("compress", (vk("input"), pooled_string(AUDIO)),
                     (vk("output"), pooled_string(POSTER_OUT)),
                     (vk("width"), small_int(16)), (vk("height"), small_int(16)),
                     (vk("hasAudio"), boolean(True))) + VIDEO_WAIT +
          video_call("compress", (vk("input"), pooled_string(CLIP)),
                     (vk("output"), pooled_string(NO_FOLDER_OUT)),
                     (vk("width"), small_int(-2)), (vk("height"), small_int(0)))
          + VIDEO_WAIT)
    write(t, "probe-and-poster-others",
          video_call("probe", (vk("path"), pooled_string(AUDIO))) +
          video_call("probe", (vk("path"), pooled_string(ODD))) +
          video_call("poster", (vk("path"), pooled_string(AUDIO)),
                     (vk("output"), pooled_string(POSTER_OUT))) +
          video_call("poster", (vk("path"), pooled_string(SILENT)),
                     (vk("output"), pooled_string(OUT_FOLDER)),
                     (vk("maxSide"), small_int(-1))) + VIDEO_WAIT)
    player = pooled_int(0)
    write(t, "player-play",
          video_call("playerCreate", (vk("uri"), pooled_string(CLIP_URI))) +
          [5, 1, 0] + name(0) + [0] +  # listen on the player's events
          video_pump(99) + [7, 0] +
          video_call("playerPlay", (vk("id"), player)) + video_pump(99) +
          video_call("playerSeek", (vk("id"), player), (vk("ms"), small_int(50))) +
          video_call("playerPosition", (vk("id"), player)) + [7, 0] +
          video_call("playerVolume", (vk("id"), player),
                     (vk("volume"), [4, 0, 3])) +
          video_call("playerDispose", (vk("id"), player)) + VIDEO_WAIT)
    write(t, "player-pause-and-text",
          video_call("playerCreate", (vk("uri"), pooled_string(SILENT_URI))) +
          video_call("playerCreate", (vk("uri"), pooled_string(TEXT_URI))) +
          video_pump(80) +
          video_call("playerPlay", (vk("id"), player)) + video_pump(40) +
          video_call("playerPause", (vk("id"), player)) +
          [5, 1, 1] + name(0) + [0] +  # the second player's events
          video_call("playerSeek", (vk("id"), pooled_int(1)),
                     (vk("ms"), [2, 3, 10])) + VIDEO_WAIT)
    write(t, "player-bad-uri",
          video_call("playerCreate", (vk("uri"), pooled_string(BOGUS_URI))) +
          video_pump(50) +
          video_call("playerLooping", (vk("id"), player),
                     (vk("looping"), boolean(True))) + VIDEO_WAIT)
    write(t, "unknown-methods",
          [0, 0, 5] + list(b"nopes") + NO_ARGS +
          [0, 1, vm("playerPlay")] + NO_ARGS +  # its name in capitals
          [0] + name(vm("playerDispose")) + [1, 7, 0] + VIDEO_WAIT)


RESTART_KEYS = ["mode", "structuredResult"]
RESTART_STRINGS = ["platformDefault", "process", "Process", "platformdefault",
                   "", "engine"]
# The links, in the order restart_channel_fuzzer.cc makes them.
DEFAULT_LINK, RUNNABLE, DELETED, NOT_EXECUTABLE, JUST_FITS, MISSING_TARGET, \
    TOO_LONG, NOT_A_LINK, NO_LINK = range(9)


def restart_call(method, *entries):
    return [0] + name(method) + (args_map(*entries) if entries else NO_ARGS)


def mode(text):
    return (key(0), pooled_string(RESTART_STRINGS.index(text)))


def structured(v):
    return (key(1), boolean(v))


RESTART_WAIT = [7]


def store_argv(*texts):
    out = [3, len(texts)]
    for text in texts:
        raw = text.encode()
        out += [len(raw)] + list(raw)
    out += [1] * len(texts)  # no NULL entries
    out += [2, 1]  # argc as given, argv given
    return out


def restart_seeds():
    t = "restart_channel_fuzzer"
    write(t, "capability", [DEFAULT_LINK] + restart_call(0))
    write(t, "relaunch-plain", [RUNNABLE] + restart_call(1) + RESTART_WAIT)
    write(t, "relaunch-structured",
          [DEFAULT_LINK] +
          restart_call(1, mode("process"), structured(True)) + RESTART_WAIT)
    write(t, "relaunch-twice",
          [DELETED] + restart_call(1) + restart_call(1, mode("platformDefault")) +
          RESTART_WAIT + restart_call(1) + RESTART_WAIT)
    write(t, "relaunch-refused",
          [NOT_EXECUTABLE] + restart_call(1) + [4, TOO_LONG] + restart_call(1) +
          [4, NO_LINK] + restart_call(1, mode("Process")) + restart_call(1))
    write(t, "relaunch-with-argv",
          [RUNNABLE] + store_argv("zelkoz", "--flag", "") + restart_call(1) +
          [5, 120] + store_argv() + restart_call(1) + RESTART_WAIT)
    write(t, "link-changes",
          [RUNNABLE] + restart_call(1) + [4, MISSING_TARGET] + RESTART_WAIT +
          [4, JUST_FITS] + restart_call(1) + [4, NOT_A_LINK] + restart_call(1))


WINDOW_METHODS = ["setHideOnClose", "show", "notificationIcon", "quit"]
WINDOW_STRINGS_STARTUP = 1


def window_call(method, value=None):
    out = [0] + name(WINDOW_METHODS.index(method))
    if value is None:
        return out + [0]  # no arguments
    return out + [1] + value


def window_seeds():
    t = "window_channel_fuzzer"
    write(t, "show-with-startup-id",
          window_call("show", pooled_string(WINDOW_STRINGS_STARTUP)) + [7])
    write(t, "close-to-tray",
          window_call("setHideOnClose", boolean(True)) + window_call("show") +
          [4, 7] + window_call("show") + [7])
    write(t, "wrong-types",
          window_call("setHideOnClose", small_int(1)) +
          window_call("setHideOnClose") + window_call("show", small_int(5)) +
          window_call("setHideOnClose", pooled_string(0)) + [4])
    write(t, "icon-and-quit",
          window_call("notificationIcon") + window_call("quit") +
          window_call("show") + [7])
    write(t, "unknown-and-raw",
          [0, 0, 4] + list(b"hide") + [0] + [5, 3, 1, 2, 3] + [6, 20])


# The frame texture fuzzer (frame_texture_fuzzer.cc): a frame is
# [op, format, media type, width, height, caps kind, framerate, interlace,
#  size kind (+ its amount), has buffer, fill (when not empty),
#  meta? (+ stride kind, offset kind), thread].
# Size kinds: 0 empty, 2 shorter than the caps claim by 1 + amount, 3 longer
# by amount, 4 as claimed. Stride kinds: 0 tight, 1 4 bytes of padding,
# 2 64 bytes of padding, 4 zero.
def frame(op=0, fmt=0, width=16, height=8, size_kind=4, amount=None,
          meta=None, thread=False, fill=0x40):
    out = [op, fmt, 0, 2, width - 1, 2, height - 1, 2, 30, 1, size_kind]
    if size_kind in (2, 3):
        out += [amount or 0]
    out += [1]
    if size_kind != 0:
        out += [fill]
    if meta is None:
        out += [1]
    else:
        out += [0, meta, 1]
    out += [1 if thread else 0]
    return out


def texture_seeds():
    t = "frame_texture_fuzzer"
    write(t, "plain-frames", frame() + frame(width=3, height=5, fill=9) + [4, 5])
    write(t, "during-reads", frame(op=3) + frame(op=3, thread=True) + [5])
    write(t, "padded-stride",
          frame(size_kind=3, amount=255, meta=1) +
          frame(size_kind=3, amount=255, meta=2, thread=True) +
          frame(meta=4))
    write(t, "short-buffer",
          frame(size_kind=2, amount=3) + frame() + frame(size_kind=0))
    write(t, "other-formats", frame(fmt=8) + frame(fmt=4) + frame(fmt=1) + [4])
    write(t, "size-changes", frame(width=48, height=48) + frame(width=1, height=1)
          + frame(width=20, height=3, thread=True) + [5, 4])


def main():
    codec_seeds()
    video_seeds()
    restart_seeds()
    window_seeds()
    texture_seeds()
    return 0


if __name__ == "__main__":
    sys.exit(main())
