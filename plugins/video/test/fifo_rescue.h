// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef PLUGINS_VIDEO_TEST_FIFO_RESCUE_H_
#define PLUGINS_VIDEO_TEST_FIFO_RESCUE_H_

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

// Guards a test that hands a FIFO to code which must never open it: if the
// test is not done within a few seconds, something is stuck in open() on
// it, and this lets it go on, as a reader (by opening the other end now and
// then) or as a writer (by reading and discarding whatever comes), so that
// the regression fails the test instead of hanging it.
class FifoRescue {
 public:
  explicit FifoRescue(std::string path)
      : path_(std::move(path)), thread_([this] { Run(); }) {}
  ~FifoRescue() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  FifoRescue(const FifoRescue&) = delete;
  FifoRescue& operator=(const FifoRescue&) = delete;

  // Whether the test was still not done when its patience ran out.
  bool rescued() {
    std::lock_guard<std::mutex> lock(mutex_);
    return rescued_;
  }

 private:
  static constexpr auto kPatience = std::chrono::seconds(3);

  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (wake_.wait_for(lock, kPatience, [this] { return done_; })) {
      return;
    }
    rescued_ = true;
    // A released writer may write on after the test has closed its end.
    signal(SIGPIPE, SIG_IGN);
    const int reader = open(path_.c_str(), O_RDONLY | O_NONBLOCK);
    while (!done_) {
      // Fails with ENXIO unless someone waits to read.
      const int writer = open(path_.c_str(), O_WRONLY | O_NONBLOCK);
      if (writer >= 0) {
        close(writer);
      }
      char discard[4096];
      while (reader >= 0 && read(reader, discard, sizeof(discard)) > 0) {
      }
      wake_.wait_for(lock, std::chrono::milliseconds(50),
                     [this] { return done_; });
    }
    if (reader >= 0) {
      close(reader);
    }
  }

  const std::string path_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  bool rescued_ = false;
  std::thread thread_;
};

#endif  // PLUGINS_VIDEO_TEST_FIFO_RESCUE_H_
