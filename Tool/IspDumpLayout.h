// How the plane pages of an ISP block become a dump file with the layout of
// an ISP image: page 0 (plane 0) gives the 1024-byte section-4 body, framed
// by the reference image's section headers; pages 1, 2, ... give the
// section-5 body, planes interleaved within each page, cut so that the file
// ends exactly at the reference image's length.
#ifndef QEL_TOOL_ISPDUMPLAYOUT_H_
#define QEL_TOOL_ISPDUMPLAYOUT_H_

#include <stddef.h>

enum {
  kDumpHeaderBytes = 1024,        // CSS header at the start of a dump
  kDumpPageZeroFileBytes = 1056,  // section-4 header + body + section-5 header
  kDumpPageZeroBody = 1024,
};

struct DumpGeometry {
  int planeCount;
  int sectorsPerPage;
  int pagesPerBlock;
};

// One plane page to read and the number of its bytes the dump keeps (for
// page 0 the kept bytes are the section-4 body; the headers come around it).
struct DumpRead {
  int page;
  int plane;
  size_t keep;
};

// Walks the plane page reads of one ISP copy in order. Memory does not
// depend on the image length.
class DumpWalk {
 public:
  DumpWalk(const DumpGeometry& geometry, size_t imageLength);

  // Next read, or false when the file is complete or the block exhausted.
  bool Next(DumpRead* read);

  // File length the walk has produced so far.
  size_t position() const { return position_; }

 private:
  DumpGeometry geometry_;
  size_t imageLength_;
  size_t position_ = kDumpHeaderBytes;
  int page_ = 0;
  int plane_ = 0;
};

// True when the geometry can drive a dump: at least 2 sectors per page (page
// 0 carries 1024 bytes and the firmware version at bytes 8..15).
bool DumpGeometryUsable(const DumpGeometry& geometry);

#endif  // QEL_TOOL_ISPDUMPLAYOUT_H_
