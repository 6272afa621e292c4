// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "dart_peer/json_session.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "raw_wire.h"
#include "scripted_engine.h"

namespace dart_peer {
namespace {

class JsonSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    context_ = g_main_context_new();
    server_ = std::make_unique<PeerServer>(context_);
    session_ = std::make_unique<JsonSession>(
        server_.get(),
        [this](const std::string& line) { lines_.push_back(line); });
    server_->set_observer(session_.get());
    std::string error;
    ASSERT_TRUE(server_->Open(&error)) << error;
  }

  void TearDown() override {
    session_.reset();
    server_.reset();
    while (g_main_context_iteration(context_, FALSE)) {
    }
    g_main_context_unref(context_);
  }

  // The lines written for one input line.
  std::vector<std::string> Handle(const std::string& line) {
    lines_.clear();
    session_->HandleLine(line);
    return lines_;
  }

  GMainContext* context_ = nullptr;
  std::unique_ptr<PeerServer> server_;
  std::unique_ptr<JsonSession> session_;
  std::vector<std::string> lines_;
};

// Malformed lines get exactly one badRequest line, with the id when the
// line had a usable one, and start nothing: the engine that connects
// afterwards receives only "drawFrame" and the one valid request.
TEST_F(JsonSessionTest, AnswersMalformedLinesAndChangesNothing) {
  const char kInvalid[] = "{\"badRequest\":\"invalid JSON";
  const struct {
    std::string line;
    const char* answer_prefix;
  } cases[] = {
      {"{\"id\": 1, \"invoke\": ", kInvalid},
      {"{\"id\": 1, \"wait\": 1, \"id\": 2}", kInvalid},
      {"{\"id\": 9223372036854775808, \"wait\": 1}", kInvalid},
      {"{\"id\": 18446744073709551616, \"wait\": 1}", kInvalid},
      {"{\"id\": 01, \"wait\": 1}", kInvalid},
      {"{\"id\": 1, \"wait\": 1e400}", kInvalid},
      {"{\"id\": 1, \"invoke\": \"\\ud800\", \"method\": \"m\"}", kInvalid},
      {"{\"id\": 1, \"invoke\": \"\xff\", \"method\": \"m\"}", kInvalid},
      {"{\"id\": 1, \"wait\": 1} 2", kInvalid},
      {std::string("{\"id\": 1, \"wait\": 1}\0 2", 23), kInvalid},
      {"\xEF\xBB\xBF{\"id\": 1, \"wait\": 1}", kInvalid},
      {"{\"id\": 1, \"invoke\": \"c\", \"method\": \"m\", \"args\": " +
           std::string(300, '[') + std::string(300, ']') + "}",
       kInvalid},
      {"[1, 2]", "{\"badRequest\":\"a request must be a JSON object\"}"},
      {"{\"invoke\": \"c\", \"method\": \"m\"}",
       "{\"badRequest\":\"missing \\\"id\\\"\"}"},
      {"{\"id\": \"1\", \"wait\": 1}",
       "{\"badRequest\":\"\\\"id\\\" must be an integer\"}"},
      {"{\"id\": 1.0, \"wait\": 1}",
       "{\"badRequest\":\"\\\"id\\\" must be an integer\"}"},
      {"{\"id\": 2}", "{\"id\":2,\"badRequest\":\"unknown request"},
      {"{\"id\": 3, \"call\": \"c\"}",
       "{\"id\":3,\"badRequest\":\"unknown request"},
      {"{\"id\": 4, \"invoke\": \"c\", \"method\": \"m\", \"wait\": 1}",
       "{\"id\":4,\"badRequest\":\"more than one request"},
      {"{\"id\": 5, \"invoke\": \"c\", \"method\": \"m\", \"arg\": 1}",
       "{\"id\":5,\"badRequest\":\"unknown member \\\"arg\\\""},
      {"{\"id\": 6, \"invoke\": \"c\"}",
       "{\"id\":6,\"badRequest\":\"\\\"method\\\" must be"},
      {"{\"id\": 7, \"invoke\": \"\", \"method\": \"m\"}",
       "{\"id\":7,\"badRequest\":\"\\\"invoke\\\" must be"},
      {"{\"id\": 8, \"listen\": 3}",
       "{\"id\":8,\"badRequest\":\"\\\"listen\\\" must be"},
      {"{\"id\": 9, \"invoke\": \"c\", \"method\": \"m\", \"args\": {\"$x\": "
       "1}}",
       "{\"id\":9,\"badRequest\":\"\\\"args\\\": unknown tag"},
      {"{\"id\": 10, \"texture\": \"5\"}",
       "{\"id\":10,\"badRequest\":\"\\\"texture\\\" must be"},
      {"{\"id\": 11, \"texture\": 5, \"png\": 1}",
       "{\"id\":11,\"badRequest\":\"\\\"png\\\" must be"},
      {"{\"id\": 12, \"wait\": -1}",
       "{\"id\":12,\"badRequest\":\"\\\"wait\\\" must be"},
      {"{\"id\": 13, \"wait\": 1.5}",
       "{\"id\":13,\"badRequest\":\"\\\"wait\\\" must be"},
      {"{\"id\": 14, \"cancel\": \"c\", \"method\": \"m\"}",
       "{\"id\":14,\"badRequest\":\"unknown member \\\"method\\\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    std::vector<std::string> answer = Handle(c.line);
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].rfind(c.answer_prefix, 0), 0u) << answer[0];
    EXPECT_EQ(session_->open_requests(), 0u);
    EXPECT_EQ(server_->open_requests(), 0u);
  }
  EXPECT_TRUE(Handle("").empty());
  EXPECT_TRUE(Handle("  \t").empty());

  // An id may not be reused while its request is open.
  EXPECT_TRUE(
      Handle("{\"id\": 20, \"invoke\": \"c\", \"method\": \"ok\"}").empty());
  std::vector<std::string> reused =
      Handle("{\"id\": 20, \"invoke\": \"c\", \"method\": \"again\"}");
  ASSERT_EQ(reused.size(), 1u);
  EXPECT_EQ(reused[0], "{\"id\":20,\"badRequest\":\"id 20 is still open\"}");

  ScriptedEngine engine(context_, server_->socket_path());
  engine.Send(raw::HelloFrame(1, {}));
  raw::RawFrame frame;
  ASSERT_TRUE(engine.Read(&frame));
  EXPECT_EQ(frame.payload, raw::Call("drawFrame", raw::Null()));
  ASSERT_TRUE(engine.Read(&frame));
  EXPECT_EQ(frame.payload, raw::Call("ok", raw::Null()));
  engine.Send(raw::ReplyFrame(frame.reply_id, raw::Hex("00 00")));
  ASSERT_TRUE(RunUntil(
      context_, [this]() { return lines_.size() >= 2; }, 5000));
  EXPECT_EQ(lines_.back(), "{\"id\":20,\"result\":null}");
  // Nothing else was sent: the next frame is a request made now.
  lines_.clear();
  session_->HandleLine("{\"id\": 21, \"invoke\": \"c\", \"method\": \"last\"}");
  ASSERT_TRUE(engine.Read(&frame));
  EXPECT_EQ(frame.payload, raw::Call("last", raw::Null()));
}

