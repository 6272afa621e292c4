// Copyright 2026 The Zelkoz Authors. All rights reserved.
//
// A program that asks the restart plugin, loaded as the real library, to
// restart it. Each start writes "start PID ARGC ARGV0" to standard output;
// the first start (any arguments) also writes the reply, then waits for the
// plugin to replace it. A start without arguments exits at once with 0.
#include <fl_fake_messenger.h>
#include <fl_fake_plugin_registrar.h>
#include <relaunch/relaunch_plugin.h>
#include <stdio.h>
#include <unistd.h>

namespace {

gboolean QuitCb(gpointer data) {
  g_main_loop_quit(static_cast<GMainLoop*>(data));
  return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
  fprintf(stdout, "start %d %d %s\n", static_cast<int>(getpid()), argc,
          argv[0]);
  fflush(stdout);
  if (argc == 1) {
    return 0;
  }

  g_autoptr(FlFakeMessenger) messenger = fl_fake_messenger_new();
  g_autoptr(FlPluginRegistrar) registrar =
      fl_fake_plugin_registrar_new(FL_BINARY_MESSENGER(messenger), nullptr);
  relaunch_plugin_register_with_registrar(registrar);
  g_autoptr(FlMethodResponse) response =
      fl_fake_messenger_invoke_standard_method(messenger, "restart", "relaunch",
                                               nullptr);
  FlValue* result =
      response != nullptr && FL_IS_METHOD_SUCCESS_RESPONSE(response)
          ? fl_method_success_response_get_result(
                FL_METHOD_SUCCESS_RESPONSE(response))
          : nullptr;
  fprintf(stdout, "reply %s\n",
          result != nullptr && fl_value_get_type(result) == FL_VALUE_TYPE_STRING
              ? fl_value_get_string(result)
              : "(none)");
  fflush(stdout);

  // The restart replaces this image well before the loop gives up.
  g_autoptr(GMainLoop) loop = g_main_loop_new(nullptr, FALSE);
  g_timeout_add(5000, QuitCb, loop);
  g_main_loop_run(loop);
  fprintf(stdout, "not replaced\n");
  return 1;
}
