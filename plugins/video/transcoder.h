// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef PLUGINS_VIDEO_TRANSCODER_H_
#define PLUGINS_VIDEO_TRANSCODER_H_

#include <gst/gst.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "media_guard.h"
#include "part_file.h"

// Names of every H.264 (or AAC) encoder element the transcoder knows, in
// order of preference, whether this GStreamer installation provides it or
// not.
std::vector<std::string> H264EncoderCatalogue();
std::vector<std::string> AacEncoderCatalogue();

// Names of the H.264 encoder elements this GStreamer installation provides,
// in order of preference. Asks the registry on every call.
std::vector<std::string> AvailableH264Encoders();

// Names of the AAC encoder elements this GStreamer installation provides, in
// order of preference. Asks the registry on every call.
std::vector<std::string> AvailableAacEncoders();

// What the discoverer tells of one media file. Every field other than ok is
// meaningful only when ok is true; a value still at its starting value was
// not determined.
struct ProbeResult {
  bool ok = false;          // The file was examined successfully.
  int64_t durationMs = -1;  // Negative when the duration is not known.
  int32_t width = 0;        // First video stream as displayed: square
  int32_t height = 0;       // pixels, turned upright; 0 without video.
  bool hasVideo = false;
  bool hasAudio = false;
  bool h264 = false;  // The first video stream is H.264.
  bool aac = false;   // The first audio stream is MPEG-2/4 AAC.
  bool mp4 = false;   // The container is an ISO MP4.
};

// Examines the local file at an absolute path with GStreamer's discoverer,
// waiting at most 10 s. Blocks the calling thread; safe on any thread.
ProbeResult ProbeMedia(const std::string& path);

// The file URI of an absolute path, percent-escaped; "" for a relative path,
// an empty string or anything that already is a URI.
std::string FileUri(const std::string& path);

// Writes a JPEG of one frame of the video at input (an absolute path) to
// output, taken a tenth of the way in but no later than 1 s, upright, with
// its longer side scaled down to max_side (0 or less: no limit). Returns
// whether the JPEG was saved. Blocks the calling thread for up to about 35 s;
// safe on any thread.
bool WritePoster(const std::string& input,
                 const std::string& output,
                 int32_t max_side);

// Hands the newest of a series of values to a callback, at most once per
// interval. A value that comes sooner waits for the interval to end, and a
// newer one replaces it meanwhile: values that waited for a busy main loop
// may arrive together, and the newest of them must neither be lost nor be
// shown late. Main thread only.
class LatestValueThrottle {
 public:
  LatestValueThrottle(int64_t interval_ms, std::function<void(double)> deliver);
  ~LatestValueThrottle() { Stop(); }
  LatestValueThrottle(const LatestValueThrottle&) = delete;
  LatestValueThrottle& operator=(const LatestValueThrottle&) = delete;

  void Offer(double value);
  // Drops a waiting value; nothing more is delivered until the next Offer.
  void Stop();

 private:
  static gboolean OnDue(gpointer data);
  void Deliver(double value);

  int64_t interval_us_;
  std::function<void(double)> deliver_;
  // Monotonic us at which the last delivery returned; 0 before the first.
  int64_t last_delivery_us_ = 0;
  guint due_id_ = 0;  // 0 when no value waits.
  double waiting_ = 0;
};

// One compression job: turns a local video file into an MP4 with H.264 video
// and, when asked, AAC audio (48 kHz stereo), scaled to the given size with
// square pixels, turned upright and capped at 30 frames per second. When a
// pipeline cannot be built or fails while it runs, it is thrown away and the
// next usable H.264 encoder starts again from the beginning of the source.
// Attempts write a hidden part file beside the output; the finished file is
// flushed to disk and renamed onto the output path, so that nothing
// half-written ever stands under that name. On failure and on cancellation
// the part files and the output file are deleted.
//
// Everything runs on the main thread except the linking of decoded pads and
// the progress probe, which run on GStreamer's streaming threads and hand
// progress to the main loop. One owner; never copied or moved, since
// GStreamer callbacks and queued progress records hold its address.
class Transcoder {
 public:
  // Gets a fraction in [0, 1] on the main thread, at most every 120 ms, never
  // after the job has ended.
  using ProgressCallback = std::function<void(double fraction)>;
  // Gets (true, false) when the output was written to its end, (false, false)
  // when the job failed and (false, true) when it was cancelled. Must not
  // destroy the Transcoder: the call returns into it.
  using DoneCallback = std::function<void(bool ok, bool cancelled)>;

  // Only stores its arguments; nothing runs before Start. A duration of 0 or
  // less turns progress off.
  Transcoder(std::string input_path,
             std::string output_path,
             int32_t width,
             int32_t height,
             int32_t video_kbps,
             int32_t audio_kbps,
             int64_t duration_ms,
             bool has_audio,
             ProgressCallback on_progress,
             DoneCallback on_done);
  // Stops whatever runs, without the done callback and without touching the
  // output path; the part files go.
  ~Transcoder();

  Transcoder(const Transcoder&) = delete;
  Transcoder& operator=(const Transcoder&) = delete;

  // Starts the first encoder whose pipeline builds. Called once, right after
  // construction; may end the job, done callback included, before it
  // returns.
  void Start();
  // Ends a running job as cancelled: the done callback runs before this
  // returns. Does nothing once the job has ended.
  void Cancel();

