# Copyright 2026 The Zelkoz Authors. All rights reserved.
"""Drives zelkoz-dart (the Dart-side peer) from a test: one JSON request per
line in, one JSON line per happening out."""

import json
import os
import queue
import subprocess
import sys
import threading
import time


def strict_equal(a, b):
    """Equality that tells 1 from 1.0 and True from 1."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(strict_equal(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(strict_equal(x, y) for x, y in zip(a, b))
    return a == b


class Peer:
    def __init__(self, program, args=(), peer_args=(), env=None, timeout=30,
                 stderr_path=None):
        tool = os.environ.get("ZK_DART_PEER", "zelkoz-dart")
        cmd = [tool, "--timeout", str(timeout), *peer_args, "--", program, *args]
        # The program's own output goes to zelkoz-dart's standard error.
        self.stderr_path = stderr_path
        stderr = open(stderr_path, "w") if stderr_path else None
        self.proc = subprocess.Popen(
            cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
            env=env, bufsize=1, stderr=stderr)
        if stderr:
            stderr.close()
        self.lines = queue.Queue()
        self.seen = []  # every line read, for diagnostics
        self.pending = []  # lines read but not yet taken
        self.next_id = 1
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def send(self, request):
        self.proc.stdin.write(json.dumps(request) + "\n")
        self.proc.stdin.flush()

    def send_raw(self, text):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()

    def wait_for(self, predicate, timeout=20, what="a line"):
        """Returns the first unread line (parsed) matching predicate."""
        for i, (raw, obj) in enumerate(self.pending):
            if predicate(obj):
                del self.pending[i]
                return obj
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"timed out waiting for {what}; seen: "
                                     + "\n".join(self.seen[-30:]))
            try:
                raw = self.lines.get(timeout=left)
            except queue.Empty:
                continue
            if raw is None:
                raise AssertionError(f"zelkoz-dart ended before {what}; seen: "
                                     + "\n".join(self.seen[-30:]))
            self.seen.append(raw)
            obj = json.loads(raw)
            obj["_raw"] = raw
            if predicate(obj):
                return obj
            self.pending.append((raw, obj))

    def request(self, body, timeout=20):
        rid = self.next_id
        self.next_id += 1
        self.send({"id": rid, **body})
        return self.wait_for(lambda o: o.get("id") == rid, timeout,
                             f"the reply to {body}")

    def invoke(self, channel, method, args=None, timeout=20):
        return self.request({"invoke": channel, "method": method, "args": args},
                            timeout)

    def result(self, channel, method, args=None, timeout=20):
        reply = self.invoke(channel, method, args, timeout)
        if "result" not in reply:
            raise AssertionError(f"{channel} {method}: {reply['_raw']}")
        return reply["result"]

    def stderr_text(self):
        with open(self.stderr_path) as f:
            return f.read()

    def hello(self, timeout=20):
        return self.wait_for(lambda o: "hello" in o, timeout, "HELLO")["hello"]

    def close(self, timeout=30):
        """Ends standard input and returns zelkoz-dart's exit status."""
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return self.proc.wait()


class Check:
    """Collects failures so one run reports all of them."""

    def __init__(self):
        self.failures = 0
        self.passes = 0

    def __call__(self, condition, what):
        if condition:
            self.passes += 1
        else:
            self.failures += 1
            print(f"FAIL: {what}", file=sys.stderr, flush=True)

    def finish(self):
        print(f"{self.passes} passed, {self.failures} failed", flush=True)
        sys.exit(1 if self.failures else 0)


def run(cmd, **kwargs):
    return subprocess.run(cmd, capture_output=True, text=True, **kwargs)


def x_window(pid=None, name=None, unmapped=True, wait_ms=5000):
    """The id of a top-level X window of the process (or title), or None."""
    cmd = [os.environ.get("ZK_X_CLOSE", "zk-x-close"), "--find-only",
           "--wait", str(wait_ms)]
    if pid is not None:
        cmd += ["--pid", str(pid)]
    if name is not None:
        cmd += ["--name", name]
    if unmapped:
        cmd.append("--unmapped")
    out = run(cmd).stdout.split()
    return out[0] if out else None


def x_close(window):
    """Sends a window manager's close request to the window."""
    return run([os.environ.get("ZK_X_CLOSE", "zk-x-close"), "--id", window,
                "--unmapped"]).returncode == 0


def x_map_state(window):
    out = run(["xwininfo", "-id", window]).stdout
    for line in out.splitlines():
        if "Map State:" in line:
            return line.split(":", 1)[1].strip()
    return None


def x_property(window, name):
    return run(["xprop", "-id", window, name]).stdout


def wait_until(predicate, timeout=10, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()
