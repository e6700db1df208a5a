#include "Folders.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace {

constexpr size_t kMaxNameLength = 100;
constexpr int kMaxCopyDepth = 8;
constexpr size_t kCopyChunk = 1 << 20;

std::string Failed(const std::string& what) { return what + ": " + strerror(errno); }

// Names in folder `dirFd` other than "." and "..", or false on a read error.
bool ListFolder(int dirFd, std::vector<std::string>* names) {
  int fd = openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    close(fd);
    return false;
  }
  errno = 0;
  while (struct dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
      names->push_back(entry->d_name);
  }
  bool ok = errno == 0;
  closedir(dir);
  std::sort(names->begin(), names->end());
  return ok;
}

bool CopyFile(int fromFd, int toFd, const std::string& name, const std::string& shown,
              std::string* error) {
  int in = openat(fromFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (in < 0) {
    *error = Failed(shown);
    return false;
  }
  struct stat st;
  if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(in);
    *error = shown + " is no plain file";
    return false;
  }
  int out = openat(toFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                   st.st_mode & 0777);
  if (out < 0) {
    close(in);
    *error = Failed("copy of " + shown);
    return false;
  }
  std::vector<char> buffer(kCopyChunk);
  bool ok = true;
  for (;;) {
    ssize_t n = read(in, buffer.data(), buffer.size());
    if (n == 0) break;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = Failed(shown);
      ok = false;
      break;
    }
    for (ssize_t done = 0; done < n && ok;) {
      ssize_t w = write(out, buffer.data() + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        *error = Failed("copy of " + shown);
        ok = false;
      } else {
        done += w;
      }
    }
    if (!ok) break;
  }
  close(in);
  if (close(out) != 0 && ok) {
    *error = Failed("copy of " + shown);
    ok = false;
  }
  return ok;
}

bool CopyTree(int fromFd, int toFd, const std::string& name, const std::string& shown, int depth,
              std::string* error) {
  if (depth > kMaxCopyDepth) {
    *error = shown + " is nested too deep";
    return false;
  }
  int from = openat(fromFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (from < 0) {
    *error = errno == ELOOP || errno == ENOTDIR ? shown + " is no folder" : Failed(shown);
    return false;
  }
  struct stat st;
  int to = -1;
  if (fstat(from, &st) != 0 || mkdirat(toFd, name.c_str(), (st.st_mode & 0777) | 0700) != 0 ||
      (to = openat(toFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)) < 0) {
    *error = Failed("copy of " + shown);
    close(from);
    return false;
  }
  std::vector<std::string> names;
  bool ok = ListFolder(from, &names);
  if (!ok) *error = Failed(shown);
  for (size_t i = 0; ok && i < names.size(); ++i) {
    const std::string inner = shown + "/" + names[i];
    struct stat entry;
    if (fstatat(from, names[i].c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
      *error = Failed(inner);
      ok = false;
    } else if (S_ISDIR(entry.st_mode)) {
      ok = CopyTree(from, to, names[i], inner, depth + 1, error);
    } else if (S_ISREG(entry.st_mode)) {
      ok = CopyFile(from, to, names[i], inner, error);
    } else {
      *error = inner + (S_ISLNK(entry.st_mode) ? " is a symbolic link" : " is no plain file");
      ok = false;
    }
  }
  close(from);
  close(to);
  return ok;
}

}  // namespace

bool IsSafeName(const std::string& name) {
  if (name.empty() || name.size() > kMaxNameLength || name[0] == '.') return false;
  for (char c : name) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!plain && c != '.' && c != '_' && c != '-' && c != '+') return false;
  }
  return true;
}

std::string CardFolderName(const std::string& deviceName, const std::string& serial) {
  return serial.empty() ? deviceName : deviceName + "-" + serial;
}

int MakeReportFolder(const std::string& path, std::string* error) {
  if (mkdir(path.c_str(), 0755) != 0) {
    *error = errno == EEXIST ? "report folder " + path + " exists already; name a new one"
                             : Failed("report folder " + path);
    return -1;
  }
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) *error = Failed("report folder " + path);
  return fd;
}

int MakeFolderIn(int parentFd, const std::string& name, std::string* error) {
  if (mkdirat(parentFd, name.c_str(), 0755) != 0) {
    *error = Failed("folder " + name);
    return -1;
  }
  int fd = openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) *error = Failed("folder " + name);
  return fd;
}

bool CopyFolder(int fromFd, int toFd, const std::string& name, std::string* error) {
  return CopyTree(fromFd, toFd, name, name, 0, error);
}

bool WriteNewFile(int dirFd, const std::string& name, const std::string& text,
                  std::string* error) {
  int fd = openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = Failed(name);
    return false;
  }
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  bool ok = done == text.size();
  if (!ok) *error = Failed(name);
  if (close(fd) != 0 && ok) {
    *error = Failed(name);
    ok = false;
  }
  return ok;
}

std::vector<std::string> TraceFileNames(int dirFd) {
  // '9' stands for any digit.
  static const char kTraceForm[] = "9999-99-99_99-99-99.log";
  std::vector<std::string> names, traces;
  ListFolder(dirFd, &names);
  for (const std::string& name : names) {
    bool match = name.size() == sizeof kTraceForm - 1;
    for (size_t i = 0; match && i < name.size(); ++i) {
      bool digit = name[i] >= '0' && name[i] <= '9';
      match = kTraceForm[i] == '9' ? digit : name[i] == kTraceForm[i];
    }
    if (match) traces.push_back(name);
  }
  return traces;
}
