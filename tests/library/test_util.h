// Helpers for the library tests: a scratch working directory, whole-file
// I/O, and redirection of standard output and input.
#ifndef QEL_TESTS_LIBRARY_TEST_UTIL_H_
#define QEL_TESTS_LIBRARY_TEST_UTIL_H_

#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace qeltest {

// Creates a fresh directory, makes it the working directory, and removes it
// (with everything in it) when the test ends.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/qellib_test.XXXXXX";
    path_ = mkdtemp(pattern);
    if (getcwd(previous_, sizeof(previous_)) == nullptr) previous_[0] = '\0';
    if (chdir(path_.c_str()) != 0) abort();
  }
  ~TempDir() {
    if (chdir(previous_[0] ? previous_ : "/") != 0) abort();
    nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  }
  const std::string& path() const { return path_; }

 private:
  static int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    return remove(path);
  }
  std::string path_;
  char previous_[PATH_MAX];
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// Sends standard output (descriptor 1) to a file until Stop().
class StdoutCapture {
 public:
  StdoutCapture() {
    fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    FILE* sink = tmpfile();
    sink_ = dup(fileno(sink));
    fclose(sink);
    dup2(sink_, STDOUT_FILENO);
  }
  ~StdoutCapture() { Stop(); }
  std::string Stop() {
    if (saved_ < 0) return text_;
    fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    saved_ = -1;
    off_t size = lseek(sink_, 0, SEEK_END);
    text_.assign(size, '\0');
    if (size > 0 && pread(sink_, &text_[0], size, 0) != size) text_.clear();
    close(sink_);
    return text_;
  }

 private:
  int saved_ = -1;
  int sink_ = -1;
  std::string text_;
};

// Feeds the given keys to standard input through a pipe, then end of input.
class StdinFeed {
 public:
  explicit StdinFeed(const std::string& keys) {
    int fds[2];
    if (pipe(fds) != 0) abort();
    if (write(fds[1], keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) abort();
    close(fds[1]);
    saved_ = dup(STDIN_FILENO);
    dup2(fds[0], STDIN_FILENO);
    close(fds[0]);
    Reset();
  }
  ~StdinFeed() {
    dup2(saved_, STDIN_FILENO);
    close(saved_);
    Reset();
  }

 private:
  static void Reset() {
    __fpurge(stdin);
    clearerr(stdin);
  }
  int saved_;
};

}  // namespace qeltest

#endif  // QEL_TESTS_LIBRARY_TEST_UTIL_H_
