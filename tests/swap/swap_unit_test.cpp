// The version gate's list walking and version field, and the download image
// rules (sizes, layout choice, raw layout), without a card.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "MicrocodeImage.h"
#include "SwapVersionList.h"

namespace {

struct TempFile {
  explicit TempFile(const std::string& contents) {
    char name[] = "/tmp/qel-swap-unit-XXXXXX";
    close(mkstemp(name));
    path_ = name;
    std::ofstream(path_, std::ios::binary) << contents;
  }
  ~TempFile() { unlink(path_.c_str()); }
  const char* path() const { return path_.c_str(); }
  std::string path_;
};

TEST(VersionList, WalksTheNumberedKeys) {
  // A gap ends the list; an empty value does not; the highest match counts;
  // values compare without surrounding blanks.
  TempFile ini(
      "[SWAP_FWTable]\nFWVer_1=A100\nFWVer_3=B200\n"
      "[UPDATE_FWTable]\nFWVer_1=A100\nFWVer_2=B200\nFWVer_3=A100\nFWVer_4=\nFWVer_5=A100\n"
      "[SWAP_A100]\r\nFWSupportVer_1 =  B200  \r\nFWSupportVer_2=ABCDEFGH\t\r\n");
  const struct {
    const char *section, *prefix, *version;
    int found;
  } kCases[] = {
      {"SWAP_FWTable", "FWVer_", "A100", 1},          {"SWAP_FWTable", "FWVer_", "B200", 0},
      {"NONE_FWTable", "FWVer_", "A100", 0},          {"UPDATE_FWTable", "FWVer_", "A100", 5},
      {"UPDATE_FWTable", "FWVer_", "B200", 2},        {"SWAP_A100", "FWSupportVer_", "B200", 1},
      {"SWAP_A100", "FWSupportVer_", "ABCDEFGH", 2},  {"SWAP_A100", "FWSupportVer_", "ABCDEFG", 0},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(c.found, FindListedVersion(ini.path(), c.section, c.prefix, c.version))
        << c.section << " " << c.version;
  }
  EXPECT_EQ(0, FindListedVersion("/nonexistent/FWVerDB.ini", "SWAP_FWTable", "FWVer_", "A100"));
}

TEST(FirmwareVersion, AtMostEightCharactersUntrimmed) {
  const struct {
    std::string field;
    size_t size;
    const char* want;
  } kCases[] = {{"ABCDEFGHIJ", 0x800, "ABCDEFGH"}, {"Q1117A  ", 0x800, "Q1117A  "},
                {std::string("P09\0XYZW", 8), 0x800, "P09"}, {"ABCDEFGH", kIspFwVersion + 3, "ABC"},
                {"ABCDEFGH", 3, ""}};
  char out[kIspFwVersionLength + 1];
  for (const auto& c : kCases) {
    std::string image(0x800, '\x5A');
    image.replace(kIspFwVersion, c.field.size(), c.field);
    TempFile file(image.substr(0, c.size));
    EXPECT_TRUE(ReadFirmwareVersion(file.path(), out));
    EXPECT_STREQ(c.want, out);
  }
  EXPECT_FALSE(ReadFirmwareVersion("/nonexistent/ISP3300.bin", out));
}

TEST(MicrocodeImage, OlderLayoutUpToP0925A) {
  for (const char* v : {"P0925A", "P0924Z", "P09"}) EXPECT_TRUE(UsesOlderLayout(v)) << v;
  for (const char* v : {"P0925B", "P0925A1", "Q1117A"}) EXPECT_FALSE(UsesOlderLayout(v)) << v;
}

TEST(MicrocodeImage, SizesThatCannotBeSentWhole) {
  // The raw layout uses only the image's first 0x80820 bytes.
  const struct {
    long size;
    bool older, refused;
  } kCases[] = {{511, false, true}, {512, false, false}, {262144 + 100, false, true},
                {65535L * 512, false, false}, {65536L * 512, false, true}, {0x8081F, true, true},
                {0x80820, true, false}, {0x80821, true, false}, {65536L * 512, true, false}};
  for (const auto& c : kCases) {
    EXPECT_EQ(c.refused, MicrocodeImageSizeFault(c.size, c.older) != nullptr)
        << c.size << (c.older ? " older" : "");
  }
}

TEST(MicrocodeImage, RawLayoutFromTheSectionBodies) {
  std::vector<unsigned char> image(kOlderLayoutSourceSize + 4096);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i * 7 + i / 251);
  std::vector<unsigned char> raw(kOlderLayoutSize, 0xEE);
  ConvertToOlderLayout(image.data(), raw.data());
  auto same = [&](size_t rawAt, size_t imageAt, size_t length) {
    return std::equal(raw.begin() + rawAt, raw.begin() + rawAt + length, image.begin() + imageAt);
  };
  EXPECT_TRUE(same(0, 0x410, 0x400));
  EXPECT_TRUE(same(0x400, 0x820, 0x80000));
  EXPECT_TRUE(std::all_of(raw.begin() + 0x80400, raw.begin() + 0xC03F0,
                          [](unsigned char b) { return b == 0; }));
  EXPECT_TRUE(same(0xC03F0, 0x80810, 16));
}

}  // namespace
