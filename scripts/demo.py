#!/usr/bin/env python3
# Copyright 2026 The Zelkoz Authors. All rights reserved.
"""The walk through every capability that scripts/demo starts. It plays the
Dart application through zelkoz-dart and prints what happens in plain words."""

import argparse
import datetime
import json
import os
import shutil
import subprocess
import sys
import time

from zkpeer import Peer, run, x_window

VIDEO = "zelko_desktop_video"
COMPRESS = "zelko_desktop_video/compress"
WINDOW = "com.zelko.zelko_app/window"
ENGINE = "standin/engine"


class Demo:
    def __init__(self, out, headless):
        self.out = out
        self.headless = headless
        self.problems = []
        self.written = []
        self.pid = None  # the application's process, once it said hello
        self.log = open(os.path.join(out, "demo.log"), "w")

    def say(self, text):
        print(text, flush=True)
        self.log.write(text + "\n")

    def problem(self, step, text):
        self.problems.append(f"{step}: {text}")
        self.say(f"  !! {step} did not work: {text}")

    def wrote(self, path, what):
        if os.path.exists(path):
            self.written.append((path, what))

    def screenshot(self, name):
        if not self.headless:
            return
        path = os.path.join(self.out, name)
        # The application's window alone: without a window manager it sits
        # in a corner of a screen that is black elsewhere.
        window = x_window(pid=self.pid, unmapped=False) if self.pid else None
        if window is None:
            self.say("  (the application's window was not found: the whole "
                     "screen instead)")
        if run(["import", "-window", window or "root", path]).returncode == 0:
            self.wrote(path, "screenshot")
            self.say(f"  screenshot: {path}")


def describe_probe(probe):
    if probe is None:
        return "not a media file GStreamer can read"
    duration = probe.get("durationMs")
    seconds = "unknown length" if duration is None else f"{duration / 1000:.1f} s"
    parts = [seconds]
    if probe.get("hasVideo"):
        parts.append(f"video {probe['width']}x{probe['height']}"
                     + (" H.264" if probe.get("h264") else ""))
    if probe.get("hasAudio"):
        parts.append("audio" + (" AAC" if probe.get("aac") else ""))
    parts.append("MP4 container" if probe.get("mp4") else "not MP4")
    return ", ".join(parts)


def progress_bar(fraction, width=40):
    filled = int(round(fraction * width))
    return "[" + "#" * filled + "-" * (width - filled) + f"] {fraction * 100:5.1f} %"


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("media", nargs="?", help="a video file to use")
    parser.add_argument("--out", help="folder for everything written")
    parser.add_argument("--headless", action="store_true")
    parser.add_argument("--play-seconds", type=float, default=4.0)
    options = parser.parse_args()

    out = options.out or os.path.abspath(
        "zelkoz-demo-" + datetime.datetime.now().strftime("%Y%m%d-%H%M%S"))
    os.makedirs(out, exist_ok=True)
    out = os.path.abspath(out)
    demo = Demo(out, options.headless)

    media = options.media
    if media is None:
        demo.say("No media given: making a sample clip (5 s, 960x540, with sound).")
        made = run([os.environ["ZK_MAKE_MEDIA"], out, "clip_960x540.mp4"])
        media = os.path.join(out, "clip_960x540.mp4")
        if made.returncode != 0 or not os.path.exists(media):
            demo.problem("making the sample clip", made.stderr.strip())
            return finish(demo, None)
        demo.wrote(media, "sample clip")
    media = os.path.abspath(media)
    demo.say(f"Media: {media}")

    zelkoz = os.path.join(os.environ["ZK_BUNDLE_DIR"], "zelkoz")
    demo.say(f"Starting {zelkoz} with the Dart-side peer...")
    peer = Peer(zelkoz, ["--demo"], timeout=60)
    try:
        hello = peer.hello(timeout=30)
        demo.say(f"  the application says hello (process {hello['pid']})")
        demo.pid = hello["pid"]
    except AssertionError as error:
        demo.problem("starting the application", str(error)[:300])
        return finish(demo, peer)

    # Which encoders this machine has.
    reply = peer.invoke(VIDEO, "encoders")
    if "result" in reply:
        encoders = reply["result"]
        demo.say(f"Encoders here: H.264 {encoders.get('video') or 'none'}, "
                 f"AAC {encoders.get('audio') or 'none'}")
    else:
        demo.problem("asking for the encoders", reply["_raw"])

    # What the media holds.
    reply = peer.invoke(VIDEO, "probe", {"path": media}, timeout=30)
    probe = reply.get("result") if "result" in reply else None
    if "result" in reply:
        demo.say(f"Probe: {describe_probe(probe)}")
    else:
        demo.problem("probing the media", reply["_raw"])

    # A poster frame beside the output.
    poster = os.path.join(out, "poster.jpg")
    reply = peer.invoke(VIDEO, "poster",
                        {"path": media, "output": poster, "maxSide": 640},
                        timeout=60)
    if reply.get("result") is True:
        demo.wrote(poster, "poster frame (JPEG)")
        demo.say(f"Poster written: {poster}")
    else:
        demo.problem("writing the poster", reply["_raw"])

    # Playback into the window.
    play(demo, peer, media, options.play_seconds)

    # Compression to 1280x720 with a live progress bar.
    compressed = os.path.join(out, "compressed.mp4")
    compress(demo, peer, media, compressed, probe)
    if os.path.exists(compressed):
        reply = peer.invoke(VIDEO, "probe", {"path": compressed}, timeout=30)
        if "result" in reply:
            demo.say(f"The compressed file: {describe_probe(reply['result'])}")
        else:
            demo.problem("probing the compressed file", reply["_raw"])

    # A clean quit.
    reply = peer.invoke(WINDOW, "quit")
    if "result" not in reply:
        demo.problem("quitting", reply["_raw"])
    return finish(demo, peer)


