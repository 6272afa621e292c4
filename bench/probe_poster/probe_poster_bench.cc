// Copyright 2026 The Zelkoz Authors. All rights reserved.
//
// "probe" and "poster" through the video plugin, beside what they are held
// against, all in one run on the same generated files:
//
// - the main thread under load: while eight probes and four posters run, a
//   trivial call arrives every few milliseconds; its round trip counts from
//   its arrival until its reply, so any time the main loop is kept busy
//   shows;
// - one "probe" beside a plain in-process GstDiscoverer call (the least it
//   can cost) and beside an ffprobe process (what a caller would otherwise
//   run);
// - one "poster" beside an ffmpeg thumbnail of the same frame time at the
//   same size, on the test clips and on a phone-like 1080p clip made here.
//
// Each side of a row does the same work on the same file in the same warm
// process: every contender makes one call first that is not counted, the
// contenders then take turns, starting with a different one each round, and
// the row gives medians. The round trip of a trivial call, measured in the
// same rounds, stands beside them: it is what "probe" and "poster" pay for
// the channel on top of their work.
//
// The plugin library is driven in-process through the fake messenger, which
// answers on the main loop just as the engine does. The figures are printed
// with their targets; nothing is asserted.
#include <flutter_linux/flutter_linux.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <gst/gst.h>
#include <gst/pbutils/pbutils.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <zelko_desktop_video/zelko_desktop_video_plugin.h>
#include "fl_fake_messenger.h"
#include "fl_fake_plugin_registrar.h"

namespace {

constexpr char kChannel[] = "zelko_desktop_video";
// Counted calls of each contender: a multiple of three and of four, the
// numbers of contenders in a row, so that each takes every place in the
// order of turns equally often.
constexpr int kRepeats = 12;
// A trivial call arrives this often while the load runs.
constexpr gint64 kPingIntervalUs = 2000;

double Ms(gint64 us) {
  return us / 1000.0;
}

double Median(std::vector<double> values) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  return values.size() % 2 == 1 ? values[mid]
                                : (values[mid - 1] + values[mid]) / 2;
}

double Max(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

std::string MediaPath(const char* name) {
  g_autofree gchar* path = g_build_filename(ZK_MEDIA_DIR, name, nullptr);
  return path;
}

// The plugin on a fake messenger, registered as the shell registers it.
class Plugin {
 public:
  Plugin() {
    messenger_ = fl_fake_messenger_new();
    registrar_ =
        fl_fake_plugin_registrar_new(FL_BINARY_MESSENGER(messenger_), nullptr);
    zelko_desktop_video_plugin_register_with_registrar(registrar_);
  }
  ~Plugin() {
    fl_fake_messenger_shutdown(messenger_);
    g_clear_object(&registrar_);
    g_clear_object(&messenger_);
  }

  guint64 Begin(const char* method, FlValue* args) {
    return fl_fake_messenger_begin_standard_method(messenger_, kChannel, method,
                                                   args);
  }
  bool Answered(guint64 ticket) {
    return fl_fake_messenger_get_reply_count(messenger_, ticket) > 0;
  }
  // Runs the main loop until the call has its reply.
  void Wait(guint64 ticket) {
    g_autoptr(FlMethodResponse) response =
        fl_fake_messenger_finish_standard_method(messenger_, ticket, 60000);
  }

  guint64 BeginProbe(const std::string& path) {
    g_autoptr(FlValue) args = fl_value_new_map();
    fl_value_set_string_take(args, "path", fl_value_new_string(path.c_str()));
    return Begin("probe", args);
  }
  guint64 BeginPoster(const std::string& path,
                      const std::string& output,
                      int max_side) {
    g_autoptr(FlValue) args = fl_value_new_map();
    fl_value_set_string_take(args, "path", fl_value_new_string(path.c_str()));
    fl_value_set_string_take(args, "output",
                             fl_value_new_string(output.c_str()));
    fl_value_set_string_take(args, "maxSide", fl_value_new_int(max_side));
    return Begin("poster", args);
  }

 private:
  FlFakeMessenger* messenger_ = nullptr;
  FlPluginRegistrar* registrar_ = nullptr;
};

// Wall-clock time of fn in milliseconds.
double Time(const std::function<void()>& fn) {
  const gint64 start = g_get_monotonic_time();
  fn();
  return Ms(g_get_monotonic_time() - start);
}

// Runs a command to its end. Descriptors are left open so that GLib can start
// the child with posix_spawn: a fork would make every page of this process
// copy-on-write, and the next call timed here would pay a page fault for each
// page it writes (tens of milliseconds with the heap that 1080p posters
// leave), a cost that the application, which starts no processes, never has.
bool Run(const std::vector<std::string>& argv) {
  std::vector<const gchar*> args;
  for (const std::string& arg : argv) {
    args.push_back(arg.c_str());
  }
  args.push_back(nullptr);
  gint status = 0;
  return g_spawn_sync(nullptr, const_cast<gchar**>(args.data()), nullptr,
                      static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH |
                                               G_SPAWN_LEAVE_DESCRIPTORS_OPEN |
                                               G_SPAWN_STDOUT_TO_DEV_NULL |
                                               G_SPAWN_STDERR_TO_DEV_NULL),
                      nullptr, nullptr, nullptr, nullptr, &status, nullptr) &&
         g_spawn_check_wait_status(status, nullptr);
}

