#include "TraceFormat.h"

#include <errno.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "SSDCMD.h"

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Per byte value its " XX" text, padded to four bytes so that it is copied
// as one word.
struct ByteTexts {
  char hex[256][4];
  constexpr ByteTexts() : hex() {
    for (int b = 0; b < 256; ++b) {
      hex[b][0] = ' ';
      hex[b][1] = kHexDigits[b >> 4];
      hex[b][2] = kHexDigits[b & 0xF];
      hex[b][3] = ' ';
    }
  }
};
constexpr ByteTexts kByteTexts;

// The character column shows 0x20-0x7F as themselves and others as ".";
// computed rather than looked up, so that the compiler can vectorise a row.
inline char Shown(unsigned char b) {
  return static_cast<unsigned char>(b - 0x20) < 0x60 ? static_cast<char>(b) : '.';
}

constexpr size_t kRowBytes = 16;
// " %08Xh: " (12) + 16 x " %02X" (48) + "  " + 16 characters + "\n".
constexpr size_t kMaxRowText = 12 + 48 + 2 + 16 + 1;

// Appends printf-formatted text of a line that is known to be short.
void AppendFormat(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void AppendFormat(std::string& out, const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n > 0) out.append(line, static_cast<size_t>(n) < sizeof line ? n : sizeof line - 1);
}

void AppendBytesLine(std::string& out, const char* lead, const unsigned char* bytes, size_t count) {
  out += lead;
  for (size_t i = 0; i < count; ++i) {
    out.append(kByteTexts.hex[bytes[i]] + (i == 0 ? 1 : 0), i == 0 ? 2 : 3);
  }
  out += '\n';
}

}  // namespace

void AppendHexRows(std::string& out, const unsigned char* data, size_t length, bool charColumn) {
  // One byte more for the line feed that ends a trace record, so that the
  // caller's last append does not move the whole text.
  out.reserve(out.size() + (length + kRowBytes - 1) / kRowBytes * kMaxRowText + 1);
  // One spare byte: every hex text is stored as a four-byte word.
  char row[kMaxRowText + 1];
  for (size_t start = 0; start < length; start += kRowBytes) {
    size_t n = length - start < kRowBytes ? length - start : kRowBytes;
    uint32_t offset = static_cast<uint32_t>(start);
    char* p = row;
    *p++ = ' ';
    for (int shift = 28; shift >= 0; shift -= 4) *p++ = kHexDigits[(offset >> shift) & 0xF];
    memcpy(p, "h: ", 3);
    p += 3;
    const unsigned char* bytes = data + start;
    for (size_t i = 0; i < n; ++i) {
      memcpy(p, kByteTexts.hex[bytes[i]], 4);
      p += 3;
    }
    if (n == kRowBytes) {
      if (charColumn) {
        p[0] = ' ';
        p[1] = ' ';
        p += 2;
        for (size_t i = 0; i < kRowBytes; ++i) p[i] = Shown(bytes[i]);
        p += kRowBytes;
      }
      *p++ = '\n';
    }
    out.append(row, p - row);
  }
}

void AppendTraceHeader(std::string& out, const char* devName, int handle,
                       const __SSD_PASS_THROUGH_DIRECT& record) {
  AppendFormat(out, "\n\n\n**** <  Device  = %s,  Handle  = %02x  > ****\n", devName, handle);
  AppendFormat(out, "LBA = %02x %02x %02x => CMD = %02x \n", record.LBAHigh, record.LBAMid,
               record.LBALow, record.Command);
}

void AppendTraceWriteData(std::string& out, const unsigned char* data, int length) {
  AppendFormat(out, "bufsize = %d\n", length);
  out += "Write DATA =\n";
  if (length > 0) AppendHexRows(out, data, static_cast<size_t>(length), false);
}

void AppendTraceReadData(std::string& out, const unsigned char* data, int length) {
  AppendFormat(out, "bufsize = %d\n", length);
  out += "Read DATA =\n";
  if (length > 0) AppendHexRows(out, data, static_cast<size_t>(length), true);
}

void AppendTraceResult(std::string& out, const unsigned char* cdb, bool ata, int ioctlReturn,
                       int errorNumber, const unsigned char sense[32]) {
  if (ata) {
    AppendBytesLine(out, "ATA  CMD = ", cdb, 15);
  } else {
    AppendBytesLine(out, "SCSI CMD = ", cdb, 9);
  }
  AppendFormat(out, "ioctl_return  = %02x, %02X\n", ioctlReturn, errorNumber);
  AppendBytesLine(out, "sense = ", sense, 16);
  AppendBytesLine(out, "        ", sense + 16, 16);
}

void WriteAndCloseTrace(int fd, const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
  close(fd);
}
