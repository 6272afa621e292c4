// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef TOOLS_DART_PEER_INCLUDE_DART_PEER_LINE_SPLITTER_H_
#define TOOLS_DART_PEER_INCLUDE_DART_PEER_LINE_SPLITTER_H_

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace dart_peer {

// Cuts a byte stream into lines ("\n" or "\r\n"). A line longer than the
// limit is reported once as too long, without its text, and skipped up to
// its newline, so that one huge line cannot exhaust memory.
class LineSplitter {
 public:
  // |line| is valid during the call only; |too_long| marks a skipped line.
  using LineCallback =
      std::function<void(std::string_view line, bool too_long)>;

  LineSplitter(size_t max_line, LineCallback callback);
  LineSplitter(const LineSplitter&) = delete;
  LineSplitter& operator=(const LineSplitter&) = delete;

  void Append(const char* data, size_t length);
  // The end of the stream: a last line without a newline is reported.
  void Finish();

 private:
  void Emit();

  size_t max_line_;
  LineCallback callback_;
  std::string partial_;
  bool skipping_ = false;  // Inside a line that was too long.
};

}  // namespace dart_peer

#endif  // TOOLS_DART_PEER_INCLUDE_DART_PEER_LINE_SPLITTER_H_
