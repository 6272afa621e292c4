#!/usr/bin/env python3
# Copyright 2026 The Zelkoz Authors. All rights reserved.
"""Resident memory (VmRSS) of the application beside its peers, in one
session:

- idle: the application after its first frame, against a bare GTK 3 window
  of the main window's default size (memory_bare_window);
- the baseline: once one 1080p player has been created, played and disposed
  and one compression job has run to its end;
- three rounds, each of four 1080p players opened one after the other and
  playing, then disposed, then a probe, a poster and the compression job
  again; memory after each round against the baseline, and round 3 against
  round 1;
- the cost of a live player against a plain playbin with the same video sink
  bin, four of them in one process (memory_playbin), allowed the two RGBA
  frames that the player's texture holds. It is taken from the first round,
  from each side's baseline: in later rounds plain playbin pays for its new
  players partly with the memory it kept from the round before, which says
  nothing of what a player costs.

Every figure is read from /proc/PID/status of the process, from outside and
after the same waits on both sides. Prints figures and TABLE rows; asserts
nothing. Runs inside tests/harness/session:

    memory_bench.py ZELKOZ CLIP_1080P PEER_DIR
"""

import os
import subprocess
import sys
import tempfile
import time

from zkpeer import Peer

VIDEO = "zelko_desktop_video"
WINDOW = "com.zelko.zelko_app/window"
ROUNDS = 3
PLAYERS = 4
# How long each player plays before the figure is read.
PLAY_MS = 1000
# The application gives its free memory back a second after its last piece
# of media work has ended; both sides wait this long before each figure.
QUIET_S = 1.5
FRAME_BYTES = 1920 * 1080 * 4
MB = 1024 * 1024
IDLE_TARGET = 1.3
AFTER_TARGET_MB = 15
GROWTH_TARGET_MB = 8


