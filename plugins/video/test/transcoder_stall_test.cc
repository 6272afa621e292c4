// Copyright 2026 The Zelkoz Authors. All rights reserved.
// A compression whose pipeline neither delivers frames nor fails must still
// end. decodebin drops the error of a demuxer that fails while it is being
// started, now and then when several pipelines start at once: on an MP4 cut
// before its index such a job waited for ever, and with it every later
// "compress" (refused as busy).
#include <glib.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "media_files.h"
#include "test_media.h"
#include "transcoder.h"

namespace {

class TranscoderStallTest : public ::testing::Test {
 protected:
  void TearDown() override { Transcoder::SetTimeoutsForTesting(10000, 30000); }
};

// Starts jobs together on a file without an index (the 320x240 clip cut in
// half: it keeps its index at the end) and waits up to timeout_ms for all of
// them to end; every one must end failed, once, without output.
void ExpectAllFailWithin(int jobs_count, guint timeout_ms) {
  const std::string clip = test_media::Shared("clip_320x240.mp4");
  ASSERT_FALSE(clip.empty());
  g_autofree gchar* bytes = nullptr;
  gsize length = 0;
  ASSERT_TRUE(g_file_get_contents(clip.c_str(), &bytes, &length, nullptr));
  media_files::ScratchDir dir;
  const std::string cut = dir.File("cut.mp4");
  ASSERT_TRUE(g_file_set_contents(cut.c_str(), bytes, length / 2, nullptr));

  struct Outcome {
    int done = 0;
    bool ok = true;
  };
  std::vector<Outcome> outcomes(jobs_count);
  std::vector<std::unique_ptr<Transcoder>> jobs;
  for (int i = 0; i < jobs_count; ++i) {
    Outcome* outcome = &outcomes[i];
    jobs.push_back(std::make_unique<Transcoder>(
        cut, dir.File("out" + std::to_string(i) + ".mp4"), 64, 48, 200, 64,
        2000, false, [](double) {},
        [outcome](bool ok, bool cancelled) {
          ++outcome->done;
          outcome->ok = ok || cancelled;
        }));
  }
  for (auto& job : jobs) {
    job->Start();
  }
  const bool all_ended = test_media::WaitUntil(
      [&] {
        for (const Outcome& outcome : outcomes) {
          if (outcome.done == 0) {
            return false;
          }
        }
        return true;
      },
      timeout_ms);
  EXPECT_TRUE(all_ended);
  for (int i = 0; i < jobs_count; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(outcomes[i].done, 1);
    EXPECT_FALSE(outcomes[i].ok);
    EXPECT_FALSE(
        g_file_test(dir.File("out" + std::to_string(i) + ".mp4").c_str(),
                    G_FILE_TEST_EXISTS));
  }
}

// With time-outs far away, the attempts whose demuxer error was lost are
// still told apart from slow ones and fail within a second or so.
TEST_F(TranscoderStallTest, StoppedDemuxerFailsTheAttempt) {
  Transcoder::SetTimeoutsForTesting(60000, 60000);
  ExpectAllFailWithin(12, 15000);
}

}  // namespace