// One side of a row: what it runs, and the times of its counted calls.
struct Contender {
  std::function<void()> call;
  std::vector<double> ms;
};

// One call of each contender that is not counted (it loads what the file
// needs and reads the file into the page cache), then kRepeats rounds in
// which the contenders take turns, a different one first each round, so
// that none always runs first or always after the same other one.
void TakeTurns(const std::vector<Contender*>& contenders) {
  for (Contender* contender : contenders) {
    contender->call();
  }
  for (int round = 0; round < kRepeats; ++round) {
    for (size_t i = 0; i < contenders.size(); ++i) {
      Contender* contender = contenders[(round + i) % contenders.size()];
      contender->ms.push_back(Time(contender->call));
    }
  }
}

// Makes a 10 s 1080p30 clip as a phone records it: a key frame every 2 s,
// B-frames, AAC sound. Its poster's key frame (at 0 s) is far from the
// target (1 s), where an exact frame needs thirty frames decoded.
bool MakePhoneClip(const std::string& path) {
  return Run({"ffmpeg",
              "-nostdin",
              "-v",
              "error",
              "-y",
              "-f",
              "lavfi",
              "-i",
              "testsrc2=size=1920x1080:rate=30:duration=10",
              "-f",
              "lavfi",
              "-i",
              "sine=frequency=440:sample_rate=48000:duration=10",
              "-c:v",
              "libx264",
              "-preset",
              "veryfast",
              "-pix_fmt",
              "yuv420p",
              "-g",
              "60",
              "-b:v",
              "8M",
              "-c:a",
              "aac",
              "-b:a",
              "128k",
              path});
}

void DiscoverInProcess(const std::string& path) {
  g_autofree gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
  g_autoptr(GstDiscoverer) discoverer =
      gst_discoverer_new(10 * GST_SECOND, nullptr);
  g_autoptr(GstDiscovererInfo) info =
      gst_discoverer_discover_uri(discoverer, uri, nullptr);
}

struct RoundTrips {
  std::vector<double> encoders;
  std::vector<double> player;  // An unknown "player..." call.
};

// The trivial calls' arrival times are kept by a thread of their own, as the
// engine's messages arrive on their own; each is handed to the main loop at
// its arrival and answered there.
struct Ping {
  Plugin* plugin;
  const char* method;
  gint64 arrived_us;
  std::vector<double>* round_trips;
};

gboolean deliver_ping_cb(gpointer data) {
  auto* ping = static_cast<Ping*>(data);
  g_autoptr(FlValue) args = fl_value_new_map();
  fl_value_set_string_take(args, "id", fl_value_new_int(-7));
  const guint64 ticket = ping->plugin->Begin(ping->method, args);
  if (ping->plugin->Answered(ticket)) {
    ping->round_trips->push_back(Ms(g_get_monotonic_time() - ping->arrived_us));
  }
  delete ping;
  return G_SOURCE_REMOVE;
}

