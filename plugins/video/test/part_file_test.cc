// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "part_file.h"

#include <glib.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "test_media.h"

namespace {

// Above the largest pid Linux hands out (2^22).
constexpr pid_t kNeverAPid = 4194400;

std::string PartName(const std::string& output, pid_t pid, const char* kind) {
  return "." + output + "." + std::to_string(pid) + ".zelkoz-" + kind;
}

// Only the names the jobs give are taken for part files.
TEST(PartFileTest, TellsPartNamesFromOthers) {
  const struct {
    const char* name;
    pid_t pid;  // 0: not a part file.
  } cases[] = {
      {".clip.mp4.4242.zelkoz-part", 4242},
      {".my clip.v2.mp4.7.zelkoz-faststart", 7},
      {".a.1.zelkoz-part", 1},
      {"clip.mp4.4242.zelkoz-part", 0},
      {"..4242.zelkoz-part", 0},
      {".clip.mp4.zelkoz-part", 0},
      {".clip.mp4.42x.zelkoz-part", 0},
      {".clip.mp4.4242.zelkoz-part~", 0},
      {".clip.mp4.0.zelkoz-part", 0},
      {".clip.mp4.99999999999.zelkoz-part", 0},
      {".clip.mp4.4242.part", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pid_t pid = 0;
    EXPECT_EQ(ParsePartName(c.name, &pid), c.pid != 0);
    if (c.pid != 0) {
      EXPECT_EQ(pid, c.pid);
    }
  }
  // A long name is cut between characters so that the whole fits in a name.
  std::string long_name;
  for (int i = 0; i < 120; ++i) {
    long_name += "\xc3\xa4";  // ä
  }
  long_name += ".mp4";
  PartFile part("/videos/" + long_name, PartKind::kFaststart);
  g_autofree gchar* base = g_path_get_basename(part.path().c_str());
  EXPECT_LE(strlen(base), 255u);
  EXPECT_TRUE(g_utf8_validate(base, -1, nullptr)) << base;
  pid_t pid = 0;
  EXPECT_TRUE(ParsePartName(base, &pid)) << base;
  EXPECT_EQ(pid, getpid());
}

// A job clears its folder of the part files whose process is gone, and of
// this process's own that no job names; never those of a live process, nor
// anything that only looks like one.
TEST(PartFileTest, NextJobRemovesStaleParts) {
  test_media::ScratchDir dir;
  const std::string input = test_media::VideoClip();
  ASSERT_FALSE(input.empty());
  const std::string outside = dir.File("kept.mp4");
  ASSERT_TRUE(g_file_set_contents(outside.c_str(), "user", -1, nullptr));
  PartFile in_use(dir.File("running.mp4"), PartKind::kStream);
  const struct {
    std::string name;
    bool stays;
  } files[] = {
      {PartName("old.mp4", kNeverAPid, "part"), false},
      {PartName("old.mp4", kNeverAPid, "faststart"), false},
      {PartName("mine.mp4", getpid(), "part"), false},
      {PartName("running.mp4", getpid(), "part"), true},
      {PartName("other.mp4", getppid(), "part"), true},
      {"old.mp4." + std::to_string(kNeverAPid) + ".zelkoz-part", true},
      {".old.mp4." + std::to_string(kNeverAPid) + ".zelkoz-part.bak", true},
  };
  for (const auto& f : files) {
    ASSERT_TRUE(g_file_set_contents(dir.File(f.name).c_str(), "x", -1,
                                    nullptr));
  }
  // Neither a folder nor a link under a stale name is removed, nor what the
  // link points to.
  const std::string folder = dir.File(PartName("d.mp4", kNeverAPid, "part"));
  ASSERT_EQ(g_mkdir(folder.c_str(), 0755), 0);
  const std::string link = dir.File(PartName("l.mp4", kNeverAPid, "part"));
  ASSERT_EQ(symlink(outside.c_str(), link.c_str()), 0);

  const std::string output = dir.File("new.mp4");
  test_media::Outcome outcome = test_media::RunJob({input, output});
  EXPECT_TRUE(outcome.ok);
  EXPECT_TRUE(test_media::Exists(output));
  for (const auto& f : files) {
    SCOPED_TRACE(f.name);
    EXPECT_EQ(test_media::Exists(dir.File(f.name)), f.stays);
  }
  EXPECT_TRUE(g_file_test(folder.c_str(), G_FILE_TEST_IS_DIR));
  EXPECT_TRUE(g_file_test(link.c_str(), G_FILE_TEST_IS_SYMLINK));
  EXPECT_EQ(test_media::ReadFile(outside), "user");
  // The job left no part of its own.
  EXPECT_FALSE(test_media::Exists(dir.File(PartName("new.mp4", getpid(),
                                                    "part"))));
}

}  // namespace
