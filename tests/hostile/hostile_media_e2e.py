#!/usr/bin/env python3
# Copyright 2026 The Zelkoz Authors. All rights reserved.
"""Hostile media through the real application: truncated and lying MP4s,
noise, special files, unreadable files, awkward names, unsupported URI
schemes, a 16384x16384 picture and streams nothing here decodes, each
through "probe", "poster", "playerCreate"/"playerPlay" and "compress".

Every call is answered within the plugin's own time-outs (the discoverer's
10 s, the poster's 15 + 15 + 5 s), broken input gets the failure answers
(null, false, "VideoError", {"ok": false, "cancelled": false}) and leaves no
output behind, sound media under hard names works, no file name breaks out
of a pipeline description, and the application answers afterwards.

The application runs without the capabilities that let root ignore file
permissions, so a mode-000 file is unreadable to it.

    hostile_media_e2e.py ZELKOZ      (inside tests/harness/session)
"""

import atexit
import os
import shutil
import signal
import subprocess
import sys
import time
import urllib.parse

# The helpers are imported from the source tree, which stays clean.
sys.dont_write_bytecode = True
here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "lib"))
sys.path.insert(0, here)
from zkpeer import Check, Peer, wait_until  # noqa: E402
import hostile_files  # noqa: E402
from hostile_lib import (VIDEO, WINDOW, InFlight, Proc,  # noqa: E402
                         held_to_permissions, settle, wait_for_event)

# The plugin's own limits, and what a busy two-core machine adds to them.
PROBE_LIMIT = 10
POSTER_LIMIT = 15 + 15 + 5
SLACK = 10
# A player whose media neither prerolls nor fails gives up after 30 s; the
# clips then play for 2 s.
PLAYER_LIMIT = 30 + 5
# A compression of a two-second clip takes well under this, and so does its
# failure, even when decodebin lost the demuxer's error of both attempts
# (each then fails after half a second to a second).
COMPRESS_LIMIT = 20
# The 16384x16384 picture is 1 GiB as RGBA; a player holds it about three
# times over (converted frame, the texture's back and front buffers).
PEAK_LIMIT_KB = 6 * 1024 * 1024
# What may stay resident once everything is gone: GStreamer's plugins and
# caches loaded by the first use of each element.
RSS_GROWTH_LIMIT_KB = 300 * 1024

zelkoz = sys.argv[1]
session = os.environ["ZK_SESSION_DIR"]
check = Check()

folder = os.path.join(session, "cases")
outputs = os.path.join(session, "out")
workdir = os.path.join(session, "cwd")
for d in (folder, outputs, workdir):
    os.makedirs(d, exist_ok=True)
cases = hostile_files.all_cases(folder)
# Strings that are not file paths at all, given where a path or a URI goes.
SCHEMES = ["gopher://example.invalid/clip.mp4", "zelkoz-nothing:clip.mp4",
           "file://", "relative/clip.mp4", ""]
os.chdir(workdir)

command = held_to_permissions(zelkoz)
if command is None:
    # Without a way to drop root's right to read anything, the mode-000 file
    # would be read like any other: its case cannot run, and that fails.
    check(False, "setpriv is missing: the unreadable file cannot be tried")
    cases = [c for c in cases if "mode 000" not in c.name]
    command = (zelkoz, [])
peer = Peer(command[0], command[1], timeout=30,
            stderr_path=os.path.join(session, "zelkoz.log"))
proc = Proc(peer.hello()["pid"])
# The first use of each element loads its plugin; measure from after that.
peer.result(VIDEO, "encoders")
peer.result(VIDEO, "probe", {"path": os.path.join(os.environ["ZK_MEDIA_DIR"],
                                                   "clip_320x240.mp4")})
baseline = settle(proc)
print(f"baseline: {baseline}", flush=True)
peaks = []


def show(value):
    text = repr(value)
    return text if len(text) < 70 else text[:67] + "..."


# probe -----------------------------------------------------------------------
calls = InFlight(peer)
for case in cases:
    calls.invoke(case.name, "probe", {"path": case.path})
for text in SCHEMES:
    calls.invoke(f"scheme {text!r}", "probe", {"path": text})
