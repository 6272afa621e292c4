// Copyright 2026 The Zelkoz Authors. All rights reserved.
//
// The restart plugin's channel "restart" from a hostile Dart side: any method
// name with any arguments, stored command lines of any shape, and the
// executable's link pointing at an executable, a file that may not be run, a
// missing file, a name too long to read or a "(deleted)" name, changed at any
// moment. Every call is answered once with the reply its arguments and the
// pending restart call for; every accepted restart reaches the process
// replacement with the stored command line intact (the replacement itself is
// a recorder here, installed before the first input), and no restart stays
// pending once its turn has come.
#include <flutter_linux/flutter_linux.h>
#include <glib/gstdio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fl_fake_plugin_registrar.h"
#include "fuzz_support.h"
#include "relaunch_plugin_private.h"

namespace {

using zk_fuzz::Fail;

constexpr char kChannel[] = "restart";
constexpr int kMaxOperations = 16;
// The restart runs 100 ms after its reply; this is ample.
constexpr guint kPendingTimeoutMs = 2000;

const std::vector<std::string> kMethods = {"restartCapability", "relaunch"};

enum class LinkKind { kRunnable, kNotExecutable, kUnresolvable };

struct Link {
  std::string path;  // "" stands for the plugin's own default.
  LinkKind kind;
};

std::vector<Link>* g_links = nullptr;

// What the process replacement has been asked for.
struct ExecRecord {
  int calls = 0;
  // The command line stored last, as the fuzzer gave it; empty when none.
  std::vector<std::string> stored;
};
ExecRecord* g_exec = nullptr;

// Stands in for execv: reads everything it is given, as execv would, checks
// it against the command line stored last, and fails as execv can, so that
// the fuzzer's process stays.
int RecordExec(const char* path, char* const argv[]) {
  if (path == nullptr || argv == nullptr || argv[0] == nullptr) {
    Fail("the restart execs without a path or arguments");
  }
  g_exec->calls++;
  std::vector<std::string> given;
  for (char* const* entry = argv; *entry != nullptr; entry++) {
    given.emplace_back(*entry);
  }
  std::vector<std::string> expected = g_exec->stored;
  if (expected.empty()) {
    expected.push_back(path);
  }
  if (given != expected) {
    Fail("the restart got %zu arguments, not the %zu stored", given.size(),
         expected.size());
  }
  errno = ENOSYS;
  return -1;
}

void MakeLinks() {
  const std::string dir = zk_fuzz::MakeScratchDir("restart");
  auto child = [&dir](const char* name) {
    g_autofree gchar* path = g_build_filename(dir.c_str(), name, nullptr);
    return std::string(path);
  };
  const std::string runnable = child("program");
  g_file_set_contents(runnable.c_str(), "#!/bin/sh\n", -1, nullptr);
  g_chmod(runnable.c_str(), 0755);
  const std::string plain = child("plain");
  g_file_set_contents(plain.c_str(), "data\n", -1, nullptr);
  g_chmod(plain.c_str(), 0644);

  auto link = [&child](const char* name, const std::string& target) {
    const std::string path = child(name);
    if (symlink(target.c_str(), path.c_str()) != 0) {
      Fail("cannot make the link %s", path.c_str());
    }
    return path;
  };
  // The kernel's name for a file that was replaced or removed while it ran.
  const std::string deleted = link("deleted", runnable + " (deleted)");
  // A link whose target fills the whole buffer may have been cut short.
  const std::string long_target = "/" + std::string(kRelaunchPathBufferSize - 2, 'x');
  const std::string too_long = link("too-long", long_target);
  const std::string just_fits =
      link("just-fits", "/" + std::string(kRelaunchPathBufferSize - 3, 'y'));

  g_links = new std::vector<Link>{
      {"", LinkKind::kRunnable},
      {link("runnable", runnable), LinkKind::kRunnable},
      {deleted, LinkKind::kRunnable},
      {link("not-executable", plain), LinkKind::kNotExecutable},
      {just_fits, LinkKind::kNotExecutable},
      {link("missing", child("no-such-file")), LinkKind::kNotExecutable},
      {too_long, LinkKind::kUnresolvable},
      {plain, LinkKind::kUnresolvable},  // Not a link at all.
      {child("no-such-link"), LinkKind::kUnresolvable},
  };
}

std::optional<std::string> StringEntry(FlValue* args, const char* key) {
  if (args == nullptr || fl_value_get_type(args) != FL_VALUE_TYPE_MAP) {
    return std::nullopt;
  }
  FlValue* value = fl_value_lookup_string(args, key);
  if (value == nullptr || fl_value_get_type(value) != FL_VALUE_TYPE_STRING) {
    return std::nullopt;
  }
  return std::string(fl_value_get_string(value));
}

bool BoolEntry(FlValue* args, const char* key) {
  if (args == nullptr || fl_value_get_type(args) != FL_VALUE_TYPE_MAP) {
    return false;
  }
  FlValue* value = fl_value_lookup_string(args, key);
  return value != nullptr && fl_value_get_type(value) == FL_VALUE_TYPE_BOOL &&
         fl_value_get_bool(value);
}

FlValue* Capability() {
  FlValue* map = fl_value_new_map();
  fl_value_set_string_take(map, "fullProcessRestart", fl_value_new_bool(true));
  fl_value_set_string_take(map, "flutterEngineRestart",
                           fl_value_new_bool(false));
  fl_value_set_string_take(map, "notificationFallback",
                           fl_value_new_bool(false));
  fl_value_set_string_take(map, "engineRestartConfigured",
                           fl_value_new_bool(false));
  fl_value_set_string_take(map, "platformDefaultMode",
                           fl_value_new_string("process"));
  fl_value_set_string_take(map, "reason", fl_value_new_null());
  return map;
}

void ExpectError(FlMethodResponse* response,
                 const char* code,
                 const char* message) {
  if (!FL_IS_METHOD_ERROR_RESPONSE(response)) {
    Fail("\"relaunch\" should have failed with %s", code);
  }
  FlMethodErrorResponse* error = FL_METHOD_ERROR_RESPONSE(response);
  if (g_strcmp0(fl_method_error_response_get_code(error), code) != 0 ||
      g_strcmp0(fl_method_error_response_get_message(error), message) != 0 ||
      fl_method_error_response_get_details(error) != nullptr) {
    Fail("\"relaunch\" failed with %s (%s) instead of %s",
         fl_method_error_response_get_code(error),
         fl_method_error_response_get_message(error), code);
  }
}

void ExpectSuccess(FlMethodResponse* response, bool structured) {
  if (!FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
    Fail("an acceptable \"relaunch\" was refused");
  }
  FlValue* result = fl_method_success_response_get_result(
      FL_METHOD_SUCCESS_RESPONSE(response));
  g_autoptr(FlValue) expected = nullptr;
  if (structured) {
    expected = fl_value_new_map();
    fl_value_set_string_take(expected, "success", fl_value_new_bool(true));
    fl_value_set_string_take(expected, "mode", fl_value_new_string("process"));
  } else {
    expected = fl_value_new_string("ok");
  }
  if (result == nullptr || !fl_value_equal(result, expected)) {
    Fail("\"relaunch\" succeeded with the wrong value");
  }
}

class Run {
 public:
  Run() {
    registrar_ =
        fl_fake_plugin_registrar_new(messenger_.messenger(), nullptr);
    relaunch_plugin_register_with_registrar(registrar_);
    context_.keys = {"mode", "structuredResult"};
    context_.strings = {"platformDefault", "process", "Process",
                        "platformdefault", "", "engine"};
  }

