// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef PLUGINS_RELAUNCH_TEST_TEST_SUPPORT_H_
#define PLUGINS_RELAUNCH_TEST_TEST_SUPPORT_H_

#include <glib.h>
#include <glib/gstdio.h>

#include <string>
#include <vector>

// Collects the warnings logged in the default domain while it lives.
class LogCapture {
 public:
  LogCapture() {
    handler_id_ =
        g_log_set_handler(nullptr, G_LOG_LEVEL_WARNING, Collect, &messages_);
  }
  ~LogCapture() { g_log_remove_handler(nullptr, handler_id_); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::vector<std::string>& messages() const { return messages_; }

 private:
  static void Collect(const gchar* /* domain */,
                      GLogLevelFlags /* level */,
                      const gchar* message,
                      gpointer user_data) {
    static_cast<std::vector<std::string>*>(user_data)->push_back(message);
  }

  guint handler_id_ = 0;
  std::vector<std::string> messages_;
};

// A fresh directory under the system's temporary folder, removed with the
// files and links in it when the object goes (it is kept flat).
class TempDir {
 public:
  TempDir() {
    g_autoptr(GError) error = nullptr;
    g_autofree gchar* path = g_dir_make_tmp("relaunch-test-XXXXXX", &error);
    if (path != nullptr) {
      path_ = path;
    }
  }
  ~TempDir() {
    if (path_.empty()) {
      return;
    }
    GDir* dir = g_dir_open(path_.c_str(), 0, nullptr);
    if (dir != nullptr) {
      const gchar* name = nullptr;
      while ((name = g_dir_read_name(dir)) != nullptr) {
        g_unlink(Child(name).c_str());
      }
      g_dir_close(dir);
    }
    g_rmdir(path_.c_str());
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  std::string Child(const std::string& name) const {
    return path_ + "/" + name;
  }

 private:
  std::string path_;
};

#endif  // PLUGINS_RELAUNCH_TEST_TEST_SUPPORT_H_
