// Copyright 2026 The Zelkoz Authors. All rights reserved.
// Outputs that are not regular files: a FIFO, whose open() for writing
// blocks until a reader comes, an empty directory and a device node. Neither
// a compression job nor the poster writer may write into them, wait on them
// or, on failure, delete them: remove() takes an empty directory, and a
// device node given as output is /dev/null or its like.
#include <glib.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "test_media.h"
#include "transcoder.h"

namespace {

struct SpecialOutput {
  const char* name;
  std::string path;
  mode_t type;  // S_IFIFO, S_IFDIR or S_IFCHR
};

// The outputs, made afresh in dir; the device node (a copy of /dev/null)
// only where this process may make one: root always may.
std::vector<SpecialOutput> SpecialOutputs(const test_media::ScratchDir& dir) {
  std::vector<SpecialOutput> outputs;
  const std::string fifo = dir.File("fifo.out");
  EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  outputs.push_back({"a FIFO nobody reads", fifo, S_IFIFO});
  const std::string folder = dir.File("folder.out");
  EXPECT_EQ(g_mkdir(folder.c_str(), 0700), 0);
  outputs.push_back({"an empty directory", folder, S_IFDIR});
  const std::string null = dir.File("null.out");
  if (mknod(null.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
    outputs.push_back({"a copy of /dev/null", null, S_IFCHR});
  } else {
    EXPECT_NE(geteuid(), 0u) << "root could not make a device node";
  }
  return outputs;
}

bool StillThere(const SpecialOutput& output) {
  GStatBuf info;
  return g_lstat(output.path.c_str(), &info) == 0 &&
         (info.st_mode & S_IFMT) == output.type;
}

// The job fails inside Start without opening the output, and the output is
// left as it was.
TEST(SpecialOutput, CompressionLeavesItAlone) {
  const std::string clip = test_media::VideoClip();
  ASSERT_FALSE(clip.empty());
  test_media::ScratchDir dir;
  const std::vector<SpecialOutput> outputs = SpecialOutputs(dir);
  for (const SpecialOutput& output : outputs) {
    SCOPED_TRACE(output.name);
    test_media::FifoRescue rescue(dir.File("fifo.out"));
    test_media::Outcome outcome;
    auto job = test_media::MakeJob({clip, output.path, 64, 48, 500}, &outcome);
    rescue.Guard([&] { job->Start(); });
    EXPECT_TRUE(test_media::FailedOnce(outcome))
        << "the job did not end inside Start";
    EXPECT_FALSE(rescue.rescued()) << "Start waited in open()";
    EXPECT_TRUE(StillThere(output)) << "the output was removed";
  }
  if (outputs.size() < 3) {
    GTEST_SKIP() << "no device node: only root may make one";
  }
}

// The poster writer answers false at once and leaves the output as it was.
TEST(SpecialOutput, PosterLeavesItAlone) {
  const std::string clip = test_media::VideoClip();
  ASSERT_FALSE(clip.empty());
  test_media::ScratchDir dir;
  const std::vector<SpecialOutput> outputs = SpecialOutputs(dir);
  for (const SpecialOutput& output : outputs) {
    SCOPED_TRACE(output.name);
    test_media::FifoRescue rescue(dir.File("fifo.out"));
    rescue.Guard([&] { EXPECT_FALSE(WritePoster(clip, output.path, 32)); });
    EXPECT_FALSE(rescue.rescued()) << "the poster waited in open()";
    EXPECT_TRUE(StillThere(output));
  }
  if (outputs.size() < 3) {
    GTEST_SKIP() << "no device node: only root may make one";
  }
}

}  // namespace
