// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include <zelko_desktop_video/zelko_desktop_video_plugin.h>

#include <gst/gst.h>
#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "media_queue.h"
#include "player.h"
#include "transcoder.h"
#include "zelko_desktop_video_plugin_private.h"

namespace {

constexpr char kChannelName[] = "zelko_desktop_video";
constexpr char kCompressChannelName[] = "zelko_desktop_video/compress";

using PlayerMap = std::map<int64_t, std::unique_ptr<Player>>;

// How the process's memory comes back after media work. Decoded frames come
// from malloc (3 MB of I420 and 8 MB of RGBA at 1080p), and glibc raises its
// mmap threshold after the first large frees, so that later frames come from
// its heaps, which keep them when they are freed: after four 1080p players
// closed, most of what they took stayed resident. Below a fixed threshold
// every frame is mapped on its own and unmapped when it is freed, by the
// thread that frees it, with no lock of the allocator held. The buffer pools
// use their frames again, and the decoders write into pooled frames (see
// DecodeIntoPooledFrames), so no frame takes fresh pages from the kernel
// while playing: decoding the 1080p clip to RGBA took 2.9 s of CPU with
// the threshold as without it.
constexpr int kMmapThreshold = 1 << 20;

// Sets the allocator's policy when the library is loaded, before main, so
// that no frame of any thread has raised the threshold yet.
__attribute__((constructor)) void SetAllocatorPolicy() {
  if (!UserSetsMallocParameter(getenv("GLIBC_TUNABLES"), "mmap_threshold",
                               getenv("MALLOC_MMAP_THRESHOLD_"))) {
    mallopt(M_MMAP_THRESHOLD, kMmapThreshold);
  }
}

// What smaller blocks the heaps keep free goes back to the kernel once the
// plugin has had no player, job, probe or poster for this long: a trim while
// media work goes on holds each arena's lock against the threads that use
// it, and the work would take the pages back from the kernel at once.
constexpr guint kTrimDelayMs = 1000;

// Players, jobs, probes and posters alive; main thread only.
int g_live_work = 0;
// The pending trim's source on the main loop; 0 when none is pending.
guint g_trim_source = 0;

// Runs on the main loop once media work has been gone for kTrimDelayMs.
gboolean trim_cb(gpointer user_data) {
  (void)user_data;
  g_trim_source = 0;
  if (g_live_work == 0) {
    // Takes some milliseconds after four 1080p players, while the kernel
    // takes the pages back, with the main thread's arena locked for part of
    // it. Queued behind the players' teardowns, it trims what they freed.
    MediaQueueRun([] { malloc_trim(0); });
  }
  return G_SOURCE_REMOVE;
}

// Counts a player, job, probe or poster from its start to its end, on the
// main thread. The last one's end arms the trim.
void WorkStarted() {
  ++g_live_work;
}

void WorkEnded(int count = 1) {
  g_live_work -= count;
  if (g_live_work > 0) {
    return;
  }
  if (g_trim_source != 0) {
    g_source_remove(g_trim_source);
  }
  g_trim_source = g_timeout_add(kTrimDelayMs, trim_cb, nullptr);
}

}  // namespace

struct _ZelkoDesktopVideoPlugin {
  GObject parent_instance;

  // One reference. The messenger and the texture registrar are asked of it
  // whenever they are needed, never stored.
  FlPluginRegistrar* registrar;
  // All live players by id, each owned by its entry.
  PlayerMap* players;
  // "zelko_desktop_video/compress"; one reference.
  FlEventChannel* compress_channel;
  // A listener is attached to compress_channel.
  bool compress_listening;
  // The current compression job; empty when there is none.
  std::unique_ptr<Transcoder>* transcoder;
};

G_DEFINE_TYPE(ZelkoDesktopVideoPlugin,
              zelko_desktop_video_plugin,
              G_TYPE_OBJECT)

