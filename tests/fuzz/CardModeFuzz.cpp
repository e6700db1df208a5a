// The card's answers through CheckCardMode and GetSysBlkInfo: a flash ID
// table and a parameter block from the input, then a dump of the ISP
// copies in whatever geometry they describe.
// Input: failing command byte, reference image length (2 bytes), then the
// 1024-byte flash ID table, the 7168-byte parameter block, and the bytes
// the ISP pages are served from.
#include <string.h>

#include <vector>

#include "FlowGlobals.h"
#include "FuzzCard.h"

namespace {

enum { kSection5Body = 0x820 };

bool OneOf(int value, std::initializer_list<int> allowed) {
  for (int a : allowed) {
    if (value == a) return true;
  }
  return false;
}

}  // namespace

int FuzzCardMode(const uint8_t* data, size_t size) {
  FuzzCard& card = NextInput();
  FuzzInput in(data, size);
  card.failAt = in.Byte() % 40;
  size_t referenceLength = kSection5Body + in.Word();
  in.Take(card.flashIdTable.data(), card.flashIdTable.size());
  in.Take(card.parameter.data(), card.parameter.size());
  std::vector<uint8_t> pages(in.Rest(), in.Rest() + in.RestSize());
  card.ispPage = [&](int, int page, int plane, int, uint8_t* out, size_t length) {
    if (pages.empty()) return;
    size_t from = ((size_t)page * 8 + plane) * 512;
    for (size_t i = 0; i < length; ++i) out[i] = pages[(from + i) % pages.size()];
  };

  int result = CheckCardMode();
  if (result == 0 && g_FlashIDTable[kFidISPMode] != 0) {
    const CardMode& m = g_CardMode;
    FuzzCheck(m.IspModeFlag + m.MpIspModeFlag + m.OtherModeFlag == 1, "exactly one mode flag");
    FuzzCheck(m.PlaneCount >= 1 && m.PlaneCount <= 8, "plane count 1 to 8");
    FuzzCheck(OneOf(m.SectorsPerPage, {8, 16, 32, 64}), "sectors per page");
    FuzzCheck(OneOf(m.PagesPerBlock, {64, 128, 192, 256, 258, 512}), "pages per block");
  }
  for (int offset : {kFidISP1Block, kFidISP2Block}) {
    uint16_t word = static_cast<uint16_t>(g_FlashIDTable[offset] | g_FlashIDTable[offset + 1] << 8);
    int32_t block = -1, ce = -1, ch = -1;
    int blockCount = g_FlashIDTable[kFidBlockCount] << 8 | g_FlashIDTable[kFidBlockCount + 1];
    if (GetSysBlkInfo(word, &block, &ce, &ch, blockCount) == 0) {
      FuzzCheck(block >= 0 && block < blockCount, "a found block lies below the block count");
      FuzzCheck(ce >= 0 && ce < 8 && ch >= 0 && ch < 4, "a found die has a logical CE and channel");
    }
  }
  if (result != 0) return 0;

  // The dump in this geometry, of a reference image of the chosen length.
  std::vector<uint8_t> reference(referenceLength, 0);
  reference[0x404] = 0x04;  // section-4 body length 1024, little-endian
  if (!WriteFile(ISPDateCodeFile, reference.data(), reference.size())) return 0;
  DumpISPBlock(ISPDateCodeFile, 1);
  return 0;
}
