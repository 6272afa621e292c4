// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "include/relaunch/relaunch_plugin.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "relaunch_plugin_private.h"

std::atomic<int32_t> g_restart_pending{0};
guint g_restart_source = 0;

namespace {

constexpr char kChannelName[] = "restart";
constexpr char kSelfExeLink[] = "/proc/self/exe";
constexpr char kDeletedMarker[] = " (deleted)";
constexpr size_t kDeletedMarkerLength = sizeof(kDeletedMarker) - 1;
// Long enough for the reply to reach the Dart side before the process image
// is gone.
constexpr guint kRestartDelayMs = 100;

constexpr char kModePlatformDefault[] = "platformDefault";
constexpr char kModeProcess[] = "process";

constexpr char kErrorUnsupportedMode[] = "UNSUPPORTED_RESTART_MODE";
constexpr char kErrorInProgress[] = "RESTART_ALREADY_IN_PROGRESS";
constexpr char kErrorFailed[] = "RESTART_FAILED";

constexpr RelaunchHooks kNormalHooks = {kSelfExeLink, execv, calloc, malloc,
                                        free};

// The hook a test installed, or the normal one where it installed none.
template <typename T>
T OrNormal(T hook, T normal) {
  return hook != nullptr ? hook : normal;
}

// Returns a restart request to idle after it failed, so a later one can try.
void ResetPending() {
  g_restart_pending.exchange(0);
}

// Returns the value under key in map if it has the given type, else nullptr.
FlValue* LookupTyped(FlValue* map, const char* key, FlValueType type) {
  FlValue* value = fl_value_lookup_string(map, key);
  if (value == nullptr || fl_value_get_type(value) != type) {
    return nullptr;
  }
  return value;
}

void LogSendFailure(const GError* error) {
  g_warning("relaunch: failed to send response: %s",
            error != nullptr ? error->message : "unknown channel error");
}

// Sends response; a failed send is logged when log_failure is set. Returns
// whether the response was sent.
bool Respond(FlMethodCall* method_call,
             FlMethodResponse* response,
             bool log_failure) {
  g_autoptr(GError) error = nullptr;
  if (fl_method_call_respond(method_call, response, &error)) {
    return true;
  }
  if (log_failure) {
    LogSendFailure(error);
  }
  return false;
}

// Sends an error reply without details. The caller learns nothing more from
// a failed send, so none is logged.
void RespondError(FlMethodCall* method_call,
                  const char* code,
                  const char* message) {
  g_autoptr(FlMethodResponse) response =
      FL_METHOD_RESPONSE(fl_method_error_response_new(code, message, nullptr));
  Respond(method_call, response, false);
}

// Answers "restartCapability". Only a full process restart is offered.
void HandleRestartCapability(FlMethodCall* method_call) {
  g_autoptr(FlValue) capability = fl_value_new_map();
  fl_value_set_string_take(capability, "fullProcessRestart",
                           fl_value_new_bool(true));
  fl_value_set_string_take(capability, "flutterEngineRestart",
                           fl_value_new_bool(false));
  fl_value_set_string_take(capability, "notificationFallback",
                           fl_value_new_bool(false));
  fl_value_set_string_take(capability, "engineRestartConfigured",
                           fl_value_new_bool(false));
  fl_value_set_string_take(capability, "platformDefaultMode",
                           fl_value_new_string(kModeProcess));
  fl_value_set_string_take(capability, "reason", fl_value_new_null());
  g_autoptr(FlMethodResponse) response =
      FL_METHOD_RESPONSE(fl_method_success_response_new(capability));
  Respond(method_call, response, true);
}

// Answers "relaunch" and, once the reply is out, schedules the restart.
void HandleRelaunch(FlMethodCall* method_call) {
  const char* mode = kModePlatformDefault;
  bool structured = false;
  FlValue* args = fl_method_call_get_args(method_call);
  if (args != nullptr && fl_value_get_type(args) == FL_VALUE_TYPE_MAP) {
    FlValue* mode_value = LookupTyped(args, "mode", FL_VALUE_TYPE_STRING);
    if (mode_value != nullptr) {
      mode = fl_value_get_string(mode_value);
    }
    FlValue* structured_value =
        LookupTyped(args, "structuredResult", FL_VALUE_TYPE_BOOL);
    if (structured_value != nullptr) {
      structured = fl_value_get_bool(structured_value);
    }
  }

  if (strcmp(mode, kModePlatformDefault) != 0 &&
      strcmp(mode, kModeProcess) != 0) {
    RespondError(method_call, kErrorUnsupportedMode,
                 "Requested restart mode is not supported on Linux");
    return;
  }

  int32_t idle = 0;
  if (!g_restart_pending.compare_exchange_strong(idle, 1)) {
    RespondError(method_call, kErrorInProgress,
                 "An application restart is already in progress");
    return;
  }

  // Catches what can be seen now; do_restart resolves the path again because
  // the file may change in the meantime.
  char path[kRelaunchPathBufferSize];
  switch (relaunch_resolve_executable(g_relaunch_hooks.link_path, path,
                                      sizeof(path))) {
    case RelaunchResolve::kOk:
      break;
    case RelaunchResolve::kUnresolvable:
      ResetPending();
      RespondError(method_call, kErrorFailed,
                   "Could not resolve executable path");
      return;
    case RelaunchResolve::kNotExecutable:
      ResetPending();
      RespondError(method_call, kErrorFailed, "Executable not accessible");
      return;
  }

  g_autoptr(FlMethodResponse) response = restart_success_response(structured);
  if (!Respond(method_call, response, true)) {
    // The process is replaced only once the Dart side has its reply.
    ResetPending();
    return;
  }
  g_restart_source = g_timeout_add(kRestartDelayMs, do_restart, nullptr);
  if (g_restart_source == 0) {
    ResetPending();
    g_warning("relaunch: failed to schedule deferred restart");
  }
}

}  // namespace

