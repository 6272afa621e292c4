// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef TOOLS_DART_PEER_INCLUDE_DART_PEER_FRAME_H_
#define TOOLS_DART_PEER_INCLUDE_DART_PEER_FRAME_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dart_peer {

// Frames between the engine and its peer: a 4-byte little-endian length N,
// then N bytes made of a type byte and the type's fields.
enum class FrameType : uint8_t {
  kHello = 0x01,    // engine to peer: a standard-codec map
  kMessage = 0x02,  // both ways: reply id, channel name, message bytes
  kReply = 0x03,    // both ways: reply id, reply bytes (none: not handled)
};

// Longest frame body accepted. Texture reads are the largest frames (an 8K
// RGBA picture is about 130 MB); anything beyond this is taken as garbage
// rather than allocated.
constexpr size_t kMaxFrameLength = 256u * 1024u * 1024u;

struct Frame {
  FrameType type = FrameType::kMessage;
  // MESSAGE and REPLY. 0 in a MESSAGE: no reply wanted.
  uint32_t reply_id = 0;
  // MESSAGE only; never empty, valid UTF-8.
  std::string channel;
  // HELLO: the encoded value. MESSAGE: the message. REPLY: the reply.
  std::vector<uint8_t> payload;
};

// The frame with its length prefix, ready to be written.
std::vector<uint8_t> EncodeFrame(const Frame& frame);

// Parses one frame body (the N bytes after the length). Returns false with
// the reason in *error when the type is unknown, a field is truncated or the
// channel name is empty or not UTF-8.
bool ParseFrameBody(const uint8_t* data,
                    size_t length,
                    Frame* frame,
                    std::string* error);

// Cuts a byte stream into frames.
class FrameReader {
 public:
  enum class Result { kNeedMore, kFrame, kError };

  explicit FrameReader(size_t max_length = kMaxFrameLength);
  FrameReader(const FrameReader&) = delete;
  FrameReader& operator=(const FrameReader&) = delete;

  void Append(const uint8_t* data, size_t length);

  // Takes the next complete frame out of the buffer. kError is final: the
  // stream cannot be resynchronised, so every later call returns it again.
  // An oversized length is refused as soon as its prefix arrives.
  Result Next(Frame* frame, std::string* error);

  // Bytes received but not yet returned as frames.
  size_t buffered() const { return buffer_.size() - start_; }

 private:
  size_t max_length_;
  std::vector<uint8_t> buffer_;
  size_t start_ = 0;   // Offset of the first unread byte in buffer_.
  std::string error_;  // Non-empty once the stream has failed.
};

}  // namespace dart_peer

#endif  // TOOLS_DART_PEER_INCLUDE_DART_PEER_FRAME_H_
