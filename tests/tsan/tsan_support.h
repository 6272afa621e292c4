// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef TESTS_TSAN_TSAN_SUPPORT_H_
#define TESTS_TSAN_TSAN_SUPPORT_H_

#include <glib.h>

#include <functional>
#include <string>

// What the ThreadSanitizer tests share: a scratch folder with small media
// made by GStreamer itself, and waits that run the main loop.
namespace tsan_support {

// The scratch folder of this test process, removed when it ends.
const std::string& ScratchDir();

// An H.264 MP4 of frames frames, 64x48 at 30 frames per second, with AAC
// audio when audio is set; made once per name. "" after a test failure.
std::string Clip(const char* name, int frames, bool audio);

// Runs the default main context until done() holds or timeout_ms have
// passed; returns done().
bool WaitUntil(const std::function<bool()>& done, guint timeout_ms);

// Waits for the media queue, then runs every source of the default main
// context that is ready now.
void Drain();

}  // namespace tsan_support

#endif  // TESTS_TSAN_TSAN_SUPPORT_H_
