// The section digests of an ISP image file: the refresher and the table
// lookup of the 1024-byte CSS header. Kept apart from the digest engine so
// the engine can be linked alone.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "EXCMDFunc.h"
#include "SHA256.h"

namespace {

// The CSS header: the first 1024 bytes of an ISP image, with a table of up to
// seven 48-byte section entries at 656. Sections 4 and 5 sit at fixed places.
constexpr long kHeaderSize = 1024;
constexpr int kTableOffset = 656;
constexpr int kEntrySize = 48;
constexpr int kTableEntries = 7;
constexpr int kLookupPositions = 8;  // the lookup also compares the word at 992
constexpr int kDigestOffset = 16;
constexpr int kDigestSize = 32;
constexpr uint32_t kEndOfTable = 0xFFFFFFFF;

struct SectionPlace {
  uint32_t type;
  uint32_t start;  // holds the header length at +0 and the body length at +4
};
const SectionPlace kSections[] = {{4, 0x400}, {5, 0x810}};

uint32_t ReadLE32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

constexpr size_t kReadPiece = 1 << 16;

// Digests `length` bytes of the file from `offset`, read piece by piece so
// that memory does not grow with the image. False when they cannot be read.
bool DigestRange(FILE* file, long offset, uint64_t length, unsigned char* digest) {
  if (fseek(file, offset, SEEK_SET) != 0) return false;
  unsigned char piece[kReadPiece];
  SHA256_CTX ctx;
  sha256_init(&ctx);
  while (length > 0) {
    size_t n = length < kReadPiece ? static_cast<size_t>(length) : kReadPiece;
    if (fread(piece, 1, n, file) != n) return false;
    sha256_update(&ctx, piece, static_cast<unsigned int>(n));
    length -= n;
  }
  sha256_final(&ctx, digest);
  return true;
}

// Byte range of a section: from its start, header length plus body length.
// False when the section header or the range lies beyond the image's end.
bool SectionRange(FILE* file, uint64_t imageSize, uint32_t start, uint64_t* length) {
  unsigned char lengths[8];
  if (start + 8u > imageSize || fseek(file, start, SEEK_SET) != 0 ||
      fread(lengths, 1, sizeof(lengths), file) != sizeof(lengths)) {
    return false;
  }
  *length = static_cast<uint64_t>(ReadLE32(lengths)) + ReadLE32(lengths + 4);
  return start + *length <= imageSize;
}

enum RefreshResult { kRefreshed, kSectionPastEnd, kReadFailed };

// Computes the new header into header (a copy of the image's first 1024
// bytes). *badSection receives the type of a section that does not fit.
RefreshResult RefreshDigests(FILE* file, uint64_t imageSize, unsigned char* header,
                             uint32_t* badSection) {
  for (int i = 0; i < kTableEntries; ++i) {
    unsigned char* entry = header + kTableOffset + kEntrySize * i;
    uint32_t type = ReadLE32(entry);
    if (type == kEndOfTable) break;
    for (const SectionPlace& section : kSections) {
      if (type != section.type) continue;
      uint64_t length = 0;
      if (!SectionRange(file, imageSize, section.start, &length)) {
        *badSection = type;
        return kSectionPastEnd;
      }
      if (!DigestRange(file, section.start, length, entry + kDigestOffset)) return kReadFailed;
    }
  }
  return kRefreshed;
}

// The image's header as read, and the same header with its section
// digests computed afresh from the file.
struct HeaderPair {
  unsigned char stored[kHeaderSize];
  unsigned char fresh[kHeaderSize];
};

// Opens the image with `mode` and fills both headers. Prints one line and
// returns null when the image cannot be opened or read, is shorter than its
// header, or lists a section that reaches past its end.
FILE* OpenWithFreshDigests(const char* path, const char* mode, HeaderPair* headers) {
  // The refresher rewrites the header in place: never through a link.
  FILE* file = strcmp(mode, "rb") == 0 ? fopen(path, mode) : OpenFileNoFollow(path, mode);
  if (file == nullptr) {
    debug_printf("Open ISP Error! Cannot open %s file\n", path);
    return nullptr;
  }
  fseek(file, 0, SEEK_END);
  long size = ftell(file);
  if (size < kHeaderSize) {
    debug_printf("ISP image %s is shorter than its 1024-byte header\n", path);
    fclose(file);
    return nullptr;
  }
  uint32_t badSection = 0;
  fseek(file, 0, SEEK_SET);
  RefreshResult result = kReadFailed;
  if (fread(headers->stored, 1, kHeaderSize, file) == static_cast<size_t>(kHeaderSize)) {
    memcpy(headers->fresh, headers->stored, kHeaderSize);
    result = RefreshDigests(file, size, headers->fresh, &badSection);
  }
  if (result == kReadFailed) {
    debug_printf("Read ISP Error! Cannot read %s file\n", path);
  } else if (result == kSectionPastEnd) {
    debug_printf("ISP image %s: section %u reaches past the end of the file\n", path, badSection);
  }
  if (result != kRefreshed) {
    fclose(file);
    return nullptr;
  }
  return file;
}

}  // namespace

int CalSHA256(char* path) {
  HeaderPair headers;
  FILE* file = OpenWithFreshDigests(path, "r+b", &headers);
  if (file == nullptr) return 1;
  fseek(file, 0, SEEK_SET);
  bool written = fwrite(headers.fresh, 1, kHeaderSize, file) == static_cast<size_t>(kHeaderSize);
  written = (fclose(file) == 0) && written;
  if (!written) {
    debug_printf("Write ISP Error! Cannot write %s file\n", path);
    return 1;
  }
  return 0;
}

int CheckSHA256(const char* path) {
  HeaderPair headers;
  FILE* file = OpenWithFreshDigests(path, "rb", &headers);
  if (file == nullptr) return 1;
  fclose(file);
  if (memcmp(headers.stored, headers.fresh, kHeaderSize) != 0) {
    debug_printf("ISP file digest mismatch! %s\n", path);
    return 1;
  }
  return 0;
}

int GetCSSHeaderTypeInfo(unsigned char* buf, int tableOffset, unsigned long* word2,
                         unsigned long* word1, unsigned long type, unsigned long* entryOffset) {
  unsigned char* table = buf + tableOffset;
  *entryOffset = 0;
  for (int i = 0; i < kLookupPositions; ++i) {
    int p = kEntrySize * i;
    if (ReadLE32(table + p) != type) continue;
    *word1 = ReadLE32(table + p + 4);
    *word2 = ReadLE32(table + p + 8);
    *entryOffset = p;
    return 0;
  }
  return 1;
}
