// Card mode: the geometry derivations, the die maps, the system block
// numbering, and CheckCardMode against a virtual card.
#include <stdlib.h>
#include <string.h>

#include "FlowGlobals.h"
#include "FrontEndTest.h"

namespace {

const unsigned char kDieID[8] = {0x2C, 0x84, 0x64, 0x54, 0xA9, 0x00, 0x00, 0x00};

void FitDie(unsigned char* table, int ce, int ch) {
  memcpy(table + 48 + 32 * ce + 8 * ch, kDieID, 8);
}

struct Geometry {
  uint8_t pageCodes;  // parameter byte 27
  uint8_t longBlock;  // parameter byte 31
  int32_t sectorsPerPage;
  int32_t pagesPerBlock;
};

TEST(DeriveCardModeTest, PageCodesTakeTheFirstTestedBit) {
  const Geometry cases[] = {
      {0x00, 0x00, 8, 64},  {0x01, 0x00, 8, 64},   {0x02, 0x00, 16, 64}, {0x04, 0x00, 32, 64},
      {0x08, 0x00, 64, 64}, {0x03, 0x00, 8, 64},   {0x0C, 0x00, 32, 64}, {0x10, 0x00, 8, 128},
      {0x20, 0x00, 8, 256}, {0x40, 0x00, 8, 192},  {0x80, 0x00, 8, 258}, {0x30, 0x00, 8, 128},
      {0xC0, 0x00, 8, 192}, {0x02, 0x80, 16, 512}, {0x80, 0x80, 8, 258},
  };
  unsigned char table[1024] = {};
  for (const Geometry& g : cases) {
    unsigned char par[7168] = {};
    par[27] = g.pageCodes;
    par[31] = g.longBlock;
    CardMode mode = DeriveCardMode(table, par);
    EXPECT_EQ(g.sectorsPerPage, mode.SectorsPerPage) << std::hex << int(g.pageCodes);
    EXPECT_EQ(g.pagesPerBlock, mode.PagesPerBlock) << std::hex << int(g.pageCodes);
  }
}

TEST(DeriveCardModeTest, PlanesCountsFlagsAndProgram) {
  unsigned char table[1024] = {};
  unsigned char par[7168] = {};
  table[16] = 0x07;
  table[17] = 0xD0;
  par[27] = 0x04;         // 32 sectors per page
  par[29] = 0x60 | 0x1F;  // 4 planes; low bits are not planes
  par[11] = (5 << 3) | 2;
  par[10] = 0x04;
  table[4] = 2;
  CardMode mode = DeriveCardMode(table, par);
  EXPECT_EQ(4, mode.PlaneCount);
  EXPECT_EQ(128, mode.SectorsPerMultiPlanePage);
  EXPECT_EQ(2000, mode.BlockCount);
  EXPECT_EQ(6, mode.ParCountHigh);
  EXPECT_EQ(3, mode.ParCountLow);
  EXPECT_EQ(1, mode.ParBit2Flag);
  EXPECT_EQ(0, mode.ParBit1Flag);
  EXPECT_EQ(1, mode.IspModeFlag);
  EXPECT_EQ(0, mode.MpIspModeFlag + mode.OtherModeFlag);

  // Bit 0x02 wins over 0x04; bit 0x01 shifts the low count by byte 62.
  par[10] = 0x07;
  par[62] = 0x20 | 4;  // only the low five bits count
  par[29] = 0xE0;
  table[4] = 1;
  mode = DeriveCardMode(table, par);
  EXPECT_EQ(8, mode.PlaneCount);
  EXPECT_EQ(3 << 4, mode.ParCountLow);
  EXPECT_EQ(0, mode.ParBit2Flag);
  EXPECT_EQ(1, mode.ParBit1Flag);
  EXPECT_EQ(1, mode.MpIspModeFlag);
  EXPECT_EQ(0, mode.IspModeFlag + mode.OtherModeFlag);

  table[4] = 3;
  mode = DeriveCardMode(table, par);
  EXPECT_EQ(1, mode.OtherModeFlag);
  EXPECT_EQ(0, mode.IspModeFlag + mode.MpIspModeFlag);
}

TEST(DieMapTest, FittedDiesAndLogicalNumbers) {
  unsigned char table[1024] = {};
  // Dies on CE 0 and 2, channels 1 and 3 (slot (0,0) always counts).
  FitDie(table, 0, 0);
  FitDie(table, 0, 3);
  FitDie(table, 2, 1);
  FitDie(table, 2, 3);
  table[kFidDieCount] = 4;
  BuildDieMaps(table);
  EXPECT_EQ(4u, TotalDieCnt);
  EXPECT_EQ(0x01, CEmapPerCH[0]);
  EXPECT_EQ(0x04, CEmapPerCH[1]);
  EXPECT_EQ(0x00, CEmapPerCH[2]);
  EXPECT_EQ(0x05, CEmapPerCH[3]);
  const uint8_t lce2pce[8] = {0, 2, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const uint8_t pce2lce[8] = {0, 0xFF, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const uint8_t lch2pch[4] = {0, 1, 3, 0xFF};
  const uint8_t pch2lch[4] = {0, 1, 0xFF, 2};
  EXPECT_EQ(0, memcmp(lce2pce, LCE2PCEmap, 8));
  EXPECT_EQ(0, memcmp(pce2lce, PCE2LCEmap, 8));
  EXPECT_EQ(0, memcmp(lch2pch, LCH2PCHmap, 4));
  EXPECT_EQ(0, memcmp(pch2lch, PCH2LCHmap, 4));

  // A die count below the matching slots fits only the first dies in
  // CE-major order; the logical maps still count every matching slot.
  table[kFidDieCount] = 2;
  BuildDieMaps(table);
  EXPECT_EQ(4u, TotalDieCnt);
  EXPECT_EQ(0x01, CEmapPerCH[0]);
  EXPECT_EQ(0x00, CEmapPerCH[1]);
  EXPECT_EQ(0x01, CEmapPerCH[3]);
  EXPECT_EQ(0, memcmp(lce2pce, LCE2PCEmap, 8));
  EXPECT_EQ(0, memcmp(lch2pch, LCH2PCHmap, 4));
}

// The number as the table holds it (big-endian), passed the way the flows
// read it (little-endian).
uint16_t AsRead(uint16_t number) { return static_cast<uint16_t>((number >> 8) | (number << 8)); }

TEST(SysBlockTest, NumbersRunOverTheFittedDiesOfEachBlock) {
  unsigned char table[1024] = {};
  FitDie(table, 0, 0);
  FitDie(table, 0, 3);
  FitDie(table, 2, 1);
  table[kFidDieCount] = 3;
  BuildDieMaps(table);
  // Fitted dies in order: (CE0,CH0), (CE0,CH3), (CE2,CH1).
  struct Expect {
    uint16_t number;
    int32_t block, lce, lch;
  };
  const Expect cases[] = {
      {0, 0, 0, 0}, {1, 0, 0, 2}, {2, 0, 1, 1}, {3, 1, 0, 0}, {0x1FF, 170, 0, 2}};
  for (const Expect& e : cases) {
    int32_t block = -1, lce = -1, lch = -1;
    ASSERT_EQ(0, GetSysBlkInfo(AsRead(e.number), &block, &lce, &lch, 1000)) << e.number;
    EXPECT_EQ(e.block, block) << e.number;
    EXPECT_EQ(e.lce, lce) << e.number;
    EXPECT_EQ(e.lch, lch) << e.number;
  }

  int32_t block = 7, lce = 7, lch = 7;
  EXPECT_EQ(1, GetSysBlkInfo(AsRead(3 * 10), &block, &lce, &lch, 10));
  EXPECT_EQ(0, GetSysBlkInfo(AsRead(3 * 10 - 1), &block, &lce, &lch, 10));
  EXPECT_EQ(9, block);
  block = lce = lch = 7;
  EXPECT_EQ(1, GetSysBlkInfo(AsRead(0), &block, &lce, &lch, 0));
  EXPECT_EQ(7, block);
  EXPECT_EQ(7, lce);
  EXPECT_EQ(7, lch);

  // No fitted die at all.
  memset(table, 0, sizeof(table));
  BuildDieMaps(table);
  EXPECT_EQ(1, GetSysBlkInfo(0, &block, &lce, &lch, 1000));
}

// CheckCardMode on a virtual card at /dev/sdb (the test runs under the
// virtual card's preload library).
class CheckCardModeTest : public InTempDir {
 protected:
  void OpenCard(const std::vector<std::string>& options) {
    std::string card = dir_ + "/card";
    e2e::RunResult created = e2e::CreateCard(card, options);
    ASSERT_EQ(0, created.status) << created.out;
    setenv("QEL_VCARD", ("/dev/sdb=" + card).c_str(), 1);
    gQel3300 = &mQel3300[0];
    char node[] = "/dev/sdb";
    ASSERT_TRUE(gQel3300->OpenDevice(node));
  }
  void TearDown() override {
    gQel3300->CloseDevice();
    unsetenv("QEL_VCARD");
    InTempDir::TearDown();
  }
};

TEST_F(CheckCardModeTest, RunningFirmwareReadsTheParameterBlock) {
  OpenCard({"--mode", "isp", "--dies", "4", "--planes", "2", "--sectors-per-page", "32",
            "--pages-per-block", "258", "--blocks", "1500"});
  memset(&g_CardMode, 0, sizeof(g_CardMode));
  ASSERT_EQ(0, CheckCardMode()) << TakeOutput();
  EXPECT_EQ(0, memcmp(g_Parameter, "QC3300PARA", 10));
  EXPECT_EQ(1, g_CardMode.IspModeFlag);
  EXPECT_EQ(2, g_CardMode.PlaneCount);
  EXPECT_EQ(32, g_CardMode.SectorsPerPage);
  EXPECT_EQ(258, g_CardMode.PagesPerBlock);
  EXPECT_EQ(1500, g_CardMode.BlockCount);
  EXPECT_EQ(4u, TotalDieCnt);
  EXPECT_EQ(0, CheckInfoString());
}

TEST_F(CheckCardModeTest, BootRomLeavesTheCardModeRecordAlone) {
  OpenCard({"--mode", "rom", "--dies", "2"});
  memset(&g_CardMode, 0x5A, sizeof(g_CardMode));
  memset(CEmapPerCH, 0, sizeof(CEmapPerCH));
  TotalDieCnt = 0;
  ASSERT_EQ(0, CheckCardMode()) << TakeOutput();
  EXPECT_EQ(2u, TotalDieCnt);
  CardMode untouched;
  memset(&untouched, 0x5A, sizeof(untouched));
  EXPECT_EQ(0, memcmp(&untouched, &g_CardMode, sizeof(g_CardMode)));
}

TEST_F(CheckCardModeTest, FailingReadsAreReported) {
  OpenCard({"--fail-op", "20"});
  EXPECT_EQ(1, CheckCardMode());
  EXPECT_EQ("Read Flash ID Fail\n", TakeOutput());
  gQel3300->CloseDevice();

  // The parameter page read fails: the card mode record stays as it was.
  OpenCard({"--fail-op", "0A"});
  memset(&g_CardMode, 0x5A, sizeof(g_CardMode));
  EXPECT_EQ(1, CheckCardMode());
  EXPECT_EQ("Read Par Fail\n", TakeOutput());
  EXPECT_EQ(0x5A5A5A5A, g_CardMode.PlaneCount);
}

}  // namespace
