// The one way code reaches controller memory: a file (or the bare section
// bodies of an ISP image) is staged into a zero-filled buffer of whole 64 KiB
// chunks and sent chunk by chunk with WriteMPISPData to base + 65536 * i.
// The shim loader, the MP-ISP loader and the ISP write all go through here;
// each caller turns the result into its own messages.
#ifndef QEL_TOOL_CHUNKLOADER_H_
#define QEL_TOOL_CHUNKLOADER_H_

#include <stddef.h>
#include <stdio.h>

#include "IspLayout.h"
#include "QC3300.h"

enum { kLoadChunkSize = 65536 };

// Which bytes of the file are sent.
enum LoadView {
  kLoadWholeFile,
  kLoadSectionBodies,  // section-4 body followed directly by the section-5 body
};

enum LoadResult {
  kLoadOk = 0,
  kLoadEmpty,     // nothing to send
  kLoadTooShort,  // section bodies asked of a file shorter than 0x820 bytes
  kLoadTooLarge,  // the chunks would run past the 32-bit address space
  kLoadNoMemory,
  kLoadReadFailed,
  kLoadSendFailed,  // the card refused a chunk
};

// Number of chunks for `length` bytes; the last one may be short.
size_t LoadChunkCount(size_t length);

// Bytes carried by chunk `index` of a `length`-byte load (0 past the end).
size_t LoadChunkLength(size_t length, size_t index);

// Bytes sent for a file of `fileSize` bytes in `view`; 0 when the view does
// not exist for that size.
size_t LoadViewLength(size_t fileSize, LoadView view);

// Bytes of a file staged for loading: `length` meaningful bytes in a
// zero-filled buffer of whole chunks. Owns its buffer.
class StagedLoad {
 public:
  StagedLoad() = default;
  ~StagedLoad();
  StagedLoad(const StagedLoad&) = delete;
  StagedLoad& operator=(const StagedLoad&) = delete;

  // Reads `view` of the open `file` (from its start). The file stays open.
  LoadResult Stage(FILE* file, LoadView view, unsigned long base);

  // Sends every chunk in ascending order; stops at the first refusal.
  LoadResult Send(QC3300* card, unsigned long base) const;

  size_t length() const { return length_; }
  const unsigned char* data() const { return data_; }

 private:
  unsigned char* data_ = nullptr;
  size_t length_ = 0;
};

// A short phrase naming why a staging step failed, for the callers' lines.
const char* LoadResultText(LoadResult result);

#endif  // QEL_TOOL_CHUNKLOADER_H_
