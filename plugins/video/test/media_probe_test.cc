// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include <glib.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "test_media.h"
#include "transcoder.h"

namespace {

// What ffprobe, run as a process, says of a file: the independent account
// that the probe is held against.
struct Ffprobe {
  bool read = false;  // ffprobe found streams in it.
  bool has_duration = false;
  double duration_s = 0;
  bool has_video = false;
  bool has_audio = false;
  int display_width = 0;  // First video stream, square pixels, upright.
  int display_height = 0;
  std::string video_codec;  // First video and audio streams.
  std::string audio_codec;
};

Ffprobe RunFfprobe(const std::string& path) {
  const test_media::Probe probe = test_media::FfProbe(path);
  Ffprobe facts;
  auto duration = probe.format.find("duration");
  if (duration != probe.format.end() && duration->second != "N/A") {
    facts.has_duration = true;
    facts.duration_s = g_ascii_strtod(duration->second.c_str(), nullptr);
  }
  for (const test_media::Probe::Entries& stream : probe.streams) {
    auto get = [&stream](const char* key) {
      auto found = stream.find(key);
      return found != stream.end() ? found->second : std::string();
    };
    const std::string type = get("codec_type");
    if (type.empty()) {
      break;
    }
    facts.read = true;
    if (type == "audio" && !facts.has_audio) {
      facts.has_audio = true;
      facts.audio_codec = get("codec_name");
    }
    if (type != "video" || facts.has_video) {
      continue;
    }
    facts.has_video = true;
    facts.video_codec = get("codec_name");
    int64_t width = atoi(get("width").c_str());
    int64_t height = atoi(get("height").c_str());
    int sar_n = 0;
    int sar_d = 0;
    if (sscanf(get("sample_aspect_ratio").c_str(), "%d:%d", &sar_n, &sar_d) ==
            2 &&
        sar_n > 0 && sar_d > 0) {
      width = width * sar_n / sar_d;
    }
    // ffprobe counts the turn the other way round; only a quarter matters.
    const int rotation =
        atoi(get("side_data_list.side_data.0.rotation").c_str());
    if (std::abs(rotation) % 180 == 90) {
      std::swap(width, height);
    }
    facts.display_width = static_cast<int>(width);
    facts.display_height = static_cast<int>(height);
  }
  return facts;
}

enum Duration { kKnown, kUnknown, kUnreliable };

// Every field of a probe against ffprobe's account of the same file, and
// against the figures each file was made with; the container flag, which
// ffprobe does not tell apart, against the table alone.
TEST(ProbeMediaTest, AgreesWithFfprobe) {
  const struct {
    const char* name;
    int width;
    int height;
    bool mp4;
    Duration duration;
  } cases[] = {
      {"clip_320x240.mp4", 320, 240, true, kKnown},
      {"clip_1080p.mp4", 1920, 1080, true, kKnown},
      {"video_only.mp4", 320, 240, true, kKnown},
      // A MOV: brand "qt  ", typefound without a variant.
      {"clip.mov", 320, 240, false, kKnown},
      // Variant "iso-fragmented". The demuxer reads no further than the
      // first fragment and reports its length as the file's.
      {"fragmented.mp4", 320, 240, false, kUnreliable},
      {"rotate90.mp4", 360, 640, true, kKnown},
      {"rotate180.mp4", 640, 360, true, kKnown},
      {"rotate270.mp4", 360, 640, true, kKnown},
      // 720x576 coded with pixels of 16:15.
      {"anamorphic.mp4", 768, 576, true, kKnown},
      {"audio.mp3", 0, 0, false, kKnown},
      // Typefound as audio/x-m4a, not as the QuickTime family.
      {"audio.m4a", 0, 0, false, kKnown},
      // 320x240 first, 160x120 second.
      {"two_video.mkv", 320, 240, false, kKnown},
      {"clip_vp8.webm", 320, 240, false, kKnown},
      {"thin.mp4", 2560, 2, true, kKnown},
      {"no_duration.mjpeg", 320, 240, false, kUnknown},
      {"still.png", 320, 240, false, kUnknown},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = test_media::Shared(c.name);
    if (path.empty()) {
      continue;
    }
    const Ffprobe facts = RunFfprobe(path);
    ASSERT_TRUE(facts.read) << "ffprobe found no streams";
    const ProbeResult probe = ProbeMedia(path);
    ASSERT_TRUE(probe.ok);

    EXPECT_EQ(probe.hasVideo, facts.has_video);
    EXPECT_EQ(probe.hasAudio, facts.has_audio);
    EXPECT_EQ(probe.h264, facts.video_codec == "h264");
    EXPECT_EQ(probe.aac, facts.audio_codec == "aac");
    EXPECT_EQ(probe.width, facts.display_width);
    EXPECT_EQ(probe.height, facts.display_height);
    EXPECT_EQ(probe.width, c.width);
    EXPECT_EQ(probe.height, c.height);
    EXPECT_EQ(probe.mp4, c.mp4);

    EXPECT_EQ(facts.has_duration, c.duration != kUnknown);
    if (c.duration == kKnown) {
      // Demuxers round the last frame's length differently.
      EXPECT_NEAR(static_cast<double>(probe.durationMs),
                  facts.duration_s * 1000.0, 40.0);
    } else if (c.duration == kUnknown) {
      EXPECT_LT(probe.durationMs, 0) << "an unknown duration reads as known";
    }
  }
}

// Writes a copy of an MP4 whose file-type box names only brands that
// typefinding does not know, so that it is typefound as plain
// "video/quicktime" like a MOV, while the demuxer still takes it for ISO.
std::string WithUnknownBrands(const std::string& source,
                              const test_media::ScratchDir& dir) {
  g_autofree gchar* contents = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(source.c_str(), &contents, &length, nullptr) ||
      length < 16 || memcmp(contents + 4, "ftyp", 4) != 0) {
    ADD_FAILURE() << source << " does not begin with a file-type box";
    return "";
  }
  auto* bytes = reinterpret_cast<guint8*>(contents);
  const gsize box = GUINT32_FROM_BE(*reinterpret_cast<guint32*>(bytes));
  // The major brand, the minor version (left alone), then the compatible
  // brands.
  for (gsize at = 8; at + 4 <= box && at + 4 <= length; at += 4) {
    if (at != 12) {
      memcpy(bytes + at, "zkzk", 4);
    }
  }
  const std::string path = dir.File("unknown-brand.mp4");
  if (!g_file_set_contents(path.c_str(), contents, length, nullptr)) {
    ADD_FAILURE() << "cannot write " << path;
    return "";
  }
  return path;
}

