// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "flutter_linux/fl_engine.h"

#include <errno.h>
#include <glib-unix.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "fl_engine_private.h"
#include "fl_texture_private.h"
#include "flutter_linux/fl_method_channel.h"
#include "flutter_linux/fl_pixel_buffer_texture.h"
#include "flutter_linux/fl_standard_message_codec.h"
#include "flutter_linux/fl_standard_method_codec.h"

namespace {

constexpr char kControlChannel[] = "standin/engine";
constexpr uint8_t kFrameHello = 0x01;
constexpr uint8_t kFrameMessage = 0x02;
constexpr uint8_t kFrameReply = 0x03;
// Frames larger than this are taken as a broken peer.
constexpr uint32_t kMaxFrameSize = 512u * 1024u * 1024u;
// The first texture id: above 2^32, so that a 32-bit truncation shows.
constexpr int64_t kFirstTextureId = (INT64_C(1) << 32) + 1;

struct Handler {
  FlBinaryMessengerMessageHandler handler;
  gpointer user_data;
  GDestroyNotify destroy_notify;
};

void PutU32(std::vector<uint8_t>* out, uint32_t v) {
  for (int i = 0; i < 4; i++) {
    out->push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
}

uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

struct TextureStats {
  bool registered = false;
  int64_t frames_marked = 0;
  int64_t pixel_copies = 0;
  // Copies that handed out another buffer than the copy before. A texture
  // that trades two buffers hands out the other one only for a new frame, so
  // this counts the frames the engine read, which marks and copies do not:
  // a mark for a frame an earlier copy already took copies it once more.
  int64_t new_frames = 0;
  const uint8_t* last_buffer = nullptr;  // Never read through.
  uint32_t last_width = 0;
  uint32_t last_height = 0;
};

struct RasterJob {
  int64_t id;
  FlEngineTextureReadCallback callback;
  gpointer user_data;
  bool quit;
  // Set for the view's reads: the picture comes as a cairo image no larger
  // than fit_width x fit_height.
  FlEngineTextureSurfaceCallback surface_callback = nullptr;
  int fit_width = 0;
  int fit_height = 0;
};

struct RasterResult {
  gboolean found;
  GBytes* pixels;  // Owned, may be NULL.
  uint32_t width;
  uint32_t height;
  FlEngineTextureReadCallback callback;
  gpointer user_data;
  cairo_surface_t* surface = nullptr;  // Owned, may be NULL.
  FlEngineTextureSurfaceCallback surface_callback = nullptr;
};

// Pixel stores of surfaces that the view has let go of, used again for the
// next frames of the same size: a fresh store per frame would take fresh
// pages from the kernel each time its size lies above malloc's mmap
// threshold. At most kSpareStores are kept; any thread.
constexpr size_t kSpareStores = 2;
std::mutex g_spare_lock;
std::vector<std::pair<size_t, uint8_t*>>* g_spare_stores = nullptr;

// A store of size bytes, spare or new (g_malloc).
uint8_t* TakeStore(size_t size) {
  {
    std::lock_guard<std::mutex> guard(g_spare_lock);
    if (g_spare_stores != nullptr) {
      for (auto it = g_spare_stores->begin(); it != g_spare_stores->end();
           ++it) {
        if (it->first == size) {
          uint8_t* store = it->second;
          g_spare_stores->erase(it);
          return store;
        }
      }
    }
  }
  return static_cast<uint8_t*>(g_malloc(size));
}

// Called when a surface made by FittedSurface is destroyed, on the thread
// that drops its last reference.
struct StoreRecord {
  size_t size;
  uint8_t* store;
};

void GiveBackStore(void* data) {
  auto* record = static_cast<StoreRecord*>(data);
  uint8_t* dropped = record->store;
  {
    std::lock_guard<std::mutex> guard(g_spare_lock);
    if (g_spare_stores == nullptr) {
      g_spare_stores = new std::vector<std::pair<size_t, uint8_t*>>();
    }
    g_spare_stores->insert(g_spare_stores->begin(),
                           {record->size, record->store});
    dropped = nullptr;
    if (g_spare_stores->size() > kSpareStores) {
      dropped = g_spare_stores->back().second;
      g_spare_stores->pop_back();
    }
  }
  g_free(dropped);
  delete record;
}

const cairo_user_data_key_t kStoreKey = {0};

// Turns tightly packed RGBA into a cairo image (premultiplied native ARGB),
// scaled down by nearest neighbour to fit fit_width x fit_height, in one pass
// over the pixels it keeps. Never scales up: the view's painter does that.
cairo_surface_t* FittedSurface(const uint8_t* rgba,
                               uint32_t width,
                               uint32_t height,
                               int fit_width,
                               int fit_height) {
  if (width == 0 || height == 0 || width > 32768 || height > 32768) {
    return nullptr;
  }
  double scale = 1.0;
  if (fit_width > 0 && fit_height > 0) {
    scale = MIN(1.0, MIN(static_cast<double>(fit_width) / width,
                         static_cast<double>(fit_height) / height));
  }
  int out_width = MAX(1, static_cast<int>(width * scale + 0.5));
  int out_height = MAX(1, static_cast<int>(height * scale + 0.5));
  const int out_stride =
      cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, out_width);
  if (out_stride <= 0) {
    return nullptr;
  }
  const size_t size = static_cast<size_t>(out_stride) * out_height;
  uint8_t* store = TakeStore(size);
  cairo_surface_t* surface = cairo_image_surface_create_for_data(
      store, CAIRO_FORMAT_ARGB32, out_width, out_height, out_stride);
  auto* record = new StoreRecord{size, store};
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS ||
      cairo_surface_set_user_data(surface, &kStoreKey, record,
                                  GiveBackStore) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surface);
    delete record;
    g_free(store);
    return nullptr;
  }
  cairo_surface_flush(surface);
  uint8_t* dst = cairo_image_surface_get_data(surface);
  int stride = cairo_image_surface_get_stride(surface);
  std::vector<uint32_t> columns(out_width);
  for (int x = 0; x < out_width; x++) {
    columns[x] = static_cast<uint32_t>(
        (static_cast<uint64_t>(x) * width + width / (2 * out_width)) /
        out_width);
  }
  for (int y = 0; y < out_height; y++) {
    uint32_t source_y = static_cast<uint32_t>(
        (static_cast<uint64_t>(y) * height + height / (2 * out_height)) /
        out_height);
    const uint8_t* in = rgba + static_cast<size_t>(source_y) * width * 4;
    auto* row =
        reinterpret_cast<uint32_t*>(dst + static_cast<size_t>(y) * stride);
    for (int x = 0; x < out_width; x++) {
      const uint8_t* p = in + static_cast<size_t>(columns[x]) * 4;
      uint32_t r = p[0];
      uint32_t g = p[1];
      uint32_t b = p[2];
      uint32_t a = p[3];
      // Video is opaque: premultiplying is the exception, not the rule.
      if (a != 255) {
        r = r * a / 255;
        g = g * a / 255;
        b = b * a / 255;
      }
      row[x] = (a << 24) | (r << 16) | (g << 8) | b;
    }
  }
  cairo_surface_mark_dirty(surface);
  return surface;
}

}  // namespace

