// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "fuzz_support.h"

#include <glib/gstdio.h>
#include <gst/gst.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <mutex>

namespace zk_fuzz {

// ---------------------------------------------------------------------------
// Input

uint8_t Input::Byte() {
  return offset_ < size_ ? data_[offset_++] : 0;
}

uint16_t Input::U16() {
  const uint16_t low = Byte();
  return static_cast<uint16_t>(low | (Byte() << 8));
}

uint32_t Input::U32() {
  const uint32_t low = U16();
  return low | (static_cast<uint32_t>(U16()) << 16);
}

uint64_t Input::U64() {
  const uint64_t low = U32();
  return low | (static_cast<uint64_t>(U32()) << 32);
}

uint32_t Input::Below(uint32_t n) {
  if (n <= 1) {
    return 0;
  }
  return n <= 256 ? Byte() % n : U16() % n;
}

double Input::Double() {
  const uint64_t bits = U64();
  double value = 0;
  memcpy(&value, &bits, sizeof(value));
  return value;
}

std::string Input::Bytes(size_t max) {
  size_t length = Byte();
  if (length > max) {
    length = max;
  }
  length = std::min(length, size_ - std::min(offset_, size_));
  std::string bytes(reinterpret_cast<const char*>(data_) + offset_, length);
  offset_ += length;
  return bytes;
}

std::string Input::Utf8(size_t max) {
  const std::string bytes = Bytes(max);
  g_autofree gchar* valid = g_utf8_make_valid(bytes.data(), bytes.size());
  // A string value ends at its first NUL.
  return std::string(valid);
}

std::string Input::Rest() {
  if (offset_ >= size_) {
    return "";
  }
  std::string rest(reinterpret_cast<const char*>(data_) + offset_,
                   size_ - offset_);
  offset_ = size_;
  return rest;
}

// ---------------------------------------------------------------------------
// Values

namespace {

constexpr int kMaxDepth = 4;
constexpr size_t kMaxListLength = 6;
constexpr size_t kMaxTypedListLength = 24;

const int64_t kSpecialInts[] = {0,
                                1,
                                -1,
                                2,
                                640,
                                100000,
                                G_MAXINT32,
                                G_MININT32,
                                static_cast<int64_t>(G_MAXINT32) + 1,
                                static_cast<int64_t>(G_MININT32) - 1,
                                G_MAXINT64,
                                G_MININT64,
                                (INT64_C(1) << 32) + 7};

double SpecialDouble(uint32_t which) {
  const double values[] = {0.0,
                           -0.0,
                           1.0,
                           0.5,
                           -1.0,
                           std::numeric_limits<double>::quiet_NaN(),
                           std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity(),
                           std::numeric_limits<double>::max(),
                           std::numeric_limits<double>::denorm_min(),
                           1e-300,
                           100.0};
  return values[which % G_N_ELEMENTS(values)];
}

std::string GenerateString(Input* in, const ValueContext& context) {
  if (!context.strings.empty() && in->Below(4) != 0) {
    return context.strings[in->Below(context.strings.size())];
  }
  return in->Utf8(64);
}

int64_t GenerateInt(Input* in, const ValueContext& context) {
  switch (in->Below(5)) {
    case 0:
      return static_cast<int8_t>(in->Byte());
    case 1:
      return static_cast<int64_t>(in->U64());
    case 2:
      if (!context.ints.empty()) {
        return context.ints[in->Below(context.ints.size())];
      }
      [[fallthrough]];
    case 3:
      return kSpecialInts[in->Below(G_N_ELEMENTS(kSpecialInts))];
    default:
      return static_cast<int32_t>(in->U32());
  }
}

template <typename T>
std::vector<T> GenerateNumbers(Input* in) {
  std::vector<T> numbers(in->Below(kMaxTypedListLength + 1));
  for (T& number : numbers) {
    uint64_t bits = in->U64();
    memcpy(&number, &bits, sizeof(T));
  }
  return numbers;
}

FlValue* GenerateKey(Input* in, const ValueContext& context) {
  switch (in->Below(8)) {
    case 0:
      return fl_value_new_string(in->Utf8(16).c_str());
    case 1: {
      // Keys need not be strings on the wire.
      ValueContext no_keys = context;
      no_keys.keys.clear();
      return GenerateValue(in, no_keys, kMaxDepth - 1);
    }
    default:
      if (context.keys.empty()) {
        return fl_value_new_string(in->Utf8(16).c_str());
      }
      return fl_value_new_string(
          context.keys[in->Below(context.keys.size())].c_str());
  }
}

}  // namespace

FlValue* GenerateValue(Input* in, const ValueContext& context, int depth) {
  const uint32_t kinds = depth >= kMaxDepth ? 13 : 15;
  switch (in->Below(kinds)) {
    case 0:
      return fl_value_new_null();
    case 1:
      return fl_value_new_bool(in->Bool());
    case 2:
    case 3:
      return fl_value_new_int(GenerateInt(in, context));
    case 4:
      return fl_value_new_float(in->Bool() ? in->Double()
                                           : SpecialDouble(in->Byte()));
    case 5:
    case 6:
      return fl_value_new_string(GenerateString(in, context).c_str());
    case 7: {
      const std::string bytes = in->Bytes(kMaxTypedListLength);
      return fl_value_new_uint8_list(
          reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    case 8: {
      const auto numbers = GenerateNumbers<int32_t>(in);
      return fl_value_new_int32_list(numbers.data(), numbers.size());
    }
    case 9: {
      const auto numbers = GenerateNumbers<int64_t>(in);
      return fl_value_new_int64_list(numbers.data(), numbers.size());
    }
    case 10: {
      const auto numbers = GenerateNumbers<double>(in);
      return fl_value_new_float_list(numbers.data(), numbers.size());
    }
    case 11: {
      const auto numbers = GenerateNumbers<float>(in);
      return fl_value_new_float32_list(numbers.data(), numbers.size());
    }
    case 12:
      // A float that happens to hold an integer's value: never an integer.
      return fl_value_new_float(static_cast<double>(GenerateInt(in, context)));
    case 13: {
      FlValue* list = fl_value_new_list();
      const uint32_t length = in->Below(kMaxListLength + 1);
      for (uint32_t i = 0; i < length; i++) {
        fl_value_append_take(list, GenerateValue(in, context, depth + 1));
      }
      return list;
    }
    default: {
      FlValue* map = fl_value_new_map();
      const uint32_t length = in->Below(kMaxListLength + 1);
      for (uint32_t i = 0; i < length; i++) {
        FlValue* key = GenerateKey(in, context);
        fl_value_set_take(map, key, GenerateValue(in, context, depth + 1));
      }
      return map;
    }
  }
}

FlValue* GenerateArgs(Input* in, const ValueContext& context) {
  switch (in->Below(8)) {
    case 0:
      return nullptr;
    case 1:
      return GenerateValue(in, context, 1);
    default: {
      // The shape every method reads: a map, mostly of the keys it knows.
      FlValue* map = fl_value_new_map();
      const uint32_t length = in->Below(kMaxListLength + 3);
      for (uint32_t i = 0; i < length; i++) {
        FlValue* key = GenerateKey(in, context);
        fl_value_set_take(map, key, GenerateValue(in, context, 1));
      }
      return map;
    }
  }
}

std::string GenerateName(Input* in, const std::vector<std::string>& names) {
  const uint32_t choice = in->Below(16);
  if (names.empty() || choice == 0) {
    return in->Utf8(24);
  }
  std::string name = names[in->Below(names.size())];
  switch (choice) {
    case 1: {
      // Letter case differs: never the same method.
      g_autofree gchar* upper = g_ascii_strup(name.c_str(), -1);
      return upper;
    }
    case 2:
      return name + in->Utf8(4);
    case 3:
      return name.substr(0, name.size() > 0 ? in->Below(name.size()) : 0);
    default:
      return name;
  }
}

// ---------------------------------------------------------------------------
// Environment and main loop

namespace {

bool g_verbose = false;
std::vector<std::string>* g_scratch_dirs = nullptr;

void LogHandler(const gchar* domain,
                GLogLevelFlags level,
                const gchar* message,
                gpointer data) {
  const bool serious =
      (level & (G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_ERROR)) != 0;
  if (serious || g_verbose) {
    fprintf(stderr, "%s%s%s\n", domain != nullptr ? domain : "",
            domain != nullptr ? ": " : "", message);
  }
}

void RemoveScratchDirs() {
  if (g_scratch_dirs == nullptr) {
    return;
  }
  for (const std::string& dir : *g_scratch_dirs) {
    // Links inside are removed, never followed.
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
}

gboolean TimeoutCb(gpointer data) {
  *static_cast<bool*>(data) = true;
  return G_SOURCE_REMOVE;
}

}  // namespace

void InitEnvironment(bool with_gstreamer) {
  g_verbose = g_strcmp0(g_getenv("ZK_FUZZ_VERBOSE"), "1") == 0;
  // A critical is a misuse of GLib, GStreamer or the engine: a finding.
  g_log_set_always_fatal(
      static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_ERROR));
  g_log_set_default_handler(LogHandler, nullptr);
  if (!with_gstreamer) {
    return;
  }
  g_setenv("GST_REGISTRY", ZK_FUZZ_GST_REGISTRY, TRUE);
  // No sound card here: audio goes to ALSA's null device.
  g_setenv("ALSA_CONFIG_PATH", ZK_FUZZ_ALSA_CONFIG, TRUE);
  gst_init(nullptr, nullptr);
}

void Fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  fprintf(stderr, "==zk-fuzz== FINDING: ");
  vfprintf(stderr, format, args);
  fprintf(stderr, "\n");
  va_end(args);
  fflush(stderr);
  abort();
}

bool RunLoopUntil(const std::function<bool()>& done, guint timeout_ms) {
  bool timed_out = false;
  guint timeout_id = g_timeout_add(timeout_ms, TimeoutCb, &timed_out);
  while (!done() && !timed_out) {
    g_main_context_iteration(nullptr, TRUE);
  }
  if (!timed_out) {
    g_source_remove(timeout_id);
  }
  return done();
}

void DrainLoop(guint max_iterations) {
  for (guint i = 0; i < max_iterations; i++) {
    if (!g_main_context_iteration(nullptr, FALSE)) {
      return;
    }
  }
}

std::string MakeScratchDir(const char* name) {
  g_autofree gchar* pattern = g_strdup_printf("zk-fuzz-%s-XXXXXX", name);
  g_autofree gchar* dir = g_dir_make_tmp(pattern, nullptr);
  if (dir == nullptr) {
    Fail("cannot make a scratch folder");
  }
  if (g_scratch_dirs == nullptr) {
    g_scratch_dirs = new std::vector<std::string>();
    atexit(RemoveScratchDirs);
  }
  g_scratch_dirs->emplace_back(dir);
  return dir;
}

void RemoveFilesIn(const std::string& path) {
  GDir* dir = g_dir_open(path.c_str(), 0, nullptr);
  if (dir == nullptr) {
    return;
  }
  std::vector<std::string> files;
  while (const gchar* name = g_dir_read_name(dir)) {
    g_autofree gchar* child = g_build_filename(path.c_str(), name, nullptr);
    if (!g_file_test(child, G_FILE_TEST_IS_DIR) ||
        g_file_test(child, G_FILE_TEST_IS_SYMLINK)) {
      files.emplace_back(child);
    }
  }
  g_dir_close(dir);
  for (const std::string& file : files) {
    g_remove(file.c_str());
  }
}

std::string ReadFile(const std::string& path) {
  g_autofree gchar* contents = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(path.c_str(), &contents, &length, nullptr)) {
    return "";
  }
  return std::string(contents, length);
}

}  // namespace zk_fuzz

