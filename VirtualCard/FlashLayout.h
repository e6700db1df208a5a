// The card's flash as the controller describes it: the flash ID table, the
// parameter block, where the system block and the two ISP copies sit, and how
// an ISP copy is laid out over the pages and planes of its block.
//
// Fitted dies are filled channel first: die k sits on CE k/4, channel k%4, so
// the logical CE/channel numbers equal the physical ones and a die address
// byte is (CE << 3) | channel. A number from the table's block fields is
// block * dies + rank of the die (CE-major, channel-minor).
#ifndef QEL_VIRTUALCARD_FLASHLAYOUT_H_
#define QEL_VIRTUALCARD_FLASHLAYOUT_H_

#include <stddef.h>
#include <stdint.h>

#include "CardConfig.h"

namespace vcard {

constexpr size_t kFlashIdTableSize = 1024;
constexpr size_t kParameterSize = 7168;
constexpr size_t kSector = 512;

// Where a block number of the table points: block and die rank.
struct BlockPlace {
  int block;
  int rank;
};

// The three blocks the controller reports: system block, ISP copy 1 and 2.
BlockPlace SystemBlock(const Geometry& g);
BlockPlace IspCopyBlock(const Geometry& g, int copy);  // copy 1 or 2
int BlockNumber(const Geometry& g, BlockPlace p);

// Die rank addressed by a die address byte, or -1 when no fitted die has it.
int DieRankOf(const Geometry& g, uint8_t dieAddress);
uint8_t DieAddressOf(int rank);

// The table as ReadFlashID answers it (1024 bytes): program byte, pretest
// result, ready bit, DRAM code, flash type, block count, flash ID, die slots,
// block numbers and die count.
void BuildFlashIdTable(const CardConfig& cfg, uint8_t pretestResult, uint8_t out[kFlashIdTableSize]);

// The parameter block ("QC3300PARA"; page-size and pages-per-block codes,
// plane count) as ReadPar and the system block's page 2 hold it.
void BuildParameterBlock(const Geometry& g, uint8_t out[kParameterSize]);

// Bytes an ISP copy can hold: 1024 in page 0 (the section-4 body), then whole
// plane pages of every later page.
size_t IspCopyCapacity(const Geometry& g);

// Which bytes of an ISP copy a ReadFlashPhy of one plane page of an ISP
// block returns first; the rest of the sectors read (the page's spare sector,
// bytes past the copy's end) read as erased flash, 0xFF. The copy is the
// section-4 body followed by the section-5 body: page 0 plane 0 holds the
// section-4 body, page p >= 1 plane i the section-5 body from
// ((p-1) * planes + i) * page bytes.
struct CopySpan {
  size_t from;
  size_t len;
};
CopySpan IspPageSpan(const Geometry& g, int page, int plane, int sectors);

}  // namespace vcard

#endif  // QEL_VIRTUALCARD_FLASHLAYOUT_H_
