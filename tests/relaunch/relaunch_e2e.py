#!/usr/bin/env python3
# Copyright 2026 The Zelkoz Authors. All rights reserved.
"""The restart channel with the real application: the capability report, a
relaunch of the same process, and the ways a relaunch is refused or fails."""

import os
import shutil
import stat
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from zkpeer import (Check, Peer, run, wait_until, x_close, x_map_state,  # noqa
                    x_window)

RESTART = "restart"
WINDOW = "com.zelko.zelko_app/window"
VIDEO = "zelko_desktop_video"
CAPABILITY_KEYS = ["fullProcessRestart", "flutterEngineRestart",
                   "notificationFallback", "engineRestartConfigured",
                   "platformDefaultMode", "reason"]
CAPABILITY = {"fullProcessRestart": True, "flutterEngineRestart": False,
              "notificationFallback": False, "engineRestartConfigured": False,
              "platformDefaultMode": "process", "reason": None}

zelkoz = sys.argv[1]
media = os.environ.get("ZK_MEDIA_DIR", "")
session = os.environ["ZK_SESSION_DIR"]
check = Check()


def bundle_copy(name):
    """A private copy of the bundle, whose executable the test may change."""
    copy = os.path.join(session, name)
    shutil.copytree(os.path.dirname(zelkoz), copy, symlinks=True)
    return os.path.join(copy, "zelkoz")


def capability_ok(peer):
    reply = peer.invoke(RESTART, "restartCapability")
    result = reply.get("result")
    raw = reply["_raw"]
    order = [raw.index(f'"{k}"') for k in CAPABILITY_KEYS]
    return result == CAPABILITY and order == sorted(order)


def next_hello(peer, timeout=20):
    return peer.wait_for(lambda o: "hello" in o, timeout, "a new HELLO")["hello"]


def quit_app(peer):
    peer.invoke(WINDOW, "quit")
    end = peer.wait_for(lambda o: "exit" in o or "signal" in o, what="exit")
    peer.close()
    return end


def runs_zelkoz(pid):
    """Whether pid runs the bundle's zelkoz in this session (other tests may
    run the same executable in sessions of their own at the same time)."""
    try:
        if os.readlink(f"/proc/{pid}/exe") != os.path.realpath(zelkoz):
            return False
        with open(f"/proc/{pid}/environ", "rb") as f:
            environment = f.read().split(b"\0")
    except OSError:
        return False
    return f"ZK_SESSION_DIR={session}".encode() in environment


def error_code(reply):
    return reply.get("error", {}).get("code")


# A relaunch replaces the same process: the same pid says HELLO again, with
# no arguments although the first start had some.
peer = Peer(zelkoz, ["--first", "start"])
first = peer.hello()
check(first["args"] == ["--first", "start"], f"first args {first}")
check(capability_ok(peer), "capability report, in order")
started = time.monotonic()
reply = peer.invoke(RESTART, "relaunch")
check(reply.get("result") == "ok", f"plain relaunch reply: {reply}")
# While the restart is pending: the report is the same, a bad mode is still
# refused as unsupported, a good one as already in progress.
check(capability_ok(peer), "capability report while pending")
check(error_code(peer.invoke(RESTART, "relaunch", {"mode": "Process"}))
      == "UNSUPPORTED_RESTART_MODE", "other letter case refused while pending")
check(error_code(peer.invoke(RESTART, "relaunch", {"mode": "engine"}))
      == "UNSUPPORTED_RESTART_MODE", "other mode refused while pending")
check(error_code(peer.invoke(RESTART, "relaunch"))
      == "RESTART_ALREADY_IN_PROGRESS", "second relaunch in progress")
second = next_hello(peer)
elapsed = time.monotonic() - started
check(second["pid"] == first["pid"], f"same process: {first} {second}")
check(second["args"] == [], f"no arguments after the restart: {second}")
check(elapsed >= 0.1, f"restart came {elapsed:.3f} s after the request")
peer.request({"wait": 400})
check(not any("hello" in o for _, o in peer.pending), "exactly one restart")

# Structured replies for both accepted modes; an integer mode counts as the
# default; a list of arguments leaves both defaults.
for args, expected in (
        ({"mode": "process", "structuredResult": True},
         {"success": True, "mode": "process"}),
        ({"mode": "platformDefault", "structuredResult": True},
         {"success": True, "mode": "process"}),
        ({"mode": 3, "structuredResult": "yes"}, "ok"),
        (["process", True], "ok")):
    reply = peer.invoke(RESTART, "relaunch", args)
    check(reply.get("result") == expected, f"relaunch {args}: {reply}")
    hello = next_hello(peer)
    check(hello["pid"] == first["pid"], f"restart {args} kept the pid")
