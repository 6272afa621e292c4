// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "part_file.h"

#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "test_media.h"

namespace {

// Above the largest pid Linux hands out (2^22).
constexpr pid_t kGone = 4194400;

std::string PartName(const std::string& output, pid_t pid, const char* kind) {
  return "." + output + "." + std::to_string(pid) + ".zelkoz-" + kind;
}

// A job clears its folder of the part files whose process is gone, and of
// this process's own that no job names; never those of a live process, nor
// anything that only looks like one: another name, a folder, a link.
TEST(PartFileTest, NextJobRemovesOnlyStaleParts) {
  test_media::ScratchDir dir;
  const std::string target = dir.File("target");
  ASSERT_TRUE(g_file_set_contents(target.c_str(), "user", -1, nullptr));
  PartFile in_use(dir.File("running.mp4"), PartKind::kStream);
  const struct {
    std::string name;
    bool stays;
  } files[] = {
      {PartName("old.mp4", kGone, "part"), false},
      {PartName("my old.v2.mp4", kGone, "faststart"), false},
      {PartName("mine.mp4", getpid(), "part"), false},
      {PartName("running.mp4", getpid(), "part"), true},
      {PartName("other.mp4", getppid(), "part"), true},
      {PartName("old.mp4", kGone, "part").substr(1), true},
      {PartName("old.mp4", kGone, "part") + "~", true},
      {PartName("", kGone, "part"), true},
      {".old.mp4.4x.zelkoz-part", true},
  };
  for (const auto& f : files) {
    ASSERT_TRUE(
        g_file_set_contents(dir.File(f.name).c_str(), "x", -1, nullptr));
  }
  const std::string folder = dir.File(PartName("d.mp4", kGone, "part"));
  ASSERT_EQ(g_mkdir(folder.c_str(), 0755), 0);
  const std::string link = dir.File(PartName("l.mp4", kGone, "part"));
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);

  const std::string output = dir.File("new.mp4");
  EXPECT_TRUE(test_media::RunJob({test_media::VideoClip(), output}).ok);
  EXPECT_TRUE(test_media::Exists(output));
  for (const auto& f : files) {
    EXPECT_EQ(test_media::Exists(dir.File(f.name)), f.stays) << f.name;
  }
  EXPECT_TRUE(g_file_test(folder.c_str(), G_FILE_TEST_IS_DIR));
  EXPECT_EQ(test_media::ReadFile(link), "user");

  // A long name is cut between characters, so that the part's name fits.
  std::string name;
  for (int i = 0; i < 120; ++i) {
    name += "\xc3\xa4";
  }
  PartFile part("/videos/" + name + ".mp4", PartKind::kFaststart);
  g_autofree gchar* base = g_path_get_basename(part.path().c_str());
  pid_t pid = 0;
  EXPECT_LE(strlen(base), 255u);
  EXPECT_TRUE(g_utf8_validate(base, -1, nullptr)) << base;
  EXPECT_TRUE(ParsePartName(base, &pid) && pid == getpid()) << base;
}

}  // namespace
