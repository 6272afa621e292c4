// Copyright 2026 The Zelkoz Authors. All rights reserved.
// Sources that are not regular files: a FIFO, whose open() blocks until a
// writer comes, and /dev/zero, which never ends. Each must be answered as
// unusable media at once, by the probe, the poster writer, a compression job
// and a player, never by a thread (the main one, for the last two) waiting
// in open() for ever.
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "test_media.h"
#include "transcoder.h"
#include "video_plugin_fixture.h"

namespace {

struct SpecialFile {
  const char* name;
  std::string path;
};

// A FIFO in a scratch folder, and /dev/zero under a media name.
std::vector<SpecialFile> SpecialFiles(const test_media::ScratchDir& dir) {
  const std::string fifo = dir.File("fifo.mp4");
  EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string zero = dir.File("zero.mp4");
  EXPECT_EQ(symlink("/dev/zero", zero.c_str()), 0);
  return {{"a FIFO nobody writes to", fifo}, {"/dev/zero", zero}};
}

// The probe gives nothing and the poster writer writes nothing, at once.
TEST(SpecialSource, ProbeAndPosterRefuseIt) {
  test_media::ScratchDir dir;
  for (const SpecialFile& file : SpecialFiles(dir)) {
    SCOPED_TRACE(file.name);
    test_media::FifoRescue rescue(dir.File("fifo.mp4"));
    const std::string poster = dir.File("poster.jpg");
    rescue.Guard([&] {
      EXPECT_FALSE(ProbeMedia(file.path).ok);
      EXPECT_FALSE(WritePoster(file.path, poster, 64));
    });
    EXPECT_FALSE(test_media::Exists(poster));
    EXPECT_FALSE(rescue.rescued()) << "a call waited in open()";
  }
}

// A compression job fails inside Start, on the calling (main) thread,
// without opening the source.
TEST(SpecialSource, CompressionFailsAtOnce) {
  test_media::ScratchDir dir;
  for (const SpecialFile& file : SpecialFiles(dir)) {
    SCOPED_TRACE(file.name);
    test_media::FifoRescue rescue(dir.File("fifo.mp4"));
    const std::string output = dir.File("out.mp4");
    test_media::Outcome outcome;
    auto job = test_media::MakeJob({file.path, output, 64, 48, 1000}, &outcome);
    rescue.Guard([&] { job->Start(); });
    EXPECT_TRUE(test_media::FailedOnce(outcome))
        << "the job did not end inside Start";
    EXPECT_FALSE(test_media::Exists(output));
    EXPECT_FALSE(rescue.rescued()) << "Start waited in open()";
  }
}

class SpecialSourcePlayerTest : public VideoPluginTest {};

// "playerCreate" answers at once with a player whose only event is
// "VideoError"; playing it afterwards does not open the file either.
TEST_F(SpecialSourcePlayerTest, PlayerReportsVideoError) {
  test_media::ScratchDir dir;
  for (const SpecialFile& file : SpecialFiles(dir)) {
    SCOPED_TRACE(file.name);
    test_media::FifoRescue rescue(dir.File("fifo.mp4"));
    int64_t id = 0;
    rescue.Guard([&] { id = CreatePlayer(test_media::Uri(file.path)); });
    ASSERT_GT(id, 0);
    Listen(id);
    ASSERT_TRUE(WaitForEvents(id, 1));
    rescue.Guard([&] {
      CallPlayer("playerPlay", id);
      test_media::Drain();
    });
    g_autoptr(FlValue) events = Events(id);
    for (size_t i = 0; i < fl_value_get_length(events); ++i) {
      EXPECT_EQ(EventName(fl_value_get_list_value(events, i)), "VideoError");
    }
    EXPECT_FALSE(rescue.rescued()) << "the main thread waited in open()";
    CallPlayer("playerDispose", id);
  }
}

}  // namespace
