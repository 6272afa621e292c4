// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "dart_peer/line_splitter.h"

#include <cstring>

namespace dart_peer {

LineSplitter::LineSplitter(size_t max_line, LineCallback callback)
    : max_line_(max_line), callback_(std::move(callback)) {}

void LineSplitter::Emit() {
  if (skipping_) {
    skipping_ = false;
  } else {
    std::string_view line(partial_);
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    callback_(line, false);
  }
  partial_.clear();
}

void LineSplitter::Append(const char* data, size_t length) {
  while (length > 0) {
    const char* newline = static_cast<const char*>(memchr(data, '\n', length));
    size_t piece =
        newline != nullptr ? static_cast<size_t>(newline - data) : length;
    if (!skipping_) {
      if (partial_.size() + piece > max_line_) {
        skipping_ = true;
        partial_.clear();
        callback_(std::string_view(), true);
      } else {
        partial_.append(data, piece);
      }
    }
    if (newline == nullptr) {
      return;
    }
    Emit();
    data += piece + 1;
    length -= piece + 1;
  }
}

void LineSplitter::Finish() {
  if (!partial_.empty() || skipping_) {
    Emit();
  }
}

}  // namespace dart_peer
