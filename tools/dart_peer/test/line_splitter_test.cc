// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "dart_peer/line_splitter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dart_peer {
namespace {

// Lines come out without their "\n" or "\r\n", however the input is cut; an
// overlong line is reported once and skipped; a last unterminated line is
// kept.
TEST(LineSplitterTest, SplitsLines) {
  const struct {
    const char* name;
    std::vector<std::string> chunks;
    std::vector<std::string> lines;  // "<too long>" for a skipped line
  } cases[] = {
      {"simple", {"a\nb\n"}, {"a", "b"}},
      {"crlf", {"a\r\nb\r\n"}, {"a", "b"}},
      {"split", {"ab", "c\nd", "e\n"}, {"abc", "de"}},
      {"blank", {"\n\n"}, {"", ""}},
      {"unterminated", {"a\nlast"}, {"a", "last"}},
      {"too long", {"0123456789ab\nok\n"}, {"<too long>", "ok"}},
      {"too long split", {"012345", "6789", "abcd\nok"}, {"<too long>", "ok"}},
      {"at the limit", {"0123456789\n"}, {"0123456789"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> lines;
    LineSplitter splitter(10, [&lines](std::string_view line, bool too_long) {
      lines.push_back(too_long ? "<too long>" : std::string(line));
    });
    for (const std::string& chunk : c.chunks) {
      splitter.Append(chunk.data(), chunk.size());
    }
    splitter.Finish();
    EXPECT_EQ(lines, c.lines);
  }
}

}  // namespace
}  // namespace dart_peer