// Eight probes and four posters in flight, trivial calls arriving meanwhile.
RoundTrips UnderLoad(Plugin* plugin, const std::string& scratch, bool load) {
  const char* probed[] = {
      "clip_1080p.mp4", "clip_960x540.mp4", "clip_320x240.mp4", "rotate90.mp4",
      "anamorphic.mp4", "clip.mov",         "audio.m4a",        "clip_60s.mp4"};
  const char* postered[] = {"clip_1080p.mp4", "clip_960x540.mp4",
                            "clip_60s.mp4", "rotate90.mp4"};
  std::vector<guint64> jobs;
  if (load) {
    for (const char* name : probed) {
      jobs.push_back(plugin->BeginProbe(MediaPath(name)));
    }
    int index = 0;
    for (const char* name : postered) {
      g_autofree gchar* output =
          g_strdup_printf("%s/load-%d.jpg", scratch.c_str(), index++);
      jobs.push_back(plugin->BeginPoster(MediaPath(name), output, 640));
    }
  }
  RoundTrips trips;
  std::atomic<bool> done{false};
  std::thread arrivals([&]() {
    // Without load, as many pings as a loaded run takes about.
    int left = load ? -1 : 400;
    for (int i = 0; !done && left != 0; ++i, --left) {
      auto* ping = new Ping{plugin, i % 2 == 0 ? "encoders" : "playerPlay",
                            g_get_monotonic_time(),
                            i % 2 == 0 ? &trips.encoders : &trips.player};
      // Queued, never run here: g_main_context_invoke would run it on this
      // thread whenever the main loop did not hold its context just then.
      g_idle_add_full(G_PRIORITY_DEFAULT, deliver_ping_cb, ping, nullptr);
      g_usleep(kPingIntervalUs);
    }
    done = true;
    g_main_context_wakeup(nullptr);
  });
  auto all_answered = [&]() {
    for (guint64 job : jobs) {
      if (!plugin->Answered(job)) {
        return false;
      }
    }
    return true;
  };
  while (!(load ? all_answered() : done.load())) {
    g_main_context_iteration(nullptr, TRUE);
  }
  done = true;
  arrivals.join();
  // The last pings still queued.
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
  return trips;
}

