#include "MicrocodeImage.h"

#include <string.h>

#include "IspLayout.h"

namespace {

const char kLastOlderLayoutRevision[] = "P0925A";

enum {
  kSection5CopySize = 0x80000,  // the first 512 KiB of the section 5 body
  kTrailerSize = 16,
};

}  // namespace

bool UsesOlderLayout(const char* revision) {
  return strcmp(revision, kLastOlderLayoutRevision) <= 0;
}

const char* MicrocodeImageSizeFault(long size, bool olderLayout) {
  if (olderLayout) {
    return size < kOlderLayoutSourceSize ? "too short for the raw layout of firmware up to P0925A"
                                         : nullptr;
  }
  if (size < kMicrocodeBlockSize) return "shorter than one 512-byte block";
  if (size % kMicrocodeBlockSize != 0) return "not a multiple of 512 bytes";
  if (size / kMicrocodeBlockSize > kMicrocodeMaxBlocks) return "more than 65535 blocks";
  return nullptr;
}

void ConvertToOlderLayout(const unsigned char* image, unsigned char* raw) {
  memset(raw, 0, kOlderLayoutSize);
  memcpy(raw, image + kIspSection4Body, kIspSection4BodySize);
  memcpy(raw + kIspSection4BodySize, image + kIspSection5Body, kSection5CopySize);
  memcpy(raw + kOlderLayoutSize - kTrailerSize,
         image + kIspSection5Body + kSection5CopySize - kTrailerSize, kTrailerSize);
}