  // How many progress records wait for the main loop now.
  long QueuedProgressForTesting() const { return alive_.use_count() - 1; }

 private:
  struct ProgressRecord;
  struct SaveRecord;

  // The branches of one attempt, parsed off the main loop.
  struct ParsedBranches {
    std::shared_ptr<std::atomic<bool>> alive;  // The job's liveness.
    Transcoder* job;                           // Used only while alive.
    std::string video_description;
    std::string audio_description;  // Empty: no audio branch.
    GstElement* video = nullptr;     // Floating; null when parsing failed.
    GstElement* audio = nullptr;     // Floating; null when none or failed.
    std::string error;               // Why parsing failed.
  };

  void StartAttempt();
  static gboolean OnBranchesParsed(gpointer data);
  // Takes over video and audio (floating), either of which may be null.
  void ContinueAttempt(GstElement* video, GstElement* audio, std::string error);
  void StartWatch();
  bool BuildPipeline(std::string* error);
  void TryNextEncoder(const std::string& error);
  void RestartWithoutAudio();
  void Finish(bool ok);
  // Stops and drops the pipeline. A job that has finished its file (finished)
  // leaves the stopping to the media queue.
  void TearDown(bool finished = false);
  void DeleteOutput();
  void RemoveParts();
  void EndAttempt();
  void Save();
  void LinkDecodedPad(GstPad* pad);
  void OnDecodedPadsDone();

  static void OnPadAdded(GstElement* element, GstPad* pad, gpointer user_data);
  static void OnNoMorePads(GstElement* element, gpointer user_data);
  static GstPadProbeReturn OnBufferProbe(GstPad* pad,
                                         GstPadProbeInfo* info,
                                         gpointer user_data);
  static gboolean OnBus(GstBus* bus, GstMessage* message, gpointer user_data);
  static gboolean DeliverProgress(gpointer user_data);
  static gboolean CheckPart(gpointer user_data);
  static void SyncPart(SaveRecord* record);
  static gboolean OnPartSynced(gpointer data);
  static GstPadProbeReturn OnAudioProbe(GstPad* pad,
                                        GstPadProbeInfo* info,
                                        gpointer user_data);
  static void OnUnknownType(GstElement* element,
                            GstPad* pad,
                            GstCaps* caps,
                            gpointer user_data);

  std::string input_path_;
  std::string output_path_;
  int32_t width_;
  int32_t height_;
  int32_t video_kbps_;
  int32_t audio_kbps_;
  int64_t duration_ns_;  // 0 or less: no progress.
  bool has_audio_;
  ProgressCallback on_progress_;
  DoneCallback on_done_;

  std::vector<std::string> encoders_;  // Usable H.264 encoders, fallback order.
  size_t encoder_index_ = 0;           // The current attempt's encoder.
  std::string audio_encoder_;          // Empty when there is no AAC encoder.
  // The hidden files beside the output that the attempts write: the stream,
  // and the muxer's store of media data. Null before Start.
  std::unique_ptr<PartFile> part_;
  std::unique_ptr<PartFile> faststart_;

  GstElement* pipeline_ = nullptr;   // Owned; null between attempts.
  GstElement* decodebin_ = nullptr;  // Borrowed from pipeline_, as are the
  GstElement* video_bin_ = nullptr;  // branches and the muxer.
  GstElement* audio_bin_ = nullptr;  // Null without an audio branch.
  GstElement* mux_ = nullptr;
  guint bus_watch_id_ = 0;       // 0 when there is no watch.
  guint part_check_id_ = 0;      // 0 when no attempt runs.
  gulong probe_id_ = 0;          // 0 when there is no probe.
  GstPad* probe_pad_ = nullptr;  // The encoder's sink pad; owned.
  // The audio encoder's sink pad (owned) and its probe, which only tells
  // the watchdog that audio still flows; null and 0 without audio.
  GstPad* audio_probe_pad_ = nullptr;
  gulong audio_probe_id_ = 0;
  // Decodebin adds pads from more than one streaming thread: the first pad of
  // a kind takes its branch by an atomic exchange.
  std::atomic<bool> video_linked_{false};
  std::atomic<bool> audio_linked_{false};

  bool cancelled_ = false;
  bool finished_ = false;  // The done callback has run (or is running).
  // The output path names the input file: it is never written nor deleted.
  bool output_is_input_ = false;
  // Audio was asked for but the source has none: no audio branch any more.
  bool source_is_silent_ = false;

  // Shared with queued progress records, which do nothing once it is false.
  std::shared_ptr<std::atomic<bool>> alive_;
  // Counts the attempts; progress queued by an earlier one is dropped.
  std::atomic<uint32_t> attempt_{0};
  // Monotonic ms at which the probe last queued progress; streaming thread.
  std::atomic<int64_t> last_progress_ms_{0};
  // Delivers queued progress to on_progress_; main thread.
  LatestValueThrottle progress_;
  // decodebin found an audio stream that no decoder here takes; streaming
  // thread, read on the main thread.
  std::atomic<bool> audio_undecodable_{false};
  // Watches the current attempt's source and frames.
  OpenWatchdog watch_;
};

#endif  // PLUGINS_VIDEO_TRANSCODER_H_
