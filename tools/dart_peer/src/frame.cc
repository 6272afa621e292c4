// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "dart_peer/frame.h"

#include <glib.h>

namespace dart_peer {

namespace {

void PutU32(std::vector<uint8_t>* out, uint32_t value) {
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

std::vector<uint8_t> EncodeFrame(const Frame& frame) {
  std::vector<uint8_t> body;
  body.push_back(static_cast<uint8_t>(frame.type));
  switch (frame.type) {
    case FrameType::kHello:
      break;
    case FrameType::kMessage:
      PutU32(&body, frame.reply_id);
      PutU32(&body, static_cast<uint32_t>(frame.channel.size()));
      body.insert(body.end(), frame.channel.begin(), frame.channel.end());
      break;
    case FrameType::kReply:
      PutU32(&body, frame.reply_id);
      break;
  }
  body.insert(body.end(), frame.payload.begin(), frame.payload.end());
  std::vector<uint8_t> out;
  out.reserve(4 + body.size());
  PutU32(&out, static_cast<uint32_t>(body.size()));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

bool ParseFrameBody(const uint8_t* data,
                    size_t length,
                    Frame* frame,
                    std::string* error) {
  if (length == 0) {
    *error = "empty frame";
    return false;
  }
  Frame parsed;
  size_t offset = 1;
  switch (data[0]) {
    case static_cast<uint8_t>(FrameType::kHello):
      parsed.type = FrameType::kHello;
      break;
    case static_cast<uint8_t>(FrameType::kMessage): {
      parsed.type = FrameType::kMessage;
      if (length < offset + 8) {
        *error = "MESSAGE frame too short for its header";
        return false;
      }
      parsed.reply_id = GetU32(data + offset);
      uint32_t channel_length = GetU32(data + offset + 4);
      offset += 8;
      if (channel_length > length - offset) {
        *error = "MESSAGE channel name runs past the frame";
        return false;
      }
      if (channel_length == 0) {
        *error = "MESSAGE with an empty channel name";
        return false;
      }
      parsed.channel.assign(reinterpret_cast<const char*>(data + offset),
                            channel_length);
      if (!g_utf8_validate_len(parsed.channel.data(), parsed.channel.size(),
                               nullptr)) {
        *error = "MESSAGE channel name is not UTF-8";
        return false;
      }
      offset += channel_length;
      break;
    }
    case static_cast<uint8_t>(FrameType::kReply):
      parsed.type = FrameType::kReply;
      if (length < offset + 4) {
        *error = "REPLY frame too short for its reply id";
        return false;
      }
      parsed.reply_id = GetU32(data + offset);
      offset += 4;
      break;
    default:
      *error = "unknown frame type " + std::to_string(data[0]);
      return false;
  }
  parsed.payload.assign(data + offset, data + length);
  *frame = std::move(parsed);
  return true;
}

FrameReader::FrameReader(size_t max_length) : max_length_(max_length) {}

void FrameReader::Append(const uint8_t* data, size_t length) {
  if (!error_.empty()) {
    return;
  }
  // Drop what has been consumed before growing, so that a long-lived
  // connection does not keep every frame it ever read.
  if (start_ > 0 && start_ >= buffer_.size() / 2) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(start_));
    start_ = 0;
  }
  buffer_.insert(buffer_.end(), data, data + length);
}

FrameReader::Result FrameReader::Next(Frame* frame, std::string* error) {
  if (!error_.empty()) {
    *error = error_;
    return Result::kError;
  }
  if (buffered() < 4) {
    return Result::kNeedMore;
  }
  uint32_t length = GetU32(buffer_.data() + start_);
  if (length > max_length_) {
    error_ = "frame of " + std::to_string(length) +
             " bytes is longer than the limit of " +
             std::to_string(max_length_);
    *error = error_;
    return Result::kError;
  }
  if (buffered() - 4 < length) {
    return Result::kNeedMore;
  }
  std::string reason;
  if (!ParseFrameBody(buffer_.data() + start_ + 4, length, frame, &reason)) {
    error_ = reason;
    *error = error_;
    return Result::kError;
  }
  start_ += 4 + static_cast<size_t>(length);
  if (start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  }
  return Result::kFrame;
}

}  // namespace dart_peer
