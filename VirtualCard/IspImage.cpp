#include "IspImage.h"

#include <string.h>

#include <algorithm>

#include "SHA256.h"

namespace vcard {

namespace {

constexpr size_t kSectionTable = 656;
constexpr size_t kSectionEntry = 48;
constexpr int kSectionEntries = 7;
constexpr uint32_t kEndOfTable = 0xFFFFFFFF;

uint32_t GetLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void PutWord(uint8_t* id, int word, uint16_t v) {
  id[2 * word] = static_cast<uint8_t>(v);
  id[2 * word + 1] = static_cast<uint8_t>(v >> 8);
}

// Deterministic filler, so that images of different versions differ
// everywhere and every byte of a copy is checked by a comparison.
void Fill(uint8_t* p, size_t n, const std::string& seedText) {
  uint64_t x = 0x9E3779B97F4A7C15ULL;
  for (unsigned char c : seedText) x = (x ^ c) * 0x100000001B3ULL;
  for (size_t i = 0; i < n; ++i) {
    if (i % 8 == 0) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
    }
    p[i] = static_cast<uint8_t>(x >> (8 * (i % 8)));
  }
}

void PutText(uint8_t* dst, size_t len, const std::string& text) {
  memset(dst, 0, len);
  memcpy(dst, text.data(), std::min(len, text.size()));
}

}  // namespace

void Sha256(const uint8_t* data, size_t size, uint8_t digest[32]) {
  SHA256_CTX ctx;
  sha256_init(&ctx);
  // The engine takes non-const pieces of at most 4 GiB.
  while (size > 0) {
    unsigned int piece = static_cast<unsigned int>(std::min<size_t>(size, 1u << 30));
    sha256_update(&ctx, const_cast<uint8_t*>(data), piece);
    data += piece;
    size -= piece;
  }
  sha256_final(&ctx, digest);
}

void PutAtaString(uint8_t* dst, size_t len, const std::string& text) {
  for (size_t i = 0; i < len; ++i) {
    char c = i < text.size() ? text[i] : ' ';
    dst[i ^ 1] = static_cast<uint8_t>(c);
  }
}

std::string GetAtaString(const uint8_t* src, size_t len) {
  std::string s;
  for (size_t i = 0; i < len; ++i) s += static_cast<char>(src[i ^ 1]);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  size_t lead = s.find_first_not_of(' ');
  return lead == std::string::npos ? "" : s.substr(lead);
}

void PutVersion(uint8_t* dst, const std::string& version) { PutText(dst, 8, version); }

std::string GetVersion(const uint8_t* src) {
  std::string s(reinterpret_cast<const char*>(src), strnlen(reinterpret_cast<const char*>(src), 8));
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
  return s;
}

uint64_t WorldWideName(const std::string& serial) {
  uint64_t h = 0xCBF29CE484222325ULL;
  for (unsigned char c : serial) h = (h ^ c) * 0x100000001B3ULL;
  return 5ULL << 60 | kWwnOui << 36 | (h & 0xFFFFFFFFFULL);
}

