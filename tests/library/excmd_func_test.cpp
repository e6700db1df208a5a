#include "EXCMDFunc.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using qeltest::ReadFile;
using qeltest::StdinFeed;
using qeltest::StdoutCapture;
using qeltest::TempDir;

size_t Count(const std::string& text, const std::string& piece) {
  size_t count = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
    ++count;
  }
  return count;
}

TEST(Console, LibVersion) { EXPECT_EQ(GetLibVersion(), 143); }

TEST(Console, DebugPrintfShowsAndAppendsTheSameBytes) {
  TempDir dir;
  qeltest::WriteFile("Display.log", "earlier\n");
  StdoutCapture capture;
  debug_printf("50%% done\n");
  debug_printf("%s|%d\n", "100%d", 7);
  debug_printf("%s", std::string(5000, 'x').c_str());  // cut to 4095 characters
  std::string shown = capture.Stop();

  std::string expected = "50% done\n100%d|7\n" + std::string(4095, 'x');
  EXPECT_EQ(shown, expected);
  EXPECT_EQ(ReadFile("Display.log"), "earlier\n" + expected);
}

TEST(Console, DebugPrintfWithoutLogFile) {
  TempDir dir;
  ASSERT_EQ(mkdir("Display.log", 0755), 0);  // cannot be opened for appending
  StdoutCapture capture;
  debug_printf("hi\n");
  EXPECT_EQ(capture.Stop(), "hi\nCannot open Display.log\n");
}

TEST(Console, ShowProgress) {
  TempDir dir;
  StdoutCapture capture;
  ShowProgressFunc(50);
  EXPECT_EQ(capture.Stop(), "[Progress] : '50%'\n");
}

class HexDump : public ::testing::Test {
 protected:
  // Dumps data with keys waiting on standard input; returns the console text.
  std::string Dump(std::vector<unsigned char> data, uint16_t base, const std::string& keys) {
    StdinFeed feed(keys);
    StdoutCapture capture;
    key_ = ShowHex(data.data(), static_cast<int>(data.size()), base);
    std::string shown = capture.Stop();
    EXPECT_EQ(ReadFile("Display.log"), shown);
    remove("Display.log");
    return shown;
  }

  static constexpr const char* kHeader =
      "Offset  0  1  2  3  4  5  6  7  8  9  A  B  C  D  E  F   0123456789ABCDEF\n";
  TempDir dir_;
  int key_ = 0;
};

TEST_F(HexDump, RowsAndTextColumn) {
  std::vector<unsigned char> data = {0x00, 0x1F, 0x20, 0x41, 0x7E, 0x7F, 0x80, 0xFF, 'h',  'e',
                                     'l',  'l',  'o',  0x0A, 0x2C, 0x25, 0xAB, 0x01, 0x02, 0x03};
  EXPECT_EQ(Dump(data, 0x100, "q"),
            std::string(kHeader) +
                "0x0100 00,1F,20,41,7E,7F,80,FF,68,65,6C,6C,6F,0A,2C,25,  .. A~\x7F..hello.,%\n"
                "0x0110 AB,01,02,03,");
  EXPECT_EQ(key_, 'q');
}

TEST_F(HexDump, EmptyDumpOnlyWaits) {
  EXPECT_EQ(Dump({}, 0, "k"), "");
  EXPECT_EQ(key_, 'k');
  Dump({}, 0, "");  // end of input answers at once
  EXPECT_EQ(key_, EOF);
}

TEST_F(HexDump, PagesAfterEvery512Bytes) {
  std::string page = Dump(std::vector<unsigned char>(512, 'A'), 0, "q");
  EXPECT_EQ(Count(page, "Offset"), 1u);
  EXPECT_EQ(Count(page, "Press any key"), 0u);
  EXPECT_EQ(Count(page, "  AAAAAAAAAAAAAAAA\n"), 32u);
  EXPECT_NE(page.find("\n0x01F0 41,"), std::string::npos);
  EXPECT_EQ(key_, 'q');

  std::string more = Dump(std::vector<unsigned char>(513, 'A'), 0, "xy");
  EXPECT_EQ(Count(more, "Offset"), 2u);
  EXPECT_EQ(Count(more, "Press any key"), 1u);
  EXPECT_NE(more.find("  AAAAAAAAAAAAAAAA\nPress any key to continue...\n" + std::string(kHeader) +
                      "0x0200 41,"),
            std::string::npos);
  EXPECT_EQ(key_, 'y');  // one key for the pause, one at the end
}

TEST(Text, Trim) {
  const char* kCases[][2] = {
      {"  abc \t\n", "abc"}, {"abc\r\n", "abc\r"}, {"   ", ""}, {"", ""}, {"\ta b\n", "a b"},
  };
  for (auto& c : kCases) {
    char text[32];
    strcpy(text, c[0]);
    trim(text);
    EXPECT_STREQ(text, c[1]) << '"' << c[0] << '"';
  }
}

