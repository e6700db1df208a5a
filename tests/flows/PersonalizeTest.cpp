// What each personalisation mode carries into the new image, checked byte by
// byte, and the card-free paths of ModifyISPFile and the header stripping.
#include <stdio.h>
#include <string.h>

#include <vector>

#include "E2E.h"
#include "EXCMDFunc.h"
#include "FlowGlobals.h"
#include "FlowTest.h"
#include "IspPersonalize.h"
#include "SHA256.h"

namespace {

const size_t kImageSize = 0x20A20 + 100;

unsigned char CardByte(size_t i) { return (unsigned char)(0xC0 + i); }

struct Range {
  size_t offset, length;
  bool Holds(size_t i) const { return i >= offset && i < offset + length; }
};

// A mode's contract, written out field by field: ranges taken from the
// dump, the ID table's source, and the bytes of the new image kept inside it.
struct Expectation {
  int mode;
  std::vector<Range> fromDump;
  IdTableSource idTable;
  size_t kept;
};

const Expectation kExpectations[] = {
    {2, {{0x51C, 20}, {0x20834, 20}}, kIdTableUntouched, 0},
    {3, {{0x424, 28}, {0x51C, 20}, {0x538, 40}, {0x4D0, 62}}, kIdTableFromDump, 8},
    {4, {{0x51C, 20}, {0x538, 40}, {0x4D0, 62}}, kIdTableFromDump, 8},
    {5, {{0x424, 28}, {0x51C, 20}, {0x4D0, 62}}, kIdTableFromCard, 48},
    {6, {{0x420, 320}, {0x570, 672}}, kIdTableFromCard, 8},
    {7, {{0x420, 320}, {0x570, 672}}, kIdTableFromDump, 8},
};

class PersonalizeTest : public FlowTest {
 protected:
  void SetUp() override {
    FlowTest::SetUp();
    snprintf(ISPDateCodeFile, sizeof(ISPDateCodeFile), "ISP3300.bin");
    snprintf(UpdateISPDataFile, sizeof(UpdateISPDataFile), "SWISP.bin");
    snprintf(TempISPDataFile, sizeof(TempISPDataFile), "TempISP.bin");
  }
};

TEST_F(PersonalizeTest, EachModeCopiesExactlyItsFields) {
  unsigned char card[kIspIdTableSize];
  for (size_t i = 0; i < sizeof(card); ++i) card[i] = CardByte(i);
  for (const Expectation& want : kExpectations) {
    SCOPED_TRACE(testing::Message() << "mode " << want.mode);
    const std::string before = MakeIspImage(kImageSize, PatternA);
    const std::string dump = MakeIspImage(kImageSize, PatternB);
    e2e::WriteFile("copy.bin", before);
    e2e::WriteFile("dump.bin", dump);
    FILE* copy = fopen("copy.bin", "rb+");
    FILE* dumpFile = fopen("dump.bin", "rb");
    const PersonalisationMode* mode = FindPersonalisationMode(want.mode);
    ASSERT_NE(nullptr, mode);
    EXPECT_TRUE(ApplyPersonalisation(*mode, copy, dumpFile, card, ""));
    fclose(copy);
    fclose(dumpFile);

    const std::string after = e2e::ReadFile("copy.bin");
    ASSERT_EQ(before.size(), after.size());
    const Range idTable = {0x20820, 512}, kept = {0x2084E, want.kept};
    for (size_t i = 0; i < after.size(); ++i) {
      char expected = before[i];
      if (want.idTable != kIdTableUntouched && idTable.Holds(i) && !kept.Holds(i)) {
        expected = want.idTable == kIdTableFromDump ? dump[i] : (char)CardByte(i - 0x20820);
      } else {
        for (const Range& r : want.fromDump) {
          if (r.Holds(i)) expected = dump[i];
        }
      }
      ASSERT_EQ(expected, after[i]) << "offset 0x" << std::hex << i;
    }
  }
}

TEST_F(PersonalizeTest, SerialModeWritesTheCopyAndRefreshesItsDigests) {
  std::string image = MakeIspImage(kImageSize, PatternA);
  e2e::WriteFile("ISP3300.bin", image);
  snprintf(KEYINSNString, sizeof(KEYINSNString), "SN0123456789");
  ASSERT_EQ(0, ModifyISPFile(1));
  EXPECT_EQ("Dump ISP for keep data.................\nSuccess\n", TakeOutput());

  // The serial number in ATA string order at both places, the version in
  // the section-5 header, digests over each section's header and body.
  std::string expected = image;
  const std::string serial("NS1032547698\0\0\0\0\0\0\0\0", 20);
  expected.replace(0x51C, 20, serial);
  expected.replace(0x20834, 20, serial);
  expected.replace(0x818, 8, image.substr(0x418, 8));
  unsigned char digest[32];
  CalSHA256((unsigned char*)&expected[0x400], digest, 16 + 1024);
  expected.replace(656 + 16, 32, (const char*)digest, 32);
  CalSHA256((unsigned char*)&expected[0x810], digest, (int)(expected.size() - 0x810));
  expected.replace(656 + 48 + 16, 32, (const char*)digest, 32);
  EXPECT_TRUE(expected == e2e::ReadFile("SWISP.bin"));
}

TEST_F(PersonalizeTest, FailedCopyOrShortImageLeavesNoCopy) {
  EXPECT_EQ(1, ModifyISPFile(1));
  EXPECT_EQ("Copy ISP3300.bin to SWISP.bin Fail!\n", TakeOutput());

  // An image ending inside the ID table's serial number cannot be personalised.
  e2e::WriteFile("ISP3300.bin", MakeIspImage(0x20840, PatternA));
  EXPECT_EQ(1, ModifyISPFile(1));
  EXPECT_NE(std::string::npos, TakeOutput().find("too short to personalise"));
  EXPECT_FALSE(e2e::FileExists("SWISP.bin"));

  snprintf(UpdateISPDataFile, sizeof(UpdateISPDataFile), "missing/SWISP.bin");
  EXPECT_EQ(1, ModifyISPFile(1));
  EXPECT_EQ("Copy ISP3300.bin to missing/SWISP.bin Fail!\n", TakeOutput());
  EXPECT_EQ(1, ModifyISPFile(8));
}

// The dump needs both section headers of the reference image.
TEST_F(PersonalizeTest, DumpNeedsBothSectionHeadersOfTheReference) {
  e2e::WriteFile("ISP3300.bin", std::string(0x818, 'x'));
  EXPECT_EQ(1, DumpISPBlock(ISPDateCodeFile, 0));
  EXPECT_EQ("Cannot read ISP.bin file ISP3300.bin\n", TakeOutput());
}

TEST_F(PersonalizeTest, BypassCssInfoKeepsTheBodiesInTableOrder) {
  std::string image = MakeIspImage(0x1000, PatternA);
  image.replace(656, 4, std::string("\x05\0\0\0", 4));
  image.replace(656 + 48, 4, std::string("\x04\0\0\0", 4));
  e2e::WriteFile("ISP3300.bin", image);
  ASSERT_EQ(0, ModifyISPFileBypassCSSInfo(ISPDateCodeFile));
  EXPECT_EQ(image.substr(0x820) + image.substr(0x410, 1024), e2e::ReadFile("TempISP.bin"));
  EXPECT_EQ(image, e2e::ReadFile("ISP3300.bin"));

  // A section-5 body that reaches past the end of the file.
  image.replace(0x814, 4, std::string("\xFF\xFF\0\0", 4));
  e2e::WriteFile("ISP3300.bin", image);
  EXPECT_EQ(1, ModifyISPFileBypassCSSInfo(ISPDateCodeFile));
  EXPECT_FALSE(e2e::FileExists("TempISP.bin"));
}

}  // namespace
