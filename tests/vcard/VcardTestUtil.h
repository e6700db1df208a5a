// Helpers for the virtual card's tests: temporary cards, SG_IO requests, and
// vendor commands sent the way the tool's channel sends them (six unlock
// reads, the command block at 0x946B, the data phase).
#ifndef QEL_TESTS_VCARD_VCARDTESTUTIL_H_
#define QEL_TESTS_VCARD_VCARDTESTUTIL_H_

#include <stdint.h>

#include <array>
#include <string>
#include <vector>

#include "CardModel.h"

namespace vtest {

using Block = std::array<uint8_t, 512>;

std::string TempDir();  // a fresh empty folder
// Creates a card with "create" options in a fresh folder and opens it.
VCard* NewCard(const std::vector<std::string>& options, std::string* dir = nullptr);
// A vendor command block: class, sub-opcode, a little-endian address at 6.
Block MakeBlock(uint8_t cls, uint8_t op, uint32_t addr = 0);
std::vector<uint8_t> Unlock(VCard* card);  // returns the answer sector
// Unlock, block, data phase. 0, or -6 when the block is refused, -7 the data.
int VendorRead(VCard* card, const Block& block, uint32_t sectors, std::vector<uint8_t>* data);
int VendorWrite(VCard* card, const Block& block, const std::vector<uint8_t>& data);

std::vector<uint8_t> ReadFlashId(VCard* card);
int ResetCpu(VCard* card, bool toRom);
int Load(VCard* card, uint32_t addr, const std::vector<uint8_t>& data);  // 64 KiB chunks
int JumpCode(VCard* card, uint32_t addr);
int Activate(VCard* card, uint32_t addr);
int RunPretest(VCard* card);
int ReadFlashPhy(VCard* card, int block, int page, int mode, int die, int sectors, std::vector<uint8_t>* data);

struct SgResult {
  int ret = 0, status = 0, senseLen = 0, resid = 0;
  uint8_t sense[32] = {};
  uint8_t ataError() const { return sense[11]; }
  uint8_t ataCount() const { return sense[13]; }
  uint8_t ataStatus() const { return sense[21]; }
};

// ATA PASS-THROUGH (16), 28-bit form. protocol: 0 none, 1 PIO in, 2 PIO out, 4 DMA out.
SgResult Ata(VCard* card, uint8_t command, uint8_t features, uint8_t count, uint32_t lba, int protocol,
             uint8_t* data, uint32_t len, bool ckCond = true);
std::vector<uint8_t> Identify(VCard* card);
uint16_t Word(const std::vector<uint8_t>& id, int word);
std::string Firmware(VCard* card);  // IDENTIFY words 23-26
// DOWNLOAD MICROCODE of blocks x 512 bytes at data, as the tool sends it.
SgResult Download(VCard* card, uint8_t sub, uint16_t blocks, uint16_t offset, const uint8_t* data, bool dma = false,
                  bool ckCond = true);
std::string ReadText(const std::string& path);

}  // namespace vtest

#endif  // QEL_TESTS_VCARD_VCARDTESTUTIL_H_
