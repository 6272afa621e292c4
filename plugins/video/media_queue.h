// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef PLUGINS_VIDEO_MEDIA_QUEUE_H_
#define PLUGINS_VIDEO_MEDIA_QUEUE_H_

#include <functional>

// One thread of the plugin's own that does, in order, the GStreamer and
// allocator work that the main loop must not wait for: stopping a pipeline
// waits for each of its streaming threads to finish what it is doing,
// parsing a long branch asks every element of it for its caps, and handing
// free memory back to the kernel takes as long as the kernel needs to take
// the pages. Tasks never touch GTK or the engine.

// Queues task; it runs after every task queued before it. From any thread.
void MediaQueueRun(std::function<void()> task);

// Runs task now on a thread of its own, beside the queue and other such
// tasks, for work that need not wait its turn. From any thread.
void MediaQueueRunAside(std::function<void()> task);

// Returns once every task queued or run aside so far has run, so that nothing of the
// plugin's is left running when the process ends. Main thread.
void MediaQueueDrain();

#endif  // PLUGINS_VIDEO_MEDIA_QUEUE_H_