replies = calls.collect(PROBE_LIMIT + SLACK, "probe replies")
check(not calls.missing(), f"probes never answered: {calls.missing()}")
for case in cases:
    if case.name not in replies:
        continue
    reply, seconds = replies[case.name]
    result = reply.get("result", "no result")
    print(f"probe  {seconds:5.1f}s {case.kind:7} {case.name}: {show(result)}")
    check(seconds <= PROBE_LIMIT + SLACK, f"probe {case.name}: {seconds} s")
    check("result" in reply, f"probe {case.name}: {reply['_raw']}")
    if case.kind == "broken":
        check(result is None, f"probe {case.name} is null: {result}")
    elif case.kind == "valid":
        check(isinstance(result, dict) and result.get("hasVideo") is True,
              f"probe {case.name} finds the video: {result}")
    else:
        check(result is None or isinstance(result, dict),
              f"probe {case.name}: {result}")
huge = next(c for c in cases if c.name.startswith("huge_"))
huge_probe = replies.get(huge.name, ({}, 0))[0].get("result")
check(isinstance(huge_probe, dict) and huge_probe.get("width") == 16384
      and huge_probe.get("height") == 16384, f"huge probe: {huge_probe}")
for text in SCHEMES:
    reply = replies.get(f"scheme {text!r}", ({}, 0))[0]
    check("result" in reply and reply["result"] is None,
          f"probe of {text!r} is null: {reply.get('_raw')}")
peaks.append(proc.peak_kb())

# posters and players, all at once ------------------------------------------
# playerCreate answers at once: whatever the URI, building the pipeline must
# not wait for the file. Every player is listened to; one that prerolls is
# played to its end.
posters = InFlight(peer)
poster_out = {}
for i, case in enumerate(cases):
    poster_out[case.name] = os.path.join(outputs, f"poster {i} ü \"!\".jpg")
    posters.invoke(case.name, "poster",
                   {"path": case.path, "output": poster_out[case.name]})
for text in SCHEMES:
    posters.invoke(f"scheme {text!r}", "poster",
                   {"path": text,
                    "output": os.path.join(outputs, "scheme.jpg")})

# A URI goes to playbin as it is, so the hard names go escaped.
uris = {case.name: "file://" + urllib.parse.quote(case.path, safe="/")
        for case in cases}
for text in SCHEMES[:2] + ["file:///nonexistent/clip.mp4"]:
    uris[f"scheme {text!r}"] = text
kinds = {case.name: case.kind for case in cases}
kinds.update({tag: "broken" for tag in uris if tag.startswith("scheme")})
players = {}
for tag, uri in uris.items():
    started = time.monotonic()
    reply = peer.invoke(VIDEO, "playerCreate", {"uri": uri}, timeout=10)
    seconds = time.monotonic() - started
    check(seconds < 5, f"playerCreate {tag} answered in {seconds:.1f} s")
    check(isinstance(reply.get("result"), int),
          f"playerCreate {tag}: {reply['_raw']}")
    if isinstance(reply.get("result"), int):
        players[tag] = reply["result"]
for tag, player in players.items():
    peer.request({"listen": f"{VIDEO}/events_{player}"})

channels = {f"{VIDEO}/events_{p}": t for t, p in players.items()}
outcome = {}
poster_replies = {}
playing = set(players)
deadline = time.monotonic() + max(POSTER_LIMIT, PLAYER_LIMIT) + SLACK
while (playing or posters.sent) and time.monotonic() < deadline:
    try:
        line = peer.wait_for(
            lambda o: o.get("channel") in channels or o.get("id") in
            posters.sent, deadline - time.monotonic(),
            "player events and poster replies")
    except AssertionError:
        break
    if "id" in line:
        tag, _, sent_at = posters.sent.pop(line["id"])
        poster_replies[tag] = (line, time.monotonic() - sent_at)
        continue
    tag = channels[line["channel"]]
    if tag not in playing:
        continue
    if "eventError" in line:
        outcome[tag] = ("error", line["eventError"].get("code"))
        playing.discard(tag)
        continue
    name = line.get("event", {}).get("event")
    if name == "initialized":
        outcome[tag] = ("initialized", line["event"])
        # Not waited for: its reply comes among the events.
        peer.send({"id": peer.next_id, "invoke": VIDEO,
                   "method": "playerPlay", "args": {"id": players[tag]}})
        peer.next_id += 1
    elif name == "completed":
        outcome[tag] = ("completed", outcome.get(tag, (None, None))[1])
        playing.discard(tag)
peaks.append(proc.peak_kb())

