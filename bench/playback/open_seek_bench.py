#!/usr/bin/env python3
# Copyright 2026 The Zelkoz Authors. All rights reserved.
"""What a user waits for when a video opens or moves, in the application
beside plain playbins with the player's own sink bin in a helper process
(memory_playbin) in the same session, warm, medians of interleaved rounds:
- open: the first frame of a clip, from the request to the answer that it is
  there ("playerCreate" sent to "initialized" received; "open" to
  "opened"), less the round trip of a trivial request to the same process;
- seek while paused: from the seek's sending until a poll sees its frame
  (textureStats' framesMarked; the helper's frame count), polled alike;
- scrub: twelve seeks 50 ms apart while paused; the frames shown (the
  engine's newFrames, the texture being on screen; the helper's frames) and
  the time from the last seek until the last frame came.
Prints figures and ratios; asserts nothing. Runs inside tests/harness/session.

  open_seek_bench.py ZELKOZ PLAYBIN_PEER CLIP_1080P CLIP_4K [ROUNDS]

The 4K clip is made at CLIP_4K the first time (see playback_bench.py)."""

import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "memory"))
import memory_bench  # noqa: E402
from playback_bench import make_4k_clip  # noqa: E402
from zkpeer import Peer  # noqa: E402

VIDEO = "zelko_desktop_video"
ENGINE = "standin/engine"
# The first frame: 1.05x playbin's preroll plus 5 ms for 1080p, 1.1x for 4K.
OPEN_TARGETS = {"1080p": (1.05, 5.0), "2160p": (1.10, 0.0)}
SEEKS = (4000, 1000, 7000, 2500, 5500)
SCRUB_SEEKS = 12
SCRUB_STEP_S = 0.05
POLL_S = 0.002
QUIET_S = 0.8
SETTLE_S = 0.5


def median_trip(ask, count=7):
    trips = []
    for _ in range(count):
        t0 = time.monotonic()
        ask()
        trips.append(time.monotonic() - t0)
    return statistics.median(trips)


class App:
    def __init__(self, zelkoz):
        self.peer = Peer(zelkoz, timeout=300)
        self.peer.hello()
        self.player = None

    def trip(self):
        return median_trip(lambda: self.peer.invoke(VIDEO, "playerPosition",
                                                    {"id": -1}))

    def open(self, clip):
        t0 = time.monotonic()
        self.player = self.peer.result(VIDEO, "playerCreate",
                                       {"uri": "file://" + clip})
        events = f"{VIDEO}/events_{self.player}"
        self.peer.request({"listen": events})
        self.peer.wait_for(lambda o: o.get("channel") == events
                           and o.get("event", {}).get("event")
                           == "initialized", timeout=60, what="initialized")
        elapsed = time.monotonic() - t0
        self.peer.result(ENGINE, "showTexture", {"id": self.player})
        return elapsed

    def frames(self, key="framesMarked"):
        return self.peer.result(ENGINE, "textureStats",
                                {"id": self.player})[key]

    def seek(self, ms):
        self.peer.result(VIDEO, "playerSeek", {"id": self.player, "ms": ms})

    def dispose(self):
        self.peer.result(VIDEO, "playerDispose", {"id": self.player})
        self.peer.result(ENGINE, "showTexture", {"id": None})

    def quit(self):
        self.peer.invoke("com.zelko.zelko_app/window", "quit")
        self.peer.wait_for(lambda o: "exit" in o or "signal" in o, what="exit")
        self.peer.close()


class Playbins(memory_bench.Playbins):
    """The helper's playbins, asked what the application is asked."""

    def trip(self):
        return median_trip(lambda: self.ask("ping", "pong"))

    def open(self, clip):
        t0 = time.monotonic()
        self.ask("open", "opened")
        return time.monotonic() - t0

    def frames(self, key=None):
        return int(self.ask("frames", "frames").split()[1])

    def seek(self, ms):
        self.ask(f"seek {ms}", "seeking")


