#include "FlowTest.h"

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "E2E.h"

void FlowTest::SetUp() {
  char* cwd = getcwd(nullptr, 0);
  oldDir_ = cwd;
  free(cwd);
  dir_ = e2e::MakeTempDir("flows");
  ASSERT_FALSE(dir_.empty());
  ASSERT_EQ(0, chdir(dir_.c_str()));
}

void FlowTest::TearDown() {
  ASSERT_EQ(0, chdir(oldDir_.c_str()));
  nftw(
      dir_.c_str(),
      [](const char* path, const struct stat*, int, struct FTW*) { return remove(path); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

std::string FlowTest::TakeOutput() {
  std::string text = e2e::ReadFile("Display.log");
  unlink("Display.log");
  return text;
}

namespace {

void PutLE32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = (char)(v >> (8 * i));
}

}  // namespace

std::string MakeIspImage(size_t size, unsigned char (*fill)(size_t)) {
  std::string image(size, '\0');
  for (size_t i = 0; i < size; ++i) image[i] = (char)fill(i);
  for (size_t entry = 0; entry < 7; ++entry) {
    PutLE32(image, 656 + 48 * entry, entry == 0 ? 4 : entry == 1 ? 5 : 0xFFFFFFFF);
  }
  PutLE32(image, 0x400, 16);
  PutLE32(image, 0x404, 1024);
  PutLE32(image, 0x810, 16);
  PutLE32(image, 0x814, (uint32_t)(size - 0x820));
  return image;
}

unsigned char PatternA(size_t i) { return (unsigned char)(i * 7 + 1); }
unsigned char PatternB(size_t i) { return (unsigned char)(i * 7 + 2); }
