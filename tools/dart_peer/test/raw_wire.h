// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef TOOLS_DART_PEER_TEST_RAW_WIRE_H_
#define TOOLS_DART_PEER_TEST_RAW_WIRE_H_

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

// Frames and standard-codec bytes written by hand, so that the tests check
// the peer against the wire format itself rather than against its own
// encoder.
namespace raw {

using Bytes = std::vector<uint8_t>;

// "07 02 ab" -> {0x07, 0x02, 0xab}.
Bytes Hex(const char* hex);
std::string ToHex(const Bytes& bytes);
Bytes Cat(std::initializer_list<Bytes> parts);

Bytes Str(const std::string& text);  // a short string value (tag 7)
Bytes I32(int32_t value);            // an int that fits 32 bits (tag 3)
Bytes Null();                        // 00
Bytes Call(const std::string& method, const Bytes& args);

Bytes MessageFrame(uint32_t reply_id,
                   const std::string& channel,
                   const Bytes& message);
Bytes ReplyFrame(uint32_t reply_id, const Bytes& reply);
Bytes HelloFrame(int64_t pid,
                 const std::vector<std::string>& args,
                 int32_t protocol = 1);
// A length prefix and a body, whatever the body holds.
Bytes FrameWithBody(const Bytes& body);

struct RawFrame {
  uint8_t type = 0;
  uint32_t reply_id = 0;
  std::string channel;
  Bytes payload;
};

// Takes one complete frame off the front of |buffer|; false when the
// buffer does not hold one yet.
bool TakeFrame(Bytes* buffer, RawFrame* frame);

// A blocking client socket connected to |path|, or -1.
int ConnectUnix(const std::string& path);
bool WriteAll(int fd, const Bytes& bytes);
// Blocks for one frame; false at the end of the stream.
bool ReadFrameBlocking(int fd, RawFrame* frame);

}  // namespace raw

#endif  // TOOLS_DART_PEER_TEST_RAW_WIRE_H_
