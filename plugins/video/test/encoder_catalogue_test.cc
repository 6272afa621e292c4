// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_media.h"
#include "transcoder.h"
#include "video_plugin_fixture.h"

namespace {

using Names = std::vector<std::string>;

// The lists hold what the registry knows, in catalogue order, once each,
// and nothing from outside the catalogue.
TEST(EncoderCatalogueTest, ListsFollowCatalogueOrder) {
  const Names catalogue = test_media::EncoderCatalogue();
  const struct {
    const char* what;
    Names installed;
    Names h264;
    Names aac;
  } cases[] = {
      {"bare system", {}, {}, {}},
      {"everything, registered backwards",
       Names(catalogue.rbegin(), catalogue.rend()), H264EncoderCatalogue(),
       AacEncoderCatalogue()},
      {"hardware only",
       {"vah264enc", "nvh264enc"},
       {"nvh264enc", "vah264enc"},
       {}},
      {"x264 among others",
       {"vaapih264enc", "x264enc", "voaacenc"},
       {"x264enc", "vaapih264enc"},
       {"voaacenc"}},
      {"strangers", {"zkotherh264enc", "zkotheraacenc"}, {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // Every encoder of the catalogue hidden, as on a bare system, and
    // stand-ins under the installed names.
    test_media::HiddenFactories registry(test_media::EncoderCatalogue());
    for (const std::string& name : c.installed) {
      registry.Register(name);
    }
    EXPECT_EQ(AvailableH264Encoders(), c.h264);
    EXPECT_EQ(AvailableAacEncoders(), c.aac);
  }
}

// "encoders" answers the first usable encoder of each kind, or null.
TEST_F(VideoPluginTest, EncodersAnswersFirstOfEachKind) {
  const struct {
    const char* what;
    Names installed;
    const char* video;  // nullptr: null expected.
    const char* audio;
  } cases[] = {
      {"bare system", {}, nullptr, nullptr},
      {"hardware only",
       {"vah264enc", "nvh264enc", "faac", "voaacenc"},
       "nvh264enc",
       "voaacenc"},
      {"software",
       {"vaapih264enc", "openh264enc", "x264enc", "fdkaacenc", "avenc_aac"},
       "x264enc",
       "avenc_aac"},
      {"video only", {"vah264lpenc"}, "vah264lpenc", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test_media::HiddenFactories registry(test_media::EncoderCatalogue());
    for (const std::string& name : c.installed) {
      registry.Register(name);
    }
    g_autoptr(FlMethodResponse) response = Call("encoders");
    FlValue* result = SuccessResult(response);
    ASSERT_NE(result, nullptr);
    ASSERT_EQ(fl_value_get_type(result), FL_VALUE_TYPE_MAP);
    const struct {
      const char* key;
      const char* expected;
    } entries[] = {{"video", c.video}, {"audio", c.audio}};
    for (const auto& entry : entries) {
      SCOPED_TRACE(entry.key);
      FlValue* value = fl_value_lookup_string(result, entry.key);
      ASSERT_NE(value, nullptr) << "key missing";
      if (entry.expected == nullptr) {
        EXPECT_EQ(fl_value_get_type(value), FL_VALUE_TYPE_NULL);
      } else {
        ASSERT_EQ(fl_value_get_type(value), FL_VALUE_TYPE_STRING);
        EXPECT_STREQ(fl_value_get_string(value), entry.expected);
      }
    }
    EXPECT_EQ(fl_value_get_length(result), 2u);
  }
}

}  // namespace
