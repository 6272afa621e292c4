// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <glib.h>
#include <gst/base/gstbasetransform.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "test_media.h"
#include "video_plugin_fixture.h"

namespace {

constexpr char kChannel[] = "zelko_desktop_video";
constexpr guint kReplyTimeoutMs = 20000;

// The threads of this process that bear name.
int ThreadsNamed(const char* name) {
  GDir* dir = g_dir_open("/proc/self/task", 0, nullptr);
  if (dir == nullptr) {
    return 0;
  }
  int count = 0;
  while (const gchar* task = g_dir_read_name(dir)) {
    g_autofree gchar* comm_path =
        g_build_filename("/proc/self/task", task, "comm", nullptr);
    g_autofree gchar* comm = nullptr;
    if (g_file_get_contents(comm_path, &comm, nullptr, nullptr)) {
      g_strchomp(comm);
      count += strcmp(comm, name) == 0;
    }
  }
  g_dir_close(dir);
  return count;
}

// Stands in for videoflip and holds every frame until the test opens it, so
// that work through it ends when the test says.
struct ZkGate {
  GstBaseTransform parent;
};

struct ZkGateClass {
  GstBaseTransformClass parent_class;
};

G_DEFINE_TYPE(ZkGate, zk_gate, GST_TYPE_BASE_TRANSFORM)

std::mutex g_gate_mutex;
std::condition_variable g_gate_changed;
bool g_gate_open = true;

GstStaticPadTemplate gate_sink = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-raw"));
GstStaticPadTemplate gate_src = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-raw"));

void zk_gate_class_init(ZkGateClass* klass) {
  GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
  gst_element_class_add_static_pad_template(element_class, &gate_sink);
  gst_element_class_add_static_pad_template(element_class, &gate_src);
  gst_element_class_set_static_metadata(element_class, "Gate", "Filter/Video",
                                        "Holds frames until opened", "Zelkoz");
  GST_BASE_TRANSFORM_CLASS(klass)->transform_ip = [](GstBaseTransform*,
                                                     GstBuffer*) {
    std::unique_lock<std::mutex> lock(g_gate_mutex);
    g_gate_changed.wait(lock, [] { return g_gate_open; });
    return GST_FLOW_OK;
  };
  // Takes videoflip's one property in the pipeline's description.
  GObjectClass* object_class = G_OBJECT_CLASS(klass);
  object_class->set_property = [](GObject*, guint, const GValue*,
                                  GParamSpec*) {};
  object_class->get_property = [](GObject*, guint, GValue*, GParamSpec*) {};
  g_object_class_install_property(
      object_class, 1,
      g_param_spec_string("video-direction", "video-direction",
                          "video-direction", nullptr, G_PARAM_READWRITE));
}

void zk_gate_init(ZkGate*) {}

// Closes the gate while it lives.
class ClosedGate {
 public:
  ClosedGate() : hidden_({"videoflip"}) {
    Set(false);
    hidden_.Register("videoflip", zk_gate_get_type());
  }
  ~ClosedGate() { Open(); }
  void Open() { Set(true); }

 private:
  static void Set(bool open) {
    {
      std::lock_guard<std::mutex> lock(g_gate_mutex);
      g_gate_open = open;
    }
    g_gate_changed.notify_all();
  }

  test_media::HiddenFactories hidden_;
};

FlValue* Str(const std::string& text) {
  return fl_value_new_string(text.c_str());
}

// Whether response is the success reply of a "poster" call, written or not.
::testing::AssertionResult IsPosterReply(FlMethodResponse* response,
                                         bool written) {
  FlValue* result = SuccessResult(response);
  if (result == nullptr || fl_value_get_type(result) != FL_VALUE_TYPE_BOOL) {
    return ::testing::AssertionFailure() << "not a boolean reply";
  }
  if (fl_value_get_bool(result) != written) {
    return ::testing::AssertionFailure() << "written is " << !written;
  }
  return ::testing::AssertionSuccess();
}

class AsyncReplyTest : public VideoPluginTest {
 protected:
  guint64 BeginProbe(const std::string& path) {
    return Begin("probe", Args({{"path", Str(path)}}));
  }
};

// A call without its required strings is refused at once with "bad_args",
// before any worker is started.
TEST_F(AsyncReplyTest, MissingStringsAreRefusedAtOnce) {
  const std::string clip = test_media::Shared("clip_320x240.mp4");
  const struct {
    const char* what;
    const char* method;
    FlValue* args;
  } cases[] = {
      {"probe, no arguments", "probe", nullptr},
      {"probe, not a map", "probe", fl_value_new_int(3)},
      {"probe, empty map", "probe", Args({})},
      {"probe, path an integer", "probe",
       Args({{"path", fl_value_new_int(1)}})},
      {"probe, path null", "probe", Args({{"path", fl_value_new_null()}})},
      {"poster, no arguments", "poster", nullptr},
      {"poster, no output", "poster", Args({{"path", Str(clip)}})},
      {"poster, no path", "poster", Args({{"output", Str("/tmp/p.jpg")}})},
      {"poster, output a list", "poster",
       Args({{"path", Str(clip)}, {"output", fl_value_new_list()}})},
  };
  const int workers_before = ThreadsNamed("zk-video-work");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const guint64 ticket = Begin(c.method, c.args);
    EXPECT_EQ(Replies(ticket), 1u) << "not answered before the handler ended";
    g_autoptr(FlMethodResponse) response = Finish(ticket);
    ASSERT_NE(response, nullptr);
    ASSERT_TRUE(FL_IS_METHOD_ERROR_RESPONSE(response));
    auto* error = FL_METHOD_ERROR_RESPONSE(response);
    EXPECT_STREQ(fl_method_error_response_get_code(error), "bad_args");
    EXPECT_GT(strlen(fl_method_error_response_get_message(error)), 0u);
    EXPECT_EQ(fl_method_error_response_get_details(error), nullptr);
  }
  EXPECT_EQ(ThreadsNamed("zk-video-work"), workers_before);
}