namespace {

// Answers call with success and value; the caller keeps its reference.
void Respond(FlMethodCall* call, FlValue* value) {
  g_autoptr(FlMethodResponse) response =
      FL_METHOD_RESPONSE(fl_method_success_response_new(value));
  fl_method_call_respond(call, response, nullptr);
}

void RespondError(FlMethodCall* call, const char* code, const char* message) {
  g_autoptr(FlMethodResponse) response =
      FL_METHOD_RESPONSE(fl_method_error_response_new(code, message, nullptr));
  fl_method_call_respond(call, response, nullptr);
}

void RespondNotImplemented(FlMethodCall* call) {
  g_autoptr(FlMethodResponse) response =
      FL_METHOD_RESPONSE(fl_method_not_implemented_response_new());
  fl_method_call_respond(call, response, nullptr);
}

void RespondNull(FlMethodCall* call) {
  g_autoptr(FlValue) null_value = fl_value_new_null();
  Respond(call, null_value);
}

// The argument under key, or nullptr. Arguments that are not a map count as
// an empty map: the engine treats a lookup in anything else as a programming
// error.
FlValue* LookupArg(FlValue* args, const char* key) {
  if (args == nullptr || fl_value_get_type(args) != FL_VALUE_TYPE_MAP) {
    return nullptr;
  }
  return fl_value_lookup_string(args, key);
}

int64_t IntArg(FlValue* args, const char* key, int64_t fallback) {
  FlValue* value = LookupArg(args, key);
  if (value == nullptr || fl_value_get_type(value) != FL_VALUE_TYPE_INT) {
    return fallback;
  }
  return fl_value_get_int(value);
}

// An integer is not taken for a float.
double DoubleArg(FlValue* args, const char* key, double fallback) {
  FlValue* value = LookupArg(args, key);
  if (value == nullptr || fl_value_get_type(value) != FL_VALUE_TYPE_FLOAT) {
    return fallback;
  }
  return fl_value_get_float(value);
}

// False when missing or not a bool.
bool BoolArg(FlValue* args, const char* key) {
  FlValue* value = LookupArg(args, key);
  return value != nullptr && fl_value_get_type(value) == FL_VALUE_TYPE_BOOL &&
         fl_value_get_bool(value);
}

// The string under key (borrowed), or nullptr when missing or not a string.
const gchar* StringArg(FlValue* args, const char* key) {
  FlValue* value = LookupArg(args, key);
  if (value == nullptr || fl_value_get_type(value) != FL_VALUE_TYPE_STRING) {
    return nullptr;
  }
  return fl_value_get_string(value);
}

FlValue* NameOrNull(const std::vector<std::string>& names) {
  return names.empty() ? fl_value_new_null()
                       : fl_value_new_string(names.front().c_str());
}

// "encoders": the first usable H.264 and AAC encoders. Only asks the
// registry, so it runs on the main thread.
void HandleEncoders(FlMethodCall* call) {
  g_autoptr(FlValue) result = fl_value_new_map();
  fl_value_set_string_take(result, "video",
                           NameOrNull(AvailableH264Encoders()));
  fl_value_set_string_take(result, "audio", NameOrNull(AvailableAacEncoders()));
  Respond(call, result);
}

// "probe" and "poster" do blocking media work. Each call gets a worker thread
// of its own that builds the reply value; the value goes back whole to the
// main loop, which sends it. The jobs never touch the plugin, so they finish
// normally even when it is disposed meanwhile.

// The work of "probe": null when the file cannot be examined.
struct ProbeWork {
  std::string path;

  FlValue* operator()() const {
    const ProbeResult probe = ProbeMedia(path);
    if (!probe.ok) {
      return fl_value_new_null();
    }
    FlValue* map = fl_value_new_map();
    fl_value_set_string_take(map, "durationMs",
                             probe.durationMs < 0
                                 ? fl_value_new_null()
                                 : fl_value_new_int(probe.durationMs));
    fl_value_set_string_take(map, "width", fl_value_new_int(probe.width));
    fl_value_set_string_take(map, "height", fl_value_new_int(probe.height));
    fl_value_set_string_take(map, "hasVideo",
                             fl_value_new_bool(probe.hasVideo));
    fl_value_set_string_take(map, "hasAudio",
                             fl_value_new_bool(probe.hasAudio));
    fl_value_set_string_take(map, "h264", fl_value_new_bool(probe.h264));
    fl_value_set_string_take(map, "aac", fl_value_new_bool(probe.aac));
    fl_value_set_string_take(map, "mp4", fl_value_new_bool(probe.mp4));
    return map;
  }

