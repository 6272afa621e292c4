// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "test_media.h"
#include "transcoder.h"

namespace {

// The poster at path, read back as gdk-pixbuf reads any JPEG; nullptr after
// adding a failure when it is missing or not a JPEG.
GdkPixbuf* LoadJpeg(const std::string& path) {
  GdkPixbufFormat* format =
      gdk_pixbuf_get_file_info(path.c_str(), nullptr, nullptr);
  if (format == nullptr) {
    ADD_FAILURE() << path << " is not a picture";
    return nullptr;
  }
  g_autofree gchar* name = gdk_pixbuf_format_get_name(format);
  EXPECT_STREQ(name, "jpeg");
  g_autoptr(GError) error = nullptr;
  GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(path.c_str(), &error);
  if (pixbuf == nullptr) {
    ADD_FAILURE() << "cannot read " << path << ": " << error->message;
  }
  return pixbuf;
}

// The frame of the video at position, exactly as coded (not turned
// upright), decoded independently of the poster writer: an accurate seek
// rather than one to a key frame. nullptr after adding a failure.
GdkPixbuf* DecodeFrameAt(const std::string& path, GstClockTime position) {
  g_autofree gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
  g_autofree gchar* description = g_strdup_printf(
      "uridecodebin uri=\"%s\" ! videoconvert ! video/x-raw,format=RGB ! "
      "appsink name=sink sync=false",
      uri);
  g_autoptr(GError) error = nullptr;
  GstElement* parsed = gst_parse_launch(description, &error);
  if (parsed == nullptr) {
    ADD_FAILURE() << "cannot build the reference decoder";
    return nullptr;
  }
  g_autoptr(GstElement) pipeline = GST_ELEMENT(gst_object_ref_sink(parsed));
  g_autoptr(GstElement) sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  g_autoptr(GstBus) bus = gst_element_get_bus(pipeline);
  auto settle = [&]() {
    g_autoptr(GstMessage) message = gst_bus_timed_pop_filtered(
        bus, 15 * GST_SECOND,
        static_cast<GstMessageType>(GST_MESSAGE_ASYNC_DONE |
                                    GST_MESSAGE_ERROR));
    return message != nullptr &&
           GST_MESSAGE_TYPE(message) == GST_MESSAGE_ASYNC_DONE;
  };
  gst_element_set_state(pipeline, GST_STATE_PAUSED);
  bool ready = settle();
  if (ready && position > 0) {
    ready = gst_element_seek_simple(
                pipeline, GST_FORMAT_TIME,
                static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH |
                                          GST_SEEK_FLAG_ACCURATE),
                position) &&
            settle();
  }
  g_autoptr(GstSample) sample =
      ready ? gst_app_sink_try_pull_preroll(GST_APP_SINK(sink), 5 * GST_SECOND)
            : nullptr;
  GdkPixbuf* pixbuf = nullptr;
  GstVideoInfo info;
  GstVideoFrame frame;
  if (sample != nullptr &&
      gst_video_info_from_caps(&info, gst_sample_get_caps(sample)) &&
      gst_video_frame_map(&frame, &info, gst_sample_get_buffer(sample),
                          GST_MAP_READ)) {
    const int width = GST_VIDEO_FRAME_WIDTH(&frame);
    const int height = GST_VIDEO_FRAME_HEIGHT(&frame);
    pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
    const auto* from =
        static_cast<const guint8*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
    const int from_stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
    for (int y = 0; y < height; ++y) {
      memcpy(
          gdk_pixbuf_get_pixels(pixbuf) + y * gdk_pixbuf_get_rowstride(pixbuf),
          from + y * from_stride, width * 3);
    }
    gst_video_frame_unmap(&frame);
  }
  gst_element_set_state(pipeline, GST_STATE_NULL);
  if (pixbuf == nullptr) {
    ADD_FAILURE() << "no reference frame of " << path;
  }
  return pixbuf;
}

