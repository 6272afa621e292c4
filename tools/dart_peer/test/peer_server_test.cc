// Copyright 2026 The Zelkoz Authors. All rights reserved.
//
// The peer against an engine scripted byte by byte in the test's own
// thread, over its real Unix socket.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dart_peer/dart_peer.h"
#include "raw_wire.h"
#include "scripted_engine.h"

namespace dart_peer {
namespace {

const raw::Bytes kDrawFrame = raw::Hex("07 09 64 72 61 77 46 72 61 6d 65 00");

class PeerServerTest : public ::testing::Test {
 protected:
  void SetUp() override { Open(false); }

  void Open(bool hold_first_frame) {
    peer_ = std::make_unique<DartPeer>();
    std::string error;
    ASSERT_TRUE(peer_->Open(hold_first_frame, &error)) << error;
  }

  // Connects a new engine and says HELLO.
  std::unique_ptr<ScriptedEngine> Connect(
      const std::vector<std::string>& args = {}) {
    auto engine = std::make_unique<ScriptedEngine>(peer_->context(),
                                                   peer_->socket_path());
    EXPECT_TRUE(engine->connected());
    engine->Send(raw::HelloFrame(4242, args));
    return engine;
  }

  // Connects, takes the HELLO and answers the "drawFrame" that follows it.
  std::unique_ptr<ScriptedEngine> ConnectReady() {
    auto engine = Connect();
    EXPECT_TRUE(peer_->WaitHello(5000));
    raw::RawFrame frame;
    EXPECT_TRUE(engine->Read(&frame));
    EXPECT_EQ(frame.payload, kDrawFrame);
    engine->Send(raw::ReplyFrame(frame.reply_id, raw::Hex("00 00")));
    return engine;
  }

  // Starts an invoke whose response lands in *slot.
  void InvokeAsync(const std::string& channel,
                   const std::string& method,
                   FlValue* args,
                   std::shared_ptr<std::optional<Response>> slot) {
    peer_->server().Invoke(channel, method, args, [slot](Response response) {
      *slot = std::move(response);
    });
  }