  // The answer when no worker can be started: that of an unreadable file.
  static FlValue* NotRun() { return fl_value_new_null(); }
};

// The work of "poster": whether the JPEG was written.
struct PosterWork {
  std::string path;
  std::string output;
  int32_t max_side;

  FlValue* operator()() const {
    return fl_value_new_bool(WritePoster(path, output, max_side));
  }

  static FlValue* NotRun() { return fl_value_new_bool(false); }
};

// One deferred reply. One thread at a time uses it: the main thread until
// the worker starts, the worker until it queues the completion, the main
// thread again from then on.
template <typename Work>
struct AsyncJob {
  FlMethodCall* call;  // One reference, taken and dropped on the main thread.
  Work work;           // Owns the copies of the arguments.
  FlValue* result;     // Null until the worker stores it; owned.
};

// Runs on the main thread after the work: sends the reply and frees the job.
template <typename Work>
gboolean async_job_done_cb(gpointer data) {
  auto* job = static_cast<AsyncJob<Work>*>(data);
  Respond(job->call, job->result);
  g_object_unref(job->call);
  FlValue* result = job->result;
  delete job;
  fl_value_unref(result);
  WorkEnded();
  return G_SOURCE_REMOVE;
}

// The body of a worker thread: the work, then the hand-over to the main loop.
template <typename Work>
gpointer async_job_run(gpointer data) {
  auto* job = static_cast<AsyncJob<Work>*>(data);
  job->result = job->work();
  g_idle_add(async_job_done_cb<Work>, job);
  return nullptr;
}

// Runs work on a new thread and answers call with its value later, from the
// main loop. Returns at once without replying.
template <typename Work>
void RespondAsync(FlMethodCall* call, Work work) {
  auto* job = new AsyncJob<Work>{FL_METHOD_CALL(g_object_ref(call)),
                                 std::move(work), nullptr};
  g_autoptr(GError) error = nullptr;
  GThread* thread =
      g_thread_try_new("zk-video-work", async_job_run<Work>, job, &error);
  if (thread == nullptr) {
    // Out of threads: the call is answered now, as a failed media job would
    // be, rather than never.
    g_autoptr(FlValue) value = Work::NotRun();
    Respond(job->call, value);
    g_object_unref(job->call);
    delete job;
    return;
  }
  // Ends in async_job_done_cb, which runs on this thread after this returns.
  WorkStarted();
  // Never joined: the thread's resources go when it ends.
  g_thread_unref(thread);
}

// "probe": examines the file at "path" on a worker thread.
void HandleProbe(FlMethodCall* call, FlValue* args) {
  const gchar* path = StringArg(args, "path");
  if (path == nullptr) {
    RespondError(call, "bad_args", "path is required");
    return;
  }
  RespondAsync(call, ProbeWork{path});
}

// "poster": writes the JPEG "output" of the video "path" on a worker thread.
void HandlePoster(FlMethodCall* call, FlValue* args) {
  const gchar* path = StringArg(args, "path");
  const gchar* output = StringArg(args, "output");
  if (path == nullptr || output == nullptr) {
    RespondError(call, "bad_args", "path and output are required");
    return;
  }
  // A limit beyond 32 bits means no limit in practice; clamping keeps its
  // sign, where a plain cast could turn it into 0 or a negative number.
  const int32_t max_side = ClampToInt32(IntArg(args, "maxSide", 640));
  RespondAsync(call, PosterWork{path, output, max_side});
}

void HandlePlayerCreate(ZelkoDesktopVideoPlugin* self,
                        FlMethodCall* call,
                        FlValue* args) {
  const gchar* uri = StringArg(args, "uri");
  if (uri == nullptr) {
    RespondError(call, "bad_args", "uri is required");
    return;
  }
  auto player = std::make_unique<Player>(
      fl_plugin_registrar_get_texture_registrar(self->registrar),
      fl_plugin_registrar_get_messenger(self->registrar), uri);
  if (!player->HasPipeline()) {
    RespondError(call, "no_playbin", "GStreamer has no playbin");
    return;
  }
  const int64_t id = player->Id();
  // Ids are unique among registered textures, so the entry is new; were it
  // not, the new player goes at the end of this call and is not counted.
  if (self->players->try_emplace(id, std::move(player)).second) {
    WorkStarted();
  }
  g_autoptr(FlValue) result = fl_value_new_int(id);
  Respond(call, result);
}

// Methods addressed to a live player.
void HandlePlayerMethod(ZelkoDesktopVideoPlugin* self,
                        FlMethodCall* call,
                        FlValue* args,
                        const gchar* name,
                        PlayerMap::iterator entry) {
  Player* player = entry->second.get();
  if (strcmp(name, "playerPlay") == 0) {
    player->Play();
  } else if (strcmp(name, "playerPause") == 0) {
    player->Pause();
  } else if (strcmp(name, "playerVolume") == 0) {
    player->SetVolume(DoubleArg(args, "volume", 1.0));
  } else if (strcmp(name, "playerLooping") == 0) {
    player->SetLooping(BoolArg(args, "looping"));
  } else if (strcmp(name, "playerSeek") == 0) {
    player->Seek(IntArg(args, "ms", 0));
  } else if (strcmp(name, "playerPosition") == 0) {
    g_autoptr(FlValue) result = fl_value_new_int(player->PositionMs());
    Respond(call, result);
    return;
  } else if (strcmp(name, "playerDispose") == 0) {
    self->players->erase(entry);
    WorkEnded();
  } else {
    RespondNotImplemented(call);
    return;
  }
  RespondNull(call);
}

// ---------------------------------------------------------------------------
// Compression jobs: one at a time, answered when they end, with progress on
// "zelko_desktop_video/compress" while someone listens.

// Calls whose job went with the plugin, kept for the rest of the process:
// released unanswered, the engine would answer them itself (or complain).
std::vector<FlMethodCall*>* g_unanswered_calls = nullptr;

// The "compress" call that a job answers when it ends.
class CompressCall {
 public:
  explicit CompressCall(FlMethodCall* call)
      : call_(FL_METHOD_CALL(g_object_ref(call))) {}
  ~CompressCall() {
    if (call_ == nullptr) {
      return;
    }
    if (g_unanswered_calls == nullptr) {
      g_unanswered_calls = new std::vector<FlMethodCall*>();
    }
    g_unanswered_calls->push_back(call_);
  }
  CompressCall(const CompressCall&) = delete;
  CompressCall& operator=(const CompressCall&) = delete;

