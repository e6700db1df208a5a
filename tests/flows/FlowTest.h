// Shared helpers of the flow tests: a fresh working directory per test,
// synthetic ISP images with a valid section table, and the console text read
// back from "Display.log".
#ifndef QEL_TESTS_FLOWS_FLOWTEST_H_
#define QEL_TESTS_FLOWS_FLOWTEST_H_

#include <gtest/gtest.h>

#include <string>

class FlowTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // What the tool printed since the last call.
  std::string TakeOutput();

  std::string dir_;

 private:
  std::string oldDir_;
};

// An ISP image of `size` bytes (at least 0x820): section table of types 4
// and 5, section headers giving the 1024-byte section-4 body and a
// section-5 body to the end of the file, and every other byte `fill(i)`.
std::string MakeIspImage(size_t size, unsigned char (*fill)(size_t));

// Byte patterns that differ at every offset from each other.
unsigned char PatternA(size_t i);
unsigned char PatternB(size_t i);

#endif  // QEL_TESTS_FLOWS_FLOWTEST_H_
