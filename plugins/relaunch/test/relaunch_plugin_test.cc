// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include <errno.h>
#include <fcntl.h>
#include <fl_fake_main_loop.h>
#include <fl_fake_messenger.h>
#include <fl_fake_plugin_registrar.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "relaunch_plugin_private.h"
#include "test_support.h"

namespace {

constexpr guint kWaitMs = 5000;

// What the exec seam was asked to run.
struct ExecRecord {
  std::string path;
  std::vector<std::string> argv;
  gint64 time_us;
};
std::vector<ExecRecord> g_execs;

// Records the call and fails the way execv fails, so the test process stays.
int RecordingExec(const char* path, char* const argv[]) {
  ExecRecord record{path, {}, g_get_monotonic_time()};
  for (char* const* entry = argv; *entry != nullptr; entry++) {
    record.argv.push_back(*entry);
  }
  g_execs.push_back(record);
  errno = E2BIG;
  return -1;
}

std::string ExecFailedLog() {
  return std::string(
             "relaunch: execv failed; keeping current process "
             "alive: ") +
         g_strerror(E2BIG);
}

bool WriteFile(const std::string& path, mode_t mode) {
  return g_file_set_contents(path.c_str(), "#!/bin/sh\n", -1, nullptr) &&
         g_chmod(path.c_str(), mode) == 0;
}

// A path of exactly length bytes naming dir/name, padded with slashes.
std::string PaddedPath(const std::string& dir,
                       const std::string& name,
                       size_t length) {
  size_t slashes = length - dir.size() - name.size();
  return dir + std::string(slashes, '/') + name;
}

FlValue* Map(std::vector<std::pair<const char*, FlValue*>> entries) {
  FlValue* map = fl_value_new_map();
  for (auto& entry : entries) {
    fl_value_set_string_take(map, entry.first, entry.second);
  }
  return map;
}

FlValue* Str(const char* value) {
  return fl_value_new_string(value);
}

FlValue* Bool(bool value) {
  return fl_value_new_bool(value);
}

FlValue* Int(int64_t value) {
  return fl_value_new_int(value);
}

// Owns a value held in a test table.
class OwnedValue {
 public:
  OwnedValue(FlValue* value) : value_(value) {}  // NOLINT: implicit on purpose.
  ~OwnedValue() {
    if (value_ != nullptr) {
      fl_value_unref(value_);
    }
  }
  OwnedValue(const OwnedValue&) = delete;
  OwnedValue& operator=(const OwnedValue&) = delete;
  FlValue* get() const { return value_; }

