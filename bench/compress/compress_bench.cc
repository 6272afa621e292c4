// Copyright 2026 The Zelkoz Authors. All rights reserved.
//
// One compression job (a 1080p clip to 1280x720 H.264 at 3500 kbit/s with
// AAC 128 kbit/s) three ways, in one run and taking turns, so that their
// ratios hold even when the machine's speed drifts:
// - through the plugin, in this process: "compress" on a fake messenger,
//   progress listened to, the reply awaited on the main loop;
// - gst-launch-1.0 with the job's own pipeline description;
// - ffmpeg with libx264 at the same settings.
// Prints frames per second of each, the ratios and their targets, and how
// much of the main thread the plugin's job took. Asserts nothing.
#include <flutter_linux/flutter_linux.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <gst/gst.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fl_fake_messenger.h"
#include "fl_fake_plugin_registrar.h"
#include "zelko_desktop_video_plugin_private.h"

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kVideoKbps = 3500;
constexpr int kAudioKbps = 128;

constexpr GSpawnFlags kQuiet =
    static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDERR_TO_DEV_NULL);
constexpr GSpawnFlags kNoOutput =
    static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL);

struct Run {
  double seconds = 0;
  int frames = 0;
  double main_thread_ms = 0;  // The plugin only.
  int progress_events = 0;    // The plugin only.
  bool ok = false;
  std::string profile;
  double Fps() const { return seconds > 0 ? frames / seconds : 0; }
};

double Now() {
  return g_get_monotonic_time() / 1e6;
}