// ---------------------------------------------------------------------------
// CheckedMessenger: a GObject messenger that forwards to the fake.

G_DECLARE_FINAL_TYPE(ZkCheckedMessenger,
                     zk_checked_messenger,
                     ZK,
                     CHECKED_MESSENGER,
                     GObject)

struct _ZkCheckedMessenger {
  GObject parent_instance;
  FlBinaryMessenger* fake;  // Owned.
  // The record a handler has just been given, for the sender to complete.
  zk_fuzz::CallRecord* current;
  std::vector<zk_fuzz::CallRecord*>* records;  // Borrowed from the owner.
};

static void zk_checked_messenger_iface_init(FlBinaryMessengerInterface* iface);

G_DEFINE_TYPE_WITH_CODE(ZkCheckedMessenger,
                        zk_checked_messenger,
                        G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(fl_binary_messenger_get_type(),
                                              zk_checked_messenger_iface_init))

namespace {

GQuark RecordQuark() {
  return g_quark_from_static_string("zk-fuzz-call-record");
}

// A plugin's handler as installed on the fake, with its messenger.
struct HandlerShim {
  ZkCheckedMessenger* self;  // Weak: the fake outlives no messenger.
  FlBinaryMessengerMessageHandler handler;
  gpointer user_data;
  GDestroyNotify destroy_notify;
};

// The fake delivers a message: note the handle, then call the plugin's
// handler with this messenger, so that its answers are counted.
void shim_message_cb(FlBinaryMessenger* messenger,
                     const gchar* channel,
                     GBytes* message,
                     FlBinaryMessengerResponseHandle* response_handle,
                     gpointer user_data) {
  auto* shim = static_cast<HandlerShim*>(user_data);
  ZkCheckedMessenger* self = shim->self;
  if (self->records != nullptr) {
    auto* record = new zk_fuzz::CallRecord();
    record->channel = channel;
    self->records->push_back(record);
    self->current = record;
    g_object_set_qdata(G_OBJECT(response_handle), RecordQuark(), record);
  }
  shim->handler(FL_BINARY_MESSENGER(self), channel, message, response_handle,
                shim->user_data);
}

void shim_destroy_cb(gpointer user_data) {
  auto* shim = static_cast<HandlerShim*>(user_data);
  if (shim->destroy_notify != nullptr) {
    shim->destroy_notify(shim->user_data);
  }
  delete shim;
}

}  // namespace

