// Card mode: the geometry derivations, the die maps, the system block
// numbering, and CheckCardMode against a virtual card.
#include <stdlib.h>
#include <string.h>

#include "FlowGlobals.h"
#include "FrontEndTest.h"

namespace {

void FitDies(unsigned char* table, std::initializer_list<std::pair<int, int>> slots, int count) {
  static const unsigned char kDieID[8] = {0x2C, 0x84, 0x64, 0x54, 0xA9, 0x00, 0x00, 0x00};
  memset(table, 0, 1024);
  for (auto slot : slots) memcpy(table + 48 + 32 * slot.first + 8 * slot.second, kDieID, 8);
  table[kFidDieCount] = static_cast<unsigned char>(count);
  BuildDieMaps(table);
}

TEST(DeriveCardModeTest, GeometryFromThePageCodesPlanesAndProgram) {
  struct Case {
    uint8_t pageCodes, longBlock;  // parameter bytes 27 and 31
    int32_t sectorsPerPage, pagesPerBlock;
  };
  const Case cases[] = {
      {0x00, 0x00, 8, 64},  {0x01, 0x00, 8, 64},   {0x02, 0x00, 16, 64}, {0x04, 0x00, 32, 64},
      {0x08, 0x00, 64, 64}, {0x03, 0x00, 8, 64},   {0x0C, 0x00, 32, 64}, {0x10, 0x00, 8, 128},
      {0x20, 0x00, 8, 256}, {0x40, 0x00, 8, 192},  {0x80, 0x00, 8, 258}, {0x30, 0x00, 8, 128},
      {0xC0, 0x00, 8, 192}, {0x02, 0x80, 16, 512}, {0x80, 0x80, 8, 258},
  };
  unsigned char table[1024] = {}, par[7168] = {};
  for (const Case& g : cases) {
    par[27] = g.pageCodes;
    par[31] = g.longBlock;
    CardMode mode = DeriveCardMode(table, par);
    EXPECT_EQ(g.sectorsPerPage, mode.SectorsPerPage) << std::hex << int(g.pageCodes);
    EXPECT_EQ(g.pagesPerBlock, mode.PagesPerBlock) << std::hex << int(g.pageCodes);
  }
  table[16] = 0x07;
  table[17] = 0xD0;
  par[27] = 0x04;  // 32 sectors per page
  for (int planes : {1, 2, 4, 8}) {
    par[29] = static_cast<uint8_t>((planes - 1) << 5 | 0x1F);  // low bits are not planes
    CardMode mode = DeriveCardMode(table, par);
    EXPECT_EQ(planes, mode.PlaneCount);
    EXPECT_EQ(32 * planes, mode.SectorsPerMultiPlanePage);
    EXPECT_EQ(2000, mode.BlockCount);
  }
  for (int program : {0, 1, 2, 3}) {  // one flag per program; the boot ROM sets none
    table[4] = static_cast<unsigned char>(program);
    CardMode mode = DeriveCardMode(table, par);
    EXPECT_EQ(program == 1, mode.MpIspModeFlag == 1) << program;
    EXPECT_EQ(program == 2, mode.IspModeFlag == 1) << program;
    EXPECT_EQ(program == 3, mode.OtherModeFlag == 1) << program;
    EXPECT_EQ(program != 0, mode.MpIspModeFlag + mode.IspModeFlag + mode.OtherModeFlag) << program;
  }
}

TEST(DieMapTest, FittedDiesAndLogicalNumbers) {
  unsigned char table[1024];
  // Dies on CE 0 and 2, channels 1 and 3 (slot (0,0) always counts).
  const uint8_t lce2pce[8] = {0, 2, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const uint8_t pce2lce[8] = {0, 0xFF, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const uint8_t lch2pch[4] = {0, 1, 3, 0xFF}, pch2lch[4] = {0, 1, 0xFF, 2};
  // A die count below the matching slots fits only the first dies in CE-major
  // order; the logical maps still count every matching slot.
  for (int count : {4, 2}) {
    FitDies(table, {{0, 0}, {0, 3}, {2, 1}, {2, 3}}, count);
    EXPECT_EQ(4u, TotalDieCnt);
    const uint8_t perCh[4] = {0x01, uint8_t(count == 4 ? 0x04 : 0), 0x00, uint8_t(count == 4 ? 0x05 : 0x01)};
    EXPECT_EQ(0, memcmp(perCh, CEmapPerCH, 4)) << count;
    EXPECT_EQ(0, memcmp(lce2pce, LCE2PCEmap, 8) + memcmp(pce2lce, PCE2LCEmap, 8)) << count;
    EXPECT_EQ(0, memcmp(lch2pch, LCH2PCHmap, 4) + memcmp(pch2lch, PCH2LCHmap, 4)) << count;
  }
}

// The number as the table holds it (big-endian), passed the way the flows
// read it (little-endian).
uint16_t AsRead(uint16_t number) { return static_cast<uint16_t>((number >> 8) | (number << 8)); }

TEST(SysBlockTest, NumbersRunOverTheFittedDiesOfEachBlock) {
  unsigned char table[1024];
  FitDies(table, {{0, 0}, {0, 3}, {2, 1}}, 3);  // (CE0,CH0), (CE0,CH3), (CE2,CH1)
  struct Case {
    uint16_t number;
    int32_t blocks, found, block, lce, lch;  // found 0: the lookup succeeds
  };
  const Case cases[] = {{0, 1000, 0, 0, 0, 0},    {1, 1000, 0, 0, 0, 2},    {2, 1000, 0, 0, 1, 1},
                        {3, 1000, 0, 1, 0, 0},    {0x1FF, 1000, 0, 170, 0, 2}, {29, 10, 0, 9, 1, 1},
                        {30, 10, 1, 7, 7, 7},     {0, 0, 1, 7, 7, 7}};
  for (const Case& c : cases) {
    int32_t block = 7, lce = 7, lch = 7;
    EXPECT_EQ(c.found, GetSysBlkInfo(AsRead(c.number), &block, &lce, &lch, c.blocks)) << c.number;
    EXPECT_EQ(c.block * 10000 + c.lce * 100 + c.lch, block * 10000 + lce * 100 + lch) << c.number;
  }
  FitDies(table, {}, 0);  // no fitted die at all
  int32_t block, lce, lch;
  EXPECT_EQ(1, GetSysBlkInfo(0, &block, &lce, &lch, 1000));
}

// CheckCardMode on a virtual card at /dev/sdb (the test runs under the
// virtual card's preload library).
class CheckCardModeTest : public InTempDir {
 protected:
  void OpenCard(const std::vector<std::string>& options) {
    std::string card = dir_ + "/card" + std::to_string(cards_++);
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
  int cards_ = 0;
};

TEST_F(CheckCardModeTest, RunningFirmwareReadsTheParameterBlockBootRomLeavesTheRecord) {
  OpenCard({"--mode", "isp", "--dies", "4", "--planes", "2", "--sectors-per-page", "32", "--pages-per-block", "258",
            "--blocks", "1500"});
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
  gQel3300->CloseDevice();

  OpenCard({"--mode", "rom", "--dies", "2"});
  CardMode untouched;
  memset(&untouched, 0x5A, sizeof(untouched));
  g_CardMode = untouched;
  TotalDieCnt = 0;
  ASSERT_EQ(0, CheckCardMode()) << TakeOutput();
  EXPECT_EQ(2u, TotalDieCnt);
  EXPECT_EQ(0, memcmp(&untouched, &g_CardMode, sizeof(g_CardMode)));
}

TEST_F(CheckCardModeTest, FailingReadsAreReportedAndLeaveTheRecord) {
  for (const char* op : {"20", "0A"}) {
    OpenCard({"--fail-op", op});
    memset(&g_CardMode, 0x5A, sizeof(g_CardMode));
    EXPECT_EQ(1, CheckCardMode());
    EXPECT_EQ(op[0] == '2' ? "Read Flash ID Fail\n" : "Read Par Fail\n", TakeOutput());
    EXPECT_EQ(0x5A5A5A5A, g_CardMode.PlaneCount);
    gQel3300->CloseDevice();
  }
}

}  // namespace