// ---------------------------------------------------------------------------
// The engine's messenger: handlers by channel name, with messages to and from
// the Dart side carried over the peer connection.

G_DECLARE_FINAL_TYPE(FlEngineMessenger,
                     fl_engine_messenger,
                     FL,
                     ENGINE_MESSENGER,
                     GObject)

G_DECLARE_FINAL_TYPE(FlEngineResponseHandle,
                     fl_engine_response_handle,
                     FL,
                     ENGINE_RESPONSE_HANDLE,
                     FlBinaryMessengerResponseHandle)

G_DECLARE_FINAL_TYPE(FlEngineTextureRegistrar,
                     fl_engine_texture_registrar,
                     FL,
                     ENGINE_TEXTURE_REGISTRAR,
                     GObject)

struct _FlEngine {
  GObject parent_instance;
  FlDartProject* project;                   // Owned.
  FlEngineMessenger* messenger;             // Owned.
  FlEngineTextureRegistrar* texture_registrar;  // Owned.
  FlMethodChannel* control_channel;         // Owned while started.
  FlView* view;                             // Weak.
  GThread* main_thread;                     // The thread that made it.
  gboolean headless;
  gboolean started;
  gboolean shut_down;
  // Peer connection.
  int peer_fd;                       // -1 when there is none.
  guint peer_watch_id;               // 0 when none.
  std::vector<uint8_t>* read_buffer;
  uint32_t next_reply_id;
  std::map<uint32_t, GTask*>* pending;  // Owned tasks by reply id.
};

struct _FlEngineMessenger {
  GObject parent_instance;
  FlEngine* engine;  // Weak: the engine owns the messenger.
  std::map<std::string, Handler>* handlers;
  gboolean shut_down;
};

struct _FlEngineResponseHandle {
  FlBinaryMessengerResponseHandle parent_instance;
  GWeakRef engine;
  uint32_t reply_id;
  gboolean responded;
};

struct _FlEngineTextureRegistrar {
  GObject parent_instance;
  FlEngine* engine;                        // Weak.
  std::mutex* lock;                        // Guards textures and stats.
  std::map<int64_t, FlTexture*>* textures;  // Owned references.
  std::map<int64_t, TextureStats>* stats;   // Kept after unregistering.
  int64_t next_id;
  GThread* raster_thread;  // NULL until the first read.
  GAsyncQueue* jobs;       // Of RasterJob*.
};

static void fl_engine_messenger_iface_init(FlBinaryMessengerInterface* iface);
static void fl_engine_texture_registrar_iface_init(
    FlTextureRegistrarInterface* iface);

G_DEFINE_TYPE(FlEngine, fl_engine, G_TYPE_OBJECT)

G_DEFINE_TYPE_WITH_CODE(FlEngineMessenger,
                        fl_engine_messenger,
                        G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(fl_binary_messenger_get_type(),
                                              fl_engine_messenger_iface_init))

G_DEFINE_TYPE(FlEngineResponseHandle,
              fl_engine_response_handle,
              fl_binary_messenger_response_handle_get_type())

G_DEFINE_TYPE_WITH_CODE(
    FlEngineTextureRegistrar,
    fl_engine_texture_registrar,
    G_TYPE_OBJECT,
    G_IMPLEMENT_INTERFACE(fl_texture_registrar_get_type(),
                          fl_engine_texture_registrar_iface_init))