  ~Run() { g_object_unref(registrar_); }

  void Execute(zk_fuzz::Input* in) {
    for (int i = 0; i < kMaxOperations && !in->empty(); i++) {
      switch (in->Below(8)) {
        case 0:
        case 1:
        case 2:
          Call(in);
          break;
        case 3:
          StoreArgv(in);
          break;
        case 4:
          SetLink(in->Below(g_links->size()));
          break;
        case 5:
          zk_fuzz::RunLoopUntil([] { return false; }, in->Below(150));
          break;
        case 6:
          messenger_.SendRaw(kChannel, in->Bytes(48));
          break;
        default:
          WaitForRestart();
          break;
      }
      zk_fuzz::DrainLoop();
    }
  }

  void Finish() {
    WaitForRestart();
    messenger_.CheckAllAnswered("end of run");
  }

  void SetLink(size_t index) {
    link_ = &(*g_links)[index];
    link_changed_ = true;
    const RelaunchHooks hooks = {
        link_->path.empty() ? nullptr : link_->path.c_str(), RecordExec,
        nullptr, nullptr, nullptr};
    SetRelaunchHooksForTesting(&hooks);
  }

 private:
  void Call(zk_fuzz::Input* in) {
    const std::string name = zk_fuzz::GenerateName(in, kMethods);
    g_autoptr(FlValue) args = zk_fuzz::GenerateArgs(in, context_);
    const bool pending = g_restart_pending.load() != 0;
    const int exec_calls = g_exec->calls;
    const guint64 ticket = messenger_.Call(kChannel, name, args);
    g_autoptr(FlMethodResponse) response = messenger_.Reply(ticket);
    if (response == nullptr) {
      Fail("\"%s\" was not answered at once", name.c_str());
    }
    if (g_exec->calls != exec_calls) {
      Fail("the restart ran before the main loop did");
    }
    if (name == "restartCapability") {
      g_autoptr(FlValue) expected = Capability();
      FlValue* result =
          FL_IS_METHOD_SUCCESS_RESPONSE(response)
              ? fl_method_success_response_get_result(
                    FL_METHOD_SUCCESS_RESPONSE(response))
              : nullptr;
      if (result == nullptr || !fl_value_equal(result, expected)) {
        Fail("\"restartCapability\" gave the wrong report");
      }
      return;
    }
    if (name != "relaunch") {
      if (!FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(response)) {
        Fail("the unknown method \"%s\" was answered", name.c_str());
      }
      return;
    }
    const std::string mode =
        StringEntry(args, "mode").value_or("platformDefault");
    const bool structured = BoolEntry(args, "structuredResult");
    if (mode != "platformDefault" && mode != "process") {
      ExpectError(response, "UNSUPPORTED_RESTART_MODE",
                  "Requested restart mode is not supported on Linux");
      return;
    }
    if (pending) {
      ExpectError(response, "RESTART_ALREADY_IN_PROGRESS",
                  "An application restart is already in progress");
      return;
    }
    switch (link_->kind) {
      case LinkKind::kRunnable:
        ExpectSuccess(response, structured);
        if (g_restart_pending.load() == 0) {
          Fail("an accepted restart is not pending");
        }
        accepted_ = true;
        link_changed_ = false;
        exec_calls_at_accept_ = g_exec->calls;
        break;
      case LinkKind::kNotExecutable:
        ExpectError(response, "RESTART_FAILED", "Executable not accessible");
        break;
      case LinkKind::kUnresolvable:
        ExpectError(response, "RESTART_FAILED",
                    "Could not resolve executable path");
        break;
    }
    if (link_->kind != LinkKind::kRunnable && g_restart_pending.load() != 0) {
      Fail("a refused restart stays pending");
    }
  }

