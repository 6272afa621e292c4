#!/usr/bin/env python3
# Copyright 2026 The Zelkoz Authors. All rights reserved.
"""Playback in the application, with the player's texture shown and read by
the engine, beside gst-launch-1.0 playing the same clip through the same sink
bin into a fakesink with sync:
- the CPU time of playing the 1080p clip to its end: the whole process, and
  apart the system's threads and the stand-in engine's drawing thread; the
  whole process also beside playbin drawing into a 1280x720 X window;
- the frames of a 3840x2160 30 fps clip that reach the shown texture, against
  the frames gst-launch's sink renders. The engine's reading and the view's
  drawing count against the application; their share of its CPU is printed.
Prints figures and ratios; asserts nothing. Runs inside tests/harness/session.

  playback_bench.py ZELKOZ CLIP_1080P [ROUNDS [CLIP_4K]]

The 4K clip is made at CLIP_4K the first time and reused afterwards."""

import os
import resource
import statistics
import subprocess
import sys
import time

from zkpeer import Peer

VIDEO = "zelko_desktop_video"
ENGINE = "standin/engine"
TARGET = 1.15
SYSTEM_TARGET = 1.05
# The stand-in engine's drawing thread: it reads the texture and scales every
# frame to the view on the CPU, which a real engine does on the GPU. The
# system's share is every other thread: GStreamer's streaming threads and the
# main thread.
RASTER_THREAD = "fl-raster"
# A native player in the same session: playbin drawing into an X window of
# the main window's default size.
WINDOW_SINK = ("videoscale ! video/x-raw,width=1280,height=720 ! "
               "videoconvert ! ximagesink")
FRAMES_TARGET = 0.9
TICKS = os.sysconf("SC_CLK_TCK")
# The player's sink bin (kVideoSinkDescription in plugins/video/player.cc) up
# to its appsink, which the peer replaces by a fakesink with the same sync.
SINK_BIN = ("videoconvert ! videoflip video-direction=auto ! videoconvert ! "
            "video/x-raw,format=RGBA ! ")
CLIP_4K_FRAMES = 150
# Threads of the application that draw for the stand-in engine: the raster
# thread reads and scales the texture, the main thread paints the view.
DRAWING_THREADS = ("fl-raster", "zelkoz")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def thread_cpu(pid):
    """CPU seconds of each live thread of pid: {tid: (name, seconds)}."""
    threads = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/stat") as f:
                stat = f.read()
        except OSError:
            continue  # ended meanwhile
        name = stat[stat.index("(") + 1:stat.rindex(")")]
        fields = stat.rsplit(")", 1)[1].split()
        threads[tid] = (name, (int(fields[11]) + int(fields[12])) / TICKS)
    return threads


def app_run(zelkoz, clip):
    """Plays clip to its end with its texture shown. Returns the process's
    CPU seconds and the wall time of playing, the texture's statistics
    gathered while playing (the preroll frame left out: playing renders it
    again), and the CPU seconds of the drawing threads."""
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
    before = peer.result(ENGINE, "textureStats", {"id": player})
    threads0 = thread_cpu(pid)
    cpu0, wall0 = cpu_seconds(pid), time.monotonic()
    peer.result(VIDEO, "playerPlay", {"id": player})
    peer.wait_for(lambda o: o.get("channel") == events
                  and o.get("event", {}).get("event") == "completed",
                  timeout=120, what="completed")
    cpu, wall = cpu_seconds(pid) - cpu0, time.monotonic() - wall0
    threads1 = thread_cpu(pid)
    drawing = sum(seconds - threads0.get(tid, (name, 0))[1]
                  for tid, (name, seconds) in threads1.items()
                  if name in DRAWING_THREADS)
    # Streaming threads that ended while playing are gone from threads1, but
    # their time is in the process's figure: the system's share is that
    # figure less the raster thread's.
    raster = sum(seconds - threads0.get(tid, (name, 0))[1]
                 for tid, (name, seconds) in threads1.items()
                 if name == RASTER_THREAD)
    after = peer.result(ENGINE, "textureStats", {"id": player})
    stats = {k: after[k] - before[k]
             for k in ("framesMarked", "pixelCopies", "newFrames")}
    peer.invoke("com.zelko.zelko_app/window", "quit")
    peer.wait_for(lambda o: "exit" in o or "signal" in o, what="exit")
    peer.close()
    return cpu, wall, stats, drawing, raster


def gst_run(clip, sink=SINK_BIN + "fakesink sync=true"):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    wall0 = time.monotonic()
    subprocess.run(["gst-launch-1.0", "-q", "playbin", f"uri=file://{clip}",
                    f"video-sink={sink}"], check=True)
    wall = time.monotonic() - wall0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return cpu, wall


def gst_frames(clip):
    """Frames gst-launch's fakesink renders playing clip, and the wall time."""
    sink = SINK_BIN + "fakesink sync=true silent=false"
    wall0 = time.monotonic()
    # With -v each rendered buffer prints the sink's last message, "chain".
    out = subprocess.run(["gst-launch-1.0", "-v", "playbin",
                          f"uri=file://{clip}", f"video-sink={sink}"],
                         check=True, capture_output=True, text=True).stdout
    frames = sum(1 for line in out.splitlines()
                 if "last-message = chain" in line)
    return frames, time.monotonic() - wall0


