// Shared fixture of the front end's unit tests: each test runs in a fresh
// working directory, where the tool's console copy "Display.log" is read
// back to see what was printed.
#ifndef QEL_TESTS_FRONTEND_FRONTENDTEST_H_
#define QEL_TESTS_FRONTEND_FRONTENDTEST_H_

#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "E2E.h"

class InTempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char* cwd = getcwd(nullptr, 0);
    oldDir_ = cwd;
    free(cwd);
    dir_ = e2e::MakeTempDir("frontend");
    ASSERT_FALSE(dir_.empty());
    ASSERT_EQ(0, chdir(dir_.c_str()));
  }
  void TearDown() override {
    ASSERT_EQ(0, chdir(oldDir_.c_str()));
    e2e::RemoveTree(dir_);
  }

  // What the tool printed since the last call.
  std::string TakeOutput() {
    std::string text = e2e::ReadFile("Display.log");
    unlink("Display.log");
    return text;
  }

  std::string dir_;
  std::string oldDir_;
};

#endif  // QEL_TESTS_FRONTEND_FRONTENDTEST_H_