namespace {

gboolean OnMainThread(FlEngine* engine, const char* what) {
  if (engine == nullptr || g_thread_self() == engine->main_thread) {
    return TRUE;
  }
  g_critical("%s called from a thread other than the main thread", what);
  return FALSE;
}

void ClosePeer(FlEngine* self);

// Writes one frame; closes the connection when the peer has gone.
gboolean WriteFrame(FlEngine* self, const std::vector<uint8_t>& body) {
  if (self->peer_fd < 0) {
    return FALSE;
  }
  std::vector<uint8_t> frame;
  frame.reserve(body.size() + 4);
  PutU32(&frame, static_cast<uint32_t>(body.size()));
  frame.insert(frame.end(), body.begin(), body.end());
  size_t done = 0;
  while (done < frame.size()) {
    ssize_t n = send(self->peer_fd, frame.data() + done, frame.size() - done,
                     MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      g_warning("Lost the Dart-side peer: %s", g_strerror(errno));
      ClosePeer(self);
      return FALSE;
    }
    done += static_cast<size_t>(n);
  }
  return TRUE;
}

gboolean SendReplyFrame(FlEngine* self, uint32_t reply_id, GBytes* reply) {
  std::vector<uint8_t> body;
  body.push_back(kFrameReply);
  PutU32(&body, reply_id);
  if (reply != nullptr) {
    gsize size = 0;
    auto* data = static_cast<const uint8_t*>(g_bytes_get_data(reply, &size));
    body.insert(body.end(), data, data + size);
  }
  return WriteFrame(self, body);
}

void CompleteTask(GTask* task, GBytes* reply) {
  g_task_return_pointer(task,
                        reply != nullptr ? g_bytes_ref(reply)
                                         : g_bytes_new(nullptr, 0),
                        reinterpret_cast<GDestroyNotify>(g_bytes_unref));
  g_object_unref(task);
}

void ClosePeer(FlEngine* self) {
  g_clear_handle_id(&self->peer_watch_id, g_source_remove);
  if (self->peer_fd >= 0) {
    close(self->peer_fd);
    self->peer_fd = -1;
  }
  if (self->read_buffer != nullptr) {
    self->read_buffer->clear();
  }
  // Nobody will answer what is still open: the empty reply.
  if (self->pending != nullptr) {
    std::map<uint32_t, GTask*> pending;
    pending.swap(*self->pending);
    for (auto& entry : pending) {
      CompleteTask(entry.second, nullptr);
    }
  }
}

void DispatchMessage(FlEngine* self,
                     const std::string& channel,
                     GBytes* message,
                     uint32_t reply_id);

// Handles one complete frame from the peer; FALSE when it is malformed.
gboolean HandleFrame(FlEngine* self, const uint8_t* data, uint32_t size) {
  if (size < 1) {
    return FALSE;
  }
  uint8_t type = data[0];
  if (type == kFrameMessage) {
    if (size < 9) {
      return FALSE;
    }
    uint32_t reply_id = GetU32(data + 1);
    uint32_t name_length = GetU32(data + 5);
    if (name_length > size - 9) {
      return FALSE;
    }
    std::string channel(reinterpret_cast<const char*>(data + 9), name_length);
    if (!g_utf8_validate(channel.data(), channel.size(), nullptr) ||
        channel.find('\0') != std::string::npos) {
      return FALSE;
    }
    g_autoptr(GBytes) message =
        g_bytes_new(data + 9 + name_length, size - 9 - name_length);
    DispatchMessage(self, channel, message, reply_id);
    return TRUE;
  }
  if (type == kFrameReply) {
    if (size < 5) {
      return FALSE;
    }
    uint32_t reply_id = GetU32(data + 1);
    auto it = self->pending->find(reply_id);
    if (it == self->pending->end()) {
      g_debug("Reply %u matches no request", reply_id);
      return TRUE;
    }
    GTask* task = it->second;
    self->pending->erase(it);
    g_autoptr(GBytes) reply = g_bytes_new(data + 5, size - 5);
    CompleteTask(task, reply);
    return TRUE;
  }
  return FALSE;
}

// Called when the peer socket is readable or closed.
gboolean PeerReadableCb(gint fd, GIOCondition condition, gpointer user_data) {
  FlEngine* self = FL_ENGINE(user_data);
  uint8_t chunk[65536];
  ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
    return G_SOURCE_CONTINUE;
  }
  if (n <= 0) {
    // The watch id is cleared here because the source goes with the return.
    self->peer_watch_id = 0;
    ClosePeer(self);
    return G_SOURCE_REMOVE;
  }
  G_GNUC_UNUSED g_autoptr(FlEngine) keep = FL_ENGINE(g_object_ref(self));
  self->read_buffer->insert(self->read_buffer->end(), chunk, chunk + n);
  size_t offset = 0;
  while (self->peer_fd >= 0 && self->read_buffer->size() - offset >= 4) {
    uint32_t length = GetU32(self->read_buffer->data() + offset);
    if (length > kMaxFrameSize) {
      g_warning("The Dart-side peer sent a frame of %u bytes; disconnecting",
                length);
      self->peer_watch_id = 0;
      ClosePeer(self);
      return G_SOURCE_REMOVE;
    }
    if (self->read_buffer->size() - offset - 4 < length) {
      break;
    }
    // Copy the frame: dispatching may run handlers that send and read.
    std::vector<uint8_t> frame(
        self->read_buffer->begin() + offset + 4,
        self->read_buffer->begin() + offset + 4 + length);
    offset += 4 + length;
    if (!HandleFrame(self, frame.data(), length)) {
      g_warning("The Dart-side peer sent a malformed frame; disconnecting");
      self->peer_watch_id = 0;
      ClosePeer(self);
      return G_SOURCE_REMOVE;
    }
  }
  if (self->peer_fd < 0) {
    // A handler closed the connection; its watch is already gone.
    return G_SOURCE_REMOVE;
  }
  self->read_buffer->erase(self->read_buffer->begin(),
                           self->read_buffer->begin() + offset);
  return G_SOURCE_CONTINUE;
}

