// Copyright 2026 The Zelkoz Authors. All rights reserved.
// The engine's texture registrar, its raster thread and the control channel
// "standin/engine", driven by a peer over a real Unix socket.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fl_test_support.h"

namespace {

constexpr char kControl[] = "standin/engine";

enum class CopyMode { kPattern, kFail, kNoBuffer };

}  // namespace

// A pixel-buffer texture that hands out a known pattern and records where
// and how often the engine read it. A read can be held inside copy_pixels
// until the test lets it go.
G_DECLARE_FINAL_TYPE(TestPatternTexture,
                     test_pattern_texture,
                     TEST,
                     PATTERN_TEXTURE,
                     FlPixelBufferTexture)

struct _TestPatternTexture {
  FlPixelBufferTexture parent_instance;
  uint32_t width;
  uint32_t height;
  std::vector<uint8_t>* pixels;
  CopyMode mode;
  GMutex lock;  // Guards the fields below.
  GCond cond;
  gboolean hold;     // Reads wait inside copy_pixels until released.
  gboolean entered;  // A read is inside copy_pixels.
  GThread* copy_thread;
  int copies;
};

G_DEFINE_TYPE(TestPatternTexture,
              test_pattern_texture,
              fl_pixel_buffer_texture_get_type())

namespace {

uint8_t PatternByte(uint32_t x, uint32_t y, int channel) {
  switch (channel) {
    case 0:
      return static_cast<uint8_t>(x * 16 + 1);
    case 1:
      return static_cast<uint8_t>(y * 16 + 2);
    case 2:
      return static_cast<uint8_t>((x ^ y) + 3);
    default:
      return 255;
  }
}

std::vector<uint8_t> Pattern(uint32_t width, uint32_t height) {
  std::vector<uint8_t> pixels;
  for (uint32_t y = 0; y < height; y++) {
    for (uint32_t x = 0; x < width; x++) {
      for (int c = 0; c < 4; c++) {
        pixels.push_back(PatternByte(x, y, c));
      }
    }
  }
  return pixels;
}

}  // namespace

static gboolean test_pattern_texture_copy_pixels(FlPixelBufferTexture* texture,
                                                 const uint8_t** buffer,
                                                 uint32_t* width,
                                                 uint32_t* height,
                                                 GError** error) {
  TestPatternTexture* self = TEST_PATTERN_TEXTURE(texture);
  {
    g_autoptr(GMutexLocker) locker = g_mutex_locker_new(&self->lock);
    self->copies++;
    self->copy_thread = g_thread_self();
    self->entered = TRUE;
    g_cond_broadcast(&self->cond);
    while (self->hold) {
      g_cond_wait(&self->cond, &self->lock);
    }
    self->entered = FALSE;
  }
  switch (self->mode) {
    case CopyMode::kFail:
      g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_FAILED, "no frame");
      return FALSE;
    case CopyMode::kNoBuffer:
      *buffer = nullptr;
      *width = 2;
      *height = 2;
      return TRUE;
    case CopyMode::kPattern:
      break;
  }
  *buffer = self->pixels->data();
  *width = self->width;
  *height = self->height;
  return TRUE;
}

static void test_pattern_texture_dispose(GObject* object) {
  TestPatternTexture* self = TEST_PATTERN_TEXTURE(object);
  delete self->pixels;
  self->pixels = nullptr;
  G_OBJECT_CLASS(test_pattern_texture_parent_class)->dispose(object);
}

static void test_pattern_texture_finalize(GObject* object) {
  TestPatternTexture* self = TEST_PATTERN_TEXTURE(object);
  g_mutex_clear(&self->lock);
  g_cond_clear(&self->cond);
  G_OBJECT_CLASS(test_pattern_texture_parent_class)->finalize(object);
}

static void test_pattern_texture_class_init(TestPatternTextureClass* klass) {
  FL_PIXEL_BUFFER_TEXTURE_CLASS(klass)->copy_pixels =
      test_pattern_texture_copy_pixels;
  G_OBJECT_CLASS(klass)->dispose = test_pattern_texture_dispose;
  G_OBJECT_CLASS(klass)->finalize = test_pattern_texture_finalize;
}

static void test_pattern_texture_init(TestPatternTexture* self) {
  self->pixels = new std::vector<uint8_t>();
  g_mutex_init(&self->lock);
  g_cond_init(&self->cond);
}

static TestPatternTexture* test_pattern_texture_new(uint32_t width,
                                                    uint32_t height,
                                                    CopyMode mode) {
  auto* self = TEST_PATTERN_TEXTURE(
      g_object_new(test_pattern_texture_get_type(), nullptr));
  self->width = width;
  self->height = height;
  *self->pixels = Pattern(width, height);
  self->mode = mode;
  return self;
}

