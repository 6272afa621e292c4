// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include <flutter_linux/flutter_linux.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_media.h"
#include "video_plugin_fixture.h"

namespace {

using test_media::Exists;
using test_media::LogCapture;
using test_media::OutputPath;

constexpr char kProgress[] = "zelko_desktop_video/compress";
constexpr guint kJobTimeoutMs = 30000;

// Every response the plugin sends through the fake messenger, in the order
// sent, whatever call it answers. Wraps the fake's send_response while it
// lives.
class ResponseLog {
 public:
  explicit ResponseLog(FlFakeMessenger* messenger)
      : iface_(static_cast<FlBinaryMessengerInterface*>(
            g_type_interface_peek(G_OBJECT_GET_CLASS(messenger),
                                  fl_binary_messenger_get_type()))),
        codec_(fl_standard_method_codec_new()) {
    original_ = iface_->send_response;
    current_ = this;
    iface_->send_response = Record;
  }
  ~ResponseLog() {
    iface_->send_response = original_;
    current_ = nullptr;
    for (FlMethodResponse* response : responses_) {
      g_object_unref(response);
    }
    g_object_unref(codec_);
  }
  ResponseLog(const ResponseLog&) = delete;
  ResponseLog& operator=(const ResponseLog&) = delete;

  const std::vector<FlMethodResponse*>& responses() const { return responses_; }

 private:
  static gboolean Record(FlBinaryMessenger* messenger,
                         FlBinaryMessengerResponseHandle* handle,
                         GBytes* response,
                         GError** error) {
    ResponseLog* self = current_;
    FlMethodResponse* decoded =
        FL_METHOD_CODEC_GET_CLASS(self->codec_)
            ->decode_response(FL_METHOD_CODEC(self->codec_), response, nullptr);
    if (decoded != nullptr) {
      self->responses_.push_back(decoded);
    }
    return self->original_(messenger, handle, response, error);
  }

  static ResponseLog* current_;
  FlBinaryMessengerInterface* iface_;
  decltype(FlBinaryMessengerInterface::send_response) original_;
  FlStandardMethodCodec* codec_;
  std::vector<FlMethodResponse*> responses_;  // One reference each.
};

ResponseLog* ResponseLog::current_ = nullptr;

class CompressTest : public VideoPluginTest {
 protected:
  void TearDown() override {
    // The clean-up of a finished job holds the plugin until it has run.
    test_media::Drain();
    if (plugin_ != nullptr) {
      VideoPluginTest::TearDown();
      return;
    }
    // The test has shut the plugin down itself.
    g_clear_object(&registrar_);
    g_clear_object(&textures_);
    g_clear_object(&messenger_);
  }

  static FlValue* JobArgs(const std::string& input,
                          const std::string& output,
                          int64_t duration_ms,
                          bool has_audio = false,
                          int64_t width = 320,
                          int64_t height = 240) {
    FlValue* args = Args({{"input", fl_value_new_string(input.c_str())},
                          {"output", fl_value_new_string(output.c_str())},
                          {"width", fl_value_new_int(width)},
                          {"height", fl_value_new_int(height)},
                          {"videoKbps", fl_value_new_int(800)}});
    if (duration_ms != 0) {
      fl_value_set_string_take(args, "durationMs",
                               fl_value_new_int(duration_ms));
    }
    if (has_audio) {
      fl_value_set_string_take(args, "hasAudio", fl_value_new_bool(true));
    }
    return args;
  }

