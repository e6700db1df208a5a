// Makes the personalised copy "SWISP.bin" of the set's ISP image: new
// firmware and firmware version from the image, the card's identity carried
// over from its ISP copy (or the serial number typed on the command line),
// section digests refreshed. Also strips an image down to its bare section
// bodies.
#include <string.h>
#include <unistd.h>

#include "EXCMDFunc.h"
#include "FlowGlobals.h"
#include "IspFileIO.h"
#include "IspPersonalize.h"
#include "SHA256.h"

namespace {

// Room for the largest field, the CID area's second part.
enum { kMaxFieldLength = kIspCidSecondPartLength };

const IspField kSerial = {kIspSerialNumber, kIspSerialLength};
const IspField kIdSerial = {kIspIdSerialNumber, kIspSerialLength};
const IspField kWwn = {kIspWwnArea, kIspWwnAreaLength};
const IspField kVendor = {kIspVendorArea, kIspVendorAreaLength};
const IspField kModel = {kIspModelName, kIspModelNameLength};
const IspField kCidFirst = {kIspCidFirstPart, kIspCidFirstPartLength};
const IspField kCidSecond = {kIspCidSecondPart, kIspCidSecondPartLength};

// The firmware revision alone, or with the model number after it.
enum { kKeepFwRevision = 8, kKeepFwRevisionAndModel = 48 };

// 1 initial SN, 2 keepsn, 3 keepsn_1, 4 update, 5 update_1, 6 swap, 7 swap_1.
const PersonalisationMode kModes[] = {
    {1, kFieldsFromTypedSerial, {kSerial, kIdSerial}, 2, kIdTableUntouched, 0},
    {2, kFieldsFromDump, {kSerial, kIdSerial}, 2, kIdTableUntouched, 0},
    {3, kFieldsFromDump, {kWwn, kSerial, kModel, kVendor}, 4, kIdTableFromDump, kKeepFwRevision},
    {4, kFieldsFromDump, {kSerial, kModel, kVendor}, 3, kIdTableFromDump, kKeepFwRevision},
    {5, kFieldsFromDump, {kWwn, kSerial, kVendor}, 3, kIdTableFromCard, kKeepFwRevisionAndModel},
    {6, kFieldsFromDump, {kCidFirst, kCidSecond}, 2, kIdTableFromCard, kKeepFwRevision},
    {7, kFieldsFromDump, {kCidFirst, kCidSecond}, 2, kIdTableFromDump, kKeepFwRevision},
};

// The 20 bytes a typed serial number becomes in an image: ATA string order
// (the two bytes of every pair exchanged), zero after the text.
void EncodeTypedSerial(const char* serial, unsigned char out[kIspSerialLength]) {
  char text[kIspSerialLength] = {};
  memcpy(text, serial, strnlen(serial, sizeof(text)));
  for (int i = 0; i < kIspSerialLength; i += 2) {
    out[i] = (unsigned char)text[i + 1];
    out[i + 1] = (unsigned char)text[i];
  }
}

// Reads the card's 512-byte ID table the way the card reports its identity.
bool ReadCardIdTable(unsigned char* table) {
  memset(table, 0, kIspIdTableSize);
  if (gQel3300->GetAttribute() & kAttrAtaPassThrough) return gQel3300->ReadIdentify(table) == 0;
  return gQel3300->ReadConfigureTable(table) == 0;
}

// Smallest image the mode can personalise without writing past its end.
size_t PersonalisationExtent(const PersonalisationMode& mode) {
  size_t extent = kIspFwVersionCopy + kIspFwVersionLength;
  for (int i = 0; i < mode.fieldCount; ++i) {
    size_t end = (size_t)mode.fields[i].offset + mode.fields[i].length;
    if (end > extent) extent = end;
  }
  if (mode.idTable != kIdTableUntouched && extent < kIspIdTable + kIspIdTableSize) {
    extent = kIspIdTable + kIspIdTableSize;
  }
  return extent;
}

// Everything of ModifyISPFile after the copy was made; prints its failure.
int PersonaliseCopy(const PersonalisationMode& mode) {
  ScopedFile copy(OpenFileNoFollow(UpdateISPDataFile, "rb+"));
  if (!copy) {
    debug_printf(" Cannot open %s!\n", UpdateISPDataFile);
    return 1;
  }
  long copySize = FileSize(copy.get());
  if (copySize < 0 || (size_t)copySize < PersonalisationExtent(mode)) {
    debug_printf("ISP file %s is too short to personalise (%ld bytes)\n", UpdateISPDataFile,
                 copySize);
    return 1;
  }
  // The section-5 header carries the new firmware version.
  unsigned char version[kIspFwVersionLength];
  if (!ReadAt(copy.get(), kIspFwVersion, version, sizeof(version)) ||
      !WriteAt(copy.get(), kIspFwVersionCopy, version, sizeof(version))) {
    debug_printf("Write %s Fail!\n", UpdateISPDataFile);
    return 1;
  }

  ScopedFile dump;
  if (mode.fieldSource == kFieldsFromDump || mode.idTable == kIdTableFromDump) {
    if (DumpISPBlock(ISPDateCodeFile, 0) != 0) {
      debug_printf("Download ISP Check Data Fail!\n");
      return 1;
    }
    dump.reset(fopen(DumpISP2File, "rb"));
    if (!dump) {
      debug_printf(" Cannot open %s!\n", DumpISP2File);
      return 1;
    }
    long dumpSize = FileSize(dump.get());
    if (dumpSize != copySize) {
      debug_printf(" File size error New:%lu/Old:%lu\n", (unsigned long)copySize,
                   (unsigned long)dumpSize);
      return 1;
    }
  }
  // An ID table of zeros or of a stale buffer must never reach the card.
  unsigned char cardIdTable[kIspIdTableSize];
  if (mode.idTable == kIdTableFromCard && !ReadCardIdTable(cardIdTable)) {
    debug_printf("Read ID table from card Fail!\n");
    return 1;
  }

  if (!ApplyPersonalisation(mode, copy.get(), dump.get(), cardIdTable, KEYINSNString) ||
      !CloseChecked(copy.release())) {
    debug_printf("Write %s Fail!\n", UpdateISPDataFile);
    return 1;
  }
  if (CalSHA256(UpdateISPDataFile) != 0) {
    debug_printf("Cal HASH info fail(%s)\n", UpdateISPDataFile);
    return 1;
  }
  return 0;
}

}  // namespace

