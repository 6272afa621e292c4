// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "fake_engine.h"

#include <glib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <deque>

#include "raw_wire.h"

namespace fake_engine {

namespace {

using raw::Bytes;

constexpr int kProtocolBroken = 10;

// Connects and says HELLO; the socket, or -1.
int Connect(const std::vector<std::string>& args) {
  const char* path = getenv("FLUTTER_LINUX_PEER");
  if (path == nullptr) {
    return -1;
  }
  int fd = raw::ConnectUnix(path);
  if (fd >= 0 && !raw::WriteAll(fd, raw::HelloFrame(getpid(), args))) {
    close(fd);
    return -1;
  }
  return fd;
}

Bytes TextureReply() {
  Bytes pixels = raw::Hex("ff 00 00 ff  00 ff 00 ff  00 00 ff ff  ff ff ff 80");
  return raw::Cat({raw::Hex("00 0d 03"), raw::Str("width"), raw::I32(2),
                   raw::Str("height"), raw::I32(2), raw::Str("pixels"),
                   raw::Hex("08 10"), pixels});
}

// Reads frames until the REPLY |id|; the peer may have sent more requests
// meanwhile, which are kept in |backlog| for later.
bool AwaitReply(int fd,
                uint32_t id,
                std::deque<raw::RawFrame>* backlog,
                raw::RawFrame* reply) {
  raw::RawFrame frame;
  while (raw::ReadFrameBlocking(fd, &frame)) {
    if (frame.type == 0x03 && frame.reply_id == id) {
      *reply = std::move(frame);
      return true;
    }
    if (frame.type != 0x02) {
      return false;
    }
    backlog->push_back(std::move(frame));
  }
  return false;
}

Bytes Envelope(bool value) {
  return {0x00, static_cast<uint8_t>(value ? 0x01 : 0x02)};
}

}  // namespace

std::string SelfPath() {
  g_autofree gchar* path = g_file_read_link("/proc/self/exe", nullptr);
  return path != nullptr ? path : "";
}

int Run(const std::vector<std::string>& args) {
  int fd = Connect(args);
  if (fd < 0) {
    fprintf(stderr, "fake engine: cannot connect to the peer\n");
    return 3;
  }
  bool drawn = false;
  const Bytes kNullSuccess = raw::Hex("00 00");
  std::deque<raw::RawFrame> backlog;
  while (true) {
    raw::RawFrame frame;
    if (!backlog.empty()) {
      frame = std::move(backlog.front());
      backlog.pop_front();
    } else if (!raw::ReadFrameBlocking(fd, &frame)) {
      close(fd);
      return 0;
    }
    if (frame.type != 0x02) {
      fprintf(stderr, "fake engine: unexpected frame type %d\n", frame.type);
      return kProtocolBroken;
    }
    const std::string& channel = frame.channel;
    const Bytes& message = frame.payload;
    Bytes reply;
    enum { kNone, kGarbage, kExec, kExit, kPrint } after = kNone;
    if (channel == "standin/engine") {
      if (message == raw::Call("drawFrame", raw::Null())) {
        drawn = true;
        reply = kNullSuccess;
      } else if (message ==
                 raw::Call("readTexture",
                           raw::Cat({raw::Hex("0d 01"), raw::Str("id"),
                                     raw::I32(kTextureId)}))) {
        reply = TextureReply();
      } else {
        reply = raw::Cat({raw::Hex("01"), raw::Str("no_texture"),
                          raw::Str("no such texture"), raw::Null()});
      }
    } else if (channel == "fake/echo") {
      if (message.size() >= 254) {
        return kProtocolBroken + 1;
      }
      reply = raw::Cat(
          {raw::Hex("00 08"), {static_cast<uint8_t>(message.size())}, message});
    } else if (channel == "fake/error") {
      reply = raw::Cat(
          {raw::Hex("01"), raw::Str("E1"), raw::Str("bad"), raw::I32(7)});
    } else if (channel == "fake/drawn") {
      reply = Envelope(drawn);
    } else if (channel == "fake/events") {
      if (message == raw::Call("listen", raw::Null())) {
        raw::WriteAll(fd, raw::ReplyFrame(frame.reply_id, kNullSuccess));
        raw::WriteAll(
            fd,
            raw::Cat({
                raw::MessageFrame(0, channel, raw::Cat({{0x00}, raw::I32(1)})),
                raw::MessageFrame(0, channel,
                                  raw::Cat({{0x00}, raw::Str("hi")})),
                raw::MessageFrame(0, channel,
                                  raw::Cat({raw::Hex("01"), raw::Str("E2"),
                                            raw::Null(), raw::Null()})),
                raw::MessageFrame(0, channel, {}),
            }));
        continue;
      }
      reply =
          message == raw::Call("cancel", raw::Null()) ? kNullSuccess : Bytes();
    } else if (channel == "fake/ask") {
      raw::WriteAll(fd, raw::Cat({
                            raw::MessageFrame(42, "fake/fromEngine",
                                              raw::Call("ping", raw::I32(5))),
                            raw::MessageFrame(0, "fake/fromEngine",
                                              raw::Call("note", raw::Str("x"))),
                        }));
      raw::RawFrame answer;
      if (!AwaitReply(fd, 42, &backlog, &answer)) {
        return kProtocolBroken + 2;
      }
      reply = Envelope(answer.payload == kNullSuccess);
    } else if (channel == "fake/garbage") {
      reply = kNullSuccess;
      after = kGarbage;
    } else if (channel == "fake/exec") {
      reply = kNullSuccess;
      after = kExec;
    } else if (channel == "fake/exit") {
      reply = kNullSuccess;
      after = kExit;
    } else if (channel == "fake/print") {
      reply = kNullSuccess;
      after = kPrint;
    }
    if (frame.reply_id != 0 &&
        !raw::WriteAll(fd, raw::ReplyFrame(frame.reply_id, reply))) {
      return kProtocolBroken + 4;
    }
    switch (after) {
      case kNone:
        break;
      case kPrint:
        fprintf(stderr, "fake engine says hi\n");
        fflush(stderr);
        break;
      case kExit:
        close(fd);
        return kExitStatus;
      case kExec: {
        std::string self = SelfPath();
        const char* argv[] = {self.c_str(), kFlag, "again", nullptr};
        execv(self.c_str(), const_cast<char**>(argv));
        return kProtocolBroken + 5;
      }
      case kGarbage: {
        // A frame of an unknown type: the peer must drop this connection.
        raw::WriteAll(fd, raw::FrameWithBody(raw::Hex("09")));
        raw::RawFrame ignored;
        while (raw::ReadFrameBlocking(fd, &ignored)) {
        }
        close(fd);
        backlog.clear();
        fd = Connect({"again"});
        if (fd < 0) {
          return kProtocolBroken + 6;
        }
        break;
      }
    }
  }
}

}  // namespace fake_engine