check(not posters.sent, f"posters never answered: {posters.missing()}")
for case in cases:
    if case.name not in poster_replies:
        continue
    reply, seconds = poster_replies[case.name]
    result = reply.get("result", "no result")
    written = os.path.exists(poster_out[case.name])
    print(f"poster {seconds:5.1f}s {case.kind:7} {case.name}: {show(result)}")
    check(seconds <= POSTER_LIMIT + SLACK, f"poster {case.name}: {seconds} s")
    check(result in (True, False), f"poster {case.name}: {reply['_raw']}")
    check(written == (result is True),
          f"poster {case.name}: answered {result}, file written {written}")
    if case.kind == "broken":
        check(result is False, f"poster {case.name} is false")
    elif case.kind == "valid":
        check(result is True, f"poster {case.name} is written")
for text in SCHEMES:
    reply = poster_replies.get(f"scheme {text!r}", ({}, 0))[0]
    check(reply.get("result") is False,
          f"poster of {text!r} is false: {reply.get('_raw')}")
check(not os.path.exists(os.path.join(outputs, "scheme.jpg")),
      "no poster from a non-path")

check(not playing, f"players that neither ended nor failed: {playing}")
for tag, player in players.items():
    state, detail = outcome.get(tag, ("hung", None))
    print(f"player {kinds[tag]:7} {tag}: {state} {show(detail)}")
    if kinds[tag] == "broken":
        check(state == "error" and detail == "VideoError",
              f"player {tag} fails with VideoError: {state} {detail}")
    elif kinds[tag] == "valid":
        check(state == "completed", f"player {tag} plays to the end: {state}")
    else:
        check(state in ("completed", "error"), f"player {tag}: {state}")
    reply = peer.invoke(VIDEO, "playerDispose", {"id": player})
    check("result" in reply and reply["result"] is None, f"dispose {tag}")
huge_player = outcome.get(huge.name, (None, {}))
check(huge_player[0] == "completed"
      and huge_player[1].get("width") == 16384, f"huge player: {huge_player}")

# compress --------------------------------------------------------------------
# One job at a time, each answered before the next starts.
for i, case in enumerate(cases + [hostile_files.Case(f"scheme {t!r}", t,
                                                     "broken")
                                  for t in SCHEMES]):
    output = os.path.join(outputs, f"compressed {i} ü \"!\".mp4")
    started = time.monotonic()
    while True:
        reply = peer.invoke(VIDEO, "compress",
                            {"input": case.path, "output": output,
                             "width": 160, "height": 120, "videoKbps": 150,
                             "audioKbps": 48, "durationMs": 2000,
                             "hasAudio": True}, timeout=COMPRESS_LIMIT)
        # The last job's clean-up runs on the next idle pass: until then
        # "compress" is refused as busy.
        if reply.get("error", {}).get("code") != "busy" \
                or time.monotonic() - started > COMPRESS_LIMIT:
            break
        time.sleep(0.05)
    seconds = time.monotonic() - started
    result = reply.get("result")
    print(f"compress {seconds:5.1f}s {case.kind:7} {case.name}: "
          f"{show(result)}")
    check(isinstance(result, dict) and result.get("cancelled") is False,
          f"compress {case.name}: {reply['_raw']}")
    ok = isinstance(result, dict) and result.get("ok") is True
    check(os.path.exists(output) == ok,
          f"compress {case.name}: ok {ok}, output left {os.path.exists(output)}")
    if case.kind == "broken":
        check(not ok, f"compress {case.name} fails")
    elif case.kind == "valid":
        check(ok, f"compress {case.name} succeeds")
peaks.append(proc.peak_kb())

# A file deleted while it is read -------------------------------------------
big = os.path.join(os.environ["ZK_MEDIA_DIR"], "clip_1080p.mp4")
doomed = {op: os.path.join(folder, f"doomed-{op}.mp4")
          for op in ("probe", "poster", "player", "compress")}
for path in doomed.values():
    shutil.copyfile(big, path)
calls = InFlight(peer)
calls.invoke("probe", "probe", {"path": doomed["probe"]})
calls.invoke("poster", "poster",
             {"path": doomed["poster"],
              "output": os.path.join(outputs, "doomed.jpg")})
os.remove(doomed["probe"])
os.remove(doomed["poster"])
player = peer.result(VIDEO, "playerCreate", {"uri": "file://" +
                                             doomed["player"]})
