// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef PLUGINS_VIDEO_MEDIA_GUARD_H_
#define PLUGINS_VIDEO_MEDIA_GUARD_H_

#include <glib.h>
#include <gst/gst.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>

// What keeps the video plugin's media work from hanging: the files it must
// never open, the demuxer that stops without saying so, and the watchdog
// that ends a pipeline which neither opens nor fails.

// Whether something other than a regular file is at path, links followed: a
// FIFO, a device, a socket or a directory. Media work never reads those:
// opening a FIFO blocks until a writer comes, which may be never, and a
// device such as /dev/zero or a terminal never ends or never answers.
bool IsSpecialFile(const std::string& path);

// Whether an element inside bin reads its input with a task of its own that
// has stopped before the element made a single output pad: a demuxer that
// failed on its input before it found a stream. decodebin drops the error of
// an element that fails while decodebin is still starting it, and then
// waits for ever; this is how such a pipeline can be told from a slow one.
bool HasStoppedDemuxer(GstBin* bin);

// The nearest value that an int32_t can hold.
inline int32_t ClampToInt32(int64_t value) {
  return static_cast<int32_t>(
      std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                          std::numeric_limits<int32_t>::max()));
}

// How long media may take to open, and a running job may go without a
// frame, before the watchdog fails it.
struct WatchdogLimits {
  // A player's preroll: a network source may be slow, and news of
  // buffering restarts the count.
  int64_t player_open_ms = 30000;
  // A compression attempt's source: a local file that opens at all
  // announces its streams within milliseconds.
  int64_t job_open_ms = 10000;
  // A compression attempt between two frames.
  int64_t job_stall_ms = 30000;
};

// The limits in force.
const WatchdogLimits& CurrentWatchdogLimits();
// Replaces the limits for watchdogs started from now on; {} restores them.
void SetWatchdogLimitsForTesting(const WatchdogLimits& limits);

// Watches one pipeline from the main loop while it opens its media, and
// after that, when asked, while it runs. It fails the pipeline when a
// demuxer has stopped without a stream on two checks in a row (so that an
// error that did get through reaches the bus first and names the failure),
// when the media has not opened in time, or when it shows no life for too
// long. Touch and MarkOpened may be called from any thread.
class OpenWatchdog {
 public:
  enum class Failure { kDemuxerStopped, kNotOpened, kStalled };
  // Runs on the main loop, once, after the watch has stopped; limit_ms is
  // the limit that ran out. May start the watch again.
  using FailCallback = std::function<void(Failure failure, int64_t limit_ms)>;

  OpenWatchdog() = default;
  ~OpenWatchdog() { Stop(); }
  OpenWatchdog(const OpenWatchdog&) = delete;
  OpenWatchdog& operator=(const OpenWatchdog&) = delete;

  // Starts watching bin, which must stay alive until the watch stops.
  // Without news the media must open within open_ms; once it has, it must
  // show life every stall_ms (0: the watch ends when the media opens).
  void Start(GstBin* bin,
             int64_t open_ms,
             int64_t stall_ms,
             FailCallback on_fail);
  void Stop();
  bool Running() const { return source_id_ != 0; }

  // The media shows life (buffering news, a buffer): the count restarts.
  void Touch();
  // The source has announced a stream: demuxers are no longer looked at.
  void MarkOpened();

 private:
  static gboolean OnCheck(gpointer data);

  GstBin* bin_ = nullptr;  // Borrowed.
  int64_t open_ms_ = 0;
  int64_t stall_ms_ = 0;
  FailCallback on_fail_;
  guint source_id_ = 0;  // 0 when not watching.
  // Monotonic ms of the start or the last sign of life.
  std::atomic<int64_t> last_life_ms_{0};
  std::atomic<bool> opened_{false};
  bool demuxer_stopped_ = false;  // Seen by the last check.
};

#endif  // PLUGINS_VIDEO_MEDIA_GUARD_H_
