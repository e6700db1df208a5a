// The controller: the vendor channel carried by sector reads and writes, the
// vendor commands, the programs it runs (boot ROM, shim, MP-ISP loader, ISP
// firmware) and DOWNLOAD MICROCODE.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "Card.h"
#include "FlashLayout.h"

namespace vcard {

namespace {

// The unlock sequence: six single reads, the last answering the identity.
constexpr uint32_t kUnlock[6] = {0x0000, 0x006B, 0x6B00, 0x0094, 0x9400, kVendorLba};
constexpr size_t kChipIdOffset = 46;

constexpr uint32_t kShimBase = 0x40020000;
constexpr uint32_t kShimEntry = kShimBase + 0x410;
constexpr uint32_t kMpIspBase = 0x40040000;
constexpr uint32_t kIspBase = 0x80000000;

// Where WriteMPISPData may load, and how much each region holds.
struct RamArea {
  uint32_t base;
  uint32_t size;
};
constexpr RamArea kRam[kRamRegions] = {
    {kShimBase, kMpIspBase - kShimBase},
    {kMpIspBase, 64u << 20},
    {kIspBase, 256u << 20},
};

const Outcome kOk{};
const Outcome kRefused{kAbrt, 0};

std::string Hex(uint64_t v) {
  char buf[24];
  snprintf(buf, sizeof(buf), "0x%llX", static_cast<unsigned long long>(v));
  return buf;
}

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

unsigned Be16(const uint8_t* p) { return static_cast<unsigned>(p[0]) << 8 | p[1]; }

void Note(VCard* card, const std::string& text) {
  card->note += (card->note.empty() ? "" : "; ") + text;
}

// Refuses with a reason for the journal.
Outcome Refuse(VCard* card, const std::string& why) {
  Note(card, "refused: " + why);
  return kRefused;
}

bool Save(VCard* card) {
  if (SaveConfig(card)) return true;
  Note(card, "cannot save card.conf");
  return false;
}

// Reads len bytes at offset of ISP copy n; returns the bytes read (0 for a
// blank copy) and the copy's size.
size_t ReadCopyRange(const VCard* card, int copy, size_t offset, size_t len, uint8_t* out, size_t* copySize) {
  std::string path = card->dir + (copy == 1 ? "/isp1.bin" : "/isp2.bin");
  *copySize = 0;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  off_t end = lseek(fd, 0, SEEK_END);
  *copySize = end > 0 ? static_cast<size_t>(end) : 0;
  ssize_t n = 0;
  if (offset < *copySize) n = pread(fd, out, std::min(len, *copySize - offset), static_cast<off_t>(offset));
  close(fd);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

// Where --copies-differ changes copy 2: its last byte of data. A stripped
// write stores whole sectors, so that is the last non-zero byte of the final
// stored sector (the whole copy's last byte when that sector is all zero).
size_t LastDataByte(const VCard* card, int copy, size_t copySize) {
  size_t tail = std::min(copySize, kSector), from = copySize - tail, size;
  uint8_t buf[kSector];
  size_t n = ReadCopyRange(card, copy, from, tail, buf, &size);
  while (n > 0 && buf[n - 1] == 0) --n;
  return n > 0 ? from + n - 1 : copySize - 1;
}

// --- Programs ---

// A reset restarts the processor: RAM is lost, the boot ROM starts the ISP
// firmware from flash when copy 1 holds one, or stays when asked to.
void Reset(VCard* card, bool toRom) {
  for (std::vector<uint8_t>& region : card->ram) std::vector<uint8_t>().swap(region);
  card->cfg.pretestDone = false;
  uint8_t id[kIdTableSize];
  size_t copySize;
  if (!toRom && ReadCopyRange(card, 1, kCopyIdTable, kIdTableSize, id, &copySize) == kIdTableSize) {
    card->cfg.program = kIspFirmware;
    card->cfg.ready = !card->cfg.faults.neverReady;
    memcpy(card->idTable, id, kIdTableSize);
    if (!SaveIdTable(card)) Note(card, "cannot save idtable.bin");
  } else {
    card->cfg.program = kBootRom;
  }
  Note(card, std::string("now ") + ProgramName(card->cfg.program));
  Save(card);
}

// Makes copy the card's firmware in both ISP copies, after checking that it
// carries an ID table and fits the ISP block.
Outcome Program(VCard* card, const std::vector<uint8_t>& copy) {
  if (copy.size() < kMinCopySize) return Refuse(card, "firmware too short to hold its ID table");
  if (copy.size() > IspCopyCapacity(card->cfg.geo)) return Refuse(card, "firmware larger than the ISP block");
  if (!ProgramCopies(card, copy)) return Refuse(card, "cannot write the ISP copies");
  Note(card, "programmed ISP copies, " + std::to_string(copy.size()) + " bytes, version " +
                 GetVersion(copy.data() + kCopyVersion));
  return kOk;
}

// --- Vendor commands ---

struct VendorOp {
  uint8_t cls;
  uint8_t op;
  const char* name;
  // Read-type commands run when their block arrives and leave their data in
  // card->answer; write-type commands run when their data arrives.
  Outcome (*run)(VCard* card, const uint8_t* block, const uint8_t* data, size_t size);
};

Outcome ReadFlashIdOp(VCard* card, const uint8_t*, const uint8_t*, size_t) {
  card->answer.assign(kFlashIdTableSize, 0);
  bool pretest = card->cfg.program == kMpIsp && card->cfg.pretestDone;
  BuildFlashIdTable(card->cfg, static_cast<uint8_t>(pretest ? card->cfg.faults.pretestCode : 0),
                    card->answer.data());
  return kOk;
}

Outcome ReadParOp(VCard* card, const uint8_t*, const uint8_t*, size_t) {
  card->answer.assign(kParameterSize, 0);
  BuildParameterBlock(card->cfg.geo, card->answer.data());
  return kOk;
}

Outcome ReadConfigureTableOp(VCard* card, const uint8_t*, const uint8_t*, size_t) {
  card->answer.assign(kIdTableSize, 0);
  IdentifyData(card, card->answer.data());
  return kOk;
}

// ReadFlashPhy: one page (or plane page) of one die. The data depends only
// on where it is read: page 2 of the system block holds the parameter block,
// the ISP blocks hold the copies, everything else reads erased.
Outcome ReadFlashPhyOp(VCard* card, const uint8_t* b, const uint8_t*, size_t) {
  const Geometry& g = card->cfg.geo;
  int block = static_cast<int>(Be16(b + 2));
  int page = b[4] | b[7] << 8;
  int mode = b[8], plane = mode >> 6, sectors = b[11];
  int rank = DieRankOf(g, b[10]);
  if (rank < 0) return Refuse(card, "no fitted die at die address " + Hex(b[10]));
  if (block >= g.blocks || page >= g.pagesPerBlock || plane >= g.planes || sectors == 0) {
    return Refuse(card, "address outside the flash");
  }
  if ((mode & 0x3F) != 0x11 && (mode & 0x3F) != 0x15) return Refuse(card, "unknown read mode " + Hex(mode));
  card->answer.assign(static_cast<size_t>(sectors) * kSector, 0xFF);
  uint8_t* out = card->answer.data();
  int number = block * g.dies + rank;
  if (number == BlockNumber(g, SystemBlock(g)) && page == 2 && plane == 0) {
    uint8_t par[kParameterSize];
    BuildParameterBlock(g, par);
    memcpy(out, par, std::min(card->answer.size(), kParameterSize));
    Note(card, "parameter page");
    return kOk;
  }
  for (int copy = 1; copy <= 2; ++copy) {
    if (number != BlockNumber(g, IspCopyBlock(g, copy))) continue;
    CopySpan span = IspPageSpan(g, page, plane, sectors);
    size_t copySize;
    ReadCopyRange(card, copy, span.from, span.len, out, &copySize);
    if (copy == 2 && card->cfg.faults.copiesDiffer && copySize > 0) {
      size_t last = LastDataByte(card, copy, copySize);
      if (last >= span.from && last < span.from + span.len) out[last - span.from] ^= 0xFF;
    }
    Note(card, "ISP copy " + std::to_string(copy) + " bytes " + Hex(span.from) + "+" + Hex(span.len));
    return kOk;
  }
  Note(card, "erased page");
  return kOk;
}

Outcome ResetCpuOp(VCard* card, const uint8_t* b, const uint8_t*, size_t) {
  card->answer.assign(kSector, 0);
  Reset(card, b[2] != 0);
  return kOk;
}

// ActiveMpIspIspCode: starts the MP-ISP loader, or takes the ISP image loaded
// at 0x80000000 into both ISP copies (the new firmware runs after a reset).
Outcome ActivateOp(VCard* card, const uint8_t* b, const uint8_t*, size_t) {
  card->answer.assign(kSector, 0);
  uint32_t addr = Le32(b + 6);
  CardConfig& cfg = card->cfg;
  if (addr == kMpIspBase) {
    if (cfg.program != kShim) return Refuse(card, "the MP-ISP loader is started by the shim");
    if (card->ram[kMpIspRam].empty()) return Refuse(card, "no MP-ISP loader loaded");
    if (!cfg.faults.mpispBroken) cfg.program = kMpIsp;
    cfg.pretestDone = false;
    Note(card, std::string("now ") + ProgramName(cfg.program));
    Save(card);
    return kOk;
  }
  if (addr != kIspBase) return Refuse(card, "nothing to start at " + Hex(addr));
  bool loader = cfg.program == kMpIsp;
  if (!loader && cfg.program != kIspFirmware) return Refuse(card, "ISP images are taken by the MP-ISP loader or the firmware");
  if (loader && (!cfg.pretestDone || cfg.faults.pretestCode != 0)) {
    return Refuse(card, "the pretest has not passed");
  }
  const std::vector<uint8_t>& image = card->ram[kIspRam];
  if (image.empty()) return Refuse(card, "no ISP image loaded");
  // The ISP firmware on L06B flash takes the bare section bodies; everything
  // else takes the whole signed image.
  std::vector<uint8_t> copy;
  if (!loader && cfg.geo.l06b) {
    Note(card, "stripped image");
    copy = image;
  } else {
    std::string why;
    Note(card, "whole image");
    if (!CopyFromWholeImage(image.data(), image.size(), &copy, &why)) return Refuse(card, why);
  }
  return Program(card, copy);
}

Outcome RunPretestOp(VCard* card, const uint8_t*, const uint8_t*, size_t) {
  card->answer.assign(kSector, 0);
  if (card->cfg.program != kMpIsp) return Refuse(card, "the pretest is run by the MP-ISP loader");
  card->cfg.pretestDone = true;
  Note(card, "pretest result " + Hex(static_cast<unsigned>(card->cfg.faults.pretestCode)));
  Save(card);
  return kOk;
}

Outcome WriteMpIspDataOp(VCard* card, const uint8_t* b, const uint8_t* data, size_t size) {
  uint32_t addr = Le32(b + 6) + static_cast<uint32_t>(card->dataOffset);
  for (int r = 0; r < kRamRegions; ++r) {
    if (addr < kRam[r].base || addr - kRam[r].base >= kRam[r].size) continue;
    size_t offset = addr - kRam[r].base;
    if (size > kRam[r].size - offset) return Refuse(card, "load reaches past controller RAM");
    std::vector<uint8_t>& ram = card->ram[r];
    if (ram.size() < offset + size) ram.resize(offset + size);
    memcpy(ram.data() + offset, data, size);
    Note(card, "loaded " + std::to_string(size) + " bytes");
    return kOk;
  }
  return Refuse(card, "no controller RAM at " + Hex(addr));
}

Outcome JumpCodeOp(VCard* card, const uint8_t* b, const uint8_t*, size_t) {
  uint32_t addr = Le32(b + 6);
  if (addr != kShimEntry) return Refuse(card, "nothing to start at " + Hex(addr));
  if (card->cfg.program != kBootRom) return Refuse(card, "the shim is started by the boot ROM");
  if (card->ram[kShimRam].size() <= kShimEntry - kShimBase) return Refuse(card, "no shim loaded");
  if (!card->cfg.faults.shimBroken) card->cfg.program = kShim;
  Note(card, std::string("now ") + ProgramName(card->cfg.program));
  Save(card);
  return kOk;
}

// Opcodes the card knows by name; those with a handler do something, the
// others are accepted and recorded (read-type ones answer zeros).
const VendorOp kVendorOps[] = {
    {0xF0, 0x04, "ReadPar", ReadParOp},
    {0xF0, 0x05, "LoadWProPage", nullptr},
    {0xF0, 0x06, "DumpEraseCount", nullptr},
    {0xF0, 0x0A, "ReadFlashPhy", ReadFlashPhyOp},
    {0xF0, 0x0B, "ReadBufData", nullptr},
    {0xF0, 0x0C, "EraseFlash", nullptr},
    {0xF0, 0x0F, "ReadOPT", nullptr},
    {0xF0, 0x11, "ReadChunkAuto", nullptr},
    {0xF0, 0x12, "ReadDieBaseSysBlk", nullptr},
    {0xF0, 0x1B, "DumpStrongPageTable", nullptr},
    {0xF0, 0x20, "ReadFlashID", ReadFlashIdOp},
    {0xF0, 0x21, "DumpLinkTable", nullptr},
    {0xF0, 0x22, "DumpWordLineTable", nullptr},
    {0xF0, 0x2A, "DumpDramData", nullptr},
    {0xF0, 0x2C, "ResetCPU", ResetCpuOp},
    {0xF0, 0x30, "ReadQelStatus", nullptr},
    {0xF0, 0x32, "DumpH2Ftable", nullptr},
    {0xF0, 0x33, "ReadFlashAuto", nullptr},
    {0xF0, 0x3E, "ReadSmartInfo", nullptr},
    {0xF0, 0x3F, "ReadConfigureTable", ReadConfigureTableOp},
    {0xF0, 0x4A, "ReadChunkPhy", nullptr},
    {0xF0, 0x60, "ActiveMpIspIspCode", ActivateOp},
    {0xF0, 0x61, "RunPretestCode", RunPretestOp},
    {0xF0, 0x64, "WriteEFuse", nullptr},
    {0xF0, 0x6F, "SetProductFlag", nullptr},
    {0xF0, 0xBB, "ManualMarkBad", nullptr},
    {0xF0, 0xBC, "GetRdtResult", nullptr},
    {0xF0, 0xBD, "GetRdtEraseCount", nullptr},
    {0xF0, 0xBE, "DumpLTS", nullptr},
    {0xF0, 0xC1, "CheckISPDLSuccess", nullptr},
    {0xF0, 0xEB, "ReadLogPage", nullptr},
    {0xF1, 0x0B, "WriteFlash", nullptr},
    {0xF1, 0x0E, "SetRetryTable", nullptr},
    {0xF1, 0x27, "WriteMPISPData", WriteMpIspDataOp},
    {0xF1, 0x28, "JumpCode", JumpCodeOp},
    {0xF1, 0x2B, "WriteDramData", nullptr},
    {0xF1, 0x34, "DownloadISPToRAMTSB3D", nullptr},
    {0xF1, 0x35, "ActiveISPTSB3D", nullptr},
    {0xF1, 0x63, "DownloadSignature", nullptr},
    {0xF1, 0x88, "WriteISPDataByFW", nullptr},
};

const VendorOp* FindVendorOp(uint8_t cls, uint8_t op) {
  for (const VendorOp& v : kVendorOps) {
    if (v.cls == cls && v.op == op) return &v;
  }
  return nullptr;
}

// The journal's view of a command block: class, sub-opcode, name and the
// argument bytes the flows use.
std::string DescribeBlock(const uint8_t* b, const VendorOp* op) {
  char head[64];
  snprintf(head, sizeof(head), "VENDOR %02X %02X %s", b[0], b[1], op ? op->name : "unknown");
  std::string s = head;
  uint8_t sub = b[1];
  if (b[0] == 0xF0 && sub == 0x0A) {
    char args[128];
    snprintf(args, sizeof(args), " block=0x%04X page=0x%04X mode=0x%02X die=0x%02X n=%u", Be16(b + 2),
             b[4] | b[7] << 8, b[8], b[10], b[11]);
    s += args;
  } else if ((b[0] == 0xF1 && (sub == 0x27 || sub == 0x28)) || (b[0] == 0xF0 && sub == 0x60)) {
    s += " addr=" + Hex(Le32(b + 6));
  } else if (b[0] == 0xF0 && sub == 0x2C) {
    s += std::string(" rom=") + (b[2] ? "1" : "0");
  } else {
    s += " bytes2-15=";
    for (int i = 2; i < 16; ++i) {
      char hex[4];
      snprintf(hex, sizeof(hex), "%02X", b[i]);
      s += hex;
    }
  }
  return s;
}

// The command block written at 0x946B right after an unlock.
Outcome IssueBlock(VCard* card) {
  const uint8_t* b = card->block;
  const VendorOp* op = FindVendorOp(b[0], b[1]);
  Note(card, DescribeBlock(b, op));
  if (b[0] != 0xF0 && b[0] != 0xF1) return Refuse(card, "not a vendor command class");
  if (card->cfg.faults.failOp == b[1]) return Refuse(card, "--fail-op");
  card->dataSectors = 0;
  card->dataOffset = 0;
  if (b[0] == 0xF1) {
    card->exchange = Exchange::kWriteData;
    return kOk;
  }
  card->answer.clear();
  Outcome result = op && op->run ? op->run(card, b, nullptr, 0) : kOk;
  if (result.error == 0) card->exchange = Exchange::kReadData;
  return result;
}

Outcome RunWriteCommand(VCard* card, const uint8_t* data, size_t size) {
  const VendorOp* op = FindVendorOp(card->block[0], card->block[1]);
  Note(card, std::string("data of ") + (op ? op->name : "unknown vendor command"));
  return op && op->run ? op->run(card, card->block, data, size) : kOk;
}

Outcome UserRead(VCard* card, uint64_t lba, uint32_t count, uint8_t* buf) {
  if (lba == 0 && card->cfg.faults.lba0Unreadable) {
    Note(card, "sector 0 unreadable");
    return Outcome{kUnc, 0};
  }
  size_t bytes = static_cast<size_t>(count) * kSector, done = 0;
  while (done < bytes) {
    ssize_t n = pread(card->sectorsFd, buf + done, bytes - done, static_cast<off_t>(lba * kSector + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Refuse(card, std::string("sector file: ") + strerror(errno));
    if (n == 0) {
      memset(buf + done, 0, bytes - done);  // past the end of a sparse file
      break;
    }
    done += static_cast<size_t>(n);
  }
  return kOk;
}

Outcome UserWrite(VCard* card, uint64_t lba, uint32_t count, const uint8_t* buf) {
  if (lba == 0 && card->cfg.faults.lba0Unwritable) {
    Note(card, "sector 0 unwritable");
    return kRefused;
  }
  size_t bytes = static_cast<size_t>(count) * kSector, done = 0;
  while (done < bytes) {
    ssize_t n = pwrite(card->sectorsFd, buf + done, bytes - done, static_cast<off_t>(lba * kSector + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Refuse(card, std::string("sector file: ") + strerror(errno));
    done += static_cast<size_t>(n);
  }
  return kOk;
}

bool InRange(const VCard* card, uint64_t lba, uint32_t count) {
  return lba <= card->cfg.capacity && count <= card->cfg.capacity - lba;
}

// A data phase that has moved data ends quietly at the first access that
// does not continue it (the host's closing read of 0x946B, or the next
// command's unlock).
void EndDataPhase(VCard* card, Exchange continued, uint64_t lba) {
  if (card->dataSectors == 0) return;
  bool inData = card->exchange == Exchange::kReadData || card->exchange == Exchange::kWriteData;
  if (inData && (card->exchange != continued || lba != kVendorLba + card->dataSectors)) {
    card->exchange = Exchange::kIdle;
  }
}

}  // namespace

void InterruptExchange(VCard* card) {
  if (card->exchange != Exchange::kIdle || card->unlockStep != 0) Note(card, "vendor exchange broken");
  card->exchange = Exchange::kIdle;
  card->unlockStep = 0;
}

Outcome ReadSectors(VCard* card, uint64_t lba, uint32_t count, uint8_t* buf) {
  if (!InRange(card, lba, count)) {
    InterruptExchange(card);
    return Outcome{kIdnf, 0};
  }
  EndDataPhase(card, Exchange::kReadData, lba);
  if (card->exchange == Exchange::kReadData && lba == kVendorLba + card->dataSectors) {
    size_t bytes = static_cast<size_t>(count) * kSector;
    size_t from = static_cast<size_t>(card->dataSectors) * kSector;
    size_t n = from < card->answer.size() ? std::min(bytes, card->answer.size() - from) : 0;
    if (n > 0) memcpy(buf, card->answer.data() + from, n);
    memset(buf + n, 0, bytes - n);
    if (card->dataSectors == 0) Note(card, "vendor data " + std::to_string(card->answer.size()) + " bytes");
    card->dataSectors += count;
    if (static_cast<size_t>(card->dataSectors) * kSector >= card->answer.size()) card->exchange = Exchange::kIdle;
    return kOk;
  }
  // The unlock: a read of sector 0 always (re)starts it; each following read
  // must be the next address; anything else breaks it.
  if (lba == kUnlock[0]) {
    card->exchange = Exchange::kIdle;
    card->unlockStep = 1;
  } else if (card->exchange == Exchange::kIdle && card->unlockStep > 0 && lba == kUnlock[card->unlockStep]) {
    ++card->unlockStep;
  } else {
    InterruptExchange(card);
  }
  if (card->unlockStep == 6) {
    card->unlockStep = 0;
    card->exchange = Exchange::kUnlocked;
    memset(buf, 0, kSector);
    const std::string& id = card->cfg.chipId;
    memcpy(buf + kChipIdOffset, id.data(), std::min(id.size(), kSector - kChipIdOffset));
    Note(card, "unlock answer");
    return count > 1 ? UserRead(card, lba + 1, count - 1, buf + kSector) : kOk;
  }
  if (card->unlockStep > 0) Note(card, "unlock " + std::to_string(card->unlockStep) + "/6");
  return UserRead(card, lba, count, buf);
}

Outcome WriteSectors(VCard* card, uint64_t lba, uint32_t count, const uint8_t* buf) {
  if (!InRange(card, lba, count)) {
    InterruptExchange(card);
    return Outcome{kIdnf, 0};
  }
  EndDataPhase(card, Exchange::kWriteData, lba);
  if (card->exchange == Exchange::kUnlocked && lba == kVendorLba && count == 1) {
    card->exchange = Exchange::kIdle;
    memcpy(card->block, buf, kSector);
    return IssueBlock(card);
  }
  if (card->exchange == Exchange::kWriteData && lba == kVendorLba + card->dataSectors) {
    card->dataOffset = static_cast<size_t>(card->dataSectors) * kSector;
    card->dataSectors += count;
    Outcome out = RunWriteCommand(card, buf, static_cast<size_t>(count) * kSector);
    if (out.error) card->exchange = Exchange::kIdle;
    return out;
  }
  InterruptExchange(card);
  return UserWrite(card, lba, count, buf);
}

void IdentifyData(const VCard* card, uint8_t out[kIdTableSize]) {
  memcpy(out, card->idTable, kIdTableSize);
  auto word = [out](int w) -> uint16_t { return static_cast<uint16_t>(out[2 * w] | out[2 * w + 1] << 8); };
  auto set = [out](int w, uint16_t v) {
    out[2 * w] = static_cast<uint8_t>(v);
    out[2 * w + 1] = static_cast<uint8_t>(v >> 8);
  };
  // What the card itself provides, whatever the firmware's table says:
  // its capacity and its DOWNLOAD MICROCODE support.
  uint64_t cap = card->cfg.capacity, lba28 = std::min<uint64_t>(cap, 0x0FFFFFFF);
  set(60, static_cast<uint16_t>(lba28));
  set(61, static_cast<uint16_t>(lba28 >> 16));
  for (int i = 0; i < 4; ++i) set(100 + i, static_cast<uint16_t>(cap >> (16 * i)));
  set(83, word(83) | 0x4001);
  set(86, word(86) | 0x0001);
  set(119, word(119) | 0x4010);
  set(120, word(120) | 0x4010);
  set(69, card->cfg.faults.noDma ? (word(69) & ~0x0100) : (word(69) | 0x0100));
  set(234, 1);
  set(235, 128);
  const auto& overrides = card->cfg.faults.identify;
  for (const auto& o : overrides) {
    if (o.first != 255) set(o.first, o.second);
  }
  SealIdTable(out);
  for (const auto& o : overrides) {
    if (o.first == 255) set(255, o.second);
  }
}

// --- DOWNLOAD MICROCODE ---

namespace {

// The copy content of a complete microcode image: a whole image, or the
// older raw layout.
bool MicrocodeCopy(const std::vector<uint8_t>& image, std::vector<uint8_t>* copy, std::string* why) {
  if (WholeImageSize(image.data(), image.size()) != 0) {
    return CopyFromWholeImage(image.data(), image.size(), copy, why);
  }
  return CopyFromRawLayout(image.data(), std::min(image.size(), kRawLayoutSize), copy, why);
}

// What an ATA drive keeps across DOWNLOAD MICROCODE: its factory identity.
// Offsets in a copy; the ID table ranges are IDENTIFY words 10-19 (serial),
// 27-46 (model) and 108-111 (WWN).
struct KeptField {
  size_t offset, length;
  bool inIdTable;
};
constexpr KeptField kKeptIdentity[] = {
    {kCopyIdTable + 2 * 10, 20, true},
    {kCopyIdTable + 2 * 27, 40, true},
    {kCopyIdTable + 2 * 108, 8, true},
    {kCopySerial, 20, false},
    {kCopyModel, 40, false},
    {kCopyWwn, 28, false},
};

// Carries the identity of the firmware that ran before into the new copy, so
// that IDENTIFY, a later read-back of the copies and a reboot all agree; the
// firmware revision and code stay the microcode's. A blank copy 1 leaves the
// running ID table as the only source.
void KeepIdentity(VCard* card, std::vector<uint8_t>* copy) {
  std::vector<uint8_t> old;
  bool oldCopy = ReadCopy(card, 1, &old) && old.size() >= kMinCopySize;
  for (const KeptField& f : kKeptIdentity) {
    if (oldCopy) {
      memcpy(copy->data() + f.offset, old.data() + f.offset, f.length);
    } else if (f.inIdTable) {
      memcpy(copy->data() + f.offset, card->idTable + (f.offset - kCopyIdTable), f.length);
    }
  }
  SealIdTable(copy->data() + kCopyIdTable);
  Note(card, "identity kept");
}

// Applies a complete microcode image: it becomes the firmware in both ISP
// copies and runs at once.
Outcome ApplyMicrocode(VCard* card, const std::vector<uint8_t>& image) {
  std::vector<uint8_t> copy;
  std::string why;
  if (!MicrocodeCopy(image, &copy, &why)) return Refuse(card, why);
  if (copy.size() >= kMinCopySize && !card->cfg.faults.dmTakesIdentity) KeepIdentity(card, &copy);
  Outcome result = Program(card, copy);
  if (result.error == 0) Reset(card, false);
  return result;
}

// Bytes a download must reach before it is complete: the length a whole
// image announces (whole blocks), else the raw layout's; 0 while unknown.
size_t ExpectedDownload(const std::vector<uint8_t>& data) {
  if (data.size() < kImageBody5) return 0;
  size_t whole = WholeImageSize(data.data(), data.size());
  if (whole == 0) return kRawLayoutSize;
  return (whole + kSector - 1) / kSector * kSector;
}

}  // namespace

void PowerCut(VCard* card) {
  card->exchange = Exchange::kIdle;
  card->unlockStep = 0;
  card->dmState = kDmIdle;
  card->dmData.clear();
  Reset(card, false);
}

void PowerOn(VCard* card) {
  std::vector<uint8_t> image;
  if (!TakeDeferred(card, &image)) return;
  card->note.clear();
  Outcome result = ApplyMicrocode(card, image);
  Journal(card, "power-on: saved microcode activated; " + card->note + (result.error ? " -> failed" : " -> ok"));
  card->note.clear();
}

Outcome DownloadMicrocode(VCard* card, uint8_t sub, uint32_t blocks, uint32_t offset, const uint8_t* data,
                          bool dma) {
  char head[96];
  snprintf(head, sizeof(head), "DM sub=0x%02X blocks=%u offset=%u", sub, blocks, offset);
  Note(card, head);
  if (card->cfg.program != kIspFirmware) return Refuse(card, "DOWNLOAD MICROCODE is served by the ISP firmware");
  if (dma && card->cfg.faults.noDma) return Refuse(card, "DMA form not supported (--no-dma)");
  uint8_t id[kIdTableSize];
  IdentifyData(card, id);
  unsigned minBlocks = id[2 * 234] | id[2 * 234 + 1] << 8, maxBlocks = id[2 * 235] | id[2 * 235 + 1] << 8;
  std::vector<uint8_t> image;
  Outcome result;
  switch (sub) {
    case 0x03:
    case 0x0E: {
      if (blocks == 0 || blocks > maxBlocks) {
        card->dmState = kDmIdle;
        return Refuse(card, "block count outside the IDENTIFY limits");
      }
      if (offset == 0) {
        card->dmState = kDmReceiving;
        card->dmMode = sub;
        card->dmData.clear();
      } else if (card->dmState != kDmReceiving || card->dmMode != sub ||
                 static_cast<size_t>(offset) * kSector != card->dmData.size()) {
        card->dmState = kDmIdle;
        return Refuse(card, "segment out of order");
      }
      card->dmData.insert(card->dmData.end(), data, data + static_cast<size_t>(blocks) * kSector);
      size_t expected = ExpectedDownload(card->dmData);
      if (expected == 0 || card->dmData.size() < expected) {
        if (blocks < minBlocks) {
          card->dmState = kDmIdle;
          return Refuse(card, "segment below the IDENTIFY minimum");
        }
        result.count = 1;  // more data expected
        break;
      }
      card->dmState = kDmIdle;
      image.swap(card->dmData);
      if (sub == 0x03) {
        result = ApplyMicrocode(card, image);
        result.count = 2;  // applied
      } else {
        std::vector<uint8_t> copy;
        std::string why;
        if (!MicrocodeCopy(image, &copy, &why)) return Refuse(card, why);
        if (!SaveDeferred(card, image)) return Refuse(card, "cannot save the downloaded microcode");
        Note(card, "saved for activation");
        result.count = 3;  // saved, awaiting activation
      }
      break;
    }
    case 0x07:
      image.assign(data, data + static_cast<size_t>(blocks) * kSector);
      result = ApplyMicrocode(card, image);
      result.count = 2;
      break;
    case 0x0F:
      if (!TakeDeferred(card, &image)) return Refuse(card, "no saved microcode to activate");
      result = ApplyMicrocode(card, image);
      result.count = 2;
      break;
    default:
      return Refuse(card, "unknown subcommand");
  }
  if (result.error != 0) return result;
  const std::vector<int>& codes = card->cfg.faults.dmCodes;
  if (card->dmCodeIndex < codes.size()) {
    result.count = static_cast<uint8_t>(codes[card->dmCodeIndex++]);
    Note(card, "completion code overridden");
  }
  return result;
}

}  // namespace vcard