void SendHello(FlEngine* self) {
  g_autoptr(FlValue) hello = fl_value_new_map();
  fl_value_set_string_take(hello, "protocol", fl_value_new_int(1));
  fl_value_set_string_take(hello, "pid", fl_value_new_int(getpid()));
  FlValue* args = fl_value_new_list();
  gchar** argv = fl_dart_project_get_dart_entrypoint_arguments(self->project);
  for (gchar** a = argv; a != nullptr && *a != nullptr; a++) {
    fl_value_append_take(args, fl_value_new_string(*a));
  }
  fl_value_set_string_take(hello, "args", args);
  g_autoptr(FlStandardMessageCodec) codec = fl_standard_message_codec_new();
  g_autoptr(GBytes) encoded = fl_message_codec_encode_message(
      FL_MESSAGE_CODEC(codec), hello, nullptr);
  std::vector<uint8_t> body;
  body.push_back(kFrameHello);
  gsize size = 0;
  auto* data = static_cast<const uint8_t*>(g_bytes_get_data(encoded, &size));
  body.insert(body.end(), data, data + size);
  WriteFrame(self, body);
}

void ConnectPeer(FlEngine* self) {
  const gchar* path = g_getenv(FL_ENGINE_PEER_ENV);
  if (path == nullptr || *path == '\0') {
    return;
  }
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (strlen(path) >= sizeof(address.sun_path)) {
    g_warning("Cannot connect to the Dart-side peer: socket path too long");
    return;
  }
  strncpy(address.sun_path, path, sizeof(address.sun_path) - 1);
  // Close-on-exec: a process that replaces itself connects afresh.
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<struct sockaddr*>(&address),
                        sizeof(address)) != 0) {
    g_warning("Cannot connect to the Dart-side peer at %s: %s", path,
              g_strerror(errno));
    if (fd >= 0) {
      close(fd);
    }
    return;
  }
  self->peer_fd = fd;
  self->peer_watch_id = g_unix_fd_add(
      fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
      PeerReadableCb, self);
  SendHello(self);
}

}  // namespace

// ---------------------------------------------------------------------------
// Response handles.

static void fl_engine_response_handle_dispose(GObject* object) {
  FlEngineResponseHandle* self = FL_ENGINE_RESPONSE_HANDLE(object);
  if (!self->responded) {
    // A message released unanswered gets the empty reply.
    self->responded = TRUE;
    g_autoptr(FlEngine) engine = FL_ENGINE(g_weak_ref_get(&self->engine));
    if (engine != nullptr && self->reply_id != 0 &&
        OnMainThread(engine, "Releasing an unanswered message")) {
      SendReplyFrame(engine, self->reply_id, nullptr);
    }
  }
  g_weak_ref_clear(&self->engine);
  G_OBJECT_CLASS(fl_engine_response_handle_parent_class)->dispose(object);
}

static void fl_engine_response_handle_class_init(
    FlEngineResponseHandleClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_engine_response_handle_dispose;
}

static void fl_engine_response_handle_init(FlEngineResponseHandle* self) {}

// ---------------------------------------------------------------------------
// Messenger.

static void messenger_set_message_handler_on_channel(
    FlBinaryMessenger* messenger,
    const gchar* channel,
    FlBinaryMessengerMessageHandler handler,
    gpointer user_data,
    GDestroyNotify destroy_notify) {
  FlEngineMessenger* self = FL_ENGINE_MESSENGER(messenger);
  OnMainThread(self->engine, "fl_binary_messenger_set_message_handler");
  Handler old = {nullptr, nullptr, nullptr};
  auto it = self->handlers->find(channel);
  if (it != self->handlers->end()) {
    old = it->second;
    self->handlers->erase(it);
  }
  if (handler != nullptr) {
    if (self->shut_down) {
      // The engine is gone: nothing will ever call it.
      if (destroy_notify != nullptr) {
        destroy_notify(user_data);
      }
    } else {
      (*self->handlers)[channel] = Handler{handler, user_data, destroy_notify};
    }
  }
  if (old.destroy_notify != nullptr) {
    old.destroy_notify(old.user_data);
  }
}

static gboolean messenger_send_response(
    FlBinaryMessenger* messenger,
    FlBinaryMessengerResponseHandle* response_handle,
    GBytes* response,
    GError** error) {
  FlEngineMessenger* self = FL_ENGINE_MESSENGER(messenger);
  if (!OnMainThread(self->engine, "fl_binary_messenger_send_response")) {
    g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_FAILED,
                        "responses are sent from the main thread only");
    return FALSE;
  }
  g_return_val_if_fail(FL_IS_ENGINE_RESPONSE_HANDLE(response_handle), FALSE);
  FlEngineResponseHandle* handle = FL_ENGINE_RESPONSE_HANDLE(response_handle);
  if (handle->responded) {
    g_set_error_literal(error, FL_BINARY_MESSENGER_ERROR,
                        FL_BINARY_MESSENGER_ERROR_ALREADY_RESPONDED,
                        "Attempted to respond to a message that is already "
                        "responded to");
    return FALSE;
  }
  handle->responded = TRUE;
  if (handle->reply_id == 0) {
    return TRUE;
  }
  if (self->engine == nullptr ||
      !SendReplyFrame(self->engine, handle->reply_id, response)) {
    g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_NOT_CONNECTED,
                        "the Dart side is not connected");
    return FALSE;
  }
  return TRUE;
}

