// Copyright 2026 The Zelkoz Authors. All rights reserved.
//
// How long the application's main loop is kept from answering, seen from
// the Dart side. A trivial call (a player method for no player, answered at
// once) goes out every 2 ms and its round trip is kept, first while the
// application is idle, then while media work comes and goes:
//
// - four 1080p players opened one after the other, played, then disposed,
//   and the quiet seconds after, when the memory they took goes back;
// - a probe and a poster of the clip, and the seconds after;
// - a compression of the clip to 1280x720, from its start to its end and
//   the seconds after.
//
// Prints the longest round trip and the 99th percentile of each phase, and
// TABLE rows for the idle figure beside the loaded one. A round trip counts
// from the call's sending to its reply in this process. The figures "less
// the wait for a core" take away the time that the application's main
// thread and this process's sending thread spent runnable, waiting for a
// core: what is left is the main loop's own work and its waits on locks.
// Runs inside tests/harness/session; asserts nothing.
//
//   stall_bench ZELKOZ CLIP_1080P [ROUNDS]

#include <dart_peer/dart_peer.h>
#include <glib.h>
#include <glib/gstdio.h>

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr char kVideo[] = "zelko_desktop_video";
constexpr char kCompressChannel[] = "zelko_desktop_video/compress";
constexpr guint kPulseMs = 2;
constexpr int kPlayers = 4;
constexpr int kPlayMs = 2000;
// Covers the application's return of memory a second after its last piece
// of media work has ended.
constexpr int kQuietMs = 3000;
constexpr double kStallTargetMs = 8.0;

// The round trips of one phase, in milliseconds: whole, and less the time
// that the application's main thread spent runnable, waiting for a core.
struct Phase {
  std::string name;
  std::vector<double> trips;
  std::vector<double> own;
};

// Nanoseconds that thread tid of pid has waited on a run queue, from
// /proc/PID/task/TID/schedstat; -1 when unreadable.
int64_t RunQueueWaitNs(int pid, int tid) {
  g_autofree gchar* path =
      g_strdup_printf("/proc/%d/task/%d/schedstat", pid, tid);
  g_autofree gchar* text = nullptr;
  if (!g_file_get_contents(path, &text, nullptr, nullptr)) {
    return -1;
  }
  long long running = 0;
  long long waiting = 0;
  if (sscanf(text, "%lld %lld", &running, &waiting) != 2) {
    return -1;
  }
  return waiting;
}

class Bench {
 public:
  explicit Bench(dart_peer::DartPeer* peer)
      : peer_(peer), state_(std::make_shared<State>()) {}
  ~Bench() {
    if (pulse_ != nullptr) {
      g_source_destroy(pulse_);
      g_source_unref(pulse_);
    }
  }
  Bench(const Bench&) = delete;
  Bench& operator=(const Bench&) = delete;

  // Starts the pulse; round trips go to the current phase from then on.
  void StartPulse() {
    pulse_ = g_timeout_source_new(kPulseMs);
    g_source_set_callback(pulse_, OnPulse, this, nullptr);
    g_source_attach(pulse_, peer_->context());
  }

  void Begin(const std::string& name) {
    state_->phases.push_back({name, {}, {}});
  }
  const std::vector<Phase>& phases() const { return state_->phases; }

 private:
  // What the replies write to; they may come after the bench has gone.
  struct State {
    std::vector<Phase> phases;
    bool in_flight = false;
  };

