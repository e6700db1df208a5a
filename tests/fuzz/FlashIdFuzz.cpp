// "FLASHID.bin" through CheckFlashID, against a card flash ID table taken
// from the input too: the first 1024 bytes are the card's table, the rest
// is the file (its size picks the 5-byte, 6-byte or table form).
#include <string.h>

#include "FlowGlobals.h"
#include "FuzzCard.h"

int FuzzFlashId(const uint8_t* data, size_t size) {
  NextInput();
  FuzzInput in(data, size);
  in.Take(g_FlashIDTable, FuzzCard::kFlashIdBytes);
  if (!WriteFile(FlashIDCodeFile, in.Rest(), in.RestSize())) return 0;
  unsigned char table[sizeof g_FlashIDTable];
  memcpy(table, g_FlashIDTable, sizeof table);
  CheckFlashID();
  FuzzCheck(memcmp(table, g_FlashIDTable, sizeof table) == 0, "the check leaves the card's table alone");
  return 0;
}
