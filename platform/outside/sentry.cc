// Copyright 2026 The Zelkoz Authors. All rights reserved.
//
// The crash reporter's native library. The application links it so that it is
// loaded with the process, but never calls into it.

#define SENTRY_EXPORT __attribute__((visibility("default")))

extern "C" SENTRY_EXPORT const char* sentry_sdk_version() {
  return "0.0.0-zelkoz";
}
