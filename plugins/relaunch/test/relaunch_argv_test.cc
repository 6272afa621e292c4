// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "relaunch_plugin_private.h"
#include "test_support.h"

namespace {

// An allocator that counts live blocks and can refuse one chosen request
// (calloc and malloc share the numbering, starting at 0).
struct AllocatorState {
  int requests = 0;
  int live = 0;
  int fail_at = -1;
};
AllocatorState g_state;

bool RefuseThisOne() {
  return g_state.requests++ == g_state.fail_at;
}

void* CountingCalloc(size_t count, size_t size) {
  if (RefuseThisOne()) {
    return nullptr;
  }
  void* block = calloc(count, size);
  g_state.live += block != nullptr;
  return block;
}

void* CountingMalloc(size_t size) {
  if (RefuseThisOne()) {
    return nullptr;
  }
  void* block = malloc(size);
  g_state.live += block != nullptr;
  return block;
}

void CountingFree(void* block) {
  g_state.live -= block != nullptr;
  free(block);
}

constexpr RelaunchHooks kCountingHooks = {nullptr, nullptr, CountingCalloc,
                                          CountingMalloc, CountingFree};

// The entries of a vector up to its NULL terminator.
std::vector<std::string> Entries(char** argv) {
  std::vector<std::string> entries;
  for (char** entry = argv; entry != nullptr && *entry != nullptr; entry++) {
    entries.push_back(*entry);
  }
  return entries;
}

class RelaunchArgvTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_state = AllocatorState();
    SetRelaunchHooksForTesting(&kCountingHooks);
  }
  void TearDown() override {
    relaunch_plugin_store_argv(0, nullptr);
    EXPECT_EQ(g_state.live, 0) << "blocks left allocated";
    SetRelaunchHooksForTesting(nullptr);
  }
};