namespace {

using fltest::Hex;
using fltest::TestPeer;

int Copies(TestPatternTexture* texture) {
  g_autoptr(GMutexLocker) locker = g_mutex_locker_new(&texture->lock);
  return texture->copies;
}

GThread* CopyThread(TestPatternTexture* texture) {
  g_autoptr(GMutexLocker) locker = g_mutex_locker_new(&texture->lock);
  return texture->copy_thread;
}

void SetHold(TestPatternTexture* texture, gboolean hold) {
  g_autoptr(GMutexLocker) locker = g_mutex_locker_new(&texture->lock);
  texture->hold = hold;
  g_cond_broadcast(&texture->cond);
}

bool Entered(TestPatternTexture* texture) {
  g_autoptr(GMutexLocker) locker = g_mutex_locker_new(&texture->lock);
  return texture->entered;
}

FlValue* IdArgs(int64_t id) {
  FlValue* args = fl_value_new_map();
  fl_value_set_string_take(args, "id", fl_value_new_int(id));
  return args;
}

class TextureRegistrarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    peer_ = std::make_unique<TestPeer>();
    project_ = fl_dart_project_new();
    engine_ = fl_engine_new(project_);
    fl_engine_start(engine_);
    ASSERT_TRUE(peer_->Accept());
    fltest::Frame hello;
    ASSERT_TRUE(peer_->NextFrame(&hello));
    main_thread_ = g_thread_self();
  }

  void TearDown() override {
    g_clear_object(&engine_);
    g_clear_object(&project_);
    peer_.reset();
  }

  FlTextureRegistrar* registrar() {
    return fl_engine_get_texture_registrar(engine_);
  }

  // A registered pattern texture (transfer full).
  TestPatternTexture* Register(uint32_t width,
                               uint32_t height,
                               CopyMode mode = CopyMode::kPattern) {
    TestPatternTexture* texture = test_pattern_texture_new(width, height, mode);
    EXPECT_TRUE(fl_texture_registrar_register_texture(registrar(),
                                                      FL_TEXTURE(texture)));
    return texture;
  }

  FlMethodResponse* Control(const char* method, FlValue* args) {
    return peer_->Invoke(kControl, method, args);
  }

  // "textureStats" of id as {registered, framesMarked, pixelCopies,
  // newFrames}.
  std::vector<int64_t> Stats(int64_t id) {
    g_autoptr(FlValue) args = IdArgs(id);
    g_autoptr(FlMethodResponse) response = Control("textureStats", args);
    FlValue* stats = fltest::SuccessResult(response);
    if (stats == nullptr) {
      return {};
    }
    FlValue* registered = fl_value_lookup_string(stats, "registered");
    FlValue* marked = fl_value_lookup_string(stats, "framesMarked");
    FlValue* copies = fl_value_lookup_string(stats, "pixelCopies");
    FlValue* frames = fl_value_lookup_string(stats, "newFrames");
    if (registered == nullptr || marked == nullptr || copies == nullptr ||
        frames == nullptr ||
        fl_value_get_type(registered) != FL_VALUE_TYPE_BOOL ||
        fl_value_get_type(marked) != FL_VALUE_TYPE_INT ||
        fl_value_get_type(copies) != FL_VALUE_TYPE_INT ||
        fl_value_get_type(frames) != FL_VALUE_TYPE_INT) {
      ADD_FAILURE() << "bad stats " << fl_value_to_string(stats);
      return {};
    }
    return {fl_value_get_bool(registered) ? 1 : 0, fl_value_get_int(marked),
            fl_value_get_int(copies), fl_value_get_int(frames)};
  }

  std::unique_ptr<TestPeer> peer_;
  FlDartProject* project_ = nullptr;
  FlEngine* engine_ = nullptr;
  GThread* main_thread_ = nullptr;
};

