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

void FeedAll(SHA256_CTX* ctx, unsigned char* data, uint64_t len) {
  const uint64_t kChunk = 1u << 30;
  while (len > 0) {
    unsigned int piece = static_cast<unsigned int>(len < kChunk ? len : kChunk);
    sha256_update(ctx, data, piece);
    data += piece;
    len -= piece;
  }
}

// Byte range of a section: from its start, header length plus body length.
// False when the section header or the range lies beyond the image's end.
bool SectionRange(const unsigned char* image, uint64_t imageSize, uint32_t start,
                  uint64_t* length) {
  if (start + 8u > imageSize) return false;
  *length = static_cast<uint64_t>(ReadLE32(image + start)) + ReadLE32(image + start + 4);
  return start + *length <= imageSize;
}

// Computes the new header into header (a copy of the image's first 1024
// bytes). Returns the type of a section that does not fit, or 0.
uint32_t RefreshDigests(unsigned char* image, uint64_t imageSize, unsigned char* header) {
  for (int i = 0; i < kTableEntries; ++i) {
    unsigned char* entry = header + kTableOffset + kEntrySize * i;
    uint32_t type = ReadLE32(entry);
    if (type == kEndOfTable) break;
    for (const SectionPlace& section : kSections) {
      if (type != section.type) continue;
      uint64_t length = 0;
      if (!SectionRange(image, imageSize, section.start, &length)) return type;
      SHA256_CTX ctx;
      sha256_init(&ctx);
      FeedAll(&ctx, image + section.start, length);
      sha256_final(&ctx, entry + kDigestOffset);
    }
  }
  return 0;
}

}  // namespace

int CalSHA256(char* path) {
  FILE* file = fopen(path, "r+b");
  if (file == nullptr) {
    debug_printf("Open ISP Error! Cannot open %s file\n", path);
    return 1;
  }
  fseek(file, 0, SEEK_END);
  long size = ftell(file);
  if (size < kHeaderSize) {
    debug_printf("ISP image %s is shorter than its 1024-byte header\n", path);
    fclose(file);
    return 1;
  }
  unsigned char* image = static_cast<unsigned char*>(malloc(size));
  if (image == nullptr) {
    debug_printf("Memory error Fail.\n");
    fclose(file);
    return 1;
  }
  fseek(file, 0, SEEK_SET);
  if (fread(image, 1, size, file) != static_cast<size_t>(size)) {
    debug_printf("Read ISP Error! Cannot read %s file\n", path);
    free(image);
    fclose(file);
    return 1;
  }

  unsigned char header[kHeaderSize];
  memcpy(header, image, sizeof(header));
  uint32_t badSection = RefreshDigests(image, size, header);
  free(image);
  if (badSection != 0) {
    debug_printf("ISP image %s: section %u reaches past the end of the file\n", path, badSection);
    fclose(file);
    return 1;
  }

  fseek(file, 0, SEEK_SET);
  bool written = fwrite(header, 1, sizeof(header), file) == sizeof(header);
  written = (fclose(file) == 0) && written;
  if (!written) {
    debug_printf("Write ISP Error! Cannot write %s file\n", path);
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