def status(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def settled_rss(pid, timeout=10):
    """VmRSS in bytes once the process has gone quiet: QUIET_S passed,
    threads no longer ending and resident memory moving by less than 256 kB
    in half a second."""
    time.sleep(QUIET_S)
    deadline = time.monotonic() + timeout
    last = (status(pid, "VmRSS"), status(pid, "Threads"))
    while time.monotonic() < deadline:
        time.sleep(0.5)
        now = (status(pid, "VmRSS"), status(pid, "Threads"))
        if abs(now[0] - last[0]) < 256 and now[1] >= last[1]:
            return now[0] * 1024
        last = now
    return last[0] * 1024


def bare_window(program):
    proc = subprocess.Popen([program], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline().strip()
    if line != "drawn":
        raise RuntimeError(f"memory_bare_window: {line!r}")
    time.sleep(1)
    rss = settled_rss(proc.pid)
    proc.stdin.close()
    proc.wait(timeout=10)
    return rss


class App:
    """The application, driven as the Dart side would."""

    def __init__(self, zelkoz, clip, scratch):
        self.clip = clip
        self.scratch = scratch
        self.peer = Peer(zelkoz, timeout=120)
        self.pid = self.peer.hello()["pid"]
        self.players = []
        self.jobs = 0

    def rss(self):
        return settled_rss(self.pid)

    def play(self):
        peer = self.peer
        player = peer.result(VIDEO, "playerCreate",
                             {"uri": "file://" + self.clip})
        events = f"{VIDEO}/events_{player}"
        peer.request({"listen": events})
        peer.wait_for(lambda o: o.get("channel") == events
                      and o.get("event", {}).get("event") == "initialized",
                      timeout=60, what="initialized")
        peer.result(VIDEO, "playerPlay", {"id": player})
        peer.request({"wait": PLAY_MS}, timeout=60)
        self.players.append(player)

    def dispose(self):
        for player in self.players:
            self.peer.result(VIDEO, "playerDispose", {"id": player})
        self.players = []
        self.peer.pending.clear()

    def compress(self):
        self.jobs += 1
        output = os.path.join(self.scratch, f"job{self.jobs}.mp4")
        result = self.peer.result(VIDEO, "compress", {
            "input": self.clip, "output": output, "width": 1280,
            "height": 720, "videoKbps": 3500, "audioKbps": 128,
            "durationMs": self.duration_ms, "hasAudio": True}, timeout=300)
        if result != {"ok": True, "cancelled": False}:
            raise RuntimeError(f"compress: {result}")
        os.remove(output)

    def probe_and_poster(self):
        probe = self.peer.result(VIDEO, "probe", {"path": self.clip})
        self.duration_ms = probe["durationMs"]
        poster = os.path.join(self.scratch, "poster.jpg")
        self.peer.result(VIDEO, "poster", {"path": self.clip,
                                           "output": poster})
        os.remove(poster)

    def quit(self):
        self.peer.invoke(WINDOW, "quit")
        self.peer.wait_for(lambda o: "exit" in o or "signal" in o,
                           timeout=60, what="the exit")
        self.peer.close()


class Playbins:
    """memory_playbin: plain playbins in one process."""

    def __init__(self, program, clip):
        self.proc = subprocess.Popen([program, "file://" + clip],
                                     stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        self.pid = self.proc.pid

    def ask(self, command, answer):
        """Sends command; returns the answer's line, whose first word must
        be answer."""
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline().strip()
        if line.split(" ", 1)[0] != answer:
            raise RuntimeError(f"memory_playbin {command}: {line!r}")
        return line

    def rss(self):
        return settled_rss(self.pid)

    def play(self):
        self.ask("play", "playing")
        time.sleep(PLAY_MS / 1000)

    def dispose(self):
        self.ask("dispose", "disposed")

    def quit(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=30)


def rounds(side, between=None):
    """Three rounds of four players on side; the figures of each round:
    memory with all four live, and after they (and between's work) are
    gone."""
    figures = []
    for _ in range(ROUNDS):
        steps = []
        for _ in range(PLAYERS):
            side.play()
            steps.append(side.rss())
        side.dispose()
        if between is not None:
            between()
        figures.append({"steps": steps, "live": steps[-1],
                        "after": side.rss()})
    return figures


def mb(value):
    return f"{value / MB:.1f} MB"


def main():
    zelkoz, clip, peers = sys.argv[1], os.path.abspath(sys.argv[2]), sys.argv[3]
    scratch = tempfile.mkdtemp(prefix="zk-memory-")

    # The first GTK client of an X server looks for the visuals that suit GL,
    # loading Mesa to do so, and leaves the answer on the root window for
    # every later client. On a desktop some client did that long ago: one
    # unmeasured window here does it, so that neither side pays for it.
    bare_window(os.path.join(peers, "memory_bare_window"))
    window = bare_window(os.path.join(peers, "memory_bare_window"))
    app = App(zelkoz, clip, scratch)
    time.sleep(1)
    idle = app.rss()
    app.play()
    app.dispose()
    app.probe_and_poster()
    app.compress()
    baseline = app.rss()

    def others():
        app.probe_and_poster()
        app.compress()

    ours = rounds(app, others)
    app.quit()

    playbin = Playbins(os.path.join(peers, "memory_playbin"), clip)
    time.sleep(1)
    playbin_idle = playbin.rss()
    playbin.play()
    playbin.dispose()
    playbin_baseline = playbin.rss()
    theirs = rounds(playbin)
    playbin.quit()
    os.rmdir(scratch)

    print(f"Idle: application {mb(idle)}, bare GTK 3 window {mb(window)}")
    print(f"Application: baseline {mb(baseline)} (one player, probe, poster "
          "and compression done)")
    print(f"playbin: idle {mb(playbin_idle)}, baseline {mb(playbin_baseline)}"
          " (one player done)")
    for i, (a, p) in enumerate(zip(ours, theirs), 1):
        print(f"  round {i}: application "
              f"{', '.join(mb(x) for x in a['steps'])} with 1 to {PLAYERS} "
              f"live, {mb(a['after'])} after; playbin "
              f"{', '.join(mb(x) for x in p['steps'])}, {mb(p['after'])} after")

    ratio = idle / window
    print(f"TABLE|idle RSS, 1280x720 main window|{mb(idle)}|"
          f"bare GTK 3 window, same size|{mb(window)}|{ratio:.2f}x|"
          f"<= {IDLE_TARGET:.2f}x")
    per = (ours[0]["live"] - baseline) / PLAYERS
    peer_per = (theirs[0]["live"] - playbin_baseline) / PLAYERS
    allowed = peer_per + 2 * FRAME_BYTES
    print(f"TABLE|RSS per live 1080p player, round 1|{mb(per)}|"
          f"playbin + 2 RGBA frames|{peer_per / MB:.1f}+"
          f"{2 * FRAME_BYTES / MB:.1f} MB|{per / allowed:.2f}x|<= 1.00x")
    after = ours[-1]["after"]
    print(f"TABLE|RSS after disposal, {ROUNDS} rounds of {PLAYERS}|"
          f"{mb(after)}|baseline: 1 player, 1 job|{mb(baseline)}|"
          f"{(after - baseline) / MB:+.1f} MB|<= +{AFTER_TARGET_MB} MB")
    growth = ours[-1]["after"] - ours[0]["after"]
    peer_growth = theirs[-1]["after"] - theirs[0]["after"]
    print(f"TABLE|RSS round {ROUNDS} - round 1, after disposal|"
          f"{growth / MB:+.1f} MB|playbin, the same rounds|"
          f"{peer_growth / MB:+.1f} MB|{growth / MB:+.1f} MB|"
          f"<= +{GROWTH_TARGET_MB} MB")


if __name__ == "__main__":
    main()