// "probe" is answered later, always with a success: the probe map with its
// keys in order, or null for what cannot be probed.
TEST_F(AsyncReplyTest, ProbeReplies) {
  const std::string clip = test_media::Shared("clip_320x240.mp4");
  const guint64 ticket = BeginProbe(clip);
  EXPECT_EQ(Replies(ticket), 0u) << "answered on the main thread";
  g_autoptr(FlMethodResponse) response = Finish(ticket);
  FlValue* result = SuccessResult(response);
  ASSERT_NE(result, nullptr);
  ASSERT_EQ(fl_value_get_type(result), FL_VALUE_TYPE_MAP);
  const struct {
    const char* key;
    FlValueType type;
    int64_t number;  // An integer's value; a bool's as 0 or 1.
  } expected[] = {
      {"durationMs", FL_VALUE_TYPE_INT, 2000},
      {"width", FL_VALUE_TYPE_INT, 320},
      {"height", FL_VALUE_TYPE_INT, 240},
      {"hasVideo", FL_VALUE_TYPE_BOOL, 1},
      {"hasAudio", FL_VALUE_TYPE_BOOL, 1},
      {"h264", FL_VALUE_TYPE_BOOL, 1},
      {"aac", FL_VALUE_TYPE_BOOL, 1},
      {"mp4", FL_VALUE_TYPE_BOOL, 1},
  };
  ASSERT_EQ(fl_value_get_length(result), G_N_ELEMENTS(expected));
  for (size_t i = 0; i < G_N_ELEMENTS(expected); ++i) {
    SCOPED_TRACE(expected[i].key);
    FlValue* key = fl_value_get_map_key(result, i);
    ASSERT_EQ(fl_value_get_type(key), FL_VALUE_TYPE_STRING);
    EXPECT_STREQ(fl_value_get_string(key), expected[i].key);
    FlValue* value = fl_value_get_map_value(result, i);
    ASSERT_EQ(fl_value_get_type(value), expected[i].type);
    EXPECT_EQ(expected[i].type == FL_VALUE_TYPE_INT
                  ? fl_value_get_int(value)
                  : static_cast<int64_t>(fl_value_get_bool(value)),
              expected[i].number);
  }

  // An unknown duration travels as null.
  g_autoptr(FlMethodResponse) unknown =
      Finish(BeginProbe(test_media::Shared("no_duration.mjpeg")));
  FlValue* no_duration = SuccessResult(unknown);
  ASSERT_NE(no_duration, nullptr);
  ASSERT_EQ(fl_value_get_type(no_duration), FL_VALUE_TYPE_MAP);
  FlValue* duration = fl_value_lookup_string(no_duration, "durationMs");
  ASSERT_NE(duration, nullptr);
  EXPECT_EQ(fl_value_get_type(duration), FL_VALUE_TYPE_NULL);

  test_media::ScratchDir scratch;
  for (const std::string& path :
       {scratch.File("missing.mp4"), test_media::Shared("text.txt"),
        test_media::Shared("empty.mp4"), std::string("clip_320x240.mp4")}) {
    SCOPED_TRACE(path);
    g_autoptr(FlMethodResponse) failed = Finish(BeginProbe(path));
    FlValue* value = SuccessResult(failed);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(fl_value_get_type(value), FL_VALUE_TYPE_NULL);
  }
}

