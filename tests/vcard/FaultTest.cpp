// Every fault switch of the card, and "set" changing them on a card.
#include <gtest/gtest.h>
#include <scsi/sg.h>
#include <string.h>

#include "Card.h"
#include "IspImage.h"
#include "VcardTestUtil.h"

using namespace vtest;

namespace {

constexpr uint32_t kShimBase = 0x40020000;
constexpr uint32_t kMpIspBase = 0x40040000;
constexpr uint32_t kIspBase = 0x80000000;

std::vector<uint8_t> Image(const std::string& version) {
  vcard::ImageContent content;
  content.version = version;
  content.serial = "FAULT";
  content.model = "FAULT MODEL";
  content.capacity = 2097152;
  return vcard::BuildIspImage(content);
}

TEST(VcardFaults, FailCmdFailsTheNthCommandEachWay) {
  std::vector<uint8_t> buf(1024);
  {
    VCard* card = NewCard({"--fail-cmd", "2"});
    ASSERT_NE(card, nullptr);
    EXPECT_EQ(0, Ata(card, 0x20, 0, 1, 5, 1, buf.data(), 512).ataError());
    SgResult second = Ata(card, 0x20, 0, 1, 5, 1, buf.data(), 512);
    EXPECT_EQ(0x72, second.sense[0]);
    EXPECT_EQ(0x04, second.ataError());
    EXPECT_EQ(0x51, second.ataStatus());
    EXPECT_EQ(0, Ata(card, 0x20, 0, 1, 5, 1, buf.data(), 512).ataError());
    vcard_close(card);
  }
  {
    VCard* card = NewCard({"--fail-cmd", "1", "--fail-how", "garbage"});
    ASSERT_NE(card, nullptr);
    SgResult r = Ata(card, 0xEC, 0, 1, 0, 1, buf.data(), 512);
    EXPECT_EQ(0x02, r.status);
    EXPECT_NE(0x72, r.sense[0]);
    EXPECT_NE(0x70, r.sense[0] & 0x7E);
    vcard_close(card);
  }
  {
    VCard* card = NewCard({"--fail-cmd", "1", "--fail-how", "short"});
    ASSERT_NE(card, nullptr);
    std::vector<uint8_t> sectors(1024, 0xCC);
    SgResult r = Ata(card, 0x20, 0, 2, 5, 1, sectors.data(), 1024);
    EXPECT_EQ(512, r.resid);
    EXPECT_EQ(0, sectors[0]);      // first sector transferred
    EXPECT_EQ(0xCC, sectors[512]);  // the rest never arrived
    vcard_close(card);
  }
}

TEST(VcardFaults, FailOpRefusesTheCommandBlock) {
  std::string dir;
  VCard* card = NewCard({"--fail-op", "20"}, &dir);
  ASSERT_NE(card, nullptr);
  std::vector<uint8_t> table;
  EXPECT_EQ(-6, VendorRead(card, MakeBlock(0xF0, 0x20), 2, &table));
  EXPECT_EQ(0, VendorRead(card, MakeBlock(0xF0, 0x04), 14, &table));
  EXPECT_NE(std::string::npos, ReadText(dir + "/journal.log").find("refused: --fail-op"));
  vcard_close(card);
}

TEST(VcardFaults, BrokenLoadersStartWithTheWrongProgram) {
  VCard* card = NewCard({"--mode", "rom", "--shim-broken"});
  ASSERT_NE(card, nullptr);
  ASSERT_EQ(0, Load(card, kShimBase, vcard::BuildLoader("shim", 0x3000)));
  EXPECT_EQ(0, JumpCode(card, kShimBase + 0x410));
  EXPECT_EQ(0, ReadFlashId(card)[4]);
  vcard_close(card);

  card = NewCard({"--mode", "shim", "--mpisp-broken"});
  ASSERT_NE(card, nullptr);
  ASSERT_EQ(0, Load(card, kMpIspBase, vcard::BuildLoader("mpisp", 0x1000)));
  EXPECT_EQ(0, Activate(card, kMpIspBase));
  EXPECT_EQ(3, ReadFlashId(card)[4]);
  vcard_close(card);
}

TEST(VcardFaults, PretestCodeIsReportedAndBlocksTheIspWrite) {
  VCard* card = NewCard({"--mode", "mpisp", "--pretest-code", "37"});
  ASSERT_NE(card, nullptr);
  EXPECT_EQ(0, ReadFlashId(card)[1]);  // not run yet
  ASSERT_EQ(0, RunPretest(card));
  std::vector<uint8_t> table = ReadFlashId(card);
  EXPECT_EQ(1, table[4]);
  EXPECT_EQ(37, table[1]);
  ASSERT_EQ(0, Load(card, kIspBase, Image("Q1")));
  EXPECT_EQ(-6, Activate(card, kIspBase));
  vcard_close(card);
}

TEST(VcardFaults, NeverReadyFirmwareKeepsTheReadyBitClear) {
  VCard* card = NewCard({"--never-ready"});
  ASSERT_NE(card, nullptr);
  ASSERT_EQ(0, ResetCpu(card, false));
  std::vector<uint8_t> table = ReadFlashId(card);
  EXPECT_EQ(2, table[4]);
  EXPECT_EQ(0, table[9] & 0x80);
  vcard_close(card);
}

// The read-back of copy 2 differs from copy 1 in the image's last byte only,
// also after a stripped write (stored in whole sectors).
TEST(VcardFaults, CopiesDifferInTheirLastByte) {
  std::string dir;
  VCard* card = NewCard({"--dies", "2", "--planes", "2", "--sectors-per-page", "16"}, &dir);
  ASSERT_NE(card, nullptr);
  std::vector<uint8_t> image = Image("Q4"), stripped(image.size() - 1056);
  memcpy(stripped.data(), &image[0x410], 1024);
  memcpy(stripped.data() + 1024, &image[0x820], image.size() - 0x820);
  ASSERT_EQ(0, Load(card, kIspBase, stripped));
  ASSERT_EQ(0, Activate(card, kIspBase));
  std::string err;
  ASSERT_EQ(0, vcard::UpdateCard(dir, {"--copies-differ"}, &err));
  ASSERT_EQ(0, vcard_refresh(card));
  std::vector<uint8_t> table = ReadFlashId(card);
  unsigned copy1 = table[564] << 8 | table[565], copy2 = table[566] << 8 | table[567];
  // Image byte x >= 0x820 is copy byte x - 1056; page 1 on holds 8 KiB plane pages.
  size_t c = image.size() - 1 - 1056 - 1024, pageBytes = 16 * 512;
  int page = static_cast<int>(c / pageBytes / 2) + 1, plane = static_cast<int>(c / pageBytes % 2);
  std::vector<uint8_t> a, b;
  ASSERT_EQ(0, ReadFlashPhy(card, static_cast<int>(copy1 / 2), page, 0x15 | plane << 6, (copy1 % 2), 17, &a));
  ASSERT_EQ(0, ReadFlashPhy(card, static_cast<int>(copy2 / 2), page, 0x15 | plane << 6, (copy2 % 2), 17, &b));
  size_t differences = 0;
  for (size_t i = 0; i < a.size(); ++i) differences += a[i] != b[i];
  EXPECT_EQ(1u, differences);
  EXPECT_EQ(a[c % pageBytes], image.back());
  EXPECT_NE(b[c % pageBytes], image.back());
  vcard_close(card);
}

TEST(VcardFaults, IdentifyOverridesAndDmaRefusal) {
  VCard* card = NewCard({"--identify", "235=0", "--identify", "83=0x4000", "--no-dma", "--dm-codes", "7,1"});
  ASSERT_NE(card, nullptr);
  std::vector<uint8_t> id = Identify(card);
  EXPECT_EQ(0, Word(id, 235));
  EXPECT_EQ(0x4000, Word(id, 83));
  EXPECT_EQ(0, Word(id, 69) & 0x100);
  uint8_t sum = 0;
  for (uint8_t b : id) sum = static_cast<uint8_t>(sum + b);
  EXPECT_EQ(0, sum);
  std::vector<uint8_t> image = Image("Q2");
  EXPECT_EQ(0x04, Download(card, 0x07, 512, 0, image.data(), true).ataError());
  // Completion codes come from --dm-codes while it lasts.
  EXPECT_EQ(7, Download(card, 0x07, 512, 0, image.data()).ataCount());
  EXPECT_EQ(1, Download(card, 0x07, 512, 0, image.data()).ataCount());
  EXPECT_EQ(2, Download(card, 0x07, 512, 0, image.data()).ataCount());
  vcard_close(card);
}

TEST(VcardFaults, SectorZeroFaults) {
  VCard* card = NewCard({"--lba0-unreadable", "--lba0-unwritable"});
  ASSERT_NE(card, nullptr);
  std::vector<uint8_t> buf(512);
  SgResult r = Ata(card, 0x20, 0, 1, 0, 1, buf.data(), 512);
  EXPECT_EQ(0x40, r.ataError());
  EXPECT_EQ(0x03, r.sense[1]);  // MEDIUM ERROR
  EXPECT_EQ(0x04, Ata(card, 0x30, 0, 1, 0, 2, buf.data(), 512).ataError());
  EXPECT_EQ(0, Ata(card, 0x20, 0, 1, 1, 1, buf.data(), 512).ataError());
  // The unlock still counts its failed first read.
  std::vector<uint8_t> answer = Unlock(card);
  EXPECT_EQ(0, memcmp(answer.data() + 46, "QC3300", 6));
  vcard_close(card);
}

TEST(VcardFaults, FixedSenseForSuccessfulCkCond) {
  VCard* card = NewCard({"--fixed-sense"});
  ASSERT_NE(card, nullptr);
  std::vector<uint8_t> image = Image("Q3");
  SgResult r = Download(card, 0x03, 128, 0, image.data());
  EXPECT_EQ(0x70, r.sense[0]);
  EXPECT_EQ(0x01, r.sense[2]);
  EXPECT_EQ(0x50, r.sense[4]);
  EXPECT_EQ(1, r.sense[6]);
  EXPECT_EQ(0x1D, r.sense[13]);
  vcard_close(card);
}

TEST(VcardFaults, SetChangesIdentityEverywhereAndClearsFaults) {
  std::string dir;
  VCard* card = NewCard({"--fail-op", "20", "--never-ready"}, &dir);
  ASSERT_NE(card, nullptr);
  std::string err;
  EXPECT_EQ(2, vcard::UpdateCard(dir, {"--planes", "3"}, &err));
  EXPECT_EQ(0, vcard::UpdateCard(dir, {"--clear-faults", "--serial", "NEWSER", "--fwrev", "Q5555555"}, &err)) << err;
  ASSERT_EQ(0, vcard_refresh(card));
  EXPECT_EQ("NEWSER", vcard::GetAtaString(Identify(card).data() + 20, 20));
  std::vector<uint8_t> table = ReadFlashId(card);  // no longer refused
  ASSERT_EQ(1024u, table.size());
  // The copies carry the new identity too, so a reboot keeps it.
  ASSERT_EQ(0, ResetCpu(card, false));
  std::vector<uint8_t> id = Identify(card);
  EXPECT_EQ("NEWSER", vcard::GetAtaString(id.data() + 20, 20));
  EXPECT_EQ("Q5555555", vcard::GetAtaString(id.data() + 46, 8));
  EXPECT_EQ(0x80, ReadFlashId(card)[9] & 0x80);
  vcard_close(card);
}

}  // namespace
