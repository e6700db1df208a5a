// The version gate's list walking and version field, and the download image
// rules (sizes, layout choice, raw layout), without a card.
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "MicrocodeImage.h"
#include "SwapVersionList.h"

namespace {

class TempFile {
 public:
  explicit TempFile(const std::string& contents) {
    char name[] = "/tmp/qel-swap-unit-XXXXXX";
    int fd = mkstemp(name);
    path_ = name;
    EXPECT_EQ(static_cast<ssize_t>(contents.size()), write(fd, contents.data(), contents.size()));
    close(fd);
  }
  ~TempFile() { unlink(path_.c_str()); }
  const char* path() const { return path_.c_str(); }

 private:
  std::string path_;
};

TEST(VersionList, AGapOrAMissingSectionEndsTheList) {
  TempFile ini("[SWAP_FWTable]\nFWVer_1=A100\nFWVer_3=B200\n");
  EXPECT_EQ(1, FindListedVersion(ini.path(), "SWAP_FWTable", "FWVer_", "A100"));
  EXPECT_EQ(0, FindListedVersion(ini.path(), "SWAP_FWTable", "FWVer_", "B200"));
  EXPECT_EQ(0, FindListedVersion(ini.path(), "UPDATE_FWTable", "FWVer_", "A100"));
  EXPECT_EQ(0, FindListedVersion("/nonexistent/FWVerDB.ini", "SWAP_FWTable", "FWVer_", "A100"));
}

TEST(VersionList, RemembersTheHighestMatchingNumber) {
  // An empty value is still a present key and does not end the list.
  TempFile ini("[UPDATE_FWTable]\nFWVer_1=A100\nFWVer_2=B200\nFWVer_3=A100\nFWVer_4=\n"
               "FWVer_5=A100\n");
  EXPECT_EQ(5, FindListedVersion(ini.path(), "UPDATE_FWTable", "FWVer_", "A100"));
  EXPECT_EQ(2, FindListedVersion(ini.path(), "UPDATE_FWTable", "FWVer_", "B200"));
}

TEST(VersionList, ValuesCompareWithoutSurroundingBlanks) {
  TempFile ini("[SWAP_A100]\r\nFWSupportVer_1 =  B200  \r\nFWSupportVer_2=ABCDEFGH\t\r\n");
  EXPECT_EQ(1, FindListedVersion(ini.path(), "SWAP_A100", "FWSupportVer_", "B200"));
  EXPECT_EQ(2, FindListedVersion(ini.path(), "SWAP_A100", "FWSupportVer_", "ABCDEFGH"));
  EXPECT_EQ(0, FindListedVersion(ini.path(), "SWAP_A100", "FWSupportVer_", "ABCDEFG"));
}

TEST(VersionList, StopsAfterNumber1024) {
  std::string text = "[SWAP_FWTable]\n";
  for (int n = 1; n <= 1025; ++n) {
    text += "FWVer_" + std::to_string(n) + (n >= 1024 ? "=Z999\n" : "=A100\n");
  }
  TempFile ini(text);
  EXPECT_EQ(1024, FindListedVersion(ini.path(), "SWAP_FWTable", "FWVer_", "Z999"));
}

TEST(FirmwareVersion, AtMostEightCharactersUntrimmed) {
  auto read = [](const std::string& field, size_t size) {
    std::string image(0x800, '\x5A');
    image.replace(kIspFwVersion, field.size(), field);
    TempFile file(image.substr(0, size));
    char out[kIspFwVersionLength + 1];
    EXPECT_TRUE(ReadFirmwareVersion(file.path(), out));
    return std::string(out);
  };
  EXPECT_EQ("ABCDEFGH", read("ABCDEFGHIJ", 0x800));
  EXPECT_EQ("Q1117A  ", read("Q1117A  ", 0x800));
  EXPECT_EQ("P09", read(std::string("P09\0XYZW", 8), 0x800));
  EXPECT_EQ("ABC", read("ABCDEFGH", kIspFwVersion + 3));
  EXPECT_EQ("", read("ABCDEFGH", 3));

  char out[kIspFwVersionLength + 1];
  EXPECT_FALSE(ReadFirmwareVersion("/nonexistent/ISP3300.bin", out));
}

TEST(MicrocodeImage, OlderLayoutUpToP0925A) {
  EXPECT_TRUE(UsesOlderLayout("P0925A"));
  EXPECT_TRUE(UsesOlderLayout("P0924Z"));
  EXPECT_TRUE(UsesOlderLayout("P09"));
  EXPECT_FALSE(UsesOlderLayout("P0925B"));
  EXPECT_FALSE(UsesOlderLayout("P0925A1"));
  EXPECT_FALSE(UsesOlderLayout("Q1117A"));
}

TEST(MicrocodeImage, SizesThatCannotBeSentWhole) {
  EXPECT_NE(nullptr, MicrocodeImageSizeFault(511, false));
  EXPECT_EQ(nullptr, MicrocodeImageSizeFault(512, false));
  EXPECT_NE(nullptr, MicrocodeImageSizeFault(262144 + 100, false));
  EXPECT_EQ(nullptr, MicrocodeImageSizeFault(65535L * 512, false));
  EXPECT_NE(nullptr, MicrocodeImageSizeFault(65536L * 512, false));

  // The raw layout uses only the image's first 0x80820 bytes.
  EXPECT_NE(nullptr, MicrocodeImageSizeFault(0x8081F, true));
  EXPECT_EQ(nullptr, MicrocodeImageSizeFault(0x80820, true));
  EXPECT_EQ(nullptr, MicrocodeImageSizeFault(0x80821, true));
  EXPECT_EQ(nullptr, MicrocodeImageSizeFault(65536L * 512, true));
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
