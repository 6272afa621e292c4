// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "my_application.h"

int main(int argc, char** argv) {
  MyApplication* application = my_application_new();
  int status = g_application_run(G_APPLICATION(application), argc, argv);
  g_object_unref(application);
  return status;
}