  // A command line of any shape, NULL entries and a count past the entries
  // given included.
  void StoreArgv(zk_fuzz::Input* in) {
    const uint32_t entries = in->Below(5);
    std::vector<std::string> texts;
    std::vector<char*> argv;
    texts.reserve(entries);
    for (uint32_t i = 0; i < entries; i++) {
      texts.push_back(in->Utf8(32));
    }
    for (uint32_t i = 0; i < entries; i++) {
      argv.push_back(in->Below(6) == 0 ? nullptr : texts[i].data());
    }
    int argc = static_cast<int>(entries);
    switch (in->Below(6)) {
      case 0:
        argc = -static_cast<int>(in->Byte());
        break;
      case 1:
        argc = 0;
        break;
      default:
        break;
    }
    const bool null_argv = in->Below(8) == 0;
    // The count may claim more entries than there are: only what is there
    // may be read.
    argc = std::min(argc, static_cast<int>(entries));
    relaunch_plugin_store_argv(argc, null_argv ? nullptr : argv.data());
    g_exec->stored.clear();
    if (argc > 0 && !null_argv) {
      for (int i = 0; i < argc; i++) {
        g_exec->stored.push_back(argv[i] != nullptr ? argv[i] : "");
      }
    }
  }

  // Lets an accepted restart take its turn, and checks what it did.
  void WaitForRestart() {
    if (!accepted_) {
      return;
    }
    if (!zk_fuzz::RunLoopUntil([] { return g_restart_pending.load() == 0; },
                               kPendingTimeoutMs)) {
      Fail("a restart stays pending after its turn");
    }
    accepted_ = false;
    // do_restart resolves the link again and execs only if that works then.
    if (g_exec->calls == exec_calls_at_accept_ && !link_changed_ &&
        link_->kind == LinkKind::kRunnable) {
      Fail("an accepted restart never tried to replace the process");
    }
  }

  zk_fuzz::CheckedMessenger messenger_;
  FlPluginRegistrar* registrar_ = nullptr;
  zk_fuzz::ValueContext context_;
  const Link* link_ = nullptr;
  bool accepted_ = false;
  // The link changed since the restart was accepted.
  bool link_changed_ = false;
  int exec_calls_at_accept_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  zk_fuzz::InitEnvironment(false);
  MakeLinks();
  g_exec = new ExecRecord();
  const RelaunchHooks hooks = {nullptr, RecordExec, nullptr, nullptr, nullptr};
  SetRelaunchHooksForTesting(&hooks);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zk_fuzz::Input in(data, size);
  // Every run starts with nothing stored.
  relaunch_plugin_store_argv(0, nullptr);
  g_exec->stored.clear();
  Run run;
  run.SetLink(in.Below(g_links->size()));
  run.Execute(&in);
  run.Finish();
  return 0;
}
