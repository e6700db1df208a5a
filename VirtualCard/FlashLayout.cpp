#include "FlashLayout.h"

#include <string.h>

#include <algorithm>

namespace vcard {

namespace {

void PutBe16(uint8_t* p, unsigned v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

// Page-size code (parameter byte 27, low half) per sectors per page.
uint8_t PageSizeCode(int sectorsPerPage) {
  switch (sectorsPerPage) {
    case 8: return 0x01;
    case 16: return 0x02;
    case 32: return 0x04;
    default: return 0x08;
  }
}

// Pages-per-block code: byte 27 high half, or byte 31 bit 7 for 512; 64 has none.
void PagesPerBlockCode(int pagesPerBlock, uint8_t* byte27, uint8_t* byte31) {
  switch (pagesPerBlock) {
    case 128: *byte27 |= 0x10; break;
    case 256: *byte27 |= 0x20; break;
    case 192: *byte27 |= 0x40; break;
    case 258: *byte27 |= 0x80; break;
    case 512: *byte31 |= 0x80; break;
    default: break;
  }
}

}  // namespace

// The system block sits in block 1 on the second die (when there is one), the
// first ISP copy in block 2 on the first die and the second copy in block 2 on
// the last die (block 3 with a single die), so that lookups exercise both
// block and die arithmetic.
BlockPlace SystemBlock(const Geometry& g) { return {1, std::min(1, g.dies - 1)}; }

BlockPlace IspCopyBlock(const Geometry& g, int copy) {
  if (copy == 1) return {2, 0};
  return g.dies > 1 ? BlockPlace{2, g.dies - 1} : BlockPlace{3, 0};
}

int BlockNumber(const Geometry& g, BlockPlace p) { return p.block * g.dies + p.rank; }

int DieRankOf(const Geometry& g, uint8_t dieAddress) {
  int ce = (dieAddress >> 3) & 7, ch = dieAddress & 7;
  if ((dieAddress & 0xC0) != 0 || ch > 3) return -1;
  int rank = ce * 4 + ch;
  return rank < g.dies ? rank : -1;
}

uint8_t DieAddressOf(int rank) { return static_cast<uint8_t>(((rank / 4) << 3) | (rank % 4)); }

void BuildFlashIdTable(const CardConfig& cfg, uint8_t pretestResult, uint8_t out[kFlashIdTableSize]) {
  const Geometry& g = cfg.geo;
  memset(out, 0, kFlashIdTableSize);
  out[1] = pretestResult;
  out[4] = cfg.program;
  if (cfg.program == kIspFirmware && cfg.ready) out[9] = 0x80;
  out[12] = static_cast<uint8_t>(g.dramCode);
  if (g.l06b) out[13] = 0x04;
  PutBe16(out + 16, static_cast<unsigned>(g.blocks));
  memcpy(out + 32, g.flashId, 8);
  for (int rank = 0; rank < g.dies; ++rank) {
    int ce = rank / 4, ch = rank % 4;
    memcpy(out + 48 + 32 * ce + 8 * ch, g.flashId, 8);
  }
  PutBe16(out + 560, static_cast<unsigned>(BlockNumber(g, SystemBlock(g))));
  PutBe16(out + 564, static_cast<unsigned>(BlockNumber(g, IspCopyBlock(g, 1))));
  PutBe16(out + 566, static_cast<unsigned>(BlockNumber(g, IspCopyBlock(g, 2))));
  out[639] = static_cast<uint8_t>(g.dies);
}

void BuildParameterBlock(const Geometry& g, uint8_t out[kParameterSize]) {
  memset(out, 0, kParameterSize);
  memcpy(out, "QC3300PARA", 10);
  uint8_t byte27 = PageSizeCode(g.sectorsPerPage), byte31 = 0;
  PagesPerBlockCode(g.pagesPerBlock, &byte27, &byte31);
  out[27] = byte27;
  out[29] = static_cast<uint8_t>((g.planes - 1) << 5);
  out[31] = byte31;
}

size_t IspCopyCapacity(const Geometry& g) {
  return 1024 + static_cast<size_t>(g.pagesPerBlock - 1) * g.planes * g.sectorsPerPage * kSector;
}

CopySpan IspPageSpan(const Geometry& g, int page, int plane, int sectors) {
  size_t pageBytes = static_cast<size_t>(g.sectorsPerPage) * kSector;
  CopySpan span{0, 0};
  if (page == 0) {
    if (plane == 0) span.len = 1024;
  } else {
    span.from = 1024 + (static_cast<size_t>(page - 1) * g.planes + plane) * pageBytes;
    span.len = pageBytes;
  }
  span.len = std::min(span.len, static_cast<size_t>(sectors) * kSector);
  return span;
}

}  // namespace vcard