double ThreadCpuMs() {
  struct rusage usage;
  getrusage(RUSAGE_THREAD, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// The video frames and H.264 profile of an output file, through ffprobe;
// 0 frames when unreadable.
int CountFrames(const std::string& path, std::string* profile) {
  const gchar* argv[] = {"ffprobe",       "-v",
                         "error",         "-select_streams",
                         "v:0",           "-count_packets",
                         "-show_entries", "stream=profile,nb_read_packets",
                         "-of",           "csv=p=0",
                         path.c_str(),    nullptr};
  g_autofree gchar* out = nullptr;
  gint status = 0;
  if (!g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr, kQuiet,
                    nullptr, nullptr, &out, nullptr, &status, nullptr) ||
      !g_spawn_check_wait_status(status, nullptr)) {
    return 0;
  }
  // "High,300"
  g_auto(GStrv) fields = g_strsplit(g_strstrip(out), ",", 2);
  if (g_strv_length(fields) != 2) {
    return 0;
  }
  *profile = fields[0];
  return atoi(fields[1]);
}

// Runs a command to its end; whether it succeeded.
bool RunCommand(const std::vector<std::string>& args) {
  std::vector<gchar*> argv;
  for (const std::string& arg : args) {
    argv.push_back(const_cast<gchar*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  g_autofree gchar* err = nullptr;
  gint status = 0;
  if (!g_spawn_sync(nullptr, argv.data(), nullptr, kNoOutput, nullptr, nullptr,
                    nullptr, &err, &status, nullptr) ||
      !g_spawn_check_wait_status(status, nullptr)) {
    fprintf(stderr, "%s failed: %s\n", args[0].c_str(), err ? err : "");
    return false;
  }
  return true;
}

Run ThroughPlugin(const std::string& input,
                  const std::string& output,
                  int64_t duration_ms) {
  g_autoptr(FlFakeMessenger) messenger = fl_fake_messenger_new();
  g_autoptr(FlPluginRegistrar) registrar =
      fl_fake_plugin_registrar_new(FL_BINARY_MESSENGER(messenger), nullptr);
  g_autoptr(ZelkoDesktopVideoPlugin) plugin =
      zelko_desktop_video_plugin_new(registrar);
  g_autoptr(FlMethodResponse) listened =
      fl_fake_messenger_invoke_standard_method(
          messenger, "zelko_desktop_video/compress", "listen", nullptr);

  g_autoptr(FlValue) args = fl_value_new_map();
  fl_value_set_string_take(args, "input", fl_value_new_string(input.c_str()));
  fl_value_set_string_take(args, "output", fl_value_new_string(output.c_str()));
  fl_value_set_string_take(args, "width", fl_value_new_int(kWidth));
  fl_value_set_string_take(args, "height", fl_value_new_int(kHeight));
  fl_value_set_string_take(args, "videoKbps", fl_value_new_int(kVideoKbps));
  fl_value_set_string_take(args, "audioKbps", fl_value_new_int(kAudioKbps));
  fl_value_set_string_take(args, "durationMs", fl_value_new_int(duration_ms));
  fl_value_set_string_take(args, "hasAudio", fl_value_new_bool(true));

  Run run;
  const double cpu_start = ThreadCpuMs();
  const double start = Now();
  const guint64 ticket = fl_fake_messenger_begin_standard_method(
      messenger, "zelko_desktop_video", "compress", args);
  g_autoptr(FlMethodResponse) response =
      fl_fake_messenger_finish_standard_method(messenger, ticket, 600000);
  run.seconds = Now() - start;
  run.main_thread_ms = ThreadCpuMs() - cpu_start;
  if (response != nullptr && FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
    FlValue* ok =
        fl_value_lookup_string(fl_method_success_response_get_result(
                                   FL_METHOD_SUCCESS_RESPONSE(response)),
                               "ok");
    run.ok = ok != nullptr && fl_value_get_bool(ok);
  }
  run.progress_events = fl_fake_messenger_get_message_count(
      messenger, "zelko_desktop_video/compress");
  // Lets the finished job's clean-up run, then the engine goes.
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
  g_clear_object(&plugin);
  fl_fake_messenger_shutdown(messenger);
  run.frames = run.ok ? CountFrames(output, &run.profile) : 0;
  return run;
}

// The job's pipeline as one launch line: the video branch that the plugin
// builds for x264enc, the audio branch for avenc_aac.
Run ThroughGstLaunch(const std::string& input, const std::string& output) {
  g_autofree gchar* video = g_strdup_printf(
      "queue ! videoconvert ! videoflip video-direction=auto ! videoconvert ! "
      "videorate max-rate=30 ! videoscale ! "
      "video/x-raw,format=I420,width=%d,height=%d,pixel-aspect-ratio=1/1 ! "
      "videoconvert ! x264enc bitrate=%d speed-preset=veryfast key-int-max=60 "
      "bframes=0 name=zk_enc  ! queue",
      kWidth, kHeight, kVideoKbps);
  g_autofree gchar* audio = g_strdup_printf(
      "queue ! audioconvert ! audioresample ! "
      "audio/x-raw,rate=48000,channels=2 ! avenc_aac bitrate=%d ! aacparse ! "
      "queue",
      kAudioKbps * 1000);
  g_autofree gchar* line = g_strdup_printf(
      "filesrc location=\"%s\" ! decodebin name=d "
      "mp4mux faststart=true name=m ! filesink location=\"%s\" "
      "d. ! video/x-raw ! %s ! m. d. ! audio/x-raw ! %s ! m.",
      input.c_str(), output.c_str(), video, audio);
  g_auto(GStrv) argv = nullptr;
  g_shell_parse_argv(line, nullptr, &argv, nullptr);
  std::vector<std::string> args = {"gst-launch-1.0", "-q"};
  for (gchar** arg = argv; *arg != nullptr; ++arg) {
    args.emplace_back(*arg);
  }
  Run run;
  const double start = Now();
  run.ok = RunCommand(args);
  run.seconds = Now() - start;
  run.frames = run.ok ? CountFrames(output, &run.profile) : 0;
  return run;
}

Run ThroughFfmpeg(const std::string& input, const std::string& output) {
  g_autofree gchar* scale =
      g_strdup_printf("scale=%d:%d,setsar=1", kWidth, kHeight);
  g_autofree gchar* video_rate = g_strdup_printf("%dk", kVideoKbps);
  g_autofree gchar* audio_rate = g_strdup_printf("%dk", kAudioKbps);
  Run run;
  const double start = Now();
  run.ok = RunCommand(
      {"ffmpeg",     "-nostdin", "-v",       "error", "-y",      "-i",
       input,        "-vf",      scale,      "-c:v",  "libx264", "-preset",
       "veryfast",   "-b:v",     video_rate, "-g",    "60",      "-bf",
       "0",          "-pix_fmt", "yuv420p",  "-c:a",  "aac",     "-b:a",
       audio_rate,   "-ar",      "48000",    "-ac",   "2",       "-movflags",
       "+faststart", output});
  run.seconds = Now() - start;
  run.frames = run.ok ? CountFrames(output, &run.profile) : 0;
  return run;
}

// The duration of the clip in milliseconds, as "probe" would report it.
int64_t DurationMs(const std::string& path) {
  const gchar* argv[] = {
      "ffprobe", "-v",      "error",      "-show_entries", "format=duration",
      "-of",     "csv=p=0", path.c_str(), nullptr};
  g_autofree gchar* out = nullptr;
  gint status = 0;
  if (!g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr, kQuiet,
                    nullptr, nullptr, &out, nullptr, &status, nullptr)) {
    return 0;
  }
  return static_cast<int64_t>(g_ascii_strtod(out, nullptr) * 1000);
}

void Print(const char* name, const std::vector<Run>& runs) {
  printf("%-12s", name);
  for (const Run& run : runs) {
    if (!run.ok) {
      printf("   failed");
    } else {
      printf(" %6.1f fps (%d frames, %.2f s, %s)", run.Fps(), run.frames,
             run.seconds, run.profile.c_str());
    }
  }
  printf("\n");
}

// The fastest round: the one that other load on the machine disturbed least.
double Best(const std::vector<Run>& runs) {
  double best = 0;
  for (const Run& run : runs) {
    best = std::max(best, run.ok ? run.Fps() : 0.0);
  }
  return best;
}

double Median(const std::vector<Run>& runs) {
  std::vector<double> fps;
  for (const Run& run : runs) {
    fps.push_back(run.ok ? run.Fps() : 0.0);
  }
  std::sort(fps.begin(), fps.end());
  const size_t n = fps.size();
  return n % 2 == 1 ? fps[n / 2] : (fps[n / 2 - 1] + fps[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string input =
      argc > 1 ? argv[1] : std::string(ZK_MEDIA_DIR) + "/clip_1080p.mp4";
  const int rounds = argc > 2 ? std::max(1, atoi(argv[2])) : 2;
  if (!g_file_test(input.c_str(), G_FILE_TEST_IS_REGULAR)) {
    fprintf(stderr,
            "%s is missing: make the test media first "
            "(cmake --build <build dir> --target media)\n",
            input.c_str());
    return 2;
  }
  gst_init(&argc, &argv);
  const int64_t duration_ms = DurationMs(input);
  g_autofree gchar* dir = g_dir_make_tmp("zk-compress-bench-XXXXXX", nullptr);
  const std::string output = std::string(dir) + "/out.mp4";

  printf("%s (%.1f s) to %dx%d, H.264 %d kbit/s, AAC %d kbit/s; %d rounds\n",
         input.c_str(), duration_ms / 1000.0, kWidth, kHeight, kVideoKbps,
         kAudioKbps, rounds);
  std::vector<Run> plugin;
  std::vector<Run> launch;
  std::vector<Run> ffmpeg;
  for (int round = 0; round < rounds; ++round) {
    plugin.push_back(ThroughPlugin(input, output, duration_ms));
    g_remove(output.c_str());
    launch.push_back(ThroughGstLaunch(input, output));
    g_remove(output.c_str());
    ffmpeg.push_back(ThroughFfmpeg(input, output));
    g_remove(output.c_str());
  }
  g_rmdir(dir);

  Print("plugin", plugin);
  Print("gst-launch", launch);
  Print("ffmpeg", ffmpeg);
  for (const Run& run : plugin) {
    printf(
        "plugin main thread: %.0f ms of CPU in %.2f s, %d progress "
        "events\n",
        run.main_thread_ms, run.seconds, run.progress_events);
  }
  const double best_plugin = Best(plugin);
  const double best_launch = Best(launch);
  const double best_ffmpeg = Best(ffmpeg);
  printf("best: plugin %.1f fps, gst-launch %.1f fps, ffmpeg %.1f fps\n",
         best_plugin, best_launch, best_ffmpeg);
  printf("median: plugin %.1f fps, gst-launch %.1f fps, ffmpeg %.1f fps\n",
         Median(plugin), Median(launch), Median(ffmpeg));
  printf("plugin / gst-launch (best): %.2fx (target >= 0.95x)\n",
         best_launch > 0 ? best_plugin / best_launch : 0.0);
  printf("plugin / ffmpeg (best):     %.2fx (target >= 1.00x)\n",
         best_ffmpeg > 0 ? best_plugin / best_ffmpeg : 0.0);
  // Rows of the benchmark table that bench/run prints.
  printf("TABLE|compression 1080p to 720p, best|%.1f fps|gst-launch-1.0, "
         "same pipeline|%.1f fps|%.2fx|>= 0.95x\n",
         best_plugin, best_launch,
         best_launch > 0 ? best_plugin / best_launch : 0.0);
  printf("TABLE|compression 1080p to 720p, best|%.1f fps|ffmpeg libx264 "
         "veryfast|%.1f fps|%.2fx|>= 1.00x\n",
         best_plugin, best_ffmpeg,
         best_ffmpeg > 0 ? best_plugin / best_ffmpeg : 0.0);
  return 0;
}
