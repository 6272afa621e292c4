#!/usr/bin/env python3
# Copyright 2026 The Zelkoz Authors. All rights reserved.
"""One instance per session bus: a second launch brings the first window
back and exits 0; a bus nobody answers makes registration fail."""

import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from zkpeer import (Check, Peer, run, wait_until, x_close, x_map_state,  # noqa
                    x_window)

WINDOW = "com.zelko.zelko_app/window"
zelkoz = sys.argv[1]
check = Check()

peer = Peer(zelkoz, ["first"])
hello = peer.hello()
window = x_window(pid=hello["pid"])
peer.result(WINDOW, "setHideOnClose", True)
x_close(window)
peer.wait_for(lambda o: o.get("methodCall") == "closedToTray", what="tray")
check(wait_until(lambda: x_map_state(window) == "IsUnMapped"), "hidden")

# The second process forwards its activation and ends; its arguments reach
# no one, so no second HELLO arrives.
second = run([zelkoz, "second", "launch"], timeout=30)
check(second.returncode == 0, f"second launch status {second.returncode}: "
      f"{second.stderr}")
check(wait_until(lambda: x_map_state(window) == "IsViewable"),
      "the first window is back")
peer.request({"wait": 500})
check(not any("hello" in o for _, o in peer.pending), "no second HELLO")
check(peer.proc.poll() is None, "the first instance runs on")
peer.invoke(WINDOW, "quit")
end = peer.wait_for(lambda o: "exit" in o or "signal" in o, what="exit")
check(end.get("exit") == 0, f"first instance exit: {end}")
peer.close()

# A bus on which the id cannot be registered. (With no bus at all GLib runs
# the application as a plain, non-unique one: that is no failure.) This bus
# refuses the application's name by policy, as a locked-down session would.
session_dir = os.environ["ZK_SESSION_DIR"]
socket = os.path.join(session_dir, "refusing-bus")
config = os.path.join(session_dir, "refusing-bus.conf")
with open(config, "w") as f:
    f.write(f"""<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
    <deny own="com.zelkoz.Zelkoz"/>
  </policy>
</busconfig>
""")
bus = subprocess.Popen(["dbus-daemon", "--nofork", "--print-address",
                        f"--config-file={config}"], stdout=subprocess.PIPE,
                       text=True)
address = bus.stdout.readline().strip()
env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=address)
refused = run([zelkoz, "x"], env=env, timeout=30)
bus.terminate()
bus.wait()
check(refused.returncode == 1, f"status when refused: {refused.returncode}")
check("Failed to register: " in refused.stderr, f"warning: {refused.stderr}")
check(x_window(name="Zelkoz", wait_ms=200) is None, "no window")

check.finish()