  void Answer(bool ok, bool cancelled) {
    g_autoptr(FlValue) result = fl_value_new_map();
    fl_value_set_string_take(result, "ok", fl_value_new_bool(ok));
    fl_value_set_string_take(result, "cancelled", fl_value_new_bool(cancelled));
    Respond(call_, result);
    g_clear_object(&call_);
  }

 private:
  FlMethodCall* call_;  // One reference until answered.
};

// Runs on the main loop after a job has answered: the job goes.
gboolean compress_cleanup_cb(gpointer data) {
  auto* self = ZELKO_DESKTOP_VIDEO_PLUGIN(data);
  if (self->transcoder != nullptr) {
    std::unique_ptr<Transcoder> finished = std::move(*self->transcoder);
    if (finished != nullptr) {
      WorkEnded();
    }
  }
  g_object_unref(self);
  return G_SOURCE_REMOVE;
}

// A job's progress, on the main thread; lost when nobody listens.
void SendCompressProgress(ZelkoDesktopVideoPlugin* self, double fraction) {
  if (!self->compress_listening) {
    return;
  }
  g_autoptr(FlValue) value = fl_value_new_float(fraction);
  fl_event_channel_send(self->compress_channel, value, nullptr, nullptr);
}

// "compress": starts the compression job; answered when the job ends, which
// may be before this returns.
void HandleCompress(ZelkoDesktopVideoPlugin* self,
                    FlMethodCall* call,
                    FlValue* args) {
  if (*self->transcoder != nullptr) {
    RespondError(call, "busy", "already compressing");
    return;
  }
  const gchar* input = StringArg(args, "input");
  const gchar* output = StringArg(args, "output");
  if (input == nullptr || output == nullptr) {
    RespondError(call, "bad_args", "input and output are required");
    return;
  }
  auto pending = std::make_shared<CompressCall>(call);
  // Sizes and bitrates keep their low 32 bits.
  const auto width = static_cast<int32_t>(IntArg(args, "width", 0));
  const auto height = static_cast<int32_t>(IntArg(args, "height", 0));
  const auto video_kbps = static_cast<int32_t>(IntArg(args, "videoKbps", 3500));
  const auto audio_kbps = static_cast<int32_t>(IntArg(args, "audioKbps", 128));
  const int64_t duration_ms = IntArg(args, "durationMs", 0);
  const bool has_audio = BoolArg(args, "hasAudio");
  // Neither callback holds the plugin: it owns the job, which never calls
  // them once destroyed.
  auto on_progress = [self](double fraction) {
    SendCompressProgress(self, fraction);
  };
  auto on_done = [self, pending](bool ok, bool cancelled) {
    pending->Answer(ok, cancelled);
    g_idle_add(compress_cleanup_cb, g_object_ref(self));
  };
  WorkStarted();
  *self->transcoder = std::make_unique<Transcoder>(
      input, output, width, height, video_kbps, audio_kbps, duration_ms,
      has_audio, std::move(on_progress), std::move(on_done));
  (*self->transcoder)->Start();
}

// "compressCancel": the running job, if any, answers its call as cancelled
// before this call is answered.
void HandleCompressCancel(ZelkoDesktopVideoPlugin* self, FlMethodCall* call) {
  if (*self->transcoder != nullptr) {
    (*self->transcoder)->Cancel();
  }
  RespondNull(call);
}

void HandleMethodCall(ZelkoDesktopVideoPlugin* self, FlMethodCall* call) {
  const gchar* name = fl_method_call_get_name(call);
  FlValue* args = fl_method_call_get_args(call);

  if (strcmp(name, "encoders") == 0) {
    HandleEncoders(call);
    return;
  }
  if (strcmp(name, "probe") == 0) {
    HandleProbe(call, args);
    return;
  }
  if (strcmp(name, "poster") == 0) {
    HandlePoster(call, args);
    return;
  }
  if (strcmp(name, "compress") == 0) {
    HandleCompress(self, call, args);
    return;
  }
  if (strcmp(name, "compressCancel") == 0) {
    HandleCompressCancel(self, call);
    return;
  }
  if (strcmp(name, "playerCreate") == 0) {
    HandlePlayerCreate(self, call, args);
    return;
  }

  const int64_t id = IntArg(args, "id", -1);
  auto entry = self->players->find(id);
  if (entry != self->players->end()) {
    HandlePlayerMethod(self, call, args, name, entry);
    return;
  }
  // A player method for a player that is gone (or never was) has nothing to
  // do and succeeds.
  if (g_str_has_prefix(name, "player")) {
    RespondNull(call);
    return;
  }
  RespondNotImplemented(call);
}

// Every call on "zelko_desktop_video" arrives here, on the main thread.
void method_call_cb(FlMethodChannel* channel,
                    FlMethodCall* call,
                    gpointer user_data) {
  (void)channel;
  HandleMethodCall(ZELKO_DESKTOP_VIDEO_PLUGIN(user_data), call);
}

// Called when the Dart side listens to the compression progress.
FlMethodErrorResponse* OnCompressListen(FlEventChannel* channel,
                                        FlValue* args,
                                        gpointer user_data) {
  (void)channel;
  (void)args;
  ZELKO_DESKTOP_VIDEO_PLUGIN(user_data)->compress_listening = true;
  return nullptr;
}

// Called when the Dart side stops listening to the compression progress.
FlMethodErrorResponse* OnCompressCancel(FlEventChannel* channel,
                                        FlValue* args,
                                        gpointer user_data) {
  (void)channel;
  (void)args;
  ZELKO_DESKTOP_VIDEO_PLUGIN(user_data)->compress_listening = false;
  return nullptr;
}

}  // namespace

