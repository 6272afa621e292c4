// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "transcoder.h"

#include <glib/gstdio.h>
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "test_media.h"

namespace {

using test_media::Exists;
using test_media::FfProbe;
using test_media::HiddenFactories;
using test_media::LogCapture;
using test_media::MakeJob;
using test_media::Outcome;
using test_media::OutputPath;
using test_media::Probe;
using test_media::ReadFile;
using test_media::RunJob;

constexpr guint kJobTimeoutMs = 30000;

// ---------------------------------------------------------------------------
// An encoder that breaks, registered under a real encoder's factory name.

enum class Breakage {
  kWhileRunning,  // Posts an error at its third frame.
  kAtStart,       // Refuses to leave the NULL state.
};

Breakage g_breakage = Breakage::kWhileRunning;

constexpr char kBrokenMessage[] = "broken encoder gave up";

struct ZkBrokenEncoder {
  GstElement parent;
  int frames;
};

struct ZkBrokenEncoderClass {
  GstElementClass parent_class;
};

G_DEFINE_TYPE(ZkBrokenEncoder, zk_broken_encoder, GST_TYPE_ELEMENT)

GstStaticPadTemplate broken_sink_template =
    GST_STATIC_PAD_TEMPLATE("sink",
                            GST_PAD_SINK,
                            GST_PAD_ALWAYS,
                            GST_STATIC_CAPS("video/x-raw,format=I420"));
GstStaticPadTemplate broken_src_template = GST_STATIC_PAD_TEMPLATE(
    "src",
    GST_PAD_SRC,
    GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-h264,stream-format=avc,alignment=au"));

GstFlowReturn BrokenChain(GstPad* pad, GstObject* parent, GstBuffer* buffer) {
  auto* self = reinterpret_cast<ZkBrokenEncoder*>(parent);
  gst_buffer_unref(buffer);
  if (++self->frames < 3) {
    return GST_FLOW_OK;
  }
  GST_ELEMENT_ERROR(self, STREAM, ENCODE, ("%s", kBrokenMessage), (nullptr));
  return GST_FLOW_ERROR;
}

// Takes every event: nothing it makes ever reaches the muxer.
gboolean BrokenEvent(GstPad* pad, GstObject* parent, GstEvent* event) {
  gst_event_unref(event);
  return TRUE;
}

GstStateChangeReturn BrokenChangeState(GstElement* element,
                                       GstStateChange transition) {
  if (g_breakage == Breakage::kAtStart &&
      transition == GST_STATE_CHANGE_NULL_TO_READY) {
    return GST_STATE_CHANGE_FAILURE;
  }
  return GST_ELEMENT_CLASS(zk_broken_encoder_parent_class)
      ->change_state(element, transition);
}

void zk_broken_encoder_class_init(ZkBrokenEncoderClass* klass) {
  GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
  gst_element_class_add_static_pad_template(element_class,
                                            &broken_sink_template);
  gst_element_class_add_static_pad_template(element_class,
                                            &broken_src_template);
  gst_element_class_set_static_metadata(element_class, "Broken encoder",
                                        "Codec/Encoder/Video",
                                        "An encoder that fails", "Zelkoz");
  element_class->change_state = BrokenChangeState;
  // Takes the catalogue's properties, so the branch parses cleanly.
  GObjectClass* object_class = G_OBJECT_CLASS(klass);
  object_class->set_property = [](GObject*, guint, const GValue*, GParamSpec*) {
  };
  object_class->get_property = [](GObject*, guint, GValue*, GParamSpec*) {};
  const char* ints[] = {"bitrate", "key-int-max", "bframes"};
  guint id = 1;
  for (const char* name : ints) {
    g_object_class_install_property(
        object_class, id++,
        g_param_spec_int(name, name, name, 0, G_MAXINT, 0, G_PARAM_READWRITE));
  }
  g_object_class_install_property(
      object_class, id,
      g_param_spec_string("speed-preset", "speed-preset", "speed-preset",
                          nullptr, G_PARAM_READWRITE));
}

void zk_broken_encoder_init(ZkBrokenEncoder* self) {
  GstPad* sink =
      gst_pad_new_from_static_template(&broken_sink_template, "sink");
  gst_pad_set_chain_function(sink, BrokenChain);
  gst_pad_set_event_function(sink, BrokenEvent);
  gst_element_add_pad(GST_ELEMENT(self), sink);
  gst_element_add_pad(GST_ELEMENT(self), gst_pad_new_from_static_template(
                                             &broken_src_template, "src"));
}

// What comes after a quiet interval goes at once; what comes sooner waits
// for the interval's end, the newest replacing the older, and nothing goes
// once the throttle has been stopped.
TEST(LatestValueThrottleTest, DeliversTheNewestWhenItsTimeComes) {
  // Long enough that the statements between two offers never take as long,
  // even sanitized on a busy machine.
  constexpr gint64 kIntervalMs = 1500;
  std::vector<std::pair<gint64, double>> delivered;  // Monotonic us, value.
  LatestValueThrottle throttle(kIntervalMs, [&delivered](double value) {
    delivered.emplace_back(g_get_monotonic_time(), value);
  });
  throttle.Offer(0.1);
  ASSERT_EQ(delivered.size(), 1u);
  throttle.Offer(0.2);
  throttle.Offer(0.3);
  EXPECT_EQ(delivered.size(), 1u);
  ASSERT_TRUE(
      test_media::WaitUntil([&] { return delivered.size() >= 2; }, 20000));
  throttle.Offer(0.4);
  throttle.Stop();
  test_media::RunFor(kIntervalMs + 200);
  ASSERT_EQ(delivered.size(), 2u);
  EXPECT_EQ(delivered[1].second, 0.3);
  EXPECT_GE(delivered[1].first - delivered[0].first, kIntervalMs * 1000);
  throttle.Offer(0.5);
  ASSERT_EQ(delivered.size(), 3u);
  EXPECT_EQ(delivered[2].second, 0.5);
}

bool SquarePixels(const std::map<std::string, std::string>& stream) {
  auto sar = stream.find("sample_aspect_ratio");
  return sar == stream.end() || sar->second == "1:1" || sar->second == "0:1" ||
         sar->second == "N/A";
}

// ---------------------------------------------------------------------------

// What comes out: H.264 at the asked size with square pixels and at most 30
// frames/s, 4:2:0 whatever the source, AAC 48 kHz stereo only when asked,
// the first stream of each kind only.
TEST(TranscoderTest, WritesWhatPlaysEverywhere) {
  const struct {
    const char* name;
    std::string input;
    int width;
    int height;
    bool has_audio;
    int audio_streams;
  } cases[] = {
      {"60 fps 16:15 with audio", test_media::AvClip(), 160, 120, true, 1},
      {"audio not asked for", test_media::Shared("clip_320x240.mp4"), 96, 64,
       false, 0},
      {"4:4:4 source", test_media::Shared("yuv444.mp4"), 128, 96, false, 0},
      {"two video streams", test_media::Shared("two_video.mkv"), 64, 48, false,
       0},
      {"two of each stream", test_media::TwoStreamClip(), 64, 48, true, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.input.empty());
    const std::string output = OutputPath("out.mp4");
    LogCapture log;
    Outcome outcome =
        RunJob({c.input, output, c.width, c.height, 0, c.has_audio});
    EXPECT_TRUE(outcome.ok);
    EXPECT_FALSE(outcome.cancelled);
    EXPECT_TRUE(log.messages().empty()) << log.messages().front();

    Probe probe = FfProbe(output);
    EXPECT_NE(probe.format["format_name"].find("mp4"), std::string::npos);
    auto video = probe.Of("video");
    ASSERT_EQ(video.size(), 1u);
    EXPECT_EQ(video[0]["codec_name"], "h264");
    EXPECT_EQ(video[0]["width"], std::to_string(c.width));
    EXPECT_EQ(video[0]["height"], std::to_string(c.height));
    EXPECT_TRUE(SquarePixels(video[0])) << video[0]["sample_aspect_ratio"];
    EXPECT_EQ(video[0]["pix_fmt"], "yuv420p");
    EXPECT_EQ(video[0]["profile"].find("4:4:4"), std::string::npos);
    EXPECT_LE(test_media::Rate(video[0]["avg_frame_rate"]), 30.01);
    EXPECT_GT(test_media::Rate(video[0]["avg_frame_rate"]), 0);

    auto audio = probe.Of("audio");
    ASSERT_EQ(audio.size(), static_cast<size_t>(c.audio_streams));
    for (auto& stream : audio) {
      EXPECT_EQ(stream["codec_name"], "aac");
      EXPECT_EQ(stream["sample_rate"], "48000");
      EXPECT_EQ(stream["channels"], "2");
    }
    g_remove(output.c_str());
  }
}

// A source whose track says to show it turned comes out upright: the red
// left half of the coded picture is on top after a quarter turn.
TEST(TranscoderTest, TurnsRotatedSourceUpright) {
  const std::string input = test_media::RotatedClip();
  ASSERT_FALSE(input.empty());
  const std::string output = OutputPath("upright.mp4");
  Outcome outcome = RunJob({input, output, 32, 64});
  ASSERT_TRUE(outcome.ok);
  const std::string rgb = test_media::FirstFrameRgb(output);
  ASSERT_EQ(rgb.size(), 32u * 64 * 3);
  auto pixel = [&rgb](int x, int y) {
    const size_t at = (static_cast<size_t>(y) * 32 + x) * 3;
    return std::vector<int>{static_cast<guint8>(rgb[at]),
                            static_cast<guint8>(rgb[at + 1]),
                            static_cast<guint8>(rgb[at + 2])};
  };
  for (int x : {4, 16, 28}) {
    SCOPED_TRACE(x);
    std::vector<int> top = pixel(x, 12);
    std::vector<int> bottom = pixel(x, 52);
    EXPECT_GT(top[0], 180);
    EXPECT_LT(top[2], 80);
    EXPECT_LT(bottom[0], 80);
    EXPECT_GT(bottom[2], 180);
  }
  g_remove(output.c_str());
}

// Progress is a rising fraction in [0, 1], at most one every 120 ms, clamped
// when frames run past the given duration, and absent without a duration.
// The demuxer shifts this clip's frames by the B-frame delay (0.067 s to
// 5.033 s), so a duration of exactly 5 s may or may not see 1.0 depending
// on which frames the throttle samples; a second more never does.
TEST(TranscoderTest, ReportsThrottledProgress) {
  const std::string input = test_media::Shared("clip_960x540.mp4");
  ASSERT_FALSE(input.empty());
  const struct {
    const char* name;
    int64_t duration_ms;
    bool reaches_one;
  } cases[] = {
      {"a second past the clip", 6000, false},
      {"a fiftieth of it", 100, true},
      {"no duration", 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string output = OutputPath("progress.mp4");
    Outcome outcome = RunJob({input, output, 960, 540, c.duration_ms});
    EXPECT_TRUE(outcome.ok);
    if (c.duration_ms == 0) {
      EXPECT_TRUE(outcome.progress.empty());
      continue;
    }
    ASSERT_GE(outcome.progress.size(), 2u) << "the job ran too fast to tell";
    bool reached_one = false;
    for (size_t i = 0; i < outcome.progress.size(); ++i) {
      const double fraction = outcome.progress[i].second;
      EXPECT_GE(fraction, 0.0);
      EXPECT_LE(fraction, 1.0);
      reached_one = reached_one || fraction == 1.0;
      if (i > 0) {
        EXPECT_GE(fraction, outcome.progress[i - 1].second);
        EXPECT_GE(outcome.progress[i].first - outcome.progress[i - 1].first,
                  120);
      }
    }
    EXPECT_EQ(reached_one, c.reaches_one);
    // The last frame enters at 5.033 s of the six.
    if (!c.reaches_one) {
      EXPECT_LT(outcome.progress.back().second, 1.0);
    }
    g_remove(output.c_str());
  }
}

// The hidden files beside output that a job of this process writes: the
// stream and the muxer's store.
std::vector<std::string> PartsOf(const std::string& output) {
  g_autofree gchar* dir = g_path_get_dirname(output.c_str());
  g_autofree gchar* base = g_path_get_basename(output.c_str());
  const std::string stem = std::string(dir) + "/." + base + "." +
                           std::to_string(getpid()) + ".zelkoz-";
  return {stem + "part", stem + "faststart"};
}

// While a job runs nothing stands at the output path: it writes hidden
// files beside it, the muxer's store among them. Cancel ends the job as
// cancelled before it returns and removes them, and a second Cancel does
// nothing.
TEST(TranscoderTest, CancelRemovesPartialOutput) {
  const std::string input = test_media::SlowClip();
  ASSERT_FALSE(input.empty());
  const std::string output = OutputPath("cancelled.mp4");
  Outcome outcome;
  auto transcoder = MakeJob({input, output, 640, 480, 3000}, &outcome);
  transcoder->Start();
  // The muxer makes its store once the encoder's first frames reach it.
  const std::vector<std::string> parts = PartsOf(output);
  ASSERT_TRUE(test_media::WaitUntil(
      [&] { return Exists(parts[0]) && Exists(parts[1]); }, kJobTimeoutMs))
      << "nothing was being written beside the output";
  EXPECT_EQ(outcome.done_calls, 0) << "the job ended before it was cancelled";
  EXPECT_FALSE(Exists(output)) << "a half-written file under the name";
  transcoder->Cancel();
  EXPECT_EQ(outcome.done_calls, 1);
  EXPECT_FALSE(outcome.ok);
  EXPECT_TRUE(outcome.cancelled);
  EXPECT_FALSE(Exists(output));
  for (const std::string& part : PartsOf(output)) {
    EXPECT_FALSE(Exists(part)) << part;
  }
  transcoder->Cancel();
  EXPECT_EQ(outcome.done_calls, 1);
  test_media::Drain();
  EXPECT_EQ(outcome.progress_after_done, 0);
}

// An encoder that breaks hands the job to the next one, which starts the
// source again and finishes it.
TEST(TranscoderTest, FallsBackToTheNextEncoder) {
  const struct {
    const char* name;
    Breakage breakage;
    const char* logged;
  } cases[] = {
      {"fails while running", Breakage::kWhileRunning,
       "Video compress: x264enc failed: broken encoder gave up"},
      {"fails to start", Breakage::kAtStart,
       "Video compress: x264enc couldn't start: the pipeline wouldn't start"},
  };
  // Made before the real x264enc goes away.
  const std::string input = test_media::AvClip();
  ASSERT_FALSE(input.empty());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(AvailableH264Encoders().at(1), "openh264enc");
    g_breakage = c.breakage;
    HiddenFactories broken({"x264enc"});
    broken.Register("x264enc", zk_broken_encoder_get_type(), GST_RANK_PRIMARY);
    const std::string output = OutputPath("fallback.mp4");
    LogCapture log;
    Outcome outcome = RunJob({input, output, 160, 120, 1000, true});
    EXPECT_TRUE(outcome.ok);
    ASSERT_EQ(log.messages().size(), 1u);
    EXPECT_EQ(log.messages()[0], c.logged);
    // Progress starts again near 0 with the next encoder, once: nothing
    // that the failed attempt measured comes after that.
    int drops = 0;
    for (size_t i = 1; i < outcome.progress.size(); ++i) {
      drops += outcome.progress[i].second < outcome.progress[i - 1].second;
    }
    EXPECT_LE(drops, 1);
    Probe probe = FfProbe(output);
    auto video = probe.Of("video");
    ASSERT_EQ(video.size(), 1u);
    // OpenH264 writes constrained baseline only.
    EXPECT_EQ(video[0]["profile"], "Constrained Baseline");
    EXPECT_EQ(video[0]["width"], "160");
    EXPECT_EQ(probe.Of("audio").size(), 1u);
    g_remove(output.c_str());
  }
}

// Without a usable encoder the job fails inside Start, silently, and removes
// what lay at the output path; audio that is not asked for needs no AAC
// encoder.
TEST(TranscoderTest, FailsAtOnceWithoutEncoders) {
  const struct {
    const char* name;
    std::vector<std::string> hidden;
    bool has_audio;
    bool ok;
  } cases[] = {
      {"no H.264 encoder", H264EncoderCatalogue(), false, false},
      {"audio without AAC", AacEncoderCatalogue(), true, false},
      {"no audio, no AAC", AacEncoderCatalogue(), false, true},
  };
  const std::string input = test_media::AvClip();
  ASSERT_FALSE(input.empty());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string output = OutputPath("none.mp4");
    ASSERT_TRUE(g_file_set_contents(output.c_str(), "old", -1, nullptr));
    HiddenFactories hidden(c.hidden);
    LogCapture log;
    Outcome outcome;
    auto transcoder =
        MakeJob({input, output, 64, 48, 0, c.has_audio}, &outcome);
    transcoder->Start();
    if (!c.ok) {
      EXPECT_TRUE(test_media::FailedOnce(outcome))
          << "not answered inside Start";
      EXPECT_FALSE(Exists(output));
      EXPECT_TRUE(log.messages().empty());
      continue;
    }
    ASSERT_TRUE(test_media::WaitUntil(
        [&outcome] { return outcome.done_calls > 0; }, kJobTimeoutMs));
    EXPECT_TRUE(outcome.ok);
    transcoder.reset();
    EXPECT_EQ(FfProbe(output).Of("audio").size(), 0u);
    EXPECT_EQ(FfProbe(output).Of("video").size(), 1u);
    g_remove(output.c_str());
  }
}

// An output that names the input file, however spelled, is refused before
// anything is opened: the source stays as it was.
TEST(TranscoderTest, RefusesToOverwriteTheInput) {
  const std::string source = test_media::AvClip();
  ASSERT_FALSE(source.empty());
  const std::string input = OutputPath("precious.mp4");
  const std::string bytes = ReadFile(source);
  ASSERT_TRUE(
      g_file_set_contents(input.c_str(), bytes.data(), bytes.size(), nullptr));
  const std::string hard_link = OutputPath("hard.mp4");
  const std::string soft_link = OutputPath("soft.mp4");
  ASSERT_EQ(link(input.c_str(), hard_link.c_str()), 0);
  ASSERT_EQ(symlink(input.c_str(), soft_link.c_str()), 0);
  g_autofree gchar* dir = g_path_get_dirname(input.c_str());
  g_autofree gchar* base = g_path_get_basename(input.c_str());
  const std::string dotted = std::string(dir) + "/./" + base;

  for (const std::string& output : {input, hard_link, soft_link, dotted}) {
    SCOPED_TRACE(output);
    LogCapture log;
    Outcome outcome;
    auto transcoder = MakeJob({input, output, 64, 48, 1000, true}, &outcome);
    transcoder->Start();
    EXPECT_TRUE(test_media::FailedOnce(outcome)) << "not answered inside Start";
    transcoder.reset();
    test_media::Drain();
    EXPECT_TRUE(Exists(output));
    EXPECT_TRUE(ReadFile(input) == bytes) << "the source was touched";
  }
  g_remove(hard_link.c_str());
  g_remove(soft_link.c_str());
  g_remove(input.c_str());
}

// A source that no encoder can get through fails after every encoder has
// tried, with the output removed; a silent source with audio asked for is
// written without it.
TEST(TranscoderTest, EndsOnSourcesItCannotUse) {
  const struct {
    const char* name;
    std::string input;
    bool has_audio;
    bool ok;
    const char* verb;    // How each encoder's attempt ended.
    const char* reason;  // The text logged for it; nullptr: any.
  } cases[] = {
      {"not media", test_media::Shared("text.txt"), false, false, "failed",
       nullptr},
      {"no such file", OutputPath("missing.mp4"), false, false,
       "couldn't start", "the pipeline wouldn't start"},
      {"audio only", test_media::Shared("audio.m4a"), true, false, "failed",
       "the source has no video"},
      {"silent video, audio asked", test_media::Shared("video_only.mp4"), true,
       true, nullptr, nullptr},
      {"audio no decoder takes, audio asked", test_media::AvClip(), true, true,
       nullptr, nullptr},
  };
  const size_t encoders = AvailableH264Encoders().size();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string output = OutputPath("unusable.mp4");
    const bool undecodable = c.input == test_media::AvClip();
    // As if no AAC decoder were installed.
    HiddenFactories hidden(
        undecodable
            ? std::vector<std::string>{"avdec_aac", "avdec_aac_fixed",
                                       "avdec_aac_latm", "faad", "fdkaacdec"}
            : std::vector<std::string>{});
    LogCapture log;
    Outcome outcome = RunJob({c.input, output, 64, 48, 500, c.has_audio});
    EXPECT_EQ(outcome.ok, c.ok);
    EXPECT_FALSE(outcome.cancelled);
    if (c.ok) {
      // Video only, and said once when there was sound to lose.
      if (undecodable) {
        ASSERT_EQ(log.messages().size(), 1u);
        EXPECT_NE(log.messages()[0].find("audio can't be decoded"),
                  std::string::npos)
            << log.messages()[0];
      } else {
        EXPECT_TRUE(log.messages().empty());
      }
      Probe probe = FfProbe(output);
      EXPECT_EQ(probe.Of("video").size(), 1u);
      EXPECT_EQ(probe.Of("audio").size(), 0u);
      g_remove(output.c_str());
      continue;
    }
    EXPECT_FALSE(Exists(output));
    // One line per encoder, in catalogue order.
    std::vector<std::string> failed = log.Starting("Video compress: ");
    ASSERT_EQ(failed.size(), encoders);
    for (size_t i = 0; i < encoders; ++i) {
      const std::string prefix =
          "Video compress: " + AvailableH264Encoders()[i] + " " + c.verb + ": ";
      EXPECT_EQ(failed[i].rfind(prefix, 0), 0u) << failed[i];
      if (c.reason != nullptr) {
        EXPECT_EQ(failed[i], prefix + c.reason);
      }
    }
  }
}