  // Sends one trivial call, unless one is on its way; runs on the peer's
  // context every kPulseMs.
  static gboolean OnPulse(gpointer data) {
    auto* self = static_cast<Bench*>(data);
    std::shared_ptr<State> state = self->state_;
    if (state->phases.empty() || state->in_flight) {
      return G_SOURCE_CONTINUE;
    }
    state->in_flight = true;
    const int pid = self->peer_->pid();
    const int64_t waited = RunQueueWaitNs(pid, pid);
    // This thread's own waits for a core count against neither side.
    const int self_pid = getpid();
    const int self_tid = static_cast<int>(gettid());
    const int64_t self_waited = RunQueueWaitNs(self_pid, self_tid);
    const gint64 sent = g_get_monotonic_time();
    const size_t phase = state->phases.size() - 1;
    g_autoptr(FlValue) args = fl_value_new_map();
    fl_value_set_string_take(args, "id", fl_value_new_int(-1));
    self->peer_->server().Invoke(
        kVideo, "playerPosition", args,
        [state, sent, phase, pid, waited, self_pid, self_tid,
         self_waited](dart_peer::Response response) {
          state->in_flight = false;
          if (response.kind != dart_peer::ResponseKind::kSuccess) {
            return;
          }
          const double trip = (g_get_monotonic_time() - sent) / 1000.0;
          const int64_t now_waited = RunQueueWaitNs(pid, pid);
          const int64_t self_now = RunQueueWaitNs(self_pid, self_tid);
          const double queued =
              (waited < 0 || now_waited < 0 ? 0 : (now_waited - waited) / 1e6) +
              (self_waited < 0 || self_now < 0 ? 0
                                               : (self_now - self_waited) / 1e6);
          state->phases[phase].trips.push_back(trip);
          state->phases[phase].own.push_back(std::max(0.0, trip - queued));
        });
    return G_SOURCE_CONTINUE;
  }

  dart_peer::DartPeer* peer_;
  std::shared_ptr<State> state_;
  GSource* pulse_ = nullptr;  // Owned; attached to the peer's context.
};

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  const size_t index = std::min(
      values.size() - 1, static_cast<size_t>(fraction * values.size()));
  return values[index];
}

