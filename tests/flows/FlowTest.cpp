#include "FlowTest.h"

#include <stdlib.h>
#include <unistd.h>

#include "E2E.h"

void FlowTest::SetUp() {
  char* cwd = getcwd(nullptr, 0);
  oldDir_ = cwd;
  free(cwd);
  dir_ = e2e::MakeTempDir("flows");
  ASSERT_EQ(0, chdir(dir_.c_str()));
}

void FlowTest::TearDown() {
  ASSERT_EQ(0, chdir(oldDir_.c_str()));
  e2e::RemoveTree(dir_);
}

std::string FlowTest::TakeOutput() {
  std::string text = e2e::ReadFile("Display.log");
  unlink("Display.log");
  return text;
}

std::string MakeIspImage(size_t size, unsigned char (*fill)(size_t)) {
  std::string image(size, '\0');
  for (size_t i = 0; i < size; ++i) image[i] = (char)fill(i);
  auto put = [&image](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) image[at + i] = (char)(v >> (8 * i));
  };
  for (size_t entry = 0; entry < 7; ++entry) put(656 + 48 * entry, entry < 2 ? 4 + entry : ~0u);
  put(0x400, 16);
  put(0x404, 1024);
  put(0x810, 16);
  put(0x814, (uint32_t)(size - 0x820));
  return image;
}

unsigned char PatternA(size_t i) { return (unsigned char)(i * 7 + 1); }
unsigned char PatternB(size_t i) { return (unsigned char)(i * 7 + 2); }
