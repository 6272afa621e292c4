// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef PLUGINS_VIDEO_TEST_TEST_MEDIA_H_
#define PLUGINS_VIDEO_TEST_TEST_MEDIA_H_

#include <glib-object.h>
#include <glib.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fl_fake_texture_registrar.h"
#include "transcoder.h"

// What the video plugin's tests share: files and folders, media made by
// GStreamer itself and the shared media of the build tree, waits on the main
// loop, outputs seen through ffprobe and ffmpeg, captured warnings, encoders
// hidden from the registry, compression jobs and a guard for tests that hand
// out a FIFO. A helper that returns a path returns "" after adding a test
// failure.
namespace test_media {

// ---------------------------------------------------------------------------
// Files.

// A fresh folder, removed with everything in it when this goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const;

 private:
  std::string path_;
};

// The scratch folder of this test process, removed when it ends. The media
// below are made in it.
ScratchDir& Scratch();
// A path in Scratch() with nothing at it.
std::string OutputPath(const std::string& name);

// Links name in dir to target, so that odd file names need no copy of the
// media; returns the link's path.
std::string LinkTo(const ScratchDir& dir,
                   const std::string& name,
                   const std::string& target);
// Writes the first half of source to name in dir (for a clip whose index is
// at its end, a file the demuxer can never open); returns its path.
std::string FirstHalfOf(const ScratchDir& dir,
                        const std::string& name,
                        const std::string& source);

bool Exists(const std::string& path);
// The file's contents; "" when it cannot be read.
std::string ReadFile(const std::string& path);
// The file URI of an absolute path.
std::string Uri(const std::string& path);

// ---------------------------------------------------------------------------
// Media, made on first use once per process.

// H.264 in MP4, 64x48, 15 frames at 30/s (500 ms), every frame a key frame.
std::string VideoClip();
// 16-bit mono PCM in WAV, 500 ms, no video.
std::string AudioClip();
// H.264 in MP4, coded 64x32 with the left half red and the right half blue,
// whose track header says to show it turned 90 degrees clockwise. 500 ms.
std::string RotatedClip();
// 320x240 H.264 at 60 frames/s with 16:15 pixels, 1 s, and 44.1 kHz mono
// AAC: everything a compression job has to change.
std::string AvClip();
// Two video and two audio streams in one Matroska file, 0.5 s each.
std::string TwoStreamClip();
// A 640x480 clip of noise, 3 s at 30 frames/s, that takes a while to
// compress: long enough for several progress reports.
std::string SlowClip();

// Makes name with the pipeline description, whose "%s" is the output path,
// once per process.
std::string MakeMedia(const char* name, const char* description);

// A file of the shared test media that tests/media/make-media writes into
// the build tree.
std::string Shared(const char* name);

// ---------------------------------------------------------------------------
// The main loop.

// Runs the default main context until done() holds or timeout_ms have
// passed, as fl_fake_run_until does, but looks at done() at least every 5 ms;
// returns done().
bool WaitUntil(const std::function<bool()>& done, guint timeout_ms);
// Runs the default main context for ms, so that what should not happen has
// had the time to happen.
void RunFor(guint ms);
// Waits for the media queue, then runs every source of the default main
// context that is ready now.
void Drain();

// Tells whether a GObject has been finalized. Forgets the object when it
// goes out of scope, so that a failing test leaves no weak pointer into a
// stack frame that is gone.
class Watch {
 public:
  explicit Watch(gpointer object);
  ~Watch();
  Watch(const Watch&) = delete;
  Watch& operator=(const Watch&) = delete;

  bool alive() const { return object_ != nullptr; }

 private:
  gpointer object_;
};

// The pixels of texture id as the engine reads them from the fake
// registrar, with their size when width and height are given.
::testing::AssertionResult ReadTexture(FlFakeTextureRegistrar* registrar,
                                       int64_t id,
                                       std::string* pixels,
                                       uint32_t* width = nullptr,
                                       uint32_t* height = nullptr);