 private:
  FlValue* value_;
};

std::string Hex(GBytes* bytes) {
  gsize size = 0;
  const auto* data = static_cast<const guint8*>(g_bytes_get_data(bytes, &size));
  std::string hex;
  for (gsize i = 0; i < size; i++) {
    char digits[3];
    snprintf(digits, sizeof(digits), "%02x", data[i]);
    hex += digits;
  }
  return hex;
}

// The replies a "relaunch" can get.
enum class Reply { kOk, kStructured, kError };

void ExpectReply(FlMethodResponse* response,
                 Reply kind,
                 const char* code = nullptr,
                 const char* message = nullptr) {
  ASSERT_NE(response, nullptr) << "no reply";
  if (kind == Reply::kError) {
    ASSERT_TRUE(FL_IS_METHOD_ERROR_RESPONSE(response));
    FlMethodErrorResponse* error = FL_METHOD_ERROR_RESPONSE(response);
    EXPECT_STREQ(fl_method_error_response_get_code(error), code);
    EXPECT_STREQ(fl_method_error_response_get_message(error), message);
    FlValue* details = fl_method_error_response_get_details(error);
    EXPECT_TRUE(details == nullptr ||
                fl_value_get_type(details) == FL_VALUE_TYPE_NULL);
    return;
  }
  ASSERT_TRUE(FL_IS_METHOD_SUCCESS_RESPONSE(response));
  FlValue* result = fl_method_success_response_get_result(
      FL_METHOD_SUCCESS_RESPONSE(response));
  if (kind == Reply::kOk) {
    ASSERT_EQ(fl_value_get_type(result), FL_VALUE_TYPE_STRING);
    EXPECT_STREQ(fl_value_get_string(result), "ok");
    return;
  }
  ASSERT_EQ(fl_value_get_type(result), FL_VALUE_TYPE_MAP);
  ASSERT_EQ(fl_value_get_length(result), 2u);
  // The order is part of the reply: the codec keeps it on the wire.
  EXPECT_STREQ(fl_value_get_string(fl_value_get_map_key(result, 0)), "success");
  FlValue* success = fl_value_get_map_value(result, 0);
  ASSERT_EQ(fl_value_get_type(success), FL_VALUE_TYPE_BOOL);
  EXPECT_TRUE(fl_value_get_bool(success));
  EXPECT_STREQ(fl_value_get_string(fl_value_get_map_key(result, 1)), "mode");
  FlValue* mode = fl_value_get_map_value(result, 1);
  ASSERT_EQ(fl_value_get_type(mode), FL_VALUE_TYPE_STRING);
  EXPECT_STREQ(fl_value_get_string(mode), "process");
}

// Every test gets an executable of its own, reached through a link that
// stands in for /proc/self/exe, and an exec that only records.
class RelaunchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    program_ = dir_.Child("program");
    link_ = dir_.Child("exe");
    ASSERT_TRUE(WriteFile(program_, 0755));
    ASSERT_EQ(symlink(program_.c_str(), link_.c_str()), 0);
    g_execs.clear();
    const RelaunchHooks hooks = {link_.c_str(), RecordingExec, nullptr, nullptr,
                                 nullptr};
    SetRelaunchHooksForTesting(&hooks);
  }

  void TearDown() override {
    // A test that failed after an accepted relaunch leaves its restart
    // scheduled: run by a later test's main loop with the normal hooks, it
    // would replace this process and lose the report.
    g_clear_handle_id(&g_restart_source, g_source_remove);
    SetRelaunchHooksForTesting(nullptr);
    relaunch_plugin_store_argv(0, nullptr);
    g_restart_pending = 0;
  }

  // Points the stand-in for /proc/self/exe at target.
  void RelinkTo(const std::string& target) {
    ASSERT_EQ(g_unlink(link_.c_str()), 0);
    ASSERT_EQ(symlink(target.c_str(), link_.c_str()), 0);
  }

  // Waits until the exec seam has been called count times.
  bool WaitForExecs(size_t count) {
    return fl_fake_run_until([count] { return g_execs.size() >= count; },
                             kWaitMs);
  }

  TempDir dir_;
  std::string program_;
  std::string link_;
};

