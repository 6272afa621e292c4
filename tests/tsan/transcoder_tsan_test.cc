// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include <glib.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "transcoder.h"
#include "tsan_support.h"

namespace {

struct JobLog {
  std::vector<double> progress;
  int done = 0;
  bool ok = false;
  bool cancelled = false;
};

std::unique_ptr<Transcoder> NewJob(const std::string& input,
                                   const std::string& output,
                                   JobLog* log) {
  return std::make_unique<Transcoder>(
      input, output, 32, 24, 300, 64, 10000, true,
      [log](double fraction) { log->progress.push_back(fraction); },
      [log](bool ok, bool cancelled) {
        log->done++;
        log->ok = ok;
        log->cancelled = cancelled;
      });
}

// A whole compression: the encoder's streaming thread queues progress, the
// main loop delivers it, and the job ends once.
TEST(TranscoderThreads, CompressionWithProgress) {
  const std::string input = tsan_support::Clip("source.mp4", 300, true);
  ASSERT_FALSE(input.empty());
  const std::string output = tsan_support::ScratchDir() + "/whole.mp4";
  JobLog log;
  auto job = NewJob(input, output, &log);
  job->Start();
  ASSERT_TRUE(tsan_support::WaitUntil([&] { return log.done > 0; }, 120000));
  EXPECT_EQ(log.done, 1);
  EXPECT_TRUE(log.ok);
  EXPECT_FALSE(log.cancelled);
  EXPECT_FALSE(log.progress.empty()) << "no progress reached the main loop";
  for (size_t i = 0; i < log.progress.size(); i++) {
    EXPECT_GE(log.progress[i], i > 0 ? log.progress[i - 1] : 0.0);
    EXPECT_LE(log.progress[i], 1.0);
  }
  job.reset();
  tsan_support::Drain();
  EXPECT_TRUE(g_file_test(output.c_str(), G_FILE_TEST_EXISTS));
}

// The job goes while its streaming thread still queues progress and records
// wait for the main loop: the records find the job gone and do nothing, and
// the destruction ends no job with a done call.
TEST(TranscoderThreads, DestroyedWithProgressQueued) {
  const std::string input = tsan_support::Clip("source.mp4", 300, true);
  ASSERT_FALSE(input.empty());
  for (int round = 0; round < 3; round++) {
    SCOPED_TRACE(round);
    const std::string output =
        tsan_support::ScratchDir() + "/cut-" + std::to_string(round) + ".mp4";
    JobLog log;
    auto job = NewJob(input, output, &log);
    job->Start();
    ASSERT_TRUE(tsan_support::WaitUntil(
        [&] { return !log.progress.empty() || log.done > 0; }, 60000));
    ASSERT_EQ(log.done, 0) << "the job ended before it could be cut short";
    // The main loop stands still now; the encoder goes on queueing. Wait
    // until a record waits for the loop, and a while longer on later
    // rounds, so that records pile up.
    const gint64 deadline = g_get_monotonic_time() + 60 * G_USEC_PER_SEC;
    while (job->QueuedProgressForTesting() == 0 &&
           g_get_monotonic_time() < deadline) {
      g_usleep(1000);
    }
    ASSERT_GT(job->QueuedProgressForTesting(), 0) << "no progress was queued";
    g_usleep(round * 150 * 1000);
    const size_t delivered = log.progress.size();
    job.reset();
    tsan_support::Drain();
    EXPECT_EQ(log.progress.size(), delivered)
        << "progress arrived from a destroyed job";
    EXPECT_EQ(log.done, 0);
  }
}

}  // namespace
