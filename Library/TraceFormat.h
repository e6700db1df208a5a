// The text of one pass-through command's trace record. Each piece is
// appended to a string in memory so that the record reaches the trace file in
// one write; the hexadecimal rows are produced from lookup tables rather than
// byte by byte through printf, because a 64 KiB transfer makes some 4000 rows.
#ifndef QEL_LIBRARY_TRACEFORMAT_H_
#define QEL_LIBRARY_TRACEFORMAT_H_

#include <stddef.h>

#include <string>

struct __SSD_PASS_THROUGH_DIRECT;

// "\n\n\n**** <  Device  = %s,  Handle  = %02x  > ****\n" and
// "LBA = %02x %02x %02x => CMD = %02x \n".
void AppendTraceHeader(std::string& out, const char* devName, int handle,
                       const __SSD_PASS_THROUGH_DIRECT& record);

// "bufsize = %d\n", "Write DATA =\n" and the rows of the outgoing data.
void AppendTraceWriteData(std::string& out, const unsigned char* data, int length);

// The command block line ("ATA  CMD = " with bytes 0-14, or "SCSI CMD = "
// with bytes 0-8), "ioctl_return  = %02x, %02X\n" and the two sense lines.
void AppendTraceResult(std::string& out, const unsigned char* cdb, bool ata, int ioctlReturn,
                       int errorNumber, const unsigned char sense[32]);

// "bufsize = %d\n", "Read DATA =\n" and the rows of the incoming data, each
// full row followed by its character column.
void AppendTraceReadData(std::string& out, const unsigned char* data, int length);

// Rows of 16 bytes: " %08Xh: " then " %02X" per byte; a full row ends with a
// line feed (after "  " and its 16 characters when charColumn is set, bytes
// 0x20-0x7F shown as themselves and others as "."); a final partial row ends
// with neither.
void AppendHexRows(std::string& out, const unsigned char* data, size_t length, bool charColumn);

// Writes a record to the open trace file fd, whole unless the file refuses
// it (a write cut short by a signal goes on), and closes fd.
void WriteAndCloseTrace(int fd, const std::string& text);

#endif  // QEL_LIBRARY_TRACEFORMAT_H_
