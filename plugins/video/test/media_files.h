// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef PLUGINS_VIDEO_TEST_MEDIA_FILES_H_
#define PLUGINS_VIDEO_TEST_MEDIA_FILES_H_

#include <glib.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

// The shared test media that tests/media/make-media generates into the build
// tree, and scratch folders, for the probe and poster tests.
namespace media_files {

// The path of a generated file; "" after adding a failure when it is
// missing.
inline std::string Path(const char* name) {
  g_autofree gchar* path = g_build_filename(ZK_MEDIA_DIR, name, nullptr);
  if (!g_file_test(path, G_FILE_TEST_EXISTS)) {
    ADD_FAILURE() << path << " is missing: make the test media first "
                  << "(cmake --build <build dir> --target media)";
    return "";
  }
  return path;
}

// A fresh folder, removed with everything in it when this goes.
class ScratchDir {
 public:
  ScratchDir() {
    gchar* made = g_dir_make_tmp("zk-probe-poster-XXXXXX", nullptr);
    if (made == nullptr) {
      ADD_FAILURE() << "cannot make a scratch folder";
      return;
    }
    path_ = made;
    g_free(made);
  }
  ~ScratchDir() { RemoveTree(path_); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const {
    g_autofree gchar* file =
        g_build_filename(path_.c_str(), name.c_str(), nullptr);
    return file;
  }

 private:
  static void RemoveTree(const std::string& path) {
    if (path.empty()) {
      return;
    }
    if (!g_file_test(path.c_str(), G_FILE_TEST_IS_SYMLINK) &&
        g_file_test(path.c_str(), G_FILE_TEST_IS_DIR)) {
      GDir* dir = g_dir_open(path.c_str(), 0, nullptr);
      if (dir != nullptr) {
        std::vector<std::string> children;
        while (const gchar* name = g_dir_read_name(dir)) {
          g_autofree gchar* child =
              g_build_filename(path.c_str(), name, nullptr);
          children.emplace_back(child);
        }
        g_dir_close(dir);
        for (const std::string& child : children) {
          RemoveTree(child);
        }
      }
      g_rmdir(path.c_str());
      return;
    }
    g_remove(path.c_str());
  }

  std::string path_;
};

// Links name in dir to target, so that odd file names need no copy of the
// media; returns the link's path or "" after a failure.
inline std::string LinkTo(const ScratchDir& dir,
                          const std::string& name,
                          const std::string& target) {
  const std::string link = dir.File(name);
  if (target.empty() || symlink(target.c_str(), link.c_str()) != 0) {
    ADD_FAILURE() << "cannot link " << link << " to " << target;
    return "";
  }
  return link;
}

// Writes the first half of source to name in dir (for a clip whose index
// is at its end, a file the demuxer can never open); returns its path or ""
// after a failure.
inline std::string FirstHalfOf(const ScratchDir& dir,
                               const std::string& name,
                               const std::string& source) {
  g_autofree gchar* bytes = nullptr;
  gsize length = 0;
  const std::string cut = dir.File(name);
  if (source.empty() ||
      !g_file_get_contents(source.c_str(), &bytes, &length, nullptr) ||
      !g_file_set_contents(cut.c_str(), bytes, length / 2, nullptr)) {
    ADD_FAILURE() << "cannot write half of " << source << " to " << cut;
    return "";
  }
  return cut;
}

}  // namespace media_files

#endif  // PLUGINS_VIDEO_TEST_MEDIA_FILES_H_