// ---------------------------------------------------------------------------
// Outputs seen from outside.

// Runs args; its standard output, or "" after a test failure.
std::string Run(const std::vector<std::string>& args);

// A media file as ffprobe reports it: one key to value map per stream
// ("codec_type", "codec_name", "width", "profile",
// "side_data_list.side_data.0.rotation", ...) and one for the container.
struct Probe {
  using Entries = std::map<std::string, std::string>;
  std::vector<Entries> streams;
  Entries format;

  // The streams of codec_type type.
  std::vector<Entries> Of(const std::string& type) const;
};
Probe FfProbe(const std::string& path);

// A frame rate "30/1" as a number; 0 when unreadable.
double Rate(const std::string& fraction);

// The first frame of a video file as packed RGB, through ffmpeg.
std::string FirstFrameRgb(const std::string& path);

// ---------------------------------------------------------------------------
// Logs.

// Collects the warnings logged without a log domain (the plugin's own),
// from any thread, while it lives.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> messages() const;
  // The messages that begin with prefix.
  std::vector<std::string> Starting(const std::string& prefix) const;

 private:
  guint handler_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::string> messages_;
};

// ---------------------------------------------------------------------------
// The registry.

// Takes element factories out of the default registry while it lives, as if
// their plugins were not installed, and lets a test register stand-ins under
// any name; at the end the stand-ins go and the real ones come back.
class HiddenFactories {
 public:
  explicit HiddenFactories(const std::vector<std::string>& names);
  ~HiddenFactories();
  HiddenFactories(const HiddenFactories&) = delete;
  HiddenFactories& operator=(const HiddenFactories&) = delete;

  // Registers type under name; by default an element that only stands for
  // an encoder and does nothing.
  void Register(const std::string& name,
                GType type = G_TYPE_INVALID,
                guint rank = GST_RANK_NONE);

 private:
  std::vector<GstPluginFeature*> hidden_;  // One reference each.
  std::vector<std::string> registered_;
};

// Every encoder of the transcoder's catalogue, H.264 and AAC, installed or
// not.
std::vector<std::string> EncoderCatalogue();

// ---------------------------------------------------------------------------
// Compression jobs.

struct Job {
  std::string input;
  std::string output;
  int width = 64;
  int height = 48;
  int64_t duration_ms = 0;
  bool has_audio = false;
};

struct Outcome {
  int done_calls = 0;
  bool ok = false;
  bool cancelled = false;
  // Delivery time (monotonic ms) and fraction of each progress report.
  std::vector<std::pair<int64_t, double>> progress;
  int progress_after_done = 0;
};

// Makes the job, keeping what its callbacks report in *outcome.
std::unique_ptr<Transcoder> MakeJob(const Job& job, Outcome* outcome);
// Runs the job to its end (or a time-out) and lets queued records run.
Outcome RunJob(const Job& job);
// Whether the job has ended once, failed and not cancelled.
::testing::AssertionResult FailedOnce(const Outcome& outcome);

// ---------------------------------------------------------------------------
// FIFOs.

// Guards calls that are handed a FIFO which they must never open: if a call
// has not returned within a few seconds, it is stuck in open() on it, and
// this lets it go on, as a reader (by opening the other end now and then) or
// as a writer (by reading and discarding whatever comes), so that the
// regression fails the test instead of hanging it. Only the calls are timed.
class FifoRescue {
 public:
  explicit FifoRescue(std::string path);
  ~FifoRescue();
  FifoRescue(const FifoRescue&) = delete;
  FifoRescue& operator=(const FifoRescue&) = delete;

  // Runs call under the guard.
  void Guard(const std::function<void()>& call);
  // Whether a guarded call was still running when its patience ran out.
  bool rescued();

 private:
  void Run();

  const std::string path_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  bool calling_ = false;
  bool rescued_ = false;
  std::thread thread_;
};

}  // namespace test_media

#endif  // PLUGINS_VIDEO_TEST_TEST_MEDIA_H_
