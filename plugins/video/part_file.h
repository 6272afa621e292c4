// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef PLUGINS_VIDEO_PART_FILE_H_
#define PLUGINS_VIDEO_PART_FILE_H_

#include <sys/types.h>

#include <string>

// A compression never writes under the name it was asked for: it writes a
// hidden file beside the output, on the same file system, and renames it
// into place once it is complete and on disk. A job that is killed leaves
// only such hidden files, named after the output, the process and what they
// hold (".clip.mp4.4242.zelkoz-part"), and the next job into that folder
// removes those whose process is gone.

// What a part file holds: the stream being written, or the muxer's own
// store of the media data that goes behind the index at the end.
enum class PartKind { kStream, kFaststart };

// One part file's name, registered as in use by this process while the
// object lives. Nothing is created on disk.
class PartFile {
 public:
  PartFile(const std::string& output, PartKind kind);
  ~PartFile();
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;

  const std::string& path() const { return path_; }
  // Removes the file if a regular one is there.
  void Remove() const;

 private:
  std::string path_;
};

// The pid in a part file's name; false for any other name.
bool ParsePartName(const std::string& name, pid_t* pid);

// Removes the part files in folder that no live job owns: those of a
// process that is gone, and this process's own that no PartFile names
// (left by the program this process was before it replaced its image).
// Only regular files are removed, never what a link points to.
void RemoveStaleParts(const std::string& folder);

#endif  // PLUGINS_VIDEO_PART_FILE_H_
