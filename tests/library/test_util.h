// Helpers for the library tests: a scratch working directory, whole-file
// I/O, and keys fed to standard input.
#ifndef QEL_TESTS_LIBRARY_TEST_UTIL_H_
#define QEL_TESTS_LIBRARY_TEST_UTIL_H_

#include <gtest/gtest.h>
#include <limits.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace qeltest {

// A fresh working directory for the test, removed with its contents afterwards.
class TempDir {
 public:
  TempDir() : path_(mkdtemp(&std::string("/tmp/qellib_test.XXXXXX")[0])) {
    if (getcwd(previous_, sizeof(previous_)) == nullptr || chdir(path_.c_str()) != 0) abort();
  }
  ~TempDir() {
    if (chdir(previous_) != 0 || system(("rm -rf '" + path_ + "'").c_str()) != 0) abort();
  }

 private:
  std::string path_;
  char previous_[PATH_MAX];
};

inline std::string ReadFile(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// Feeds the given keys to standard input through a pipe, then end of input.
class StdinFeed {
 public:
  explicit StdinFeed(const std::string& keys) : saved_(dup(STDIN_FILENO)) {
    int fds[2];
    if (pipe(fds) != 0 || write(fds[1], keys.data(), keys.size()) != ssize_t(keys.size())) abort();
    close(fds[1]);
    dup2(fds[0], STDIN_FILENO);
    close(fds[0]);
    __fpurge(stdin);
    clearerr(stdin);
  }
  ~StdinFeed() {
    dup2(saved_, STDIN_FILENO);
    close(saved_);
    __fpurge(stdin);
    clearerr(stdin);
  }

 private:
  int saved_;
};

}  // namespace qeltest

#endif  // QEL_TESTS_LIBRARY_TEST_UTIL_H_
