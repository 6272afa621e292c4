// Copyright 2026 The Zelkoz Authors. All rights reserved.
//
// The zelkoz-dart command as a user runs it: JSON lines in, JSON lines out,
// with the fake engine as the program.
#include <gio/gio.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dart_peer/json.h"
#include "fake_engine.h"
#include "raw_wire.h"

namespace dart_peer {
namespace {

struct CommandRun {
  bool finished = false;
  int status = -1;
  std::vector<std::string> lines;
  std::string errors;
};

// Runs zelkoz-dart with |args| and |input| on its standard input.
CommandRun RunCommand(const std::vector<std::string>& args,
                      const std::string& input) {
  CommandRun run;
  g_autoptr(GMainContext) context = g_main_context_new();
  g_main_context_push_thread_default(context);
  std::vector<const gchar*> argv = {ZELKOZ_DART_PATH};
  for (const std::string& arg : args) {
    argv.push_back(arg.c_str());
  }
  argv.push_back(nullptr);
  g_autoptr(GError) error = nullptr;
  g_autoptr(GSubprocess) process = g_subprocess_newv(
      argv.data(),
      static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDIN_PIPE |
                                    G_SUBPROCESS_FLAGS_STDOUT_PIPE |
                                    G_SUBPROCESS_FLAGS_STDERR_PIPE),
      &error);
  if (process == nullptr) {
    ADD_FAILURE() << error->message;
    g_main_context_pop_thread_default(context);
    return run;
  }
  struct Done {
    bool done = false;
    gchar* out = nullptr;  // Owned.
    gchar* err = nullptr;  // Owned.
  } done;
  g_subprocess_communicate_utf8_async(
      process, input.c_str(), nullptr,
      [](GObject* object, GAsyncResult* result, gpointer data) {
        auto* d = static_cast<Done*>(data);
        g_subprocess_communicate_utf8_finish(G_SUBPROCESS(object), result,
                                             &d->out, &d->err, nullptr);
        d->done = true;
      },
      &done);
  bool timed_out = false;
  GSource* timer = g_timeout_source_new(30000);
  g_source_set_callback(
      timer,
      [](gpointer data) -> gboolean {
        *static_cast<bool*>(data) = true;
        return G_SOURCE_REMOVE;
      },
      &timed_out, nullptr);
  g_source_attach(timer, context);
  while (!done.done && !timed_out) {
    g_main_context_iteration(context, TRUE);
  }
  g_source_destroy(timer);
  g_source_unref(timer);
  if (!done.done) {
    g_subprocess_force_exit(process);
    ADD_FAILURE() << "zelkoz-dart did not finish";
    // The pending communication still refers to |done|: let it end.
    while (!done.done) {
      g_main_context_iteration(context, TRUE);
    }
  } else {
    g_subprocess_wait(process, nullptr, nullptr);
    run.finished = true;
    run.status = g_subprocess_get_if_exited(process)
                     ? g_subprocess_get_exit_status(process)
                     : -1;
    g_auto(GStrv) lines =
        g_strsplit(done.out != nullptr ? done.out : "", "\n", -1);
    for (gchar** line = lines; *line != nullptr; line++) {
      if (**line != '\0') {
        run.lines.push_back(*line);
      }
    }
    run.errors = done.err != nullptr ? done.err : "";
  }
  g_free(done.out);
  g_free(done.err);
  g_main_context_pop_thread_default(context);
  return run;
}

// Takes out the lines that start with |prefix|.
std::vector<std::string> Extract(std::vector<std::string>* lines,
                                 const std::string& prefix) {
  std::vector<std::string> taken;
  for (auto it = lines->begin(); it != lines->end();) {
    if (it->rfind(prefix, 0) == 0) {
      taken.push_back(*it);
      it = lines->erase(it);
    } else {
      ++it;
    }
  }
  return taken;
}

std::vector<std::string> FakeEngineCommand(std::vector<std::string> options) {
  options.insert(options.end(),
                 {"--", fake_engine::SelfPath(), fake_engine::kFlag, "x"});
  return options;
}

// A whole session: every request kind, the engine's events and calls, a
// malformed line, and the program's end, each as its documented line.
TEST(ZelkozDartTest, RelaysASession) {
  g_autofree gchar* dir = g_dir_make_tmp("zelkoz-dart-test-XXXXXX", nullptr);
  g_autofree gchar* png = g_build_filename(dir, "t.png", nullptr);
  std::string input =
      "{\"id\":1,\"invoke\":\"fake/drawn\",\"method\":\"q\"}\n"
      "{\"id\":2,\"invoke\":\"fake/echo\",\"method\":\"m\","
      "\"args\":{\"k\":1099511627776}}\n"
      "{\"id\":3,\"invoke\":\"fake/error\",\"method\":\"q\"}\n"
      "{\"id\":4,\"invoke\":\"fake/none\",\"method\":\"q\"}\n"
      "{\"id\":5,\"listen\":\"fake/events\"}\n"
      "this is not JSON\n"
      "{\"id\":6,\"texture\":5,\"png\":\"" +
      std::string(png) +
      "\"}\n"
      "{\"id\":7,\"texture\":6}\n"
      "{\"id\":8,\"invoke\":\"fake/ask\",\"method\":\"q\"}\n"
      "{\"id\":9,\"wait\":20}\n"
      "{\"id\":10,\"cancel\":\"fake/events\"}\n"
      "{\"id\":11,\"invoke\":\"fake/exit\",\"method\":\"q\"}\n";
  CommandRun run = RunCommand(FakeEngineCommand({}), input);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.status, 0) << run.errors;

