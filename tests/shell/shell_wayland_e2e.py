#!/usr/bin/env python3
# Copyright 2026 The Zelkoz Authors. All rights reserved.
"""On Weston's headless backend, which offers no KDE decoration manager, the
window keeps its decorations."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from zkpeer import Check, Peer  # noqa: E402

check = Check()
check(os.environ.get("GDK_BACKEND") == "wayland", "running on Wayland")
peer = Peer(sys.argv[1])
peer.hello()
state = peer.result("standin/engine", "viewState")
check(state["decorated"] is True, f"decorated: {state}")
check(state["visible"] is True, f"visible: {state}")
peer.invoke("com.zelko.zelko_app/window", "quit")
end = peer.wait_for(lambda o: "exit" in o or "signal" in o, what="exit")
check(end.get("exit") == 0, f"exit: {end}")
peer.close()
check.finish()