static void messenger_send_on_channel(FlBinaryMessenger* messenger,
                                      const gchar* channel,
                                      GBytes* message,
                                      GCancellable* cancellable,
                                      GAsyncReadyCallback callback,
                                      gpointer user_data) {
  FlEngineMessenger* self = FL_ENGINE_MESSENGER(messenger);
  if (!OnMainThread(self->engine, "fl_binary_messenger_send_on_channel")) {
    return;
  }
  GTask* task = callback != nullptr
                    ? g_task_new(messenger, cancellable, callback, user_data)
                    : nullptr;
  FlEngine* engine = self->engine;
  if (engine == nullptr || engine->peer_fd < 0) {
    // No Dart side: the empty reply.
    if (task != nullptr) {
      CompleteTask(task, nullptr);
    }
    return;
  }
  uint32_t reply_id = 0;
  if (task != nullptr) {
    do {
      reply_id = engine->next_reply_id++;
    } while (reply_id == 0 || engine->pending->count(reply_id) > 0);
    (*engine->pending)[reply_id] = task;
  }
  std::vector<uint8_t> body;
  body.push_back(kFrameMessage);
  PutU32(&body, reply_id);
  size_t name_length = strlen(channel);
  PutU32(&body, static_cast<uint32_t>(name_length));
  body.insert(body.end(), channel, channel + name_length);
  if (message != nullptr) {
    gsize size = 0;
    auto* data = static_cast<const uint8_t*>(g_bytes_get_data(message, &size));
    body.insert(body.end(), data, data + size);
  }
  // A failed write closes the connection, which completes the task.
  WriteFrame(engine, body);
}

static GBytes* messenger_send_on_channel_finish(FlBinaryMessenger* messenger,
                                                GAsyncResult* result,
                                                GError** error) {
  g_return_val_if_fail(g_task_is_valid(result, messenger), nullptr);
  return static_cast<GBytes*>(
      g_task_propagate_pointer(G_TASK(result), error));
}

static void messenger_shutdown(FlBinaryMessenger* messenger) {
  FlEngineMessenger* self = FL_ENGINE_MESSENGER(messenger);
  self->shut_down = TRUE;
  // Destroy notifications may remove or install handlers: one at a time.
  while (!self->handlers->empty()) {
    auto it = self->handlers->begin();
    Handler handler = it->second;
    self->handlers->erase(it);
    if (handler.destroy_notify != nullptr) {
      handler.destroy_notify(handler.user_data);
    }
  }
}

static void fl_engine_messenger_iface_init(FlBinaryMessengerInterface* iface) {
  iface->set_message_handler_on_channel =
      messenger_set_message_handler_on_channel;
  iface->send_response = messenger_send_response;
  iface->send_on_channel = messenger_send_on_channel;
  iface->send_on_channel_finish = messenger_send_on_channel_finish;
  iface->shutdown = messenger_shutdown;
}

static void fl_engine_messenger_dispose(GObject* object) {
  FlEngineMessenger* self = FL_ENGINE_MESSENGER(object);
  if (self->handlers != nullptr) {
    messenger_shutdown(FL_BINARY_MESSENGER(self));
    delete self->handlers;
    self->handlers = nullptr;
  }
  G_OBJECT_CLASS(fl_engine_messenger_parent_class)->dispose(object);
}

static void fl_engine_messenger_class_init(FlEngineMessengerClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_engine_messenger_dispose;
}

static void fl_engine_messenger_init(FlEngineMessenger* self) {
  self->handlers = new std::map<std::string, Handler>();
}

namespace {

void DispatchMessage(FlEngine* self,
                     const std::string& channel,
                     GBytes* message,
                     uint32_t reply_id) {
  auto* handle = FL_ENGINE_RESPONSE_HANDLE(
      g_object_new(fl_engine_response_handle_get_type(), nullptr));
  g_weak_ref_init(&handle->engine, self);
  handle->reply_id = reply_id;
  g_autoptr(FlBinaryMessengerResponseHandle) response_handle =
      FL_BINARY_MESSENGER_RESPONSE_HANDLE(handle);
  auto it = self->messenger->handlers->find(channel);
  if (it == self->messenger->handlers->end()) {
    // Unknown channel: the empty reply, sent when the handle goes.
    return;
  }
  Handler handler = it->second;
  handler.handler(FL_BINARY_MESSENGER(self->messenger), channel.c_str(),
                  message, response_handle, handler.user_data);
}

}  // namespace

// ---------------------------------------------------------------------------
// Texture registrar and the raster thread.

