# Copyright 2026 The Zelkoz Authors. All rights reserved.
"""What the hostile-media test and the soak share: many calls in flight on one
peer, the resources of the application's process, and a start of the
application in which file permissions apply although the tests run as root."""

import os
import shutil
import time

VIDEO = "zelko_desktop_video"
WINDOW = "com.zelko.zelko_app/window"

# Root reads any file whatever its mode; without these two capabilities a
# root process is held to the permission bits like anyone else, while it
# keeps its user id (and so the session bus and the display).
NO_DAC = ["setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"]


def held_to_permissions(zelkoz):
    """(program, args) that start zelkoz so that file permissions apply to
    it: as it is for an ordinary user, without the two capabilities for
    root. None when that cannot be done here."""
    if os.geteuid() != 0:
        return zelkoz, []
    if shutil.which(NO_DAC[0]) is None:
        return None
    return NO_DAC[0], NO_DAC[1:] + [zelkoz]


class InFlight:
    """Requests sent without waiting, and their replies as they come."""

    def __init__(self, peer):
        self.peer = peer
        self.sent = {}  # id -> (tag, body, monotonic time sent)

    def send(self, tag, body):
        rid = self.peer.next_id
        self.peer.next_id += 1
        self.peer.send({"id": rid, **body})
        self.sent[rid] = (tag, body, time.monotonic())
        return rid

    def invoke(self, tag, method, args):
        return self.send(tag, {"invoke": VIDEO, "method": method,
                               "args": args})

    def collect(self, timeout, what="replies"):
        """{tag: (reply, seconds)} for every request sent, waiting up to
        timeout for all of them; missing replies are left out."""
        replies = {}
        deadline = time.monotonic() + timeout
        while len(replies) < len(self.sent):
            left = deadline - time.monotonic()
            if left <= 0:
                break
            try:
                reply = self.peer.wait_for(
                    lambda o: o.get("id") in self.sent, left, what)
            except AssertionError:
                break
            tag, _, sent_at = self.sent[reply["id"]]
            replies[tag] = (reply, time.monotonic() - sent_at)
        self.sent = {rid: entry for rid, entry in self.sent.items()
                     if entry[0] not in replies}
        return replies

    def missing(self):
        return [entry[0] for entry in self.sent.values()]


class Proc:
    """Figures of one process from /proc."""

    def __init__(self, pid):
        self.pid = pid

    def status(self, key):
        with open(f"/proc/{self.pid}/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
        return None

    def rss_kb(self):
        return self.status("VmRSS")

    def peak_kb(self):
        return self.status("VmHWM")

    def threads(self):
        return self.status("Threads")

    def fds(self):
        return len(os.listdir(f"/proc/{self.pid}/fd"))

    def figures(self):
        return {"rss_kb": self.rss_kb(), "threads": self.threads(),
                "fds": self.fds()}


def wait_for_event(peer, channel, timeout):
    """The next event or event error on channel, or None."""
    try:
        return peer.wait_for(lambda o: o.get("channel") == channel, timeout,
                             f"an event on {channel}")
    except AssertionError:
        return None


def settle(proc, timeout=10, step=0.2):
    """Waits until the thread count stops falling (worker threads and
    GStreamer's pooled threads end a little after their work), then returns
    the figures."""
    deadline = time.monotonic() + timeout
    last = proc.figures()
    stable = 0
    while time.monotonic() < deadline and stable < 5:
        time.sleep(step)
        now = proc.figures()
        stable = stable + 1 if now["threads"] == last["threads"] else 0
        last = now
    return last
