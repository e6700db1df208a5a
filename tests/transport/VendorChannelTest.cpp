// The vendor channel (unlock, command block, data phase) and the command
// block of every controller command.
#include <string.h>

#include <functional>
#include <sstream>

#include "TransportTest.h"

namespace {

using Channel = OpenCardTest;

const std::vector<uint32_t> kUnlock = {0x0000, 0x006B, 0x6B00, 0x0094, 0x9400, 0x946B};
const Bytes kMediumError = {0x70, 0, 0x03, 0, 0, 0, 0, 0x0A};

std::vector<uint32_t> Lbas() {
  std::vector<uint32_t> lbas;
  for (const SgCall& c : Disk().calls) lbas.push_back(c.Lba());
  return lbas;
}

TEST_F(Channel, UnlockSequence) {
  unsigned char answer[512];
  EXPECT_EQ(0, card.QelPreVendorCommand(answer, true));  // six reads
  EXPECT_EQ(kUnlock, Lbas());
  EXPECT_EQ(0, memcmp(answer + 46, "QC3300", 6));

  // A foreign disk is given up after six attempts, in either form.
  Disk().identity = "QC3200";
  for (bool ata : {true, false}) {
    Disk().calls.clear();
    EXPECT_EQ(-10, card.QelPreVendorCommand(answer, ata));
    EXPECT_EQ(36u, Disk().calls.size());
    EXPECT_EQ(ata ? 16 : 12, Disk().calls[0].cmdLen);
  }
  Disk().identity = "QC3300";

  // A failed read is named by its step; the read of 0x0000 only opens the sequence.
  for (int step = 0; step < 6; ++step) {
    const uint32_t failing = kUnlock[step];
    Disk().script = [failing](const SgCall& c, SgAnswer& a) {
      if (c.Lba() == failing) a.status = 0x02, a.sense = kMediumError;
    };
    EXPECT_EQ(step == 0 ? 0 : -step, card.QelPreVendorCommand(answer, false)) << failing;
  }
}

TEST_F(Channel, SecondIdentityStringUnlocksAndItsLimits) {
  Disk().script = [](const SgCall& c, SgAnswer& a) {
    if (c.Lba() == 0x946B) std::fill(a.in.begin(), a.in.end(), 0), memcpy(a.in.data() + 100, "SECOND", 6);
  };
  unsigned char answer[512];
  EXPECT_EQ(-10, card.QelPreVendorCommand(answer, true));
  char id[64] = "SECOND";
  ASSERT_EQ(0, card.SetChipIdenitfyParm(100, 6, id));
  Disk().calls.clear();
  EXPECT_EQ(0, card.QelPreVendorCommand(answer, true));
  EXPECT_EQ(6u, Disk().calls.size());

  QC3300 fresh;  // lengths and offsets outside the answer sector are refused
  for (auto bad : {std::make_pair(0, 51), {0, -1}, {-1, 6}, {507, 6}})
    EXPECT_EQ(1, fresh.SetChipIdenitfyParm(bad.first, bad.second, id)) << bad.first << "," << bad.second;
  EXPECT_EQ(0, fresh.ChipID2Length);
  EXPECT_EQ(0, fresh.SetChipIdenitfyParm(462, 50, id));
}

TEST_F(Channel, CommandSequenceAndDataRounding) {
  Bytes block(512), data(1024, 0x33);
  block[0] = 0xF0;
  const struct { bool read; int length, dataSectors; } cases[] = {
      {true, 1024, 2}, {true, 1, 1}, {false, 513, 2}, {false, 0, 0}};
  for (const auto& c : cases) {
    Disk().calls.clear();
    ASSERT_EQ(0, c.read ? card.QelTestRead(block.data(), data.data(), c.length)
                        : card.QelTestWrite(block.data(), c.length ? data.data() : nullptr, c.length));
    // Vendor sector read, unlock, command block written, data phase, answer read.
    std::vector<uint32_t> expected = {0x946B};
    expected.insert(expected.end(), kUnlock.begin(), kUnlock.end());
    expected.insert(expected.end(), c.read || !c.length ? 2 : 3, 0x946B);
    EXPECT_EQ(expected, Lbas()) << c.length;
    EXPECT_TRUE(Disk().calls[7].IsSectorWrite());
    EXPECT_EQ(block, Disk().calls[7].out);
    const SgCall& dataPhase = Disk().calls[8];
    EXPECT_EQ(c.read || !c.length, dataPhase.IsSectorRead());
    EXPECT_EQ(c.dataSectors ? c.dataSectors : 1, dataPhase.Sectors()) << c.length;
  }
}

TEST_F(Channel, FailuresEndTheExchangeWithTheirCodes) {
  unsigned char block[512] = {0xF1, 0x27}, data[512] = {};
  card.Attribute = 0x4u;  // SCSI form keeps the device open after a failure
  const struct {
    const char* what;
    std::function<bool(const SgCall&)> fails;  // nullptr: a foreign identity fails the unlock
    bool read;
    int result;
    size_t writes;
    uint32_t lastLba;  // 0x1234: the closing read
  } cases[] = {
      {"unlock", nullptr, false, -10, 0, 0x1234},
      {"block write", [](const SgCall& c) { return c.IsSectorWrite(); }, false, -6, 1, 0x1234},
      {"data write", [](const SgCall& c) { return c.IsSectorWrite() && c.out[0] == 0; }, false, -7, 2, 0x946B},
      {"data read", [](const SgCall& c) { return c.IsSectorRead() && c.Sectors() == 2; }, true, -7, 1, 0x946B},
  };
  for (const auto& c : cases) {
    Disk().calls.clear();
    Disk().identity = c.fails ? "QC3300" : "OTHER!";
    Disk().script = [&c](const SgCall& call, SgAnswer& a) {
      if (c.fails && c.fails(call)) a.status = 0x02, a.sense = kMediumError;
    };
    Bytes big(1024);
    EXPECT_EQ(c.result, c.read ? card.QelTestRead(block, big.data(), 1024) : card.QelTestWrite(block, data, 512))
        << c.what;
    EXPECT_EQ(c.writes, Disk().SectorWrites().size()) << c.what;
    EXPECT_EQ(c.lastLba, Disk().calls.back().Lba()) << c.what;
    EXPECT_TRUE(Disk().calls.back().IsSectorRead()) << c.what;
  }
}

TEST_F(Channel, RefusesLengthsItCannotCarryBeforeTouchingTheDisk) {
  unsigned char block[512] = {0xF0, 0x04}, spare[300] = {};
  Bytes data(256 * 512);
  EXPECT_EQ(-7, card.QelTestRead(block, data.data(), 255 * 512 + 1));
  EXPECT_EQ(-7, card.QelTestWrite(block, data.data(), -1));
  EXPECT_NE(0, card.WriteFlashWithSpare(1, 1, 0, 0, 0, 1, data.data(), spare, 257));
  EXPECT_NE(0, card.WriteFlashWithSpare(1, 1, 0, 0, 0, 1, data.data(), spare, -1));
  EXPECT_TRUE(Disk().calls.empty());
  EXPECT_EQ(0, card.QelTestRead(block, data.data(), 255 * 512));
}

// One controller command: how to call it, and what must reach the disk.
enum Phase { kIn, kAnswer, kOut, kZeros, kBlockAgain };

struct CommandCase {
  const char* name;
  std::function<int(QC3300&, unsigned char* buf, unsigned char* extra)> call;
  uint8_t commandClass;
  uint8_t subOpcode;
  const char* bytes;  // named bytes "position=hex ..."; all others 0 (or the preset)
  Phase phase;
  int sectors;                // of the data phase
  bool presetHeader = false;  // the block starts as a copy of `extra`
};

// clang-format off
const CommandCase kCommands[] = {
  {"ReadFlashAuto", [](auto& c, auto b, auto) { return c.ReadFlashAuto(0x1234, 0x5678, 5, 6, 8, 0xD, 0xE, 0xF, 3, b); },
   0xF0, 0x33, "2=12 3=34 9=56 10=78 5=05 6=06 8=08 13=0D 14=0E 15=0F 11=03", kIn, 3},
  {"ReadFlashPhy", [](auto& c, auto b, auto) { return c.ReadFlashPhy(0x1234, 0x0102, 5, 6, 0x11, 0x0A, 0xD, 0xE, 0xF, 14, b); },
   0xF0, 0x0A, "2=12 3=34 4=02 7=01 5=05 6=06 8=11 10=0A 13=0D 14=0E 15=0F 11=0E", kIn, 14},
  {"QC3100::ResetCPU", [](auto& c, auto, auto) { return static_cast<QC3100&>(c).ResetCPU(); }, 0xF0, 0x2C, "", kAnswer, 1},
  {"ResetCPU(true)", [](auto& c, auto, auto) { return c.ResetCPU(true); }, 0xF0, 0x2C, "2=01", kAnswer, 1},
  {"ResetCPU(false)", [](auto& c, auto, auto) { return c.ResetCPU(false); }, 0xF0, 0x2C, "", kAnswer, 1},
  {"EraseFlash", [](auto& c, auto, auto) { return c.EraseFlash(0x1234, 7); }, 0xF0, 0x0C, "2=12 3=34 11=01 13=07", kAnswer, 1},
  {"DumpLinkTable", [](auto& c, auto b, auto) { return c.DumpLinkTable(b, 1000); }, 0xF0, 0x21, "", kIn, 2},
  {"DumpH2Ftable", [](auto& c, auto b, auto) { return c.DumpH2Ftable(0x12345678, 2, b); }, 0xF0, 0x32, "2=12 3=34 4=56 5=78 11=02", kIn, 2},
  {"DumpDramData", [](auto& c, auto b, auto) { return c.DumpDramData(0x9ABCDEF0, 1, b); }, 0xF0, 0x2A, "2=9A 3=BC 4=DE 5=F0 11=01", kIn, 1},
  {"DumpEraseCount", [](auto& c, auto b, auto) { return c.DumpEraseCount(b, 512); }, 0xF0, 0x06, "", kIn, 1},
  {"ReadPar", [](auto& c, auto b, auto) { return c.ReadPar(b, 7168); }, 0xF0, 0x04, "", kIn, 14},
  {"ReadFlashID", [](auto& c, auto b, auto) { return c.ReadFlashID(b); }, 0xF0, 0x20, "", kIn, 2},
  {"ReadFlashID, no buffer", [](auto& c, auto, auto) { return c.ReadFlashID(nullptr); }, 0xF0, 0x20, "", kAnswer, 1},
  {"LoadWProPage", [](auto& c, auto b, auto) { return c.LoadWProPage(0x37, b, 512); }, 0xF0, 0x05, "5=37", kIn, 1},
  {"ReadChunkAuto", [](auto& c, auto b, auto) { return c.ReadChunkAuto(0x1234, 0x5678, 4, b); }, 0xF0, 0x11, "2=12 3=34 9=56 10=78 11=04", kIn, 4},
  {"ReadChunkPhy", [](auto& c, auto b, auto) { return c.ReadChunkPhy(0x1234, 0x0A, 0x0102, 0x0D, 2, b); },
   0xF0, 0x4A, "2=12 3=34 10=0A 4=02 7=01 13=0D 11=02", kIn, 2},
  {"ReadBufData", [](auto& c, auto b, auto) { return c.ReadBufData(3, b); }, 0xF0, 0x0B, "11=03", kIn, 3},
  {"ReadQelStatus", [](auto& c, auto b, auto) { return c.ReadQelStatus(b); }, 0xF0, 0x30, "", kIn, 1},
  {"ManualMarkBad", [](auto& c, auto, auto) { return c.ManualMarkBad(0x1234); }, 0xF0, 0xBB, "2=12 3=34", kAnswer, 1},
  {"ReadOPT", [](auto& c, auto b, auto) { return c.ReadOPT(0x44, b); }, 0xF0, 0x0F, "10=44", kIn, 1},
  {"DumpStrongPageTable", [](auto& c, auto b, auto) { return c.DumpStrongPageTable(b); }, 0xF0, 0x1B, "", kIn, 2},
  {"ReadConfigureTable", [](auto& c, auto b, auto) { return c.ReadConfigureTable(b); }, 0xF0, 0x3F, "", kIn, 1},
  {"DumpLTS", [](auto& c, auto b, auto) { return c.DumpLTS(b); }, 0xF0, 0xBE, "", kIn, 1},
  {"GetRdtEraseCount", [](auto& c, auto b, auto) { return c.GetRdtEraseCount(b); }, 0xF0, 0xBD, "", kIn, 64},
  {"GetRdtResult", [](auto& c, auto b, auto) { return c.GetRdtResult(b); }, 0xF0, 0xBC, "", kIn, 7},
  {"ReadSmartInfo", [](auto& c, auto b, auto) { return c.ReadSmartInfo(0x55, b); }, 0xF0, 0x3E, "3=55", kIn, 1},
  {"DumpWordLineTable", [](auto& c, auto b, auto) { return c.DumpWordLineTable(b); }, 0xF0, 0x22, "", kIn, 8},
  {"ReadLogPage", [](auto& c, auto b, auto) { return c.ReadLogPage(0x0102, b, 512); }, 0xF0, 0xEB, "2=02 3=01", kIn, 1},
  {"WriteFlash", [](auto& c, auto b, auto) { return c.WriteFlash(0x1234, 0x0102, 0x15, 0x0A, 0x0D, 2, b); },
   0xF1, 0x0B, "2=12 3=34 4=02 7=01 8=15 10=0A 13=0D", kOut, 2},
  {"WriteFlashWithSpare", [](auto& c, auto b, auto e) { return c.WriteFlashWithSpare(0x1234, 0x0102, 0x15, 0x0A, 0x0D, 2, b, e, 3); },
   0xF1, 0x0B, "2=12 3=34 4=02 7=01 8=15 10=0A 13=0D 256=A0 257=A1 258=A2", kOut, 2},
  {"WriteDramData 512", [](auto& c, auto b, auto) { return c.WriteDramData(0x12345678, b, 512); },
   0xF1, 0x2B, "2=12 3=34 4=56 5=78 6=01 7=FF", kOut, 1},
  {"WriteDramData 65536", [](auto& c, auto b, auto) { return c.WriteDramData(0x12345678, b, 65536); },
   0xF1, 0x2B, "2=12 3=34 4=56 5=78 6=FF 7=FF", kOut, 128},
  {"WriteMPISPData", [](auto& c, auto b, auto) { return c.WriteMPISPData(0x40020000, b, 1024); }, 0xF1, 0x27, "8=02 9=40", kOut, 2},
  {"WriteISPDataByFW true", [](auto& c, auto b, auto) { return c.WriteISPDataByFW(0x12345678, b, 512, true); },
   0xF1, 0x88, "3=80 4=56 5=78", kOut, 1},
  {"WriteISPDataByFW false", [](auto& c, auto b, auto) { return c.WriteISPDataByFW(0x12345678, b, 512, false); },
   0xF1, 0x88, "4=56 5=78", kOut, 1},
  {"WritePrtestData", [](auto& c, auto b, auto e) { return c.WritePrtestData(0x40020000, b, 512, e); },
   0xF1, 0x27, "6=00 7=00 8=02 9=40", kOut, 1, true},
  {"JumpCode", [](auto& c, auto, auto) { return c.JumpCode(0x40040410); }, 0xF1, 0x28, "6=10 7=04 8=04 9=40", kZeros, 1},
  {"JumpCodePretest", [](auto& c, auto, auto e) { return c.JumpCodePretest(0x40040410, e); },
   0xF1, 0x28, "6=10 7=04 8=04 9=40", kZeros, 1, true},
  {"SetRetryTable", [](auto& c, auto b, auto) { return c.SetRetryTable(b); }, 0xF1, 0x0E, "", kOut, 2},
  {"WriteDRAMSetData", [](auto& c, auto b, auto) { return c.WriteDRAMSetData(0x12345678, b, 512, 1, 2, 3); },
   0xF1, 0x27, "6=78 7=56 8=34 9=12 11=01 18=02 27=03", kOut, 1},
  {"JumpDRAMSetCode", [](auto& c, auto, auto) { return c.JumpDRAMSetCode(0x12345678, 1, 2, 3); },
   0xF1, 0x28, "6=78 7=56 8=34 9=12 11=01 18=02 27=03", kZeros, 1},
  {"ActiveMpIspIspCode", [](auto& c, auto, auto) { return c.ActiveMpIspIspCode(0x80000000); }, 0xF0, 0x60, "9=80", kAnswer, 1},
  {"RunPretestCode", [](auto& c, auto, auto) { return c.RunPretestCode(); }, 0xF0, 0x61, "", kAnswer, 1},
  {"ReadDieBaseSysBlk", [](auto& c, auto b, auto) { return c.ReadDieBaseSysBlk(0x1234, 0x0156, 0x77, 2, b); },
   0xF0, 0x12, "2=12 3=34 9=56 10=56 8=77 11=02", kIn, 2},
  {"SetProductFlag", [](auto& c, auto, auto) { return c.SetProductFlag(); }, 0xF0, 0x6F, "", kAnswer, 1},
  {"WriteEFuse", [](auto& c, auto, auto) { return c.WriteEFuse(0x12, 0x34); }, 0xF0, 0x64, "2=12 4=34", kAnswer, 1},
  {"DownloadSignature", [](auto& c, auto b, auto) { return c.DownloadSignature(b); }, 0xF1, 0x63, "", kOut, 1},
  {"DownloadISPToRAMTSB3D", [](auto& c, auto b, auto) { return c.DownloadISPToRAMTSB3D(b, 0x12345678, 3); },
   0xF1, 0x34, "6=78 7=56 8=34 9=12", kOut, 3},
  {"ActiveISPTSB3D", [](auto& c, auto, auto) { return c.ActiveISPTSB3D(0x0102, 0x0304, 0x05060708); },
   0xF1, 0x35, "2=02 3=01 4=04 5=03 6=08 7=07 8=06 9=05", kBlockAgain, 1},
  {"CheckISPDLSuccess", [](auto& c, auto b, auto) { return c.CheckISPDLSuccess(b); }, 0xF0, 0xC1, "", kIn, 1},
  {"ReadFlashAutoTSB3D", [](auto& c, auto b, auto) { return c.ReadFlashAutoTSB3D(0x21, 0x22, 0x2324, 0x25, 0x26, 0x28, 0x2D, 0x2E, 0x2F, 5, b); },
   0xF0, 0x33, "3=21 2=22 4=01 9=23 10=24 5=25 6=26 8=28 13=2D 14=2E 15=2F 11=05", kIn, 5},
  {"EraseFlashTSB3D", [](auto& c, auto, auto) { return c.EraseFlashTSB3D(0x1234, 0); }, 0xF0, 0x0C, "3=34 11=01 13=02", kAnswer, 1},
};
// clang-format on

// The block a case expects: class, sub-opcode and the named bytes over
// zeros (or over the preset header).
Bytes ExpectedBlock(const CommandCase& c, const unsigned char* preset) {
  Bytes block(512, 0);
  if (c.presetHeader) block.assign(preset, preset + 512);
  block[0] = c.commandClass;
  block[1] = c.subOpcode;
  std::istringstream named(c.bytes);
  std::string item;
  while (named >> item) {
    size_t eq = item.find('=');
    block.at(std::stoul(item.substr(0, eq))) =
        static_cast<unsigned char>(std::stoul(item.substr(eq + 1), nullptr, 16));
  }
  return block;
}

TEST_F(Channel, EveryCommandBlockCarriesExactlyItsNamedBytes) {
  Bytes buf(128 * 512);
  for (size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<unsigned char>(i * 13 + 1);
  unsigned char extra[512];  // the spare bytes, or a pretest header
  for (int i = 0; i < 512; ++i) extra[i] = static_cast<unsigned char>(0xA0 + i);

  for (const CommandCase& c : kCommands) {
    SCOPED_TRACE(c.name);
    Disk().calls.clear();
    ASSERT_EQ(0, c.call(card, buf.data(), extra));
    std::vector<SgCall> writes = Disk().SectorWrites();
    ASSERT_FALSE(writes.empty());
    const Bytes& block = writes[0].out;
    ASSERT_EQ(512u, block.size());
    Bytes expected = ExpectedBlock(c, extra);
    for (int i = 0; i < 512; ++i) EXPECT_EQ(expected[i], block[i]) << "byte " << i;

    // Then the data phase, and the answer read from the vendor sector.
    const SgCall& last = Disk().calls.back();
    EXPECT_TRUE(last.IsSectorRead());
    EXPECT_EQ(0x946Bu, last.Lba());
    if (c.phase == kIn || c.phase == kAnswer) {
      ASSERT_EQ(1u, writes.size());
      EXPECT_EQ(9u, Disk().calls.size());
      EXPECT_EQ(c.sectors, last.Sectors());
      continue;
    }
    ASSERT_EQ(2u, writes.size());
    EXPECT_EQ(0x946Bu, writes[1].Lba());
    EXPECT_EQ(c.sectors, writes[1].Sectors());
    Bytes payload(buf.begin(), buf.begin() + c.sectors * 512);
    if (c.phase == kZeros) payload.assign(512, 0);
    if (c.phase == kBlockAgain) payload = block;  // ActiveISPTSB3D repeats its block
    EXPECT_EQ(payload, writes[1].out);
    EXPECT_EQ(1, last.Sectors());
  }
}

TEST_F(Channel, ReadCommandsDeliverTheAnswerIntoTheCallersBuffer) {
  Disk().script = [](const SgCall& c, SgAnswer& a) {
    if (c.IsSectorRead() && c.Sectors() == 2)
      for (size_t i = 0; i < a.in.size(); ++i) a.in[i] = static_cast<unsigned char>(i ^ 0x5A);
  };
  Bytes table(1024, 0);
  ASSERT_EQ(0, card.ReadFlashID(table.data()));
  for (size_t i = 0; i < table.size(); ++i) ASSERT_EQ(static_cast<unsigned char>(i ^ 0x5A), table[i]);
}

}  // namespace
