// Dump files through VerifyISP: the card's two ISP copies are read back
// into dump files and compared with each other and with the image. The
// card holds the image itself (so a verification can pass), in a geometry
// the input chooses, and can be told to hold a second copy that differs
// in one byte or to fail one command.
// Input: geometry byte, flags byte, differing byte position (2 bytes),
// failing command (2 bytes), then the image.
#include <vector>

#include "FlowGlobals.h"
#include "FuzzCard.h"

namespace {

// Parameter block codes (byte 27: sectors per page in the low half, pages
// per block in the high half; byte 29: planes - 1 in bits 5 to 7; byte 31
// bit 7: 512 pages per block).
const uint8_t kSectorCodes[] = {0x01, 0x02, 0x04, 0x08};  // 8, 16, 32, 64 sectors
const uint8_t kPageCodes[] = {0x10, 0x20, 0x40, 0x80, 0x00};  // 128, 256, 192, 258, 64 or 512

enum { kFlagCopiesDiffer = 0x01, kFlagFailCommand = 0x02, kFlagLongBlock = 0x04 };

}  // namespace

int FuzzVerifyIsp(const uint8_t* data, size_t size) {
  FuzzCard& card = NextInput();
  FuzzInput in(data, size);
  uint8_t geometry = in.Byte();
  uint8_t flags = in.Byte();
  size_t differing = in.Word();
  uint16_t failAt = in.Word();
  std::vector<uint8_t> image(in.Rest(), in.Rest() + in.RestSize());

  int planes = (geometry & 7) + 1;
  int sectorsPerPage = 8 << ((geometry >> 3) & 3);
  card.parameter[27] = kSectorCodes[(geometry >> 3) & 3] | kPageCodes[(geometry >> 5) % 5];
  card.parameter[29] = static_cast<uint8_t>((planes - 1) << 5);
  card.parameter[31] = (flags & kFlagLongBlock) ? 0x80 : 0x00;
  if (flags & kFlagFailCommand) card.failAt = failAt;

  size_t pageBytes = (size_t)sectorsPerPage * 512;
  int firstDie = -1;
  card.ispPage = [&](int, int page, int plane, int die, uint8_t* out, size_t length) {
    size_t from = page == 0 ? 0x410 : 0x820 + ((size_t)(page - 1) * planes + plane) * pageBytes;
    for (size_t i = 0; i < length && from + i < image.size(); ++i) out[i] = image[from + i];
    // The copies lie on different dies; the second one read may differ.
    if (firstDie < 0) firstDie = die;
    if ((flags & kFlagCopiesDiffer) && die != firstDie && differing >= from && differing < from + length) {
      out[differing - from] ^= 0x5A;
    }
  };
  if (!WriteFile(ISPDateCodeFile, image.data(), image.size())) return 0;
  VerifyISP(ISPDateCodeFile, 0);
  return 0;
}