  std::unique_ptr<DartPeer> peer_;
};

// A HELLO is reported and answered with "drawFrame" on "standin/engine".
TEST_F(PeerServerTest, HelloIsReportedAndGetsDrawFrame) {
  auto engine = Connect({"--flag", "x y"});
  Hello hello;
  ASSERT_TRUE(peer_->WaitHello(5000, &hello));
  EXPECT_EQ(hello.pid, 4242);
  EXPECT_EQ(hello.args, (std::vector<std::string>{"--flag", "x y"}));
  EXPECT_EQ(hello.connection, 1);
  raw::RawFrame frame;
  ASSERT_TRUE(engine->Read(&frame));
  EXPECT_EQ(frame.type, 0x02);
  EXPECT_NE(frame.reply_id, 0u);
  EXPECT_EQ(frame.channel, "standin/engine");
  EXPECT_EQ(raw::ToHex(frame.payload), raw::ToHex(kDrawFrame));
}

// With hold_first_frame the first frame after HELLO is the test's own
// request, not "drawFrame".
TEST_F(PeerServerTest, HoldFirstFrameSendsNoDrawFrame) {
  Open(true);
  auto engine = Connect();
  ASSERT_TRUE(peer_->WaitHello(5000));
  auto slot = std::make_shared<std::optional<Response>>();
  InvokeAsync("c", "m", nullptr, slot);
  raw::RawFrame frame;
  ASSERT_TRUE(engine->Read(&frame));
  EXPECT_EQ(frame.channel, "c");
  EXPECT_EQ(frame.payload, raw::Call("m", raw::Null()));
}

// Each kind of reply becomes the matching response; the call goes out in
// the standard method codec.
TEST_F(PeerServerTest, InvokeDecodesEveryReplyKind) {
  auto engine = ConnectReady();
  const struct {
    const char* name;
    const char* reply;
    ResponseKind kind;
  } cases[] = {
      {"success 42", "00 03 2a 00 00 00", ResponseKind::kSuccess},
      {"error", "01 07 02 45 31 07 03 62 61 64 00", ResponseKind::kError},
      {"error with null message and details",
       "01 07 02 45 32 00 03 07 00 00 00", ResponseKind::kError},
      {"empty", "", ResponseKind::kNotImplemented},
      {"garbage", "05", ResponseKind::kUndecodable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_autoptr(FlValue) args = fl_value_new_map();
    fl_value_set_string_take(args, "path", fl_value_new_string("/a"));
    auto slot = std::make_shared<std::optional<Response>>();
    InvokeAsync("zelko_desktop_video", "probe", args, slot);
    raw::RawFrame frame;
    ASSERT_TRUE(engine->Read(&frame));
    EXPECT_EQ(frame.channel, "zelko_desktop_video");
    EXPECT_EQ(raw::ToHex(frame.payload),
              "07 05 70 72 6f 62 65 0d 01 07 04 70 61 74 68 07 02 2f 61");
    engine->Send(raw::ReplyFrame(frame.reply_id, raw::Hex(c.reply)));
    ASSERT_TRUE(
        peer_->WaitUntil([&slot]() { return slot->has_value(); }, 5000));
    const Response& response = **slot;
    EXPECT_EQ(response.kind, c.kind) << response.reason;
    if (c.kind == ResponseKind::kSuccess) {
      EXPECT_EQ(fl_value_get_int(response.result.get()), 42);
    }
    if (c.kind == ResponseKind::kError && response.code == "E1") {
      EXPECT_EQ(response.message, std::optional<std::string>("bad"));
      EXPECT_EQ(fl_value_get_type(response.details.get()), FL_VALUE_TYPE_NULL);
    } else if (c.kind == ResponseKind::kError) {
      EXPECT_EQ(response.code, "E2");
      EXPECT_FALSE(response.message.has_value());
      EXPECT_EQ(fl_value_get_int(response.details.get()), 7);
    }
  }
}

// Requests made before any HELLO wait for it and go out after "drawFrame";
// open requests have distinct ids, and replies in any order reach the
// right caller.
TEST_F(PeerServerTest, QueuesUntilHelloAndMatchesRepliesById) {
  std::vector<std::shared_ptr<std::optional<Response>>> slots;
  for (int i = 0; i < 3; i++) {
    slots.push_back(std::make_shared<std::optional<Response>>());
    g_autoptr(FlValue) args = fl_value_new_int(i);
    InvokeAsync("c", "m", args, slots.back());
  }
  auto engine = Connect();
  raw::RawFrame draw;
  ASSERT_TRUE(engine->Read(&draw));
  EXPECT_EQ(draw.payload, kDrawFrame);
  std::vector<raw::RawFrame> frames(3);
  for (int i = 0; i < 3; i++) {
    ASSERT_TRUE(engine->Read(&frames[i]));
    EXPECT_EQ(frames[i].payload, raw::Call("m", raw::I32(i)));
    EXPECT_NE(frames[i].reply_id, 0u);
    EXPECT_NE(frames[i].reply_id, draw.reply_id);
  }
  EXPECT_NE(frames[0].reply_id, frames[1].reply_id);
  EXPECT_NE(frames[1].reply_id, frames[2].reply_id);
  EXPECT_NE(frames[0].reply_id, frames[2].reply_id);
  for (int i : {2, 0, 1}) {
    engine->Send(raw::ReplyFrame(frames[i].reply_id,
                                 raw::Cat({{0x00}, raw::I32(100 + i)})));
  }
  ASSERT_TRUE(peer_->WaitUntil(
      [&]() {
        return slots[0]->has_value() && slots[1]->has_value() &&
               slots[2]->has_value();
      },
      5000));
  for (int i = 0; i < 3; i++) {
    SCOPED_TRACE(i);
    ASSERT_EQ((*slots[i])->kind, ResponseKind::kSuccess);
    EXPECT_EQ(fl_value_get_int((*slots[i])->result.get()), 100 + i);
  }
}

// Method calls from the engine are recorded and answered with a null
// success when a reply is wanted, and not answered when the id is 0;
// other messages get an empty reply.
TEST_F(PeerServerTest, AnswersTheEnginesCalls) {
  auto engine = ConnectReady();
  engine->Send(raw::Cat({
      raw::MessageFrame(0, "w", raw::Call("quiet", raw::Null())),
      raw::MessageFrame(5, "w", raw::Call("closedToTray", raw::Str("a"))),
      raw::MessageFrame(6, "w", raw::Hex("00 00")),
  }));
  raw::RawFrame reply;
  ASSERT_TRUE(engine->Read(&reply));
  EXPECT_EQ(reply.type, 0x03);
  EXPECT_EQ(reply.reply_id, 5u);
  EXPECT_EQ(raw::ToHex(reply.payload), "00 00");
  ASSERT_TRUE(engine->Read(&reply));
  EXPECT_EQ(reply.reply_id, 6u);
  EXPECT_TRUE(reply.payload.empty());

  MethodCall call;
  ASSERT_TRUE(peer_->WaitMethodCall("w", "closedToTray", 1000, &call));
  EXPECT_STREQ(fl_value_get_string(call.args.get()), "a");
  ASSERT_TRUE(peer_->WaitMethodCall("w", "", 1000, &call));
  EXPECT_EQ(call.method, "quiet");
  ASSERT_EQ(peer_->method_call_log().size(), 2u);
  EXPECT_EQ(peer_->method_call_log()[0].method, "quiet");
}

// After "listen", messages on the channel are events: a success envelope,
// an error envelope, and the empty end of stream, in order.
TEST_F(PeerServerTest, ReportsEventsAfterListen) {
  auto engine = ConnectReady();
  auto slot = std::make_shared<std::optional<Response>>();
  peer_->server().ListenChannel("ev", nullptr, [slot](Response response) {
    *slot = std::move(response);
  });
  raw::RawFrame listen;
  ASSERT_TRUE(engine->Read(&listen));
  EXPECT_EQ(raw::ToHex(listen.payload), "07 06 6c 69 73 74 65 6e 00");
  engine->Send(raw::Cat({
      raw::ReplyFrame(listen.reply_id, raw::Hex("00 00")),
      raw::MessageFrame(0, "ev", raw::Cat({{0x00}, raw::I32(1)})),
      raw::MessageFrame(
          0, "ev",
          raw::Cat({{0x01}, raw::Str("E"), raw::Str("m"), raw::Null()})),
      raw::MessageFrame(0, "ev", {}),
  }));
  ChannelEvent event;
  ASSERT_TRUE(peer_->WaitEvent("ev", 5000, &event));
  EXPECT_EQ(event.kind, EventKind::kEvent);
  EXPECT_EQ(fl_value_get_int(event.value.get()), 1);
  ASSERT_TRUE(peer_->WaitEvent("ev", 5000, &event));
  EXPECT_EQ(event.kind, EventKind::kError);
  EXPECT_EQ(event.code, "E");
  EXPECT_EQ(event.message, std::optional<std::string>("m"));
  ASSERT_TRUE(peer_->WaitEvent("ev", 5000, &event));
  EXPECT_EQ(event.kind, EventKind::kEndOfStream);
  ASSERT_TRUE(slot->has_value());
  EXPECT_EQ((*slot)->kind, ResponseKind::kSuccess);
  EXPECT_TRUE(peer_->method_call_log().empty());
}

// A frame that cannot be parsed closes that connection and fails its open
// requests; the peer then accepts a new connection as usual.
TEST_F(PeerServerTest, ClosesConnectionsThatBreakTheProtocol) {
  const struct {
    const char* name;
    bool hello_first;
    raw::Bytes bytes;
  } cases[] = {
      {"unknown frame type", true, raw::FrameWithBody(raw::Hex("09"))},
      {"oversized length", true, raw::Hex("ff ff ff ff")},
      {"empty frame", true, raw::Hex("00 00 00 00")},
      {"message before hello", false,
       raw::MessageFrame(0, "c", raw::Call("m", raw::Null()))},
      {"second hello", true, raw::HelloFrame(1, {})},
      {"protocol 2", false, raw::HelloFrame(1, {}, 2)},
      {"hello not a map", false,
       raw::FrameWithBody(raw::Hex("01 03 01 00 00 00"))},
      {"hello not decodable", false, raw::FrameWithBody(raw::Hex("01 0d 05"))},
  };
  Open(true);
  int connections = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto engine = std::make_unique<ScriptedEngine>(peer_->context(),
                                                   peer_->socket_path());
    auto slot = std::make_shared<std::optional<Response>>();
    if (c.hello_first) {
      engine->Send(raw::HelloFrame(7, {}));
      ASSERT_TRUE(peer_->WaitHello(5000));
      InvokeAsync("c", "open", nullptr, slot);
      raw::RawFrame request;
      ASSERT_TRUE(engine->Read(&request));
    }
    engine->Send(c.bytes);
    EXPECT_TRUE(engine->WaitClosed());
    if (c.hello_first) {
      ASSERT_TRUE(
          peer_->WaitUntil([&slot]() { return slot->has_value(); }, 5000));
      EXPECT_EQ((*slot)->kind, ResponseKind::kDisconnected);
    }
    connections++;
  }
  EXPECT_EQ(peer_->hello_count(), 4);

  auto engine = Connect();
  Hello hello;
  ASSERT_TRUE(peer_->WaitHello(5000, &hello));
  EXPECT_EQ(hello.connection, connections + 1);
  auto slot = std::make_shared<std::optional<Response>>();
  InvokeAsync("c", "after", nullptr, slot);
  raw::RawFrame frame;
  ASSERT_TRUE(engine->Read(&frame));
  EXPECT_EQ(frame.payload, raw::Call("after", raw::Null()));
}

// A REPLY nobody waits for is ignored; the connection stays usable.
TEST_F(PeerServerTest, IgnoresRepliesToNothing) {
  auto engine = ConnectReady();
  engine->Send(raw::ReplyFrame(999, raw::Hex("00 00")));
  auto slot = std::make_shared<std::optional<Response>>();
  InvokeAsync("c", "m", nullptr, slot);
  raw::RawFrame frame;
  ASSERT_TRUE(engine->Read(&frame));
  engine->Send(raw::ReplyFrame(frame.reply_id, raw::Hex("00 01")));
  ASSERT_TRUE(peer_->WaitUntil([&slot]() { return slot->has_value(); }, 5000));
  EXPECT_EQ((*slot)->kind, ResponseKind::kSuccess);
  EXPECT_EQ(peer_->server().connection_count(), 1u);
}

// When the engine's connection ends with a request open, the request fails,
// and the next request waits for the engine's next connection, as after a
// program replaced itself.
TEST_F(PeerServerTest, SurvivesTheEngineReconnecting) {
  auto engine = ConnectReady();
  auto lost = std::make_shared<std::optional<Response>>();
  InvokeAsync("c", "lost", nullptr, lost);
  raw::RawFrame frame;
  ASSERT_TRUE(engine->Read(&frame));
  engine.reset();
  ASSERT_TRUE(peer_->WaitUntil([&lost]() { return lost->has_value(); }, 5000));
  EXPECT_EQ((*lost)->kind, ResponseKind::kDisconnected);

  auto later = std::make_shared<std::optional<Response>>();
  InvokeAsync("c", "later", nullptr, later);
  engine = Connect();
  Hello hello;
  ASSERT_TRUE(peer_->WaitHello(5000, &hello));
  EXPECT_EQ(hello.connection, 2);
  ASSERT_TRUE(engine->Read(&frame));
  EXPECT_EQ(frame.payload, kDrawFrame);
  ASSERT_TRUE(engine->Read(&frame));
  EXPECT_EQ(frame.payload, raw::Call("later", raw::Null()));
}

// Messages of several megabytes cross in both directions intact.
TEST_F(PeerServerTest, CarriesLargeMessages) {
  auto engine = ConnectReady();
  std::vector<uint8_t> big(6 * 1024 * 1024);
  for (size_t i = 0; i < big.size(); i++) {
    big[i] = static_cast<uint8_t>(i * 7);
  }
  g_autoptr(FlValue) args = fl_value_new_uint8_list(big.data(), big.size());
  auto slot = std::make_shared<std::optional<Response>>();
  InvokeAsync("c", "big", args, slot);
  raw::RawFrame frame;
  ASSERT_TRUE(engine->Read(&frame, 20000));
  raw::Bytes header = raw::Hex("07 03 62 69 67 08 ff 00 00 60 00");
  ASSERT_EQ(frame.payload.size(), header.size() + big.size());
  EXPECT_TRUE(std::equal(header.begin(), header.end(), frame.payload.begin()));
  EXPECT_TRUE(std::equal(big.begin(), big.end(),
                         frame.payload.begin() + header.size()));

  // The same bytes back, as a method call from the engine.
  engine->Send(raw::MessageFrame(0, "c", frame.payload));
  MethodCall call;
  ASSERT_TRUE(peer_->WaitMethodCall("c", "big", 20000, &call));
  ASSERT_EQ(fl_value_get_length(call.args.get()), big.size());
  EXPECT_EQ(
      memcmp(fl_value_get_uint8_list(call.args.get()), big.data(), big.size()),
      0);
}

}  // namespace
}  // namespace dart_peer
