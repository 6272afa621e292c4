// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "part_file.h"

#include <glib.h>
#include <glib/gstdio.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <set>

namespace {

constexpr char kStreamSuffix[] = ".zelkoz-part";
constexpr char kFaststartSuffix[] = ".zelkoz-faststart";

// Of the output's name, at most this many bytes go into a part file's
// name, so that the pid and the suffix still fit within the 255 bytes a
// name may have.
constexpr size_t kNameBytes = 200;

// The part files that this process's jobs name now.
struct Registry {
  std::mutex mutex;
  std::multiset<std::string> paths;
};

Registry& Parts() {
  static Registry registry;
  return registry;
}

bool InUse(const std::string& path) {
  Registry& registry = Parts();
  std::lock_guard<std::mutex> lock(registry.mutex);
  return registry.paths.count(path) > 0;
}

// A process that exists but is not ours to signal is alive too.
bool ProcessAlive(pid_t pid) {
  return kill(pid, 0) == 0 || errno == EPERM;
}

bool EndsWith(const std::string& text, const char* suffix) {
  const size_t length = strlen(suffix);
  return text.size() >= length &&
         text.compare(text.size() - length, length, suffix) == 0;
}

bool RemoveRegular(const std::string& path) {
  GStatBuf info;
  return g_lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         g_unlink(path.c_str()) == 0;
}

}  // namespace

PartFile::PartFile(const std::string& output, PartKind kind) {
  g_autofree gchar* folder = g_path_get_dirname(output.c_str());
  g_autofree gchar* base = g_path_get_basename(output.c_str());
  std::string name = base;
  if (name.size() > kNameBytes) {
    size_t cut = kNameBytes;
    // A UTF-8 name stays UTF-8: the cut falls between characters.
    if (g_utf8_validate(name.data(), name.size(), nullptr)) {
      while (cut > 0 && (static_cast<guchar>(name[cut]) & 0xC0) == 0x80) {
        --cut;
      }
    }
    name.resize(cut);
  }
  g_autofree gchar* file = g_strdup_printf(
      ".%s.%ld%s", name.c_str(), static_cast<long>(getpid()),
      kind == PartKind::kStream ? kStreamSuffix : kFaststartSuffix);
  g_autofree gchar* path = g_build_filename(folder, file, nullptr);
  path_ = path;
  Registry& registry = Parts();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.paths.insert(path_);
}

PartFile::~PartFile() {
  Registry& registry = Parts();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.paths.erase(registry.paths.find(path_));
}

void PartFile::Remove() const {
  RemoveRegular(path_);
}

bool ParsePartName(const std::string& name, pid_t* pid) {
  std::string rest;
  for (const char* suffix : {kStreamSuffix, kFaststartSuffix}) {
    if (EndsWith(name, suffix)) {
      rest = name.substr(0, name.size() - strlen(suffix));
      break;
    }
  }
  // ".<name>.<pid>", the name not empty.
  const size_t dot = rest.rfind('.');
  if (rest.size() < 4 || rest[0] != '.' || dot == std::string::npos ||
      dot < 2 || dot + 1 == rest.size() || rest.size() - dot - 1 > 10) {
    return false;
  }
  long long value = 0;
  for (size_t i = dot + 1; i < rest.size(); ++i) {
    if (!g_ascii_isdigit(rest[i])) {
      return false;
    }
    value = value * 10 + (rest[i] - '0');
  }
  if (value <= 0 || value > INT_MAX) {
    return false;
  }
  *pid = static_cast<pid_t>(value);
  return true;
}

void RemoveStaleParts(const std::string& folder) {
  g_autoptr(GDir) dir = g_dir_open(folder.c_str(), 0, nullptr);
  if (dir == nullptr) {
    return;
  }
  const pid_t self = getpid();
  while (const gchar* name = g_dir_read_name(dir)) {
    pid_t pid = 0;
    if (!ParsePartName(name, &pid)) {
      continue;
    }
    g_autofree gchar* path = g_build_filename(folder.c_str(), name, nullptr);
    if (pid == self ? InUse(path) : ProcessAlive(pid)) {
      continue;
    }
    RemoveRegular(path);
  }
}
