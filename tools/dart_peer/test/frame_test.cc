// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "dart_peer/frame.h"

#include <gtest/gtest.h>

#include "raw_wire.h"

namespace dart_peer {
namespace {

Frame MakeFrame(FrameType type,
                uint32_t reply_id,
                const std::string& channel,
                const raw::Bytes& payload) {
  Frame frame;
  frame.type = type;
  frame.reply_id = reply_id;
  frame.channel = channel;
  frame.payload = payload;
  return frame;
}

// Each frame type encodes to the documented bytes and reads back.
TEST(FrameTest, EncodesTheWireFormat) {
  const struct {
    const char* name;
    Frame frame;
    const char* hex;
  } cases[] = {
      {"message", MakeFrame(FrameType::kMessage, 0x01020304, "ab", {0x00}),
       "0c 00 00 00  02  04 03 02 01  02 00 00 00  61 62  00"},
      {"reply", MakeFrame(FrameType::kReply, 7, "", {0x00, 0x00}),
       "07 00 00 00  03  07 00 00 00  00 00"},
      {"empty reply", MakeFrame(FrameType::kReply, 9, "", {}),
       "05 00 00 00  03  09 00 00 00"},
      {"hello", MakeFrame(FrameType::kHello, 0, "", {0x00}),
       "02 00 00 00  01  00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    raw::Bytes encoded = EncodeFrame(c.frame);
    EXPECT_EQ(raw::ToHex(encoded), raw::ToHex(raw::Hex(c.hex)));
    FrameReader reader;
    reader.Append(encoded.data(), encoded.size());
    Frame read;
    std::string error;
    ASSERT_EQ(reader.Next(&read, &error), FrameReader::Result::kFrame) << error;
    EXPECT_EQ(read.type, c.frame.type);
    EXPECT_EQ(read.reply_id, c.frame.reply_id);
    EXPECT_EQ(read.channel, c.frame.channel);
    EXPECT_EQ(read.payload, c.frame.payload);
    EXPECT_EQ(reader.buffered(), 0u);
  }
}

// Frames split anywhere, or several in one read, come out whole and in
// order.
TEST(FrameTest, ReassemblesFramesFedByteByByte) {
  raw::Bytes stream =
      raw::Cat({raw::MessageFrame(1, "one", {0x01, 0x02}),
                raw::ReplyFrame(2, {}), raw::MessageFrame(3, "three", {})});
  FrameReader reader;
  std::vector<Frame> frames;
  for (uint8_t byte : stream) {
    reader.Append(&byte, 1);
    Frame frame;
    std::string error;
    FrameReader::Result result = reader.Next(&frame, &error);
    ASSERT_NE(result, FrameReader::Result::kError) << error;
    if (result == FrameReader::Result::kFrame) {
      frames.push_back(frame);
    }
  }
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].channel, "one");
  EXPECT_EQ(frames[0].payload, (raw::Bytes{0x01, 0x02}));
  EXPECT_EQ(frames[1].type, FrameType::kReply);
  EXPECT_EQ(frames[1].reply_id, 2u);
  EXPECT_EQ(frames[2].channel, "three");
  EXPECT_TRUE(frames[2].payload.empty());
}

// Bodies that cannot be parsed are errors, and the reader stays failed;
// a truncated stream only waits for more.
TEST(FrameTest, RefusesUnparseableFrames) {
  const struct {
    const char* name;
    const char* hex;
    FrameReader::Result result;
  } cases[] = {
      {"empty body", "00 00 00 00", FrameReader::Result::kError},
      {"unknown type", "01 00 00 00 09", FrameReader::Result::kError},
      {"message header cut", "05 00 00 00 02 01 00 00 00",
       FrameReader::Result::kError},
      {"channel past the end", "0a 00 00 00 02 01 00 00 00 05 00 00 00 61",
       FrameReader::Result::kError},
      {"empty channel", "09 00 00 00 02 01 00 00 00 00 00 00 00",
       FrameReader::Result::kError},
      {"channel not utf-8", "0a 00 00 00 02 01 00 00 00 01 00 00 00 ff",
       FrameReader::Result::kError},
      {"reply id cut", "03 00 00 00 03 01 00", FrameReader::Result::kError},
      {"oversized length", "ff ff ff 7f", FrameReader::Result::kError},
      {"length only", "0c 00 00", FrameReader::Result::kNeedMore},
      {"body cut short", "0c 00 00 00 02 04 03",
       FrameReader::Result::kNeedMore},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    raw::Bytes bytes = raw::Hex(c.hex);
    FrameReader reader(1024);
    reader.Append(bytes.data(), bytes.size());
    Frame frame;
    std::string error;
    EXPECT_EQ(reader.Next(&frame, &error), c.result);
    if (c.result == FrameReader::Result::kError) {
      EXPECT_NE(error, "");
      // A good frame after the bad one is not read: the stream is lost.
      raw::Bytes good = raw::ReplyFrame(1, {});
      reader.Append(good.data(), good.size());
      EXPECT_EQ(reader.Next(&frame, &error), FrameReader::Result::kError);
    }
  }
}

// The length limit is checked before the body arrives, so a hostile length
// never makes the reader wait for (or buffer) gigabytes.
TEST(FrameTest, LimitAppliesToTheDeclaredLength) {
  FrameReader reader(16);
  raw::Bytes at_limit = raw::FrameWithBody(
      raw::Cat({raw::Hex("03 01 00 00 00"), raw::Bytes(11, 0xaa)}));
  reader.Append(at_limit.data(), at_limit.size());
  Frame frame;
  std::string error;
  EXPECT_EQ(reader.Next(&frame, &error), FrameReader::Result::kFrame) << error;
  raw::Bytes over = raw::Hex("11 00 00 00");
  reader.Append(over.data(), over.size());
  EXPECT_EQ(reader.Next(&frame, &error), FrameReader::Result::kError);
}

}  // namespace
}  // namespace dart_peer
