// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "media_queue.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace {

// The queue and its one thread. Standard mutexes rather than GLib's: they
// hand the tasks over in a way that ThreadSanitizer sees.
struct Queue {
  std::mutex lock;
  std::condition_variable queued;    // A task was added.
  std::condition_variable finished;  // unfinished dropped to 0.
  std::deque<std::function<void()>> tasks;
  int unfinished = 0;  // Queued or running, tasks run aside included.
  bool started = false;
};

// Never destroyed: the thread may still wait on it while the process ends.
Queue& TheQueue() {
  static Queue* queue = new Queue();
  return *queue;
}

// The body of the queue's thread; it lives as long as the process.
void RunTasks(Queue* queue) {
  std::unique_lock<std::mutex> guard(queue->lock);
  for (;;) {
    queue->queued.wait(guard, [queue] { return !queue->tasks.empty(); });
    std::function<void()> task = std::move(queue->tasks.front());
    queue->tasks.pop_front();
    guard.unlock();
    task();
    task = nullptr;
    guard.lock();
    if (--queue->unfinished == 0) {
      queue->finished.notify_all();
    }
  }
}

}  // namespace

void MediaQueueRun(std::function<void()> task) {
  Queue& queue = TheQueue();
  std::lock_guard<std::mutex> guard(queue.lock);
  if (!queue.started) {
    std::thread(RunTasks, &queue).detach();
    queue.started = true;
  }
  queue.tasks.push_back(std::move(task));
  ++queue.unfinished;
  queue.queued.notify_one();
}

void MediaQueueRunAside(std::function<void()> task) {
  Queue* queue = &TheQueue();
  {
    std::lock_guard<std::mutex> guard(queue->lock);
    ++queue->unfinished;
  }
  std::thread([queue, task = std::move(task)] {
    task();
    std::lock_guard<std::mutex> guard(queue->lock);
    if (--queue->unfinished == 0) {
      queue->finished.notify_all();
    }
  }).detach();
}

void MediaQueueDrain() {
  Queue& queue = TheQueue();
  std::unique_lock<std::mutex> guard(queue.lock);
  queue.finished.wait(guard, [&queue] { return queue.unfinished == 0; });
}