// Texture ids are unique, above 2^32, and reach the Dart side whole.
TEST_F(TextureRegistrarTest, IdsAreUniqueAndAbove2To32) {
  std::vector<TestPatternTexture*> textures;
  std::vector<int64_t> ids;
  for (int i = 0; i < 5; i++) {
    textures.push_back(Register(1, 1));
    ids.push_back(fl_texture_get_id(FL_TEXTURE(textures.back())));
  }
  for (size_t i = 0; i < ids.size(); i++) {
    SCOPED_TRACE(ids[i]);
    EXPECT_GT(ids[i], INT64_C(1) << 32);
    for (size_t j = 0; j < i; j++) {
      EXPECT_NE(ids[i], ids[j]);
    }
    // The low 32 bits alone name no texture.
    EXPECT_EQ(Stats(ids[i] & 0xffffffff), (std::vector<int64_t>{0, 0, 0, 0}));
    EXPECT_EQ(Stats(ids[i]), (std::vector<int64_t>{1, 0, 0, 0}));
  }
  EXPECT_TRUE(fl_texture_registrar_unregister_texture(registrar(),
                                                      FL_TEXTURE(textures[1])));
  g_autoptr(TestPatternTexture) again = Register(1, 1);
  int64_t again_id = fl_texture_get_id(FL_TEXTURE(again));
  for (size_t i = 0; i < ids.size(); i++) {
    if (i != 1) {
      EXPECT_NE(again_id, ids[i]);
    }
  }
  for (TestPatternTexture* texture : textures) {
    g_object_unref(texture);
  }
}

// "readTexture" hands back the texture's pixels, read through copy_pixels
// on a thread that is not the main thread.
TEST_F(TextureRegistrarTest, ReadTextureReturnsPixelsFromRasterThread) {
  const struct {
    uint32_t width;
    uint32_t height;
  } sizes[] = {{1, 1}, {3, 2}, {2, 3}, {40, 30}};
  for (const auto& size : sizes) {
    SCOPED_TRACE(std::to_string(size.width) + "x" +
                 std::to_string(size.height));
    g_autoptr(TestPatternTexture) texture = Register(size.width, size.height);
    int64_t id = fl_texture_get_id(FL_TEXTURE(texture));
    g_autoptr(FlValue) args = IdArgs(id);
    g_autoptr(FlMethodResponse) response = Control("readTexture", args);
    FlValue* result = fltest::SuccessResult(response);
    ASSERT_NE(result, nullptr);
    FlValue* width = fl_value_lookup_string(result, "width");
    FlValue* height = fl_value_lookup_string(result, "height");
    FlValue* pixels = fl_value_lookup_string(result, "pixels");
    ASSERT_NE(width, nullptr);
    ASSERT_NE(height, nullptr);
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(fl_value_get_int(width), size.width);
    EXPECT_EQ(fl_value_get_int(height), size.height);
    ASSERT_EQ(fl_value_get_type(pixels), FL_VALUE_TYPE_UINT8_LIST);
    std::vector<uint8_t> got(
        fl_value_get_uint8_list(pixels),
        fl_value_get_uint8_list(pixels) + fl_value_get_length(pixels));
    EXPECT_EQ(got, Pattern(size.width, size.height));
    EXPECT_EQ(Copies(texture), 1);
    EXPECT_NE(CopyThread(texture), nullptr);
    EXPECT_NE(CopyThread(texture), main_thread_);
  }
}

