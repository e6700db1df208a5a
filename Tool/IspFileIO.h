// Checked file access for the ISP flows: every read and write either moves
// all the bytes asked for or reports failure, so a short read never turns
// into a corrupted image or dump.
#ifndef QEL_TOOL_ISPFILEIO_H_
#define QEL_TOOL_ISPFILEIO_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <memory>

// Closes on scope exit; release() it into CloseChecked where the data
// written matters.
struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};
using ScopedFile = std::unique_ptr<FILE, FileCloser>;

// Size of an open file in bytes, or -1. Leaves the position at the start.
long FileSize(FILE* file);

// Exactly `length` bytes at `offset`; false on any shortfall.
bool ReadAt(FILE* file, long offset, void* buf, size_t length);
bool WriteAt(FILE* file, long offset, const void* buf, size_t length);

// Exactly `length` bytes from `offset` of `in` to the current position of
// `out`, streamed through a small buffer.
bool CopyRange(FILE* in, long offset, size_t length, FILE* out);

// A byte-for-byte copy of file `from` at `to`. On failure no partial `to`
// is left behind.
bool CopyFile(const char* from, const char* to);

// Closes `file` and reports whether everything written reached the file.
bool CloseChecked(FILE* file);

inline uint32_t LoadLE32(const unsigned char* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

#endif  // QEL_TOOL_ISPFILEIO_H_
