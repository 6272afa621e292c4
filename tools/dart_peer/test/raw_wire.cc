// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "raw_wire.h"

#include <glib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace raw {

namespace {

void PutU32(Bytes* out, uint32_t value) {
  for (int i = 0; i < 4; i++) {
    out->push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
}

uint32_t GetU32(const uint8_t* data) {
  return static_cast<uint32_t>(data[0]) |
         (static_cast<uint32_t>(data[1]) << 8) |
         (static_cast<uint32_t>(data[2]) << 16) |
         (static_cast<uint32_t>(data[3]) << 24);
}

}  // namespace

Bytes Hex(const char* hex) {
  Bytes out;
  int high = -1;
  for (const char* p = hex; *p != '\0'; p++) {
    int digit = g_ascii_xdigit_value(*p);
    if (digit < 0) {
      continue;
    }
    if (high < 0) {
      high = digit;
    } else {
      out.push_back(static_cast<uint8_t>(high * 16 + digit));
      high = -1;
    }
  }
  return out;
}

std::string ToHex(const Bytes& bytes) {
  std::string out;
  char digits[4];
  for (size_t i = 0; i < bytes.size(); i++) {
    snprintf(digits, sizeof(digits), i == 0 ? "%02x" : " %02x", bytes[i]);
    out += digits;
  }
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) {
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

Bytes Str(const std::string& text) {
  Bytes out = {0x07, static_cast<uint8_t>(text.size())};
  out.insert(out.end(), text.begin(), text.end());
  return out;
}

Bytes I32(int32_t value) {
  Bytes out = {0x03};
  PutU32(&out, static_cast<uint32_t>(value));
  return out;
}

Bytes Null() {
  return {0x00};
}

Bytes Call(const std::string& method, const Bytes& args) {
  return Cat({Str(method), args});
}

Bytes FrameWithBody(const Bytes& body) {
  Bytes out;
  PutU32(&out, static_cast<uint32_t>(body.size()));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes MessageFrame(uint32_t reply_id,
                   const std::string& channel,
                   const Bytes& message) {
  Bytes body = {0x02};
  PutU32(&body, reply_id);
  PutU32(&body, static_cast<uint32_t>(channel.size()));
  body.insert(body.end(), channel.begin(), channel.end());
  body.insert(body.end(), message.begin(), message.end());
  return FrameWithBody(body);
}

Bytes ReplyFrame(uint32_t reply_id, const Bytes& reply) {
  Bytes body = {0x03};
  PutU32(&body, reply_id);
  body.insert(body.end(), reply.begin(), reply.end());
  return FrameWithBody(body);
}

Bytes HelloFrame(int64_t pid,
                 const std::vector<std::string>& args,
                 int32_t protocol) {
  Bytes list = {0x0c, static_cast<uint8_t>(args.size())};
  for (const std::string& arg : args) {
    Bytes item = Str(arg);
    list.insert(list.end(), item.begin(), item.end());
  }
  Bytes value = Cat({Hex("0d 03"), Str("protocol"), I32(protocol), Str("pid"),
                     I32(static_cast<int32_t>(pid)), Str("args"), list});
  return FrameWithBody(Cat({{0x01}, value}));
}

bool TakeFrame(Bytes* buffer, RawFrame* frame) {
  if (buffer->size() < 4) {
    return false;
  }
  uint32_t length = GetU32(buffer->data());
  if (buffer->size() - 4 < length || length == 0) {
    return false;
  }
  const uint8_t* body = buffer->data() + 4;
  RawFrame parsed;
  parsed.type = body[0];
  size_t offset = 1;
  if (parsed.type == 0x02 && length >= 9) {
    parsed.reply_id = GetU32(body + 1);
    uint32_t channel_length = GetU32(body + 5);
    offset = 9 + channel_length;
    parsed.channel.assign(reinterpret_cast<const char*>(body + 9),
                          channel_length);
  } else if (parsed.type == 0x03 && length >= 5) {
    parsed.reply_id = GetU32(body + 1);
    offset = 5;
  }
  parsed.payload.assign(body + offset, body + length);
  buffer->erase(buffer->begin(), buffer->begin() + 4 + length);
  *frame = std::move(parsed);
  return true;
}

int ConnectUnix(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  g_strlcpy(address.sun_path, path.c_str(), sizeof(address.sun_path));
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&address),
              sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool WriteAll(int fd, const Bytes& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t written =
        send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    done += static_cast<size_t>(written);
  }
  return true;
}

bool ReadFrameBlocking(int fd, RawFrame* frame) {
  Bytes buffer;
  uint8_t chunk[4096];
  while (true) {
    // Reads no further than the current frame, so that nothing of the next
    // one is lost between calls.
    size_t want = 4;
    if (buffer.size() >= 4) {
      want = 4 + GetU32(buffer.data());
    }
    if (buffer.size() >= want && buffer.size() >= 4 &&
        TakeFrame(&buffer, frame)) {
      return true;
    }
    size_t ask = std::min(sizeof(chunk), want - buffer.size());
    ssize_t count = read(fd, chunk, ask);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      return false;
    }
    buffer.insert(buffer.end(), chunk, chunk + count);
  }
}

}  // namespace raw