static void zelko_desktop_video_plugin_dispose(GObject* object) {
  ZelkoDesktopVideoPlugin* self = ZELKO_DESKTOP_VIDEO_PLUGIN(object);
  // Players first: each unregisters its texture and drops its channel.
  if (self->players != nullptr && !self->players->empty()) {
    WorkEnded(static_cast<int>(self->players->size()));
  }
  delete self->players;
  self->players = nullptr;
  // A running job goes without its done callback: its call gets no reply.
  if (self->transcoder != nullptr && *self->transcoder != nullptr) {
    WorkEnded();
  }
  delete self->transcoder;
  self->transcoder = nullptr;
  // The engine is shutting down, and the process may end next: the players'
  // pipelines stop before the channels and the registrar go.
  MediaQueueDrain();
  g_clear_object(&self->compress_channel);
  g_clear_object(&self->registrar);
  G_OBJECT_CLASS(zelko_desktop_video_plugin_parent_class)->dispose(object);
}

static void zelko_desktop_video_plugin_class_init(
    ZelkoDesktopVideoPluginClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = zelko_desktop_video_plugin_dispose;
}

static void zelko_desktop_video_plugin_init(ZelkoDesktopVideoPlugin* self) {
  self->players = new PlayerMap();
  self->transcoder = new std::unique_ptr<Transcoder>();
}