void BuildIdTable(const std::string& serial, const std::string& model, const std::string& fwrev,
                  uint64_t capacity, uint8_t out[kIdTableSize]) {
  memset(out, 0, kIdTableSize);
  uint64_t lba28 = std::min<uint64_t>(capacity, 0x0FFFFFFF);
  static const struct { int word; uint16_t value; } kWords[] = {
      {0, 0x0040},   // fixed ATA device
      {1, 16383}, {3, 16}, {6, 63},  // legacy geometry
      {47, 0x8010},  // READ/WRITE MULTIPLE up to 16 sectors
      {49, 0x0F00},  // DMA, LBA, IORDY
      {50, 0x4000},
      {53, 0x0007},  // words 64-70 and 88 valid
      {59, 0x0110},
      {63, 0x0007}, {64, 0x0003}, {65, 120}, {66, 120}, {67, 120}, {68, 120},
      {69, 0x0100},  // DOWNLOAD MICROCODE DMA supported
      {75, 0x001F},  // queue depth 32
      {76, 0x010E},  // SATA Gen1-3, NCQ
      {80, 0x07F0},  // ATA/ATAPI-4 .. ACS-3
      {82, 0x0069},  // SMART, power management, write cache, look-ahead
      {83, 0x7401},  // DOWNLOAD MICROCODE, 48-bit, FLUSH CACHE (EXT)
      {84, 0x4100},  // WWN in words 108-111
      {85, 0x0069},
      {86, 0xB401},  // enabled mirror of 83, words 119-120 valid
      {87, 0x4100},
      {88, 0x407F},  // UDMA 0-6, mode 6 selected
      {106, 0x4000},
      {105, 8},       // DATA SET MANAGEMENT: up to 8 blocks of ranges
      {119, 0x4010},  // segmented DOWNLOAD MICROCODE supported
      {120, 0x4010},  // ... and enabled
      {169, 0x0001},  // TRIM
      {217, 0x0001},  // non-rotating medium
      {222, 0x101F},  // SATA transport
      {234, 1},       // DOWNLOAD MICROCODE mode 3: minimum blocks
      {235, 128},     // ... and maximum blocks per command
  };
  for (const auto& w : kWords) PutWord(out, w.word, w.value);
  PutWord(out, 60, static_cast<uint16_t>(lba28));
  PutWord(out, 61, static_cast<uint16_t>(lba28 >> 16));
  for (int i = 0; i < 4; ++i) PutWord(out, 100 + i, static_cast<uint16_t>(capacity >> (16 * i)));
  uint64_t wwn = WorldWideName(serial);
  for (int i = 0; i < 4; ++i) PutWord(out, 108 + i, static_cast<uint16_t>(wwn >> (48 - 16 * i)));
  PutAtaString(out + kIdSerial, kIdSerialLen, serial);
  PutAtaString(out + kIdFwRev, kIdFwRevLen, fwrev);
  PutAtaString(out + kIdModel, kIdModelLen, model);
  SealIdTable(out);
}

void SealIdTable(uint8_t id[kIdTableSize]) {
  id[510] = 0xA5;
  uint8_t sum = 0;
  for (size_t i = 0; i < 511; ++i) sum = static_cast<uint8_t>(sum + id[i]);
  id[511] = static_cast<uint8_t>(-sum);
}

void EditIdTable(uint8_t id[kIdTableSize], const IdentityEdit& edit) {
  if (!edit.serial.empty()) PutAtaString(id + kIdSerial, kIdSerialLen, edit.serial);
  if (!edit.fwrev.empty()) PutAtaString(id + kIdFwRev, kIdFwRevLen, edit.fwrev);
  if (!edit.model.empty()) PutAtaString(id + kIdModel, kIdModelLen, edit.model);
  SealIdTable(id);
}

void EditCopyIdentity(std::vector<uint8_t>* copy, const IdentityEdit& edit) {
  if (copy->size() < kMinCopySize) return;
  uint8_t* c = copy->data();
  if (!edit.serial.empty()) PutAtaString(c + kCopySerial, 20, edit.serial);
  if (!edit.model.empty()) PutAtaString(c + kCopyModel, 40, edit.model);
  if (!edit.fwrev.empty()) PutVersion(c + kCopyVersion, edit.fwrev);
  EditIdTable(c + kCopyIdTable, edit);
}

