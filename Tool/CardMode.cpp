// The card's own records: the flash ID table, the parameter block of the
// system block, the geometry derived from both, and the maps between
// physical and logical dies.
#include <string.h>

#include "EXCMDFunc.h"
#include "FlowGlobals.h"

unsigned char g_FlashIDTable[kFlashIDTableSize];
unsigned char g_Parameter[kParameterSize];
CardMode g_CardMode;

uint8_t CEmapPerCH[4];
uint32_t TotalDieCnt;
uint8_t LCE2PCEmap[8];
uint8_t PCE2LCEmap[8];
uint8_t LCH2PCHmap[4];
uint8_t PCH2LCHmap[4];

namespace {

enum { kCEs = 8, kChannels = 4, kDieIDSize = 8 };

const int kParameterPage = 2;
const int kParameterSectors = 14;
const int kReadParameterMode = 0x11;

// Parameter block offsets.
enum {
  kParFlags = 10,
  kParCounts = 11,
  kParPageCodes = 27,
  kParPlanes = 29,
  kParLongBlock = 31,
  kParLowShift = 62,
};

bool DieMatchesFirst(const unsigned char* table, int ce, int ch) {
  return memcmp(table + kFidDieSlots + 32 * ce + 8 * ch, table + kFidDieSlots, kDieIDSize) == 0;
}

int BigEndian16(const unsigned char* p) { return (p[0] << 8) | p[1]; }

// The first listed bit of `code` that is set picks its value.
struct CodeBit {
  uint8_t bit;
  int32_t value;
};

const CodeBit kSectorsPerPage[] = {{0x01, 8}, {0x02, 16}, {0x04, 32}, {0x08, 64}};
const CodeBit kPagesPerBlock[] = {{0x10, 128}, {0x20, 256}, {0x40, 192}, {0x80, 258}};

template <size_t N>
bool DecodeBits(const CodeBit (&codes)[N], uint8_t code, int32_t* value) {
  for (const CodeBit& c : codes) {
    if (code & c.bit) {
      *value = c.value;
      return true;
    }
  }
  return false;
}

}  // namespace

void BuildDieMaps(const unsigned char* table) {
  memset(CEmapPerCH, 0, sizeof(CEmapPerCH));
  TotalDieCnt = 0;
  uint32_t dieCount = table[kFidDieCount];
  for (int ce = 0; ce < kCEs; ++ce) {
    for (int ch = 0; ch < kChannels; ++ch) {
      if (!DieMatchesFirst(table, ce, ch)) continue;
      ++TotalDieCnt;
      // Only the first dieCount matching dies are fitted.
      if (dieCount >= TotalDieCnt) CEmapPerCH[ch] |= 1 << ce;
    }
  }

  memset(LCE2PCEmap, 0xFF, sizeof(LCE2PCEmap));
  memset(PCE2LCEmap, 0xFF, sizeof(PCE2LCEmap));
  memset(LCH2PCHmap, 0xFF, sizeof(LCH2PCHmap));
  memset(PCH2LCHmap, 0xFF, sizeof(PCH2LCHmap));
  int logical = 0;
  for (int ce = 0; ce < kCEs; ++ce) {
    for (int ch = 0; ch < kChannels; ++ch) {
      if (!DieMatchesFirst(table, ce, ch)) continue;
      LCE2PCEmap[logical] = ce;
      PCE2LCEmap[ce] = logical++;
      break;
    }
  }
  logical = 0;
  for (int ch = 0; ch < kChannels; ++ch) {
    for (int ce = 0; ce < kCEs; ++ce) {
      if (!DieMatchesFirst(table, ce, ch)) continue;
      LCH2PCHmap[logical] = ch;
      PCH2LCHmap[ch] = logical++;
      break;
    }
  }
}

