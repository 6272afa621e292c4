#!/usr/bin/env python3
# Copyright 2026 The Zelkoz Authors. All rights reserved.
"""CPU time of playing the 1080p clip to its end in the application, with
the player's texture shown and read by the engine, beside gst-launch-1.0
playing the same clip into an RGBA fakesink with sync. Prints figures and the
ratio; asserts nothing. Runs inside tests/harness/session."""

import os
import resource
import subprocess
import sys
import time

from zkpeer import Peer

VIDEO = "zelko_desktop_video"
ENGINE = "standin/engine"
TARGET = 1.15
TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def app_run(zelkoz, clip):
    peer = Peer(zelkoz, timeout=120)
    pid = peer.hello()["pid"]
    player = peer.result(VIDEO, "playerCreate", {"uri": "file://" + clip})
    events = f"{VIDEO}/events_{player}"
    peer.request({"listen": events})
    peer.wait_for(lambda o: o.get("channel") == events
                  and o.get("event", {}).get("event") == "initialized",
                  timeout=30, what="initialized")
    peer.result(ENGINE, "showTexture", {"id": player})
    peer.request({"wait": 300})
    cpu0, wall0 = cpu_seconds(pid), time.monotonic()
    peer.result(VIDEO, "playerPlay", {"id": player})
    peer.wait_for(lambda o: o.get("channel") == events
                  and o.get("event", {}).get("event") == "completed",
                  timeout=120, what="completed")
    cpu, wall = cpu_seconds(pid) - cpu0, time.monotonic() - wall0
    stats = peer.result(ENGINE, "textureStats", {"id": player})
    peer.invoke("com.zelko.zelko_app/window", "quit")
    peer.wait_for(lambda o: "exit" in o or "signal" in o, what="exit")
    peer.close()
    return cpu, wall, stats


def gst_run(clip):
    sink = ("videoconvert ! videoflip video-direction=auto ! videoconvert ! "
            "video/x-raw,format=RGBA ! fakesink sync=true")
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    wall0 = time.monotonic()
    subprocess.run(["gst-launch-1.0", "-q", "playbin", f"uri=file://{clip}",
                    f"video-sink={sink}"], check=True)
    wall = time.monotonic() - wall0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return cpu, wall


def main():
    zelkoz, clip = sys.argv[1], os.path.abspath(sys.argv[2])
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 2
    apps, gsts = [], []
    for _ in range(rounds):
        apps.append(app_run(zelkoz, clip))
        gsts.append(gst_run(clip))
    app_cpu = min(a[0] for a in apps)
    gst_cpu = min(g[0] for g in gsts)
    print(f"Playing {os.path.basename(clip)} to its end, best of {rounds}:")
    for cpu, wall, stats in apps:
        print(f"  application: {cpu:6.2f} s CPU in {wall:5.2f} s, "
              f"{stats['framesMarked']} frames marked, "
              f"{stats['pixelCopies']} read by the engine")
    for cpu, wall in gsts:
        print(f"  gst-launch:  {cpu:6.2f} s CPU in {wall:5.2f} s")
    ratio = app_cpu / gst_cpu if gst_cpu > 0 else float("inf")
    print(f"application / gst-launch CPU: {ratio:.2f}x (target <= {TARGET:.2f}x)")
    print(f"TABLE|playback CPU, 1080p clip to its end|{app_cpu:.2f} s|"
          f"gst-launch RGBA fakesink|{gst_cpu:.2f} s|{ratio:.2f}x|<= {TARGET:.2f}x")


if __name__ == "__main__":
    main()
