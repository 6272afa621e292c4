// Copyright 2026 The Zelkoz Authors. All rights reserved.
//
// The video plugin's channels from a hostile Dart side. Each input is a short
// run against a freshly registered plugin: method calls on
// "zelko_desktop_video" with any name and any arguments (every type, nested,
// wrong types for every key), raw bytes, listens and cancels on the event
// channels, texture reads from the engine's side, and main-loop turns in
// between. At the end of a run every call has been answered exactly once
// (the deferred answers of "probe", "poster" and "compress" included), the
// input video is unchanged, no failed or cancelled compression left its
// output behind, every event decodes, and once the engine shuts down the
// plugin and every texture it registered are gone.
//
// Paths are never the input's own: a "path", "input", "output" or "uri"
// string is replaced by one of a few files and folders of a scratch folder,
// so nothing outside it is read from or written to.
#include <flutter_linux/flutter_linux.h>
#include <glib/gstdio.h>
#include <gst/gst.h>

#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fl_fake_plugin_registrar.h"
#include "fl_fake_texture_registrar.h"
#include "fuzz_support.h"
#include "transcoder.h"
#include "zelko_desktop_video_plugin_private.h"

namespace {

using zk_fuzz::Fail;

constexpr char kChannel[] = "zelko_desktop_video";
constexpr char kCompressChannel[] = "zelko_desktop_video/compress";
constexpr char kEventChannelPrefix[] = "zelko_desktop_video/events_";
// Longer than any time-out of the plugin's own (the poster's is about 35 s).
constexpr guint kReplyTimeoutMs = 60000;
constexpr guint kShutdownTimeoutMs = 10000;
constexpr int kMaxOperations = 12;
// The first texture id the fake registrar hands out, and the next ones.
constexpr int64_t kFirstTextureId = (INT64_C(1) << 32) + 7;

const std::vector<std::string> kMethods = {
    "encoders",       "probe",        "poster",       "compress",
    "compressCancel", "playerCreate", "playerPlay",   "playerPause",
    "playerVolume",   "playerLooping", "playerSeek",  "playerPosition",
    "playerDispose"};

const std::vector<std::string> kKeys = {
    "path",      "output",    "maxSide",    "uri",       "id",
    "volume",    "looping",   "ms",         "input",     "width",
    "height",    "videoKbps", "audioKbps",  "durationMs", "hasAudio"};

// The scratch folder and the files in it.
struct Media {
  std::string dir;
  std::string out_dir;  // Emptied after every run.
  std::string clip;     // Video and audio; must never change.
  std::string clip_bytes;
  std::string link;  // In out_dir, to the clip.
  std::string odd;   // A link to the clip with a name hard to quote.
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
  std::vector<std::string> uris;
  // Outputs that do not exist before a run.
  std::set<std::string> fresh_outputs;
};

Media* g_media = nullptr;

std::string Child(const std::string& dir, const char* name) {
  g_autofree gchar* path = g_build_filename(dir.c_str(), name, nullptr);
  return path;
}

std::string Uri(const std::string& path) {
  g_autofree gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
  return uri != nullptr ? uri : "";
}

// The AAC encoder the plugin would use first, or "".
std::string AacEncoder() {
  const std::vector<std::string> found = AvailableAacEncoders();
  return found.empty() ? "" : found.front();
}

// Runs a gst-launch style description to its end.
void RunPipeline(const std::string& description) {
  g_autoptr(GError) error = nullptr;
  GstElement* parsed = gst_parse_launch(description.c_str(), &error);
  if (parsed == nullptr) {
    Fail("cannot make the test media: %s", error->message);
  }
  g_autoptr(GstElement) pipeline = GST_ELEMENT(gst_object_ref_sink(parsed));
  g_autoptr(GstBus) bus = gst_element_get_bus(pipeline);
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  g_autoptr(GstMessage) message = gst_bus_timed_pop_filtered(
      bus, 60 * GST_SECOND,
      static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  gst_element_set_state(pipeline, GST_STATE_NULL);
  if (message == nullptr || GST_MESSAGE_TYPE(message) != GST_MESSAGE_EOS) {
    Fail("cannot make the test media: %s", description.c_str());
  }
}

void MakeMedia() {
  auto* media = new Media();
  media->dir = zk_fuzz::MakeScratchDir("video");
  media->out_dir = Child(media->dir, "out");
  g_mkdir(media->out_dir.c_str(), 0700);

  const std::string aac = AacEncoder();
  if (aac.empty()) {
    Fail("no AAC encoder for the test media");
  }
  media->clip = Child(media->dir, "clip.mp4");
  RunPipeline(
      "videotestsrc num-buffers=6 ! video/x-raw,format=I420,width=64,"
      "height=48,framerate=30/1 ! x264enc threads=1 key-int-max=3 ! "
      "mp4mux name=mux ! filesink location=\"" +
      media->clip +
      "\" audiotestsrc num-buffers=10 samplesperbuffer=960 ! "
      "audio/x-raw,rate=48000,channels=2 ! audioconvert ! " +
      aac + " ! mux.");
  const std::string silent = Child(media->dir, "silent.mp4");
  RunPipeline(
      "videotestsrc num-buffers=4 pattern=ball ! video/x-raw,format=I420,"
      "width=32,height=32,framerate=15/1 ! x264enc threads=1 ! mp4mux ! "
      "filesink location=\"" +
      silent + "\"");
  const std::string audio = Child(media->dir, "audio.wav");
  RunPipeline("audiotestsrc num-buffers=4 ! wavenc ! filesink location=\"" +
              audio + "\"");
  media->clip_bytes = zk_fuzz::ReadFile(media->clip);

  const std::string text = Child(media->dir, "text.mp4");
  g_file_set_contents(text.c_str(), "not a video\n", -1, nullptr);
  const std::string empty = Child(media->dir, "empty.mp4");
  g_file_set_contents(empty.c_str(), "", 0, nullptr);
  // A name that must survive every layer of quoting.
  const std::string odd = Child(media->dir, "odd \"name\" 'q' !$`\\ \xc3\xbc.mp4");
  symlink(media->clip.c_str(), odd.c_str());
  media->odd = odd;
  const std::string missing = Child(media->dir, "missing.mp4");

  media->inputs = {media->clip, silent,        audio,      text,
                   empty,       odd,           missing,    media->dir,
                   "",          "clip.mp4",    "relative/clip.mp4"};
  const std::string poster = Child(media->out_dir, "poster.jpg");
  const std::string out = Child(media->out_dir, "out.mp4");
  const std::string link = Child(media->out_dir, "link-to-clip.mp4");
  media->link = link;
  media->outputs = {poster,
                    out,
                    Child(media->out_dir, "no-such-folder/out.mp4"),
                    media->out_dir,
                    media->clip,
                    link,
                    ""};
  media->fresh_outputs = {poster, out};
  media->uris = {Uri(media->clip),
                 Uri(silent),
                 Uri(audio),
                 Uri(text),
                 Uri(empty),
                 Uri(odd),
                 Uri(missing),
                 Uri(media->dir),
                 "",
                 "clip.mp4",
                 "zkbogus://nothing/here"};
  g_media = media;
}

// A path-like string of the arguments, replaced by one of the allowed
// choices (kept when it is one already).
void Confine(FlValue* args,
             const char* key,
             const std::vector<std::string>& choices) {
  FlValue* value = fl_value_lookup_string(args, key);
  if (value == nullptr || fl_value_get_type(value) != FL_VALUE_TYPE_STRING) {
    return;
  }
  const std::string text = fl_value_get_string(value);
  for (const std::string& choice : choices) {
    if (text == choice) {
      return;
    }
  }
  const std::string& choice = choices[g_str_hash(text.c_str()) % choices.size()];
  fl_value_set_string_take(args, key, fl_value_new_string(choice.c_str()));
}

void ConfinePaths(FlValue* args) {
  if (args == nullptr || fl_value_get_type(args) != FL_VALUE_TYPE_MAP) {
    return;
  }
  Confine(args, "path", g_media->inputs);
  Confine(args, "input", g_media->inputs);
  Confine(args, "output", g_media->outputs);
  Confine(args, "uri", g_media->uris);
}

bool IsListed(const std::string& name) {
  for (const std::string& method : kMethods) {
    if (name == method) {
      return true;
    }
  }
  return false;
}

std::string StringArg(FlValue* args, const char* key) {
  if (args == nullptr || fl_value_get_type(args) != FL_VALUE_TYPE_MAP) {
    return "";
  }
  FlValue* value = fl_value_lookup_string(args, key);
  if (value == nullptr || fl_value_get_type(value) != FL_VALUE_TYPE_STRING) {
    return "";
  }
  return fl_value_get_string(value);
}

// One call in flight and what its answer must look like.
struct SentCall {
  guint64 ticket;
  std::string method;
  std::string input;   // "poster" and "compress": what they read
  std::string output;  // and where they write.
};

// With ZK_FUZZ_VERBOSE=1, each call (as sent, below) and its answer.
void Trace(const std::string& method, FlMethodResponse* response) {
  if (g_strcmp0(g_getenv("ZK_FUZZ_VERBOSE"), "1") != 0) {
    return;
  }
  g_autofree gchar* text = nullptr;
  if (FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
    FlValue* result = fl_method_success_response_get_result(
        FL_METHOD_SUCCESS_RESPONSE(response));
    text = result != nullptr ? fl_value_to_string(result) : g_strdup("null");
  } else if (FL_IS_METHOD_ERROR_RESPONSE(response)) {
    text = g_strdup_printf("error %s", fl_method_error_response_get_code(
                                           FL_METHOD_ERROR_RESPONSE(response)));
  } else {
    text = g_strdup("not implemented");
  }
  fprintf(stderr, "call %s -> %s\n", method.c_str(), text);
}

class Run {
 public:
  Run() {
    textures_ = fl_fake_texture_registrar_new();
    registrar_ = fl_fake_plugin_registrar_new(messenger_.messenger(),
                                              FL_TEXTURE_REGISTRAR(textures_));
    ZelkoDesktopVideoPlugin* plugin = zelko_desktop_video_plugin_new(registrar_);
    plugin_ = plugin;
    g_object_add_weak_pointer(G_OBJECT(plugin), &plugin_);
    g_object_unref(plugin);
    // Ids the next players will get, so that calls can name them.
    for (int64_t i = 0; i < 4; i++) {
      context_.ints.push_back(kFirstTextureId + i);
    }
    context_.keys = kKeys;
    for (const auto* list :
         {&g_media->inputs, &g_media->outputs, &g_media->uris}) {
      context_.strings.insert(context_.strings.end(), list->begin(),
                              list->end());
    }
  }

  ~Run() {
    if (plugin_ != nullptr) {
      g_object_remove_weak_pointer(G_OBJECT(plugin_), &plugin_);
    }
    for (auto& entry : replies_) {
      g_object_unref(entry.second);
    }
    g_object_unref(registrar_);
    g_object_unref(textures_);
  }

  void Execute(zk_fuzz::Input* in) {
    for (int i = 0; i < kMaxOperations && !in->empty(); i++) {
      switch (in->Below(10)) {
        case 0:
        case 1:
        case 2:
        case 3:
        case 4:
          CallMethod(in);
          break;
        case 5:
          ListenOrCancel(in);
          break;
        case 6:
          SendRaw(in);
          break;
        case 7:
          ReadTexture(in);
          break;
        case 8: {
          // Lets deferred work go on for a while.
          const guint ms = in->Below(100);
          zk_fuzz::RunLoopUntil([] { return false; }, ms);
          break;
        }
        default:
          messenger_.WaitAllReplied(kReplyTimeoutMs);
          break;
      }
      zk_fuzz::DrainLoop();
      CollectIds();
    }
  }

  void Finish() {
    // A job still running ends as cancelled, which answers its call.
    g_autoptr(FlValue) no_args = fl_value_new_null();
    sent_.push_back({messenger_.Call(kChannel, "compressCancel", no_args),
                     "compressCancel", "", ""});
    if (!messenger_.WaitAllReplied(kReplyTimeoutMs)) {
      const zk_fuzz::CallRecord* record = messenger_.Unanswered();
      Fail("no reply within %u ms to \"%s\"", kReplyTimeoutMs,
           record != nullptr ? record->method.c_str() : "?");
    }
    zk_fuzz::DrainLoop();
    messenger_.CheckAllAnswered("end of run");
    CheckReplies();
    CheckEvents();
    CheckFiles();

    messenger_.Shutdown();
    // Job clean-ups and frame notices hold the plugin or textures until they
    // have run.
    if (!zk_fuzz::RunLoopUntil([this] { return plugin_ == nullptr; },
                               kShutdownTimeoutMs)) {
      Fail("the plugin object outlives the engine's shutdown");
    }
    zk_fuzz::DrainLoop();
    const guint left =
        fl_fake_texture_registrar_get_registered_count(textures_);
    if (left != 0) {
      Fail("%u textures stay registered after the plugin went", left);
    }
  }

 private:
  void CallMethod(zk_fuzz::Input* in) {
    const std::string name = zk_fuzz::GenerateName(in, kMethods);
    g_autoptr(FlValue) args = zk_fuzz::GenerateArgs(in, context_);
    SendCall(name, args);
  }

  // A call on the method channel, its paths confined first.
  void SendCall(const std::string& name, FlValue* args) {
    ConfinePaths(args);
    SentCall call{0, name, "", ""};
    if (name == "poster") {
      call.input = StringArg(args, "path");
      call.output = StringArg(args, "output");
    } else if (name == "compress") {
      call.input = StringArg(args, "input");
      call.output = StringArg(args, "output");
    }
    if (g_strcmp0(g_getenv("ZK_FUZZ_VERBOSE"), "1") == 0) {
      g_autofree gchar* text =
          args != nullptr ? fl_value_to_string(args) : g_strdup("null");
      fprintf(stderr, "send %s %s\n", name.c_str(), text);
    }
    call.ticket = messenger_.Call(kChannel, name, args);
    sent_.push_back(call);
  }

  // Bytes as they come; a message that decodes as a call goes as that call
  // with its paths confined like every other.
  void SendRaw(zk_fuzz::Input* in) {
    const char* channel = in->Bool() ? kChannel : kCompressChannel;
    const std::string bytes = in->Bytes(64);
    g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
    g_autoptr(GBytes) message = g_bytes_new(bytes.data(), bytes.size());
    g_autofree gchar* name = nullptr;
    g_autoptr(FlValue) args = nullptr;
    if (FL_METHOD_CODEC_GET_CLASS(codec)->decode_method_call(
            FL_METHOD_CODEC(codec), message, &name, &args, nullptr)) {
      if (strcmp(channel, kChannel) == 0) {
        SendCall(name, args);
      } else {
        messenger_.Call(channel, name, args);
      }
      return;
    }
    messenger_.SendRaw(channel, bytes);
  }

  void ListenOrCancel(zk_fuzz::Input* in) {
    std::string channel = kCompressChannel;
    if (in->Bool()) {
      const int64_t id = context_.ints[in->Below(context_.ints.size())];
      channel = kEventChannelPrefix + std::to_string(id);
      event_channels_.insert(channel);
    }
    const std::string method =
        zk_fuzz::GenerateName(in, {"listen", "cancel"});
    g_autoptr(FlValue) args =
        in->Bool() ? zk_fuzz::GenerateValue(in, context_, 2) : nullptr;
    messenger_.Call(channel.c_str(), method, args);
  }

  // Reads a texture the way the engine does, on a thread of its own.
  void ReadTexture(zk_fuzz::Input* in) {
    const int64_t id = context_.ints[in->Below(context_.ints.size())];
    g_autoptr(GBytes) pixels = nullptr;
    uint32_t width = 0;
    uint32_t height = 0;
    if (!fl_fake_texture_registrar_read_pixels(textures_, id, &pixels, &width,
                                               &height)) {
      return;
    }
    if (width == 0 || height == 0) {
      Fail("a texture hands out a %ux%u picture", width, height);
    }
  }

  // Learns the ids of new players from the answers of "playerCreate".
  void CollectIds() {
    for (SentCall& call : sent_) {
      if (call.method != "playerCreate" || call.ticket == 0) {
        continue;
      }
      if (fl_fake_messenger_get_reply_count(messenger_.fake(), call.ticket) ==
          0) {
        continue;
      }
      g_autoptr(FlMethodResponse) response = messenger_.Reply(call.ticket);
      replies_[call.ticket] = FL_METHOD_RESPONSE(g_object_ref(response));
      if (FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
        FlValue* result = fl_method_success_response_get_result(
            FL_METHOD_SUCCESS_RESPONSE(response));
        if (result == nullptr || fl_value_get_type(result) != FL_VALUE_TYPE_INT) {
          Fail("\"playerCreate\" succeeded without an id");
        }
        context_.ints.push_back(fl_value_get_int(result));
      }
      call.ticket = 0;  // Taken.
    }
  }

  FlMethodResponse* TakeReply(guint64 ticket) {
    auto it = replies_.find(ticket);
    if (it != replies_.end()) {
      FlMethodResponse* response = it->second;
      replies_.erase(it);
      return response;
    }
    return messenger_.Reply(ticket);
  }

  // The answer of every call has the shape its method promises.
  void CheckReplies() {
    std::set<std::string> written;
    std::vector<std::string> failed_outputs;
    for (const SentCall& call : sent_) {
      if (call.ticket == 0) {
        continue;
      }
      g_autoptr(FlMethodResponse) response = TakeReply(call.ticket);
      if (response == nullptr) {
        Fail("the reply to \"%s\" went missing", call.method.c_str());
      }
      Trace(call.method, response);
      const bool listed = IsListed(call.method);
      const bool not_implemented =
          FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(response);
      if (listed && not_implemented) {
        Fail("\"%s\" was answered as not implemented", call.method.c_str());
      }
      if (!listed && !g_str_has_prefix(call.method.c_str(), "player") &&
          !not_implemented) {
        Fail("the unknown method \"%s\" was answered", call.method.c_str());
      }
      if (!call.output.empty()) {
        written.insert(call.output);
      }
      if (call.method == "compress" &&
          FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
        FlValue* result = fl_method_success_response_get_result(
            FL_METHOD_SUCCESS_RESPONSE(response));
        FlValue* ok = result != nullptr &&
                              fl_value_get_type(result) == FL_VALUE_TYPE_MAP
                          ? fl_value_lookup_string(result, "ok")
                          : nullptr;
        if (ok == nullptr || fl_value_get_type(ok) != FL_VALUE_TYPE_BOOL) {
          Fail("\"compress\" answered without \"ok\"");
        }
        if (!fl_value_get_bool(ok)) {
          failed_outputs.push_back(call.output);
        }
      }
    }
    // An output that only a failed or cancelled job wrote must be gone;
    // where other calls wrote too, the survivor may be theirs.
    for (const std::string& output : failed_outputs) {
      if (g_media->fresh_outputs.count(output) == 0) {
        continue;
      }
      int writers = 0;
      for (const SentCall& call : sent_) {
        writers += call.output == output ? 1 : 0;
      }
      if (writers == 1 && g_file_test(output.c_str(), G_FILE_TEST_EXISTS)) {
        Fail("a failed or cancelled compression left %s behind",
             output.c_str());
      }
    }
  }

  void CheckEventList(const std::string& channel, bool progress) {
    g_autoptr(FlValue) events =
        fl_fake_messenger_decode_events(messenger_.fake(), channel.c_str());
    for (size_t i = 0; i < fl_value_get_length(events); i++) {
      FlValue* entry = fl_value_get_list_value(events, i);
      if (fl_value_lookup_string(entry, "undecodable") != nullptr) {
        Fail("an event on %s does not decode", channel.c_str());
      }
      if (!progress) {
        continue;
      }
      FlValue* event = fl_value_lookup_string(entry, "event");
      if (event == nullptr || fl_value_get_type(event) != FL_VALUE_TYPE_FLOAT ||
          !(fl_value_get_float(event) >= 0.0 &&
            fl_value_get_float(event) <= 1.0)) {
        g_autofree gchar* text = fl_value_to_string(entry);
        Fail("a progress event is not a fraction: %s", text);
      }
    }
  }

  void CheckEvents() {
    CheckEventList(kCompressChannel, true);
    for (const std::string& channel : event_channels_) {
      CheckEventList(channel, false);
    }
  }

  // The clip changes only when a call asked for a file of another video to
  // be written over it; a call that reads it never writes over it.
  void CheckFiles() {
    auto names_clip = [](const std::string& path, bool as_output) {
      return path == g_media->clip ||
             path == (as_output ? g_media->link : g_media->odd);
    };
    for (const SentCall& call : sent_) {
      if (names_clip(call.output, true) && !names_clip(call.input, false)) {
        return;
      }
    }
    if (zk_fuzz::ReadFile(g_media->clip) != g_media->clip_bytes) {
      Fail("the input video %s was changed", g_media->clip.c_str());
    }
  }

  zk_fuzz::CheckedMessenger messenger_;
  FlFakeTextureRegistrar* textures_ = nullptr;
  FlPluginRegistrar* registrar_ = nullptr;
  gpointer plugin_ = nullptr;  // Weak.
  zk_fuzz::ValueContext context_;
  std::vector<SentCall> sent_;
  std::map<guint64, FlMethodResponse*> replies_;  // Owned; taken early.
  std::set<std::string> event_channels_;
};

// Every run starts from the same files: the clip as made (after a finding
// it may not be) and, in the emptied output folder, the link to it.
void RestoreMedia() {
  if (zk_fuzz::ReadFile(g_media->clip) != g_media->clip_bytes) {
    g_file_set_contents(g_media->clip.c_str(), g_media->clip_bytes.data(),
                        g_media->clip_bytes.size(), nullptr);
  }
  zk_fuzz::RemoveFilesIn(g_media->out_dir);
  symlink(g_media->clip.c_str(), g_media->link.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  zk_fuzz::InitEnvironment(true);
  MakeMedia();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RestoreMedia();
  zk_fuzz::Input in(data, size);
  Run run;
  run.Execute(&in);
  run.Finish();
  return 0;
}
