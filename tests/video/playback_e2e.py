#!/usr/bin/env python3
# Copyright 2026 The Zelkoz Authors. All rights reserved.
"""Playback end to end: the 1080p clip plays into the window, its texture
changes while playing and stands still once paused, and a screenshot of the
window shows the picture the engine read."""

import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from zkpeer import Check, Peer, run, wait_until  # noqa: E402

VIDEO = "zelko_desktop_video"
ENGINE = "standin/engine"
WINDOW = "com.zelko.zelko_app/window"

zelkoz = sys.argv[1]
clip = os.path.join(os.environ["ZK_MEDIA_DIR"], "clip_1080p.mp4")
session = os.environ["ZK_SESSION_DIR"]
check = Check()

peer = Peer(zelkoz)
peer.hello()
player = peer.result(VIDEO, "playerCreate", {"uri": "file://" + clip})
check(isinstance(player, int) and player > 2**32, f"player id {player}")
events = f"{VIDEO}/events_{player}"
peer.request({"listen": events})
ready = peer.wait_for(lambda o: o.get("channel") == events, timeout=30,
                      what="initialized")
check(ready.get("event") == {"event": "initialized", "duration": 10000,
                             "width": 1920, "height": 1080},
      f"initialized: {ready}")
peer.result(ENGINE, "showTexture", {"id": player})
peer.result(VIDEO, "playerPlay", {"id": player})
# Each condition is polled against a deadline: a busy machine plays late.
LIMIT = 30


def texture(png=None):
    request = {"texture": player}
    if png:
        request["png"] = png
    return peer.request(request)


def position():
    return peer.result(VIDEO, "playerPosition", {"id": player})


first = texture()
check(first.get("width") == 1920 and first.get("height") == 1080,
      f"texture size: {first}")
check(wait_until(lambda: texture().get("sha256") != first.get("sha256"),
                 LIMIT), "pixels change while playing")
check(wait_until(lambda: position() >= 500, LIMIT) and position() <= 10000,
      f"position while playing: {position()}")

peer.result(VIDEO, "playerPause", {"id": player})
frame_png = os.path.join(session, "frame.png")
paused = {}


def settled():
    # A frame already on its way may still land just after the pause.
    paused.update(texture(frame_png))
    time.sleep(0.4)
    return texture().get("sha256") == paused.get("sha256")


check(wait_until(settled, LIMIT), "still once paused")
stats = peer.result(ENGINE, "textureStats", {"id": player})
check(stats["framesMarked"] >= 10, f"frames marked: {stats}")

# The window (1280x720 at the screen's corner, no window manager) shows the
# paused frame scaled to fit, once it has drawn it.
shot = os.path.join(session, "window.png")
scaled = os.path.join(session, "frame-scaled.png")
run(["convert", frame_png, "-resize", "1280x720!", scaled])
diff = None


def matches():
    global diff
    run(["import", "-window", "root", "-crop", "1280x720+0+0", "+repage",
         shot])
    diff = run(["compare", "-metric", "RMSE", shot, scaled, "null:"])
    # compare prints "absolute (normalized)" on standard error.
    try:
        return float(diff.stderr.split("(")[1].split(")")[0]) < 0.08
    except (IndexError, ValueError):
        return False


check(wait_until(matches, LIMIT, step=0.3),
      f"screenshot matches the texture: {diff.stderr}")
mean = run(["convert", shot, "-format", "%[fx:mean]", "info:"]).stdout
check(float(mean or 0) > 0.1, f"the window is not black: {mean}")

peer.result(VIDEO, "playerDispose", {"id": player})
stats = peer.result(ENGINE, "textureStats", {"id": player})
check(stats["registered"] is False, f"texture gone after dispose: {stats}")
peer.invoke(WINDOW, "quit")
end = peer.wait_for(lambda o: "exit" in o or "signal" in o, what="exit")
check(end.get("exit") == 0, f"exit: {end}")
peer.close()
check.finish()
