// An ISP image through everything that reads the file itself: the digest
// refresher CalSHA256(char*), the stripped copy of ModifyISPFileBypassCSSInfo,
// the whole and stripped views the ISP write sends, and the older layout of
// the download-microcode flow.
#include <string.h>

#include <algorithm>
#include <vector>

#include "FlowGlobals.h"
#include "FuzzCard.h"
#include "MicrocodeImage.h"
#include "SHA256.h"

namespace {

enum {
  kHeaderSize = 1024,
  kSection4Body = 0x410,
  kSection4BodyEnd = 0x810,
  kSection5Body = 0x820,
  kStrippedBytes = 1056,  // CSS header and the two section headers
};

void CheckDigestRefresh(char* path, const std::vector<uint8_t>& image) {
  int result = CalSHA256(path);
  std::vector<uint8_t> after;
  FuzzCheck(ReadFile(path, &after), "the image is still there");
  if (result != 0) {
    FuzzCheck(after == image, "a refused digest refresh leaves the file unchanged");
    return;
  }
  FuzzCheck(after.size() == image.size(), "the digest refresh keeps the file's size");
  FuzzCheck(memcmp(after.data() + kHeaderSize, image.data() + kHeaderSize, image.size() - kHeaderSize) == 0,
            "the digest refresh changes nothing past the header");
  // The digested ranges lie past the header, so a second refresh finds
  // nothing to change.
  FuzzCheck(CalSHA256(path) == 0, "a refreshed image refreshes again");
  std::vector<uint8_t> again;
  FuzzCheck(ReadFile(path, &again) && again == after, "the digest refresh is idempotent");
}

// What the ISP write must have put into controller memory for `view`.
std::vector<uint8_t> ExpectedLoad(const std::vector<uint8_t>& image, bool strip) {
  if (!strip) return image;
  std::vector<uint8_t> bodies(image.begin() + kSection4Body, image.begin() + kSection4BodyEnd);
  bodies.insert(bodies.end(), image.begin() + kSection5Body, image.end());
  return bodies;
}

void CheckIspWrite(char* path, const std::vector<uint8_t>& image, bool strip) {
  FuzzCard& card = NextInput();
  int result = WriteISPFirmware(path, strip);
  if (strip && image.size() < kSection5Body) {
    FuzzCheck(result != 0, "an image without both section bodies cannot be written stripped");
    return;
  }
  if (image.empty() || result != 0) return;
  std::vector<uint8_t> expected = ExpectedLoad(image, strip);
  FuzzCheck(strip ? expected.size() == image.size() - kStrippedBytes : true, "the stripped view's length");
  FuzzCheck(card.loaded.size() >= expected.size(), "the whole view reached the card");
  FuzzCheck(memcmp(card.loaded.data(), expected.data(), expected.size()) == 0,
            "the card received the view's bytes in order");
  FuzzCheck(std::all_of(card.loaded.begin() + expected.size(), card.loaded.end(), [](uint8_t b) { return b == 0; }),
            "the last chunk is padded with zeros");
}

void CheckOlderLayout(const std::vector<uint8_t>& image) {
  // The raw layout uses the first 0x80820 bytes; shorter inputs repeat.
  std::vector<uint8_t> source(kOlderLayoutSourceSize);
  for (size_t i = 0; i < source.size(); ++i) source[i] = image[i % image.size()];
  MicrocodeImageSizeFault(static_cast<long>(image.size()), true);
  MicrocodeImageSizeFault(static_cast<long>(image.size()), false);
  std::vector<uint8_t> raw(kOlderLayoutSize, 0xAA);
  ConvertToOlderLayout(source.data(), raw.data());
  FuzzCheck(memcmp(raw.data(), &source[kSection4Body], 0x400) == 0, "raw layout: section 4 body first");
  FuzzCheck(memcmp(&raw[0x400], &source[kSection5Body], 0x80000) == 0, "raw layout: 512 KiB of section 5");
  static const std::vector<uint8_t> kZeros(0xC03F0 - 0x80400, 0);
  FuzzCheck(memcmp(&raw[0x80400], kZeros.data(), kZeros.size()) == 0, "raw layout: zeros up to the trailer");
  FuzzCheck(memcmp(&raw[0xC03F0], &source[0x80810], 16) == 0, "raw layout: the trailer");
}

}  // namespace

int FuzzIspFile(const uint8_t* data, size_t size) {
  NextInput();
  std::vector<uint8_t> image(data, data + size);
  char* path = ISPDateCodeFile;
  if (!WriteFile(path, data, size)) return 0;
  CheckDigestRefresh(path, image);

  std::vector<uint8_t> current;
  FuzzCheck(ReadFile(path, &current), "the image is still there");
  ModifyISPFileBypassCSSInfo(path);
  std::vector<uint8_t> after;
  FuzzCheck(ReadFile(path, &after) && after == current, "stripping leaves the image unchanged");

  CheckIspWrite(path, current, false);
  CheckIspWrite(path, current, true);
  if (!image.empty()) {
    CheckOlderLayout(image);
    char revision[9] = {};
    memcpy(revision, data, size < 8 ? size : 8);
    UsesOlderLayout(revision);
  }
  return 0;
}
