#!/usr/bin/env python3
# Copyright 2026 The Zelkoz Authors. All rights reserved.
"""The application shell under a private X display: entry-point arguments,
the window hidden until the first frame, its size, title and background,
close to tray, the window channel and quitting."""

import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from zkpeer import (Check, Peer, run, wait_until, x_close, x_map_state,  # noqa
                    x_property, x_window)

WINDOW = "com.zelko.zelko_app/window"
ENGINE = "standin/engine"
APP_ID = "com.zelkoz.Zelkoz"

zelkoz = sys.argv[1]
bundle = os.path.dirname(zelkoz)
check = Check()

# A magenta root: a window that never paints shows it, where Xvfb's own
# black root would pass for the view's black background.
root_colour = os.path.join(os.environ["ZK_SESSION_DIR"], "magenta.png")
run(["convert", "-size", "8x8", "xc:#ff00ff", root_colour])
run(["display", "-window", "root", root_colour])


def start(args=(), hold=False, program=zelkoz):
    peer = Peer(program, list(args), ["--hold-first-frame"] if hold else [])
    hello = peer.hello()
    window = x_window(pid=hello["pid"])
    return peer, hello, window


def stop(peer):
    peer.invoke(WINDOW, "quit")
    end = peer.wait_for(lambda o: "exit" in o or "signal" in o, what="exit")
    peer.close()
    return end


# Entry-point arguments: none gives an empty list, two give exactly those.
peer, hello, window = start()
check(hello["args"] == [], f"no arguments: {hello['args']}")
stop(peer)
peer, hello, window = start(["--first", "second arg"])
check(hello["args"] == ["--first", "second arg"], f"two args: {hello['args']}")
stop(peer)

# Hidden until the first frame, yet realized and with the plugins answering.
peer, hello, window = start(hold=True)
check(window is not None, "the window exists before the first frame")
check(x_map_state(window) == "IsUnMapped", "unmapped before the first frame")
state = peer.result(ENGINE, "viewState")
check(state["visible"] is False, f"not visible before first frame: {state}")
capability = peer.invoke("restart", "restartCapability")
check("result" in capability, f"restart answers early: {capability}")
encoders = peer.invoke("zelko_desktop_video", "encoders")
check("result" in encoders, f"video plugin answers early: {encoders}")
peer.result(ENGINE, "drawFrame")
check(wait_until(lambda: x_map_state(window) == "IsViewable"),
      "mapped after the first frame")
state = peer.result(ENGINE, "viewState")
check(state["visible"] is True and state["title"] == "Zelkoz",
      f"visible, titled: {state}")
check((state["width"], state["height"]) == (1280, 720),
      f"default size: {state}")
check((state["minWidth"], state["minHeight"]) == (360, 560),
      f"minimum size: {state}")
hints = x_property(window, "WM_NORMAL_HINTS")
check("minimum size: 360 by 560" in hints, f"size hints: {hints}")
check(run(["xprop", "-id", window, "WM_NAME"]).stdout.strip().endswith(
    '"Zelkoz"'), "X title")
shot = os.path.join(os.environ["ZK_SESSION_DIR"], "shell.png")
run(["import", "-window", "root", shot])
pixel = run(["convert", shot, "-format", "%[pixel:p{640,360}]", "info:"]).stdout
beside = run(["convert", shot, "-format", "%[pixel:p{1900,1060}]",
              "info:"]).stdout
check(pixel in ("black", "srgb(0,0,0)", "gray(0)")
      and beside in ("magenta", "fuchsia", "srgb(255,0,255)"),
      f"background: {pixel}, the root beside the window: {beside}")

# No icon theme has our icon here: the bundle's fallback file is used.
icon = peer.result(WINDOW, "notificationIcon")
expected_icon = os.path.join(bundle, "data", "flutter_assets", "assets",
                             "app_icons", "default.png")
check(icon == expected_icon, f"notification icon: {icon}")
check(state["hasIcon"] is True and state["iconName"] is None,
      f"window icon from the file: {state}")
check("_NET_WM_ICON(CARDINAL) =" in x_property(window, "_NET_WM_ICON"),
      "X icon set")

# Malformed setHideOnClose: not implemented, the flag stays false.
for args in (1, "true", None, {"value": True}):
    reply = peer.invoke(WINDOW, "setHideOnClose", args)
    check(reply.get("notImplemented") is True, f"setHideOnClose {args!r}")