// How far apart two pictures are, with the second scaled to the size of the
// first: the mean absolute difference of their samples over the 16x16
// block where they differ most. A moved detail shows even where the rest of
// the picture is alike; 255 when either is missing.
double Difference(GdkPixbuf* a, GdkPixbuf* b) {
  if (a == nullptr || b == nullptr) {
    return 255;
  }
  constexpr int kBlock = 16;
  const int width = gdk_pixbuf_get_width(a);
  const int height = gdk_pixbuf_get_height(a);
  g_autoptr(GdkPixbuf) scaled =
      gdk_pixbuf_scale_simple(b, width, height, GDK_INTERP_BILINEAR);
  const int channels_a = gdk_pixbuf_get_n_channels(a);
  const int channels_b = gdk_pixbuf_get_n_channels(scaled);
  double worst = 0;
  for (int top = 0; top < height; top += kBlock) {
    for (int left = 0; left < width; left += kBlock) {
      double sum = 0;
      int samples = 0;
      for (int y = top; y < std::min(top + kBlock, height); ++y) {
        const guint8* row_a =
            gdk_pixbuf_read_pixels(a) + y * gdk_pixbuf_get_rowstride(a);
        const guint8* row_b = gdk_pixbuf_read_pixels(scaled) +
                              y * gdk_pixbuf_get_rowstride(scaled);
        for (int x = left; x < std::min(left + kBlock, width); ++x) {
          for (int c = 0; c < 3; ++c) {
            sum +=
                std::abs(row_a[x * channels_a + c] - row_b[x * channels_b + c]);
            ++samples;
          }
        }
      }
      worst = std::max(worst, sum / samples);
    }
  }
  return worst;
}

// The longer side is scaled down to maxSide, never up, with the picture
// upright; maxSide 0 or less keeps the decoded size, and a side that would
// vanish keeps one pixel.
TEST(WritePosterTest, Sizes) {
  test_media::ScratchDir scratch;
  const struct {
    const char* name;
    int32_t max_side;
    int width;
    int height;
  } cases[] = {
      {"clip_960x540.mp4", 640, 640, 360},
      {"clip_960x540.mp4", 0, 960, 540},
      {"clip_960x540.mp4", -1, 960, 540},
      {"clip_960x540.mp4", 960, 960, 540},
      {"clip_960x540.mp4", 100, 100, 56},
      {"clip_320x240.mp4", 640, 320, 240},
      {"rotate90.mp4", 640, 360, 640},
      {"rotate90.mp4", 320, 180, 320},
      {"rotate270.mp4", 640, 360, 640},
      {"rotate180.mp4", 320, 320, 180},
      {"thin.mp4", 640, 640, 1},
      // The decoded picture, not corrected for its 16:15 pixels.
      {"anamorphic.mp4", 0, 720, 576},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " maxSide " +
                 std::to_string(c.max_side));
    const std::string input = test_media::Shared(c.name);
    const std::string output =
        scratch.File("poster" + std::to_string(index++) + ".jpg");
    ASSERT_TRUE(WritePoster(input, output, c.max_side));
    g_autoptr(GdkPixbuf) poster = LoadJpeg(output);
    ASSERT_NE(poster, nullptr);
    EXPECT_EQ(gdk_pixbuf_get_width(poster), c.width);
    EXPECT_EQ(gdk_pixbuf_get_height(poster), c.height);
  }
}

// The presentation times of the video's key frames, as ffprobe lists them.
std::vector<GstClockTime> KeyFrames(const std::string& path) {
  const std::string out = test_media::Run(
      {"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
       "packet=pts_time,flags", "-of", "csv=p=0", path});
  std::vector<GstClockTime> times;
  g_auto(GStrv) lines = g_strsplit(out.c_str(), "\n", -1);
  for (gchar** line = lines; *line != nullptr; ++line) {
    gchar* flags = strchr(*line, ',');
    if (flags != nullptr && flags[1] == 'K') {
      const double seconds = g_ascii_strtod(*line, nullptr);
      times.push_back(static_cast<GstClockTime>(std::llround(seconds * 1e9)));
    }
  }
  std::sort(times.begin(), times.end());
  return times;
}