// A copy holds exactly the first argc entries, each in storage of its own,
// with NULL entries turned into empty strings and a NULL terminator added.
TEST_F(RelaunchArgvTest, CopyIsDeepAndTerminated) {
  char zelkoz[] = "zelkoz";
  char flag[] = "--flag";
  char empty[] = "";
  char extra[] = "never read";
  const struct {
    const char* name;
    std::vector<char*> input;  // No terminator: only argc entries are read.
    int argc;
    std::vector<std::string> expected;
  } cases[] = {
      {"one entry", {zelkoz}, 1, {"zelkoz"}},
      {"null before argc",
       {zelkoz, nullptr, flag},
       3,
       {"zelkoz", "", "--flag"}},
      {"null first", {nullptr}, 1, {""}},
      {"empty strings", {empty, empty}, 2, {"", ""}},
      {"prefix of a longer vector",
       {zelkoz, flag, extra},
       2,
       {"zelkoz", "--flag"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // A heap copy without a terminator, so reading past it shows under ASan.
    std::vector<char*> input = c.input;
    char** copy = relaunch_copy_argv(c.argc, input.data());
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy[c.argc], nullptr);
    EXPECT_EQ(Entries(copy), c.expected);
    for (int i = 0; i < c.argc; i++) {
      EXPECT_NE(copy[i], input[i]) << "entry " << i << " is shared";
    }
    EXPECT_EQ(g_state.live, c.argc + 1);
    relaunch_free_argv(copy);
    EXPECT_EQ(g_state.live, 0);
  }
}

// No entries or no vector give no copy and allocate nothing; releasing
// nothing does nothing.
TEST_F(RelaunchArgvTest, CopyOfNothingIsNull) {
  char zelkoz[] = "zelkoz";
  char* argv[] = {zelkoz, nullptr};
  const struct {
    const char* name;
    int argc;
    char** argv;
  } cases[] = {
      {"argc 0", 0, argv},
      {"negative argc", -1, argv},
      {"null vector", 2, nullptr},
      {"null vector and argc 0", 0, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(relaunch_copy_argv(c.argc, c.argv), nullptr);
    EXPECT_EQ(g_state.requests, 0);
  }
  relaunch_free_argv(nullptr);
  EXPECT_EQ(g_state.live, 0);
}

// Running out of memory at any step gives NULL and leaves nothing allocated.
TEST_F(RelaunchArgvTest, CopyFailureReleasesPartialCopy) {
  char zelkoz[] = "zelkoz";
  char flag[] = "--flag";
  char* argv[] = {zelkoz, nullptr, flag};
  // Request 0 is the array, requests 1 to 3 the strings.
  for (int fail_at = 0; fail_at <= 3; fail_at++) {
    SCOPED_TRACE(fail_at);
    g_state = AllocatorState();
    g_state.fail_at = fail_at;
    EXPECT_EQ(relaunch_copy_argv(3, argv), nullptr);
    EXPECT_EQ(g_state.live, 0);
  }
}

// Replacing stores a new copy and releases the old one, clears on empty
// input, and on failure keeps the old copy exactly as it was. Without a slot
// there is nothing to replace.
TEST_F(RelaunchArgvTest, ReplaceKeepsOldCopyOnFailure) {
  char old_name[] = "old";
  char new_name[] = "new";
  char new_arg[] = "--arg";
  char* old_argv[] = {old_name};
  char* new_argv[] = {new_name, new_arg};
  EXPECT_FALSE(relaunch_replace_argv(nullptr, 2, new_argv));
  EXPECT_FALSE(relaunch_replace_argv(nullptr, 0, nullptr));
  EXPECT_EQ(g_state.live, 0);
  const struct {
    const char* name;
    bool start_with_copy;
    int argc;
    char** argv;
    int fail_at;  // -1: no failure.
    bool expected_result;
    std::vector<std::string> expected;  // Empty: slot is NULL.
  } cases[] = {
      {"store into empty slot", false, 2, new_argv, -1, true, {"new", "--arg"}},
      {"replace", true, 2, new_argv, -1, true, {"new", "--arg"}},
      {"array allocation fails", true, 2, new_argv, 0, false, {"old"}},
      {"second string fails", true, 2, new_argv, 2, false, {"old"}},
      {"clear with argc 0", true, 0, new_argv, -1, true, {}},
      {"clear with null vector", true, 2, nullptr, -1, true, {}},
      {"clear an empty slot", false, 0, nullptr, -1, true, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_state = AllocatorState();
    char** slot = c.start_with_copy ? relaunch_copy_argv(1, old_argv) : nullptr;
    char** before = slot;
    int live_before = g_state.live;
    g_state.requests = 0;
    g_state.fail_at = c.fail_at;

    EXPECT_EQ(relaunch_replace_argv(&slot, c.argc, c.argv), c.expected_result);
    EXPECT_EQ(Entries(slot), c.expected);
    if (!c.expected_result) {
      EXPECT_EQ(slot, before);
      EXPECT_EQ(g_state.live, live_before);
    } else if (c.expected.empty()) {
      EXPECT_EQ(slot, nullptr);
      EXPECT_EQ(g_state.live, 0);
    } else {
      EXPECT_EQ(g_state.live, static_cast<int>(c.expected.size()) + 1)
          << "old copy not released";
    }
    relaunch_free_argv(slot);
  }
}

// The stored command line follows every store; a store that runs out of
// memory is logged and keeps the previous copy, a clear is silent.
TEST_F(RelaunchArgvTest, StoreArgvKeepsCopyAndLogsFailure) {
  char zelkoz[] = "zelkoz";
  char flag[] = "--flag";
  char other[] = "other";
  char* first[] = {zelkoz, flag};
  char* second[] = {other};
  LogCapture logs;

  relaunch_plugin_store_argv(2, first);
  EXPECT_EQ(Entries(g_argv), (std::vector<std::string>{"zelkoz", "--flag"}));

  g_state.fail_at = g_state.requests + 1;  // The first string of the copy.
  relaunch_plugin_store_argv(1, second);
  EXPECT_EQ(Entries(g_argv), (std::vector<std::string>{"zelkoz", "--flag"}));
  EXPECT_EQ(logs.messages(),
            (std::vector<std::string>{"relaunch: failed to copy command-line "
                                      "arguments"}));

  g_state.fail_at = -1;
  relaunch_plugin_store_argv(1, second);
  EXPECT_EQ(Entries(g_argv), (std::vector<std::string>{"other"}));

  relaunch_plugin_store_argv(0, second);
  EXPECT_EQ(g_argv, nullptr);
  relaunch_plugin_store_argv(-1, nullptr);
  EXPECT_EQ(g_argv, nullptr);
  EXPECT_EQ(logs.messages().size(), 1u);
}

}  // namespace