// A size the muxer refuses (under 16 pixels a side) fails every encoder's
// attempt as soon as the decoded video cannot be linked, rather than after
// the wait for a frame that never comes; sizes it takes still work.
TEST(TranscoderTest, FailsAtOnceOnASizeTheMuxerRefuses) {
  const std::string input = test_media::AvClip();
  ASSERT_FALSE(input.empty());
  const size_t encoders = AvailableH264Encoders().size();
  const struct {
    int width;
    int height;
    bool ok;
  } cases[] = {{100, 2, false}, {8, 48, false}, {16, 16, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    const std::string output = OutputPath("refused-size.mp4");
    LogCapture log;
    Outcome outcome = RunJob({input, output, c.width, c.height, 1000, true});
    EXPECT_EQ(outcome.ok, c.ok);
    EXPECT_FALSE(outcome.cancelled);
    std::vector<std::string> failed = log.Starting("Video compress: ");
    if (c.ok) {
      EXPECT_TRUE(failed.empty());
      EXPECT_TRUE(Exists(output));
      g_remove(output.c_str());
      continue;
    }
    EXPECT_FALSE(Exists(output));
    ASSERT_EQ(failed.size(), encoders);
    for (size_t i = 0; i < encoders; ++i) {
      EXPECT_EQ(failed[i], "Video compress: " + AvailableH264Encoders()[i] +
                               " failed: couldn't link the decoded video: "
                               "no common format");
    }
  }
}

// Destroying a running job stops it there: no done callback, no progress
// afterwards, even from records queued before; what lay at the output path
// stays as it was, and the job's hidden files go.
TEST(TranscoderTest, DestructionStopsTheJob) {
  const std::string input = test_media::SlowClip();
  ASSERT_FALSE(input.empty());
  const std::string output = OutputPath("destroyed.mp4");
  ASSERT_TRUE(g_file_set_contents(output.c_str(), "old", -1, nullptr));
  Outcome outcome;
  auto transcoder = MakeJob({input, output, 640, 480, 3000}, &outcome);
  transcoder->Start();
  ASSERT_TRUE(test_media::WaitUntil(
      [&outcome] { return !outcome.progress.empty(); }, kJobTimeoutMs));
  // Let progress pile up unseen: the main loop is not run until a record
  // is waiting.
  const gint64 deadline = g_get_monotonic_time() + 60 * G_TIME_SPAN_SECOND;
  while (transcoder->QueuedProgressForTesting() == 0 &&
         g_get_monotonic_time() < deadline) {
    g_usleep(1000);
  }
  ASSERT_GT(transcoder->QueuedProgressForTesting(), 0) << "none was queued";
  const size_t reports = outcome.progress.size();
  transcoder.reset();
  EXPECT_EQ(ReadFile(output), "old") << "destruction touched the output";
  for (const std::string& part : PartsOf(output)) {
    EXPECT_FALSE(Exists(part)) << part;
  }
  test_media::RunFor(300);
  EXPECT_EQ(outcome.progress.size(), reports);
  EXPECT_EQ(outcome.done_calls, 0);
  g_remove(output.c_str());
}

}  // namespace