namespace {

gboolean DeliverRasterResult(gpointer data) {
  auto* result = static_cast<RasterResult*>(data);
  if (result->surface_callback != nullptr) {
    result->surface_callback(result->found, result->surface, result->width,
                             result->height, result->user_data);
  } else {
    result->callback(result->found, result->pixels, result->width,
                     result->height, result->user_data);
  }
  if (result->pixels != nullptr) {
    g_bytes_unref(result->pixels);
  }
  g_clear_pointer(&result->surface, cairo_surface_destroy);
  delete result;
  return G_SOURCE_REMOVE;
}

// The engine's raster thread: reads textures through copy_pixels.
gpointer RasterThread(gpointer data) {
  auto* self = FL_ENGINE_TEXTURE_REGISTRAR(data);
  while (true) {
    auto* job = static_cast<RasterJob*>(g_async_queue_pop(self->jobs));
    if (job->quit) {
      delete job;
      break;
    }
    FlTexture* texture = nullptr;
    {
      std::lock_guard<std::mutex> guard(*self->lock);
      auto it = self->textures->find(job->id);
      if (it != self->textures->end()) {
        // The read holds its own reference: unregistering meanwhile is safe.
        texture = FL_TEXTURE(g_object_ref(it->second));
        (*self->stats)[job->id].pixel_copies++;
      }
    }
    auto* result = new RasterResult{texture != nullptr, nullptr, 0, 0,
                                    job->callback, job->user_data};
    result->surface_callback = job->surface_callback;
    if (texture != nullptr && FL_IS_PIXEL_BUFFER_TEXTURE(texture)) {
      const uint8_t* buffer = nullptr;
      uint32_t width = 0;
      uint32_t height = 0;
      g_autoptr(GError) error = nullptr;
      if (fl_pixel_buffer_texture_copy(FL_PIXEL_BUFFER_TEXTURE(texture),
                                       &buffer, &width, &height, &error) &&
          buffer != nullptr) {
        {
          std::lock_guard<std::mutex> guard(*self->lock);
          TextureStats& stats = (*self->stats)[job->id];
          if (buffer != stats.last_buffer || width != stats.last_width ||
              height != stats.last_height) {
            stats.new_frames++;
            stats.last_buffer = buffer;
            stats.last_width = width;
            stats.last_height = height;
          }
        }
        if (job->surface_callback != nullptr) {
          result->surface = FittedSurface(buffer, width, height,
                                          job->fit_width, job->fit_height);
        } else {
          result->pixels =
              g_bytes_new(buffer, static_cast<gsize>(width) * height * 4);
        }
        result->width = width;
        result->height = height;
      }
    }
    if (texture != nullptr) {
      g_object_unref(texture);
    }
    g_idle_add_full(G_PRIORITY_DEFAULT, DeliverRasterResult, result, nullptr);
    delete job;
  }
  return nullptr;
}

void StopRasterThread(FlEngineTextureRegistrar* self) {
  if (self->raster_thread == nullptr) {
    return;
  }
  g_async_queue_push(self->jobs, new RasterJob{0, nullptr, nullptr, true});
  g_thread_join(self->raster_thread);
  self->raster_thread = nullptr;
}

gboolean NotifyFrameAvailable(gpointer data) {
  auto* args = static_cast<std::pair<GWeakRef*, int64_t>*>(data);
  g_autoptr(FlEngine) engine = FL_ENGINE(g_weak_ref_get(args->first));
  if (engine != nullptr && engine->view != nullptr) {
    fl_view_texture_frame_available(engine->view, args->second);
  }
  g_weak_ref_clear(args->first);
  g_free(args->first);
  delete args;
  return G_SOURCE_REMOVE;
}

}  // namespace

static gboolean registrar_register_texture(FlTextureRegistrar* registrar,
                                           FlTexture* texture) {
  auto* self = FL_ENGINE_TEXTURE_REGISTRAR(registrar);
  std::lock_guard<std::mutex> guard(*self->lock);
  int64_t id = self->next_id++;
  fl_texture_set_id(texture, id);
  (*self->textures)[id] = FL_TEXTURE(g_object_ref(texture));
  (*self->stats)[id].registered = true;
  return TRUE;
}

static FlTexture* registrar_lookup_texture(FlTextureRegistrar* registrar,
                                           int64_t id) {
  auto* self = FL_ENGINE_TEXTURE_REGISTRAR(registrar);
  std::lock_guard<std::mutex> guard(*self->lock);
  auto it = self->textures->find(id);
  return it == self->textures->end() ? nullptr : it->second;
}

static gboolean registrar_mark_texture_frame_available(
    FlTextureRegistrar* registrar,
    FlTexture* texture) {
  auto* self = FL_ENGINE_TEXTURE_REGISTRAR(registrar);
  int64_t id = fl_texture_get_id(texture);
  {
    std::lock_guard<std::mutex> guard(*self->lock);
    if (self->textures->count(id) == 0) {
      return FALSE;
    }
    (*self->stats)[id].frames_marked++;
  }
  // The view redraws from the main thread, whichever thread marked.
  auto* weak = g_new0(GWeakRef, 1);
  g_weak_ref_init(weak, self->engine);
  g_idle_add_full(G_PRIORITY_DEFAULT, NotifyFrameAvailable,
                  new std::pair<GWeakRef*, int64_t>(weak, id), nullptr);
  return TRUE;
}

static gboolean registrar_unregister_texture(FlTextureRegistrar* registrar,
                                             FlTexture* texture) {
  auto* self = FL_ENGINE_TEXTURE_REGISTRAR(registrar);
  FlTexture* registered = nullptr;
  {
    std::lock_guard<std::mutex> guard(*self->lock);
    int64_t id = fl_texture_get_id(texture);
    auto it = self->textures->find(id);
    if (it == self->textures->end()) {
      return FALSE;
    }
    registered = it->second;
    self->textures->erase(it);
    (*self->stats)[id].registered = false;
  }
  g_object_unref(registered);
  return TRUE;
}

static void fl_engine_texture_registrar_iface_init(
    FlTextureRegistrarInterface* iface) {
  iface->register_texture = registrar_register_texture;
  iface->lookup_texture = registrar_lookup_texture;
  iface->mark_texture_frame_available = registrar_mark_texture_frame_available;
  iface->unregister_texture = registrar_unregister_texture;
}

static void fl_engine_texture_registrar_dispose(GObject* object) {
  auto* self = FL_ENGINE_TEXTURE_REGISTRAR(object);
  StopRasterThread(self);
  g_clear_pointer(&self->jobs, g_async_queue_unref);
  if (self->textures != nullptr) {
    for (auto& entry : *self->textures) {
      g_object_unref(entry.second);
    }
    delete self->textures;
    self->textures = nullptr;
  }
  delete self->stats;
  self->stats = nullptr;
  delete self->lock;
  self->lock = nullptr;
  G_OBJECT_CLASS(fl_engine_texture_registrar_parent_class)->dispose(object);
}