void PrintRoundTrips(const char* what, const RoundTrips& trips) {
  std::vector<double> all = trips.encoders;
  all.insert(all.end(), trips.player.begin(), trips.player.end());
  printf(
      "  %-34s %5zu calls  median %6.3f ms  max %7.3f ms"
      "  (\"encoders\" max %.3f, \"playerPlay\" max %.3f)\n",
      what, all.size(), Median(all), Max(all), Max(trips.encoders),
      Max(trips.player));
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  g_setenv("GST_REGISTRY", ZK_BENCH_GST_REGISTRY, TRUE);
  gst_init(&argc, &argv);

  const char* needed[] = {
      "clip_1080p.mp4", "clip_960x540.mp4", "clip_320x240.mp4", "rotate90.mp4",
      "anamorphic.mp4", "clip.mov",         "audio.m4a",        "clip_60s.mp4"};
  for (const char* name : needed) {
    if (!g_file_test(MediaPath(name).c_str(), G_FILE_TEST_EXISTS)) {
      fprintf(stderr,
              "%s is missing: make the test media first "
              "(cmake --build <build dir> --target media)\n",
              MediaPath(name).c_str());
      return 1;
    }
  }
  g_autofree gchar* scratch_dir = g_dir_make_tmp("zk-bench-XXXXXX", nullptr);
  const std::string scratch = scratch_dir;

  Plugin plugin;
  // Loads every plugin the files need (libav alone costs tens of ms once),
  // so that no contender pays for it.
  for (const char* name : needed) {
    DiscoverInProcess(MediaPath(name));
    plugin.Wait(plugin.BeginProbe(MediaPath(name)));
  }

  printf("Main thread round trip of a trivial call, one every %.0f ms\n",
         Ms(kPingIntervalUs));
  PrintRoundTrips("idle", UnderLoad(&plugin, scratch, false));
  const RoundTrips loaded = UnderLoad(&plugin, scratch, true);
  PrintRoundTrips("8 probes + 4 posters in flight", loaded);
  std::vector<double> all = loaded.encoders;
  all.insert(all.end(), loaded.player.begin(), loaded.player.end());
  printf("  target: max under load below 16 ms: %.3f ms, %s\n\n", Max(all),
         Max(all) < 16 ? "met" : "missed");
  // Rows of the benchmark table that bench/run prints.
  printf(
      "TABLE|round trip under load, max|%.2f ms|the limit|16 ms|%.2fx|"
      "< 1.00x\n",
      Max(all), Max(all) / 16.0);

  // The trivial call of the rows below: answered at once on the main loop.
  auto trivial_call = [&plugin]() {
    g_autoptr(FlValue) args = fl_value_new_map();
    fl_value_set_string_take(args, "id", fl_value_new_int(-7));
    plugin.Wait(plugin.Begin("playerPlay", args));
  };

  const std::string phone = scratch + "/phone_1080p.mp4";
  if (!MakePhoneClip(phone)) {
    fprintf(stderr, "cannot make the phone-like clip with ffmpeg\n");
    return 1;
  }
  const struct {
    const char* name;
    std::string path;
  } probed[] = {
      {"clip_320x240.mp4", MediaPath("clip_320x240.mp4")},
      {"clip_960x540.mp4", MediaPath("clip_960x540.mp4")},
      {"clip_1080p.mp4", MediaPath("clip_1080p.mp4")},
      {"phone_1080p.mp4", phone},
      {"clip.mov", MediaPath("clip.mov")},
      {"audio.m4a", MediaPath("audio.m4a")},
  };
  printf("One probe, median of %d after one call not counted (ms)\n", kRepeats);
  printf("  %-18s %9s %11s %8s %8s %8s  %s\n", "file", "\"probe\"",
         "discoverer", "ratio", "trivial", "ffprobe",
         "target 1.1x discoverer + 2");
  std::vector<double> probe_trivial;
  for (const auto& c : probed) {
    const std::string& path = c.path;
    Contender probe{[&]() { plugin.Wait(plugin.BeginProbe(path)); }, {}};
    Contender discoverer{[&]() { DiscoverInProcess(path); }, {}};
    Contender trivial{trivial_call, {}};
    Contender ffprobe{[&]() {
                        Run({"ffprobe", "-v", "error", "-show_format",
                             "-show_streams", path});
                      },
                      {}};
    TakeTurns({&probe, &discoverer, &trivial, &ffprobe});
    probe_trivial.insert(probe_trivial.end(), trivial.ms.begin(),
                         trivial.ms.end());
    const double p = Median(probe.ms);
    const double d = Median(discoverer.ms);
    const double t = Median(trivial.ms);
    const double f = Median(ffprobe.ms);
    const double limit = 1.1 * d + 2;
    printf(
        "  %-18s %9.2f %11.2f %8.2f %8.3f %8.2f  %.2f: %s; vs ffprobe %.2fx\n",
        c.name, p, d, p / d, t, f, limit, p <= limit ? "met" : "missed", p / f);
    printf(
        "TABLE|probe %s|%.1f ms|in-process discoverer|%.1f ms|%.2fx|"
        "<= 1.1x + 2 ms\n",
        c.name, p, d, p / d);
    printf("TABLE|probe %s|%.1f ms|ffprobe process|%.1f ms|%.2fx|-\n", c.name,
           p, f, p / f);
  }
  printf("TABLE|probe: channel round trip, trivial call|%.3f ms|-|-|-|-\n",
         Median(probe_trivial));

  printf(
      "\nOne poster at maxSide 640, median of %d after one call not "
      "counted (ms)\n",
      kRepeats);
  printf("  %-18s %9s %18s %8s %8s  %s\n", "file", "\"poster\"",
         "ffmpeg thumbnail", "ratio", "trivial", "target: faster than ffmpeg");
  const struct {
    const char* name;
    std::string path;
    const char* seek;  // Where the poster's frame is: min(duration / 10, 1 s).
    const char* size;
  } posters[] = {
      {"clip_320x240.mp4", MediaPath("clip_320x240.mp4"), "0.2", "320:240"},
      {"clip_960x540.mp4", MediaPath("clip_960x540.mp4"), "0.5", "640:360"},
      {"clip_1080p.mp4", MediaPath("clip_1080p.mp4"), "1", "640:360"},
      {"phone_1080p.mp4", phone, "1", "640:360"},
      {"clip_60s.mp4", MediaPath("clip_60s.mp4"), "1", "320:240"},
  };
  const std::string ours = scratch + "/poster.jpg";
  const std::string theirs = scratch + "/ffmpeg.jpg";
  std::vector<double> poster_trivial;
  for (const auto& c : posters) {
    const std::string& path = c.path;
    Contender poster{
        [&]() { plugin.Wait(plugin.BeginPoster(path, ours, 640)); }, {}};
    Contender trivial{trivial_call, {}};
    Contender ffmpeg{[&]() {
                       Run({"ffmpeg", "-nostdin", "-v", "error", "-y", "-ss",
                            c.seek, "-i", path, "-frames:v", "1", "-vf",
                            std::string("scale=") + c.size, theirs});
                     },
                     {}};
    TakeTurns({&poster, &ffmpeg, &trivial});
    poster_trivial.insert(poster_trivial.end(), trivial.ms.begin(),
                          trivial.ms.end());
    const double p = Median(poster.ms);
    const double f = Median(ffmpeg.ms);
    const double t = Median(trivial.ms);
    printf("  %-18s %9.2f %18.2f %8.2f %8.3f  %s\n", c.name, p, f, p / f, t,
           p <= f ? "met" : "missed");
    printf("TABLE|poster %s|%.1f ms|ffmpeg thumbnail|%.1f ms|%.2fx|<= 1.00x\n",
           c.name, p, f, p / f);
  }

  printf("TABLE|poster: channel round trip, trivial call|%.3f ms|-|-|-|-\n",
         Median(poster_trivial));

  g_remove(ours.c_str());
  g_remove(theirs.c_str());
  g_remove(phone.c_str());
  for (int i = 0; i < 4; ++i) {
    g_remove((scratch + "/load-" + std::to_string(i) + ".jpg").c_str());
  }
  g_rmdir(scratch.c_str());
  return 0;
}