  void ListenToProgress(const char* method = "listen") {
    g_autoptr(FlMethodResponse) response =
        fl_fake_messenger_invoke_standard_method(messenger_, kProgress, method,
                                                 nullptr);
    ASSERT_NE(SuccessResult(response), nullptr) << method;
  }
  bool WaitForProgress(guint count) {
    return fl_fake_messenger_wait_for_messages(messenger_, kProgress, count,
                                               kJobTimeoutMs);
  }
  guint ProgressCount() {
    return fl_fake_messenger_get_message_count(messenger_, kProgress);
  }
  // The fractions sent so far; a failure for anything but a float event.
  std::vector<double> Progress() {
    g_autoptr(FlValue) events =
        fl_fake_messenger_decode_events(messenger_, kProgress);
    std::vector<double> fractions;
    for (size_t i = 0; i < fl_value_get_length(events); ++i) {
      FlValue* event =
          fl_value_lookup_string(fl_value_get_list_value(events, i), "event");
      if (event == nullptr || fl_value_get_type(event) != FL_VALUE_TYPE_FLOAT) {
        ADD_FAILURE() << "progress event " << i << " is not a float";
        continue;
      }
      fractions.push_back(fl_value_get_float(event));
    }
    return fractions;
  }
};

// The {"ok", "cancelled"} reply of a job, keys in that order; false after a
// failure.
::testing::AssertionResult IsOutcome(FlMethodResponse* response,
                                     bool ok,
                                     bool cancelled) {
  if (response == nullptr || !FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
    return ::testing::AssertionFailure() << "no success reply";
  }
  FlValue* result = fl_method_success_response_get_result(
      FL_METHOD_SUCCESS_RESPONSE(response));
  if (fl_value_get_type(result) != FL_VALUE_TYPE_MAP ||
      fl_value_get_length(result) != 2) {
    return ::testing::AssertionFailure() << "not a map of two";
  }
  const char* keys[] = {"ok", "cancelled"};
  const bool expected[] = {ok, cancelled};
  for (int i = 0; i < 2; ++i) {
    FlValue* key = fl_value_get_map_key(result, i);
    FlValue* value = fl_value_get_map_value(result, i);
    if (fl_value_get_type(key) != FL_VALUE_TYPE_STRING ||
        strcmp(fl_value_get_string(key), keys[i]) != 0 ||
        fl_value_get_type(value) != FL_VALUE_TYPE_BOOL) {
      return ::testing::AssertionFailure() << "entry " << i << " is wrong";
    }
    if (fl_value_get_bool(value) != expected[i]) {
      return ::testing::AssertionFailure()
             << keys[i] << " is " << fl_value_get_bool(value);
    }
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult IsError(FlMethodResponse* response,
                                   const char* code,
                                   const char* message) {
  if (response == nullptr || !FL_IS_METHOD_ERROR_RESPONSE(response)) {
    return ::testing::AssertionFailure() << "no error reply";
  }
  auto* error = FL_METHOD_ERROR_RESPONSE(response);
  if (strcmp(fl_method_error_response_get_code(error), code) != 0 ||
      g_strcmp0(fl_method_error_response_get_message(error), message) != 0 ||
      fl_method_error_response_get_details(error) != nullptr) {
    return ::testing::AssertionFailure()
           << fl_method_error_response_get_code(error) << ": "
           << fl_method_error_response_get_message(error);
  }
  return ::testing::AssertionSuccess();
}

bool IsNull(FlMethodResponse* response) {
  return response != nullptr && FL_IS_METHOD_SUCCESS_RESPONSE(response) &&
         fl_value_get_type(fl_method_success_response_get_result(
             FL_METHOD_SUCCESS_RESPONSE(response))) == FL_VALUE_TYPE_NULL;
}

// A job runs to {"ok": true}; its progress goes to the listener as rising
// floats in [0, 1]; a second "compress" meanwhile is refused, even without
// arguments, and leaves the job alone.
TEST_F(CompressTest, CompressesWithProgress) {
  const std::string input = test_media::SlowClip();
  ASSERT_FALSE(input.empty());
  const std::string output = OutputPath("plugin.mp4");
  ListenToProgress();
  const guint64 ticket = Begin("compress", JobArgs(input, output, 3000));
  EXPECT_EQ(Replies(ticket), 0u);
  {
    g_autoptr(FlMethodResponse) busy = Call("compress");
    EXPECT_TRUE(IsError(busy, "busy", "already compressing"));
  }
  g_autoptr(FlMethodResponse) response = Finish(ticket);
  EXPECT_TRUE(IsOutcome(response, true, false));
  std::vector<double> progress = Progress();
  ASSERT_FALSE(progress.empty());
  for (size_t i = 0; i < progress.size(); ++i) {
    EXPECT_GE(progress[i], 0.0);
    EXPECT_LE(progress[i], 1.0);
    if (i > 0) {
      EXPECT_GE(progress[i], progress[i - 1]);
    }
  }
  auto video = test_media::FfProbe(output).Of("video");
  ASSERT_EQ(video.size(), 1u);
  EXPECT_EQ(video[0]["codec_name"], "h264");
  EXPECT_EQ(video[0]["width"], "320");
  EXPECT_EQ(video[0]["height"], "240");
  test_media::Drain();

  // Without "durationMs" there is nothing to report progress against.
  fl_fake_messenger_clear_messages(messenger_, kProgress);
  g_autoptr(FlMethodResponse) second =
      Finish(Begin("compress", JobArgs(input, output, 0)));
  EXPECT_TRUE(IsOutcome(second, true, false));
  EXPECT_EQ(ProgressCount(), 0u);
  g_remove(output.c_str());
}

// Progress nobody listens to is lost: a listener that leaves hears no more,
// and one that comes back hears only later values.
TEST_F(CompressTest, ProgressOnlyWhileListened) {
  // A minute of video: still at work after the unheard quarter second on
  // any machine, and cancelled once the listener has heard it again.
  const std::string input = test_media::Shared("clip_60s.mp4");
  ASSERT_FALSE(input.empty());
  const std::string output = OutputPath("halfway.mp4");
  ListenToProgress();
  const guint64 ticket =
      Begin("compress", JobArgs(input, output, 60000, false, 320, 240));
  ASSERT_TRUE(WaitForProgress(1));
  ListenToProgress("cancel");
  const std::vector<double> before = Progress();

  // A quarter of a second of the job goes unheard.
  test_media::RunFor(250);
  EXPECT_EQ(Progress().size(), before.size());
  ASSERT_EQ(Replies(ticket), 0u)
      << "the job ended before the listener came back";

  ListenToProgress();
  ASSERT_TRUE(WaitForProgress(before.size() + 1));
  EXPECT_GT(Progress()[before.size()], before.back());
  g_autoptr(FlMethodResponse) cancel = Call("compressCancel");
  g_autoptr(FlMethodResponse) response = Finish(ticket);
  EXPECT_TRUE(IsOutcome(response, false, true));
}

// "compressCancel" during a job answers the job's call first, as cancelled,
// then its own with null; the partial output is gone and the next job may
// start once the old one is cleaned up.
TEST_F(CompressTest, CancelAnswersTheJobFirst) {
  const std::string input = test_media::SlowClip();
  ASSERT_FALSE(input.empty());
  const std::string output = OutputPath("cancel.mp4");
  ListenToProgress();
  const guint64 ticket = Begin("compress", JobArgs(input, output, 3000));
  ASSERT_TRUE(WaitForProgress(1));
  EXPECT_FALSE(Exists(output)) << "a half-written file under the name";
  {
    ResponseLog log(messenger_);
    g_autoptr(FlMethodResponse) cancel = Call("compressCancel");
    EXPECT_TRUE(IsNull(cancel));
    ASSERT_EQ(log.responses().size(), 2u);
    EXPECT_TRUE(IsOutcome(log.responses()[0], false, true));
    EXPECT_TRUE(IsNull(log.responses()[1]));
  }
  EXPECT_FALSE(Exists(output));
  g_autoptr(FlMethodResponse) response = Finish(ticket);
  EXPECT_TRUE(IsOutcome(response, false, true));
  test_media::Drain();
  EXPECT_EQ(Replies(ticket), 1u);

  test_media::HiddenFactories hidden(H264EncoderCatalogue());
  g_autoptr(FlMethodResponse) next =
      Finish(Begin("compress", JobArgs(input, output, 0)));
  EXPECT_TRUE(IsOutcome(next, false, false)) << "still busy";
}

// Without a usable encoder the job is answered before the handler returns,
// silently, and stays "busy" until its clean-up has run; a cancel in between
// answers nothing twice.
TEST_F(CompressTest, EndsAtOnceWithoutEncoders) {
  const std::string input = test_media::Shared("clip_320x240.mp4");
  ASSERT_FALSE(input.empty());
  const struct {
    const char* name;
    std::vector<std::string> hidden;
    bool has_audio;
  } cases[] = {
      {"no H.264 encoder", H264EncoderCatalogue(), false},
      {"audio without AAC", AacEncoderCatalogue(), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test_media::HiddenFactories hidden(c.hidden);
    const std::string output = OutputPath("never.mp4");
    LogCapture log;
    const guint64 ticket =
        Begin("compress", JobArgs(input, output, 2000, c.has_audio));
    EXPECT_EQ(Replies(ticket), 1u) << "not answered inside the handler";
    g_autoptr(FlMethodResponse) response = Finish(ticket);
    EXPECT_TRUE(IsOutcome(response, false, false));

    // Before the clean-up has had its turn on the main loop.
    g_autoptr(FlMethodResponse) cancel = Call("compressCancel");
    EXPECT_TRUE(IsNull(cancel));
    g_autoptr(FlMethodResponse) busy = Call("compress");
    EXPECT_TRUE(IsError(busy, "busy", "already compressing"));
    EXPECT_EQ(Replies(ticket), 1u);
    EXPECT_TRUE(log.messages().empty());

    test_media::Drain();
    g_autoptr(FlMethodResponse) again = Call("compress");
    EXPECT_TRUE(IsError(again, "bad_args", "input and output are required"))
        << "the finished job was not cleaned up";
  }
}

// A call without both paths as strings is refused and makes no job.
TEST_F(CompressTest, RefusesMissingPaths) {
  const struct {
    const char* name;
    FlValue* args;
  } cases[] = {
      {"no arguments", nullptr},
      {"not a map", fl_value_new_string("input")},
      {"no output", Args({{"input", fl_value_new_string("/tmp/a.mp4")}})},
      {"no input", Args({{"output", fl_value_new_string("/tmp/b.mp4")}})},
      {"output not a string",
       Args({{"input", fl_value_new_string("/tmp/a.mp4")},
             {"output", fl_value_new_int(7)}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_autoptr(FlValue) args = c.args;
    g_autoptr(FlMethodResponse) response = Call("compress", args);
    EXPECT_TRUE(IsError(response, "bad_args", "input and output are required"));
    g_autoptr(FlMethodResponse) cancel = Call("compressCancel");
    EXPECT_TRUE(IsNull(cancel));
  }
  // Not "busy": none of them left a job behind.
  g_autoptr(FlMethodResponse) none = Call("compress");
  EXPECT_TRUE(IsError(none, "bad_args", "input and output are required"));
}

// Empty paths are strings: the job is made, fails and says so in its reply.
TEST_F(CompressTest, EmptyInputFailsInTheReply) {
  const std::string output = OutputPath("from_nothing.mp4");
  LogCapture log;
  g_autoptr(FlMethodResponse) response =
      Finish(Begin("compress", JobArgs("", output, 1000)));
  EXPECT_TRUE(IsOutcome(response, false, false));
  EXPECT_FALSE(Exists(output));
  EXPECT_FALSE(
      log.Starting("Video compress: x264enc couldn't start: ").empty());
}

// The application going away mid-job stops the job: no reply, no event
// afterwards.
TEST_F(CompressTest, DisposalStopsTheJobSilently) {
  const std::string input = test_media::SlowClip();
  ASSERT_FALSE(input.empty());
  const std::string output = OutputPath("disposed.mp4");
  ListenToProgress();
  const guint64 ticket = Begin("compress", JobArgs(input, output, 3000));
  ASSERT_TRUE(WaitForProgress(1));
  test_media::Watch plugin(plugin_);
  g_clear_object(&plugin_);
  fl_fake_messenger_shutdown(messenger_);
  EXPECT_FALSE(plugin.alive()) << "the plugin outlived the engine";
  const guint events = ProgressCount();
  test_media::RunFor(300);
  EXPECT_EQ(ProgressCount(), events);
  EXPECT_EQ(Replies(ticket), 0u);
  g_remove(output.c_str());
}

}  // namespace
