// The check that the flash fitted on the card is the flash an image set was
// made for, against the set's FLASHID.bin.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "EXCMDFunc.h"
#include "FlowGlobals.h"

namespace {

enum { kReferenceSize = 1024, kDieIDSize = 8, kDieSlotCount = 32, kDieSlotsSize = 256 };

const unsigned char* DieSlot(const unsigned char* table, int ce, int ch) {
  return table + g_FlashIDOffset + 32 * ce + 8 * ch;
}

// Short and long forms: the reference is the start of one die's ID, found
// in any of the card's die slots.
bool CheckDieIDPrefix(const unsigned char* card, const unsigned char* reference, size_t length) {
  debug_printf("Check Flash ID %d bytes with <FLASHID.bin>\n", static_cast<int>(length));
  for (int slot = 0; slot < kDieSlotCount; ++slot) {
    if (memcmp(card + g_FlashIDOffset + kDieIDSize * slot, reference, length) == 0) return false;
  }
  debug_printf("Cannot Found The same FLashID\n");
  return true;
}

// Table image, card in its ISP firmware: the firmware reports the flash ID,
// die count and DRAM setting itself.
bool CheckRunningFirmware(const unsigned char* card, const unsigned char* file) {
  if (memcmp(card + kFidFlashID, file + kFidFlashID, 8) != 0) {
    debug_printf("Flash ID Error(Offset-0x20)\n");
    return true;
  }
  if (card[kFidDieCount] != file[kFidDieCount]) {
    debug_printf("Die Count dismach(Card:%d, File:%d)\n", card[kFidDieCount], file[kFidDieCount]);
    return true;
  }
  if (card[kFidDramCode] != file[kFidDramCode]) {
    debug_printf("DRAM setting dismach(CardMode2:%02Xh, File:%02Xh)\n", card[kFidDramCode],
                 file[kFidDramCode]);
    return true;
  }
  return false;
}

// Table image, card in the boot ROM or a loader: the first die must carry
// the same ID, and the same dies must be fitted (same ID as the first).
bool CheckFittedDies(const unsigned char* card, const unsigned char* file) {
  debug_printf("Check Flash ID CE/CH map with <FLASHID.bin>\n");
  const unsigned char* first = DieSlot(file, 0, 0);
  if (memcmp(first, DieSlot(card, 0, 0), kDieIDSize) != 0) {
    debug_printf("flash error,Please Check you flash\n");
    return true;
  }
  for (int ce = 0; ce < 8; ++ce) {
    for (int ch = 0; ch < 4; ++ch) {
      bool onCard = memcmp(DieSlot(card, ce, ch), first, kDieIDSize) == 0;
      bool inFile = memcmp(DieSlot(file, ce, ch), first, kDieIDSize) == 0;
      if (onCard != inFile) {
        debug_printf("flash error,Please Check you flash(CH:%d,CE%d)\n", ch, ce);
        return true;
      }
    }
  }
  return false;
}

}  // namespace

bool CheckFlashID() {
  debug_printf("Checking Flash ID......................\n");
  debug_printf("File:%s\n", FlashIDCodeFile);
  // The die slots must lie inside the table.
  if (g_FlashIDOffset < 0 || g_FlashIDOffset > kReferenceSize - kDieSlotsSize) {
    debug_printf("Flash ID offset %d out of range\n", g_FlashIDOffset);
    return true;
  }
  struct stat status;
  if (stat(FlashIDCodeFile, &status) != 0) {
    debug_printf("FLASHID.bin not exist!\n");
    return true;
  }
  FILE* file = fopen(FlashIDCodeFile, "rb");
  if (file == nullptr) {
    debug_printf("Cannot open FLASHID.bin file\n");
    return true;
  }
  // A table image shorter than the table compares as if padded with zeros.
  unsigned char reference[kReferenceSize] = {};
  size_t length = fread(reference, 1, sizeof(reference), file);
  fclose(file);

  const unsigned char* card = g_FlashIDTable;
  bool failed;
  if (length == 5 || length == 6) {
    failed = CheckDieIDPrefix(card, reference, length);
  } else if (card[kFidISPMode] == 2) {
    failed = CheckRunningFirmware(card, reference);
  } else {
    failed = CheckFittedDies(card, reference);
  }
  if (failed) return true;
  debug_printf("Success\n");
  return false;
}