bool UserSetsMallocParameter(const char* tunables,
                             const char* name,
                             const char* variable) {
  if (variable != nullptr) {
    return true;
  }
  if (tunables == nullptr) {
    return false;
  }
  g_autofree gchar* tunable = g_strconcat("glibc.malloc.", name, nullptr);
  const size_t length = strlen(tunable);
  // "name=value:name=value...".
  g_auto(GStrv) entries = g_strsplit(tunables, ":", -1);
  for (gchar** entry = entries; *entry != nullptr; ++entry) {
    if (strncmp(*entry, tunable, length) == 0 && (*entry)[length] == '=') {
      return true;
    }
  }
  return false;
}

int zelko_desktop_video_plugin_live_work() {
  return g_live_work;
}

ZelkoDesktopVideoPlugin* zelko_desktop_video_plugin_new(
    FlPluginRegistrar* registrar) {
  // Without GStreamer registration still goes on; each method then fails on
  // its own terms.
  gst_init_check(nullptr, nullptr, nullptr);

  ZelkoDesktopVideoPlugin* self = ZELKO_DESKTOP_VIDEO_PLUGIN(
      g_object_new(zelko_desktop_video_plugin_get_type(), nullptr));
  self->registrar = FL_PLUGIN_REGISTRAR(g_object_ref(registrar));

  FlBinaryMessenger* messenger = fl_plugin_registrar_get_messenger(registrar);
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  g_autoptr(FlMethodChannel) channel =
      fl_method_channel_new(messenger, kChannelName, FL_METHOD_CODEC(codec));
  fl_method_channel_set_method_call_handler(channel, method_call_cb,
                                            g_object_ref(self), g_object_unref);

  self->compress_channel = fl_event_channel_new(messenger, kCompressChannelName,
                                                FL_METHOD_CODEC(codec));
  fl_event_channel_set_stream_handlers(self->compress_channel, OnCompressListen,
                                       OnCompressCancel, g_object_ref(self),
                                       g_object_unref);
  return self;
}

Player* zelko_desktop_video_plugin_lookup_player(ZelkoDesktopVideoPlugin* self,
                                                 int64_t id) {
  if (self->players == nullptr) {
    return nullptr;
  }
  auto entry = self->players->find(id);
  return entry != self->players->end() ? entry->second.get() : nullptr;
}

void zelko_desktop_video_plugin_register_with_registrar(
    FlPluginRegistrar* registrar) {
  G_GNUC_UNUSED g_autoptr(ZelkoDesktopVideoPlugin) plugin =
      zelko_desktop_video_plugin_new(registrar);
}
