// The card model: vendor channel, programs, ISP copy layout, DOWNLOAD
// MICROCODE, transport answers, fault switches and persistence.
#include <gtest/gtest.h>
#include <scsi/sg.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "Card.h"
#include "IspImage.h"
#include "VcardTestUtil.h"

using namespace vtest;

namespace {

constexpr uint32_t kShimBase = 0x40020000, kMpIspBase = 0x40040000, kIspBase = 0x80000000;

std::vector<uint8_t> TestImage(const std::string& version, size_t size = 262144) {
  vcard::ImageContent content;
  content.size = size;
  content.version = version;
  content.serial = "SER-" + version;
  content.model = "MODEL " + version;
  content.capacity = 2097152;
  return vcard::BuildIspImage(content);
}

std::vector<uint8_t> Stripped(const std::vector<uint8_t>& image) {
  std::vector<uint8_t> sent(image.begin() + 0x410, image.begin() + 0x810);
  sent.insert(sent.end(), image.begin() + 0x820, image.end());
  return sent;
}

// Brings a card from its boot ROM to the MP-ISP loader with the pretest run.
void BootLoaders(VCard* card) {
  ASSERT_EQ(0, Load(card, kShimBase, vcard::BuildLoader("shim", 0x3000)));
  ASSERT_EQ(0, JumpCode(card, kShimBase + 0x410));
  ASSERT_EQ(0, Load(card, kMpIspBase, vcard::BuildLoader("mpisp", 0x18200)));
  ASSERT_EQ(0, Activate(card, kMpIspBase));
  ASSERT_EQ(0, RunPretest(card));
}

// Reads the ISP copy named at table offset `field` back with the dump's rule
// (system block through the flash ID table, geometry from the parameter page,
// page 0 then planes interleaved); the header comes from `image`.
struct Geometry {
  int planes = 0, spp = 0, ppb = 0;
};
std::vector<uint8_t> DumpCopy(VCard* card, const std::vector<uint8_t>& image, unsigned field, Geometry* g) {
  std::vector<uint8_t> table = ReadFlashId(card), par, page;
  std::vector<std::pair<int, int>> fitted;  // slots equal to slot (0,0), CE-major
  for (int ce = 0; ce < 8; ++ce) {
    for (int ch = 0; ch < 4; ++ch) {
      if (memcmp(&table[48 + 32 * ce + 8 * ch], &table[48], 8) == 0) fitted.emplace_back(ce, ch);
    }
  }
  EXPECT_EQ(fitted.size(), table[639]);
  auto place = [&](unsigned off, int* block, int* die) {
    unsigned number = table[off] << 8 | table[off + 1];
    *block = static_cast<int>(number / fitted.size());
    *die = fitted[number % fitted.size()].first << 3 | fitted[number % fitted.size()].second;
  };
  int block, die;
  place(560, &block, &die);
  if (ReadFlashPhy(card, block, 2, 0x11, die, 14, &par) != 0 || memcmp(par.data(), "QC3300PARA", 10) != 0) return {};
  g->planes = (par[29] >> 5) + 1;
  g->spp = (par[27] & 1) ? 8 : (par[27] & 2) ? 16 : (par[27] & 4) ? 32 : 64;
  g->ppb = (par[27] & 0x10) ? 128 : (par[27] & 0x20) ? 256 : (par[27] & 0x40) ? 192 : (par[27] & 0x80) ? 258
           : (par[31] & 0x80) ? 512 : 64;
  place(field, &block, &die);
  std::vector<uint8_t> dump(image.begin(), image.begin() + 0x410);
  for (int p = 0; p < g->ppb && dump.size() < image.size(); ++p) {
    for (int i = 0; i < (p == 0 ? 1 : g->planes) && dump.size() < image.size(); ++i) {
      if (ReadFlashPhy(card, block, p, 0x15 | i << 6, die, g->spp + 1, &page) != 0) return {};
      if (p == 0) {
        dump.insert(dump.end(), page.begin(), page.begin() + 1024);
        dump.insert(dump.end(), image.begin() + 0x810, image.begin() + 0x818);
        dump.insert(dump.end(), page.begin() + 8, page.begin() + 16);
      } else {
        dump.insert(dump.end(), page.begin(), page.begin() + std::min<size_t>(g->spp * 512, image.size() - dump.size()));
      }
    }
  }
  return dump;
}

TEST(VcardChannel, UnlockAnswersAndBrokenExchangesFallBackToUserData) {
  std::string dir;
  VCard* card = NewCard({"--chip-id", "QC3300X"}, &dir);
  ASSERT_NE(card, nullptr);
  EXPECT_EQ(0, memcmp(Unlock(card).data() + 46, "QC3300X", 7));
  // The block is not user data: sector 0x946B of the sector file stays zero.
  Block block = MakeBlock(0xF0, 0x20);
  std::vector<uint8_t> table(1024), back(512, 0xEE), data(512, 0x5A), sector(512);
  ASSERT_EQ(0, vcard_write(card, 0x946B, 1, block.data()));
  ASSERT_EQ(0, vcard_read(card, 0x946B, 2, table.data()));
  EXPECT_EQ(2, table[4]);
  ASSERT_EQ(0, vcard_read(card, 0x946B, 1, back.data()));
  EXPECT_EQ(std::vector<uint8_t>(512, 0), back);
  EXPECT_NE(std::string::npos, ReadText(dir + "/journal.log").find("VENDOR F0 20 ReadFlashID"));
  // A read inside the unlock sequence: no answer.
  for (uint32_t lba : {0x0u, 0x6Bu, 0x6B00u, 0x500u, 0x94u, 0x9400u, 0x946Bu}) vcard_read(card, lba, 1, sector.data());
  EXPECT_NE(0, memcmp(sector.data() + 46, "QC3300", 6));
  // A foreign read after the unlock makes the next 0x946B write user data.
  Unlock(card);
  vcard_read(card, 0x10, 1, sector.data());
  ASSERT_EQ(0, vcard_write(card, 0x946B, 1, data.data()));
  ASSERT_EQ(0, vcard_read(card, 0x946B, 1, back.data()));
  EXPECT_EQ(data, back);
  // An IDENTIFY between block and data phase drops the command's data.
  Unlock(card);
  ASSERT_EQ(0, vcard_write(card, 0x946B, 1, block.data()));
  Identify(card);
  ASSERT_EQ(0, vcard_read(card, 0x946B, 1, back.data()));
  EXPECT_EQ(data, back);
  vcard_close(card);
}

TEST(VcardPrograms, InitialChainReachesNewFirmwareAndResetsMoveBetweenPrograms) {
  VCard* card = NewCard({"--mode", "rom"});
  ASSERT_NE(card, nullptr);
  ASSERT_EQ(0, ResetCpu(card, false));  // blank flash: stays in the boot ROM
  EXPECT_EQ(0, ReadFlashId(card)[4]);
  ASSERT_EQ(0, Load(card, kMpIspBase, vcard::BuildLoader("mpisp", 1024)));
  EXPECT_EQ(-6, Activate(card, kMpIspBase));  // MP-ISP cannot start from the boot ROM
  BootLoaders(card);
  std::vector<uint8_t> table = ReadFlashId(card);
  EXPECT_EQ(1, table[4]);
  EXPECT_EQ(0, table[1]);
  ASSERT_EQ(0, Load(card, kIspBase, TestImage("Q7000A07")));
  ASSERT_EQ(0, Activate(card, kIspBase));
  EXPECT_EQ(1, ReadFlashId(card)[4]);  // runs after the reset
  ASSERT_EQ(0, ResetCpu(card, false));
  table = ReadFlashId(card);
  EXPECT_EQ(2, table[4]);
  EXPECT_EQ(0x80, table[9] & 0x80);
  EXPECT_EQ("SER-Q7000A07", vcard::GetAtaString(Identify(card).data() + 20, 20));
  EXPECT_EQ("Q7000A07", Firmware(card));
  ASSERT_EQ(0, ResetCpu(card, false));
  EXPECT_EQ(2, ReadFlashId(card)[4]);
  ASSERT_EQ(0, ResetCpu(card, true));
  EXPECT_EQ(0, ReadFlashId(card)[4]);
  vcard_close(card);
}

TEST(VcardPrograms, StartsRefusedOutsideTheirProgramAndImageFormPerFlashType) {
  VCard* card = NewCard({"--flash-type", "B0KB"});  // ISP firmware running
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
  for (const char* type : {"L06B", "B0KB"}) {  // stripped images on L06B, whole on B0KB
    card = NewCard({"--flash-type", type});
    ASSERT_NE(card, nullptr);
    image = TestImage("Q8000B08");
    ASSERT_EQ(0, Load(card, kIspBase, std::string(type) == "L06B" ? Stripped(image) : image));
    ASSERT_EQ(0, Activate(card, kIspBase)) << type;
    ASSERT_EQ(0, ResetCpu(card, false));
    EXPECT_EQ("Q8000B08", Firmware(card)) << type;
    vcard_close(card);
  }
}

TEST(VcardIspLayout, DumpRuleRebuildsBothCopiesForEachGeometry) {
  struct Case {
    int dies, planes, spp, ppb;
  };
  for (Case c : {Case{1, 1, 8, 512}, Case{2, 2, 16, 128}, Case{5, 4, 64, 64}, Case{8, 2, 32, 258},
                 Case{3, 4, 8, 192}, Case{4, 1, 64, 256}}) {
    SCOPED_TRACE(testing::Message() << c.dies << " dies " << c.planes << " planes " << c.spp << "x" << c.ppb);
    VCard* card = NewCard({"--dies", std::to_string(c.dies), "--planes", std::to_string(c.planes),
                           "--sectors-per-page", std::to_string(c.spp), "--pages-per-block", std::to_string(c.ppb),
                           "--blocks", "8", "--serial", "SER-Q1234567", "--model", "MODEL Q1234567", "--fwrev",
                           "Q1234567"});
    ASSERT_NE(card, nullptr);
    std::vector<uint8_t> image = TestImage("Q1234567");
    for (unsigned field : {564u, 566u}) {
      Geometry g;
      EXPECT_TRUE(DumpCopy(card, image, field, &g) == image) << "copy at " << field;
      EXPECT_EQ(c.planes, g.planes);
      EXPECT_EQ(c.spp, g.spp);
      EXPECT_EQ(c.ppb, g.ppb);
    }
    vcard_close(card);
  }
  // An image too large for the block is refused.
  VCard* card = NewCard({"--mode", "rom", "--planes", "1", "--sectors-per-page", "8", "--pages-per-block", "64"});
  ASSERT_NE(card, nullptr);
  BootLoaders(card);
  ASSERT_EQ(0, Load(card, kIspBase, TestImage("Q1")));
  EXPECT_EQ(-6, Activate(card, kIspBase));
  vcard_close(card);
}

TEST(VcardMicrocode, CompletionCodesPerMode) {
  struct Case {
    uint8_t sub;
    uint16_t segment;
    std::vector<int> codes;  // per segment, then for an activation (0x0F)
    const char* during;      // firmware after the first segment
  };
  const std::vector<uint8_t> image = TestImage("Q9000Z09");  // 512 blocks
  for (const Case& c : {Case{0x03, 128, {1, 1, 1, 2}, "Q1117A00"}, Case{0x0E, 128, {1, 1, 1, 3, 2}, "Q1117A00"},
                        Case{0x07, 512, {2}, "Q9000Z09"}}) {
    SCOPED_TRACE(int(c.sub));
    VCard* card = NewCard({});
    ASSERT_NE(card, nullptr);
    for (size_t i = 0; i < c.codes.size(); ++i) {
      uint16_t off = static_cast<uint16_t>(i * c.segment);
      SgResult r = off < 512 ? Download(card, c.sub, c.segment, off, image.data() + off * 512)
                             : Download(card, 0x0F, 0, 0, nullptr);
      EXPECT_EQ(0, r.ataError()) << i;
      EXPECT_EQ(c.codes[i], r.ataCount()) << i;
      if (i == 0) {
        EXPECT_EQ(c.during, Firmware(card));
      }
    }
    EXPECT_EQ("Q9000Z09", Firmware(card));
    EXPECT_EQ(0x04, Download(card, 0x0F, 0, 0, nullptr).ataError());  // nothing saved
    vcard_close(card);
  }
  std::string dir;  // saved microcode activates at the next power-on
  VCard* card = NewCard({}, &dir);
  ASSERT_NE(card, nullptr);
  for (uint16_t off = 0; off < 512; off += 128) Download(card, 0x0E, 128, off, image.data() + off * 512);
  vcard_close(card);
  card = vcard_open(dir.c_str(), nullptr, 0);
  ASSERT_NE(card, nullptr);
  EXPECT_EQ("Q9000Z09", Firmware(card));
  vcard_close(card);
}

// The card keeps its serial, model and WWN across every way microcode is
// applied (IDENTIFY, both copies, after a reboot); --dm-takes-identity gives
// it the image's instead. The firmware revision is always the image's.
TEST(VcardMicrocode, IdentityIsKeptUnlessTheImageTakesIt) {
  const std::vector<uint8_t> image = TestImage("Q9000Z09");
  struct Case {
    const char* name;
    std::vector<std::string> options;
    std::function<void(VCard*)> download;
    bool imageIdentity;
  };
  auto mode3 = [&](VCard* c) {
    for (uint16_t off = 0; off < 512; off += 128) Download(c, 0x03, 128, off, image.data() + off * 512);
  };
  auto mode7 = [&](VCard* c) { Download(c, 0x07, 512, 0, image.data(), true); };
  auto modeE = [&](VCard* c) {
    for (uint16_t off = 0; off < 512; off += 128) Download(c, 0x0E, 128, off, image.data() + off * 512);
    Download(c, 0x0F, 0, 0, nullptr);
  };
  const Case cases[] = {
      {"mode 3", {}, mode3, false},
      {"mode 7 DMA", {}, mode7, false},
      {"mode E", {}, modeE, false},
      {"mode 3, image takes identity", {"--dm-takes-identity"}, mode3, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string dir;
    VCard* card = NewCard(c.options, &dir);
    ASSERT_NE(card, nullptr);
    std::vector<uint8_t> before = Identify(card);
    std::string oldCopy = ReadText(dir + "/isp1.bin");
    c.download(card);
    EXPECT_EQ("Q9000Z09", Firmware(card));
    for (int reboot = 0; reboot < 2; ++reboot) {
      std::vector<uint8_t> id = Identify(card);
      std::string serial = vcard::GetAtaString(id.data() + 20, 20), model = vcard::GetAtaString(id.data() + 54, 40);
      EXPECT_EQ(c.imageIdentity ? "SER-Q9000Z09" : "VC3300000001", serial) << reboot;
      EXPECT_EQ(c.imageIdentity ? "MODEL Q9000Z09" : "QEL QC3300 Virtual SSD", model) << reboot;
      EXPECT_EQ(!c.imageIdentity, memcmp(&before[216], &id[216], 8) == 0) << "WWN " << reboot;
      uint8_t sum = 0;
      for (uint8_t b : id) sum = static_cast<uint8_t>(sum + b);
      EXPECT_EQ(0, sum);
      ASSERT_EQ(0, ResetCpu(card, false));
    }
    // Both copies carry what IDENTIFY shows, so a read-back agrees with it.
    std::string copy1 = ReadText(dir + "/isp1.bin");
    EXPECT_EQ(copy1, ReadText(dir + "/isp2.bin"));
    const std::string& source = c.imageIdentity ? std::string(reinterpret_cast<const char*>(image.data()) + 0x410, 0x400)
                                                : oldCopy;
    for (size_t offset : {vcard::kCopySerial, vcard::kCopyModel, vcard::kCopyWwn}) {
      EXPECT_EQ(source.substr(offset, 20), copy1.substr(offset, 20)) << offset;
    }
    EXPECT_EQ("Q9000Z09", copy1.substr(vcard::kCopyVersion, 8));
    vcard_close(card);
  }
}

TEST(VcardMicrocode, RefusalsKeepTheFirmware) {
  VCard* card = NewCard({});
  ASSERT_NE(card, nullptr);
  std::vector<uint8_t> image = TestImage("Q9000Z09"), bad = image;
  bad[0x2000] ^= 1;  // digest no longer matches
  EXPECT_EQ(0x04, Download(card, 0x03, 129, 0, image.data()).ataError());    // above word 235
  EXPECT_EQ(0x04, Download(card, 0x03, 128, 128, image.data()).ataError());  // out of order
  EXPECT_EQ(0x04, Download(card, 0x05, 1, 0, image.data()).ataError());
  EXPECT_EQ(0x04, Download(card, 0x07, 512, 0, bad.data()).ataError());
  EXPECT_EQ("Q1117A00", Firmware(card));
  SgResult r = Download(card, 0x03, 128, 0, image.data(), false, false);  // no CK_COND: GOOD, no sense
  EXPECT_EQ(0, r.status + r.senseLen);
  ASSERT_EQ(0, ResetCpu(card, true));  // only the firmware serves it
  EXPECT_EQ(0x04, Download(card, 0x07, 512, 0, image.data()).ataError());
  vcard_close(card);
}

// Runs body in a child process with the card handle it inherits; returns
// the signal that ended the child (0 when it exited).
int KilledBy(const std::function<void()>& body) {
  pid_t pid = fork();
  if (pid == 0) {
    body();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

// A VPD page of an INQUIRY through SG_IO.
std::vector<uint8_t> InquiryVpd(VCard* card, uint8_t page) {
  uint8_t cdb[6] = {0x12, 1, page, 0, 255, 0};
  std::vector<uint8_t> data(255);
  sg_io_hdr_t h{};
  uint8_t sense[32];
  h.interface_id = 'S';
  h.dxfer_direction = SG_DXFER_FROM_DEV;
  h.cmd_len = 6;
  h.cmdp = cdb;
  h.dxfer_len = 255;
  h.dxferp = data.data();
  h.mx_sb_len = sizeof(sense);
  h.sbp = sense;
  if (vcard_sg_io(card, &h) != 0 || h.status != 0) return {};
  data.resize(255 - h.resid);
  return data;
}

TEST(VcardFaults, EachSwitch) {
  struct Case {
    std::vector<std::string> options;
    std::function<void(VCard*, const std::string&)> check;
  };
  std::vector<uint8_t> buf(1024), image = TestImage("Q2");
  const Case cases[] = {
      {{"--fail-cmd", "2"}, [&](VCard* c, const std::string&) {
         EXPECT_EQ(0, Ata(c, 0x20, 0, 1, 5, 1, buf.data(), 512).ataError());
         SgResult second = Ata(c, 0x20, 0, 1, 5, 1, buf.data(), 512);
         EXPECT_EQ(0x72, second.sense[0]);
         EXPECT_EQ(0x04, second.ataError());
         EXPECT_EQ(0x51, second.ataStatus());
         EXPECT_EQ(0, Ata(c, 0x20, 0, 1, 5, 1, buf.data(), 512).ataError());
       }},
      {{"--fail-cmd", "1", "--fail-how", "garbage"}, [&](VCard* c, const std::string&) {
         SgResult r = Ata(c, 0xEC, 0, 1, 0, 1, buf.data(), 512);
         EXPECT_EQ(0x02, r.status);
         EXPECT_NE(0x72, r.sense[0]);
         EXPECT_NE(0x70, r.sense[0] & 0x7E);
       }},
      {{"--fail-cmd", "1", "--fail-how", "short"}, [&](VCard* c, const std::string&) {
         std::fill(buf.begin(), buf.end(), 0xCC);
         EXPECT_EQ(512, Ata(c, 0x20, 0, 2, 5, 1, buf.data(), 1024).resid);
         EXPECT_EQ(0, buf[0]);       // first sector transferred
         EXPECT_EQ(0xCC, buf[512]);  // the rest never arrived
       }},
      {{"--fail-op", "20"}, [&](VCard* c, const std::string& dir) {
         std::vector<uint8_t> t;
         EXPECT_EQ(-6, VendorRead(c, MakeBlock(0xF0, 0x20), 2, &t));
         EXPECT_EQ(0, VendorRead(c, MakeBlock(0xF0, 0x04), 14, &t));
         EXPECT_NE(std::string::npos, ReadText(dir + "/journal.log").find("refused: --fail-op"));
       }},
      {{"--mode", "rom", "--shim-broken"}, [&](VCard* c, const std::string&) {
         ASSERT_EQ(0, Load(c, kShimBase, vcard::BuildLoader("shim", 0x3000)));
         EXPECT_EQ(0, JumpCode(c, kShimBase + 0x410));
         EXPECT_EQ(0, ReadFlashId(c)[4]);
       }},
      {{"--mode", "shim", "--mpisp-broken"}, [&](VCard* c, const std::string&) {
         ASSERT_EQ(0, Load(c, kMpIspBase, vcard::BuildLoader("mpisp", 0x1000)));
         EXPECT_EQ(0, Activate(c, kMpIspBase));
         EXPECT_EQ(3, ReadFlashId(c)[4]);
       }},
      {{"--mode", "mpisp", "--pretest-code", "37"}, [&](VCard* c, const std::string&) {
         EXPECT_EQ(0, ReadFlashId(c)[1]);  // not run yet
         ASSERT_EQ(0, RunPretest(c));
         EXPECT_EQ(37, ReadFlashId(c)[1]);
         ASSERT_EQ(0, Load(c, kIspBase, image));
         EXPECT_EQ(-6, Activate(c, kIspBase));
       }},
      {{"--never-ready"}, [&](VCard* c, const std::string&) {
         ASSERT_EQ(0, ResetCpu(c, false));
         std::vector<uint8_t> t = ReadFlashId(c);
         EXPECT_EQ(2, t[4]);
         EXPECT_EQ(0, t[9] & 0x80);
       }},
      {{"--identify", "235=0", "--identify", "83=0x4000", "--no-dma", "--dm-codes", "7,1"},
       [&](VCard* c, const std::string&) {
         std::vector<uint8_t> id = Identify(c);
         EXPECT_EQ(0, Word(id, 235));
         EXPECT_EQ(0x4000, Word(id, 83));
         EXPECT_EQ(0, Word(id, 69) & 0x100);
         uint8_t sum = 0;
         for (uint8_t b : id) sum = static_cast<uint8_t>(sum + b);
         EXPECT_EQ(0, sum);
         EXPECT_EQ(0x04, Download(c, 0x07, 512, 0, image.data(), true).ataError());
         for (int code : {7, 1, 2}) EXPECT_EQ(code, Download(c, 0x07, 512, 0, image.data()).ataCount());
       }},
      {{"--lba0-unreadable", "--lba0-unwritable"}, [&](VCard* c, const std::string&) {
         SgResult r = Ata(c, 0x20, 0, 1, 0, 1, buf.data(), 512);
         EXPECT_EQ(0x40, r.ataError());
         EXPECT_EQ(0x03, r.sense[1]);  // MEDIUM ERROR
         EXPECT_EQ(0x04, Ata(c, 0x30, 0, 1, 0, 2, buf.data(), 512).ataError());
         EXPECT_EQ(0, Ata(c, 0x20, 0, 1, 1, 1, buf.data(), 512).ataError());
         EXPECT_EQ(0, memcmp(Unlock(c).data() + 46, "QC3300", 6));  // failed read still counts
       }},
      {{"--fixed-sense"}, [&](VCard* c, const std::string&) {
         SgResult r = Download(c, 0x03, 128, 0, image.data());
         const uint8_t want[] = {0x70, 0x01, 0x50, 1, 0x1D};
         const uint8_t got[] = {r.sense[0], r.sense[2], r.sense[4], r.sense[6], r.sense[13]};
         EXPECT_EQ(0, memcmp(want, got, 5));
       }},
      // Bridge habits. Linux 6.1: a success keeps the descriptor, an error
      // answers fixed format with the registers at bytes 8-11.
      {{"--fixed-sense-linux61"}, [&](VCard* c, const std::string&) {
         SgResult r = Download(c, 0x03, 128, 0, image.data());
         EXPECT_EQ(0x72, r.sense[0]);
         EXPECT_EQ(1, r.ataCount());
         r = Download(c, 0x05, 1, 0, image.data());
         EXPECT_EQ(0x70, r.sense[0]);
         EXPECT_EQ(0x0B, r.sense[2]);  // ABORTED COMMAND
         EXPECT_EQ(0x04, r.sense[8]);
         EXPECT_EQ(0x51, r.sense[9]);
       }},
      // Every second command is answered BUSY and never reaches the card.
      {{"--busy-every", "2"}, [&](VCard* c, const std::string&) {
         std::vector<uint8_t> first(512, 0x11), second(512, 0x22), back(512);
         EXPECT_EQ(0x02, Ata(c, 0x30, 0, 1, 9, 2, first.data(), 512).status);
         SgResult busy = Ata(c, 0x30, 0, 1, 9, 2, second.data(), 512);
         EXPECT_EQ(0x08, busy.status);
         EXPECT_EQ(0, busy.senseLen);
         EXPECT_EQ(0x02, Ata(c, 0x20, 0, 1, 9, 1, back.data(), 512).status);
         EXPECT_EQ(first, back);
       }},
      // A transfer limit cuts reads and writes alike, with the residue; the
      // limit shows in the block limits page.
      {{"--max-transfer", "512"}, [&](VCard* c, const std::string&) {
         std::vector<uint8_t> two(1024, 0x77), back(1024, 0xCC);
         EXPECT_EQ(512, Ata(c, 0x30, 0, 2, 20, 2, two.data(), 1024).resid);
         EXPECT_EQ(512, Ata(c, 0x20, 0, 2, 20, 1, back.data(), 1024).resid);
         EXPECT_EQ(0x77, back[0]);
         EXPECT_EQ(0xCC, back[512]);
         EXPECT_EQ(0, Ata(c, 0x20, 0, 1, 21, 1, back.data(), 512).resid);
         EXPECT_EQ(0, back[0]);  // the second sector never arrived
         EXPECT_EQ(1u, InquiryVpd(c, 0xB0)[11]);
       }},
      // Without CK_COND support a success answers GOOD with no registers;
      // an error still returns them.
      {{"--no-ck-cond"}, [&](VCard* c, const std::string&) {
         SgResult r = Download(c, 0x03, 128, 0, image.data());
         EXPECT_EQ(0, r.status + r.senseLen);
         EXPECT_EQ(0x04, Download(c, 0x05, 1, 0, image.data()).ataError());
       }},
      // Copy 2 differs from copy 1 in the image's last byte only, also after
      // a stripped write (stored in whole sectors).
      {{"--dies", "2", "--planes", "2", "--sectors-per-page", "16"}, [&](VCard* c, const std::string& dir) {
         ASSERT_EQ(0, Load(c, kIspBase, Stripped(image)));
         ASSERT_EQ(0, Activate(c, kIspBase));
         std::string err;
         ASSERT_EQ(0, vcard::UpdateCard(dir, {"--copies-differ"}, &err));
         ASSERT_EQ(0, vcard_refresh(c));
         Geometry g;
         std::vector<uint8_t> copy2 = DumpCopy(c, image, 566, &g);
         EXPECT_TRUE(DumpCopy(c, image, 564, &g) == image);
         ASSERT_EQ(image.size(), copy2.size());
         EXPECT_NE(image.back(), copy2.back());
         copy2.back() = image.back();
         EXPECT_TRUE(copy2 == image);
       }},
      // The host dies right after the third command is carried out; the
      // card keeps the program it was running.
      {{"--mode", "shim", "--kill-at", "3"}, [&](VCard* c, const std::string& dir) {
         EXPECT_EQ(SIGKILL, KilledBy([&] {
           for (uint32_t lba = 1; lba <= 5; ++lba) Ata(c, 0x30, 0, 1, lba, 2, buf.data(), 512);
         }));
         std::string journal = ReadText(dir + "/journal.log");
         EXPECT_NE(std::string::npos, journal.find("\n3 ")) << journal;
         EXPECT_EQ(std::string::npos, journal.find("\n4 ")) << journal;
         EXPECT_NE(std::string::npos, journal.find("host killed after command 3")) << journal;
         std::string err;
         ASSERT_EQ(0, vcard::UpdateCard(dir, {"--clear-faults"}, &err));
         VCard* again = vcard_open(dir.c_str(), nullptr, 0);
         ASSERT_NE(again, nullptr);
         EXPECT_EQ(3, ReadFlashId(again)[4]);
         vcard_close(again);
       }},
      // A power cut in a loader brings the card up in its ISP firmware (copy
      // 1 holds one) or, with blank copies, in the boot ROM.
      {{"--power-cut-at", "2"}, [&](VCard* c, const std::string& dir) {
         std::string err;
         for (const char* blank : {"", "isp1.bin"}) {
           SCOPED_TRACE(blank);
           if (*blank) unlink((dir + "/" + blank).c_str());
           ASSERT_EQ(0, vcard::UpdateCard(dir, {"--mode", "mpisp", "--power-cut-at", "2"}, &err));
           ASSERT_EQ(0, vcard_refresh(c));
           EXPECT_EQ(SIGKILL, KilledBy([&] {
             for (int i = 0; i < 3; ++i) Ata(c, 0x20, 0, 1, 5, 1, buf.data(), 512);
           }));
           ASSERT_EQ(0, vcard::UpdateCard(dir, {"--clear-faults"}, &err));
           VCard* again = vcard_open(dir.c_str(), nullptr, 0);
           ASSERT_NE(again, nullptr);
           std::vector<uint8_t> table = ReadFlashId(again);
           EXPECT_EQ(*blank ? 0 : 2, table[4]);
           EXPECT_EQ(*blank ? 0 : 0x80, table[9] & 0x80);
           vcard_close(again);
         }
         EXPECT_NE(std::string::npos, ReadText(dir + "/journal.log").find("power cut after command 2")) << dir;
       }},
      // "set" refuses bad values, clears faults and changes the identity in
      // the copies too, so a reboot keeps it.
      {{"--fail-op", "20", "--never-ready"}, [&](VCard* c, const std::string& dir) {
         std::string err;
         EXPECT_EQ(2, vcard::UpdateCard(dir, {"--planes", "3"}, &err));
         ASSERT_EQ(0, vcard::UpdateCard(dir, {"--clear-faults", "--serial", "NEWSER", "--fwrev", "Q5555555"}, &err));
         ASSERT_EQ(0, vcard_refresh(c));
         EXPECT_EQ("NEWSER", vcard::GetAtaString(Identify(c).data() + 20, 20));
         ASSERT_EQ(1024u, ReadFlashId(c).size());
         ASSERT_EQ(0, ResetCpu(c, false));
         EXPECT_EQ("NEWSER", vcard::GetAtaString(Identify(c).data() + 20, 20));
         EXPECT_EQ("Q5555555", Firmware(c));
         EXPECT_EQ(0x80, ReadFlashId(c)[9] & 0x80);
       }},
  };
  for (const Case& fault : cases) {
    std::string dir, name;
    for (const std::string& o : fault.options) name += o + " ";
    SCOPED_TRACE(name);
    VCard* card = NewCard(fault.options, &dir);
    ASSERT_NE(card, nullptr);
    fault.check(card, dir);
    vcard_close(card);
  }
}

// What standard tools read from a SATA card behind a translator: the VPD
// pages sd and sg_vpd ask for, LBPME, the WWN, NCQ and TRIM bits, and SMART
// structures whose checksums smartctl verifies.
TEST(VcardTransport, AnswersWhatStandardToolsRead) {
  VCard* card = NewCard({"--serial", "WWNTEST1"});
  ASSERT_NE(card, nullptr);
  const std::vector<uint8_t> list = InquiryVpd(card, 0x00);
  EXPECT_EQ((std::vector<uint8_t>{0x00, 0x80, 0x83, 0x89, 0xB0, 0xB1, 0xB2}),
            std::vector<uint8_t>(list.begin() + 4, list.end()));
  const struct {
    uint8_t page;
    size_t length, at;
    uint8_t value;
  } kPages[] = {{0xB0, 64, 7, 1}, {0xB1, 64, 5, 1}, {0xB2, 8, 5, 0x40}};
  for (const auto& p : kPages) {
    std::vector<uint8_t> d = InquiryVpd(card, p.page);
    ASSERT_EQ(p.length, d.size()) << std::hex << int(p.page);
    EXPECT_EQ(p.value, d[p.at]) << std::hex << int(p.page);
  }
  std::vector<uint8_t> id = Identify(card);
  uint64_t wwn = 0;
  for (int w = 108; w < 112; ++w) wwn = wwn << 16 | Word(id, w);
  EXPECT_EQ(vcard::WorldWideName("WWNTEST1"), wwn);
  EXPECT_EQ(0x5ACDE48u, wwn >> 36);
  EXPECT_NE(vcard::WorldWideName("WWNTEST2"), wwn);
  EXPECT_EQ(0x100, Word(id, 76) & 0x100);  // NCQ
  EXPECT_EQ(1, Word(id, 169) & 1);         // TRIM
  EXPECT_EQ(0x100, Word(id, 87) & 0x100);  // WWN valid
  const struct {
    uint8_t features, log;
    bool answers;
  } kSmart[] = {{0xD0, 0, true}, {0xD1, 0, true}, {0xD5, 0x00, true}, {0xD5, 0x01, true},
                {0xD5, 0x06, true}, {0xD5, 0x80, false}};
  for (const auto& c : kSmart) {
    std::vector<uint8_t> data(512, 0xEE);
    SgResult r = Ata(card, 0xB0, c.features, 1, 0xC24F00 | c.log, 1, data.data(), 512);
    EXPECT_EQ(c.answers ? 0 : 0x04, r.ataError()) << std::hex << int(c.features) << "/" << int(c.log);
    if (!c.answers || (c.features == 0xD5 && c.log == 0)) continue;
    uint8_t sum = 0;
    for (uint8_t b : data) sum = static_cast<uint8_t>(sum + b);
    EXPECT_EQ(0, sum) << std::hex << int(c.features) << "/" << int(c.log);
  }
  vcard_close(card);
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
    _exit(child && ResetCpu(child, true) == 0 && vcard_write(child, 100, 1, data.data()) == 0 ? 0 : 1);  // not closed
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