// Reads that find nothing to read are answered with an error, never with a
// silence or a crash.
TEST_F(TextureRegistrarTest, ReadTextureErrors) {
  g_autoptr(TestPatternTexture) good = Register(2, 2);
  g_autoptr(TestPatternTexture) failing = Register(2, 2, CopyMode::kFail);
  g_autoptr(TestPatternTexture) empty = Register(2, 2, CopyMode::kNoBuffer);
  int64_t good_id = fl_texture_get_id(FL_TEXTURE(good));
  g_autoptr(FlValue) unknown = IdArgs(good_id + 1000);
  g_autoptr(FlValue) truncated = IdArgs(good_id & 0xffffffff);
  g_autoptr(FlValue) no_id = fl_value_new_map();
  g_autoptr(FlValue) string_id = fl_value_new_map();
  fl_value_set_string_take(
      string_id, "id", fl_value_new_string(std::to_string(good_id).c_str()));
  g_autoptr(FlValue) not_a_map = fl_value_new_int(good_id);
  g_autoptr(FlValue) fails = IdArgs(fl_texture_get_id(FL_TEXTURE(failing)));
  g_autoptr(FlValue) no_buffer = IdArgs(fl_texture_get_id(FL_TEXTURE(empty)));
  const struct {
    const char* label;
    FlValue* args;
    const char* code;
  } cases[] = {
      {"unknown id", unknown, "no_texture"},
      {"id cut to 32 bits", truncated, "no_texture"},
      {"no id", no_id, "no_texture"},
      {"id as a string", string_id, "no_texture"},
      {"arguments not a map", not_a_map, "no_texture"},
      {"no arguments", nullptr, "no_texture"},
      {"copy_pixels fails", fails, "copy_failed"},
      {"copy_pixels gives no buffer", no_buffer, "copy_failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    g_autoptr(FlMethodResponse) response = Control("readTexture", c.args);
    ASSERT_TRUE(FL_IS_METHOD_ERROR_RESPONSE(response));
    FlMethodErrorResponse* error = FL_METHOD_ERROR_RESPONSE(response);
    EXPECT_STREQ(fl_method_error_response_get_code(error), c.code);
    EXPECT_EQ(fl_method_error_response_get_details(error), nullptr);
  }
  EXPECT_EQ(Copies(good), 0);
  EXPECT_EQ(Copies(failing), 1);
  EXPECT_EQ(Copies(empty), 1);
}

// The other control methods: without a view they do nothing but answer, and
// an unknown method gets the empty reply.
TEST_F(TextureRegistrarTest, ControlMethodsWithoutView) {
  g_autoptr(FlValue) show = IdArgs(INT64_C(1) << 33);
  const struct {
    const char* method;
    FlValue* args;
    const char* kind;  // "success", "error" or "none".
    const char* code;
  } cases[] = {
      {"drawFrame", nullptr, "success", nullptr},
      {"showTexture", show, "success", nullptr},
      {"closeWindow", nullptr, "success", nullptr},
      {"viewState", nullptr, "error", "no_view"},
      {"noSuchMethod", nullptr, "none", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    g_autoptr(GBytes) call = fltest::EncodeCall(c.method, c.args);
    std::vector<uint8_t> reply = {0xee};
    ASSERT_TRUE(peer_->Request(kControl, call, &reply));
    if (g_str_equal(c.kind, "none")) {
      EXPECT_EQ(Hex(reply), "");
    } else if (g_str_equal(c.kind, "success")) {
      EXPECT_EQ(Hex(reply), "00 00");
    } else {
      g_autoptr(FlMethodResponse) response = fltest::DecodeResponse(reply);
      ASSERT_TRUE(FL_IS_METHOD_ERROR_RESPONSE(response));
      EXPECT_STREQ(
          fl_method_error_response_get_code(FL_METHOD_ERROR_RESPONSE(response)),
          c.code);
    }
  }
}

gpointer MarkOnThread(gpointer data) {
  auto* pair = static_cast<std::pair<FlTextureRegistrar*, FlTexture*>*>(data);
  gboolean marked = fl_texture_registrar_mark_texture_frame_available(
      pair->first, pair->second);
  return GINT_TO_POINTER(marked);
}

// "textureStats" counts frame-available marks (from any thread), pixel
// copies and the copies that handed out a buffer other than the last one
// (this texture's is always the same), and keeps them after the texture is
// unregistered.
TEST_F(TextureRegistrarTest, TextureStatsCountMarksAndCopies) {
  g_autoptr(TestPatternTexture) texture = Register(2, 2);
  g_autoptr(TestPatternTexture) other = Register(2, 2);
  int64_t id = fl_texture_get_id(FL_TEXTURE(texture));
  EXPECT_EQ(Stats(id), (std::vector<int64_t>{1, 0, 0, 0}));
  for (int i = 0; i < 3; i++) {
    EXPECT_TRUE(fl_texture_registrar_mark_texture_frame_available(
        registrar(), FL_TEXTURE(texture)));
  }
  std::pair<FlTextureRegistrar*, FlTexture*> job = {registrar(),
                                                    FL_TEXTURE(texture)};
  EXPECT_TRUE(GPOINTER_TO_INT(
      g_thread_join(g_thread_new("marker", MarkOnThread, &job))));
  g_autoptr(FlValue) args = IdArgs(id);
  for (int i = 0; i < 2; i++) {
    g_autoptr(FlMethodResponse) read = Control("readTexture", args);
    EXPECT_TRUE(FL_IS_METHOD_SUCCESS_RESPONSE(read));
  }
  EXPECT_EQ(Stats(id), (std::vector<int64_t>{1, 4, 2, 1}));
  EXPECT_EQ(Stats(fl_texture_get_id(FL_TEXTURE(other))),
            (std::vector<int64_t>{1, 0, 0, 0}));

  EXPECT_TRUE(fl_texture_registrar_unregister_texture(registrar(),
                                                      FL_TEXTURE(texture)));
  EXPECT_FALSE(fl_texture_registrar_unregister_texture(registrar(),
                                                       FL_TEXTURE(texture)));
  EXPECT_FALSE(fl_texture_registrar_mark_texture_frame_available(
      registrar(), FL_TEXTURE(texture)));
  EXPECT_EQ(Stats(id), (std::vector<int64_t>{0, 4, 2, 1}));
  g_autoptr(FlMethodResponse) gone = Control("readTexture", args);
  EXPECT_TRUE(FL_IS_METHOD_ERROR_RESPONSE(gone));
  EXPECT_EQ(Copies(texture), 2);
  EXPECT_EQ(Stats(id + 1000), (std::vector<int64_t>{0, 0, 0, 0}));
}

// A texture unregistered while copy_pixels is inside a read stays alive
// until the read ends, the read is answered with its pixels, and the texture
// is finalized afterwards.
TEST_F(TextureRegistrarTest, UnregisterDuringReadIsSafe) {
  TestPatternTexture* texture = Register(4, 3);
  int64_t id = fl_texture_get_id(FL_TEXTURE(texture));
  GWeakRef weak;
  g_weak_ref_init(&weak, texture);
  SetHold(texture, TRUE);
  g_autoptr(FlValue) args = IdArgs(id);
  g_autoptr(GBytes) call = fltest::EncodeCall("readTexture", args);
  uint32_t reply_id = peer_->NewReplyId();
  ASSERT_TRUE(peer_->SendRaw(fltest::MessageFrame(reply_id, kControl, call)));
  ASSERT_TRUE(fltest::RunUntil([texture] { return Entered(texture); }));

  EXPECT_TRUE(fl_texture_registrar_unregister_texture(registrar(),
                                                      FL_TEXTURE(texture)));
  g_object_unref(texture);
  {
    g_autoptr(GObject) alive = G_OBJECT(g_weak_ref_get(&weak));
    ASSERT_NE(alive, nullptr) << "finalized while copy_pixels ran";
  }
  SetHold(texture, FALSE);

  std::vector<uint8_t> reply;
  ASSERT_TRUE(peer_->WaitReply(reply_id, &reply));
  g_autoptr(FlMethodResponse) response = fltest::DecodeResponse(reply);
  FlValue* result = fltest::SuccessResult(response);
  ASSERT_NE(result, nullptr);
  FlValue* pixels = fl_value_lookup_string(result, "pixels");
  ASSERT_NE(pixels, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(
                fl_value_get_uint8_list(pixels),
                fl_value_get_uint8_list(pixels) + fl_value_get_length(pixels)),
            Pattern(4, 3));
  EXPECT_TRUE(fltest::RunUntil([&weak] {
    g_autoptr(GObject) object = G_OBJECT(g_weak_ref_get(&weak));
    return object == nullptr;
  })) << "the texture outlived its read";
  g_weak_ref_clear(&weak);
  EXPECT_EQ(Stats(id), (std::vector<int64_t>{0, 0, 1, 1}));
}

struct ReadOutcome {
  bool done = false;
  gboolean found = TRUE;
};

void ReadDoneCb(gboolean found,
                GBytes* pixels,
                uint32_t width,
                uint32_t height,
                gpointer user_data) {
  auto* outcome = static_cast<ReadOutcome*>(user_data);
  outcome->found = found;
  outcome->done = true;
}

// After shutdown a read finds nothing, still answered from the main loop.
TEST_F(TextureRegistrarTest, ReadAfterShutdownFindsNothing) {
  g_autoptr(TestPatternTexture) texture = Register(2, 2);
  fl_engine_shutdown(engine_);
  ReadOutcome outcome;
  fl_engine_read_texture(engine_, fl_texture_get_id(FL_TEXTURE(texture)),
                         ReadDoneCb, &outcome);
  EXPECT_FALSE(outcome.done) << "answered before the main loop ran";
  ASSERT_TRUE(fltest::RunUntil([&outcome] { return outcome.done; }));
  EXPECT_FALSE(outcome.found);
  EXPECT_EQ(Copies(texture), 0);
}

// A registrar that a plugin keeps past the engine can still be called.
TEST_F(TextureRegistrarTest, RegistrarOutlivesEngine) {
  g_autoptr(FlTextureRegistrar) kept =
      FL_TEXTURE_REGISTRAR(g_object_ref(registrar()));
  TestPatternTexture* texture = Register(2, 2);
  GWeakRef weak;
  g_weak_ref_init(&weak, texture);
  g_clear_object(&engine_);
  fl_texture_registrar_mark_texture_frame_available(kept, FL_TEXTURE(texture));
  fltest::Drain();
  fl_texture_registrar_unregister_texture(kept, FL_TEXTURE(texture));
  g_object_unref(texture);
  g_clear_object(&kept);
  g_autoptr(GObject) gone = G_OBJECT(g_weak_ref_get(&weak));
  EXPECT_EQ(gone, nullptr);
  g_weak_ref_clear(&weak);
}

}  // namespace
