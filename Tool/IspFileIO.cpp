#include "IspFileIO.h"

#include <unistd.h>

#include "EXCMDFunc.h"

namespace {

enum { kCopyPiece = 65536 };

}  // namespace

long FileSize(FILE* file) {
  if (fseek(file, 0, SEEK_END) != 0) return -1;
  long size = ftell(file);
  if (fseek(file, 0, SEEK_SET) != 0) return -1;
  return size;
}

bool ReadAt(FILE* file, long offset, void* buf, size_t length) {
  if (fseek(file, offset, SEEK_SET) != 0) return false;
  return fread(buf, 1, length, file) == length;
}

bool WriteAt(FILE* file, long offset, const void* buf, size_t length) {
  if (fseek(file, offset, SEEK_SET) != 0) return false;
  return fwrite(buf, 1, length, file) == length;
}

bool CopyRange(FILE* in, long offset, size_t length, FILE* out) {
  if (fseek(in, offset, SEEK_SET) != 0) return false;
  unsigned char piece[kCopyPiece];
  while (length > 0) {
    size_t n = length < sizeof(piece) ? length : sizeof(piece);
    if (fread(piece, 1, n, in) != n || fwrite(piece, 1, n, out) != n) return false;
    length -= n;
  }
  return true;
}

bool CopyFile(const char* from, const char* to) {
  FILE* in = fopen(from, "rb");
  if (in == nullptr) return false;
  long size = FileSize(in);
  FILE* out = size < 0 ? nullptr : OpenFileNoFollow(to, "wb");
  if (out == nullptr) {
    fclose(in);
    return false;
  }
  bool copied = CopyRange(in, 0, (size_t)size, out);
  fclose(in);
  copied = CloseChecked(out) && copied;
  if (!copied) unlink(to);
  return copied;
}

bool CloseChecked(FILE* file) {
  bool flushed = fflush(file) == 0 && !ferror(file);
  return fclose(file) == 0 && flushed;
}