static void checked_set_message_handler_on_channel(
    FlBinaryMessenger* messenger,
    const gchar* channel,
    FlBinaryMessengerMessageHandler handler,
    gpointer user_data,
    GDestroyNotify destroy_notify) {
  ZkCheckedMessenger* self = ZK_CHECKED_MESSENGER(messenger);
  if (handler == nullptr) {
    fl_binary_messenger_set_message_handler_on_channel(
        self->fake, channel, nullptr, nullptr, nullptr);
    return;
  }
  auto* shim = new HandlerShim{self, handler, user_data, destroy_notify};
  fl_binary_messenger_set_message_handler_on_channel(
      self->fake, channel, shim_message_cb, shim, shim_destroy_cb);
}

static gboolean checked_send_response(
    FlBinaryMessenger* messenger,
    FlBinaryMessengerResponseHandle* response_handle,
    GBytes* response,
    GError** error) {
  ZkCheckedMessenger* self = ZK_CHECKED_MESSENGER(messenger);
  auto* record = static_cast<zk_fuzz::CallRecord*>(
      g_object_get_qdata(G_OBJECT(response_handle), RecordQuark()));
  if (record != nullptr && self->records != nullptr) {
    record->responses++;
    if (record->responses > 1) {
      zk_fuzz::Fail("\"%s\" on %s was answered twice", record->method.c_str(),
                    record->channel.c_str());
    }
  }
  return fl_binary_messenger_send_response(self->fake, response_handle,
                                           response, error);
}