std::vector<uint8_t> BuildIspImage(const ImageContent& content) {
  size_t size = std::max(content.size, kMinImageSize);
  std::vector<uint8_t> img(size, 0);
  uint8_t* p = img.data();
  PutText(p, 32, "QC3300 ISP IMAGE (synthetic)");
  // Section headers: header length 16, body length; section 5 carries the
  // version copy in its last 8 bytes.
  PutLe32(p + kImageSection4, 16);
  PutLe32(p + kImageSection4 + 4, 1024);
  PutLe32(p + kImageSection5, 16);
  PutLe32(p + kImageSection5 + 4, static_cast<uint32_t>(size - kImageBody5));
  // Section 5 body: firmware code and the ID table.
  Fill(p + kImageBody5, size - kImageBody5, "code:" + content.version);
  BuildIdTable(content.serial, content.model, content.version, content.capacity, p + kImageIdTable);
  // Section 4 body: code tag, version, CID area with the identity fields.
  Fill(p + 0x410, 0x400, "cid:" + content.version);
  PutText(p + 0x410, 8, "QELFW4");
  PutVersion(p + kImageVersion, content.version);
  PutText(p + 0x420, 4, "CID");
  // The WWN area starts with the WWN as IDENTIFY words 108-111 hold it.
  memcpy(p + 0x424, p + kImageIdTable + 2 * 108, 8);
  PutText(p + 0x42C, 20, "WWN " + content.serial);
  PutText(p + 0x4D0, 62, "vendor area of " + content.serial);
  PutAtaString(p + 0x51C, 20, content.serial);
  PutAtaString(p + 0x538, 40, content.model);
  PutText(p + 0x560, 16, "reserved");
  PutVersion(p + kImageSection5 + 8, content.version);
  if (size > kMinImageSize) p[size - 1] |= 0x01;  // the code ends with a non-zero byte
  // Section table and digests over header + body of each section.
  uint8_t* table = p + kSectionTable;
  PutLe32(table, 4);
  PutLe32(table + 4, static_cast<uint32_t>(kImageSection4));
  PutLe32(table + 8, 16 + 1024);
  Sha256(p + kImageSection4, 16 + 1024, table + 16);
  table += kSectionEntry;
  PutLe32(table, 5);
  PutLe32(table + 4, static_cast<uint32_t>(kImageSection5));
  PutLe32(table + 8, static_cast<uint32_t>(16 + size - kImageBody5));
  Sha256(p + kImageSection5, 16 + size - kImageBody5, table + 16);
  PutLe32(table + kSectionEntry, kEndOfTable);
  return img;
}

std::vector<uint8_t> BuildLoader(const std::string& tag, size_t size) {
  std::vector<uint8_t> code(size);
  Fill(code.data(), size, tag);
  PutText(code.data(), std::min<size_t>(16, size), tag);
  return code;
}

size_t WholeImageSize(const uint8_t* data, size_t size) {
  if (size < kImageBody5 || GetLe32(data + kImageSection4) != 16 || GetLe32(data + kImageSection4 + 4) != 1024 ||
      GetLe32(data + kImageSection5) != 16) {
    return 0;
  }
  return kImageBody5 + GetLe32(data + kImageSection5 + 4);
}

bool CopyFromWholeImage(const uint8_t* image, size_t size, std::vector<uint8_t>* copy, std::string* why) {
  size_t whole = WholeImageSize(image, size);
  if (whole == 0) {
    *why = "the data does not begin with the headers of an ISP image";
    return false;
  }
  uint64_t body5 = whole - kImageBody5;
  if (whole > size) {
    *why = "section 5 reaches past the loaded data";
    return false;
  }
  bool seen4 = false, seen5 = false;
  for (int i = 0; i < kSectionEntries; ++i) {
    const uint8_t* entry = image + kSectionTable + kSectionEntry * i;
    uint32_t type = GetLe32(entry);
    if (type == kEndOfTable) break;
    if (type != 4 && type != 5) continue;
    size_t start = type == 4 ? kImageSection4 : kImageSection5;
    uint8_t digest[32];
    Sha256(image + start, 16 + (type == 4 ? 1024 : body5), digest);
    if (memcmp(digest, entry + 16, 32) != 0) {
      *why = "section " + std::to_string(type) + " digest does not match";
      return false;
    }
    (type == 4 ? seen4 : seen5) = true;
  }
  if (!seen4 || !seen5) {
    *why = "section table lacks section 4 or 5";
    return false;
  }
  copy->assign(image + 0x410, image + 0x810);
  copy->insert(copy->end(), image + kImageBody5, image + kImageBody5 + body5);
  return true;
}

bool CopyFromRawLayout(const uint8_t* raw, size_t size, std::vector<uint8_t>* copy, std::string* why) {
  constexpr size_t kBodies = 0x80400, kTrailer = 0xC03F0;
  if (size != kRawLayoutSize) {
    *why = "raw layout must be exactly 0xC0400 bytes";
    return false;
  }
  if (memcmp(raw + kTrailer, raw + kBodies - 16, 16) != 0) {
    *why = "raw layout trailer does not repeat the end of its code";
    return false;
  }
  copy->assign(raw, raw + kBodies);
  return true;
}

}  // namespace vcard
