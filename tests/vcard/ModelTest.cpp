// The card model: vendor channel, programs, ISP copy layout, DOWNLOAD
// MICROCODE, transport answers and persistence.
#include <gtest/gtest.h>
#include <scsi/sg.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Card.h"
#include "FlashLayout.h"
#include "IspImage.h"
#include "VcardTestUtil.h"

using namespace vtest;

namespace {

constexpr uint32_t kShimBase = 0x40020000;
constexpr uint32_t kMpIspBase = 0x40040000;
constexpr uint32_t kIspBase = 0x80000000;

unsigned Be16(const std::vector<uint8_t>& t, size_t off) { return t[off] << 8 | t[off + 1]; }

std::vector<uint8_t> TestImage(const std::string& version, size_t size = 262144) {
  vcard::ImageContent content;
  content.size = size;
  content.version = version;
  content.serial = "SER-" + version;
  content.model = "MODEL " + version;
  content.capacity = 2097152;
  return vcard::BuildIspImage(content);
}

// Brings a card from its boot ROM to the MP-ISP loader with the pretest run.
void BootLoaders(VCard* card) {
  ASSERT_EQ(0, Load(card, kShimBase, vcard::BuildLoader("shim", 0x3000)));
  ASSERT_EQ(0, JumpCode(card, kShimBase + 0x410));
  ASSERT_EQ(0, Load(card, kMpIspBase, vcard::BuildLoader("mpisp", 0x18200)));
  ASSERT_EQ(0, Activate(card, kMpIspBase));
  ASSERT_EQ(0, RunPretest(card));
}

TEST(VcardChannel, UnlockAnswersIdentityAndTakesNextWriteAsBlock) {
  std::string dir;
  VCard* card = NewCard({"--chip-id", "QC3300X"}, &dir);
  ASSERT_NE(card, nullptr);
  std::vector<uint8_t> answer = Unlock(card);
  EXPECT_EQ(0, memcmp(answer.data() + 46, "QC3300X", 7));
  // The block is not user data: sector 0x946B of the sector file stays zero.
  vtest::Block block = MakeBlock(0xF0, 0x20);
  ASSERT_EQ(0, vcard_write(card, 0x946B, 1, block.data()));
  std::vector<uint8_t> table(1024);
  ASSERT_EQ(0, vcard_read(card, 0x946B, 2, table.data()));
  EXPECT_EQ(2, table[4]);
  std::vector<uint8_t> user(512, 0xEE);
  ASSERT_EQ(0, vcard_read(card, 0x946B, 1, user.data()));
  EXPECT_EQ(std::vector<uint8_t>(512, 0), user);
  EXPECT_NE(std::string::npos, ReadText(dir + "/journal.log").find("VENDOR F0 20 ReadFlashID"));
  vcard_close(card);
}

TEST(VcardChannel, ForeignAccessBreaksTheExchange) {
  VCard* card = NewCard({});
  ASSERT_NE(card, nullptr);
  std::vector<uint8_t> sector(512);
  // A read between the third and fourth unlock read: no answer at 0x946B.
  for (uint32_t lba : {0x0u, 0x6Bu, 0x6B00u, 0x500u, 0x94u, 0x9400u, 0x946Bu}) vcard_read(card, lba, 1, sector.data());
  EXPECT_NE(0, memcmp(sector.data() + 46, "QC3300", 6));
  // After a complete unlock, a foreign read makes the next 0x946B write user data.
  Unlock(card);
  vcard_read(card, 0x10, 1, sector.data());
  std::vector<uint8_t> data(512, 0x5A);
  ASSERT_EQ(0, vcard_write(card, 0x946B, 1, data.data()));
  std::vector<uint8_t> back(512);
  ASSERT_EQ(0, vcard_read(card, 0x946B, 1, back.data()));
  EXPECT_EQ(data, back);
  // An IDENTIFY between block and data phase drops the command's data.
  Unlock(card);
  vtest::Block block = MakeBlock(0xF0, 0x20);
  ASSERT_EQ(0, vcard_write(card, 0x946B, 1, block.data()));
  Identify(card);
  ASSERT_EQ(0, vcard_read(card, 0x946B, 1, back.data()));
  EXPECT_EQ(data, back);
  vcard_close(card);
}

TEST(VcardChannel, UnlockSectorsAreUserDataOutsideAnExchange) {
  VCard* card = NewCard({});
  ASSERT_NE(card, nullptr);
  std::vector<uint8_t> data(512, 0x77), back(512);
  for (uint32_t lba : {0x6Bu, 0x6B00u, 0x94u, 0x9400u}) {
    ASSERT_EQ(0, vcard_write(card, lba, 1, data.data()));
    ASSERT_EQ(0, vcard_read(card, lba, 1, back.data()));
    EXPECT_EQ(data, back);
  }
  vcard_close(card);
}

TEST(VcardPrograms, InitialChainReachesNewFirmware) {
  VCard* card = NewCard({"--mode", "rom"});
  ASSERT_NE(card, nullptr);
  EXPECT_EQ(0, ReadFlashId(card)[4]);
  // A plain reset with blank flash stays in the boot ROM.
  ASSERT_EQ(0, ResetCpu(card, false));
  EXPECT_EQ(0, ReadFlashId(card)[4]);
  // Out of order: the MP-ISP loader cannot start from the boot ROM.
  ASSERT_EQ(0, Load(card, kMpIspBase, vcard::BuildLoader("mpisp", 1024)));
  EXPECT_EQ(-6, Activate(card, kMpIspBase));
  BootLoaders(card);
  std::vector<uint8_t> table = ReadFlashId(card);
  EXPECT_EQ(1, table[4]);
  EXPECT_EQ(0, table[1]);
  std::vector<uint8_t> image = TestImage("Q7000A07");
  ASSERT_EQ(0, Load(card, kIspBase, image));
  ASSERT_EQ(0, Activate(card, kIspBase));
  EXPECT_EQ(1, ReadFlashId(card)[4]);  // runs after the reset
  ASSERT_EQ(0, ResetCpu(card, false));
  table = ReadFlashId(card);
  EXPECT_EQ(2, table[4]);
  EXPECT_EQ(0x80, table[9] & 0x80);
  std::vector<uint8_t> id = Identify(card);
  EXPECT_EQ("SER-Q7000A07", vcard::GetAtaString(id.data() + 20, 20));
  EXPECT_EQ("Q7000A07", vcard::GetAtaString(id.data() + 46, 8));
  // From the firmware a plain reset stays in it; the forced one reaches ROM.
  ASSERT_EQ(0, ResetCpu(card, false));
  EXPECT_EQ(2, ReadFlashId(card)[4]);
  ASSERT_EQ(0, ResetCpu(card, true));
  EXPECT_EQ(0, ReadFlashId(card)[4]);
  vcard_close(card);
}

TEST(VcardPrograms, StartsRefusedOutsideTheirProgram) {
  VCard* card = NewCard({"--flash-type", "B0KB"});  // ISP firmware running, takes whole images
  ASSERT_NE(card, nullptr);
  ASSERT_EQ(0, Load(card, kShimBase, vcard::BuildLoader("shim", 0x3000)));
  EXPECT_EQ(-7, JumpCode(card, kShimBase + 0x410));
  EXPECT_EQ(-6, RunPretest(card));
  EXPECT_EQ(-6, Activate(card, kIspBase));  // nothing loaded
  std::vector<uint8_t> image = TestImage("Q7000A07");
  image[0x1000] ^= 1;  // section 5 digest no longer matches
  ASSERT_EQ(0, Load(card, kIspBase, image));
  EXPECT_EQ(-6, Activate(card, kIspBase));
  EXPECT_EQ(2, ReadFlashId(card)[4]);
  vcard_close(card);
}

TEST(VcardPrograms, FirmwareTakesStrippedImagesOnL06BAndWholeOnB0KB) {
  for (const char* type : {"L06B", "B0KB"}) {
    VCard* card = NewCard({"--flash-type", type});
    ASSERT_NE(card, nullptr);
    std::vector<uint8_t> image = TestImage("Q8000B08");
    std::vector<uint8_t> sent = image;
    if (std::string(type) == "L06B") {
      sent.assign(image.begin() + 0x410, image.begin() + 0x810);
      sent.insert(sent.end(), image.begin() + 0x820, image.end());
    }
    ASSERT_EQ(0, Load(card, kIspBase, sent));
    ASSERT_EQ(0, Activate(card, kIspBase)) << type;
    ASSERT_EQ(0, ResetCpu(card, false));
    EXPECT_EQ("Q8000B08", vcard::GetAtaString(Identify(card).data() + 46, 8)) << type;
    vcard_close(card);
  }
}

// The ISP copies read back with the dump's rule (system block lookup through
// the flash ID table, geometry from the parameter page, page 0 then planes
// interleaved) give back the programmed image.
struct GeometryCase {
  int dies, planes, sectorsPerPage, pagesPerBlock;
};

class VcardIspLayout : public ::testing::TestWithParam<GeometryCase> {};

TEST_P(VcardIspLayout, DumpRuleRebuildsTheImage) {
  GeometryCase g = GetParam();
  std::vector<std::string> options = {"--dies", std::to_string(g.dies), "--planes", std::to_string(g.planes),
                                      "--sectors-per-page", std::to_string(g.sectorsPerPage), "--pages-per-block",
                                      std::to_string(g.pagesPerBlock), "--blocks", "8", "--serial", "LAYOUT",
                                      "--model", "LAYOUT MODEL", "--fwrev", "Q1234567"};
  VCard* card = NewCard(options);
  ASSERT_NE(card, nullptr);
  std::vector<uint8_t> table = ReadFlashId(card);
  // Fitted dies: slots equal to slot (0,0); numbers are CE-major ranks.
  std::vector<std::pair<int, int>> fitted;
  for (int ce = 0; ce < 8; ++ce) {
    for (int ch = 0; ch < 4; ++ch) {
      if (memcmp(&table[48 + 32 * ce + 8 * ch], &table[48], 8) == 0) fitted.emplace_back(ce, ch);
    }
  }
  ASSERT_EQ(static_cast<size_t>(g.dies), fitted.size());
  ASSERT_EQ(g.dies, table[639]);
  auto place = [&](unsigned number, int* block, int* die) {
    *block = static_cast<int>(number / fitted.size());
    auto f = fitted[number % fitted.size()];
    *die = f.first << 3 | f.second;
  };
  int block, die;
  place(Be16(table, 560), &block, &die);
  std::vector<uint8_t> par;
  ASSERT_EQ(0, ReadFlashPhy(card, block, 2, 0x11, die, 14, &par));
  ASSERT_EQ(0, memcmp(par.data(), "QC3300PARA", 10));
  int planes = (par[29] >> 5) + 1;
  int spp = (par[27] & 1) ? 8 : (par[27] & 2) ? 16 : (par[27] & 4) ? 32 : 64;
  int ppb = (par[27] & 0x10) ? 128 : (par[27] & 0x20) ? 256 : (par[27] & 0x40) ? 192 : (par[27] & 0x80) ? 258
            : (par[31] & 0x80) ? 512 : 64;
  EXPECT_EQ(g.planes, planes);
  EXPECT_EQ(g.sectorsPerPage, spp);
  EXPECT_EQ(g.pagesPerBlock, ppb);

  vcard::ImageContent content;
  content.version = "Q1234567";
  content.serial = "LAYOUT";
  content.model = "LAYOUT MODEL";
  content.capacity = 2097152;
  std::vector<uint8_t> image = vcard::BuildIspImage(content);
  for (unsigned copyField : {564u, 566u}) {
    place(Be16(table, copyField), &block, &die);
    std::vector<uint8_t> dump(image.begin(), image.begin() + 0x400 + 16);
    std::vector<uint8_t> page;
    for (int p = 0; p < ppb && dump.size() < image.size(); ++p) {
      for (int i = 0; i < (p == 0 ? 1 : planes) && dump.size() < image.size(); ++i) {
        ASSERT_EQ(0, ReadFlashPhy(card, block, p, 0x15 | i << 6, die, spp + 1, &page));
        if (p == 0) {
          dump.insert(dump.end(), page.begin(), page.begin() + 1024);
          dump.insert(dump.end(), image.begin() + 0x810, image.begin() + 0x818);
          dump.insert(dump.end(), page.begin() + 8, page.begin() + 16);
        } else {
          size_t n = std::min<size_t>(spp * 512, image.size() - dump.size());
          dump.insert(dump.end(), page.begin(), page.begin() + n);
        }
      }
    }
    EXPECT_TRUE(dump == image) << "copy at " << copyField;
  }
  vcard_close(card);
}

INSTANTIATE_TEST_SUITE_P(Geometries, VcardIspLayout,
                         ::testing::Values(GeometryCase{1, 1, 8, 512}, GeometryCase{2, 2, 16, 128},
                                           GeometryCase{5, 4, 64, 64}, GeometryCase{8, 2, 32, 258},
                                           GeometryCase{3, 4, 8, 192}, GeometryCase{4, 1, 64, 256}),
                         [](const ::testing::TestParamInfo<GeometryCase>& info) {
                           const GeometryCase& g = info.param;
                           return "dies" + std::to_string(g.dies) + "_planes" + std::to_string(g.planes) + "_spp" +
                                  std::to_string(g.sectorsPerPage) + "_ppb" + std::to_string(g.pagesPerBlock);
                         });

TEST(VcardIspLayout, ImageTooLargeForTheBlockIsRefused) {
  VCard* card = NewCard({"--mode", "rom", "--planes", "1", "--sectors-per-page", "8", "--pages-per-block", "64"});
  ASSERT_NE(card, nullptr);
  BootLoaders(card);
  ASSERT_EQ(0, Load(card, kIspBase, TestImage("Q1", 262144)));
  EXPECT_EQ(-6, Activate(card, kIspBase));
  vcard_close(card);
}

TEST(VcardTransport, AtaSenseAndSectorCommands) {
  VCard* card = NewCard({});
  ASSERT_NE(card, nullptr);
  std::vector<uint8_t> data(1024, 0x3C), back(1024);
  SgResult w = Ata(card, 0x30, 0, 2, 0x1234, 2, data.data(), 1024);
  ASSERT_EQ(0, w.ret);
  // Success with CK_COND: descriptor sense with the ATA Status Return.
  EXPECT_EQ(0x02, w.status);
  EXPECT_EQ(0x72, w.sense[0]);
  EXPECT_EQ(0x0E, w.sense[7]);
  EXPECT_EQ(0x09, w.sense[8]);
  EXPECT_EQ(0x0C, w.sense[9]);
  EXPECT_EQ(0, w.ataError());
  EXPECT_EQ(0x50, w.ataStatus());
  SgResult r = Ata(card, 0x20, 0, 2, 0x1234, 1, back.data(), 1024, false);
  EXPECT_EQ(0, r.status);  // no CK_COND: GOOD, no sense
  EXPECT_EQ(0, r.senseLen);
  EXPECT_EQ(data, back);
  // READ(10) reaches the same sectors.
  std::fill(back.begin(), back.end(), 0);
  Scsi(card, {0x28, 0, 0, 0, 0x12, 0x34, 0, 0, 2, 0, 0, 0}, back.data(), 1024, SG_DXFER_FROM_DEV);
  EXPECT_EQ(data, back);
  // Beyond the capacity: ERR with IDNF; an unknown command: ABRT.
  SgResult far = Ata(card, 0x20, 0, 1, 0x0FFFFFFF, 1, back.data(), 512);
  EXPECT_EQ(0x51, far.ataStatus());
  EXPECT_EQ(0x10, far.ataError());
  SgResult unknown = Ata(card, 0x77, 0, 0, 0, 0, nullptr, 0);
  EXPECT_EQ(0x04, unknown.ataError());
  EXPECT_EQ(0x0B, unknown.sense[1]);
  vcard_close(card);
}

TEST(VcardTransport, ScsiAttachRefusesAtaPassThrough) {
  VCard* card = NewCard({"--attach", "scsi"});
  ASSERT_NE(card, nullptr);
  std::vector<uint8_t> inq(96), id(512);
  Scsi(card, {0x12, 0, 0, 0, 96, 0}, inq.data(), 96, SG_DXFER_FROM_DEV);
  EXPECT_EQ(0, memcmp(&inq[8], "QEL     ", 8));
  SgResult r = Ata(card, 0xEC, 0, 1, 0, 1, id.data(), 512);
  EXPECT_EQ(0x02, r.status);
  EXPECT_EQ(0x70, r.sense[0]);
  EXPECT_EQ(0x05, r.sense[2]);
  EXPECT_EQ(0x20, r.sense[12]);
  // The vendor channel works over READ(10)/WRITE(10) all the same.
  EXPECT_EQ(2, ReadFlashId(card)[4]);
  vcard_close(card);
}

TEST(VcardTransport, AtaInquiryAndIdentify) {
  VCard* card = NewCard({"--serial", "S123", "--model", "MODEL X", "--fwrev", "FW000001"});
  ASSERT_NE(card, nullptr);
  std::vector<uint8_t> inq(56);
  Scsi(card, {0x12, 0, 0, 0, 0x38, 0, 0, 0, 0, 0, 0, 0}, inq.data(), 56, SG_DXFER_FROM_DEV);
  EXPECT_EQ(0, memcmp(&inq[8], "ATA", 3));
  std::vector<uint8_t> id = Identify(card);
  EXPECT_EQ("S123", vcard::GetAtaString(&id[20], 20));
  EXPECT_EQ("MODEL X", vcard::GetAtaString(&id[54], 40));
  EXPECT_EQ(1, Word(id, 83) & 1);
  EXPECT_EQ(1, Word(id, 86) & 1);
  EXPECT_EQ(0x10, Word(id, 119) & 0x10);
  EXPECT_EQ(0x100, Word(id, 69) & 0x100);
  uint8_t sum = 0;
  for (uint8_t b : id) sum = static_cast<uint8_t>(sum + b);
  EXPECT_EQ(0, sum);
  EXPECT_EQ(0xA5, id[510]);
  std::vector<uint8_t> config;
  ASSERT_EQ(0, VendorRead(card, MakeBlock(0xF0, 0x3F), 1, &config));
  EXPECT_EQ(id, config);
  vcard_close(card);
}

class VcardMicrocode : public ::testing::Test {
 protected:
  void SetUp() override {
    card_ = NewCard({}, &dir_);
    ASSERT_NE(card_, nullptr);
    image_ = TestImage("Q9000Z09");
  }
  void TearDown() override { vcard_close(card_); }
  std::string Firmware() { return vcard::GetAtaString(Identify(card_).data() + 46, 8); }
  VCard* card_ = nullptr;
  std::string dir_;
  std::vector<uint8_t> image_;  // 512 blocks
};

TEST_F(VcardMicrocode, Mode3AnswersMoreThenApplied) {
  for (uint16_t off = 0; off < 512; off += 128) {
    SgResult r = Download(card_, 0x03, 128, off, image_.data() + off * 512);
    EXPECT_EQ(0, r.ataError());
    EXPECT_EQ(off + 128 < 512 ? 1 : 2, r.ataCount()) << off;
    if (off == 0) {
      EXPECT_EQ("Q1117A00", Firmware());
    }
  }
  EXPECT_EQ("Q9000Z09", Firmware());
  EXPECT_EQ("SER-Q9000Z09", vcard::GetAtaString(Identify(card_).data() + 20, 20));
}

TEST_F(VcardMicrocode, ModeEWaitsForActivation) {
  for (uint16_t off = 0; off < 512; off += 128) {
    SgResult r = Download(card_, 0x0E, 128, off, image_.data() + off * 512);
    EXPECT_EQ(off + 128 < 512 ? 1 : 3, r.ataCount());
  }
  EXPECT_EQ("Q1117A00", Firmware());
  SgResult act = Download(card_, 0x0F, 0, 0, nullptr);
  EXPECT_EQ(0, act.ataError());
  EXPECT_EQ(2, act.ataCount());
  EXPECT_EQ("Q9000Z09", Firmware());
  EXPECT_EQ(0x04, Download(card_, 0x0F, 0, 0, nullptr).ataError());  // nothing saved any more
}

TEST_F(VcardMicrocode, SavedMicrocodeActivatesAtNextPowerOn) {
  for (uint16_t off = 0; off < 512; off += 128) Download(card_, 0x0E, 128, off, image_.data() + off * 512);
  VCard* again = vcard_open(dir_.c_str(), nullptr, 0);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ("Q9000Z09", vcard::GetAtaString(Identify(again).data() + 46, 8));
  vcard_close(again);
}

TEST_F(VcardMicrocode, Mode7AndRawLayout) {
  SgResult r = Download(card_, 0x07, 512, 0, image_.data());
  EXPECT_EQ(0, r.ataError());
  EXPECT_EQ("Q9000Z09", Firmware());
  // The older raw layout: section-4 body, 512 KiB of section 5, zeros, trailer.
  std::vector<uint8_t> big = TestImage("Q0925A00", 0x90000), raw(0xC0400, 0);
  memcpy(&raw[0], &big[0x410], 0x400);
  memcpy(&raw[0x400], &big[0x820], 0x80000);
  memcpy(&raw[0xC03F0], &big[0x80810], 16);
  r = Download(card_, 0x07, 0xC0400 / 512, 0, raw.data());
  EXPECT_EQ(0, r.ataError());
  EXPECT_EQ("Q0925A00", Firmware());
  raw[0xC03F0] ^= 1;  // broken trailer
  EXPECT_EQ(0x04, Download(card_, 0x07, 0xC0400 / 512, 0, raw.data()).ataError());
}

TEST_F(VcardMicrocode, RefusesBadSegmentsAndKeepsFirmware) {
  EXPECT_EQ(0x04, Download(card_, 0x03, 129, 0, image_.data()).ataError());  // above word 235
  EXPECT_EQ(0x04, Download(card_, 0x03, 128, 128, image_.data()).ataError());  // out of order
  EXPECT_EQ(0x04, Download(card_, 0x05, 1, 0, image_.data()).ataError());
  std::vector<uint8_t> bad = image_;
  bad[0x2000] ^= 1;
  EXPECT_EQ(0x04, Download(card_, 0x07, 512, 0, bad.data()).ataError());
  EXPECT_EQ("Q1117A00", Firmware());
  // Without CK_COND a successful command answers GOOD and no registers.
  SgResult r = Download(card_, 0x03, 128, 0, image_.data(), false, false);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(0, r.senseLen);
}

TEST_F(VcardMicrocode, OnlyTheFirmwareServesIt) {
  ASSERT_EQ(0, ResetCpu(card_, true));
  EXPECT_EQ(0x04, Download(card_, 0x07, 512, 0, image_.data()).ataError());
}

TEST(VcardPersistence, StateSurvivesTheProcess) {
  std::string dir;
  VCard* card = NewCard({}, &dir);
  ASSERT_NE(card, nullptr);
  vcard_close(card);
  pid_t pid = fork();
  if (pid == 0) {
    VCard* child = vcard_open(dir.c_str(), nullptr, 0);
    std::vector<uint8_t> data(512, 0xAB);
    bool ok = child && ResetCpu(child, true) == 0 && vcard_write(child, 100, 1, data.data()) == 0;
    _exit(ok ? 0 : 1);  // never closed, like the tool
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_EQ(0, WEXITSTATUS(status));
  card = vcard_open(dir.c_str(), nullptr, 0);
  ASSERT_NE(card, nullptr);
  EXPECT_EQ(0, ReadFlashId(card)[4]);
  std::vector<uint8_t> back(512);
  vcard_read(card, 100, 1, back.data());
  EXPECT_EQ(std::vector<uint8_t>(512, 0xAB), back);
  EXPECT_NE(std::string::npos, ReadText(dir + "/journal.log").find("VENDOR F0 2C ResetCPU rom=1"));
  vcard_close(card);
}

}  // namespace