check(quit_app(peer).get("exit") == 0, "quit after restarts")

# No execute permission: refused, and accepted again once it is back.
exe = bundle_copy("no-exec")
peer = Peer(exe)
peer.hello()
os.chmod(exe, 0o644)
reply = peer.invoke(RESTART, "relaunch")
check(reply.get("error") == {"code": "RESTART_FAILED",
                             "message": "Executable not accessible",
                             "details": None}, f"not executable: {reply}")
os.chmod(exe, 0o755)
check(peer.invoke(RESTART, "relaunch").get("result") == "ok", "accepted again")
next_hello(peer)
check(quit_app(peer).get("exit") == 0, "quit")

# The executable replaced on disk while running: the new file starts.
exe = bundle_copy("replaced")
marker = os.path.join(session, "new-file-ran")
peer = Peer(exe)
first = peer.hello()
replacement = exe + ".new"
with open(replacement, "w") as f:
    f.write(f"#!/bin/sh\ntouch '{marker}'\nexec '{zelkoz}' \"$@\"\n")
os.chmod(replacement, 0o755)
os.rename(replacement, exe)
check(peer.invoke(RESTART, "relaunch").get("result") == "ok", "relaunch")
hello = next_hello(peer)
check(os.path.exists(marker) and hello["pid"] == first["pid"],
      "the replacement file was started in the same process")
check(quit_app(peer).get("exit") == 0, "quit")

# The executable deleted between the reply and the restart: logged, and the
# application keeps running and answering.
exe = bundle_copy("deleted")
log = os.path.join(session, "deleted.log")
peer = Peer(exe, stderr_path=log)
peer.hello()
reply = peer.invoke(RESTART, "relaunch")
os.remove(exe)
check(reply.get("result") == "ok", f"accepted before the delete: {reply}")
peer.request({"wait": 500})
check("relaunch: executable not accessible: " in peer.stderr_text(),
      "the failure is logged")
check(not any("hello" in o for _, o in peer.pending), "no restart happened")
check(capability_ok(peer), "still answering")
check(error_code(peer.invoke(RESTART, "relaunch")) == "RESTART_FAILED",
      "a later request sees the missing file")
check(quit_app(peer).get("exit") == 0, "quit")

# A restart from the tray with a player and a compression running leaves one
# process and one instance behind.
peer = Peer(zelkoz)
first = peer.hello()
window = x_window(pid=first["pid"])
peer.result(WINDOW, "setHideOnClose", True)
x_close(window)
peer.wait_for(lambda o: o.get("methodCall") == "closedToTray", what="tray")
clip = os.path.join(media, "clip_960x540.mp4")
player = peer.result(VIDEO, "playerCreate", {"uri": "file://" + clip})
events = f"{VIDEO}/events_{player}"
peer.request({"listen": events})
ready = peer.wait_for(lambda o: o.get("channel") == events, timeout=30,
                      what="the player's first event")
check(ready.get("event", {}).get("event") == "initialized",
      f"the player opened: {ready.get('_raw')}")
check("result" in peer.invoke(VIDEO, "playerPlay", {"id": player}), "playing")
peer.request({"listen": f"{VIDEO}/compress"})
compress_id = peer.next_id
peer.next_id += 1
peer.send({"id": compress_id, "invoke": VIDEO, "method": "compress", "args": {
    "input": clip, "output": os.path.join(session, "restart-out.mp4"),
    "width": 640, "height": 360, "durationMs": 5000, "hasAudio": True}})
progress = peer.wait_for(lambda o: o.get("channel") == f"{VIDEO}/compress"
                         or o.get("id") == compress_id, timeout=30,
                         what="the compression's progress")
check(progress.get("channel") == f"{VIDEO}/compress",
      f"the compression runs: {progress.get('_raw')}")
check(peer.invoke(RESTART, "relaunch").get("result") == "ok", "relaunch")
hello = next_hello(peer)
check(hello["pid"] == first["pid"], "same process after the restart")
window = x_window(pid=hello["pid"])
check(window is not None and wait_until(
    lambda: x_map_state(window) == "IsViewable"), "the new window shows")



processes = [p for p in os.listdir("/proc") if p.isdigit() and runs_zelkoz(p)]
check(processes == [str(first["pid"])], f"one process: {processes}")
second = run([zelkoz, "again"], timeout=30)
check(second.returncode == 0, "a further launch is forwarded to the instance")
peer.request({"wait": 300})
check(not any("hello" in o for _, o in peer.pending), "and starts nothing")
check(quit_app(peer).get("exit") == 0, "quit")

check.finish()
