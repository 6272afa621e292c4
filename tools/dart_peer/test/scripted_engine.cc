// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "scripted_engine.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

bool RunUntil(GMainContext* context,
              const std::function<bool()>& condition,
              int timeout_ms) {
  bool timed_out = false;
  GSource* timer = g_timeout_source_new(static_cast<guint>(timeout_ms));
  g_source_set_callback(
      timer,
      [](gpointer data) -> gboolean {
        *static_cast<bool*>(data) = true;
        return G_SOURCE_REMOVE;
      },
      &timed_out, nullptr);
  g_source_attach(timer, context);
  while (!condition() && !timed_out) {
    g_main_context_iteration(context, TRUE);
  }
  g_source_destroy(timer);
  g_source_unref(timer);
  return condition();
}

ScriptedEngine::ScriptedEngine(GMainContext* context,
                               const std::string& socket_path)
    : context_(context), fd_(raw::ConnectUnix(socket_path)) {}

ScriptedEngine::~ScriptedEngine() {
  if (fd_ >= 0) {
    close(fd_);
  }
}

void ScriptedEngine::Send(const raw::Bytes& bytes) {
  // Large sends need the peer to read meanwhile, so they go in pieces that
  // the socket buffer always takes, running the peer's loop in between.
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t sent = send(fd_, bytes.data() + done,
                        std::min<size_t>(bytes.size() - done, 16 * 1024),
                        MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      done += static_cast<size_t>(sent);
    } else if (sent < 0 && errno != EAGAIN && errno != EINTR) {
      ADD_FAILURE() << "send failed: " << g_strerror(errno);
      return;
    }
    g_main_context_iteration(context_, FALSE);
  }
}

void ScriptedEngine::Drain() {
  uint8_t chunk[65536];
  while (!closed_) {
    ssize_t count = recv(fd_, chunk, sizeof(chunk), MSG_DONTWAIT);
    if (count > 0) {
      buffer_.insert(buffer_.end(), chunk, chunk + count);
    } else if (count == 0 || (errno != EAGAIN && errno != EINTR)) {
      closed_ = true;
    } else {
      return;
    }
  }
}

bool ScriptedEngine::Read(raw::RawFrame* frame, int timeout_ms) {
  bool got = false;
  RunUntil(
      context_,
      [&]() {
        if (!got) {
          Drain();
          got = raw::TakeFrame(&buffer_, frame);
        }
        return got || closed_;
      },
      timeout_ms);
  return got;
}

bool ScriptedEngine::WaitClosed(int timeout_ms) {
  return RunUntil(
      context_,
      [this]() {
        Drain();
        return closed_;
      },
      timeout_ms);
}
