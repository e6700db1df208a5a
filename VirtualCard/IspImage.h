// ISP firmware images as the card sees them: building synthetic image sets,
// turning what the host loaded into the content of an ISP copy, and the
// identity fields (IDENTIFY-style ID table, serial number, model, version).
//
// An ISP copy in flash holds the section bodies only: the section-4 body
// (1024 bytes, image bytes 0x410..0x80F) followed by the section-5 body (image
// bytes from 0x820). Offsets named kCopy* are offsets in a copy.
#ifndef QEL_VIRTUALCARD_ISPIMAGE_H_
#define QEL_VIRTUALCARD_ISPIMAGE_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "CardConfig.h"

namespace vcard {

constexpr size_t kIdTableSize = 512;
constexpr size_t kImageHeaderSize = 1024;
constexpr size_t kImageSection4 = 0x400;
constexpr size_t kImageSection5 = 0x810;
constexpr size_t kImageBody5 = 0x820;
constexpr size_t kImageVersion = 0x418;
constexpr size_t kImageIdTable = 0x20820;
constexpr size_t kMinImageSize = kImageIdTable + kIdTableSize;  // 0x20A20
constexpr size_t kStrippedBytes = 1056;  // CSS header and two section headers

constexpr size_t kCopyVersion = kImageVersion - 0x410;
constexpr size_t kCopySerial = 0x51C - 0x410;
constexpr size_t kCopyModel = 0x538 - 0x410;
constexpr size_t kCopyWwn = 0x424 - 0x410;
constexpr size_t kCopyIdTable = 1024 + (kImageIdTable - kImageBody5);
constexpr size_t kMinCopySize = kCopyIdTable + kIdTableSize;

// The older raw layout that DOWNLOAD MICROCODE may carry (0xC0400 bytes).
constexpr size_t kRawLayoutSize = 0xC0400;

// IDENTIFY word positions of the identity texts.
constexpr size_t kIdSerial = 20, kIdSerialLen = 20;
constexpr size_t kIdFwRev = 46, kIdFwRevLen = 8;
constexpr size_t kIdModel = 54, kIdModelLen = 40;

// Text into an ATA string field: space padded, the two bytes of each word
// swapped. And back: unswapped, trailing blanks removed.
void PutAtaString(uint8_t* dst, size_t len, const std::string& text);
std::string GetAtaString(const uint8_t* src, size_t len);

// A firmware version field (8 bytes, zero padded) and back (up to the first
// zero, trailing blanks removed).
void PutVersion(uint8_t* dst, const std::string& version);
std::string GetVersion(const uint8_t* src);

// The card's world wide name: NAA 5, the IEEE's example OUI AC-DE-48 (kept for
// private use), and 36 bits drawn from the serial number, so that every
// serial the generator makes has its own.
constexpr uint64_t kWwnOui = 0xACDE48;
uint64_t WorldWideName(const std::string& serial);

// A complete IDENTIFY DEVICE image for a SATA SSD of the given identity and
// capacity (WWN, NCQ, TRIM, DOWNLOAD MICROCODE), and its integrity word set.
void BuildIdTable(const std::string& serial, const std::string& model, const std::string& fwrev,
                  uint64_t capacity, uint8_t out[kIdTableSize]);

// Recomputes the integrity word (255: signature 0xA5 and checksum).
void SealIdTable(uint8_t id[kIdTableSize]);

// Applies identity edits to an ID table (and reseals it).
void EditIdTable(uint8_t id[kIdTableSize], const IdentityEdit& edit);

// Applies identity edits to an ISP copy: the section-4 identity fields, the
// version and the ID table inside section 5.
void EditCopyIdentity(std::vector<uint8_t>* copy, const IdentityEdit& edit);

struct ImageContent {
  size_t size = 262144;
  std::string version = "Q1117A01";
  std::string serial, model;
  uint64_t capacity = 0;  // sectors, for the ID table's capacity words
};

// A synthetic ISP image: CSS header with the section table (type 4, type 5,
// end), both section headers, identity fields, ID table, valid digests.
// content.size must be at least kMinImageSize.
std::vector<uint8_t> BuildIspImage(const ImageContent& content);

// A synthetic loader program of the given size (tag in its first bytes).
std::vector<uint8_t> BuildLoader(const std::string& tag, size_t size);

// The length a whole image announces in its section headers (0x820 plus the
// section-5 body length), or 0 when the data does not begin like one.
size_t WholeImageSize(const uint8_t* data, size_t size);

// The copy content of a whole image (CSS header and both sections), after
// checking the section table and the digests. false with a reason.
bool CopyFromWholeImage(const uint8_t* image, size_t size, std::vector<uint8_t>* copy, std::string* why);

// The copy content of the older raw layout, after checking its trailer.
bool CopyFromRawLayout(const uint8_t* raw, size_t size, std::vector<uint8_t>* copy, std::string* why);

// SHA-256 of a byte range.
void Sha256(const uint8_t* data, size_t size, uint8_t digest[32]);

}  // namespace vcard

#endif  // QEL_VIRTUALCARD_ISPIMAGE_H_
