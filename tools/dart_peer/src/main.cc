// Copyright 2026 The Zelkoz Authors. All rights reserved.
//
// zelkoz-dart: plays the Dart side of a program that runs the engine. It
// starts the program with FLUTTER_LINUX_PEER set, reads one JSON request per
// line on standard input and writes one JSON line on standard output for
// everything that happens (see json_session.h).
//
// Exit status: 0 when the program ended by itself (its own status is in the
// {"exit"} or {"signal"} line), 1 when it had to be killed after --timeout,
// 2 for a usage error or a program that could not be started.

#include <glib-unix.h>
#include <glib.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "dart_peer/json_session.h"
#include "dart_peer/line_splitter.h"
#include "dart_peer/peer_server.h"

namespace {

constexpr char kUsage[] =
    "usage: zelkoz-dart [--hold-first-frame] [--timeout SECONDS] -- PROGRAM "
    "[ARGS...]\n";
constexpr double kDefaultTimeoutSeconds = 30;
constexpr size_t kMaxLine = 64 * 1024 * 1024;

struct CommandLine {
  bool hold_first_frame = false;
  double timeout_seconds = kDefaultTimeoutSeconds;
  std::vector<std::string> program;
};

bool ParseTimeout(const char* text, double* seconds) {
  char* end = nullptr;
  double value = g_ascii_strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(value) || value < 0 ||
      value > 24 * 60 * 60) {
    return false;
  }
  *seconds = value;
  return true;
}

bool ParseCommandLine(int argc,
                      char** argv,
                      CommandLine* line,
                      std::string* error) {
  int i = 1;
  for (; i < argc; i++) {
    std::string arg = argv[i];
    if (arg == "--") {
      i++;
      break;
    }
    if (arg == "--hold-first-frame") {
      line->hold_first_frame = true;
    } else if (arg == "--timeout" || arg.rfind("--timeout=", 0) == 0) {
      const char* value = nullptr;
      if (arg == "--timeout") {
        if (i + 1 >= argc) {
          *error = "--timeout needs a number of seconds";
          return false;
        }
        value = argv[++i];
      } else {
        value = argv[i] + strlen("--timeout=");
      }
      if (!ParseTimeout(value, &line->timeout_seconds)) {
        *error = std::string("bad --timeout: ") + value;
        return false;
      }
    } else if (arg.size() > 1 && arg[0] == '-') {
      *error = "unknown option " + arg;
      return false;
    } else {
      break;
    }
  }
  for (; i < argc; i++) {
    line->program.push_back(argv[i]);
  }
  if (line->program.empty()) {
    *error = "no program given";
    return false;
  }
  return true;
}

// Writes one protocol line; a reader that went away is not an error here.
void WriteLine(const std::string& text) {
  std::string line = text + "\n";
  const char* data = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t written = write(STDOUT_FILENO, data, left);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
}

struct State {
  dart_peer::PeerServer* server = nullptr;
  dart_peer::JsonSession* session = nullptr;
  dart_peer::LineSplitter* splitter = nullptr;
  double timeout_seconds = 0;
  bool input_ended = false;
  bool gave_up = false;  // --timeout passed after the end of input.
};

// Called when --timeout has passed after the end of standard input.
gboolean OnTimeout(gpointer user_data) {
  auto* state = static_cast<State*>(user_data);
  state->gave_up = true;
  state->server->Kill();
  return G_SOURCE_REMOVE;
}

// Called when standard input has data or has ended.
gboolean OnInput(gint fd, GIOCondition /*condition*/, gpointer user_data) {
  auto* state = static_cast<State*>(user_data);
  char buffer[64 * 1024];
  ssize_t count = read(fd, buffer, sizeof(buffer));
  if (count < 0 && (errno == EINTR || errno == EAGAIN)) {
    return G_SOURCE_CONTINUE;
  }
  if (count > 0) {
    state->splitter->Append(buffer, static_cast<size_t>(count));
    return G_SOURCE_CONTINUE;
  }
  state->splitter->Finish();
  state->input_ended = true;
  g_timeout_add(static_cast<guint>(state->timeout_seconds * 1000), OnTimeout,
                state);
  return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
  // Standard output may be a pipe whose reader leaves first.
  signal(SIGPIPE, SIG_IGN);

  CommandLine command_line;
  std::string error;
  if (argc == 2 &&
      (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (!ParseCommandLine(argc, argv, &command_line, &error)) {
    g_printerr("zelkoz-dart: %s\n%s", error.c_str(), kUsage);
    return 2;
  }

  dart_peer::PeerServer server(nullptr);
  dart_peer::JsonSession session(&server, WriteLine);
  server.set_observer(&session);
  server.set_hold_first_frame(command_line.hold_first_frame);
  if (!server.Open(&error) || !server.Spawn(command_line.program, {}, &error)) {
    g_printerr("zelkoz-dart: %s\n", error.c_str());
    return 2;
  }

  dart_peer::LineSplitter splitter(
      kMaxLine, [&session](std::string_view line, bool too_long) {
        if (too_long) {
          session.HandleOverlongLine();
        } else {
          session.HandleLine(line);
        }
      });
  State state;
  state.server = &server;
  state.session = &session;
  state.splitter = &splitter;
  state.timeout_seconds = command_line.timeout_seconds;
  g_unix_fd_add(STDIN_FILENO,
                static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                OnInput, &state);

  // Done when the input has ended, the program's end has been reported and
  // every request has its answer (or the timeout gave up on them).
  while (!(state.input_ended && server.exit_reported() &&
           (session.open_requests() == 0 || state.gave_up))) {
    g_main_context_iteration(nullptr, TRUE);
  }
  return server.exit_status().killed_by_peer ? 1 : 0;
}
