// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef FUZZ_FUZZ_SUPPORT_H_
#define FUZZ_FUZZ_SUPPORT_H_

#include <flutter_linux/flutter_linux.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fl_fake_messenger.h"

// What every fuzz target shares: reading choices from the input, building
// values of every standard-codec type from them, running the main loop with
// a bound, and a messenger that checks that every call is answered once.
namespace zk_fuzz {

// Reads choices from the front of a fuzz input. Past its end every read
// gives zeros, so any input, however short, describes a whole run.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return offset_ >= size_; }
  uint8_t Byte();
  // A number in [0, n); n is at most 65536.
  uint32_t Below(uint32_t n);
  bool Bool() { return (Byte() & 1) != 0; }
  uint16_t U16();
  uint32_t U32();
  uint64_t U64();
  double Double();
  // A length byte (at most max), then that many bytes.
  std::string Bytes(size_t max);
  // As Bytes, then made valid UTF-8 without NUL: what a string value can
  // hold.
  std::string Utf8(size_t max);
  // Everything not read yet.
  std::string Rest();

 private:
  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
};

// What makes generated values interesting to one target: the map keys it
// reads and, per key, strings and integers that reach its code paths.
struct ValueContext {
  std::vector<std::string> keys;
  std::vector<std::string> strings;
  std::vector<int64_t> ints;
};

// A value of any standard type, nested at most depth levels (transfer full).
FlValue* GenerateValue(Input* in, const ValueContext& context, int depth);

// Method arguments: absent (nullptr), a value of any type, or, most often, a
// map of the context's keys (and others) to values of any type.
FlValue* GenerateArgs(Input* in, const ValueContext& context);

// One of the names, one of them with its letter case or its end changed, or
// text made from the input.
std::string GenerateName(Input* in, const std::vector<std::string>& names);

// Once per process: fatal criticals, quiet warnings (ZK_FUZZ_VERBOSE=1 shows
// them), GStreamer's registry in the build tree and ALSA's null device.
void InitEnvironment(bool with_gstreamer);

// Prints the reason and aborts, which the fuzzer reports as a finding.
[[noreturn]] void Fail(const char* format, ...) G_GNUC_PRINTF(1, 2);

// Runs the default main context until done() holds or timeout_ms have
// passed; returns done().
bool RunLoopUntil(const std::function<bool()>& done, guint timeout_ms);

// Dispatches what is ready on the default main context, without waiting, at
// most max_iterations times.
void DrainLoop(guint max_iterations = 1000);

// A fresh folder under the system's temporary folder, removed with its
// contents at exit.
std::string MakeScratchDir(const char* name);
// Removes the files (not folders) directly inside path.
void RemoveFilesIn(const std::string& path);
// The file's contents, or "" when it cannot be read.
std::string ReadFile(const std::string& path);

// The answer to one message the fuzzer sent.
struct CallRecord {
  std::string channel;
  std::string method;  // As sent; "" for raw bytes.
  guint64 ticket = 0;
  int responses = 0;  // send_response calls for this message.
};

// A messenger in front of a fake messenger: the plugins register on it, the
// fuzzer sends through it, and it counts how often each message is answered.
// A second answer to one message fails the run at once; Unanswered() names
// messages that got no answer of their own (none, or only the empty reply
// that a released handle leaves behind).
class CheckedMessenger {
 public:
  CheckedMessenger();
  ~CheckedMessenger();
  CheckedMessenger(const CheckedMessenger&) = delete;
  CheckedMessenger& operator=(const CheckedMessenger&) = delete;

  FlBinaryMessenger* messenger() const { return messenger_; }
  FlFakeMessenger* fake() const { return fake_; }

  // Sends a method call with the standard codec; returns its ticket.
  guint64 Call(const char* channel, const std::string& method, FlValue* args);
  // Sends raw message bytes.
  guint64 SendRaw(const char* channel, const std::string& bytes);

  // Takes the reply of ticket from the fake and decodes it (transfer full);
  // nullptr when there is none yet. The reply count stays.
  FlMethodResponse* Reply(guint64 ticket);

  // Whether every message sent so far has a reply.
  bool AllReplied() const;
  // Runs the main loop until AllReplied(), for at most timeout_ms.
  bool WaitAllReplied(guint timeout_ms);
  // The first message without a reply of its own, or nullptr.
  const CallRecord* Unanswered() const;
  // Fails the run unless every message has exactly one reply of its own.
  void CheckAllAnswered(const char* when) const;

  // Removes every handler, as the engine does when it shuts down.
  void Shutdown();

 private:
  FlFakeMessenger* fake_;
  FlBinaryMessenger* messenger_;
  std::vector<CallRecord*> records_;  // Owned.
  std::vector<guint64> tickets_;      // Also messages no handler took.
};

}  // namespace zk_fuzz

#endif  // FUZZ_FUZZ_SUPPORT_H_
