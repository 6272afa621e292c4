// Copyright 2026 The Zelkoz Authors. All rights reserved.
// A compression whose pipeline neither delivers frames nor fails must still
// end. decodebin drops the error of a demuxer that fails while it is being
// started, now and then when several pipelines start at once: on an MP4 cut
// before its index such a job waited for ever, and with it every later
// "compress" (refused as busy).
#include <glib.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "test_media.h"
#include "transcoder.h"

namespace {

class TranscoderStallTest : public ::testing::Test {
 protected:
  void TearDown() override { SetWatchdogLimitsForTesting({}); }
};

// Starts jobs together on a file without an index (the 320x240 clip cut in
// half: it keeps its index at the end) and waits up to timeout_ms for all of
// them to end; every one must end failed, once, without output.
void ExpectAllFailWithin(int jobs_count, guint timeout_ms) {
  test_media::ScratchDir dir;
  const std::string cut = test_media::FirstHalfOf(
      dir, "cut.mp4", test_media::Shared("clip_320x240.mp4"));
  ASSERT_FALSE(cut.empty());

  std::vector<test_media::Outcome> outcomes(jobs_count);
  std::vector<std::unique_ptr<Transcoder>> jobs;
  for (int i = 0; i < jobs_count; ++i) {
    jobs.push_back(test_media::MakeJob(
        {cut, dir.File("out" + std::to_string(i) + ".mp4"), 64, 48, 2000},
        &outcomes[i]));
  }
  for (auto& job : jobs) {
    job->Start();
  }
  const bool all_ended = test_media::WaitUntil(
      [&] {
        for (const test_media::Outcome& outcome : outcomes) {
          if (outcome.done_calls == 0) {
            return false;
          }
        }
        return true;
      },
      timeout_ms);
  EXPECT_TRUE(all_ended);
  for (int i = 0; i < jobs_count; ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(test_media::FailedOnce(outcomes[i]));
    EXPECT_FALSE(
        test_media::Exists(dir.File("out" + std::to_string(i) + ".mp4")));
  }
}

// With time-outs far away, the attempts whose demuxer error was lost are
// still told apart from slow ones: the jobs end long before the limits.
TEST_F(TranscoderStallTest, StoppedDemuxerFailsTheAttempt) {
  WatchdogLimits limits;
  limits.job_open_ms = 600000;
  limits.job_stall_ms = 600000;
  SetWatchdogLimitsForTesting(limits);
  ExpectAllFailWithin(12, 300000);
}

// Audio reaching its encoder counts as life: a source whose video ends long
// before its audio (a fifth of a second of video, four minutes of sound) is
// not failed while its audio tail is encoded, which takes seconds even on a
// fast machine: many of the watchdog's checks, and several of its limits.
TEST_F(TranscoderStallTest, AudioTailKeepsTheJobAlive) {
  const std::string input = test_media::MakeMedia(
      "audio_tail_4min.mkv",
      "matroskamux name=m ! filesink location=%s "
      "videotestsrc num-buffers=6 ! "
      "video/x-raw,format=I420,width=64,height=48,framerate=30/1 ! "
      "x264enc threads=1 speed-preset=ultrafast ! h264parse ! m. "
      "audiotestsrc num-buffers=1875 samplesperbuffer=1024 ! "
      "audio/x-raw,format=S16LE,rate=8000,channels=1 ! m.");
  ASSERT_FALSE(input.empty());
  WatchdogLimits limits;
  // Far above any gap between two buffers, even sanitized on a busy machine.
  limits.job_stall_ms = 1500;
  SetWatchdogLimitsForTesting(limits);
  test_media::ScratchDir dir;
  const std::string output = dir.File("out.mp4");
  test_media::Outcome outcome;
  auto job =
      test_media::MakeJob({input, output, 64, 48, 240000, true}, &outcome);
  job->Start();
  ASSERT_TRUE(
      test_media::WaitUntil([&] { return outcome.done_calls > 0; }, 120000));
  EXPECT_EQ(outcome.done_calls, 1);
  EXPECT_TRUE(outcome.ok);
  EXPECT_EQ(test_media::FfProbe(output).Of("audio").size(), 1u);
}

// A demuxer whose input ends before it found a stream stops its task with
// no output pad; one that found its streams, or is still reading, does not
// count, and neither does a sink.
TEST(HasStoppedDemuxer, TellsAStoppedDemuxerFromOthers) {
  const std::string clip = test_media::Shared("clip_320x240.mp4");
  ASSERT_FALSE(clip.empty());
  test_media::ScratchDir dir;
  const std::string cut = test_media::FirstHalfOf(dir, "cut.mp4", clip);
  ASSERT_FALSE(cut.empty());
  const struct {
    const char* name;
    std::string description;
    GstMessageType settled;  // What tells that the pipeline has settled.
    bool stopped;
  } cases[] = {
      {"a file without its index", "filesrc location=\"" + cut + "\" ! qtdemux",
       GST_MESSAGE_ERROR, true},
      {"a whole file, its streams found",
       "filesrc location=\"" + clip + "\" ! qtdemux ! fakesink",
       GST_MESSAGE_ASYNC_DONE, false},
      {"sinks only", "fakesrc num-buffers=3 ! fakesink", GST_MESSAGE_ASYNC_DONE,
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_autoptr(GError) error = nullptr;
    g_autoptr(GstElement) pipeline = GST_ELEMENT(
        gst_object_ref_sink(gst_parse_launch(c.description.c_str(), &error)));
    ASSERT_NE(pipeline, nullptr);
    g_autoptr(GstBus) bus = gst_element_get_bus(pipeline);
    gst_element_set_state(pipeline, GST_STATE_PAUSED);
    g_autoptr(GstMessage) message = gst_bus_timed_pop_filtered(
        bus, 10 * GST_SECOND,
        static_cast<GstMessageType>(GST_MESSAGE_ERROR |
                                    GST_MESSAGE_ASYNC_DONE));
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(GST_MESSAGE_TYPE(message), c.settled);
    // The demuxer pauses its task right after it has posted its error.
    const bool stopped = test_media::WaitUntil(
        [&] { return HasStoppedDemuxer(GST_BIN(pipeline)); },
        c.stopped ? 5000 : 300);
    EXPECT_EQ(stopped, c.stopped);
    gst_element_set_state(pipeline, GST_STATE_NULL);
  }
}

}  // namespace