for name in ("noSuchMethod", "Show", "QUIT"):
    reply = peer.invoke(WINDOW, name)
    check(reply.get("notImplemented") is True, f"unknown method {name}")

# Close to tray: hidden, one "closedToTray", the process goes on.
check(peer.result(WINDOW, "setHideOnClose", True) is None, "hide on close")
check(peer.invoke(WINDOW, "setHideOnClose", 0).get("notImplemented") is True,
      "integer refused")
check(x_close(window), "close request sent")
call = peer.wait_for(lambda o: o.get("methodCall") == "closedToTray",
                     what="closedToTray")
check(call["channel"] == WINDOW and call["args"] is None, f"call: {call}")
check(wait_until(lambda: x_map_state(window) == "IsUnMapped"),
      "hidden by the close")
peer.request({"wait": 300})
check(not any(o.get("methodCall") == "closedToTray"
              for _, o in peer.pending), "exactly one closedToTray")
check(peer.proc.poll() is None and "result" in peer.invoke(WINDOW, "show",
                                                           "startup-1_TIME0"),
      "still running; show answers")
check(wait_until(lambda: x_map_state(window) == "IsViewable"),
      "shown again by show")
# GDK drops the property when it maps a withdrawn window again, so the id
# shows on a window that is already visible.
check("result" in peer.invoke(WINDOW, "show", "startup-2_TIME0"), "show again")
check(wait_until(lambda: "startup-2_TIME0" in x_property(window,
                                                          "_NET_STARTUP_ID")),
      "startup id set: " + x_property(window, "_NET_STARTUP_ID"))
x_close(window)
peer.wait_for(lambda o: o.get("methodCall") == "closedToTray",
              what="second closedToTray")
check(wait_until(lambda: x_map_state(window) == "IsUnMapped"), "hidden again")
check("result" in peer.invoke(WINDOW, "show", 42), "show with an integer")
check(wait_until(lambda: x_map_state(window) == "IsViewable"),
      "shown by show with an integer")
# Off again: the next close request ends the application with status 0.
peer.result(WINDOW, "setHideOnClose", False)
x_close(window)
end = peer.wait_for(lambda o: "exit" in o or "signal" in o, what="exit")
check(end.get("exit") == 0, f"close without hide ends with 0: {end}")
check(peer.close() == 0, "zelkoz-dart status")

# "quit" while hidden: the reply comes, then the process ends with 0.
peer, hello, window = start()
peer.result(WINDOW, "setHideOnClose", True)
x_close(window)
peer.wait_for(lambda o: o.get("methodCall") == "closedToTray", what="tray")
reply = peer.invoke(WINDOW, "quit")
check(reply.get("result", "missing") is None, f"quit reply: {reply}")
end = peer.wait_for(lambda o: "exit" in o or "signal" in o, what="exit")
check(end.get("exit") == 0, f"quit exit: {end}")
peer.close()

# A theme with our icon: the name is used, for the window as for
# notifications. The user's own hicolor folder extends the system theme.
icons = os.path.join(os.environ["XDG_DATA_HOME"], "icons", "hicolor",
                     "48x48", "apps")
os.makedirs(icons, exist_ok=True)
shutil.copy(expected_icon, os.path.join(icons, APP_ID + ".png"))
peer, hello, window = start()
check(peer.result(WINDOW, "notificationIcon") == APP_ID, "themed icon name")
state = peer.result(ENGINE, "viewState")
check(state["iconName"] == APP_ID, f"window icon by name: {state}")
stop(peer)
os.remove(os.path.join(icons, APP_ID + ".png"))

# A bundle without the icon file: still the bundle path, and no window icon.
copy = os.path.join(os.environ["ZK_SESSION_DIR"], "bundle-copy")
shutil.copytree(bundle, copy, symlinks=True)
os.remove(os.path.join(copy, "data", "flutter_assets", "assets", "app_icons",
                       "default.png"))
peer, hello, window = start(program=os.path.join(copy, "zelkoz"))
icon = peer.result(WINDOW, "notificationIcon")
check(icon == os.path.join(copy, "data", "flutter_assets", "assets",
                           "app_icons", "default.png"),
      f"missing file still named: {icon}")
state = peer.result(ENGINE, "viewState")
check(state["hasIcon"] is False, f"no window icon: {state}")
stop(peer)

check.finish()