double Max(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

bool IsEvent(const dart_peer::ChannelEvent& event, const char* name) {
  if (event.kind != dart_peer::EventKind::kEvent ||
      fl_value_get_type(event.value.get()) != FL_VALUE_TYPE_MAP) {
    return false;
  }
  FlValue* value = fl_value_lookup_string(event.value.get(), "event");
  return value != nullptr && fl_value_get_type(value) == FL_VALUE_TYPE_STRING &&
         g_strcmp0(fl_value_get_string(value), name) == 0;
}

// Calls a method with {"key": value...} built by the caller; the result, or
// nullptr (with a message) when the call failed.
dart_peer::ValuePtr Call(dart_peer::DartPeer* peer,
                         const char* method,
                         FlValue* args,
                         int timeout_ms = 60000) {
  dart_peer::Response response = peer->Invoke(kVideo, method, args, timeout_ms);
  if (response.kind != dart_peer::ResponseKind::kSuccess) {
    fprintf(stderr, "%s: %s %s\n", method,
            dart_peer::ResponseKindName(response.kind), response.code.c_str());
    return nullptr;
  }
  return std::move(response.result);
}

FlValue* PathArgs(const std::string& key, const std::string& value) {
  FlValue* args = fl_value_new_map();
  fl_value_set_string_take(args, key.c_str(),
                           fl_value_new_string(value.c_str()));
  return args;
}

FlValue* IdArgs(int64_t id) {
  FlValue* args = fl_value_new_map();
  fl_value_set_string_take(args, "id", fl_value_new_int(id));
  return args;
}

// Four players opened, played and disposed.
bool Players(dart_peer::DartPeer* peer, const std::string& clip) {
  std::vector<int64_t> ids;
  const std::string uri = "file://" + clip;
  for (int i = 0; i < kPlayers; ++i) {
    g_autoptr(FlValue) args = PathArgs("uri", uri);
    dart_peer::ValuePtr id = Call(peer, "playerCreate", args);
    if (id == nullptr || fl_value_get_type(id.get()) != FL_VALUE_TYPE_INT) {
      return false;
    }
    ids.push_back(fl_value_get_int(id.get()));
    const std::string events =
        std::string(kVideo) + "/events_" + std::to_string(ids.back());
    peer->Listen(events, nullptr, 10000);
    dart_peer::ChannelEvent event;
    if (!peer->WaitEventMatching(
            events,
            [](const dart_peer::ChannelEvent& e) {
              return IsEvent(e, "initialized");
            },
            60000, &event)) {
      fprintf(stderr, "player %d: no \"initialized\"\n", i);
      return false;
    }
    g_autoptr(FlValue) play = IdArgs(ids.back());
    Call(peer, "playerPlay", play);
  }
  peer->RunFor(kPlayMs);
  for (int64_t id : ids) {
    g_autoptr(FlValue) args = IdArgs(id);
    Call(peer, "playerDispose", args);
    peer->TakeEvents(std::string(kVideo) + "/events_" + std::to_string(id));
  }
  return true;
}

// A probe and a poster of the clip; the probe's duration in *duration_ms.
bool ProbeAndPoster(dart_peer::DartPeer* peer,
                    const std::string& clip,
                    const std::string& scratch,
                    int64_t* duration_ms) {
  g_autoptr(FlValue) probe_args = PathArgs("path", clip);
  dart_peer::ValuePtr probe = Call(peer, "probe", probe_args);
  if (probe == nullptr || fl_value_get_type(probe.get()) != FL_VALUE_TYPE_MAP) {
    fprintf(stderr, "probe: no media in %s\n", clip.c_str());
    return false;
  }
  FlValue* duration = fl_value_lookup_string(probe.get(), "durationMs");
  *duration_ms = duration != nullptr &&
                         fl_value_get_type(duration) == FL_VALUE_TYPE_INT
                     ? fl_value_get_int(duration)
                     : 0;
  const std::string poster = scratch + "/poster.jpg";
  g_autoptr(FlValue) poster_args = PathArgs("path", clip);
  fl_value_set_string_take(poster_args, "output",
                           fl_value_new_string(poster.c_str()));
  dart_peer::ValuePtr written = Call(peer, "poster", poster_args);
  g_remove(poster.c_str());
  return written != nullptr;
}

// One compression of the clip to 1280x720, with its progress listened to.
bool Compress(dart_peer::DartPeer* peer,
              const std::string& clip,
              const std::string& scratch,
              int64_t duration_ms) {
  const std::string output = scratch + "/compressed.mp4";
  g_autoptr(FlValue) args = PathArgs("input", clip);
  fl_value_set_string_take(args, "output",
                           fl_value_new_string(output.c_str()));
  fl_value_set_string_take(args, "width", fl_value_new_int(1280));
  fl_value_set_string_take(args, "height", fl_value_new_int(720));
  fl_value_set_string_take(args, "durationMs", fl_value_new_int(duration_ms));
  fl_value_set_string_take(args, "hasAudio", fl_value_new_bool(TRUE));
  dart_peer::ValuePtr result = Call(peer, "compress", args, 600000);
  peer->TakeEvents(kCompressChannel);
  g_remove(output.c_str());
  return result != nullptr;
}

void Print(const Phase& phase) {
  printf("  %-30s %5zu calls: longest %6.2f ms, 99th pct %5.2f ms; less the "
         "wait for a core: longest %6.2f ms, 99th pct %5.2f ms\n",
         phase.name.c_str(), phase.trips.size(), Max(phase.trips),
         Percentile(phase.trips, 0.99), Max(phase.own),
         Percentile(phase.own, 0.99));
}

double Ratio(double ours, double theirs) {
  return theirs > 0 ? ours / theirs : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s ZELKOZ CLIP_1080P [ROUNDS]\n", argv[0]);
    return 2;
  }
  const std::string zelkoz = argv[1];
  g_autofree gchar* clip_path = g_canonicalize_filename(argv[2], nullptr);
  const std::string clip = clip_path;
  const int rounds = argc > 3 ? std::max(1, atoi(argv[3])) : 3;
  g_autofree gchar* scratch = g_dir_make_tmp("zk-stall-XXXXXX", nullptr);

  dart_peer::DartPeer peer;
  dart_peer::DartPeer::Options options;
  options.capture_output = false;
  std::string error;
  if (!peer.Start(zelkoz, {}, options, &error) || !peer.WaitHello(30000)) {
    fprintf(stderr, "zelkoz did not start: %s\n", error.c_str());
    return 1;
  }
  peer.Listen(kCompressChannel, nullptr, 10000);
  // Loads GStreamer's plugins once, unmeasured, as a running application
  // would have long before.
  int64_t duration_ms = 0;
  if (!ProbeAndPoster(&peer, clip, scratch, &duration_ms)) {
    return 1;
  }
  peer.RunFor(kQuietMs);

  Bench bench(&peer);
  bench.StartPulse();
  bool ok = true;
  for (int round = 0; round < rounds && ok; ++round) {
    bench.Begin("idle");
    peer.RunFor(kQuietMs);
    bench.Begin("4 players open, play, dispose");
    ok = ok && Players(&peer, clip);
    bench.Begin("after the players");
    peer.RunFor(kQuietMs);
    bench.Begin("probe and poster, and after");
    ok = ok && ProbeAndPoster(&peer, clip, scratch, &duration_ms);
    peer.RunFor(kQuietMs);
    bench.Begin("compression, and after");
    ok = ok && Compress(&peer, clip, scratch, duration_ms);
    peer.RunFor(kQuietMs);
  }
  bench.Begin("end");
  peer.Invoke("com.zelko.zelko_app/window", "quit", nullptr, 10000);
  peer.WaitExit(30000);
  g_rmdir(scratch);
  if (!ok) {
    fprintf(stderr, "a step failed\n");
    return 1;
  }

  // Every figure twice: the round trip as the Dart side sees it, and the
  // same less the time that the main thread was ready to run but had no
  // core, which is the machine's load rather than anything the application
  // does.
  Phase idle{"idle", {}, {}};
  Phase loaded{"media work", {}, {}};
  printf("Main loop round trip of a trivial call every %u ms, %d rounds\n",
         kPulseMs, rounds);
  for (const Phase& phase : bench.phases()) {
    if (phase.name == "end") {
      continue;
    }
    Print(phase);
    Phase& into = phase.name == "idle" ? idle : loaded;
    into.trips.insert(into.trips.end(), phase.trips.begin(),
                      phase.trips.end());
    into.own.insert(into.own.end(), phase.own.begin(), phase.own.end());
  }
  printf("TABLE|main loop: longest round trip, media work|%.1f ms|idle|"
         "%.1f ms|%.2fx|-\n",
         Max(loaded.trips), Max(idle.trips),
         Ratio(Max(loaded.trips), Max(idle.trips)));
  printf("TABLE|main loop: 99th percentile, media work|%.2f ms|idle|%.2f ms|"
         "%.2fx|-\n",
         Percentile(loaded.trips, 0.99), Percentile(idle.trips, 0.99),
         Ratio(Percentile(loaded.trips, 0.99), Percentile(idle.trips, 0.99)));
  printf("TABLE|main loop: longest, less core wait|%.1f ms|idle|%.1f ms|"
         "%.2fx|<= %.0f ms\n",
         Max(loaded.own), Max(idle.own), Ratio(Max(loaded.own), Max(idle.own)),
         kStallTargetMs);
  printf("TABLE|main loop: 99th pct, less core wait|%.2f ms|idle|%.2f ms|"
         "%.2fx|-\n",
         Percentile(loaded.own, 0.99), Percentile(idle.own, 0.99),
         Ratio(Percentile(loaded.own, 0.99), Percentile(idle.own, 0.99)));
  return 0;
}