peer.request({"listen": f"{VIDEO}/events_{player}"})
first = wait_for_event(peer, f"{VIDEO}/events_{player}", PLAYER_LIMIT)
peer.result(VIDEO, "playerPlay", {"id": player})
os.remove(doomed["player"])
peer.request({"listen": f"{VIDEO}/compress"})
calls.invoke("compress", "compress",
             {"input": doomed["compress"],
              "output": os.path.join(outputs, "doomed.mp4"), "width": 320,
              "height": 180, "videoKbps": 300, "durationMs": 10000})
progress = wait_for_event(peer, f"{VIDEO}/compress", COMPRESS_LIMIT)
os.remove(doomed["compress"])
replies = calls.collect(POSTER_LIMIT + SLACK, "replies on deleted files")
check(not calls.missing(), f"deleted files never answered: {calls.missing()}")
for op, (reply, seconds) in sorted(replies.items()):
    print(f"deleted while read: {op} {seconds:.1f}s {show(reply.get('result'))}")
check(first is not None and progress is not None,
      f"the deleted files were being read: {first} {progress}")
compressed = replies.get("compress", ({}, 0))[0].get("result", {})
check(compressed.get("ok") is True, f"compression of an unlinked file that is "
      f"still open ends normally: {compressed}")
second = wait_for_event(peer, f"{VIDEO}/events_{player}", PLAYER_LIMIT)
check(second is not None, f"deleted player: {second}")
peer.result(VIDEO, "playerDispose", {"id": player})

# Afterwards ------------------------------------------------------------------
encoders = peer.invoke(VIDEO, "encoders", timeout=10)
check(isinstance(encoders.get("result"), dict)
      and encoders["result"].get("video"), f"encoders: {encoders.get('_raw')}")
for place in (workdir, folder, outputs, "/tmp"):
    check(not os.path.exists(os.path.join(place, hostile_files.PWNED)),
          f"no file made by a name that broke out of a description, in "
          f"{place}")
after = settle(proc)
peak = max(p for p in peaks if p is not None)
print(f"after: {after}; peak resident {peak} kB", flush=True)
check(peak <= PEAK_LIMIT_KB, f"peak resident memory {peak} kB")
check(after["rss_kb"] - baseline["rss_kb"] <= RSS_GROWTH_LIMIT_KB,
      f"memory back near its baseline: {baseline} -> {after}")
check(after["threads"] <= baseline["threads"] + 2,
      f"threads back to baseline: {baseline} -> {after}")
check(after["fds"] <= baseline["fds"],
      f"file descriptors back to baseline: {baseline} -> {after}")

peer.invoke(WINDOW, "quit")
end = peer.wait_for(lambda o: "exit" in o or "signal" in o, what="exit")
check(end.get("exit") == 0, f"exit: {end}")
peer.close()

# Files written whole -----------------------------------------------------------
# A job writes hidden parts beside its output and renames the finished file
# into place. Killed outright, it leaves only those, and what lay at the path
# before; the next job into the folder removes the parts of processes that
# are gone, and nothing else; a full disk or a removed folder ends a job (and
# a poster) with nothing left there.
job = {"input": os.path.join(os.environ["ZK_MEDIA_DIR"], "clip_1080p.mp4"),
       "width": 1280, "height": 720, "durationMs": 10000, "hasAudio": True}


def start(log):
    app = Peer(command[0], command[1], timeout=30,
               stderr_path=os.path.join(session, log))
    app.pid = app.hello()["pid"]
    return app


def parts(folder, pid):
    return [n for n in os.listdir(folder) if f".{pid}.zelkoz-" in n]


def compress(app, output, meanwhile=None):
    """The reply of a job into output; meanwhile runs once both its parts are
    there, and nothing new under the output's name."""
    existed = os.path.exists(output)
    deadline = time.monotonic() + COMPRESS_LIMIT
    while True:
        calls = InFlight(app)
        calls.invoke("compress", "compress", {**job, "output": output})
        # Refused as busy at once while the last job's clean-up is to run.
        reply = calls.collect(1).get("compress", ({}, 0))[0]
        if reply.get("error", {}).get("code") != "busy" \
                or time.monotonic() > deadline:
            break
        time.sleep(0.1)
    if meanwhile:
        folder = os.path.dirname(output)
        check(not reply and wait_until(lambda: len(parts(folder, app.pid)) == 2,
                                       COMPRESS_LIMIT)
              and os.path.exists(output) == existed,
              f"{output}: only the parts while the job runs {reply}")
        meanwhile()
    return reply or calls.collect(COMPRESS_LIMIT + SLACK).get(
        "compress", ({}, 0))[0]