def make_4k_clip(path):
    if os.path.exists(path):
        return
    os.makedirs(os.path.dirname(path), exist_ok=True)
    print(f"Making {path} (once)...", flush=True)
    partial = path + ".partial"
    # Bars that move across the whole picture, so that every frame differs.
    subprocess.run(["gst-launch-1.0", "-q", "videotestsrc", "pattern=smpte",
                    "horizontal-speed=8", f"num-buffers={CLIP_4K_FRAMES}",
                    "!", "video/x-raw,format=I420,width=3840,height=2160,"
                    "framerate=30/1", "!", "x264enc", "speed-preset=ultrafast",
                    "!", "mp4mux", "!", "filesink", f"location={partial}"],
                   check=True)
    os.rename(partial, path)


def frames_4k(zelkoz, clip, rounds):
    """Frames shown, ours and gst-launch's, in interleaved rounds."""
    make_4k_clip(clip)
    ours, theirs, shares = [], [], []
    print(f"Playing {os.path.basename(clip)} ({CLIP_4K_FRAMES} frames), "
          f"{rounds} interleaved rounds:")
    for _ in range(rounds):
        cpu, wall, stats, drawing, _ = app_run(zelkoz, clip)
        # Frames the engine read out of the texture, each once: a frame
        # replaced before the engine came for it was not shown, though its
        # mark still makes the engine copy the frame that replaced it again.
        ours.append(stats["newFrames"])
        shares.append(drawing / cpu if cpu > 0 else 0.0)
        frames, gst_wall = gst_frames(clip)
        theirs.append(frames)
        print(f"  application: {stats['newFrames']} frames shown "
              f"({stats['framesMarked']} marks, {stats['pixelCopies']} "
              f"copies) in {wall:5.2f} s, "
              f"engine drawing {100 * shares[-1]:.0f} % of {cpu:.2f} s CPU; "
              f"gst-launch: {frames} rendered in {gst_wall:5.2f} s")
    ours_median = statistics.median(ours)
    theirs_median = statistics.median(theirs)
    ratio = ours_median / theirs_median if theirs_median > 0 else 0.0
    print(f"application / gst-launch frames, medians: {ratio:.2f} "
          f"(target >= {FRAMES_TARGET:.2f}); the engine's drawing (threads "
          f"{', '.join(DRAWING_THREADS)}) took a median "
          f"{100 * statistics.median(shares):.0f} % of the application's CPU")
    print(f"TABLE|4K frames shown, {CLIP_4K_FRAMES}-frame 2160p30 clip|"
          f"{ours_median:g}|gst-launch same sink bin, fakesink|"
          f"{theirs_median:g}|{ratio:.2f}|>= {FRAMES_TARGET:.2f}")


def main():
    zelkoz, clip = sys.argv[1], os.path.abspath(sys.argv[2])
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 2
    apps, gsts, windows = [], [], []
    for _ in range(rounds):
        apps.append(app_run(zelkoz, clip))
        gsts.append(gst_run(clip))
        windows.append(gst_run(clip, WINDOW_SINK))
    app_cpu = min(a[0] for a in apps)
    system_cpu = min(a[0] - a[4] for a in apps)
    raster_cpu = min(a[4] for a in apps)
    gst_cpu = min(g[0] for g in gsts)
    window_cpu = min(w[0] for w in windows)
    print(f"Playing {os.path.basename(clip)} to its end, best of {rounds}:")
    for cpu, wall, stats, _, raster in apps:
        print(f"  application: {cpu:6.2f} s CPU in {wall:5.2f} s "
              f"({cpu - raster:.2f} s the system's threads, {raster:.2f} s "
              f"the stand-in's {RASTER_THREAD}), "
              f"{stats['framesMarked']} frames marked, "
              f"{stats['pixelCopies']} read by the engine")
    for cpu, wall in gsts:
        print(f"  gst-launch, RGBA fakesink:      {cpu:6.2f} s CPU in "
              f"{wall:5.2f} s")
    for cpu, wall in windows:
        print(f"  gst-launch, 1280x720 ximagesink: {cpu:6.2f} s CPU in "
              f"{wall:5.2f} s")
    ratio = app_cpu / gst_cpu if gst_cpu > 0 else float("inf")
    system_ratio = system_cpu / gst_cpu if gst_cpu > 0 else float("inf")
    window_ratio = app_cpu / window_cpu if window_cpu > 0 else float("inf")
    print(f"application / gst-launch CPU: {ratio:.2f}x; the system's threads "
          f"alone: {system_ratio:.2f}x (target <= {SYSTEM_TARGET:.2f}x)")
    print(f"TABLE|playback CPU, 1080p clip to its end|{app_cpu:.2f} s|"
          f"gst-launch RGBA fakesink|{gst_cpu:.2f} s|{ratio:.2f}x|"
          f"<= {TARGET:.2f}x")
    print(f"TABLE|playback CPU, system's threads|{system_cpu:.2f} s|"
          f"gst-launch RGBA fakesink|{gst_cpu:.2f} s|{system_ratio:.2f}x|"
          f"<= {SYSTEM_TARGET:.2f}x")
    print(f"TABLE|playback CPU, stand-in {RASTER_THREAD}|{raster_cpu:.2f} s|"
          f"-|-|-|-")
    print(f"TABLE|playback CPU, whole process|{app_cpu:.2f} s|"
          f"playbin, 1280x720 ximagesink|{window_cpu:.2f} s|"
          f"{window_ratio:.2f}x|-")
    if len(sys.argv) > 4:
        # Medians want at least three rounds, even in a quick run.
        frames_4k(zelkoz, os.path.abspath(sys.argv[4]), max(3, rounds))


if __name__ == "__main__":
    main()
