#!/usr/bin/env python3
# Copyright 2026 The Zelkoz Authors. All rights reserved.
"""The demo on a short generated clip, headless: it ends with status 0 and
the files it reports are what it says they are."""

import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from zkpeer import Check, run  # noqa: E402

demo = sys.argv[1]
clip = os.path.join(os.environ["ZK_MEDIA_DIR"], "clip_320x240.mp4")
out = os.path.join(os.environ["ZK_SESSION_DIR"], "demo-out")
check = Check()

result = subprocess.run([sys.executable, demo, "--headless", "--out", out,
                         "--play-seconds", "1", clip],
                        capture_output=True, text=True, timeout=240)
print(result.stdout)
check(result.returncode == 0, f"demo status {result.returncode}: {result.stderr}")
check("did not work" not in result.stdout, "every step worked")
check("application exit status: 0" in result.stdout, "clean quit")

poster = os.path.join(out, "poster.jpg")
identify = run(["identify", "-format", "%m %w %h", poster]).stdout.split()
check(identify[:1] == ["JPEG"] and identify[1:] == ["320", "240"],
      f"poster: {identify}")

compressed = os.path.join(out, "compressed.mp4")
probe = run(["ffprobe", "-v", "error", "-show_streams", "-show_format",
             "-of", "json", compressed])
info = json.loads(probe.stdout or "{}")
streams = {s["codec_type"]: s for s in info.get("streams", [])}
video, audio = streams.get("video", {}), streams.get("audio", {})
check(video.get("codec_name") == "h264" and video.get("width") == 1280
      and video.get("height") == 720, f"compressed video: {video}")
check(audio.get("codec_name") == "aac", f"compressed audio: {audio}")

for name in ("playing-1.png", "playing-2.png"):
    shot = os.path.join(out, name)
    mean = run(["convert", shot, "-format", "%[fx:mean]", "info:"]).stdout
    check(os.path.exists(shot) and float(mean or 0) > 0.05,
          f"{name} shows the clip (mean {mean})")
    check(shot in result.stdout, f"{name} is reported")
    # The main window at its default size, not the private 1920x1080 screen.
    size = run(["identify", "-format", "%w %h", shot]).stdout.split()
    check(size == ["1280", "720"], f"{name} is the window: {size}")
check(os.path.getsize(os.path.join(out, "demo.log")) > 0, "log written")
check.finish()