// "wait" answers after its time with the milliseconds asked for, while
// other requests go on.
TEST_F(JsonSessionTest, WaitAnswersAfterItsTime) {
  session_->HandleLine("{\"id\": 1, \"wait\": 50}");
  session_->HandleLine("{\"id\": 2, \"wait\": 0}");
  EXPECT_EQ(session_->open_requests(), 2u);
  gint64 start = g_get_monotonic_time();
  ASSERT_TRUE(RunUntil(
      context_, [this]() { return lines_.size() == 2; }, 5000));
  EXPECT_GE(g_get_monotonic_time() - start, 50 * 1000);
  EXPECT_EQ(lines_[0], "{\"id\":2,\"waited\":0}");
  EXPECT_EQ(lines_[1], "{\"id\":1,\"waited\":50}");
  EXPECT_EQ(session_->open_requests(), 0u);
}

// A request whose connection ends before the reply is answered, not left
// open forever.
TEST_F(JsonSessionTest, AnswersRequestsLostWithTheConnection) {
  auto engine =
      std::make_unique<ScriptedEngine>(context_, server_->socket_path());
  engine->Send(raw::HelloFrame(1, {}));
  session_->HandleLine("{\"id\": 1, \"invoke\": \"c\", \"method\": \"m\"}");
  raw::RawFrame frame;
  ASSERT_TRUE(engine->Read(&frame));  // drawFrame
  ASSERT_TRUE(engine->Read(&frame));  // the request
  engine.reset();
  ASSERT_TRUE(RunUntil(
      context_, [this]() { return session_->open_requests() == 0; }, 5000));
  EXPECT_EQ(lines_.front().rfind("{\"hello\":{\"pid\":1,\"args\":[]}}", 0), 0u);
  EXPECT_EQ(lines_.back().rfind("{\"id\":1,\"disconnected\":", 0), 0u)
      << lines_.back();
}

}  // namespace
}  // namespace dart_peer