TEST(Text, Replace) {
  struct Case {
    const char* text;
    const char* search;
    const char* replacement;
    bool firstOnly;
    const char* result;
  };
  const Case kCases[] = {
      {"a:b:c", ":", "-", false, "a-b-c"}, {"a:b:c", ":", "-", true, "a-b:c"},
      {"abc", ":", "-", false, "abc"},     {"aaaa", "aa", "a", false, "a"},
      {"x[y]", "[", "<<", false, "x<<y]"}, {"abc", "", "-", false, "abc"},
  };
  for (const Case& c : kCases) {
    char text[32];
    strcpy(text, c.text);
    replace(text, c.search, c.replacement, c.firstOnly);
    EXPECT_STREQ(text, c.result) << c.text;
  }
}

TEST(Text, Substr) {
  char dst[8];
  memset(dst, '#', sizeof(dst));
  substr(dst, "abcdef", 2, 3);
  EXPECT_STREQ(dst, "cde");
  memset(dst, '#', sizeof(dst));
  substr(dst, "abc", 1, 5);
  EXPECT_EQ(std::string(dst, 6), std::string("bc\0\0\0\0", 6));
  substr(dst, "abc", 9, 2);
  EXPECT_STREQ(dst, "");
}

TEST(Text, BinaryDigits) {
  const std::pair<uint8_t, const char*> kCases[] = {
      {0, "00000000"}, {5, "00000101"}, {128, "10000000"}, {255, "11111111"}};
  for (auto& c : kCases) {
    char* digits = TranIntToBinStr(c.first);
    EXPECT_STREQ(digits, c.second);
    delete[] digits;
  }
}

TEST(Devices, DirectoryFilterAndScsiAddress) {
  struct dirent entry = {};
  const std::pair<const char*, int> kNames[] = {{"sdb", 1}, {"sdaa", 0}, {".", 0}, {"..", 0}};
  for (auto& n : kNames) {
    strcpy(entry.d_name, n.first);
    EXPECT_EQ(ChkSelDirValid(&entry), n.second) << n.first;
  }

  char address[512] = "[99:0:0:7]";
  char devName[16] = "unchanged";
  EXPECT_EQ(PortTranToDevName(address, devName), 0);
  EXPECT_STREQ(address, "99-0-0-7");
  EXPECT_STREQ(devName, "unchanged");

  memset(address, ':', 300);  // longer than the path buffer allows
  address[300] = '\0';
  EXPECT_EQ(PortTranToDevName(address, devName), 0);
  EXPECT_STREQ(devName, "unchanged");
}

TEST(Process, SysCommandKeepsFirstLine) {
  std::string output = "before";
  EXPECT_EQ(syscommand("printf 'one\\ntwo\\n'", output), 0);
  EXPECT_EQ(output, "one\n");
  output = "before";
  EXPECT_EQ(syscommand("true", output), 0);
  EXPECT_EQ(output, "before");
}

TEST(Process, BundleNameAndPath) {
  EXPECT_EQ(getBundleName(), "library_tests");

  struct stat self, found;
  ASSERT_EQ(stat("/proc/self/exe", &self), 0);
  ASSERT_EQ(stat((getBundlePath() + "/library_tests").c_str(), &found), 0);
  EXPECT_EQ(self.st_ino, found.st_ino);

  // The directory does not depend on the command name matching the file name.
  char saved[16] = {0};
  prctl(PR_GET_NAME, saved);
  std::string path = getBundlePath();
  prctl(PR_SET_NAME, "renamed");
  EXPECT_EQ(getBundleName(), "renamed");
  EXPECT_EQ(getBundlePath(), path);
  prctl(PR_SET_NAME, saved);
}

TEST(Process, ListDir) {
  TempDir dir;
  ASSERT_EQ(mkdir("tree", 0755), 0);
  ASSERT_EQ(mkdir("tree/d", 0755), 0);
  qeltest::WriteFile("tree/a", "");
  qeltest::WriteFile("tree/d/b", "");
  ASSERT_EQ(symlink("d", "tree/l"), 0);  // listed, not followed
  StdoutCapture capture;
  listdir("tree", 0);
  listdir("no-such-directory", 0);
  std::string shown = capture.Stop();

  std::vector<std::string> lines;
  std::istringstream in(shown);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::vector<std::string> sorted = lines;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, (std::vector<std::string>{"  - b", "- a", "- l", "[d]"})) << shown;
  auto d = std::find(lines.begin(), lines.end(), "[d]");
  ASSERT_NE(d + 1, lines.end());
  EXPECT_EQ(d[1], "  - b");
}

}  // namespace