const PersonalisationMode* FindPersonalisationMode(int mode) {
  for (const PersonalisationMode& row : kModes) {
    if (row.mode == mode) return &row;
  }
  return nullptr;
}

bool ApplyPersonalisation(const PersonalisationMode& mode, FILE* copy, FILE* dump,
                          const unsigned char* cardIdTable, const char* typedSerial) {
  unsigned char field[kMaxFieldLength];
  for (int i = 0; i < mode.fieldCount; ++i) {
    const IspField& f = mode.fields[i];
    if (f.length > sizeof(field)) return false;
    if (mode.fieldSource == kFieldsFromTypedSerial) {
      EncodeTypedSerial(typedSerial, field);
    } else if (dump == nullptr || !ReadAt(dump, f.offset, field, f.length)) {
      return false;
    }
    if (!WriteAt(copy, f.offset, field, f.length)) return false;
  }
  if (mode.idTable == kIdTableUntouched) return true;

  unsigned char table[kIspIdTableSize];
  if (mode.idTable == kIdTableFromCard) {
    memcpy(table, cardIdTable, sizeof(table));
  } else if (dump == nullptr || !ReadAt(dump, kIspIdTable, table, sizeof(table))) {
    return false;
  }
  // The new image's firmware revision (and, for some modes, model number)
  // stays.
  uint32_t kept = kIspIdFwRevision - kIspIdTable;
  if (kept + mode.keptLength > sizeof(table) ||
      !ReadAt(copy, kIspIdFwRevision, table + kept, mode.keptLength)) {
    return false;
  }
  return WriteAt(copy, kIspIdTable, table, sizeof(table));
}

int ModifyISPFile(int mode) {
  const PersonalisationMode* row = FindPersonalisationMode(mode);
  if (row == nullptr) {
    debug_printf("Unknown ISP personalise mode %d\n", mode);
    return 1;
  }
  if (!CopyFile(ISPDateCodeFile, UpdateISPDataFile)) {
    debug_printf("Copy %s to %s Fail!\n", ISPDateCodeFile, UpdateISPDataFile);
    return 1;
  }
  debug_printf("Dump ISP for keep data.................\n");
  if (PersonaliseCopy(*row) != 0) {
    // A half-personalised image must not be mistaken for one ready to write.
    unlink(UpdateISPDataFile);
    return 1;
  }
  debug_printf("Success\n");
  return 0;
}

int ModifyISPFileBypassCSSInfo(char* path) {
  const uint32_t kEndOfTable = 0xFFFFFFFF;

  ScopedFile image(fopen(path, "rb"));
  if (!image) {
    debug_printf("Open ISP Error! Cannot open %s file\n", path);
    return 1;
  }
  FILE* out = OpenFileNoFollow(TempISPDataFile, "w+b");
  if (out == nullptr) {
    debug_printf("Temp ISP Error! Cannot open %s file\n", TempISPDataFile);
    return 1;
  }
  long size = FileSize(image.get());
  unsigned char css[kIspCssHeaderSize];
  bool written = size >= 0 && ReadAt(image.get(), 0, css, sizeof(css));
  for (int i = 0; written && i < kIspSectionEntries; ++i) {
    uint32_t type = LoadLE32(css + kIspSectionTable + kIspSectionEntrySize * i);
    if (type == kEndOfTable) break;
    if (type != 4 && type != 5) continue;
    // A section header gives where its body starts (relative to the
    // section) and how long it is.
    long section = type == 4 ? kIspSection4 : kIspSection5;
    unsigned char header[8];
    written = ReadAt(image.get(), section, header, sizeof(header));
    if (!written) break;
    uint64_t start = (uint64_t)section + LoadLE32(header);
    uint64_t length = LoadLE32(header + 4);
    written = start + length <= (uint64_t)size &&
              CopyRange(image.get(), (long)start, (size_t)length, out);
  }
  if (!CloseChecked(out) || !written) {
    unlink(TempISPDataFile);
    debug_printf("Temp ISP Error! Cannot write %s file from %s\n", TempISPDataFile, path);
    return 1;
  }
  return 0;
}
