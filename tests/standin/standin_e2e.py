#!/usr/bin/env python3
# Copyright 2026 The Zelkoz Authors. All rights reserved.
"""The engine stand-in and zelkoz-dart end to end: values, events, textures
and the view of a small program, under a private display."""

import base64
import hashlib
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from zkpeer import Check, Peer, strict_equal  # noqa: E402

ECHO = "standin_test/echo"
EVENTS = "standin_test/events"
ENGINE = "standin/engine"

check = Check()
peer = Peer(sys.argv[1], ["alpha", "beta gamma"])

hello = peer.hello()
check(hello["args"] == ["alpha", "beta gamma"], f"HELLO args: {hello}")
check(isinstance(hello["pid"], int) and hello["pid"] > 0, "HELLO pid")

# Every value type comes back unchanged: an integer stays one, a float stays
# one, typed lists keep their type.
values = [
    None, True, False, 0, -1, 2**31 - 1, -2**31, 2**31, 2**40, -2**63,
    2**63 - 1, 1.0, -0.5, 1e300, 5e-324, "", "ünï cødé ✓", "a\"b\\c\n",
    {"$uint8": base64.b64encode(bytes(range(256))).decode()},
    {"$uint8": ""},
    {"$int32": [1, -2, 2**31 - 1]},
    {"$int64": [2**40, -5]},
    {"$float64": [1.5, -2.0, 0.0]},
    {"$float32": [0.5, -4.0]},
    [1, "a", True, None, [2.0, []], {}],
    {"a": {"b": [1, 2.0]}, "": None},
    {"$map": [[1, "one"], [2.5, "x"], [None, [True]]]},
]
for value in values:
    reply = peer.invoke(ECHO, "echo", value)
    check("result" in reply and strict_equal(reply["result"], value),
          f"echo of {value!r} gave {reply['_raw']}")
# The printed form itself: 1.0 is never written as 1, 2^40 never as a float.
raw = peer.invoke(ECHO, "echo", [1.0, 2**40])["_raw"]
check('1.0' in raw and str(2**40) in raw and "e+" not in raw,
      f"number forms: {raw}")

reply = peer.invoke(ECHO, "fail", {"k": 1})
check(reply.get("error") == {"code": "E_TEST", "message": "failed as asked",
                             "details": {"k": 1}}, f"error reply: {reply}")
reply = peer.invoke(ECHO, "noSuchMethod")
check(reply.get("notImplemented") is True, f"not implemented: {reply}")
reply = peer.invoke("standin_test/nobody", "x")
check(reply.get("notImplemented") is True, f"unknown channel: {reply}")

# Events arrive in order after "listen", then the error, then the end.
reply = peer.request({"listen": EVENTS, "args": None})
check(reply.get("result", "missing") is None, f"listen reply: {reply}")
peer.result(ECHO, "emit", [1, "two", 3.0])
got = [peer.wait_for(lambda o: o.get("channel") == EVENTS, what="an event")
       for _ in range(5)]
check(strict_equal(got[0].get("event"), 1), f"event 1: {got[0]}")
check(strict_equal(got[1].get("event"), "two"), f"event 2: {got[1]}")
check(strict_equal(got[2].get("event"), 3.0), f"event 3: {got[2]}")
check(got[3].get("eventError") == {"code": "E_EVENT", "message": "event error",
                                   "details": 7}, f"error event: {got[3]}")
check(got[4].get("endOfStream") is True, f"end of stream: {got[4]}")
reply = peer.request({"cancel": EVENTS})
check("result" in reply, f"cancel reply: {reply}")

# The native side calls the Dart side, which answers with a null success.
check(peer.result(ECHO, "callBack", {"n": 1}) == "success", "call back")
call = peer.wait_for(lambda o: "methodCall" in o, what="a method call")
check(call == {"channel": ECHO, "methodCall": "fromNative", "args": {"n": 1},
               "_raw": call["_raw"]}, f"method call line: {call}")

# The texture is read through copy_pixels on the raster thread.
texture_id = peer.result(ECHO, "texture")
check(isinstance(texture_id, int) and texture_id > 2**32, f"id {texture_id}")
width, height = 64, 48
pattern = bytearray()
for y in range(height):
    for x in range(width):
        pattern += bytes([(x * 4) & 255, (y * 5) & 255, (x + y) & 255, 255])
png = os.path.join(os.environ.get("ZK_SESSION_DIR", "/tmp"), "pattern.png")
reply = peer.request({"texture": texture_id, "png": png})
check(reply.get("width") == width and reply.get("height") == height,
      f"texture size: {reply}")
check(reply.get("sha256") == hashlib.sha256(pattern).hexdigest(),
      f"texture pixels: {reply}")
check(reply.get("center") == [128, 120, 56, 255], f"center pixel: {reply}")
check(os.path.getsize(png) > 0, "texture PNG written")
threads = peer.result(ECHO, "textureThreads")
check(threads["calls"] >= 1 and threads["offMain"] is True,
      f"copy_pixels threads: {threads}")
stats = peer.result(ENGINE, "textureStats", {"id": texture_id})
check(stats["registered"] is True and stats["framesMarked"] >= 1
      and stats["pixelCopies"] >= 1, f"texture stats: {stats}")
reply = peer.invoke(ENGINE, "readTexture", {"id": 12345})
check(reply.get("error", {}).get("code") == "no_texture", f"no texture: {reply}")

# The view's window, shown at the first frame that zelkoz-dart asked for.
peer.result(ENGINE, "showTexture", {"id": texture_id})
state = peer.result(ENGINE, "viewState")
check(state["visible"] is True and state["title"] == "Stand-in test",
      f"view state: {state}")

# A malformed line changes nothing.
peer.send_raw("{not json")
bad = peer.wait_for(lambda o: "badRequest" in o, what="badRequest")
check(isinstance(bad["badRequest"], str), "badRequest text")
check(strict_equal(peer.result(ECHO, "echo", 5), 5), "still answering")

# A close request ends the program, which exits by itself.
peer.result(ENGINE, "closeWindow")
end = peer.wait_for(lambda o: "exit" in o or "signal" in o, what="the exit")
check(end.get("exit") == 0, f"program end: {end}")
check(peer.close() == 0, "zelkoz-dart exit status")
check.finish()
