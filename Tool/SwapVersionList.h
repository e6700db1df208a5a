// Pieces of the firmware version gate that need no card: the version field
// of an ISP image or dump, and the numbered version lists of "FWVerDB.ini".
#ifndef QEL_TOOL_SWAPVERSIONLIST_H_
#define QEL_TOOL_SWAPVERSIONLIST_H_

#include "IspLayout.h"

// A numbered list is never read past this number.
enum { kVersionListMax = 1024 };

// Reads the version field (kIspFwVersion, the same place in an image and in a
// dump of the card) of `path` into `out` (kIspFwVersionLength + 1 bytes),
// NUL-terminated and untrimmed; a file too short for the field gives the part
// present. False when the file cannot be opened.
bool ReadFirmwareVersion(const char* path, char* out);

// Walks "<keyPrefix>1", "<keyPrefix>2", ... of `section` in INI file `iniFile`
// until the first number whose key is absent (or kVersionListMax) and returns
// the highest number whose value equals `version`, or 0 when none does.
int FindListedVersion(const char* iniFile, const char* section, const char* keyPrefix,
                      const char* version);

#endif  // QEL_TOOL_SWAPVERSIONLIST_H_
