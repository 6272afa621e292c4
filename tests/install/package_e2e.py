#!/usr/bin/env python3
# Copyright 2026 The Zelkoz Authors. All rights reserved.
"""The Debian package holds what `cmake --install` of its Release tree
installs, Debian's checker finds nothing wrong with it, its binaries are
stripped with their debug files in the debug package, and apt would install
it with every dependency resolved. The application runs from it unpacked,
started as its desktop entry says: its own libraries come from the package
only, it plays the clip it was started with, takes its icon from the theme,
its X11 window has the class its desktop entry names, and a second launch
hands over to the first."""

import glob
import gzip
import os
import shlex
import shutil
import sys
import tempfile
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from zkpeer import (Check, Peer, run, wait_until, x_close, x_map_state,  # noqa
                    x_property, x_window)

APP_ID = "com.zelkoz.Zelkoz"
VIDEO = "zelko_desktop_video"
WINDOW = "com.zelko.zelko_app/window"
build = os.path.dirname(os.path.realpath(os.environ["ZK_BUNDLE_DIR"]))
tree = sys.argv[2]  # the Release tree that the package is made of
clip = os.path.join(os.environ["ZK_MEDIA_DIR"], "clip_320x240.mp4")
root = os.path.join(os.environ["ZK_SESSION_DIR"], "root")
debug_root = os.path.join(os.environ["ZK_SESSION_DIR"], "dbgsym")
deb = glob.glob(os.path.join(sys.argv[1], "*.deb"))[0]
ddeb = glob.glob(os.path.join(sys.argv[1], "*.ddeb"))[0]
check = Check()


def files(top):
    return {os.path.relpath(os.path.join(d, n), top): os.path.islink(
        os.path.join(d, n)) for d, _, names in os.walk(top) for n in names}


# The package's files are the install's: the bundle, the link, the entry,
# the icons at the usual sizes up to the bundled icon's 256, the metadata,
# the manual page and the copyright file and changelog.
with tempfile.TemporaryDirectory() as prefix:
    run(["cmake", "--install", tree, "--prefix", prefix])
    installed = files(prefix)
check(run(["dpkg-deb", "-x", deb, root]).returncode == 0, "unpacked")
usr = os.path.join(root, "usr")
packaged = {f"usr/{p}": link for p, link in installed.items()}
check(files(root) == packaged,
      f"package: {sorted(set(files(root).items()) ^ set(packaged.items()))}")
expected = {f"lib/zelkoz/{p}": False for p in files(f"{tree}/bundle")}
expected.update({f"share/icons/hicolor/{n}x{n}/apps/{APP_ID}.png": False
                 for n in (16, 22, 24, 32, 48, 64, 128, 256)})
expected.update({"bin/zelkoz": True, f"share/metainfo/{APP_ID}.metainfo.xml":
                 False, f"share/applications/{APP_ID}.desktop": False,
                 "share/man/man1/zelkoz.1.gz": False,
                 "share/doc/zelkoz/copyright": False,
                 "share/doc/zelkoz/changelog.gz": False})
check(installed == expected,
      f"installed: {sorted(set(installed) ^ set(expected))}")
check(os.readlink(f"{usr}/bin/zelkoz") == "../lib/zelkoz/zelkoz", "bin/zelkoz")
depends = run(["dpkg-deb", "-f", deb, "Depends"]).stdout
check(all(p in depends for p in (
    "libc6", "libgtk-3-0", "libgstreamer1.0-0", "gstreamer1.0-plugins-base",
    "gstreamer1.0-plugins-ugly", "gstreamer1.0-libav")), f"depends: {depends}")

# Debian's checker: not one error or warning in either package, with no tag
# left unshown.
lintian = run(["lintian", "--tag-display-limit", "0", "--fail-on",
               "error,warning", deb, ddeb], timeout=600)
check(lintian.returncode == 0 and not any(
    line[:2] in ("E:", "W:") for line in lintian.stdout.splitlines()),
    f"lintian: {lintian.returncode} {lintian.stdout}{lintian.stderr}")
