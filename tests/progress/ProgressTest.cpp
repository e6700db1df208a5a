#include "Progress.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace {

const uint64_t kMiB = 1024 * 1024;

TEST(FormatProgress, Lines) {
  struct Case {
    uint64_t done, total;
    const char* expected;
  } cases[] = {
      {0, 32 * kMiB, "Load:   0% (0.0 of 32.0 MiB)"},
      {16 * kMiB, 32 * kMiB, "Load:  50% (16.0 of 32.0 MiB)"},
      // Not 100% before the last byte is through.
      {32 * kMiB - 1, 32 * kMiB, "Load:  99% (32.0 of 32.0 MiB)"},
      {32 * kMiB, 32 * kMiB, "Load: 100% (32.0 of 32.0 MiB)"},
      // Counted past the end: shown as complete, never above.
      {40 * kMiB, 32 * kMiB, "Load: 100% (32.0 of 32.0 MiB)"},
      {0, 0, "Load: 100% (0.0 of 0.0 MiB)"},
      // Sizes past 4 GiB do not wrap.
      {6144 * kMiB, 8192 * kMiB, "Load:  75% (6144.0 of 8192.0 MiB)"},
  };
  for (const Case& c : cases) {
    char line[80];
    size_t n = FormatProgress(line, sizeof(line), "Load", c.done, c.total);
    EXPECT_STREQ(c.expected, line) << c.done << " of " << c.total;
    EXPECT_EQ(strlen(c.expected), n);
  }
}

TEST(FormatProgress, ShortBufferIsCutAndTerminated) {
  char line[8];
  memset(line, 'x', sizeof(line));
  EXPECT_EQ(7u, FormatProgress(line, sizeof(line), "Read back ISP 1", 1, 2));
  EXPECT_STREQ("Read ba", line);
  EXPECT_EQ(0u, FormatProgress(line, 0, "Load", 1, 2));
}

// Runs `body` with standard error on `fd`, then puts standard error back.
template <typename Body>
void WithStderr(int fd, Body body) {
  int saved = dup(STDERR_FILENO);
  ASSERT_GE(saved, 0);
  dup2(fd, STDERR_FILENO);
  body();
  dup2(saved, STDERR_FILENO);
  close(saved);
}

std::string ReadAvailable(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof(buffer))) > 0) text.append(buffer, n);
  return text;
}

void Transfer(uint64_t total, uint64_t step) {
  Progress progress("Load", total);
  for (uint64_t done = step; done <= total; done += step) progress.Update(done);
}

TEST(Progress, NothingWhenStandardErrorIsNotATerminal) {
  char path[] = "/tmp/progress-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  unlink(path);
  WithStderr(fd, [] { Transfer(1000, 1); });
  EXPECT_EQ(0, lseek(fd, 0, SEEK_END));
  close(fd);
}

TEST(Progress, OnATerminalRedrawsPerPercentAndErasesAtTheEnd) {
  int master, slave;
  ASSERT_EQ(0, openpty(&master, &slave, nullptr, nullptr, nullptr));
  // A 10000-byte transfer in 1-byte steps: one drawing per percent, not per step.
  WithStderr(slave, [] { Transfer(10000, 1); });
  close(slave);
  fcntl(master, F_SETFL, O_NONBLOCK);
  std::string screen = ReadAvailable(master);
  close(master);

  size_t draws = 0;
  for (size_t at = screen.find("\rLoad:"); at != std::string::npos;
       at = screen.find("\rLoad:", at + 1)) {
    ++draws;
  }
  EXPECT_EQ(101u, draws);
  EXPECT_NE(std::string::npos, screen.find("\rLoad:   0% (0.0 of 0.0 MiB)"));
  EXPECT_NE(std::string::npos, screen.find("\rLoad: 100%"));
  const std::string erase = "\r\033[K";
  ASSERT_GE(screen.size(), erase.size());
  EXPECT_EQ(erase, screen.substr(screen.size() - erase.size()));
}

}  // namespace
