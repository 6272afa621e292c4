// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include <glib.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "media_files.h"
#include "test_media.h"
#include "transcoder.h"

namespace {

std::string Contents(const std::string& path) {
  g_autofree gchar* contents = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(path.c_str(), &contents, &length, nullptr)) {
    return "";
  }
  return std::string(contents, length);
}

// A poster whose output names the video itself, by its own path, another
// spelling of it or a link to it, is refused: saving it would replace the
// video with its own picture. Another output still gets its poster.
TEST(WritePoster, NeverWritesOverItsVideo) {
  const std::string clip = test_media::VideoClip();
  ASSERT_FALSE(clip.empty());
  media_files::ScratchDir dir;
  const std::string video = dir.File("video.mp4");
  const std::string bytes = Contents(clip);
  ASSERT_FALSE(bytes.empty());
  ASSERT_TRUE(g_file_set_contents(video.c_str(), bytes.data(), bytes.size(),
                                  nullptr));
  const std::string symbolic = dir.File("symbolic.mp4");
  ASSERT_EQ(symlink(video.c_str(), symbolic.c_str()), 0);
  const std::string hard = dir.File("hard.mp4");
  ASSERT_EQ(link(video.c_str(), hard.c_str()), 0);

  const struct {
    const char* name;
    std::string output;
    bool written;
  } cases[] = {
      {"its own path", video, false},
      {"another spelling", dir.path() + "/./video.mp4", false},
      {"a symbolic link to it", symbolic, false},
      {"a hard link to it", hard, false},
      {"a file of its own", dir.File("poster.jpg"), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(WritePoster(video, c.output, 32), c.written);
    EXPECT_EQ(Contents(video), bytes) << "the video was overwritten";
  }
  EXPECT_TRUE(g_file_test(dir.File("poster.jpg").c_str(), G_FILE_TEST_EXISTS));
}

}  // namespace