version = run(["dpkg-deb", "-f", deb, "Version"]).stdout.strip()
with gzip.open(f"{usr}/share/doc/zelkoz/changelog.gz", "rt") as f:
    top = f.readline()
check(top.startswith(f"zelkoz ({version}) "), f"changelog: {top}")

# Every ELF file ships stripped of its debug information; the debug package
# holds it under the file's build id, and nothing else but the link to the
# package's documentation.
check(run(["dpkg-deb", "-x", ddeb, debug_root]).returncode == 0, "dbgsym")
elves = sorted(p for p in packaged if not packaged[p] and open(
    os.path.join(root, p), "rb").read(4) == b"\x7fELF")
debug_files = {"usr/share/doc/zelkoz-dbgsym": True}
for path in elves:
    sections = run(["readelf", "-SW", os.path.join(root, path)]).stdout
    build_id = run(["readelf", "-n", os.path.join(root, path)]).stdout
    build_id = build_id.split("Build ID: ")[1].split()[0]
    debug = f"usr/lib/debug/.build-id/{build_id[:2]}/{build_id[2:]}.debug"
    debug_files[debug] = False
    check(".debug_info" not in sections and ".symtab" not in sections and
          ".gnu_debuglink" in sections, f"{path} not stripped")
    check(".debug_info" in run(["readelf", "-SW", os.path.join(
        debug_root, debug)]).stdout, f"{path}: no debug information")
check(len(elves) == 1 + len(os.listdir(f"{tree}/bundle/lib")), f"ELF: {elves}")
unpacked = set(files(debug_root).items())
check(unpacked == set(debug_files.items()),
      f"debug package: {sorted(unpacked ^ set(debug_files.items()))}")
check(run(["dpkg-deb", "-f", ddeb, "Depends"]).stdout.strip() ==
      f"zelkoz (= {version})", "the debug package depends on its package")

# apt resolves every dependency from this system's archive (and what is
# installed); the simulation changes nothing.
apt = run(["apt-get", "install", "--simulate", "-q", os.path.abspath(deb)],
          timeout=300)
check(apt.returncode == 0 and f"Inst zelkoz ({version} " in apt.stdout,
      f"apt-get --simulate: {apt.returncode} {apt.stdout}{apt.stderr}")

libs = os.path.realpath(f"{usr}/lib/zelkoz/lib")
with open(f"{usr}/share/applications/{APP_ID}.desktop") as f:
    entry = dict(line.strip().split("=", 1) for line in f if "=" in line)
# hicolor's index.theme is in /usr/share; the package's icons are found once
# its share/ comes first. The package's bin/ comes first on the search path,
# where a launcher finds the entry's program.
env = dict(os.environ, XDG_DATA_DIRS=f"{usr}/share:/usr/share",
           PATH=f"{usr}/bin:{os.environ['PATH']}")
check(shutil.which(entry["TryExec"], path=env["PATH"]) == f"{usr}/bin/zelkoz",
      f"TryExec {entry['TryExec']}")


def exec_line(uris):
    """The entry's command line for these URIs, as a launcher expands it."""
    argv = []
    for word in shlex.split(entry["Exec"]):
        if word in ("%U", "%u"):
            argv += uris if word == "%U" else uris[:1]
        else:
            check("%" not in word.replace("%%", ""), f"field code in {word}")
            argv.append(word.replace("%%", "%"))
    return argv


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


# Opened from a file manager: the clip's URI reaches the Dart side, which
# plays what it was given.
uri = "file://" + urllib.parse.quote(clip)
program, *args = exec_line([uri])
peer = Peer(program, args, env=env)
hello = peer.hello()
pid = hello["pid"]
check(hello["args"] == [uri], f"arguments: {hello['args']}")
check_origins(pid)
player = peer.result(VIDEO, "playerCreate", {"uri": hello["args"][0]})
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
second = run(exec_line([]), env=env, timeout=30)
check(second.returncode == 0, f"second launch: {second}")
check(wait_until(lambda: x_map_state(window) == "IsViewable"), "shown again")
check_origins(pid)
peer.invoke(WINDOW, "quit")
check(peer.wait_for(lambda o: "exit" in o, what="exit")["exit"] == 0, "exit")
peer.close()
check.finish()