static void fl_engine_texture_registrar_class_init(
    FlEngineTextureRegistrarClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_engine_texture_registrar_dispose;
}

static void fl_engine_texture_registrar_init(FlEngineTextureRegistrar* self) {
  self->lock = new std::mutex();
  self->textures = new std::map<int64_t, FlTexture*>();
  self->stats = new std::map<int64_t, TextureStats>();
  self->next_id = kFirstTextureId;
  self->jobs = g_async_queue_new();
}

// ---------------------------------------------------------------------------
// The control channel "standin/engine".

namespace {

int64_t IdArg(FlValue* args, gboolean* present) {
  FlValue* id = fl_value_lookup_string(args, "id");
  *present = id != nullptr && fl_value_get_type(id) == FL_VALUE_TYPE_INT;
  return *present ? fl_value_get_int(id) : 0;
}

void RespondNow(FlMethodCall* call, FlMethodResponse* response) {
  fl_method_call_respond(call, response, nullptr);
  g_object_unref(response);
}

void ReadTextureDone(gboolean found,
                     GBytes* pixels,
                     uint32_t width,
                     uint32_t height,
                     gpointer user_data) {
  g_autoptr(FlMethodCall) call = FL_METHOD_CALL(user_data);
  if (!found) {
    RespondNow(call, FL_METHOD_RESPONSE(fl_method_error_response_new(
                         "no_texture", "no texture is registered under that id",
                         nullptr)));
    return;
  }
  if (pixels == nullptr) {
    RespondNow(call, FL_METHOD_RESPONSE(fl_method_error_response_new(
                         "copy_failed", "copy_pixels failed", nullptr)));
    return;
  }
  g_autoptr(FlValue) result = fl_value_new_map();
  fl_value_set_string_take(result, "width", fl_value_new_int(width));
  fl_value_set_string_take(result, "height", fl_value_new_int(height));
  fl_value_set_string_take(result, "pixels",
                           fl_value_new_uint8_list_from_bytes(pixels));
  RespondNow(call, FL_METHOD_RESPONSE(fl_method_success_response_new(result)));
}

}  // namespace

// Handles the stand-in's own control methods, which play what a Dart UI would
// make the engine do.
static void control_method_cb(FlMethodChannel* channel,
                              FlMethodCall* call,
                              gpointer user_data) {
  FlEngine* self = FL_ENGINE(user_data);
  const gchar* method = fl_method_call_get_name(call);
  FlValue* args = fl_method_call_get_args(call);
  if (g_strcmp0(method, "drawFrame") == 0) {
    if (self->view != nullptr) {
      fl_view_handle_first_frame(self->view);
    }
    RespondNow(call, FL_METHOD_RESPONSE(fl_method_success_response_new(nullptr)));
  } else if (g_strcmp0(method, "showTexture") == 0) {
    gboolean present = FALSE;
    int64_t id = IdArg(args, &present);
    if (self->view != nullptr) {
      fl_view_show_texture(self->view, id, present);
    }
    RespondNow(call, FL_METHOD_RESPONSE(fl_method_success_response_new(nullptr)));
  } else if (g_strcmp0(method, "readTexture") == 0) {
    gboolean present = FALSE;
    int64_t id = IdArg(args, &present);
    if (!present) {
      RespondNow(call, FL_METHOD_RESPONSE(fl_method_error_response_new(
                           "no_texture", "no texture id given", nullptr)));
      return;
    }
    fl_engine_read_texture(self, id, ReadTextureDone, g_object_ref(call));
  } else if (g_strcmp0(method, "textureStats") == 0) {
    gboolean present = FALSE;
    int64_t id = IdArg(args, &present);
    TextureStats stats;
    {
      std::lock_guard<std::mutex> guard(*self->texture_registrar->lock);
      auto it = self->texture_registrar->stats->find(id);
      if (present && it != self->texture_registrar->stats->end()) {
        stats = it->second;
      }
    }
    g_autoptr(FlValue) result = fl_value_new_map();
    fl_value_set_string_take(result, "registered",
                             fl_value_new_bool(stats.registered));
    fl_value_set_string_take(result, "framesMarked",
                             fl_value_new_int(stats.frames_marked));
    fl_value_set_string_take(result, "pixelCopies",
                             fl_value_new_int(stats.pixel_copies));
    fl_value_set_string_take(result, "newFrames",
                             fl_value_new_int(stats.new_frames));
    RespondNow(call, FL_METHOD_RESPONSE(fl_method_success_response_new(result)));
  } else if (g_strcmp0(method, "viewState") == 0) {
    g_autoptr(FlValue) state =
        self->view != nullptr ? fl_view_build_state(self->view) : nullptr;
    if (state == nullptr) {
      RespondNow(call, FL_METHOD_RESPONSE(fl_method_error_response_new(
                           "no_view", "the engine has no view", nullptr)));
      return;
    }
    RespondNow(call, FL_METHOD_RESPONSE(fl_method_success_response_new(state)));
  } else if (g_strcmp0(method, "closeWindow") == 0) {
    // Answer first: the close may end the application.
    RespondNow(call, FL_METHOD_RESPONSE(fl_method_success_response_new(nullptr)));
    if (self->view != nullptr) {
      fl_view_request_close(self->view);
    }
  } else {
    RespondNow(call,
               FL_METHOD_RESPONSE(fl_method_not_implemented_response_new()));
  }
}

// ---------------------------------------------------------------------------
// FlEngine.