// Resolution reads the link, drops a trailing deleted marker and tests for
// execute permission; targets that may have been cut short are refused.
TEST_F(RelaunchTest, ResolvesExecutableThroughLink) {
  const std::string data = dir_.Child("data");
  ASSERT_TRUE(WriteFile(data, 0644));
  const std::string& dir = dir_.path();
  const struct {
    const char* name;
    std::string target;  // Empty: the link does not exist.
    RelaunchResolve expected;
    std::string expected_path;  // Checked unless unresolvable.
    int expected_errno;         // Checked unless resolved.
  } cases[] = {
      {"plain", program_, RelaunchResolve::kOk, program_, 0},
      {"replaced file", program_ + " (deleted)", RelaunchResolve::kOk, program_,
       0},
      {"shortest cut", "/ (deleted)", RelaunchResolve::kOk, "/", 0},
      {"marker alone", " (deleted)", RelaunchResolve::kNotExecutable,
       " (deleted)", ENOENT},
      {"marker not at the end", program_ + " (deleted)x",
       RelaunchResolve::kNotExecutable, program_ + " (deleted)x", ENOENT},
      {"no execute permission", data, RelaunchResolve::kNotExecutable, data,
       EACCES},
      {"missing file", dir_.Child("missing"), RelaunchResolve::kNotExecutable,
       dir_.Child("missing"), ENOENT},
      {"4094 bytes", PaddedPath(dir, "/program", 4094), RelaunchResolve::kOk,
       PaddedPath(dir, "/program", 4094), 0},
      {"4094 bytes with marker", PaddedPath(dir, "/program (deleted)", 4094),
       RelaunchResolve::kOk, PaddedPath(dir, "/program", 4084), 0},
      {"4095 bytes", PaddedPath(dir, "/program", 4095),
       RelaunchResolve::kUnresolvable, "", ENAMETOOLONG},
      {"4095 bytes with marker", PaddedPath(dir, "/program (deleted)", 4095),
       RelaunchResolve::kUnresolvable, "", ENAMETOOLONG},
      {"no link", "", RelaunchResolve::kUnresolvable, "", ENOENT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string link = dir_.Child("link");
    g_unlink(link.c_str());
    if (!c.target.empty()) {
      ASSERT_EQ(symlink(c.target.c_str(), link.c_str()), 0) << strerror(errno);
    }
    char out[kRelaunchPathBufferSize];
    errno = 0;
    RelaunchResolve result =
        relaunch_resolve_executable(link.c_str(), out, sizeof(out));
    int error = errno;
    EXPECT_EQ(static_cast<int>(result), static_cast<int>(c.expected));
    if (c.expected != RelaunchResolve::kUnresolvable) {
      EXPECT_EQ(std::string(out), c.expected_path);
    }
    if (c.expected != RelaunchResolve::kOk) {
      EXPECT_EQ(error, c.expected_errno) << g_strerror(error);
    }
  }
}

// A file that is not a link cannot name the executable.
TEST_F(RelaunchTest, RegularFileIsNoLink) {
  char out[kRelaunchPathBufferSize];
  EXPECT_EQ(static_cast<int>(relaunch_resolve_executable(program_.c_str(), out,
                                                         sizeof(out))),
            static_cast<int>(RelaunchResolve::kUnresolvable));
  EXPECT_EQ(errno, EINVAL);
}

// The restart runs the resolved file with the stored command line or, when
// none is stored, with the path alone; every failure is logged, resets the
// pending flag and leaves the process running.
TEST_F(RelaunchTest, DoRestartExecsOrReportsFailure) {
  const std::string data = dir_.Child("data");
  ASSERT_TRUE(WriteFile(data, 0644));
  const std::string missing = dir_.Child("missing");
  char zelkoz[] = "zelkoz";
  char flag[] = "--flag";
  char* stored[] = {zelkoz, flag};
  const struct {
    const char* name;
    std::string target;  // Empty: the link does not exist.
    int stored_argc;     // Stored before; -1: stored, then cleared.
    std::vector<std::string> expected_argv;  // Empty: no exec expected.
    std::string expected_log;
  } cases[] = {
      {"nothing stored", program_, 0, {program_}, ExecFailedLog()},
      {"stored command line",
       program_,
       2,
       {"zelkoz", "--flag"},
       ExecFailedLog()},
      {"stored then cleared", program_, -1, {program_}, ExecFailedLog()},
      {"replaced file",
       program_ + " (deleted)",
       0,
       {program_},
       ExecFailedLog()},
      {"file gone",
       missing,
       0,
       {},
       "relaunch: executable not accessible: " + missing + ": " +
           g_strerror(ENOENT)},
      {"no execute permission",
       data,
       2,
       {},
       "relaunch: executable not accessible: " + data + ": " +
           g_strerror(EACCES)},
      {"target too long",
       PaddedPath(dir_.path(), "/program", 4095),
       0,
       {},
       std::string("relaunch: failed to resolve executable path: ") +
           g_strerror(ENAMETOOLONG)},
      {"no link",
       "",
       0,
       {},
       std::string("relaunch: failed to resolve executable path: ") +
           g_strerror(ENOENT)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_execs.clear();
    g_unlink(link_.c_str());
    if (!c.target.empty()) {
      ASSERT_EQ(symlink(c.target.c_str(), link_.c_str()), 0);
    }
    relaunch_plugin_store_argv(c.stored_argc == 0 ? 0 : 2, stored);
    if (c.stored_argc < 0) {
      relaunch_plugin_store_argv(0, stored);
    }
    g_restart_pending = 1;
    LogCapture logs;

    EXPECT_FALSE(do_restart(nullptr));

    EXPECT_EQ(g_restart_pending.load(), 0);
    EXPECT_EQ(logs.messages(), std::vector<std::string>{c.expected_log});
    if (c.expected_argv.empty()) {
      EXPECT_TRUE(g_execs.empty());
    } else {
      ASSERT_EQ(g_execs.size(), 1u);
      EXPECT_EQ(g_execs[0].path, program_);
      EXPECT_EQ(g_execs[0].argv, c.expected_argv);
    }
  }
}

// The "restart" channel on the synchronous fake messenger.
class RelaunchChannelTest : public RelaunchTest {
 protected:
  void SetUp() override {
    RelaunchTest::SetUp();
    messenger_ = fl_fake_messenger_new();
    g_autoptr(FlPluginRegistrar) registrar =
        fl_fake_plugin_registrar_new(FL_BINARY_MESSENGER(messenger_), nullptr);
    relaunch_plugin_register_with_registrar(registrar);
    ASSERT_TRUE(fl_fake_messenger_has_handler(messenger_, "restart"));
  }

  void TearDown() override {
    // The channel and the messenger hold each other until the handlers go,
    // as with the engine.
    fl_fake_messenger_shutdown(messenger_);
    g_clear_object(&messenger_);
    RelaunchTest::TearDown();
  }

  guint64 Begin(const char* method, FlValue* args) {
    return fl_fake_messenger_begin_standard_method(messenger_, "restart",
                                                   method, args);
  }

  // The reply of ticket (transfer full), which must be its only one.
  FlMethodResponse* Finish(guint64 ticket, guint timeout_ms = kWaitMs) {
    FlMethodResponse* response = fl_fake_messenger_finish_standard_method(
        messenger_, ticket, timeout_ms);
    EXPECT_EQ(fl_fake_messenger_get_reply_count(messenger_, ticket), 1u);
    return response;
  }

  FlMethodResponse* Call(const char* method, FlValue* args) {
    return Finish(Begin(method, args));
  }

  // The raw reply bytes to method (transfer full).
  GBytes* CallRaw(const char* method) {
    g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
    g_autoptr(GBytes) message =
        FL_METHOD_CODEC_GET_CLASS(codec)->encode_method_call(
            FL_METHOD_CODEC(codec), method, nullptr, nullptr);
    guint64 ticket = fl_fake_messenger_send(messenger_, "restart", message);
    return fl_fake_messenger_wait_reply(messenger_, ticket, kWaitMs);
  }

  FlFakeMessenger* messenger_ = nullptr;
};

// The capability report is the same six entries, in order, whatever state
// the restart and the executable are in.
TEST_F(RelaunchChannelTest, CapabilityIsFixed) {
  // Success envelope, then a map of six entries.
  const std::string expected =
      "00"
      "0d06"
      "071266756c6c50726f6365737352657374617274"
      "01"  // "fullProcessRestart": true
      "0714666c7574746572456e67696e6552657374617274"
      "02"  // "flutterEngineRestart": false
      "07146e6f74696669636174696f6e46616c6c6261636b"
      "02"  // "notificationFallback": false
      "0717656e67696e6552657374617274436f6e66696775726564"
      "02"  // "engineRestartConfigured": false
      "0713706c6174666f726d44656661756c744d6f6465"
      "070770726f63657373"  // "platformDefaultMode": "process"
      "0706726561736f6e"
      "00";  // "reason": null
  char zelkoz[] = "zelkoz";
  char* stored[] = {zelkoz};
  const struct {
    const char* name;
    std::function<void()> arrange;
  } states[] = {
      {"idle", [] {}},
      {"restart pending", [] { g_restart_pending = 1; }},
      {"executable not accessible",
       [this] { ASSERT_EQ(g_chmod(program_.c_str(), 0644), 0); }},
      {"command line stored", [&] { relaunch_plugin_store_argv(1, stored); }},
  };
  for (const auto& state : states) {
    SCOPED_TRACE(state.name);
    state.arrange();
    LogCapture logs;
    g_autoptr(GBytes) reply = CallRaw("restartCapability");
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(Hex(reply), expected);
    EXPECT_TRUE(logs.messages().empty());
  }
  EXPECT_TRUE(g_execs.empty());
}

// Arguments choose the reply's form and the mode; mistyped values fall back
// to the defaults, unknown modes are refused. Every accepted request restarts
// the process once, no sooner than 100 ms after its reply.
TEST_F(RelaunchChannelTest, RelaunchReplies) {
  const char* kUnsupported = "UNSUPPORTED_RESTART_MODE";
  const char* kUnsupportedMessage =
      "Requested restart mode is not supported on Linux";
  const struct {
    const char* name;
    OwnedValue args;
    Reply reply;
  } cases[] = {
      {"no arguments", nullptr, Reply::kOk},
      {"empty map", Map({}), Reply::kOk},
      {"process, structured",
       Map({{"mode", Str("process")}, {"structuredResult", Bool(true)}}),
       Reply::kStructured},
      {"platformDefault, structured",
       Map({{"mode", Str("platformDefault")},
            {"structuredResult", Bool(true)}}),
       Reply::kStructured},
      {"process, plain", Map({{"mode", Str("process")}}), Reply::kOk},
      {"structuredResult false",
       Map({{"mode", Str("process")}, {"structuredResult", Bool(false)}}),
       Reply::kOk},
      {"integer mode",
       Map({{"mode", Int(1)}, {"structuredResult", Bool(true)}}),
       Reply::kStructured},
      {"string structuredResult", Map({{"structuredResult", Str("true")}}),
       Reply::kOk},
      {"integer structuredResult", Map({{"structuredResult", Int(1)}}),
       Reply::kOk},
      {"list arguments",
       [] {
         FlValue* list = fl_value_new_list();
         fl_value_append_take(list, Str("Process"));
         fl_value_append_take(list, Bool(true));
         return list;
       }(),
       Reply::kOk},
      {"string arguments", Str("Process"), Reply::kOk},
      {"capitalised mode", Map({{"mode", Str("Process")}}), Reply::kError},
      {"upper-case mode", Map({{"mode", Str("PLATFORMDEFAULT")}}),
       Reply::kError},
      {"lower-case mode",
       Map({{"mode", Str("platformdefault")},
            {"structuredResult", Bool(true)}}),
       Reply::kError},
      {"engine mode", Map({{"mode", Str("engine")}}), Reply::kError},
      {"empty mode", Map({{"mode", Str("")}}), Reply::kError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_execs.clear();
    LogCapture logs;
    gint64 start_us = g_get_monotonic_time();
    g_autoptr(FlMethodResponse) response = Call("relaunch", c.args.get());
    if (c.reply == Reply::kError) {
      ExpectReply(response, c.reply, kUnsupported, kUnsupportedMessage);
      EXPECT_EQ(g_restart_pending.load(), 0);
    } else {
      ExpectReply(response, c.reply);
      ASSERT_TRUE(WaitForExecs(1));
      EXPECT_GE(g_execs[0].time_us - start_us, 100 * G_TIME_SPAN_MILLISECOND);
      EXPECT_EQ(g_execs[0].path, program_);
      EXPECT_EQ(g_execs[0].argv, std::vector<std::string>{program_});
      // The recording exec fails, which makes the plugin idle again.
      EXPECT_EQ(g_restart_pending.load(), 0);
      EXPECT_EQ(logs.messages(), std::vector<std::string>{ExecFailedLog()});
    }
  }
  // Refused requests scheduled nothing.
  fl_fake_run_until([] { return false; }, 250);
  EXPECT_TRUE(g_execs.empty());
}

// While a restart is pending, accepted modes are turned away and the flag
// stays set; an unknown mode is still named as such.
TEST_F(RelaunchChannelTest, PendingRestartRefusesAnother) {
  g_restart_pending = 1;
  g_autoptr(FlValue) process = Map({{"mode", Str("process")}});
  g_autoptr(FlValue) other = Map({{"mode", Str("Process")}});
  const struct {
    const char* name;
    FlValue* args;
    const char* code;
    const char* message;
  } cases[] = {
      {"no arguments", nullptr, "RESTART_ALREADY_IN_PROGRESS",
       "An application restart is already in progress"},
      {"process", process, "RESTART_ALREADY_IN_PROGRESS",
       "An application restart is already in progress"},
      {"unknown mode", other, "UNSUPPORTED_RESTART_MODE",
       "Requested restart mode is not supported on Linux"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_autoptr(FlMethodResponse) response = Call("relaunch", c.args);
    ExpectReply(response, Reply::kError, c.code, c.message);
    EXPECT_EQ(g_restart_pending.load(), 1);
  }
  fl_fake_run_until([] { return false; }, 250);
  EXPECT_TRUE(g_execs.empty());
}

// Of two requests made before the first restart is due, the first is
// accepted and the second refused, and the process restarts once. After the
// restart failed, a new request is accepted.
TEST_F(RelaunchChannelTest, TwoRequestsOneRestart) {
  LogCapture logs;
  // Both calls are handled before the main loop runs again.
  guint64 first = Begin("relaunch", nullptr);
  guint64 second = Begin("relaunch", nullptr);
  g_autoptr(FlMethodResponse) first_response = Finish(first);
  g_autoptr(FlMethodResponse) second_response = Finish(second);
  ExpectReply(first_response, Reply::kOk);
  ExpectReply(second_response, Reply::kError, "RESTART_ALREADY_IN_PROGRESS",
              "An application restart is already in progress");

  ASSERT_TRUE(WaitForExecs(1));
  fl_fake_run_until([] { return false; }, 250);
  EXPECT_EQ(g_execs.size(), 1u);

  g_autoptr(FlMethodResponse) third_response = Call("relaunch", nullptr);
  ExpectReply(third_response, Reply::kOk);
  ASSERT_TRUE(WaitForExecs(2));
  EXPECT_EQ(logs.messages(),
            (std::vector<std::string>{ExecFailedLog(), ExecFailedLog()}));
}

// A request the pre-check turns down leaves the plugin idle, so the same
// request succeeds once the executable is usable again.
TEST_F(RelaunchChannelTest, PreCheckFailureAllowsRetry) {
  const struct {
    const char* name;
    std::function<void()> spoil;
    std::function<void()> repair;
    const char* message;
  } cases[] = {
      {"no execute permission",
       [this] { ASSERT_EQ(g_chmod(program_.c_str(), 0644), 0); },
       [this] { ASSERT_EQ(g_chmod(program_.c_str(), 0755), 0); },
       "Executable not accessible"},
      {"file missing", [this] { RelinkTo(dir_.Child("missing")); },
       [this] { RelinkTo(program_); }, "Executable not accessible"},
      {"link too long",
       [this] { RelinkTo(PaddedPath(dir_.path(), "/program", 4095)); },
       [this] { RelinkTo(program_); }, "Could not resolve executable path"},
      {"no link", [this] { ASSERT_EQ(g_unlink(link_.c_str()), 0); },
       [this] { ASSERT_EQ(symlink(program_.c_str(), link_.c_str()), 0); },
       "Could not resolve executable path"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_execs.clear();
    LogCapture logs;
    c.spoil();
    g_autoptr(FlMethodResponse) refused = Call("relaunch", nullptr);
    ExpectReply(refused, Reply::kError, "RESTART_FAILED", c.message);
    EXPECT_EQ(g_restart_pending.load(), 0);
    EXPECT_TRUE(logs.messages().empty());

    c.repair();
    g_autoptr(FlMethodResponse) accepted = Call("relaunch", nullptr);
    ExpectReply(accepted, Reply::kOk);
    ASSERT_TRUE(WaitForExecs(1));
    EXPECT_EQ(g_execs[0].path, program_);
  }
}

// A file removed after the request was accepted stops the restart when it is
// due; the process keeps running and can be asked again.
TEST_F(RelaunchChannelTest, FileRemovedBeforeRestartIsDue) {
  LogCapture logs;
  g_autoptr(FlMethodResponse) response = Call("relaunch", nullptr);
  ExpectReply(response, Reply::kOk);
  ASSERT_EQ(g_unlink(program_.c_str()), 0);

  ASSERT_TRUE(
      fl_fake_run_until([] { return g_restart_pending.load() == 0; }, kWaitMs));
  EXPECT_TRUE(g_execs.empty());
  EXPECT_EQ(logs.messages(),
            std::vector<std::string>{"relaunch: executable not accessible: " +
                                     program_ + ": " + g_strerror(ENOENT)});

  ASSERT_TRUE(WriteFile(program_, 0755));
  g_autoptr(FlMethodResponse) again = Call("relaunch", nullptr);
  ExpectReply(again, Reply::kOk);
  EXPECT_TRUE(WaitForExecs(1));
}

// Methods the channel does not know get the not-implemented reply.
TEST_F(RelaunchChannelTest, UnknownMethodNotImplemented) {
  for (const char* method : {"restart", "Relaunch", "restartcapability", ""}) {
    SCOPED_TRACE(method);
    g_autoptr(FlMethodResponse) response = Call(method, nullptr);
    ASSERT_NE(response, nullptr);
    EXPECT_TRUE(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(response));
  }
  EXPECT_EQ(g_restart_pending.load(), 0);
}

// The channel on a messenger whose replies can be refused.
class RelaunchRefusedReplyTest : public RelaunchChannelTest {
 protected:
  void Refuse(const char* refusal) {
    fl_fake_messenger_set_refuse_replies(messenger_, TRUE, refusal);
  }

  // Every reply goes out before the call returns: returns the one that
  // arrived (transfer full), or nullptr for a refused one.
  FlMethodResponse* Call(const char* method, FlValue* args) {
    return Finish(Begin(method, args), 0);
  }
};

// A success reply that cannot be sent cancels the restart and is logged;
// the next request is accepted.
TEST_F(RelaunchRefusedReplyTest, RefusedSuccessCancelsRestart) {
  const struct {
    const char* refusal;
    const char* expected_log;
  } cases[] = {
      {"peer went away", "relaunch: failed to send response: peer went away"},
      {nullptr, "relaunch: failed to send response: unknown channel error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected_log);
    g_execs.clear();
    LogCapture logs;
    Refuse(c.refusal);
    g_autoptr(FlMethodResponse) refused = Call("relaunch", nullptr);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(g_restart_pending.load(), 0);
    EXPECT_EQ(logs.messages(), std::vector<std::string>{c.expected_log});
    fl_fake_run_until([] { return false; }, 250);
    EXPECT_TRUE(g_execs.empty()) << "restarted without a reply";

    fl_fake_messenger_set_refuse_replies(messenger_, FALSE, nullptr);
    g_autoptr(FlValue) args =
        Map({{"mode", Str("process")}, {"structuredResult", Bool(true)}});
    g_autoptr(FlMethodResponse) accepted = Call("relaunch", args);
    ExpectReply(accepted, Reply::kStructured);
    ASSERT_TRUE(WaitForExecs(1));
  }
}

// Failed sends of the capability and not-implemented replies are logged,
// those of error replies are not; none of them changes the pending flag.
TEST_F(RelaunchRefusedReplyTest, WhichFailedSendsAreLogged) {
  const std::string logged = "relaunch: failed to send response: closed";
  g_autoptr(FlValue) bad_mode = Map({{"mode", Str("Process")}});
  const struct {
    const char* name;
    const char* method;
    FlValue* args;
    int32_t pending;  // The flag before and after the call.
    bool spoil_executable;
    bool logs;
  } cases[] = {
      {"capability", "restartCapability", nullptr, 0, false, true},
      {"not implemented", "noSuchMethod", nullptr, 0, false, true},
      {"unsupported mode", "relaunch", bad_mode, 0, false, false},
      {"already in progress", "relaunch", nullptr, 1, false, false},
      {"pre-check failed", "relaunch", nullptr, 0, true, false},
  };
  Refuse("closed");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_restart_pending = c.pending;
    ASSERT_EQ(g_chmod(program_.c_str(), c.spoil_executable ? 0644 : 0755), 0);
    LogCapture logs;
    g_autoptr(FlMethodResponse) response = Call(c.method, c.args);
    EXPECT_EQ(response, nullptr);
    EXPECT_EQ(logs.messages(), c.logs ? std::vector<std::string>{logged}
                                      : std::vector<std::string>{});
    EXPECT_EQ(g_restart_pending.load(), c.pending);
  }
  fl_fake_run_until([] { return false; }, 250);
  EXPECT_TRUE(g_execs.empty());
}

// Output of a finished child process.
struct ChildOutcome {
  bool done = false;
  gchar* out = nullptr;     // Owned.
  GError* error = nullptr;  // Owned.
  ~ChildOutcome() {
    g_free(out);
    g_clear_error(&error);
  }
};

void ChildDoneCb(GObject* source, GAsyncResult* result, gpointer data) {
  auto* outcome = static_cast<ChildOutcome*>(data);
  g_subprocess_communicate_utf8_finish(G_SUBPROCESS(source), result,
                                       &outcome->out, nullptr, &outcome->error);
  outcome->done = true;
}

// The library as shipped replaces the calling process in place, after the
// reply: the same process id, and as its only argument the absolute path of
// the executable.
TEST(RelaunchExecTest, ReplacesProcessInPlace) {
  char helper[PATH_MAX];
  ASSERT_NE(realpath(RELAUNCH_EXEC_HELPER, helper), nullptr);
  g_autoptr(GError) error = nullptr;
  g_autoptr(GSubprocess) process =
      g_subprocess_new(G_SUBPROCESS_FLAGS_STDOUT_PIPE, &error,
                       RELAUNCH_EXEC_HELPER, "--first", "start", nullptr);
  ASSERT_NE(process, nullptr) << error->message;
  const std::string pid = g_subprocess_get_identifier(process);
  ChildOutcome outcome;
  g_subprocess_communicate_utf8_async(process, nullptr, nullptr, ChildDoneCb,
                                      &outcome);
  if (!fl_fake_run_until([&outcome] { return outcome.done; }, 3 * kWaitMs)) {
    g_subprocess_force_exit(process);
    fl_fake_run_until([&outcome] { return outcome.done; }, kWaitMs);
    FAIL() << "the helper did not end";
  }
  ASSERT_EQ(outcome.error, nullptr) << outcome.error->message;
  EXPECT_TRUE(g_subprocess_get_if_exited(process));
  EXPECT_EQ(g_subprocess_get_exit_status(process), 0);

  g_auto(GStrv) lines = g_strsplit(outcome.out, "\n", -1);
  ASSERT_GE(g_strv_length(lines), 3u) << outcome.out;
  g_auto(GStrv) first = g_strsplit(lines[0], " ", 4);
  ASSERT_EQ(g_strv_length(first), 4u) << lines[0];
  EXPECT_STREQ(first[0], "start");
  EXPECT_EQ(first[1], pid);
  EXPECT_STREQ(first[2], "3");
  EXPECT_STREQ(lines[1], "reply ok");
  EXPECT_EQ(std::string(lines[2]), "start " + pid + " 1 " + helper);
}

}  // namespace