def until_new_frame(side, before, t0, timeout=10):
    """Seconds from t0 until a poll sees more frames than before."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if side.frames() > before:
            return time.monotonic() - t0
        time.sleep(POLL_S)
    return float("nan")


def seek_times(side):
    times = []
    for ms in SEEKS:
        before = side.frames()
        t0 = time.monotonic()
        side.seek(ms)
        times.append(until_new_frame(side, before, t0))
    return times


def scrub(side, key):
    """Frames shown by twelve seeks 50 ms apart, and the seconds from the
    last seek to the last frame."""
    start = side.frames(key)
    last_seen, count = time.monotonic(), start
    last_seek = 0.0
    for i in range(SCRUB_SEEKS):
        due = time.monotonic() + SCRUB_STEP_S
        last_seek = time.monotonic()
        side.seek(500 + i * 600)
        while time.monotonic() < due:
            now_count = side.frames(key)
            if now_count != count:
                count, last_seen = now_count, time.monotonic()
            time.sleep(POLL_S)
    quiet_from = time.monotonic()
    while time.monotonic() - quiet_from < QUIET_S:
        now_count = side.frames(key)
        if now_count != count:
            count, last_seen = now_count, time.monotonic()
            quiet_from = last_seen
        time.sleep(POLL_S)
    return count - start, max(0.0, last_seen - last_seek)


def ms(seconds):
    return 1000 * seconds


def main():
    zelkoz, helper = sys.argv[1], sys.argv[2]
    clips = {"1080p": os.path.abspath(sys.argv[3]),
             "2160p": os.path.abspath(sys.argv[4])}
    rounds = int(sys.argv[5]) if len(sys.argv) > 5 else 5
    make_4k_clip(clips["2160p"])
    app = App(zelkoz)
    opens = {name: ([], []) for name in clips}
    seeks = ([], [])
    scrubs = ([], [])
    for name, clip in clips.items():
        playbins = Playbins(helper, clip)
        for side in (app, playbins):  # warm both, the first open loads plugins
            side.open(clip)
            side.dispose()
        for _ in range(rounds):
            for i, side in enumerate((app, playbins)):
                trip = side.trip()
                opens[name][i].append(side.open(clip) - trip)
                if name == "1080p":
                    time.sleep(0.3)
                    seeks[i].extend(seek_times(side))
                    scrubs[i].append(scrub(side, "newFrames"))
                side.dispose()
                # The application stops a player on a thread of its own
                # after answering; the next open should not race it.
                time.sleep(SETTLE_S)
        playbins.quit()
    app.quit()

    for name in clips:
        ours, theirs = (statistics.median(v) for v in opens[name])
        factor, extra = OPEN_TARGETS[name]
        print(f"first frame, {name}: application "
              + ", ".join(f"{ms(t):.0f}" for t in opens[name][0])
              + " ms; playbin " + ", ".join(f"{ms(t):.0f}" for t in opens[name][1])
              + f" ms; target {factor:.2f}x + {extra:g} ms = "
              f"{factor * ms(theirs) + extra:.0f} ms")
        target = f"<= {factor:.2f}x+{extra:g}ms" if extra else f"<= {factor:.2f}x"
        print(f"TABLE|first frame {name} (open, warm)|{ms(ours):.0f} ms|"
              f"playbin preroll, same sink bin|{ms(theirs):.0f} ms|"
              f"{ours / theirs:.2f}x|{target}")
    ours, theirs = (statistics.median(v) for v in seeks)
    print("seek while paused, 1080p: application "
          + ", ".join(f"{ms(t):.0f}" for t in seeks[0]) + " ms; playbin "
          + ", ".join(f"{ms(t):.0f}" for t in seeks[1]) + " ms")
    print(f"TABLE|seek while paused 1080p, to its frame|{ms(ours):.0f} ms|"
          f"playbin, same sink bin|{ms(theirs):.0f} ms|{ours / theirs:.2f}x|-")
    for i, who in enumerate(("application", "playbin")):
        print(f"scrub, {who}: " + "; ".join(
            f"{frames} frames, last {ms(settle):.0f} ms after the last seek"
            for frames, settle in scrubs[i]))
    frames = [statistics.median(f for f, _ in side) for side in scrubs]
    settles = [statistics.median(s for _, s in side) for side in scrubs]
    print(f"TABLE|scrub 12 seeks 50 ms apart: frames shown|{frames[0]:g}|"
          f"playbin, same sink bin|{frames[1]:g}|"
          f"{frames[0] / frames[1] if frames[1] else 0:.2f}|-")
    print(f"TABLE|scrub: last seek to its frame|{ms(settles[0]):.0f} ms|"
          f"playbin, same sink bin|{ms(settles[1]):.0f} ms|"
          f"{settles[0] / settles[1] if settles[1] else 0:.2f}x|-")


if __name__ == "__main__":
    main()