killed = os.path.join(session, "killed")
disk = os.path.join(session, "disk")
os.makedirs(killed)
os.makedirs(disk)
# What only looks like a stale part stays: another process's, a name of
# another form, a folder, a link. 4194400 is above any pid Linux gives.
kept = ["clip.mp4", ".notes", f".other.mp4.{os.getpid()}.zelkoz-part",
        "x.4194400.zelkoz-part", "..4194400.zelkoz-part",
        ".x.4194400.zelkoz-part~", ".d.4194400.zelkoz-part"]
for name in kept[:-1]:
    with open(os.path.join(killed, name), "w") as f:
        f.write("the user's")
os.mkdir(os.path.join(killed, kept[-1]))
kept.append(".l.4194400.zelkoz-faststart")
os.symlink("clip.mp4", os.path.join(killed, kept[-1]))
app = start("zelkoz-killed.log")
compress(app, os.path.join(killed, "clip.mp4"),
         lambda: os.kill(app.pid, signal.SIGKILL))
app.close()
dead = parts(killed, app.pid)
check(len(dead) == 2 and sorted(os.listdir(killed)) == sorted(kept + dead),
      f"a killed job leaves its parts only: {sorted(os.listdir(killed))}")
with open(os.path.join(killed, "clip.mp4")) as f:
    check(f.read() == "the user's", "a killed job leaves the output's file")
app = start("zelkoz-after.log")
# Its own pid's part, left by the program it replaced, goes too; a long name
# still leaves room for the part's own.
with open(os.path.join(killed, f".mine.{app.pid}.zelkoz-part"), "w") as f:
    f.write("stale")
fresh = "fresh " + "\u00e4" * 115 + ".mp4"
reply = compress(app, os.path.join(killed, fresh), lambda: None)
check(reply.get("result") == {"ok": True, "cancelled": False}
      and sorted(os.listdir(killed)) == sorted(kept + [fresh]),
      f"the next job removes the stale parts only: {reply} "
      f"{sorted(os.listdir(killed))}")
check(subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16m", "tmpfs",
                      disk]).returncode == 0, "a tmpfs (the tests run as root)")
atexit.register(subprocess.run, ["umount", "-l", disk])
with open(os.path.join(disk, "p.jpg"), "w") as f:
    f.write("the old poster")
try:
    with open(os.path.join(disk, "filler"), "wb", buffering=0) as f:
        while True:
            f.write(bytes(65536))
except OSError:
    pass
for what, output, meanwhile in (
        ("full disk", os.path.join(disk, "full.mp4"), None),
        ("removed folder", os.path.join(killed, "gone.mp4"),
         lambda: shutil.rmtree(killed))):
    reply = compress(app, output, meanwhile)
    print(f"{what}: {reply.get('_raw')}, left {os.listdir(disk)}")
    check(reply.get("result") == {"ok": False, "cancelled": False}
          and sorted(os.listdir(disk)) == ["filler", "p.jpg"]
          and not os.path.exists(output),
          f"a {what} fails the job, leaving nothing")
poster = app.invoke(VIDEO, "poster", {"path": job["input"], "output": os.path.join(
    disk, "p.jpg")}, timeout=POSTER_LIMIT + SLACK).get("result")
check(poster is False and sorted(os.listdir(disk)) == ["filler", "p.jpg"]
      and open(os.path.join(disk, "p.jpg")).read() == "the old poster",
      f"a poster to a full disk leaves the old one: {poster} "
      f"{os.listdir(disk)}")
os.remove(os.path.join(disk, "filler"))
reply = compress(app, os.path.join(disk, "room.mp4"))
check(reply.get("result") == {"ok": True, "cancelled": False},
      f"with room again the next job works: {reply.get('_raw')}")
app.invoke(WINDOW, "quit")
check(app.wait_for(lambda o: "exit" in o, what="exit").get("exit") == 0,
      "the last application quits")
app.close()
if check.failures:
    with open(os.path.join(session, "zelkoz.log")) as f:
        print(f.read()[-4000:], file=sys.stderr)
check.finish()
