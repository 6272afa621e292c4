// Copyright 2026 The Zelkoz Authors. All rights reserved.
//
// The synchronous peer with real programs: the fake engine (this binary
// started with --fake-engine) and the shell.
#include "dart_peer/dart_peer.h"

#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <string>
#include <vector>

#include "fake_engine.h"
#include "raw_wire.h"

namespace dart_peer {
namespace {

constexpr int kTimeoutMs = 10000;

class DartPeerProcessTest : public ::testing::Test {
 protected:
  // Starts the fake engine with |args| and takes its HELLO.
  void StartFakeEngine(const std::vector<std::string>& args,
                       bool hold_first_frame = false) {
    std::vector<std::string> argv = {fake_engine::kFlag};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string error;
    ASSERT_TRUE(peer_.Start(fake_engine::SelfPath(), argv, {}, hold_first_frame,
                            &error))
        << error;
    ASSERT_TRUE(peer_.WaitHello(kTimeoutMs, &hello_));
  }

  bool InvokeBool(const std::string& channel) {
    Response response = peer_.Invoke(channel, "q", nullptr, kTimeoutMs);
    EXPECT_EQ(response.kind, ResponseKind::kSuccess) << response.reason;
    return response.kind == ResponseKind::kSuccess &&
           fl_value_get_type(response.result.get()) == FL_VALUE_TYPE_BOOL &&
           fl_value_get_bool(response.result.get());
  }

  // Asks the fake engine to end and checks that it ended cleanly.
  void ExpectCleanExit() {
    Response response = peer_.Invoke("fake/exit", "q", nullptr, kTimeoutMs);
    EXPECT_EQ(response.kind, ResponseKind::kSuccess);
    ExitStatus status;
    ASSERT_TRUE(peer_.WaitExit(kTimeoutMs, &status));
    EXPECT_FALSE(status.signaled);
    EXPECT_EQ(status.code, fake_engine::kExitStatus);
  }

