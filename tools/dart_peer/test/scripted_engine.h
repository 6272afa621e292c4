// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef TOOLS_DART_PEER_TEST_SCRIPTED_ENGINE_H_
#define TOOLS_DART_PEER_TEST_SCRIPTED_ENGINE_H_

#include <glib.h>

#include <functional>
#include <string>

#include "raw_wire.h"

// Runs |context| until |condition| holds or |timeout_ms| passes.
bool RunUntil(GMainContext* context,
              const std::function<bool()>& condition,
              int timeout_ms);

// The engine's end of one connection, driven step by step by a test in the
// same thread: every wait runs the peer's context meanwhile.
class ScriptedEngine {
 public:
  ScriptedEngine(GMainContext* context, const std::string& socket_path);
  ~ScriptedEngine();
  ScriptedEngine(const ScriptedEngine&) = delete;
  ScriptedEngine& operator=(const ScriptedEngine&) = delete;

  bool connected() const { return fd_ >= 0; }
  void Send(const raw::Bytes& bytes);
  // The next frame from the peer; false on timeout or when it closed.
  bool Read(raw::RawFrame* frame, int timeout_ms = 5000);
  // True once the peer has closed the connection.
  bool WaitClosed(int timeout_ms = 5000);

 private:
  // Takes what the socket holds without blocking.
  void Drain();

  GMainContext* context_;
  int fd_;
  raw::Bytes buffer_;
  bool closed_ = false;
};

#endif  // TOOLS_DART_PEER_TEST_SCRIPTED_ENGINE_H_