// "poster" is answered later with whether the JPEG was written; "maxSide"
// defaults to 640 when missing or not an integer, and a limit beyond 32 bits
// stays a large limit.
TEST_F(AsyncReplyTest, PosterReplies) {
  test_media::ScratchDir scratch;
  const std::string clip = test_media::Shared("clip_960x540.mp4");
  const struct {
    const char* what;
    FlValue* max_side;  // nullptr: not sent.
    int width;
    int height;
  } cases[] = {
      {"default", nullptr, 640, 360},
      {"320", fl_value_new_int(320), 320, 180},
      {"0", fl_value_new_int(0), 960, 540},
      {"a float", fl_value_new_float(100.0), 640, 360},
      {"2^32 + 100", fl_value_new_int((int64_t{1} << 32) + 100), 960, 540},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string output =
        scratch.File("poster" + std::to_string(index++) + ".jpg");
    FlValue* args = Args({{"path", Str(clip)}, {"output", Str(output)}});
    if (c.max_side != nullptr) {
      fl_value_set_string_take(args, "maxSide", c.max_side);
    }
    const guint64 ticket = Begin("poster", args);
    EXPECT_EQ(Replies(ticket), 0u) << "answered on the main thread";
    g_autoptr(FlMethodResponse) response = Finish(ticket);
    EXPECT_TRUE(IsPosterReply(response, true));
    g_autoptr(GdkPixbuf) poster =
        gdk_pixbuf_new_from_file(output.c_str(), nullptr);
    ASSERT_NE(poster, nullptr);
    EXPECT_EQ(gdk_pixbuf_get_width(poster), c.width);
    EXPECT_EQ(gdk_pixbuf_get_height(poster), c.height);
  }

  for (const auto& failing :
       {std::make_pair(clip, scratch.File("no/such/folder/p.jpg")),
        std::make_pair(test_media::Shared("audio.m4a"),
                       scratch.File("a.jpg"))}) {
    SCOPED_TRACE(failing.first + " -> " + failing.second);
    g_autoptr(FlMethodResponse) response = Finish(Begin(
        "poster",
        Args({{"path", Str(failing.first)}, {"output", Str(failing.second)}})));
    EXPECT_TRUE(IsPosterReply(response, false));
  }
}

// Replies come in the order the work finishes: a full-size poster of the
// 1080p clip, held by a gate until the test opens it, is overtaken by a
// probe of a text file started after it. A dispatcher that ran the work in
// turn, or on the main thread, answers them the other way round (or not at
// all). Meanwhile the poster runs on a thread named "zk-video-work" and the
// main thread goes on answering.
TEST_F(AsyncReplyTest, RepliesInTheOrderWorkFinishes) {
  test_media::ScratchDir scratch;
  const std::string output = scratch.File("slow.jpg");
  ClosedGate gate;
  const guint64 slow =
      Begin("poster", Args({{"path", Str(test_media::Shared("clip_1080p.mp4"))},
                            {"output", Str(output)},
                            {"maxSide", fl_value_new_int(0)}}));
  EXPECT_TRUE(test_media::WaitUntil(
      [&]() { return ThreadsNamed("zk-video-work") > 0; }, 5000))
      << "no worker thread of that name";
  const guint64 fast = BeginProbe(test_media::Shared("text.txt"));

  g_autoptr(FlMethodResponse) fast_response = Finish(fast);
  FlValue* fast_result = SuccessResult(fast_response);
  ASSERT_NE(fast_result, nullptr);
  EXPECT_EQ(fl_value_get_type(fast_result), FL_VALUE_TYPE_NULL);
  EXPECT_EQ(Replies(slow), 0u) << "the poster started first was answered first";
  EXPECT_FALSE(test_media::Exists(output));

  // The main thread answers at once while the poster runs.
  const guint64 encoders = Begin("encoders", nullptr);
  EXPECT_EQ(Replies(encoders), 1u);
  EXPECT_EQ(Replies(slow), 0u);

  gate.Open();
  g_autoptr(FlMethodResponse) slow_response = Finish(slow);
  EXPECT_TRUE(IsPosterReply(slow_response, true));
  g_autoptr(GdkPixbuf) picture =
      gdk_pixbuf_new_from_file(output.c_str(), nullptr);
  ASSERT_NE(picture, nullptr);
  EXPECT_EQ(gdk_pixbuf_get_width(picture), 1920);
  test_media::Drain();
  EXPECT_EQ(Replies(slow), 1u);
  EXPECT_EQ(Replies(fast), 1u);
}

