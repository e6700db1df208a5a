#include "EXCMDFunc.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace {

using qeltest::ReadFile;
using qeltest::StdinFeed;
using qeltest::TempDir;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

TEST(Console, DebugPrintfShowsAndAppendsTheSameBytes) {
  TempDir dir;
  qeltest::WriteFile("Display.log", "earlier\n");
  CaptureStdout();
  debug_printf("50%% done\n");
  debug_printf("%s|%d\n", "100%d", 7);
  debug_printf("%s", std::string(5000, 'x').c_str());  // cut to 4095 characters
  std::string expected = "50% done\n100%d|7\n" + std::string(4095, 'x');
  EXPECT_EQ(GetCapturedStdout(), expected);
  EXPECT_EQ(ReadFile("Display.log"), "earlier\n" + expected);

  remove("Display.log");
  ASSERT_EQ(mkdir("Display.log", 0755), 0);  // cannot be opened for appending
  CaptureStdout();
  debug_printf("hi\n");
  EXPECT_EQ(GetCapturedStdout(), "hi\nCannot open Display.log\n");
}

TEST(Console, GetchReadsPipedKeysThenEndOfInput) {
  StdinFeed feed("ab");
  EXPECT_EQ(getch(), 'a');
  EXPECT_EQ(getch(), 'b');
  EXPECT_EQ(getch(), EOF);
}

const std::string kHeader =
    "Offset  0  1  2  3  4  5  6  7  8  9  A  B  C  D  E  F   0123456789ABCDEF\n";

// Dumps data with keys waiting on standard input; returns the console text,
// which Display.log must repeat, and the key ShowHex returned.
std::string Dump(std::vector<unsigned char> data, uint16_t base, const std::string& keys, int* key) {
  TempDir dir;
  StdinFeed feed(keys);
  CaptureStdout();
  *key = ShowHex(data.data(), static_cast<int>(data.size()), base);
  std::string shown = GetCapturedStdout();
  EXPECT_EQ(ReadFile("Display.log"), shown);
  return shown;
}

TEST(HexDump, RowsTextColumnAndPaging) {
  std::string rows32;  // 512 bytes of 'A'
  for (int i = 0; i < 32; ++i) {
    char offset[8];
    snprintf(offset, sizeof(offset), "0x%04X ", i * 16);
    for (int j = 0; j < 16; ++j) rows32 += (j ? "41," : offset + std::string("41,"));
    rows32 += "  AAAAAAAAAAAAAAAA\n";
  }
  struct Case {
    std::vector<unsigned char> data;
    uint16_t base;
    const char* keys;
    std::string shown;
    int key;
  } cases[] = {
      {{0x00, 0x1F, 0x20, 0x41, 0x7E, 0x7F, 0x80, 0xFF, 'h', 'e', 'l', 'l', 'o', 0x0A, 0x2C, 0x25,
        0xAB, 0x01, 0x02, 0x03},
       0x100, "q",
       kHeader + "0x0100 00,1F,20,41,7E,7F,80,FF,68,65,6C,6C,6F,0A,2C,25,  .. A~\x7F..hello.,%\n"
                 "0x0110 AB,01,02,03,",
       'q'},
      {{}, 0, "k", "", 'k'},
      {{}, 0, "", "", EOF},  // end of input answers at once
      // A pause after every 512 bytes, one key for it and one at the end.
      {std::vector<unsigned char>(512, 'A'), 0, "q", kHeader + rows32, 'q'},
      {std::vector<unsigned char>(513, 'A'), 0, "xy",
       kHeader + rows32 + "Press any key to continue...\n" + kHeader + "0x0200 41,", 'y'},
  };
  for (const Case& c : cases) {
    int key = 0;
    EXPECT_EQ(Dump(c.data, c.base, c.keys, &key), c.shown) << c.data.size() << " bytes";
    EXPECT_EQ(key, c.key) << c.data.size() << " bytes";
  }
}

TEST(Text, TrimReplaceAndBinaryDigits) {
  const char* kTrim[][2] = {
      {"  abc \t\n", "abc"}, {"abc\r\n", "abc\r"}, {"   ", ""}, {"", ""}, {"\ta b\n", "a b"}};
  for (auto& c : kTrim) {
    char text[32];
    trim(strcpy(text, c[0]));
    EXPECT_STREQ(text, c[1]) << '"' << c[0] << '"';
  }
  struct Case {
    const char *text, *search, *replacement;
    bool firstOnly;
    const char* result;
  } kReplace[] = {
      {"a:b:c", ":", "-", false, "a-b-c"}, {"a:b:c", ":", "-", true, "a-b:c"},
      {"abc", ":", "-", false, "abc"},     {"aaaa", "aa", "a", false, "a"},
      {"x[y]", "[", "<<", false, "x<<y]"}, {"abc", "", "-", false, "abc"},
  };
  for (const Case& c : kReplace) {
    char text[32];
    replace(strcpy(text, c.text), c.search, c.replacement, c.firstOnly);
    EXPECT_STREQ(text, c.result) << c.text;
  }
  const std::pair<uint8_t, const char*> kBinary[] = {
      {0, "00000000"}, {5, "00000101"}, {128, "10000000"}, {255, "11111111"}};
  for (auto& c : kBinary) {
    char* digits = TranIntToBinStr(c.first);
    EXPECT_STREQ(digits, c.second);
    delete[] digits;
  }
}

}  // namespace

// Links are followed to the node they stand for; relative targets start in
// the link's folder; a loop or an unreadable chain is refused with errno.
TEST(Paths, ResolveLinksFollowsByIdNamesToTheirNode) {
  qeltest::TempDir dir;
  ASSERT_EQ(0, mkdir("disk", 0755));
  ASSERT_EQ(0, mkdir("disk/by-id", 0755));
  ASSERT_EQ(0, symlink("../../sdb", "disk/by-id/relative"));
  ASSERT_EQ(0, symlink("/dev/sdc", "disk/by-id/absolute"));
  ASSERT_EQ(0, symlink("disk/by-id/relative", "chain"));
  ASSERT_EQ(0, symlink("loop", "loop"));
  const struct { const char *path, *resolved; int err; } cases[] = {
      {"/dev/sdb", "/dev/sdb", 0},  // no link: unchanged
      {"disk/by-id/relative", "sdb", 0},
      {"disk/by-id/absolute", "/dev/sdc", 0},
      {"chain", "sdb", 0},
      {"loop", nullptr, ELOOP},
  };
  for (const auto& c : cases) {
    std::string resolved;
    errno = 0;
    EXPECT_EQ(c.resolved != nullptr, ResolveLinks(c.path, &resolved)) << c.path;
    if (c.resolved != nullptr) {
      EXPECT_EQ(c.resolved, resolved) << c.path;
    } else {
      EXPECT_EQ(c.err, errno) << c.path;
    }
  }
}

// Files the tool writes are never written through a link planted in their place.
TEST(Paths, OpenFileNoFollowRefusesLinks) {
  qeltest::TempDir dir;
  qeltest::WriteFile("victim", "keep");
  ASSERT_EQ(0, symlink("victim", "LBA0.bin"));
  for (const char* mode : {"wb", "a", "r+b", "w+b"}) {
    errno = 0;
    EXPECT_EQ(nullptr, OpenFileNoFollow("LBA0.bin", mode)) << mode;
    EXPECT_EQ(ELOOP, errno) << mode;
  }
  EXPECT_EQ("keep", qeltest::ReadFile("victim"));
  FILE* plain = OpenFileNoFollow("plain", "wb");
  ASSERT_NE(nullptr, plain);
  fclose(plain);
}