// Without a variant the demuxer's name for the container decides: a MOV is
// not an MP4, an ISO file of an unlisted brand is.
TEST(ProbeMediaTest, QuickTimeWithoutVariant) {
  test_media::ScratchDir scratch;
  const std::string mp4 = test_media::Shared("clip_320x240.mp4");
  ASSERT_FALSE(mp4.empty());
  const struct {
    const char* what;
    std::string path;
    bool mp4;
  } cases[] = {
      {"MOV", test_media::Shared("clip.mov"), false},
      {"ISO, unknown brands", WithUnknownBrands(mp4, scratch), true},
      {"ISO, variant iso", mp4, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const ProbeResult probe = ProbeMedia(c.path);
    ASSERT_TRUE(probe.ok);
    EXPECT_EQ(probe.mp4, c.mp4);
    EXPECT_TRUE(probe.h264 && probe.aac);
  }
}

// Whatever cannot be examined leaves every field at its starting value.
TEST(ProbeMediaTest, UnreadableInputsAreNotOk) {
  const std::string clip = test_media::Shared("clip_320x240.mp4");
  ASSERT_FALSE(clip.empty());
  test_media::ScratchDir scratch;
  const struct {
    const char* what;
    std::string path;
  } cases[] = {
      {"text file", test_media::Shared("text.txt")},
      {"empty file", test_media::Shared("empty.mp4")},
      {"missing file", scratch.File("missing.mp4")},
      {"folder", scratch.path()},
      {"empty path", ""},
      {"file URI", "file://" + clip},
      // Only an absolute path is taken, even where the relative one names
      // a real file (the working directory is the media folder below).
      {"relative path", "clip_320x240.mp4"},
      {"dot path", "./clip_320x240.mp4"},
  };
  g_autofree gchar* cwd = g_get_current_dir();
  ASSERT_EQ(g_chdir(ZK_MEDIA_DIR), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const ProbeResult probe = ProbeMedia(c.path);
    EXPECT_FALSE(probe.ok);
    EXPECT_EQ(probe.durationMs, -1);
    EXPECT_EQ(probe.width, 0);
    EXPECT_EQ(probe.height, 0);
    EXPECT_FALSE(probe.hasVideo || probe.hasAudio || probe.h264 || probe.aac ||
                 probe.mp4);
  }
  ASSERT_EQ(g_chdir(cwd), 0);
}

// Absolute paths become escaped file URIs that lead back to the same path;
// nothing else becomes a URI.
TEST(FileUriTest, OnlyAbsolutePathsConvert) {
  const struct {
    const char* path;
    bool converts;
  } cases[] = {
      {"/tmp/clip.mp4", true},
      {"/tmp/with space/clip #1 100%.mp4", true},
      {"/tmp/quote\"back\\slash\"!.mp4", true},
      {"/tmp/\xc3\xa9t\xc3\xa9.mp4", true},
      {"clip.mp4", false},
      {"./clip.mp4", false},
      {"", false},
      {"file:///tmp/clip.mp4", false},
      {"http://example.invalid/clip.mp4", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string uri = FileUri(c.path);
    if (!c.converts) {
      EXPECT_EQ(uri, "");
      continue;
    }
    ASSERT_TRUE(g_str_has_prefix(uri.c_str(), "file:///")) << uri;
    // Nothing in it can end the quotes around it in a pipeline
    // description.
    EXPECT_EQ(uri.find_first_of("\"\\"), std::string::npos) << uri;
    g_autofree gchar* back = g_filename_from_uri(uri.c_str(), nullptr, nullptr);
    ASSERT_NE(back, nullptr) << uri;
    EXPECT_STREQ(back, c.path);
  }
}

// A file name with quotes, spaces and characters that mean something in a
// URI is probed like any other.
TEST(ProbeMediaTest, OddFileNames) {
  test_media::ScratchDir scratch;
  const std::string clip = test_media::Shared("clip_320x240.mp4");
  ASSERT_FALSE(clip.empty());
  for (const char* name :
       {"a \"quoted\" name.mp4", "back\\slash ! queue.mp4", "100% #1?.mp4"}) {
    SCOPED_TRACE(name);
    const ProbeResult probe =
        ProbeMedia(test_media::LinkTo(scratch, name, clip));
    EXPECT_TRUE(probe.ok);
    EXPECT_EQ(probe.width, 320);
  }
}

// Probes running on several threads at once answer what each answers alone:
// nothing is shared between calls.
TEST(ProbeMediaTest, ConcurrentProbesAreIndependent) {
  const char* names[] = {"clip_320x240.mp4", "rotate90.mp4", "anamorphic.mp4",
                         "audio.mp3",        "clip.mov",     "text.txt"};
  std::vector<std::string> paths;
  std::vector<ProbeResult> alone;
  for (const char* name : names) {
    paths.push_back(test_media::Shared(name));
    ASSERT_FALSE(paths.back().empty());
    alone.push_back(ProbeMedia(paths.back()));
  }
  std::vector<ProbeResult> together(paths.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < paths.size(); ++i) {
    threads.emplace_back([&, i]() { together[i] = ProbeMedia(paths[i]); });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  for (size_t i = 0; i < paths.size(); ++i) {
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(together[i].ok, alone[i].ok);
    EXPECT_EQ(together[i].durationMs, alone[i].durationMs);
    EXPECT_EQ(together[i].width, alone[i].width);
    EXPECT_EQ(together[i].height, alone[i].height);
    EXPECT_EQ(together[i].hasAudio, alone[i].hasAudio);
    EXPECT_EQ(together[i].mp4, alone[i].mp4);
  }
}

}  // namespace