static void checked_send_on_channel(FlBinaryMessenger* messenger,
                                    const gchar* channel,
                                    GBytes* message,
                                    GCancellable* cancellable,
                                    GAsyncReadyCallback callback,
                                    gpointer user_data) {
  ZkCheckedMessenger* self = ZK_CHECKED_MESSENGER(messenger);
  fl_binary_messenger_send_on_channel(self->fake, channel, message,
                                      cancellable, callback, user_data);
}

static GBytes* checked_send_on_channel_finish(FlBinaryMessenger* messenger,
                                              GAsyncResult* result,
                                              GError** error) {
  ZkCheckedMessenger* self = ZK_CHECKED_MESSENGER(messenger);
  return fl_binary_messenger_send_on_channel_finish(self->fake, result, error);
}

static void zk_checked_messenger_iface_init(FlBinaryMessengerInterface* iface) {
  iface->set_message_handler_on_channel =
      checked_set_message_handler_on_channel;
  iface->send_response = checked_send_response;
  iface->send_on_channel = checked_send_on_channel;
  iface->send_on_channel_finish = checked_send_on_channel_finish;
}

static void zk_checked_messenger_dispose(GObject* object) {
  ZkCheckedMessenger* self = ZK_CHECKED_MESSENGER(object);
  g_clear_object(&self->fake);
  G_OBJECT_CLASS(zk_checked_messenger_parent_class)->dispose(object);
}

static void zk_checked_messenger_class_init(ZkCheckedMessengerClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = zk_checked_messenger_dispose;
}

static void zk_checked_messenger_init(ZkCheckedMessenger* self) {}