// The poster is the key frame at or before a tenth of the way in, but no
// later than 1 s: one near 1 s for a minute-long video, the one at 1 s where
// a key frame lies right there, the first frame for one of 0.8 s. Each is
// held against frames decoded at the times that a slip would give: the first
// frame, the next key frame, a frame between.
TEST(WritePosterTest, FrameChoice) {
  test_media::ScratchDir scratch;
  const struct {
    const char* name;
    GstClockTime target;
  } cases[] = {
      {"clip_60s.mp4", GST_SECOND},
      // A key frame right at 1 s, B-frames and an audio track.
      {"clip_1080p.mp4", GST_SECOND},
      {"clip_0_8s.mp4", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string input = test_media::Shared(c.name);
    const std::vector<GstClockTime> keys = KeyFrames(input);
    ASSERT_FALSE(keys.empty());
    GstClockTime expected = keys.front();
    GstClockTime next = GST_CLOCK_TIME_NONE;
    for (GstClockTime key : keys) {
      if (key <= c.target) {
        expected = key;
      } else if (next == GST_CLOCK_TIME_NONE) {
        next = key;
      }
    }
    std::vector<GstClockTime> slips = {expected + 400 * GST_MSECOND};
    if (expected > 0) {
      slips.push_back(0);
    }
    if (next != GST_CLOCK_TIME_NONE) {
      slips.push_back(next);
    }

    const std::string output = scratch.File(std::string(c.name) + ".jpg");
    ASSERT_TRUE(WritePoster(input, output, 640));
    g_autoptr(GdkPixbuf) poster = LoadJpeg(output);
    g_autoptr(GdkPixbuf) reference = DecodeFrameAt(input, expected);
    const double to_expected = Difference(poster, reference);
    // JPEG at quality 75 blurs the test pattern's coloured edges by up to
    // about 20 levels; a wrong frame differs by 100 and more.
    EXPECT_LT(to_expected, 32.0)
        << "not the frame at " << GST_TIME_AS_MSECONDS(expected) << " ms";
    for (GstClockTime slip : slips) {
      g_autoptr(GdkPixbuf) other = DecodeFrameAt(input, slip);
      EXPECT_LT(to_expected * 3, Difference(poster, other))
          << "as near to the frame at " << GST_TIME_AS_MSECONDS(slip) << " ms";
    }
  }
}

// The middle of the minute-long clip is one flat colour per second s:
// R 16 + 32 (s mod 8), G 16 + 32 floor(s / 8), B 128.
TEST(WritePosterTest, MinuteLongClipShowsItsKeyFrameColour) {
  test_media::ScratchDir scratch;
  const std::string input = test_media::Shared("clip_60s.mp4");
  GstClockTime expected = 0;
  for (GstClockTime key : KeyFrames(input)) {
    if (key <= GST_SECOND) {
      expected = key;
    }
  }
  const int second = static_cast<int>(expected / GST_SECOND);
  const std::string output = scratch.File("poster.jpg");
  ASSERT_TRUE(WritePoster(input, output, 640));
  g_autoptr(GdkPixbuf) poster = LoadJpeg(output);
  ASSERT_NE(poster, nullptr);
  const guint8* centre =
      gdk_pixbuf_read_pixels(poster) +
      gdk_pixbuf_get_height(poster) / 2 * gdk_pixbuf_get_rowstride(poster) +
      gdk_pixbuf_get_width(poster) / 2 * gdk_pixbuf_get_n_channels(poster);
  EXPECT_NEAR(centre[0], 16 + 32 * (second % 8), 10);
  EXPECT_NEAR(centre[1], 16 + 32 * (second / 8), 10);
  EXPECT_NEAR(centre[2], 128, 10);
}

// A quarter-turned video is turned the way its header says: the picture
// matches the coded frame rotated clockwise for rotate-90 and
// anticlockwise for rotate-270, not the other way round.
TEST(WritePosterTest, TurnsUpright) {
  test_media::ScratchDir scratch;
  const struct {
    const char* name;
    GdkPixbufRotation right;
    GdkPixbufRotation wrong;
  } cases[] = {
      {"rotate90.mp4", GDK_PIXBUF_ROTATE_CLOCKWISE,
       GDK_PIXBUF_ROTATE_COUNTERCLOCKWISE},
      {"rotate270.mp4", GDK_PIXBUF_ROTATE_COUNTERCLOCKWISE,
       GDK_PIXBUF_ROTATE_CLOCKWISE},
      {"rotate180.mp4", GDK_PIXBUF_ROTATE_UPSIDEDOWN, GDK_PIXBUF_ROTATE_NONE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string input = test_media::Shared(c.name);
    const std::string output = scratch.File(std::string(c.name) + ".jpg");
    ASSERT_TRUE(WritePoster(input, output, 0));
    g_autoptr(GdkPixbuf) poster = LoadJpeg(output);
    // A 2 s clip: the poster is the key frame at or before 0.2 s.
    GstClockTime key_frame = 0;
    for (GstClockTime key : KeyFrames(input)) {
      if (key <= 200 * GST_MSECOND) {
        key_frame = key;
      }
    }
    g_autoptr(GdkPixbuf) coded = DecodeFrameAt(input, key_frame);
    ASSERT_NE(coded, nullptr);
    g_autoptr(GdkPixbuf) right = gdk_pixbuf_rotate_simple(coded, c.right);
    g_autoptr(GdkPixbuf) wrong = gdk_pixbuf_rotate_simple(coded, c.wrong);
    const double to_right = Difference(poster, right);
    EXPECT_LT(to_right, 32.0);
    EXPECT_LT(to_right * 3, Difference(poster, wrong));
  }
}

// Failures return false and leave no file behind; a folder that does not
// exist is the one failure that is logged, with gdk-pixbuf's reason.
TEST(WritePosterTest, Failures) {
  test_media::ScratchDir scratch;
  const std::string clip = test_media::Shared("clip_320x240.mp4");
  const struct {
    const char* what;
    std::string input;
    std::string output;
    bool logged;
  } cases[] = {
      {"missing output folder", clip, scratch.File("no/such/poster.jpg"), true},
      {"audio only, AAC", test_media::Shared("audio.m4a"),
       scratch.File("m4a.jpg"), false},
      {"audio only, MP3", test_media::Shared("audio.mp3"),
       scratch.File("mp3.jpg"), false},
      {"text file", test_media::Shared("text.txt"), scratch.File("txt.jpg"),
       false},
      {"empty file", test_media::Shared("empty.mp4"), scratch.File("empty.jpg"),
       false},
      {"missing input", scratch.File("missing.mp4"),
       scratch.File("missing.jpg"), false},
      {"relative input", "clip_320x240.mp4", scratch.File("relative.jpg"),
       false},
      {"URI as input", "file://" + clip, scratch.File("uri.jpg"), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test_media::LogCapture log;
    EXPECT_FALSE(WritePoster(c.input, c.output, 640));
    EXPECT_FALSE(test_media::Exists(c.output));
    const std::vector<std::string> messages = log.messages();
    if (!c.logged) {
      EXPECT_TRUE(messages.empty()) << messages.front();
      continue;
    }
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(g_str_has_prefix(messages[0].c_str(), "Video poster: "))
        << messages[0];
    EXPECT_GT(messages[0].size(), strlen("Video poster: "));
  }
}

// A file already at the output path is replaced by the poster.
TEST(WritePosterTest, ReplacesAnExistingFile) {
  test_media::ScratchDir scratch;
  const std::string output = scratch.File("poster.jpg");
  ASSERT_TRUE(g_file_set_contents(output.c_str(), "old", -1, nullptr));
  ASSERT_TRUE(WritePoster(test_media::Shared("clip_320x240.mp4"), output, 640));
  g_autoptr(GdkPixbuf) poster = LoadJpeg(output);
  ASSERT_NE(poster, nullptr);
  EXPECT_EQ(gdk_pixbuf_get_width(poster), 320);
}

// A poster whose output names the video itself, by its own path, another
// spelling of it or a link to it, is refused: saving it would replace the
// video with its own picture. Another output still gets its poster.
TEST(WritePosterTest, NeverWritesOverItsVideo) {
  const std::string bytes = test_media::ReadFile(test_media::VideoClip());
  ASSERT_FALSE(bytes.empty());
  test_media::ScratchDir dir;
  const std::string video = dir.File("video.mp4");
  ASSERT_TRUE(
      g_file_set_contents(video.c_str(), bytes.data(), bytes.size(), nullptr));
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
    EXPECT_EQ(test_media::ReadFile(video), bytes)
        << "the video was overwritten";
  }
  EXPECT_TRUE(test_media::Exists(dir.File("poster.jpg")));
}

// Quotes and pipeline syntax in the input's name stay part of the name: the
// pipeline reads that file and nothing else happens.
TEST(WritePosterTest, OddInputNames) {
  test_media::ScratchDir scratch;
  const std::string clip = test_media::Shared("clip_320x240.mp4");
  ASSERT_FALSE(clip.empty());
  // A sink smuggled in through the name would write here, relative to the
  // working directory.
  g_autofree gchar* cwd = g_get_current_dir();
  ASSERT_EQ(g_chdir(scratch.path().c_str()), 0);
  const char* names[] = {
      "a \"quoted\" name.mp4",
      "back\\slash.mp4",
      "x\" ! filesink location=\"trap.jpg\" name=\"y.mp4",
      "100% #1?.mp4",
  };
  int index = 0;
  for (const char* name : names) {
    SCOPED_TRACE(name);
    const std::string output =
        scratch.File("poster" + std::to_string(index++) + ".jpg");
    EXPECT_TRUE(
        WritePoster(test_media::LinkTo(scratch, name, clip), output, 640));
    g_autoptr(GdkPixbuf) poster = LoadJpeg(output);
    EXPECT_NE(poster, nullptr);
  }
  EXPECT_FALSE(test_media::Exists(scratch.File("trap.jpg")));
  ASSERT_EQ(g_chdir(cwd), 0);
}

}  // namespace