// Many calls in flight at once each get exactly one reply, with their own
// result.
TEST_F(AsyncReplyTest, EachCallGetsItsOwnReply) {
  test_media::ScratchDir scratch;
  const struct {
    const char* name;
    int64_t width;  // The probe's width; 0 for null.
  } probes[] = {
      {"clip_320x240.mp4", 320}, {"clip_960x540.mp4", 960},
      {"rotate90.mp4", 360},     {"anamorphic.mp4", 768},
      {"thin.mp4", 2560},        {"audio.mp3", 0},
      {"two_video.mkv", 320},    {"text.txt", -1},
  };
  const struct {
    const char* name;
    int32_t max_side;
    bool written;
  } posters[] = {
      {"clip_960x540.mp4", 200, true},
      {"rotate270.mp4", 100, true},
      {"clip_0_8s.mp4", 0, true},
      {"audio.m4a", 640, false},
  };
  std::vector<guint64> probe_tickets;
  for (const auto& p : probes) {
    probe_tickets.push_back(BeginProbe(test_media::Shared(p.name)));
  }
  std::vector<guint64> poster_tickets;
  int index = 0;
  for (const auto& p : posters) {
    poster_tickets.push_back(Begin(
        "poster",
        Args({{"path", Str(test_media::Shared(p.name))},
              {"output", Str(scratch.File(std::to_string(index++) + ".jpg"))},
              {"maxSide", fl_value_new_int(p.max_side)}})));
  }
  for (size_t i = 0; i < G_N_ELEMENTS(probes); ++i) {
    SCOPED_TRACE(probes[i].name);
    g_autoptr(FlMethodResponse) response = Finish(probe_tickets[i]);
    FlValue* result = SuccessResult(response);
    ASSERT_NE(result, nullptr);
    if (probes[i].width < 0) {
      EXPECT_EQ(fl_value_get_type(result), FL_VALUE_TYPE_NULL);
      continue;
    }
    ASSERT_EQ(fl_value_get_type(result), FL_VALUE_TYPE_MAP);
    EXPECT_EQ(fl_value_get_int(fl_value_lookup_string(result, "width")),
              probes[i].width);
  }
  for (size_t i = 0; i < G_N_ELEMENTS(posters); ++i) {
    SCOPED_TRACE(posters[i].name);
    g_autoptr(FlMethodResponse) response = Finish(poster_tickets[i]);
    EXPECT_TRUE(IsPosterReply(response, posters[i].written));
  }
  test_media::Drain();
  for (guint64 ticket : probe_tickets) {
    EXPECT_EQ(Replies(ticket), 1u);
  }
  for (guint64 ticket : poster_tickets) {
    EXPECT_EQ(Replies(ticket), 1u);
  }
}

// Work in flight when the plugin goes away still finishes and attempts its
// reply: jobs depend on nothing of the plugin. (A completion runs only on the
// main loop, which does not turn between the call and the shut-down, so the
// job is still in flight then however fast it is.)
TEST(AsyncReplyLifetimeTest, OutlivesThePlugin) {
  test_media::ScratchDir scratch;
  const std::string output = scratch.File("poster.jpg");
  g_autoptr(FlFakeMessenger) messenger = fl_fake_messenger_new();
  g_autoptr(FlPluginRegistrar) registrar =
      fl_fake_plugin_registrar_new(FL_BINARY_MESSENGER(messenger), nullptr);
  ZelkoDesktopVideoPlugin* plugin = zelko_desktop_video_plugin_new(registrar);
  g_object_add_weak_pointer(G_OBJECT(plugin),
                            reinterpret_cast<gpointer*>(&plugin));
  g_object_unref(plugin);

  g_autoptr(FlValue) args = fl_value_new_map();
  fl_value_set_string_take(args, "path",
                           Str(test_media::Shared("clip_320x240.mp4")));
  fl_value_set_string_take(args, "output", Str(output));
  const guint64 ticket = fl_fake_messenger_begin_standard_method(
      messenger, kChannel, "poster", args);
  fl_fake_messenger_shutdown(messenger);
  EXPECT_EQ(plugin, nullptr) << "the plugin outlived its channel handlers";
  EXPECT_EQ(fl_fake_messenger_get_reply_count(messenger, ticket), 0u);

  g_autoptr(FlMethodResponse) response =
      fl_fake_messenger_finish_standard_method(messenger, ticket,
                                               kReplyTimeoutMs);
  EXPECT_TRUE(IsPosterReply(response, true));
  g_autoptr(GdkPixbuf) picture =
      gdk_pixbuf_new_from_file(output.c_str(), nullptr);
  EXPECT_NE(picture, nullptr);
  test_media::Drain();
  EXPECT_EQ(fl_fake_messenger_get_reply_count(messenger, ticket), 1u);
}

}  // namespace
