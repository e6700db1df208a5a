#include "IspDumpLayout.h"

namespace {

enum {
  kSectorSize = 512,
  kMaxPlanes = 4,         // the plane number travels in bits 6-7 of the mode byte
  kMaxReadSectors = 255,  // one vendor data phase, and the sector count is a byte
  kMaxPages = 0xFFFF,     // the page number travels in 16 bits
};

}  // namespace

DumpWalk::DumpWalk(const DumpGeometry& geometry, size_t imageLength)
    : geometry_(geometry), imageLength_(imageLength) {}

bool DumpWalk::Next(DumpRead* read) {
  if (page_ >= geometry_.pagesPerBlock) return false;
  if (page_ > 0 && position_ >= imageLength_) return false;
  read->page = page_;
  read->plane = plane_;
  if (page_ == 0) {
    read->keep = kDumpPageZeroBody;
    position_ += kDumpPageZeroFileBytes;
    page_ = 1;
    return true;
  }
  size_t pageBytes = (size_t)geometry_.sectorsPerPage * kSectorSize;
  size_t remaining = imageLength_ - position_;
  read->keep = remaining < pageBytes ? remaining : pageBytes;
  position_ += read->keep;
  if (++plane_ == geometry_.planeCount) {
    plane_ = 0;
    ++page_;
  }
  return true;
}

bool DumpGeometryUsable(const DumpGeometry& geometry) {
  return geometry.planeCount >= 1 && geometry.planeCount <= kMaxPlanes &&
         geometry.sectorsPerPage >= 2 && geometry.sectorsPerPage + 1 <= kMaxReadSectors &&
         geometry.pagesPerBlock >= 1 && geometry.pagesPerBlock <= kMaxPages;
}