RelaunchHooks g_relaunch_hooks = kNormalHooks;

// Called by the engine, on the main thread, for every call on "restart".
static void method_call_cb(FlMethodChannel* /* channel */,
                           FlMethodCall* method_call,
                           gpointer /* user_data */) {
  const gchar* method = fl_method_call_get_name(method_call);
  if (strcmp(method, "restartCapability") == 0) {
    HandleRestartCapability(method_call);
  } else if (strcmp(method, "relaunch") == 0) {
    HandleRelaunch(method_call);
  } else {
    g_autoptr(FlMethodResponse) response =
        FL_METHOD_RESPONSE(fl_method_not_implemented_response_new());
    Respond(method_call, response, true);
  }
}

RelaunchResolve relaunch_resolve_executable(const char* link_path,
                                            char* out,
                                            size_t out_size) {
  g_return_val_if_fail(link_path != nullptr, RelaunchResolve::kUnresolvable);
  g_return_val_if_fail(out != nullptr && out_size >= 2,
                       RelaunchResolve::kUnresolvable);
  ssize_t length = readlink(link_path, out, out_size - 1);
  if (length <= 0 || static_cast<size_t>(length) >= out_size - 1) {
    // readlink sets errno only for its own failures; the other two need a
    // reason of their own, or the log would show whatever errno held.
    if (length == 0) {
      errno = ENOENT;
    } else if (length > 0) {
      errno = ENAMETOOLONG;
    }
    out[0] = '\0';
    return RelaunchResolve::kUnresolvable;
  }
  size_t n = static_cast<size_t>(length);
  out[n] = '\0';
  if (n > kDeletedMarkerLength &&
      memcmp(out + n - kDeletedMarkerLength, kDeletedMarker,
             kDeletedMarkerLength) == 0) {
    out[n - kDeletedMarkerLength] = '\0';
  }
  if (access(out, X_OK) != 0) {
    return RelaunchResolve::kNotExecutable;
  }
  return RelaunchResolve::kOk;
}

FlMethodResponse* restart_success_response(int structured) {
  g_autoptr(FlValue) result = nullptr;
  if (structured) {
    result = fl_value_new_map();
    fl_value_set_string_take(result, "success", fl_value_new_bool(true));
    fl_value_set_string_take(result, "mode", fl_value_new_string(kModeProcess));
  } else {
    result = fl_value_new_string("ok");
  }
  return FL_METHOD_RESPONSE(fl_method_success_response_new(result));
}

gboolean do_restart(gpointer /* user_data */) {
  g_restart_source = 0;
  char path[kRelaunchPathBufferSize];
  switch (relaunch_resolve_executable(g_relaunch_hooks.link_path, path,
                                      sizeof(path))) {
    case RelaunchResolve::kOk:
      break;
    case RelaunchResolve::kUnresolvable: {
      int error = errno;
      g_warning("relaunch: failed to resolve executable path: %s",
                g_strerror(error));
      ResetPending();
      return G_SOURCE_REMOVE;
    }
    case RelaunchResolve::kNotExecutable: {
      int error = errno;
      g_warning("relaunch: executable not accessible: %s: %s", path,
                g_strerror(error));
      ResetPending();
      return G_SOURCE_REMOVE;
    }
  }

  // Without a stored command line the new process gets only its path, as
  // its program name.
  char* fallback[] = {path, nullptr};
  char** argv = g_argv != nullptr ? g_argv : fallback;
  g_relaunch_hooks.exec(path, argv);

  // Still here: the process image could not be replaced, so the application
  // carries on and a new request may be made.
  int error = errno;
  g_warning("relaunch: execv failed; keeping current process alive: %s",
            g_strerror(error));
  ResetPending();
  return G_SOURCE_REMOVE;
}

void SetRelaunchHooksForTesting(const RelaunchHooks* hooks) {
  const RelaunchHooks& h = hooks != nullptr ? *hooks : kNormalHooks;
  g_relaunch_hooks = {OrNormal(h.link_path, kNormalHooks.link_path),
                      OrNormal(h.exec, kNormalHooks.exec),
                      OrNormal(h.calloc_fn, kNormalHooks.calloc_fn),
                      OrNormal(h.malloc_fn, kNormalHooks.malloc_fn),
                      OrNormal(h.free_fn, kNormalHooks.free_fn)};
}

void relaunch_plugin_register_with_registrar(FlPluginRegistrar* registrar) {
  g_return_if_fail(FL_IS_PLUGIN_REGISTRAR(registrar));
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  g_autoptr(FlMethodChannel) channel =
      fl_method_channel_new(fl_plugin_registrar_get_messenger(registrar),
                            kChannelName, FL_METHOD_CODEC(codec));
  // The messenger keeps the channel and its handler for the engine's life.
  fl_method_channel_set_method_call_handler(channel, method_call_cb, nullptr,
                                            nullptr);
}
