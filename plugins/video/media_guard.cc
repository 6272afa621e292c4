// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "media_guard.h"

#include <glib/gstdio.h>

#include <utility>

namespace {

// How often a watched pipeline is looked at.
constexpr guint kCheckIntervalMs = 500;

WatchdogLimits g_limits;

int64_t MonotonicMs() {
  return g_get_monotonic_time() / 1000;
}

}  // namespace

bool IsSpecialFile(const std::string& path) {
  // stat never opens the file, so it cannot block on a FIFO itself.
  GStatBuf info;
  return g_stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
}

bool HasStoppedDemuxer(GstBin* bin) {
  bool stopped = false;
  g_autoptr(GstIterator) elements = gst_bin_iterate_recurse(bin);
  g_auto(GValue) item = G_VALUE_INIT;
  while (!stopped && gst_iterator_next(elements, &item) == GST_ITERATOR_OK) {
    GstElement* element = GST_ELEMENT(g_value_get_object(&item));
    GST_OBJECT_LOCK(element);
    const bool has_output = element->numsrcpads > 0;
    GST_OBJECT_UNLOCK(element);
    if (!has_output && !GST_IS_BIN(element)) {
      // Sinks have no task on their input; a demuxer in pull mode has one
      // until it has pushed its last buffer out of the pads it made.
      g_autoptr(GstIterator) pads = gst_element_iterate_sink_pads(element);
      g_auto(GValue) pad_item = G_VALUE_INIT;
      while (!stopped &&
             gst_iterator_next(pads, &pad_item) == GST_ITERATOR_OK) {
        GstPad* pad = GST_PAD(g_value_get_object(&pad_item));
        GST_OBJECT_LOCK(pad);
        GstTask* task = GST_PAD_TASK(pad);
        stopped =
            task != nullptr && gst_task_get_state(task) == GST_TASK_PAUSED;
        GST_OBJECT_UNLOCK(pad);
        g_value_reset(&pad_item);
      }
    }
    g_value_reset(&item);
  }
  return stopped;
}

const WatchdogLimits& CurrentWatchdogLimits() {
  return g_limits;
}

void SetWatchdogLimitsForTesting(const WatchdogLimits& limits) {
  g_limits = limits;
}

void OpenWatchdog::Start(GstBin* bin,
                         int64_t open_ms,
                         int64_t stall_ms,
                         FailCallback on_fail) {
  Stop();
  bin_ = bin;
  open_ms_ = open_ms;
  stall_ms_ = stall_ms;
  on_fail_ = std::move(on_fail);
  last_life_ms_.store(MonotonicMs());
  opened_.store(false);
  demuxer_stopped_ = false;
  source_id_ = g_timeout_add(kCheckIntervalMs, OnCheck, this);
}

void OpenWatchdog::Stop() {
  g_clear_handle_id(&source_id_, g_source_remove);
  bin_ = nullptr;
}

void OpenWatchdog::Touch() {
  last_life_ms_.store(MonotonicMs());
}

void OpenWatchdog::MarkOpened() {
  opened_.store(true);
}

// Runs on the main loop while a pipeline is watched.
gboolean OpenWatchdog::OnCheck(gpointer data) {
  auto* self = static_cast<OpenWatchdog*>(data);
  const bool opened = self->opened_.load();
  if (opened && self->stall_ms_ <= 0) {
    self->source_id_ = 0;
    self->bin_ = nullptr;
    return G_SOURCE_REMOVE;
  }
  const bool was_stopped = self->demuxer_stopped_;
  self->demuxer_stopped_ = !opened && HasStoppedDemuxer(self->bin_);
  const int64_t limit = opened ? self->stall_ms_ : self->open_ms_;
  Failure failure;
  if (was_stopped && self->demuxer_stopped_) {
    failure = Failure::kDemuxerStopped;
  } else if (MonotonicMs() - self->last_life_ms_.load() >= limit) {
    failure = opened ? Failure::kStalled : Failure::kNotOpened;
  } else {
    return G_SOURCE_CONTINUE;
  }
  // Removed by returning; the callback may start a watch of its own.
  self->source_id_ = 0;
  self->bin_ = nullptr;
  FailCallback on_fail = std::move(self->on_fail_);
  on_fail(failure, limit);
  return G_SOURCE_REMOVE;
}
