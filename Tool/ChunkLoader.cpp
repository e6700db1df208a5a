#include "ChunkLoader.h"

#include <stdint.h>
#include <stdlib.h>

#include "IspFileIO.h"
#include "Progress.h"

size_t LoadChunkCount(size_t length) {
  return length / kLoadChunkSize + (length % kLoadChunkSize != 0 ? 1 : 0);
}

size_t LoadChunkLength(size_t length, size_t index) {
  if (index >= LoadChunkCount(length)) return 0;
  size_t remaining = length - index * kLoadChunkSize;
  return remaining < kLoadChunkSize ? remaining : (size_t)kLoadChunkSize;
}

size_t LoadViewLength(size_t fileSize, LoadView view) {
  if (view == kLoadWholeFile) return fileSize;
  if (fileSize < kIspSection5Body) return 0;
  return fileSize - kIspStrippedOverhead;
}

StagedLoad::~StagedLoad() { free(data_); }

LoadResult StagedLoad::Stage(FILE* file, LoadView view, unsigned long base) {
  free(data_);
  data_ = nullptr;
  length_ = 0;

  long fileSize = FileSize(file);
  if (fileSize < 0) return kLoadReadFailed;
  if (fileSize == 0) return kLoadEmpty;
  size_t length = LoadViewLength((size_t)fileSize, view);
  if (length == 0) return kLoadTooShort;
  // Chunk addresses travel as 32-bit values.
  size_t chunks = LoadChunkCount(length);
  if (base > UINT32_MAX || chunks > (UINT32_MAX - base + 1) / kLoadChunkSize) {
    return kLoadTooLarge;
  }

  unsigned char* data = (unsigned char*)calloc(chunks, kLoadChunkSize);
  if (data == nullptr) return kLoadNoMemory;
  bool read;
  if (view == kLoadWholeFile) {
    read = ReadAt(file, 0, data, length);
  } else {
    read =
        ReadAt(file, kIspSection4Body, data, kIspSection4BodySize) &&
        ReadAt(file, kIspSection5Body, data + kIspSection4BodySize, length - kIspSection4BodySize);
  }
  if (!read) {
    free(data);
    return kLoadReadFailed;
  }
  data_ = data;
  length_ = length;
  return kLoadOk;
}

LoadResult StagedLoad::Send(QC3300* card, unsigned long base) const {
  size_t chunks = LoadChunkCount(length_);
  Progress progress("Load to controller", length_);
  for (size_t i = 0; i < chunks; ++i) {
    size_t offset = i * kLoadChunkSize;
    size_t chunkLength = LoadChunkLength(length_, i);
    // The channel pads a short last chunk to whole sectors from the buffer,
    // which is zero past length_.
    if (card->WriteMPISPData(base + offset, data_ + offset, (int)chunkLength) != 0) {
      return kLoadSendFailed;
    }
    progress.Update(offset + chunkLength);
  }
  return kLoadOk;
}

const char* LoadResultText(LoadResult result) {
  switch (result) {
    case kLoadOk:
      return "loaded";
    case kLoadEmpty:
      return "file is empty";
    case kLoadTooShort:
      return "file is shorter than 2080 bytes";
    case kLoadTooLarge:
      return "file is too large for controller memory";
    case kLoadNoMemory:
      return "not enough memory";
    case kLoadReadFailed:
      return "file cannot be read";
    case kLoadSendFailed:
      return "card refused a chunk";
  }
  return "unknown error";
}
