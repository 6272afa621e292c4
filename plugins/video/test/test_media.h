// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef PLUGINS_VIDEO_TEST_TEST_MEDIA_H_
#define PLUGINS_VIDEO_TEST_TEST_MEDIA_H_

#include <glib-object.h>
#include <glib.h>

#include <functional>
#include <string>

// Small media files made on first use in a directory of this test process,
// removed when it ends. Each returns the file's path, or "" after adding a
// test failure.
namespace test_media {

// H.264 in MP4, 64x48, 15 frames at 30/s (500 ms), every frame a key frame.
std::string VideoClip();
// 16-bit mono PCM in WAV, 500 ms, no video.
std::string AudioClip();
// H.264 in MP4, coded 64x32 with the left half red and the right half blue,
// whose track header says to show it turned 90 degrees clockwise. 500 ms.
std::string RotatedClip();

// A file of the shared test media that tests/media/make-media writes into
// the build tree; "" after adding a test failure when it is missing.
std::string Shared(const char* name);

// The file URI of an absolute path.
std::string Uri(const std::string& path);

// Runs the default main context until done() holds or timeout_ms have
// passed; returns done().
bool WaitUntil(const std::function<bool()>& done, guint timeout_ms);

// Runs every source of the default main context that is ready now.
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

}  // namespace test_media

#endif  // PLUGINS_VIDEO_TEST_TEST_MEDIA_H_
