#!/usr/bin/env python3
# Copyright 2026 The Zelkoz Authors. All rights reserved.
"""The Debian package holds what `cmake --install` installs, and the
application runs from it unpacked: its own libraries come from the package
only, it plays a clip, takes its icon from the theme, its X11 window has the
class its desktop entry names, and a second launch hands over to the first."""

import glob
import os
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from zkpeer import (Check, Peer, run, wait_until, x_close, x_map_state,  # noqa
                    x_property, x_window)

APP_ID = "com.zelkoz.Zelkoz"
VIDEO = "zelko_desktop_video"
WINDOW = "com.zelko.zelko_app/window"
build = os.path.dirname(os.path.realpath(os.environ["ZK_BUNDLE_DIR"]))
clip = os.path.join(os.environ["ZK_MEDIA_DIR"], "clip_320x240.mp4")
root = os.path.join(os.environ["ZK_SESSION_DIR"], "root")
deb = glob.glob(os.path.join(sys.argv[1], "*.deb"))[0]
check = Check()


def files(top):
    return {os.path.relpath(os.path.join(d, n), top): os.path.islink(
        os.path.join(d, n)) for d, _, names in os.walk(top) for n in names}


# The package's files are the install's: the bundle, the link, the entry,
# the icons at the usual sizes up to the bundled icon's 256, the metadata.
with tempfile.TemporaryDirectory() as prefix:
    run(["cmake", "--install", build, "--prefix", prefix])
    installed = files(prefix)
check(run(["dpkg-deb", "-x", deb, root]).returncode == 0, "unpacked")
usr = os.path.join(root, "usr")
packaged = {f"usr/{p}": link for p, link in installed.items()}
check(files(root) == packaged,
      f"package: {sorted(set(files(root).items()) ^ set(packaged.items()))}")
expected = {f"lib/zelkoz/{p}": False for p in files(f"{build}/bundle")}
expected.update({f"share/icons/hicolor/{n}x{n}/apps/{APP_ID}.png": False
                 for n in (16, 22, 24, 32, 48, 64, 128, 256)})
expected.update({"bin/zelkoz": True, f"share/metainfo/{APP_ID}.metainfo.xml":
                 False, f"share/applications/{APP_ID}.desktop": False})
check(installed == expected,
      f"installed: {sorted(set(installed) ^ set(expected))}")
check(os.readlink(f"{usr}/bin/zelkoz") == "../lib/zelkoz/zelkoz", "bin/zelkoz")
depends = run(["dpkg-deb", "-f", deb, "Depends"]).stdout
check(all(p in depends for p in (
    "libc6", "libgtk-3-0", "libgstreamer1.0-0", "gstreamer1.0-plugins-base",
    "gstreamer1.0-plugins-ugly", "gstreamer1.0-libav")), f"depends: {depends}")

libs = os.path.realpath(f"{usr}/lib/zelkoz/lib")
with open(f"{usr}/share/applications/{APP_ID}.desktop") as f:
    entry = dict(line.strip().split("=", 1) for line in f if "=" in line)
# hicolor's index.theme is in /usr/share; the package's icons are found once
# its share/ comes first.
env = dict(os.environ, XDG_DATA_DIRS=f"{usr}/share:/usr/share")


def check_origins(pid):
    """Every library of the bundle is mapped from the package, nothing from
    the build tree."""
    with open(f"/proc/{pid}/maps") as f:
        mapped = {line.split()[-1] for line in f if ".so" in line}
    ours = {p for p in mapped if os.path.basename(p) in os.listdir(libs)}
    check({os.path.dirname(p) for p in ours} == {libs} and
          len(ours) == len(os.listdir(libs)), f"libraries: {sorted(ours)}")
    from_build = sorted(p for p in mapped if p.startswith(build + "/"))
    check(not from_build, f"loaded from the build tree: {from_build}")


peer = Peer(f"{usr}/bin/zelkoz", env=env)
pid = peer.hello()["pid"]
check_origins(pid)
player = peer.result(VIDEO, "playerCreate", {"uri": "file://" + clip})
events = f"{VIDEO}/events_{player}"
peer.request({"listen": events})
for name in ("initialized", "completed"):
    event = peer.wait_for(lambda o: o.get("channel") == events and
                          o.get("event", {}).get("event") == name, 30, name)
    if name == "initialized":
        check(event["event"]["width"] == 320, f"initialized: {event}")
        peer.result(VIDEO, "playerPlay", {"id": player})
check(peer.request({"texture": player}).get("height") == 240, "a frame")

icon = peer.result(WINDOW, "notificationIcon")
check(icon == APP_ID == entry["Icon"], f"notification icon: {icon}")
window = x_window(pid=pid)
wm_class = x_property(window, "WM_CLASS")
check(wm_class.rstrip().endswith(f', "{entry["StartupWMClass"]}"'),
      f"StartupWMClass {entry['StartupWMClass']}: {wm_class}")

# Hidden to the tray; a second launch brings the first window back.
peer.result(WINDOW, "setHideOnClose", True)
x_close(window)
check(wait_until(lambda: x_map_state(window) == "IsUnMapped"), "hidden")
second = run([f"{usr}/bin/zelkoz"], env=env, timeout=30)
check(second.returncode == 0, f"second launch: {second}")
check(wait_until(lambda: x_map_state(window) == "IsViewable"), "shown again")
check_origins(pid)
peer.invoke(WINDOW, "quit")
check(peer.wait_for(lambda o: "exit" in o, what="exit")["exit"] == 0, "exit")
peer.close()
check.finish()