  std::vector<std::string> lines = run.lines;
  std::vector<std::string> bad = Extract(&lines, "{\"badRequest\":");
  ASSERT_EQ(bad.size(), 1u);
  EXPECT_EQ(bad[0].rfind("{\"badRequest\":\"invalid JSON", 0), 0u);
  EXPECT_EQ(Extract(&lines, "{\"id\":9,").size(), 1u);
  ASSERT_FALSE(lines.empty());
  Json hello;
  std::string error;
  ASSERT_TRUE(ParseJson(lines[0], &hello, &error)) << lines[0];
  ASSERT_NE(Find(hello, "hello"), nullptr) << lines[0];
  EXPECT_TRUE(hello["hello"]["pid"].is_number_integer());
  EXPECT_EQ(Serialize(hello["hello"]["args"]), "[\"x\"]");
  lines.erase(lines.begin());

  g_autofree gchar* echoed = g_base64_encode(
      raw::Hex("07 01 6d 0d 01 07 01 6b 04 00 00 00 00 00 01 00 00").data(),
      17);
  const std::vector<std::string> expected = {
      "{\"id\":1,\"result\":true}",
      std::string("{\"id\":2,\"result\":{\"$uint8\":\"") + echoed + "\"}}",
      "{\"id\":3,\"error\":{\"code\":\"E1\",\"message\":\"bad\",\"details\":7}"
      "}",
      "{\"id\":4,\"notImplemented\":true}",
      "{\"id\":5,\"result\":null}",
      "{\"channel\":\"fake/events\",\"event\":1}",
      "{\"channel\":\"fake/events\",\"event\":\"hi\"}",
      "{\"channel\":\"fake/events\",\"eventError\":{\"code\":\"E2\","
      "\"message\":null,\"details\":null}}",
      "{\"channel\":\"fake/events\",\"endOfStream\":true}",
      std::string("{\"id\":6,\"width\":2,\"height\":2,\"sha256\":"
                  "\"67ba0d52cacdb5b17a5622d0b1e24fabdb214298575205e3c99e8034"
                  "ba5870f7\",\"center\":[255,255,255,128],\"png\":\"") +
          png + "\"}",
      "{\"id\":7,\"error\":{\"code\":\"no_texture\",\"message\":\"no such "
      "texture\",\"details\":null}}",
      "{\"channel\":\"fake/fromEngine\",\"methodCall\":\"ping\",\"args\":5}",
      "{\"channel\":\"fake/"
      "fromEngine\",\"methodCall\":\"note\",\"args\":\"x\"}",
      "{\"id\":8,\"result\":true}",
      "{\"id\":10,\"result\":null}",
      "{\"id\":11,\"result\":null}",
      "{\"exit\":7}",
  };
  EXPECT_EQ(lines, expected);
  EXPECT_TRUE(g_file_test(png, G_FILE_TEST_IS_REGULAR));
  g_unlink(png);
  g_rmdir(dir);
}

// --hold-first-frame keeps "drawFrame" back.
TEST(ZelkozDartTest, HoldsTheFirstFrame) {
  CommandRun run =
      RunCommand(FakeEngineCommand({"--hold-first-frame"}),
                 "{\"id\":1,\"invoke\":\"fake/drawn\",\"method\":\"q\"}\n"
                 "{\"id\":2,\"invoke\":\"fake/exit\",\"method\":\"q\"}\n");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.status, 0);
  ASSERT_EQ(run.lines.size(), 4u);
  EXPECT_EQ(run.lines[1], "{\"id\":1,\"result\":false}");
  EXPECT_EQ(run.lines[3], "{\"exit\":7}");
}

// The exit status says whether the program ended by itself; requests that
// nothing can carry any more are answered.
TEST(ZelkozDartTest, ExitStatusAndTimeout) {
  const struct {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::vector<std::string> lines;
  } cases[] = {
      {{"--", "sh", "-c", "exit 3"}, "", 0, {"{\"exit\":3}"}},
      {{"--timeout", "0.2", "--", "sleep", "60"}, "", 1, {"{\"signal\":9}"}},
      {{"--timeout=0.2", "sleep", "60"}, "", 1, {"{\"signal\":9}"}},
      {{"--", "sh", "-c", "kill -INT $$"}, "", 0, {"{\"signal\":2}"}},
      {{"--", "sh", "-c", "exit 0"},
       "{\"id\":1,\"invoke\":\"c\",\"method\":\"m\"}\n",
       0,
       {"{\"exit\":0}",
        "{\"id\":1,\"disconnected\":\"the program has ended\"}"}},
      {{}, "", 2, {}},
      {{"--timeout", "soon", "--", "true"}, "", 2, {}},
      {{"--bogus", "--", "true"}, "", 2, {}},
      {{"--", "/nonexistent/program"}, "", 2, {}},
  };
  for (const auto& c : cases) {
    std::string name;
    for (const std::string& arg : c.args) {
      name += arg + " ";
    }
    SCOPED_TRACE(name);
    CommandRun run = RunCommand(c.args, c.input);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.status, c.status) << run.errors;
    EXPECT_EQ(run.lines, c.lines);
    if (c.status == 2) {
      EXPECT_NE(run.errors.find("zelkoz-dart:"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace dart_peer