def play(demo, peer, media, seconds):
    uri = "file://" + media if not media.startswith(("file:", "http")) else media
    reply = peer.invoke(VIDEO, "playerCreate", {"uri": uri})
    if "result" not in reply:
        demo.problem("creating a player", reply["_raw"])
        return
    player = reply["result"]
    events = f"{VIDEO}/events_{player}"
    peer.request({"listen": events})
    try:
        ready = peer.wait_for(lambda o: o.get("channel") == events, timeout=20,
                              what="the player's first event")
    except AssertionError as error:
        demo.problem("preparing playback", str(error)[:300])
        return
    if "eventError" in ready:
        demo.problem("preparing playback", json.dumps(ready["eventError"]))
        return
    info = ready.get("event", {})
    demo.say(f"Playing: {info.get('duration', 0) / 1000:.1f} s at "
             f"{info.get('width')}x{info.get('height')} in the window")
    peer.invoke(ENGINE, "showTexture", {"id": player})
    peer.invoke(VIDEO, "playerPlay", {"id": player})
    peer.request({"wait": int(seconds * 500)})
    demo.screenshot("playing-1.png")
    peer.request({"wait": int(seconds * 500)})
    position = peer.invoke(VIDEO, "playerPosition", {"id": player}).get("result")
    demo.say(f"  position after {seconds:.0f} s: {position} ms")
    demo.screenshot("playing-2.png")
    frame = os.path.join(demo.out, "frame.png")
    picture = peer.request({"texture": player, "png": frame})
    if "width" in picture:
        demo.wrote(frame, "the player's texture as the engine read it")
    peer.invoke(VIDEO, "playerPause", {"id": player})
    peer.invoke(VIDEO, "playerDispose", {"id": player})
    peer.invoke(ENGINE, "showTexture", {"id": None})


def compress(demo, peer, media, output, probe):
    duration = (probe or {}).get("durationMs") or 0
    has_audio = bool((probe or {}).get("hasAudio"))
    peer.request({"listen": COMPRESS})
    demo.say("Compressing to 1280x720 at 3500 kbit/s (H.264) and 128 kbit/s (AAC):")
    rid = peer.next_id
    peer.next_id += 1
    started = time.monotonic()
    peer.send({"id": rid, "invoke": VIDEO, "method": "compress", "args": {
        "input": media, "output": output, "width": 1280, "height": 720,
        "videoKbps": 3500, "audioKbps": 128, "durationMs": duration,
        "hasAudio": has_audio}})
    last = 0.0
    while True:
        try:
            line = peer.wait_for(lambda o: o.get("id") == rid
                                 or o.get("channel") == COMPRESS,
                                 timeout=300, what="compression progress")
        except AssertionError as error:
            demo.problem("compressing", str(error)[:300])
            return
        if line.get("channel") == COMPRESS:
            if isinstance(line.get("event"), float):
                last = line["event"]
                print("\r  " + progress_bar(last), end="", flush=True)
            continue
        break
    print("\r  " + progress_bar(1.0 if line.get("result", {}).get("ok") else last),
          flush=True)
    result = line.get("result")
    if isinstance(result, dict) and result.get("ok"):
        demo.wrote(output, "compressed MP4")
        demo.say(f"  done in {time.monotonic() - started:.1f} s: {output} "
                 f"({os.path.getsize(output) / 1e6:.1f} MB)")
    else:
        demo.problem("compressing", line["_raw"])


def finish(demo, peer):
    status = None
    if peer is not None:
        try:
            end = peer.wait_for(lambda o: "exit" in o or "signal" in o,
                                timeout=20, what="the application's end")
            status = end.get("exit", end.get("signal"))
        except AssertionError:
            demo.problem("ending the application", "it did not end by itself")
        peer.close()
    demo.say("")
    demo.say("Summary")
    for path, what in demo.written:
        demo.say(f"  {what}: {path} ({os.path.getsize(path)} bytes)")
    demo.say(f"  log: {os.path.join(demo.out, 'demo.log')}")
    demo.say(f"  application exit status: {status}")
    if demo.problems:
        demo.say(f"  {len(demo.problems)} step(s) did not work:")
        for text in demo.problems:
            demo.say(f"    {text[:200]}")
    demo.say(f"Everything is in {demo.out}")
    demo.log.close()
    return 0 if not demo.problems and status == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