static void fl_engine_dispose(GObject* object) {
  FlEngine* self = FL_ENGINE(object);
  fl_engine_shutdown(self);
  // Channels, calls and plugins may keep the messenger and the registrar
  // past the engine: they must not reach back into it.
  if (self->messenger != nullptr) {
    self->messenger->engine = nullptr;
  }
  if (self->texture_registrar != nullptr) {
    self->texture_registrar->engine = nullptr;
  }
  g_clear_object(&self->messenger);
  g_clear_object(&self->texture_registrar);
  g_clear_object(&self->project);
  delete self->read_buffer;
  self->read_buffer = nullptr;
  delete self->pending;
  self->pending = nullptr;
  G_OBJECT_CLASS(fl_engine_parent_class)->dispose(object);
}

static void fl_engine_class_init(FlEngineClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_engine_dispose;
}

static void fl_engine_init(FlEngine* self) {
  self->main_thread = g_thread_self();
  self->peer_fd = -1;
  self->read_buffer = new std::vector<uint8_t>();
  self->pending = new std::map<uint32_t, GTask*>();
  self->next_reply_id = 1;
  self->messenger = FL_ENGINE_MESSENGER(
      g_object_new(fl_engine_messenger_get_type(), nullptr));
  self->messenger->engine = self;
  self->texture_registrar = FL_ENGINE_TEXTURE_REGISTRAR(
      g_object_new(fl_engine_texture_registrar_get_type(), nullptr));
  self->texture_registrar->engine = self;
}

static FlEngine* NewEngine(FlDartProject* project, gboolean headless) {
  g_return_val_if_fail(FL_IS_DART_PROJECT(project), nullptr);
  auto* self = FL_ENGINE(g_object_new(fl_engine_get_type(), nullptr));
  self->project = FL_DART_PROJECT(g_object_ref(project));
  self->headless = headless;
  return self;
}

G_MODULE_EXPORT FlEngine* fl_engine_new(FlDartProject* project) {
  return NewEngine(project, FALSE);
}

G_MODULE_EXPORT FlEngine* fl_engine_new_headless(FlDartProject* project) {
  return NewEngine(project, TRUE);
}

G_MODULE_EXPORT FlBinaryMessenger* fl_engine_get_binary_messenger(
    FlEngine* self) {
  g_return_val_if_fail(FL_IS_ENGINE(self), nullptr);
  return FL_BINARY_MESSENGER(self->messenger);
}

G_MODULE_EXPORT FlTextureRegistrar* fl_engine_get_texture_registrar(
    FlEngine* self) {
  g_return_val_if_fail(FL_IS_ENGINE(self), nullptr);
  return FL_TEXTURE_REGISTRAR(self->texture_registrar);
}

void fl_engine_start(FlEngine* self) {
  g_return_if_fail(FL_IS_ENGINE(self));
  if (self->started || self->shut_down) {
    return;
  }
  self->started = TRUE;
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  self->control_channel =
      fl_method_channel_new(FL_BINARY_MESSENGER(self->messenger),
                            kControlChannel, FL_METHOD_CODEC(codec));
  fl_method_channel_set_method_call_handler(self->control_channel,
                                            control_method_cb, self, nullptr);
  ConnectPeer(self);
}

void fl_engine_shutdown(FlEngine* self) {
  g_return_if_fail(FL_IS_ENGINE(self));
  if (self->shut_down) {
    return;
  }
  self->shut_down = TRUE;
  self->view = nullptr;
  // Handlers go first, so plugins are disposed while the engine still works.
  if (self->messenger != nullptr) {
    messenger_shutdown(FL_BINARY_MESSENGER(self->messenger));
  }
  g_clear_object(&self->control_channel);
  if (self->texture_registrar != nullptr) {
    StopRasterThread(self->texture_registrar);
  }
  ClosePeer(self);
}

gboolean fl_engine_has_peer(FlEngine* self) {
  g_return_val_if_fail(FL_IS_ENGINE(self), FALSE);
  return self->peer_fd >= 0;
}

void fl_engine_set_view(FlEngine* self, FlView* view) {
  g_return_if_fail(FL_IS_ENGINE(self));
  self->view = view;
}

namespace {

void QueueRasterJob(FlEngine* self, RasterJob* job) {
  FlEngineTextureRegistrar* registrar = self->texture_registrar;
  if (self->shut_down) {
    auto* result =
        new RasterResult{FALSE, nullptr, 0, 0, job->callback, job->user_data};
    result->surface_callback = job->surface_callback;
    g_idle_add_full(G_PRIORITY_DEFAULT, DeliverRasterResult, result, nullptr);
    delete job;
    return;
  }
  if (registrar->raster_thread == nullptr) {
    registrar->raster_thread =
        g_thread_new("fl-raster", RasterThread, registrar);
  }
  g_async_queue_push(registrar->jobs, job);
}

}  // namespace

void fl_engine_read_texture(FlEngine* self,
                            int64_t id,
                            FlEngineTextureReadCallback callback,
                            gpointer user_data) {
  g_return_if_fail(FL_IS_ENGINE(self));
  QueueRasterJob(self, new RasterJob{id, callback, user_data, false});
}

void fl_engine_read_texture_fitted(FlEngine* self,
                                   int64_t id,
                                   int fit_width,
                                   int fit_height,
                                   FlEngineTextureSurfaceCallback callback,
                                   gpointer user_data) {
  g_return_if_fail(FL_IS_ENGINE(self));
  auto* job = new RasterJob{id, nullptr, user_data, false};
  job->surface_callback = callback;
  job->fit_width = fit_width;
  job->fit_height = fit_height;
  QueueRasterJob(self, job);
}