  DartPeer peer_;
  Hello hello_;
};

// The program gets FLUTTER_LINUX_PEER, its HELLO carries its pid and
// arguments, and "drawFrame" was sent after it; its calls are encoded in
// the standard method codec.
TEST_F(DartPeerProcessTest, TalksToARealProcess) {
  StartFakeEngine({"a", "b c"});
  EXPECT_EQ(hello_.pid, peer_.pid());
  EXPECT_EQ(hello_.args, (std::vector<std::string>{"a", "b c"}));
  EXPECT_TRUE(InvokeBool("fake/drawn"));

  g_autoptr(FlValue) args = fl_value_new_map();
  fl_value_set_string_take(args, "k", fl_value_new_int(1LL << 40));
  Response echo = peer_.Invoke("fake/echo", "m", args, kTimeoutMs);
  ASSERT_EQ(echo.kind, ResponseKind::kSuccess);
  ASSERT_EQ(fl_value_get_type(echo.result.get()), FL_VALUE_TYPE_UINT8_LIST);
  raw::Bytes received(fl_value_get_uint8_list(echo.result.get()),
                      fl_value_get_uint8_list(echo.result.get()) +
                          fl_value_get_length(echo.result.get()));
  EXPECT_EQ(raw::ToHex(received),
            "07 01 6d 0d 01 07 01 6b 04 00 00 00 00 00 01 00 00");

  Response error = peer_.Invoke("fake/error", "q", nullptr, kTimeoutMs);
  ASSERT_EQ(error.kind, ResponseKind::kError);
  EXPECT_EQ(error.code, "E1");
  EXPECT_EQ(error.message, std::optional<std::string>("bad"));
  EXPECT_EQ(fl_value_get_int(error.details.get()), 7);
  EXPECT_EQ(peer_.Invoke("fake/none", "q", nullptr, kTimeoutMs).kind,
            ResponseKind::kNotImplemented);
  ExpectCleanExit();
}

// Events and the engine's own calls reach the peer and get their answers.
TEST_F(DartPeerProcessTest, EventsAndCallsFromTheProgram) {
  StartFakeEngine({});
  EXPECT_EQ(peer_.Listen("fake/events", nullptr, kTimeoutMs).kind,
            ResponseKind::kSuccess);
  std::vector<ChannelEvent> skipped;
  ChannelEvent end;
  ASSERT_TRUE(peer_.WaitEventMatching(
      "fake/events",
      [](const ChannelEvent& e) { return e.kind == EventKind::kEndOfStream; },
      kTimeoutMs, &end, &skipped));
  ASSERT_EQ(skipped.size(), 3u);
  EXPECT_EQ(fl_value_get_int(skipped[0].value.get()), 1);
  EXPECT_STREQ(fl_value_get_string(skipped[1].value.get()), "hi");
  EXPECT_EQ(skipped[2].kind, EventKind::kError);
  EXPECT_EQ(skipped[2].code, "E2");
  EXPECT_FALSE(skipped[2].message.has_value());
  EXPECT_EQ(peer_.Cancel("fake/events", nullptr, kTimeoutMs).kind,
            ResponseKind::kSuccess);

  // The fake engine checks that "ping" got the null success 00 00.
  EXPECT_TRUE(InvokeBool("fake/ask"));
  MethodCall call;
  ASSERT_TRUE(
      peer_.WaitMethodCall("fake/fromEngine", "note", kTimeoutMs, &call));
  EXPECT_STREQ(fl_value_get_string(call.args.get()), "x");
  ASSERT_TRUE(
      peer_.WaitMethodCall("fake/fromEngine", "ping", kTimeoutMs, &call));
  EXPECT_EQ(fl_value_get_int(call.args.get()), 5);
  ExpectCleanExit();
}

// With hold_first_frame no "drawFrame" reaches the program.
TEST_F(DartPeerProcessTest, HoldFirstFrame) {
  StartFakeEngine({}, true);
  EXPECT_FALSE(InvokeBool("fake/drawn"));
  ExpectCleanExit();
}

// A texture reads back with its digest and centre pixel and saves as PNG;
// an unknown id gives the engine's error.
TEST_F(DartPeerProcessTest, ReadsTextures) {
  StartFakeEngine({});
  g_autofree gchar* dir = g_dir_make_tmp("dart-peer-XXXXXX", nullptr);
  g_autofree gchar* png = g_build_filename(dir, "t.png", nullptr);
  TextureRead read =
      peer_.ReadTexture(fake_engine::kTextureId, kTimeoutMs, png);
  ASSERT_TRUE(read.ok) << read.error;
  EXPECT_EQ(read.image.width, 2);
  EXPECT_EQ(read.image.Sha256(),
            "67ba0d52cacdb5b17a5622d0b1e24fabdb214298575205e3c99e8034ba5870f7");
  EXPECT_EQ(read.image.Center(),
            (std::array<uint8_t, 4>{0xff, 0xff, 0xff, 0x80}));
  EXPECT_TRUE(g_file_test(png, G_FILE_TEST_IS_REGULAR));
  g_unlink(png);
  g_rmdir(dir);

  TextureRead missing = peer_.ReadTexture(1LL << 33, kTimeoutMs);
  EXPECT_FALSE(missing.ok);
  EXPECT_EQ(missing.response.kind, ResponseKind::kError);
  EXPECT_EQ(missing.response.code, "no_texture");
  ExpectCleanExit();
}

// A program that replaces itself, or whose connection the peer dropped,
// connects again: the new HELLO is reported and gets its own "drawFrame".
TEST_F(DartPeerProcessTest, FollowsTheProgramAcrossReconnects) {
  for (const char* channel : {"fake/exec", "fake/garbage"}) {
    SCOPED_TRACE(channel);
    DartPeer peer;
    std::string error;
    ASSERT_TRUE(peer.Start(fake_engine::SelfPath(),
                           {fake_engine::kFlag, "first"}, {}, false, &error));
    Hello first;
    ASSERT_TRUE(peer.WaitHello(kTimeoutMs, &first));
    EXPECT_EQ(peer.Invoke(channel, "q", nullptr, kTimeoutMs).kind,
              ResponseKind::kSuccess);
    Hello second;
    ASSERT_TRUE(peer.WaitHello(kTimeoutMs, &second));
    EXPECT_EQ(second.args, (std::vector<std::string>{"again"}));
    EXPECT_EQ(second.pid, first.pid);
    EXPECT_EQ(second.connection, first.connection + 1);
    Response drawn = peer.Invoke("fake/drawn", "q", nullptr, kTimeoutMs);
    ASSERT_EQ(drawn.kind, ResponseKind::kSuccess);
    EXPECT_TRUE(fl_value_get_bool(drawn.result.get()));
    EXPECT_EQ(peer.hello_count(), 2);
    EXPECT_EQ(peer.Invoke("fake/exit", "q", nullptr, kTimeoutMs).kind,
              ResponseKind::kSuccess);
    ExitStatus status;
    ASSERT_TRUE(peer.WaitExit(kTimeoutMs, &status));
    EXPECT_EQ(status.code, fake_engine::kExitStatus);
  }
}

// Exit statuses, signals and the environment come through as they are.
TEST_F(DartPeerProcessTest, ReportsHowTheProgramEnded) {
  g_setenv("DART_PEER_TEST_INHERITED", "yes", TRUE);
  const struct {
    const char* script;
    bool signaled;
    int code;
  } cases[] = {
      {"exit 3", false, 3},
      {"kill -TERM $$", true, SIGTERM},
      {"test -S \"$FLUTTER_LINUX_PEER\"", false, 0},
      {"test \"$ZK_SET\" = 1 && test -z \"${ZK_UNSET+x}\" && "
       "test \"$DART_PEER_TEST_INHERITED\" = yes",
       false, 0},
  };
  g_setenv("ZK_UNSET", "present", TRUE);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    DartPeer peer;
    std::string error;
    ASSERT_TRUE(peer.Start("sh", {"-c", c.script}, {"ZK_SET=1", "ZK_UNSET"},
                           false, &error))
        << error;
    ExitStatus status;
    ASSERT_TRUE(peer.WaitExit(kTimeoutMs, &status));
    EXPECT_EQ(status.signaled, c.signaled);
    EXPECT_EQ(status.code, c.code);
    EXPECT_FALSE(status.killed_by_peer);
    // Nothing will carry a request any more: it fails at once.
    EXPECT_EQ(peer.Invoke("c", "m", nullptr, kTimeoutMs).kind,
              ResponseKind::kDisconnected);
  }
  g_unsetenv("ZK_UNSET");
  g_unsetenv("DART_PEER_TEST_INHERITED");
}

// Kill ends a program that would not end, and says so; a request that was
// waiting for a HELLO that never came fails with it.
TEST_F(DartPeerProcessTest, KillsAProgram) {
  std::string error;
  ASSERT_TRUE(peer_.Start("sleep", {"60"}, {}, false, &error)) << error;
  Response timed_out = peer_.Invoke("c", "m", nullptr, 100);
  EXPECT_EQ(timed_out.kind, ResponseKind::kTimedOut);
  EXPECT_FALSE(peer_.WaitExit(100));
  peer_.Kill();
  ExitStatus status;
  ASSERT_TRUE(peer_.WaitExit(kTimeoutMs, &status));
  EXPECT_TRUE(status.signaled);
  EXPECT_EQ(status.code, SIGKILL);
  EXPECT_TRUE(status.killed_by_peer);
  EXPECT_TRUE(peer_.WaitUntil(
      [this]() { return peer_.server().open_requests() == 0; }, kTimeoutMs));
}

// The program's output is captured for the test.
TEST_F(DartPeerProcessTest, CapturesOutput) {
  StartFakeEngine({});
  EXPECT_EQ(peer_.Invoke("fake/print", "q", nullptr, kTimeoutMs).kind,
            ResponseKind::kSuccess);
  EXPECT_TRUE(peer_.WaitOutput("fake engine says hi", kTimeoutMs));
  ExpectCleanExit();
}

}  // namespace
}  // namespace dart_peer