CardMode DeriveCardMode(const unsigned char* table, const unsigned char* par) {
  CardMode mode = {};
  uint8_t flags = par[kParFlags];
  mode.ParBit2Flag = (flags & 0x04) && !(flags & 0x02);
  mode.ParBit1Flag = (flags & 0x02) != 0;
  uint8_t program = table[kFidISPMode];
  mode.IspModeFlag = program == 2;
  mode.MpIspModeFlag = program == 1;
  mode.OtherModeFlag = program != 0 && program != 1 && program != 2;

  mode.PlaneCount = (par[kParPlanes] >> 5) + 1;
  mode.ParCountHigh = ((par[kParCounts] >> 3) & 7) + 1;
  uint32_t low = (par[kParCounts] & 7) + 1;
  if (flags & 0x01) low <<= par[kParLowShift] & 31;
  mode.ParCountLow = static_cast<int32_t>(low);

  mode.SectorsPerPage = 8;
  DecodeBits(kSectorsPerPage, par[kParPageCodes], &mode.SectorsPerPage);
  mode.SectorsPerMultiPlanePage = mode.PlaneCount * mode.SectorsPerPage;
  if (!DecodeBits(kPagesPerBlock, par[kParPageCodes], &mode.PagesPerBlock)) {
    mode.PagesPerBlock = (par[kParLongBlock] & 0x80) ? 512 : 64;
  }
  mode.BlockCount = BigEndian16(table + kFidBlockCount);
  return mode;
}

int GetSysBlkInfo(uint16_t sysBlock, int32_t* outBlock, int32_t* outLogicalCE,
                  int32_t* outLogicalCH, int32_t blockCount) {
  // The number was read from the table in little-endian order; the table
  // holds it big-endian.
  int wanted = static_cast<uint16_t>((sysBlock >> 8) | (sysBlock << 8));
  int fitted = 0;
  for (int ch = 0; ch < kChannels; ++ch) fitted += __builtin_popcount(CEmapPerCH[ch]);
  if (fitted == 0) return 1;
  // Numbers run over the fitted dies (CE-major, channel-minor) of block 0,
  // then of block 1, and so on.
  int block = wanted / fitted;
  int rank = wanted % fitted;
  if (block >= blockCount) return 1;
  for (int ce = 0; ce < kCEs; ++ce) {
    for (int ch = 0; ch < kChannels; ++ch) {
      if (!(CEmapPerCH[ch] & (1 << ce))) continue;
      if (rank-- > 0) continue;
      *outBlock = block;
      *outLogicalCE = static_cast<int8_t>(PCE2LCEmap[ce]);
      *outLogicalCH = static_cast<int8_t>(PCH2LCHmap[ch]);
      return 0;
    }
  }
  return 1;
}

int CheckCardMode() {
  if (gQel3300->ReadFlashID(g_FlashIDTable) != 0) {
    debug_printf("Read Flash ID Fail\n");
    return 1;
  }
  BuildDieMaps(g_FlashIDTable);
  // The boot ROM has no system block to read.
  if (g_FlashIDTable[kFidISPMode] == 0) return 0;

  uint16_t sysBlock = g_FlashIDTable[kFidSysBlock] | (g_FlashIDTable[kFidSysBlock + 1] << 8);
  int32_t block, logicalCE, logicalCH;
  if (GetSysBlkInfo(sysBlock, &block, &logicalCE, &logicalCH,
                    BigEndian16(g_FlashIDTable + kFidBlockCount)) != 0) {
    debug_printf("Tran Sys block fail\n");
    return 1;
  }
  int dieAddress = ((logicalCE << 3) & 0x38) | (logicalCH & 7);
  if (gQel3300->ReadFlashPhy(block, kParameterPage, 0, 0, kReadParameterMode, dieAddress, 0, 0, 0,
                             kParameterSectors, g_Parameter) != 0) {
    debug_printf("Read Par Fail\n");
    return 1;
  }
  g_CardMode = DeriveCardMode(g_FlashIDTable, g_Parameter);
  return 0;
}

void ShowCMDtype() {
  uint32_t attribute = gQel3300->GetAttribute();
  if (attribute & kAttrAtaPassThrough) {
    debug_printf("AP: %s(%d), ATA-PIO(0x20/0x30)\n", APP_VERSION, GetLibVersion());
  } else if (attribute & kAttrScsi) {
    debug_printf("AP: %s(%d), SCSI\n", APP_VERSION, GetLibVersion());
  }
}

int CheckInfoString() {
  CheckCardMode();
  if (memcmp(g_Parameter, "QC3300PARA", 10) != 0) {
    debug_printf("Check Signature Fail\n");
    return 1;
  }
  return 0;
}
