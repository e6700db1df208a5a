#include "CardTruth.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "SHA256.h"

namespace cardtruth {

namespace {

// The ISP image: a 1024-byte CSS header with a table of up to seven 48-byte
// section entries at 656, section 4 (16-byte header, 1024-byte body) at
// 0x400, section 5 (16-byte header, body to the end) at 0x810.
constexpr size_t kHeaderSize = 0x400;
constexpr size_t kSection4 = 0x400, kBody4 = 0x410, kSection5 = 0x810, kBody5 = 0x820;
constexpr size_t kTableOffset = 656, kEntrySize = 48, kTableEntries = 7, kDigestOffset = 16;
constexpr uint32_t kEndOfTable = 0xFFFFFFFF;
constexpr size_t kVersion = 0x418, kVersionCopy = 0x818, kVersionLen = 8;
constexpr size_t kIdTable = 0x20820, kIdSize = 512;

// Identity fields of the image's section 4.
constexpr size_t kWwnArea = 0x424, kVendorArea = 0x4D0, kSerial = 0x51C, kModel = 0x538;
constexpr size_t kCid1 = 0x420, kCid2 = 0x570;

// IDENTIFY data: byte offsets of the identity words.
struct IdField {
  const char* name;
  size_t offset, length;
  bool text;  // an ATA string (bytes of each word swapped), else shown in hex
};
constexpr IdField kIdentity[] = {
    {"serial number", 2 * 10, 20, true},
    {"firmware revision", 2 * 23, 8, true},
    {"model name", 2 * 27, 40, true},
    {"WWN", 2 * 108, 8, false},
};

// Where an identity word lives in an ISP copy, which holds the section-4 body
// and then the section-5 body.
size_t CopyOffset(size_t imageOffset) {
  return imageOffset < kSection5 ? imageOffset - kBody4 : imageOffset - kBody5 + (kSection5 - kBody4);
}
constexpr size_t kCopyIdTable = kIdTable - kBody5 + (kSection5 - kBody4);

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint16_t Word(const Bytes& id, int w) { return static_cast<uint16_t>(id[2 * w] | id[2 * w + 1] << 8); }
void SetWord(Bytes* id, int w, uint16_t v) {
  (*id)[2 * w] = static_cast<uint8_t>(v);
  (*id)[2 * w + 1] = static_cast<uint8_t>(v >> 8);
}

// ATA's integrity word: signature A5h and a checksum that sums the table to 0.
void Seal(uint8_t* id) {
  id[510] = 0xA5;
  uint8_t sum = 0;
  for (size_t i = 0; i < 511; ++i) sum = static_cast<uint8_t>(sum + id[i]);
  id[511] = static_cast<uint8_t>(-sum);
}

std::string Hex(const uint8_t* p, size_t n) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < n; ++i) {
    snprintf(buf, sizeof(buf), "%02X", p[i]);
    out += buf;
  }
  return out;
}

