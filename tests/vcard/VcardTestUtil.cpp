#include "VcardTestUtil.h"

#include <scsi/sg.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include <algorithm>

#include "Card.h"
#include "E2E.h"
#include "IspImage.h"

namespace vtest {

namespace {
constexpr uint32_t kUnlockLbas[6] = {0x0000, 0x006B, 0x6B00, 0x0094, 0x9400, 0x946B};
constexpr uint32_t kVendorLba = 0x946B;

}  // namespace

// Every folder a test process makes lives under one, removed at exit.
std::string TempDir() {
  // Never destroyed: the exit handler still needs the name.
  static const std::string* root = [] {
    auto* dir = new std::string(e2e::MakeTempDir("vcard-test"));
    if (!dir->empty()) atexit([] { e2e::RemoveTree(*root); });
    return dir;
  }();
  static int next = 0;
  if (root->empty()) return "";
  std::string dir = *root + "/" + std::to_string(next++);
  return mkdir(dir.c_str(), 0700) == 0 ? dir : "";
}

VCard* NewCard(const std::vector<std::string>& options, std::string* dirOut) {
  std::string dir = TempDir() + "/card", err;
  vcard::CardConfig cfg;
  vcard::IdentityEdit identity;
  if (!vcard::ApplyOptions(options, &cfg, &identity, &err) || !vcard::CreateCard(dir, cfg, identity, &err)) {
    return nullptr;
  }
  if (dirOut) *dirOut = dir;
  char why[256];
  return vcard_open(dir.c_str(), why, sizeof(why));
}

Block MakeBlock(uint8_t cls, uint8_t op, uint32_t addr) {
  Block b{};
  b[0] = cls;
  b[1] = op;
  for (int i = 0; i < 4; ++i) b[6 + i] = static_cast<uint8_t>(addr >> (8 * i));
  return b;
}

std::vector<uint8_t> Unlock(VCard* card) {
  std::vector<uint8_t> sector(512);
  for (uint32_t lba : kUnlockLbas) vcard_read(card, lba, 1, sector.data());
  return sector;
}

int VendorRead(VCard* card, const Block& block, uint32_t sectors, std::vector<uint8_t>* data) {
  Unlock(card);
  if (vcard_write(card, kVendorLba, 1, block.data()) != 0) return -6;
  if (sectors == 0) return 0;
  data->assign(sectors * 512, 0);
  return vcard_read(card, kVendorLba, sectors, data->data()) == 0 ? 0 : -7;
}

int VendorWrite(VCard* card, const Block& block, const std::vector<uint8_t>& data) {
  Unlock(card);
  if (vcard_write(card, kVendorLba, 1, block.data()) != 0) return -6;
  std::vector<uint8_t> padded(data);
  padded.resize((data.size() + 511) / 512 * 512, 0);
  int rc = vcard_write(card, kVendorLba, static_cast<uint32_t>(padded.size() / 512), padded.data()) == 0 ? 0 : -7;
  vcard_read(card, kVendorLba, 1, padded.data());
  return rc;
}

std::vector<uint8_t> ReadFlashId(VCard* card) {
  std::vector<uint8_t> table;
  VendorRead(card, MakeBlock(0xF0, 0x20), 2, &table);
  return table;
}

int ResetCpu(VCard* card, bool toRom) {
  Block b = MakeBlock(0xF0, 0x2C);
  b[2] = toRom ? 1 : 0;
  std::vector<uint8_t> answer;
  return VendorRead(card, b, 1, &answer);
}

int Load(VCard* card, uint32_t addr, const std::vector<uint8_t>& data) {
  for (size_t off = 0; off < data.size(); off += 65536) {
    size_t n = std::min<size_t>(65536, data.size() - off);
    int rc = VendorWrite(card, MakeBlock(0xF1, 0x27, addr + static_cast<uint32_t>(off)),
                         std::vector<uint8_t>(data.begin() + off, data.begin() + off + n));
    if (rc != 0) return rc;
  }
  return 0;
}

int JumpCode(VCard* card, uint32_t addr) {
  return VendorWrite(card, MakeBlock(0xF1, 0x28, addr), std::vector<uint8_t>(512, 0));
}

int Activate(VCard* card, uint32_t addr) {
  std::vector<uint8_t> answer;
  return VendorRead(card, MakeBlock(0xF0, 0x60, addr), 1, &answer);
}

int RunPretest(VCard* card) {
  std::vector<uint8_t> answer;
  return VendorRead(card, MakeBlock(0xF0, 0x61), 1, &answer);
}

int ReadFlashPhy(VCard* card, int block, int page, int mode, int die, int sectors, std::vector<uint8_t>* data) {
  Block b = MakeBlock(0xF0, 0x0A);
  b[2] = static_cast<uint8_t>(block >> 8);
  b[3] = static_cast<uint8_t>(block);
  b[4] = static_cast<uint8_t>(page);
  b[7] = static_cast<uint8_t>(page >> 8);
  b[8] = static_cast<uint8_t>(mode);
  b[10] = static_cast<uint8_t>(die);
  b[11] = static_cast<uint8_t>(sectors);
  return VendorRead(card, b, static_cast<uint32_t>(sectors), data);
}

SgResult Ata(VCard* card, uint8_t command, uint8_t features, uint8_t count, uint32_t lba, int protocol,
             uint8_t* data, uint32_t len, bool ckCond) {
  static const uint8_t kByte1[] = {0x06, 0x08, 0x0A, 0x08, 0x0C};  // 4: DMA
  static const uint8_t kByte2[] = {0x20, 0x2E, 0x26, 0x2E, 0x26};
  uint8_t cdb[16] = {0x85, kByte1[protocol], static_cast<uint8_t>(kByte2[protocol] & (ckCond ? 0xFF : ~0x20)), 0,
                     features, 0, count, 0, static_cast<uint8_t>(lba), 0, static_cast<uint8_t>(lba >> 8), 0,
                     static_cast<uint8_t>(lba >> 16), static_cast<uint8_t>(0xE0 | ((lba >> 24) & 0x0F)), command};
  sg_io_hdr_t h{};
  SgResult r;
  h.interface_id = 'S';
  h.dxfer_direction = protocol == 0 ? SG_DXFER_NONE : (protocol == 1 ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV);
  h.cmd_len = 16;
  h.cmdp = cdb;
  h.dxfer_len = len;
  h.dxferp = data;
  h.mx_sb_len = 32;
  h.sbp = r.sense;
  r.ret = vcard_sg_io(card, &h);
  r.status = h.status;
  r.senseLen = h.sb_len_wr;
  r.resid = h.resid;
  return r;
}

std::vector<uint8_t> Identify(VCard* card) {
  std::vector<uint8_t> id(512);
  Ata(card, 0xEC, 0, 1, 0, 1, id.data(), 512);
  return id;
}

uint16_t Word(const std::vector<uint8_t>& id, int word) {
  return static_cast<uint16_t>(id[2 * word] | id[2 * word + 1] << 8);
}

std::string Firmware(VCard* card) { return vcard::GetAtaString(Identify(card).data() + 46, 8); }

SgResult Download(VCard* card, uint8_t sub, uint16_t blocks, uint16_t offset, const uint8_t* data, bool dma,
                  bool ckCond) {
  uint8_t command = dma ? 0x93 : 0x92;
  if (sub == 0x0F) return Ata(card, command, sub, 0, 0, 0, nullptr, 0, ckCond);
  std::vector<uint8_t> buf(data, data + blocks * 512);
  return Ata(card, command, sub, static_cast<uint8_t>(blocks), (blocks >> 8) | static_cast<uint32_t>(offset) << 8,
             dma ? 4 : 2, buf.data(), static_cast<uint32_t>(buf.size()), ckCond);
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace vtest
