// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transcoder.h"
#include "video_plugin_fixture.h"

namespace {

const char* const kCatalogue[] = {
    "x264enc",      "openh264enc", "nvh264enc", "vah264enc", "vah264lpenc",
    "vaapih264enc", "avenc_aac",   "fdkaacenc", "voaacenc",  "faac"};

void FakeClassInit(gpointer klass, gpointer) {
  gst_element_class_set_static_metadata(GST_ELEMENT_CLASS(klass),
                                        "Test encoder", "Codec/Encoder",
                                        "Stands in for an encoder", "tests");
}

// An element type of its own for every fake factory, so that no real type
// gets a factory it does not have.
GType FakeElementType(const char* name) {
  g_autofree gchar* type_name = g_strdup_printf("ZkTestFake_%s", name);
  GType type = g_type_from_name(type_name);
  if (type != 0) {
    return type;
  }
  return g_type_register_static_simple(
      GST_TYPE_ELEMENT, type_name, sizeof(GstElementClass), FakeClassInit,
      sizeof(GstElement), nullptr, static_cast<GTypeFlags>(0));
}

// Takes every encoder of the catalogue out of this process's registry, as on
// a bare system, lets a test register stand-ins under catalogue names, and
// puts the real ones back at the end.
class EncoderRegistry {
 public:
  EncoderRegistry() {
    GstRegistry* registry = gst_registry_get();
    for (const char* name : kCatalogue) {
      GstPluginFeature* feature = gst_registry_lookup_feature(registry, name);
      if (feature != nullptr) {
        gst_registry_remove_feature(registry, feature);
        removed_.push_back(feature);
      }
    }
  }

  ~EncoderRegistry() {
    GstRegistry* registry = gst_registry_get();
    for (const std::string& name : fakes_) {
      GstPluginFeature* feature =
          gst_registry_lookup_feature(registry, name.c_str());
      if (feature != nullptr) {
        gst_registry_remove_feature(registry, feature);
        gst_object_unref(feature);
      }
    }
    for (GstPluginFeature* feature : removed_) {
      gst_registry_add_feature(registry, feature);
      gst_object_unref(feature);
    }
  }

  EncoderRegistry(const EncoderRegistry&) = delete;
  EncoderRegistry& operator=(const EncoderRegistry&) = delete;

  void Add(const std::vector<const char*>& names) {
    for (const char* name : names) {
      ASSERT_TRUE(gst_element_register(nullptr, name, GST_RANK_NONE,
                                       FakeElementType(name)));
      fakes_.emplace_back(name);
    }
  }

 private:
  std::vector<GstPluginFeature*> removed_;  // One reference each.
  std::vector<std::string> fakes_;
};

using Names = std::vector<std::string>;

// The lists hold what the registry knows, in catalogue order, once each,
// and nothing from outside the catalogue.
TEST(EncoderCatalogueTest, ListsFollowCatalogueOrder) {
  const struct {
    const char* what;
    std::vector<const char*> installed;
    Names h264;
    Names aac;
  } cases[] = {
      {"bare system", {}, {}, {}},
      {"everything, registered backwards",
       {"faac", "voaacenc", "fdkaacenc", "avenc_aac", "vaapih264enc",
        "vah264lpenc", "vah264enc", "nvh264enc", "openh264enc", "x264enc"},
       {"x264enc", "openh264enc", "nvh264enc", "vah264enc", "vah264lpenc",
        "vaapih264enc"},
       {"avenc_aac", "fdkaacenc", "voaacenc", "faac"}},
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
    EncoderRegistry registry;
    registry.Add(c.installed);
    EXPECT_EQ(AvailableH264Encoders(), c.h264);
    EXPECT_EQ(AvailableAacEncoders(), c.aac);
  }
}

// "encoders" answers the first usable encoder of each kind, or null.
TEST_F(VideoPluginTest, EncodersAnswersFirstOfEachKind) {
  const struct {
    const char* what;
    std::vector<const char*> installed;
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
    EncoderRegistry registry;
    registry.Add(c.installed);
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
