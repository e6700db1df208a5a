// What each personalisation mode carries into the new image: fields from the
// card's dump (same offsets, since a dump has the image's layout), the ID
// table from the dump or from the card, or the serial number typed after
// "initial".
#ifndef QEL_TOOL_ISPPERSONALIZE_H_
#define QEL_TOOL_ISPPERSONALIZE_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "IspLayout.h"

// Where a mode's replacement ID table comes from.
enum IdTableSource {
  kIdTableUntouched,
  kIdTableFromDump,
  kIdTableFromCard,  // IDENTIFY over ATA, the configuration table otherwise
};

// Where a mode's field values come from.
enum FieldSource {
  kFieldsFromDump,
  kFieldsFromTypedSerial,  // every field is a 20-byte serial number
};

struct IspField {
  uint32_t offset;
  uint32_t length;
};

enum { kMaxModeFields = 4 };

struct PersonalisationMode {
  int mode;
  FieldSource fieldSource;
  IspField fields[kMaxModeFields];
  int fieldCount;
  IdTableSource idTable;
  uint32_t keptLength;  // bytes of the new image kept at kIspIdFwRevision
};

// The mode's row, or null for a mode other than 1 to 7.
const PersonalisationMode* FindPersonalisationMode(int mode);

// Applies the mode's changes to the open `copy`: fields taken from `dump`
// (null unless the mode reads the dump) or from `typedSerial`, and the ID
// table from `dump` or `cardIdTable` (kIspIdTableSize bytes). Every read and
// write is checked; false on the first shortfall.
bool ApplyPersonalisation(const PersonalisationMode& mode, FILE* copy, FILE* dump,
                          const unsigned char* cardIdTable, const char* typedSerial);

#endif  // QEL_TOOL_ISPPERSONALIZE_H_