namespace zk_fuzz {

CheckedMessenger::CheckedMessenger() : fake_(fl_fake_messenger_new()) {
  auto* wrapper = ZK_CHECKED_MESSENGER(
      g_object_new(zk_checked_messenger_get_type(), nullptr));
  wrapper->fake = FL_BINARY_MESSENGER(g_object_ref(fake_));
  wrapper->records = &records_;
  messenger_ = FL_BINARY_MESSENGER(wrapper);
}

CheckedMessenger::~CheckedMessenger() {
  Shutdown();
  // Anything still holding the messenger must not reach the records.
  ZK_CHECKED_MESSENGER(messenger_)->records = nullptr;
  ZK_CHECKED_MESSENGER(messenger_)->current = nullptr;
  g_object_unref(messenger_);
  g_object_unref(fake_);
  for (CallRecord* record : records_) {
    delete record;
  }
}

guint64 CheckedMessenger::Call(const char* channel,
                               const std::string& method,
                               FlValue* args) {
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  g_autoptr(GError) error = nullptr;
  g_autoptr(GBytes) message =
      FL_METHOD_CODEC_GET_CLASS(codec)->encode_method_call(
          FL_METHOD_CODEC(codec), method.c_str(), args, &error);
  if (message == nullptr) {
    Fail("cannot encode a call of \"%s\": %s", method.c_str(), error->message);
  }
  auto* wrapper = ZK_CHECKED_MESSENGER(messenger_);
  wrapper->current = nullptr;
  const guint64 ticket = fl_fake_messenger_send(fake_, channel, message);
  if (wrapper->current != nullptr) {
    wrapper->current->method = method;
    wrapper->current->ticket = ticket;
  }
  wrapper->current = nullptr;
  tickets_.push_back(ticket);
  return ticket;
}

guint64 CheckedMessenger::SendRaw(const char* channel,
                                  const std::string& bytes) {
  g_autoptr(GBytes) message = g_bytes_new(bytes.data(), bytes.size());
  auto* wrapper = ZK_CHECKED_MESSENGER(messenger_);
  wrapper->current = nullptr;
  const guint64 ticket = fl_fake_messenger_send(fake_, channel, message);
  if (wrapper->current != nullptr) {
    wrapper->current->ticket = ticket;
  }
  wrapper->current = nullptr;
  tickets_.push_back(ticket);
  return ticket;
}

FlMethodResponse* CheckedMessenger::Reply(guint64 ticket) {
  g_autoptr(GBytes) reply = fl_fake_messenger_take_reply(fake_, ticket);
  if (reply == nullptr) {
    return nullptr;
  }
  if (g_bytes_get_size(reply) == 0) {
    return FL_METHOD_RESPONSE(fl_method_not_implemented_response_new());
  }
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  g_autoptr(GError) error = nullptr;
  FlMethodResponse* response = FL_METHOD_CODEC_GET_CLASS(codec)->decode_response(
      FL_METHOD_CODEC(codec), reply, &error);
  if (response == nullptr) {
    Fail("a reply does not decode: %s", error->message);
  }
  return response;
}

bool CheckedMessenger::AllReplied() const {
  for (guint64 ticket : tickets_) {
    if (fl_fake_messenger_get_reply_count(fake_, ticket) == 0) {
      return false;
    }
  }
  return true;
}

bool CheckedMessenger::WaitAllReplied(guint timeout_ms) {
  return RunLoopUntil([this] { return AllReplied(); }, timeout_ms);
}

const CallRecord* CheckedMessenger::Unanswered() const {
  for (const CallRecord* record : records_) {
    if (record->responses != 1 ||
        fl_fake_messenger_get_reply_count(fake_, record->ticket) != 1) {
      return record;
    }
  }
  return nullptr;
}

void CheckedMessenger::CheckAllAnswered(const char* when) const {
  for (guint64 ticket : tickets_) {
    const guint count = fl_fake_messenger_get_reply_count(fake_, ticket);
    if (count != 1) {
      Fail("%s: a message has %u replies", when, count);
    }
  }
  const CallRecord* record = Unanswered();
  if (record != nullptr) {
    Fail("%s: \"%s\" on %s got %d answers of its own", when,
         record->method.c_str(), record->channel.c_str(), record->responses);
  }
}

void CheckedMessenger::Shutdown() {
  fl_fake_messenger_shutdown(fake_);
}

}  // namespace zk_fuzz
