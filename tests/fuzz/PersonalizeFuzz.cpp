// An ISP image through ModifyISPFile, every mode, with the card's ISP
// copies read back from a card whose flash geometry the input chooses.
// Input: mode byte, geometry byte, serial number length and characters
// (20 bytes), then the image.
#include <string.h>

#include <vector>

#include "FlowGlobals.h"
#include "FuzzCard.h"
#include "IspPersonalize.h"

namespace {

enum { kHeaderSize = 1024 };

// Plane counts, sectors per page and pages per block a parameter block can
// name (Part of the card records); the geometry byte picks one of each.
const int kPlanes[] = {1, 2, 4, 8};
const int kSectorsPerPage[] = {8, 16, 32, 64};
const int kPagesPerBlock[] = {64, 128, 256, 512};

// The card's ISP copies hold the image itself, laid out as the dump reads
// it back: page 0 carries the section-4 body, the later pages the
// section-5 body, planes interleaved.
void ServeImage(const std::vector<uint8_t>& image, int planes, int block, int page, int plane,
                uint8_t* out, size_t length, size_t pageBytes) {
  (void)block;
  size_t from = page == 0 ? 0x410 : 0x820 + ((size_t)(page - 1) * planes + plane) * pageBytes;
  for (size_t i = 0; i < length && from + i < image.size(); ++i) out[i] = image[from + i];
}

}  // namespace

int FuzzPersonalize(const uint8_t* data, size_t size) {
  FuzzCard& card = NextInput();
  FuzzInput in(data, size);
  int mode = in.Byte() % 7 + 1;
  uint8_t geometry = in.Byte();
  uint8_t serial[20];
  in.Take(serial, sizeof serial);
  memcpy(KEYINSNString, serial, sizeof serial);
  KEYINSNString[serial[0] % 21] = '\0';
  std::vector<uint8_t> image(in.Rest(), in.Rest() + in.RestSize());

  int planes = kPlanes[geometry & 3];
  g_CardMode.PlaneCount = planes;
  g_CardMode.SectorsPerPage = kSectorsPerPage[(geometry >> 2) & 3];
  g_CardMode.PagesPerBlock = kPagesPerBlock[(geometry >> 4) & 3];
  size_t pageBytes = (size_t)g_CardMode.SectorsPerPage * 512;
  card.ispPage = [&](int block, int page, int plane, int, uint8_t* out, size_t length) {
    ServeImage(image, planes, block, page, plane, out, length, pageBytes);
  };
  if (!WriteFile(ISPDateCodeFile, image.data(), image.size())) return 0;

  if (ModifyISPFile(mode) != 0) return 0;
  // The copy differs from the image only in the header's digests, the
  // section-5 version copy and the fields and ID table the mode carries.
  std::vector<uint8_t> copy;
  FuzzCheck(ReadFile(UpdateISPDataFile, &copy), "the personalised copy exists");
  FuzzCheck(copy.size() == image.size(), "the personalised copy keeps the image's size");
  std::vector<bool> mayChange(image.size(), false);
  auto allow = [&](size_t at, size_t length) {
    for (size_t i = at; i < at + length && i < mayChange.size(); ++i) mayChange[i] = true;
  };
  allow(0, kHeaderSize);
  allow(kIspFwVersionCopy, kIspFwVersionLength);
  const PersonalisationMode* row = FindPersonalisationMode(mode);
  FuzzCheck(row != nullptr, "modes 1 to 7 exist");
  for (int i = 0; i < row->fieldCount; ++i) allow(row->fields[i].offset, row->fields[i].length);
  if (row->idTable != kIdTableUntouched) allow(kIspIdTable, kIspIdTableSize);
  for (size_t i = 0; i < image.size(); ++i) {
    FuzzCheck(mayChange[i] || copy[i] == image[i], "personalisation changes only the mode's fields");
  }
  FuzzCheck(memcmp(&copy[kIspFwVersionCopy], &image[kIspFwVersion], kIspFwVersionLength) == 0,
            "the section-5 header carries the new firmware version");
  if (row->idTable != kIdTableUntouched) {
    FuzzCheck(memcmp(&copy[kIspIdFwRevision], &image[kIspIdFwRevision], row->keptLength) == 0,
              "the ID table keeps the new image's firmware revision");
  }
  return 0;
}
