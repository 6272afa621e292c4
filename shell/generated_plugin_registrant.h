// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef SHELL_GENERATED_PLUGIN_REGISTRANT_H_
#define SHELL_GENERATED_PLUGIN_REGISTRANT_H_

#include <flutter_linux/flutter_linux.h>

// Registers every plugin of the application with the registry.
void fl_register_plugins(FlPluginRegistry* registry);

#endif  // SHELL_GENERATED_PLUGIN_REGISTRANT_H_