// An identity field as the tool shows it: ATA strings unswapped, trailing
// blanks and zeros dropped; anything else in hex.
std::string Show(const IdField& f, const uint8_t* id) {
  if (!f.text) return Hex(id + f.offset, f.length);
  std::string s;
  for (size_t i = 0; i < f.length; i += 2) {
    s += static_cast<char>(id[f.offset + i + 1]);
    s += static_cast<char>(id[f.offset + i]);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

bool ReadBytes(const std::string& path, Bytes* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// Refreshes the digests of sections 4 and 5 in the header's section table,
// each over the section's header and body. false when a section reaches past
// the image.
bool RefreshDigests(Bytes* image) {
  Bytes& p = *image;
  for (size_t i = 0; i < kTableEntries; ++i) {
    uint8_t* entry = p.data() + kTableOffset + i * kEntrySize;
    uint32_t type = Le32(entry);
    if (type == kEndOfTable) break;
    if (type != 4 && type != 5) continue;
    size_t start = type == 4 ? kSection4 : kSection5;
    uint64_t length = uint64_t{Le32(&p[start])} + Le32(&p[start + 4]);
    if (start + length > p.size()) return false;
    CalSHA256(p.data() + start, entry + kDigestOffset, static_cast<int>(length));
  }
  return true;
}

// The section bodies of a whole image: what an ISP copy holds.
Bytes Bodies(const Bytes& image) {
  size_t end = std::min(image.size(), kBody5 + Le32(&image[kSection5 + 4]));
  Bytes copy(image.begin() + kBody4, image.begin() + kSection5);
  copy.insert(copy.end(), image.begin() + kBody5, image.begin() + end);
  return copy;
}

// What the card answers to IDENTIFY: its running ID table, with the capacity
// and DOWNLOAD MICROCODE support the card states itself, resealed. Words 83,
// 119 and 120 carry ATA's "valid" pattern (bit 14).
Bytes Identify(const Card& card) {
  Bytes id = card.idTable;
  uint64_t capacity = strtoull(card.conf.count("capacity") ? card.conf.at("capacity").c_str() : "0", nullptr, 0);
  uint64_t lba28 = std::min<uint64_t>(capacity, 0x0FFFFFFF);
  SetWord(&id, 60, static_cast<uint16_t>(lba28));
  SetWord(&id, 61, static_cast<uint16_t>(lba28 >> 16));
  for (int i = 0; i < 4; ++i) SetWord(&id, 100 + i, static_cast<uint16_t>(capacity >> (16 * i)));
  SetWord(&id, 83, Word(id, 83) | 0x4001);
  SetWord(&id, 86, Word(id, 86) | 0x0001);
  SetWord(&id, 119, Word(id, 119) | 0x4010);
  SetWord(&id, 120, Word(id, 120) | 0x4010);
  bool noDma = card.conf.count("no-dma") && card.conf.at("no-dma") == "1";
  SetWord(&id, 69, noDma ? (Word(id, 69) & ~0x0100) : (Word(id, 69) | 0x0100));
  SetWord(&id, 234, 1);
  SetWord(&id, 235, 128);
  Seal(id.data());
  return id;
}

// The read-back of the card's ISP copy 2 in image layout: a field at image
// offset o of the dump is the copy's byte at CopyOffset(o); flash past the
// stored copy reads erased.
uint8_t DumpByte(const Bytes& copy, size_t imageOffset) {
  size_t at = CopyOffset(imageOffset);
  return at < copy.size() ? copy[at] : 0xFF;
}

// Personalisation: the fields each command carries from the card's read-back
// into the image, and where the ID table comes from. Fields are applied in
// order, then the ID table, which keeps `keep` bytes of the image's own table
// at its firmware revision (word 23 on).
enum class IdFrom { kImage, kDump, kIdentify };
struct Field {
  size_t offset, length;
};
struct Rule {
  const char* word;
  std::vector<Field> fromDump;
  IdFrom idTable;
  size_t keep;
};
const Rule kRules[] = {
    {"keepsn", {{kSerial, 20}, {kIdTable + 2 * 10, 20}}, IdFrom::kImage, 0},
    {"keepsn_1", {{kWwnArea, 28}, {kSerial, 20}, {kModel, 40}, {kVendorArea, 62}}, IdFrom::kDump, 8},
    {"update", {{kSerial, 20}, {kModel, 40}, {kVendorArea, 62}}, IdFrom::kDump, 8},
    {"update_1", {{kWwnArea, 28}, {kSerial, 20}, {kVendorArea, 62}}, IdFrom::kIdentify, 48},
    {"swap", {{kCid1, 320}, {kCid2, 672}}, IdFrom::kIdentify, 8},
    {"swap_1", {{kCid1, 320}, {kCid2, 672}}, IdFrom::kDump, 8},
};
constexpr size_t kIdKeepOffset = kIdTable + 2 * 23;

std::string Personalise(const Card& before, const std::vector<std::string>& words, Bytes* image) {
  Bytes& p = *image;
  std::copy_n(&p[kVersion], kVersionLen, &p[kVersionCopy]);
  if (words[0] == "initial") {
    // A serial typed on the command line: zero padded, each pair swapped.
    const std::string& sn = words[1];
    if (sn.size() > 20) return "serial number longer than 20 characters";
    uint8_t field[20] = {};
    for (size_t i = 0; i < sn.size(); ++i) field[i ^ 1] = static_cast<uint8_t>(sn[i]);
    std::copy_n(field, 20, &p[kSerial]);
    std::copy_n(field, 20, &p[kIdTable + 2 * 10]);
    return "";
  }
  const Rule* rule = nullptr;
  for (const Rule& r : kRules) {
    if (words[0] == r.word) rule = &r;
  }
  if (rule == nullptr) return "'" + words[0] + "' writes no firmware";
  const Bytes& dump = before.copy[1];
  if (dump.empty()) return "the card holds no ISP copy to keep its identity from";
  for (const Field& f : rule->fromDump) {
    for (size_t i = 0; i < f.length; ++i) p[f.offset + i] = DumpByte(dump, f.offset + i);
  }
  if (rule->idTable == IdFrom::kImage) return "";
  uint8_t kept[48];
  std::copy_n(&p[kIdKeepOffset], rule->keep, kept);
  if (rule->idTable == IdFrom::kDump) {
    for (size_t i = 0; i < kIdSize; ++i) p[kIdTable + i] = DumpByte(dump, kIdTable + i);
  } else {
    if (before.conf.count("identify")) return "IDENTIFY overrides of the card are outside the truth";
    Bytes id = Identify(before);
    std::copy(id.begin(), id.end(), &p[kIdTable]);
  }
  std::copy_n(kept, rule->keep, &p[kIdKeepOffset]);
  return "";
}

// DOWNLOAD MICROCODE sends the image unchanged, or for a card whose firmware
// revision sorts at or before "P0925A" the older raw layout whose code part
// is the section-4 body and the first 512 KiB of the section-5 body. A card
// keeps its serial, model and WWN across it unless it is set to take the
// image's (dm-takes-identity).
std::string Microcode(const Card& before, const Bytes& image, Bytes* copy) {
  constexpr size_t kRawCode = 0x80000;
  if (Show(kIdentity[1], before.idTable.data()) <= std::string("P0925A")) {
    if (image.size() < kBody5 + kRawCode) return "image too short for the older layout";
    copy->assign(image.begin() + kBody4, image.begin() + kSection5);
    copy->insert(copy->end(), image.begin() + kBody5, image.begin() + kBody5 + kRawCode);
  } else {
    *copy = Bodies(image);
  }
  if (before.conf.count("dm-takes-identity") && before.conf.at("dm-takes-identity") == "1") return "";
  struct Kept {
    size_t offset, length;
    bool inIdTable;
  };
  static const Kept kKept[] = {
      {kCopyIdTable + 2 * 10, 20, true}, {kCopyIdTable + 2 * 27, 40, true}, {kCopyIdTable + 2 * 108, 8, true},
      {CopyOffset(kSerial), 20, false},  {CopyOffset(kModel), 40, false},   {CopyOffset(kWwnArea), 28, false},
  };
  const Bytes& old = before.copy[0];
  bool oldCopy = old.size() >= kCopyIdTable + kIdSize;
  for (const Kept& k : kKept) {
    if (oldCopy) {
      std::copy_n(&old[k.offset], k.length, &(*copy)[k.offset]);
    } else if (k.inIdTable) {
      std::copy_n(&before.idTable[k.offset - kCopyIdTable], k.length, &(*copy)[k.offset]);
    }
  }
  Seal(&(*copy)[kCopyIdTable]);
  return "";
}

// The first sector that differs between two sector files, -1 when none.
// Holes read as zeros; ranges that are holes in both are passed over.
long long FirstChangedSector(const std::string& a, const std::string& b, std::string* error) {
  int fa = open(a.c_str(), O_RDONLY | O_CLOEXEC), fb = open(b.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat sa, sb;
  long long changed = -1;
  if (fa < 0 || fb < 0 || fstat(fa, &sa) != 0 || fstat(fb, &sb) != 0) {
    *error = "cannot read " + a + " or " + b;
  } else if (sa.st_size != sb.st_size) {
    *error = "sector file size is " + std::to_string(sa.st_size) + ", expected " + std::to_string(sb.st_size);
  } else {
    constexpr off_t kChunk = 64 << 10;
    std::vector<char> ba(kChunk), bb(kChunk);
    off_t size = sa.st_size;
    for (off_t pos = 0; pos < size && changed < 0;) {
      off_t da = lseek(fa, pos, SEEK_DATA), db = lseek(fb, pos, SEEK_DATA);
      off_t next = std::min(da < 0 ? size : da, db < 0 ? size : db);
      pos = next - next % 512;
      if (pos >= size) break;
      off_t n = std::min(kChunk, size - pos);
      if (pread(fa, ba.data(), n, pos) != n || pread(fb, bb.data(), n, pos) != n) {
        *error = "cannot read the sector files";
        break;
      }
      for (off_t i = 0; i < n; i += 512) {
        if (memcmp(&ba[i], &bb[i], 512) != 0) {
          changed = (pos + i) / 512;
          break;
        }
      }
      pos += n;
    }
  }
  if (fa >= 0) close(fa);
  if (fb >= 0) close(fb);
  return changed;
}

std::string CheckSectors(const std::string& cardDir, const std::string& beforeDir) {
  std::string error;
  long long s = FirstChangedSector(cardDir + "/sectors.img", beforeDir + "/sectors.img", &error);
  if (!error.empty()) return error;
  if (s == 0) return "sector 0 differs from the card's before the run";
  if (s > 0) return "user sector " + std::to_string(s) + " differs from the card's before the run";
  return "";
}

// A stored copy equals `want`; a copy written by whole sectors may end in
// zero padding up to the next sector.
bool SameCopy(const Bytes& stored, const Bytes& want) {
  if (stored.size() < want.size() || stored.size() - want.size() >= 512 ||
      (stored.size() > want.size() && stored.size() % 512 != 0)) {
    return false;
  }
  return std::equal(want.begin(), want.end(), stored.begin()) &&
         std::all_of(stored.begin() + want.size(), stored.end(), [](uint8_t b) { return b == 0; });
}

std::string CopyMismatch(int n, const Bytes& stored, const Bytes& want) {
  std::string head = "ISP copy " + std::to_string(n + 1) + " ";
  auto at = std::mismatch(want.begin(), want.end(), stored.begin(),
                          stored.begin() + std::min(stored.size(), want.size()));
  if (at.first == want.end() || at.second == stored.end()) {
    return head + "holds " + std::to_string(stored.size()) + " bytes, expected " + std::to_string(want.size());
  }
  char buf[96];
  snprintf(buf, sizeof(buf), "byte 0x%zX is 0x%02X, expected 0x%02X", static_cast<size_t>(at.first - want.begin()),
           *at.second, *at.first);
  return head + buf;
}

// The running identity against the wanted ID table: the identity fields
// first, by name, then the whole table.
std::string CheckIdentity(const Bytes& have, const uint8_t* want) {
  if (have.size() != kIdSize) return "ID table holds " + std::to_string(have.size()) + " bytes, expected 512";
  for (const IdField& f : kIdentity) {
    if (!std::equal(want + f.offset, want + f.offset + f.length, have.begin() + f.offset)) {
      return std::string(f.name) + " is <" + Show(f, have.data()) + ">, expected <" + Show(f, want) + ">";
    }
  }
  auto at = std::mismatch(want, want + kIdSize, have.begin());
  if (at.first == want + kIdSize) return "";
  size_t w = static_cast<size_t>(at.first - want) / 2;
  char buf[80];
  snprintf(buf, sizeof(buf), "ID table word %zu is 0x%04X, expected 0x%04X", w, have[2 * w] | have[2 * w + 1] << 8,
           want[2 * w] | want[2 * w + 1] << 8);
  return buf;
}

std::string Program(const Card& card) {
  auto it = card.conf.find("mode");
  return it == card.conf.end() ? "?" : it->second;
}

}  // namespace

std::string LoadCard(const std::string& dir, Card* card) {
  std::ifstream conf(dir + "/card.conf");
  if (!conf) return "cannot read " + dir + "/card.conf";
  for (std::string line; std::getline(conf, line);) {
    size_t eq = line.find('=');
    if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
    card->conf[line.substr(0, eq)] = line.substr(eq + 1);
  }
  if (!ReadBytes(dir + "/idtable.bin", &card->idTable) || card->idTable.size() != kIdSize) {
    return "cannot read a 512-byte " + dir + "/idtable.bin";
  }
  // A blank card has no copy files.
  for (int n = 0; n < 2; ++n) {
    card->copy[n].clear();
    ReadBytes(dir + (n == 0 ? "/isp1.bin" : "/isp2.bin"), &card->copy[n]);
  }
  return "";
}

std::string ComputeTruth(const Card& before, const Bytes& image, const std::vector<std::string>& words,
                         Truth* truth) {
  if (words.empty()) return "no command";
  if (image.size() < kIdTable + kIdSize || Le32(&image[kSection4]) != 16 || Le32(&image[kSection4 + 4]) != 1024 ||
      Le32(&image[kSection5]) != 16) {
    return "not a whole ISP image that holds an ID table";
  }
  truth->image = image;
  if (words[0] == "download-microcode") return Microcode(before, image, &truth->copy);
  // "initial" alone writes the set's image unchanged.
  if (!(words[0] == "initial" && words.size() == 1)) {
    std::string why = Personalise(before, words, &truth->image);
    if (!why.empty()) return why;
    if (!RefreshDigests(&truth->image)) return "a section reaches past the end of the image";
  }
  truth->copy = Bodies(truth->image);
  return "";
}

std::string CheckPassed(const std::string& cardDir, const std::string& beforeDir, const Truth& truth) {
  Card card;
  std::string why = LoadCard(cardDir, &card);
  if (!why.empty()) return why;
  if (Program(card) != "isp") return "program is " + Program(card) + ", expected isp";
  if (truth.copy.size() < kCopyIdTable + kIdSize) return "the truth holds no ID table";
  why = CheckIdentity(card.idTable, &truth.copy[kCopyIdTable]);
  if (!why.empty()) return why;
  for (int n = 0; n < 2; ++n) {
    if (!SameCopy(card.copy[n], truth.copy)) return CopyMismatch(n, card.copy[n], truth.copy);
  }
  return CheckSectors(cardDir, beforeDir);
}

std::string CheckUntouched(const std::string& cardDir, const std::string& beforeDir) {
  Card card, before;
  std::string why = LoadCard(cardDir, &card);
  if (why.empty()) why = LoadCard(beforeDir, &before);
  if (!why.empty()) return why;
  why = CheckIdentity(card.idTable, before.idTable.data());
  if (!why.empty()) return why;
  for (int n = 0; n < 2; ++n) {
    if (card.copy[n] != before.copy[n]) return CopyMismatch(n, card.copy[n], before.copy[n]);
  }
  return CheckSectors(cardDir, beforeDir);
}

std::string CheckFailedLate(const std::string& cardDir, const std::string& beforeDir, const Truth& truth) {
  Card card, before;
  std::string why = LoadCard(cardDir, &card);
  if (why.empty()) why = LoadCard(beforeDir, &before);
  if (!why.empty()) return why;
  if (truth.copy.size() < kCopyIdTable + kIdSize) return "the truth holds no ID table";
  if (!CheckIdentity(card.idTable, before.idTable.data()).empty()) {
    why = CheckIdentity(card.idTable, &truth.copy[kCopyIdTable]);
    if (!why.empty()) return why + " (nor the card's before the run)";
  }
  for (int n = 0; n < 2; ++n) {
    if (card.copy[n] != before.copy[n] && !SameCopy(card.copy[n], truth.copy)) {
      return CopyMismatch(n, card.copy[n], truth.copy) + " (nor the card's before the run)";
    }
  }
  return CheckSectors(cardDir, beforeDir);
}

}  // namespace cardtruth
