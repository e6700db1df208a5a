// The card as the Linux SCSI layer presents it: SG_IO requests carrying
// SCSI commands, or ATA PASS-THROUGH with the answers and sense data that
// libata's SCSI/ATA translation gives. Also the journal line of each command
// and the --fail-cmd injection.
#include <errno.h>
#include <scsi/sg.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "Card.h"
#include "FlashLayout.h"

namespace vcard {

namespace {

// SCSI status and sense keys used.
constexpr uint8_t kGood = 0x00;
constexpr uint8_t kCheckCondition = 0x02;
constexpr uint8_t kBusy = 0x08;
constexpr uint8_t kNoSense = 0x0;
constexpr uint8_t kRecoveredError = 0x1;
constexpr uint8_t kMediumError = 0x3;
constexpr uint8_t kIllegalRequest = 0x5;
constexpr uint8_t kAbortedCommand = 0xB;

constexpr uint8_t kAtaReady = 0x50;  // DRDY | DSC
constexpr uint8_t kAtaError = 0x51;  // ... | ERR

// ATA PASS-THROUGH protocols.
constexpr int kNonData = 3;
constexpr int kPioIn = 4;
constexpr int kPioOut = 5;
constexpr int kDma = 6;

// One request as the card receives it, and its answer.
struct Request {
  uint8_t cdb[16] = {};
  int cdbLen = 0;
  uint8_t* data = nullptr;
  uint32_t dataLen = 0;
  int direction = SG_DXFER_NONE;
};

struct Reply {
  uint8_t status = kGood;
  uint8_t sense[32] = {};
  int senseLen = 0;
  uint32_t transferred = 0;
  std::string result = "ok";
};

// ATA task file of a pass-through command.
struct TaskFile {
  int protocol = 0;
  bool extend = false, ckCond = false, fromDevice = false;
  int tLength = 0;
  uint16_t features = 0, count = 0;
  uint64_t lba = 0;
  uint8_t device = 0, command = 0;
};

void FixedSense(Reply* r, uint8_t key, uint8_t asc, uint8_t ascq) {
  r->status = kCheckCondition;
  memset(r->sense, 0, sizeof(r->sense));
  r->sense[0] = 0x70;
  r->sense[2] = key;
  r->sense[7] = 10;
  r->sense[12] = asc;
  r->sense[13] = ascq;
  r->senseLen = 18;
}

void IllegalRequest(Reply* r, uint8_t asc, const char* why) {
  FixedSense(r, kIllegalRequest, asc, 0);
  r->transferred = 0;
  r->result = std::string("illegal request: ") + why;
}

// SCSI sense for an ATA error: the key and code libata chooses.
void AtaErrorSense(uint8_t error, uint8_t* key, uint8_t* asc, uint8_t* ascq) {
  *asc = 0;
  *ascq = 0;
  if (error & kUnc) {
    *key = kMediumError;
    *asc = 0x11;
    *ascq = 0x04;
  } else if (error & kIdnf) {
    *key = kIllegalRequest;
    *asc = 0x21;
  } else {
    *key = kAbortedCommand;
  }
}

std::string ErrorName(uint8_t error) {
  if (error & kUnc) return "error UNC";
  if (error & kIdnf) return "error IDNF";
  return "error ABRT";
}

// Answer of a pass-through command: ATA Status Return descriptor for an
// error or a successful CK_COND command (fixed format with --fixed-sense).
void AtaReply(const VCard* card, const TaskFile& tf, Outcome out, Reply* r) {
  uint8_t status = out.error ? kAtaError : kAtaReady;
  uint8_t device = static_cast<uint8_t>(0x40 | (tf.device & 0x0F));
  bool smart = tf.command == 0xB0;
  uint64_t lbaOut = smart && !out.error ? tf.lba : 0;  // SMART echoes 4Fh/C2h: healthy
  const Faults& f = card->cfg.faults;
  if (out.error == 0 && (!tf.ckCond || f.noCkCond)) {
    r->status = kGood;
    r->senseLen = 0;
    return;
  }
  r->status = kCheckCondition;
  memset(r->sense, 0, sizeof(r->sense));
  uint8_t key = kRecoveredError, asc = 0, ascq = 0x1D;  // ATA PASS-THROUGH INFORMATION AVAILABLE
  if (out.error) AtaErrorSense(out.error, &key, &asc, &ascq);
  if (out.error && f.fixedSenseLinux61) {
    // Linux 6.1's translator answers a failed command in fixed format (its
    // default) with the registers in the command-specific information field
    // instead of the information field; successes keep the descriptor.
    r->sense[0] = 0x70;
    r->sense[2] = key;
    r->sense[7] = 10;
    r->sense[8] = out.error;
    r->sense[9] = status;
    r->sense[10] = device;
    r->sense[11] = out.count;
    r->sense[12] = asc;
    r->sense[13] = ascq;
    r->sense[17] = static_cast<uint8_t>(lbaOut);
    r->sense[18] = static_cast<uint8_t>(lbaOut >> 8);
    r->sense[19] = static_cast<uint8_t>(lbaOut >> 16);
    r->senseLen = 20;
    return;
  }
  if (out.error == 0 && f.fixedSense) {
    r->sense[0] = 0x70;
    r->sense[2] = kRecoveredError;
    r->sense[3] = out.error;
    r->sense[4] = status;
    r->sense[5] = device;
    r->sense[6] = out.count;
    r->sense[7] = 10;
    r->sense[9] = static_cast<uint8_t>(lbaOut);
    r->sense[10] = static_cast<uint8_t>(lbaOut >> 8);
    r->sense[11] = static_cast<uint8_t>(lbaOut >> 16);
    r->sense[13] = 0x1D;
    r->senseLen = 18;
    return;
  }
  r->sense[0] = 0x72;
  r->sense[1] = key;
  r->sense[2] = asc;
  r->sense[3] = ascq;
  r->sense[7] = 14;
  uint8_t* d = r->sense + 8;
  d[0] = 0x09;
  d[1] = 0x0C;
  d[2] = tf.extend ? 1 : 0;
  d[3] = out.error;
  d[5] = out.count;
  d[7] = static_cast<uint8_t>(lbaOut);
  d[9] = static_cast<uint8_t>(lbaOut >> 8);
  d[11] = static_cast<uint8_t>(lbaOut >> 16);
  d[12] = device;
  d[13] = status;
  r->senseLen = 22;
}

// --- ATA commands ---

struct AtaCommand {
  uint8_t command;
  const char* name;
  int protocol;  // the data protocol it needs (DMA commands: kDma)
  Outcome (*run)(VCard* card, const TaskFile& tf, uint8_t* data, uint32_t len, uint32_t* moved);
};

// Sector count of a read/write command (0 means 256, or 65536 in 48-bit).
uint32_t SectorCount(const TaskFile& tf) {
  if (tf.count != 0) return tf.count;
  return tf.extend ? 65536 : 256;
}

Outcome AtaRead(VCard* card, const TaskFile& tf, uint8_t* data, uint32_t, uint32_t* moved) {
  uint32_t n = SectorCount(tf);
  *moved = n * static_cast<uint32_t>(kSector);
  return ReadSectors(card, tf.lba, n, data);
}

Outcome AtaWrite(VCard* card, const TaskFile& tf, uint8_t* data, uint32_t, uint32_t* moved) {
  uint32_t n = SectorCount(tf);
  *moved = n * static_cast<uint32_t>(kSector);
  return WriteSectors(card, tf.lba, n, data);
}

Outcome AtaIdentify(VCard* card, const TaskFile&, uint8_t* data, uint32_t, uint32_t* moved) {
  IdentifyData(card, data);
  *moved = kIdTableSize;
  return Outcome{};
}

// The last byte of a SMART structure makes its bytes sum to zero.
void SealSector(uint8_t* data) {
  uint8_t sum = 0;
  for (size_t i = 0; i < kSector - 1; ++i) sum = static_cast<uint8_t>(sum + data[i]);
  data[kSector - 1] = static_cast<uint8_t>(-sum);
}

// SMART with the signature in LBA mid/high. READ DATA answers a healthy
// attribute table (power-on hours, power cycles, temperature), READ
// THRESHOLDS its thresholds, READ LOG the SMART log directory and empty
// error and self-test logs; ENABLE/DISABLE/RETURN STATUS succeed, the rest
// abort. So smartctl finds a healthy disk.
Outcome AtaSmart(VCard*, const TaskFile& tf, uint8_t* data, uint32_t len, uint32_t* moved) {
  static const struct { uint8_t id; uint16_t flags; uint8_t value, raw, threshold; } kAttributes[] = {
      {9, 0x0032, 100, 42, 0},    // power-on hours
      {12, 0x0032, 100, 7, 0},    // power cycle count
      {194, 0x0022, 67, 33, 0},   // temperature (Celsius)
      {5, 0x0033, 100, 0, 10},    // reallocated sectors
  };
  if (((tf.lba >> 8) & 0xFFFF) != 0xC24F) return Outcome{kAbrt, 0};
  bool read = tf.features == 0xD0 || tf.features == 0xD1 || tf.features == 0xD5;
  if (read && len < kSector) return Outcome{kAbrt, 0};
  if (read) memset(data, 0, kSector);
  switch (tf.features) {
    case 0xD0:  // READ DATA
    case 0xD1:  // READ THRESHOLDS
      data[0] = 0x10;
      for (size_t i = 0; i < sizeof(kAttributes) / sizeof(kAttributes[0]); ++i) {
        uint8_t* a = data + 2 + 12 * i;
        a[0] = kAttributes[i].id;
        if (tf.features == 0xD1) {
          a[1] = kAttributes[i].threshold;
          continue;
        }
        a[1] = static_cast<uint8_t>(kAttributes[i].flags);
        a[2] = static_cast<uint8_t>(kAttributes[i].flags >> 8);
        a[3] = a[4] = kAttributes[i].value;
        a[5] = kAttributes[i].raw;
      }
      if (tf.features == 0xD0) {
        data[362] = 0x82;  // offline collection completed
        data[368] = 0x03;  // SMART capabilities: saved on standby, autosave
        data[370] = 0x01;  // error logging supported
      }
      SealSector(data);
      *moved = kSector;
      return Outcome{};
    case 0xD5:  // READ LOG: directory, summary error log, self-test log
      switch (tf.lba & 0xFF) {
        case 0x00:
          data[0] = 0x01;  // directory version
          data[2 * 0x01] = 1;
          data[2 * 0x06] = 1;
          break;
        case 0x01:
        case 0x06:
          data[0] = 0x01;  // log version, no entries
          SealSector(data);
          break;
        default:
          return Outcome{kAbrt, 0};
      }
      *moved = kSector;
      return Outcome{};
    case 0xD8:
    case 0xD9:
    case 0xDA:
      return Outcome{};
    default:
      return Outcome{kAbrt, 0};
  }
}

// DOWNLOAD MICROCODE: COUNT and LBA (7:0) hold the block count, LBA (23:8)
// the buffer offset.
Outcome AtaDownload(VCard* card, const TaskFile& tf, uint8_t* data, uint32_t len, uint32_t* moved) {
  uint32_t blocks = (tf.count & 0xFF) | static_cast<uint32_t>(tf.lba & 0xFF) << 8;
  uint32_t offset = static_cast<uint32_t>((tf.lba >> 8) & 0xFFFF);
  uint8_t sub = static_cast<uint8_t>(tf.features);
  if (sub == 0x0F) blocks = 0;
  if (static_cast<uint64_t>(blocks) * kSector > len) return Outcome{kAbrt, 0};
  *moved = blocks * static_cast<uint32_t>(kSector);
  return DownloadMicrocode(card, sub, blocks, offset, data, tf.command == 0x93);
}

// READ LOG EXT: only the log directory, and it lists no logs.
Outcome AtaReadLog(VCard*, const TaskFile& tf, uint8_t* data, uint32_t len, uint32_t* moved) {
  if ((tf.lba & 0xFF) != 0 || (tf.lba >> 8) != 0 || len < kSector) return Outcome{kAbrt, 0};
  memset(data, 0, kSector);
  data[0] = 0x01;  // directory version
  *moved = kSector;
  return Outcome{};
}

Outcome AtaPowerMode(VCard*, const TaskFile&, uint8_t*, uint32_t, uint32_t*) { return Outcome{0, 0xFF}; }
Outcome AtaNothing(VCard*, const TaskFile&, uint8_t*, uint32_t, uint32_t*) { return Outcome{}; }

const AtaCommand kAtaCommands[] = {
    {0xEC, "IDENTIFY DEVICE", kPioIn, AtaIdentify},
    {0x20, "READ SECTOR(S)", kPioIn, AtaRead},
    {0x21, "READ SECTOR(S)", kPioIn, AtaRead},
    {0x24, "READ SECTOR(S) EXT", kPioIn, AtaRead},
    {0xC8, "READ DMA", kDma, AtaRead},
    {0x25, "READ DMA EXT", kDma, AtaRead},
    {0x30, "WRITE SECTOR(S)", kPioOut, AtaWrite},
    {0x31, "WRITE SECTOR(S)", kPioOut, AtaWrite},
    {0x34, "WRITE SECTOR(S) EXT", kPioOut, AtaWrite},
    {0xCA, "WRITE DMA", kDma, AtaWrite},
    {0x35, "WRITE DMA EXT", kDma, AtaWrite},
    {0xB0, "SMART", -1, AtaSmart},
    {0x92, "DOWNLOAD MICROCODE", kPioOut, AtaDownload},
    {0x93, "DOWNLOAD MICROCODE DMA", kDma, AtaDownload},
    {0x2F, "READ LOG EXT", kPioIn, AtaReadLog},
    {0xE5, "CHECK POWER MODE", kNonData, AtaPowerMode},
    {0xE7, "FLUSH CACHE", kNonData, AtaNothing},
    {0xEA, "FLUSH CACHE EXT", kNonData, AtaNothing},
    {0xEF, "SET FEATURES", kNonData, AtaNothing},
};

bool ParseTaskFile(const Request& q, TaskFile* tf) {
  const uint8_t* c = q.cdb;
  if (c[0] == 0x85 && q.cdbLen >= 16) {
    tf->extend = c[1] & 1;
    tf->features = static_cast<uint16_t>(c[4] | (tf->extend ? c[3] << 8 : 0));
    tf->count = static_cast<uint16_t>(c[6] | (tf->extend ? c[5] << 8 : 0));
    tf->lba = static_cast<uint64_t>(c[8]) | static_cast<uint64_t>(c[10]) << 8 | static_cast<uint64_t>(c[12]) << 16;
    if (tf->extend) {
      tf->lba |= static_cast<uint64_t>(c[7]) << 24 | static_cast<uint64_t>(c[9]) << 32 |
                 static_cast<uint64_t>(c[11]) << 40;
    }
    tf->device = c[13];
    tf->command = c[14];
  } else if (c[0] == 0xA1 && q.cdbLen >= 12) {
    tf->features = c[3];
    tf->count = c[4];
    tf->lba = static_cast<uint64_t>(c[5]) | static_cast<uint64_t>(c[6]) << 8 | static_cast<uint64_t>(c[7]) << 16;
    tf->device = c[8];
    tf->command = c[9];
  } else {
    return false;
  }
  tf->protocol = (c[1] >> 1) & 0x0F;
  tf->ckCond = c[2] & 0x20;
  tf->fromDevice = c[2] & 0x08;
  tf->tLength = c[2] & 0x03;
  // 28-bit commands take LBA bits 27:24 from DEVICE.
  if (!tf->extend) tf->lba |= static_cast<uint64_t>(tf->device & 0x0F) << 24;
  return true;
}

std::string DescribeAta(const TaskFile& tf, const AtaCommand* cmd) {
  char buf[160];
  snprintf(buf, sizeof(buf), "%s cmd=0x%02X feat=0x%02X count=%u lba=0x%llX dev=0x%02X prot=%d%s",
           cmd ? cmd->name : "ATA", tf.command, tf.features, tf.count, static_cast<unsigned long long>(tf.lba),
           tf.device, tf.protocol, tf.ckCond ? " ck_cond" : "");
  return buf;
}

void RunAta(VCard* card, const Request& q, Reply* r, std::string* what) {
  TaskFile tf;
  if (card->cfg.scsi || !ParseTaskFile(q, &tf)) {
    *what = "ATA PASS-THROUGH";
    return IllegalRequest(r, 0x20, "no ATA pass-through on this disk");
  }
  const AtaCommand* cmd = nullptr;
  for (const AtaCommand& c : kAtaCommands) {
    if (c.command == tf.command) cmd = &c;
  }
  *what = DescribeAta(tf, cmd);
  // The translator checks the protocol against the data direction first.
  bool dataIn = tf.protocol == kPioIn || (tf.protocol == kDma && tf.fromDevice);
  bool dataOut = tf.protocol == kPioOut || (tf.protocol == kDma && !tf.fromDevice);
  if (tf.protocol != kNonData && !dataIn && !dataOut) return IllegalRequest(r, 0x24, "unsupported protocol");
  if ((dataIn && q.direction != SG_DXFER_FROM_DEV && q.direction != SG_DXFER_TO_FROM_DEV) ||
      (dataOut && q.direction != SG_DXFER_TO_DEV) || (tf.protocol != kNonData && q.dataLen == 0)) {
    return IllegalRequest(r, 0x24, "protocol and data direction disagree");
  }
  if ((tf.protocol == kPioIn || tf.protocol == kPioOut) && tf.fromDevice != dataIn) {
    return IllegalRequest(r, 0x24, "T_DIR disagrees with the protocol");
  }
  bool sectorAccess = cmd != nullptr && (cmd->run == AtaRead || cmd->run == AtaWrite);
  if (!sectorAccess) InterruptExchange(card);  // sector accesses run the channel themselves
  Outcome out;
  uint32_t moved = 0;
  bool nonDataDownload = (tf.command == 0x92 || tf.command == 0x93) && tf.features == 0x0F;
  if (cmd == nullptr) {
    out.error = kAbrt;
  } else if (cmd->protocol >= 0 && cmd->protocol != tf.protocol && !(nonDataDownload && tf.protocol == kNonData)) {
    out.error = kAbrt;  // the device would hang or fail; a translator ends it so
    card->note = "protocol " + std::to_string(tf.protocol) + " does not fit the command";
  } else if ((tf.command == 0x20 || tf.command == 0x30 || tf.command == 0xC8 || tf.command == 0xCA) &&
             (tf.device & 0x40) == 0) {
    out.error = kAbrt;
    card->note = "CHS addressing not supported";
  } else {
    uint32_t need = 0;
    if (cmd->run == AtaRead || cmd->run == AtaWrite) need = SectorCount(tf) * static_cast<uint32_t>(kSector);
    if (cmd->run == AtaIdentify) need = kIdTableSize;
    if (need > q.dataLen) return IllegalRequest(r, 0x24, "buffer shorter than the transfer");
    out = cmd->run(card, tf, q.data, q.dataLen, &moved);
  }
  r->transferred = out.error ? 0 : std::min(moved, q.dataLen);
  if (out.error) r->result = ErrorName(out.error);
  else if (out.count) r->result = "ok count=" + std::to_string(out.count);
  AtaReply(card, tf, out, r);
}

// --- SCSI commands ---

void PutBe(uint8_t* p, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * (bytes - 1 - i)));
}

uint64_t GetBe(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | p[i];
  return v;
}

void PutPadded(uint8_t* dst, size_t len, const std::string& text) {
  memset(dst, ' ', len);
  memcpy(dst, text.data(), std::min(len, text.size()));
}

struct Identity {
  std::string serial, model, fwrev;
};

Identity CardIdentity(const VCard* card) {
  uint8_t id[kIdTableSize];
  IdentifyData(card, id);
  return {GetAtaString(id + kIdSerial, kIdSerialLen), GetAtaString(id + kIdModel, kIdModelLen),
          GetAtaString(id + kIdFwRev, kIdFwRevLen)};
}

// Copies an answer into the host buffer, cut to the allocation length.
void Answer(const std::vector<uint8_t>& data, size_t alloc, const Request& q, Reply* r) {
  size_t n = std::min({data.size(), alloc, static_cast<size_t>(q.dataLen)});
  if (n > 0) memcpy(q.data, data.data(), n);
  r->transferred = static_cast<uint32_t>(n);
}

void ScsiInquiry(VCard* card, const Request& q, Reply* r) {
  const uint8_t* c = q.cdb;
  size_t alloc = GetBe(c + 3, 2);
  Identity ident = CardIdentity(card);
  bool ata = !card->cfg.scsi;
  std::vector<uint8_t> d;
  if ((c[1] & 1) == 0) {
    if (c[2] != 0) return IllegalRequest(r, 0x24, "page code without EVPD");
    d.assign(96, 0);
    d[2] = 0x05;
    d[3] = 0x02;
    d[4] = 91;
    PutPadded(&d[8], 8, ata ? "ATA" : "QEL");
    PutPadded(&d[16], 16, ident.model);
    // The revision field shows four characters of the firmware revision
    // (the last four when they are not blank, as the translator does).
    std::string rev = ident.fwrev.size() > 4 ? ident.fwrev.substr(4) : ident.fwrev;
    PutPadded(&d[32], 4, rev);
    return Answer(d, alloc, q, r);
  }
  switch (c[2]) {
    case 0x00:
      d = {0, 0, 0, 0, 0x00, 0x80, 0x83};
      if (ata) d.insert(d.end(), {0x89, 0xB0, 0xB1, 0xB2});
      break;
    case 0x80:
      d.assign(4, 0);
      d.insert(d.end(), ident.serial.begin(), ident.serial.end());
      break;
    case 0x83: {
      std::string text = ata ? "ATA     " : "QEL     ";
      text += ata ? ident.model + " " + ident.serial : ident.serial;
      d = {0, 0x83, 0, 0, 0x02, 0x01, 0, static_cast<uint8_t>(text.size())};
      d.insert(d.end(), text.begin(), text.end());
      break;
    }
    case 0x89:
      if (!ata) return IllegalRequest(r, 0x24, "no ATA information page");
      d.assign(572, 0);
      PutPadded(&d[8], 8, "linux");
      PutPadded(&d[16], 16, "libata");
      PutPadded(&d[32], 4, "1.0");
      d[36] = 0x34;  // device signature: FIS type, then the register values
      d[42] = 0x01;
      d[56] = 0xEC;
      IdentifyData(card, &d[60]);
      break;
    // Block limits, characteristics and provisioning as libata offers them
    // for a SATA SSD with TRIM (and the bridge's transfer limit, if any).
    case 0xB0:
      if (!ata) return IllegalRequest(r, 0x24, "unsupported VPD page");
      d.assign(64, 0);
      PutBe(&d[6], 1, 2);  // optimal transfer length granularity: one block
      PutBe(&d[8], card->cfg.faults.maxTransfer / kSector, 4);
      PutBe(&d[28], 1, 4);              // optimal unmap granularity
      PutBe(&d[36], 65535 * 64, 8);     // maximum WRITE SAME length
      break;
    case 0xB1: {
      if (!ata) return IllegalRequest(r, 0x24, "unsupported VPD page");
      uint8_t id[kIdTableSize];
      IdentifyData(card, id);
      d.assign(64, 0);
      d[4] = id[2 * 217 + 1];  // medium rotation rate: 1, non-rotating
      d[5] = id[2 * 217];
      d[7] = id[2 * 168] & 0x0F;  // nominal form factor
      break;
    }
    case 0xB2:
      if (!ata) return IllegalRequest(r, 0x24, "unsupported VPD page");
      d.assign(8, 0);
      d[5] = 0x40;  // TPWS: unmap through WRITE SAME (16)
      break;
    default:
      return IllegalRequest(r, 0x24, "unsupported VPD page");
  }
  d[1] = c[2];
  PutBe(&d[2], d.size() - 4, 2);
  Answer(d, alloc, q, r);
}

void ScsiReadCapacity(VCard* card, const Request& q, Reply* r, bool sixteen) {
  uint64_t last = card->cfg.capacity - 1;
  std::vector<uint8_t> d(sixteen ? 32 : 8, 0);
  if (sixteen) {
    PutBe(&d[0], last, 8);
    PutBe(&d[8], kSector, 4);
    if (!card->cfg.scsi) d[14] = 0x80;  // LBPME: a SATA SSD with TRIM, as libata shows it
  } else {
    PutBe(&d[0], std::min<uint64_t>(last, 0xFFFFFFFF), 4);
    PutBe(&d[4], kSector, 4);
  }
  Answer(d, sixteen ? GetBe(q.cdb + 10, 4) : d.size(), q, r);
}

void ScsiReadWrite(VCard* card, const Request& q, Reply* r, bool write, int lbaBytes) {
  const uint8_t* c = q.cdb;
  uint64_t lba = GetBe(c + 2, lbaBytes);
  uint32_t count = static_cast<uint32_t>(lbaBytes == 4 ? GetBe(c + 7, 2) : GetBe(c + 10, 4));
  uint64_t bytes = static_cast<uint64_t>(count) * kSector;
  if (bytes > q.dataLen) return IllegalRequest(r, 0x24, "buffer shorter than the transfer");
  if (count == 0) return;
  Outcome out = write ? WriteSectors(card, lba, count, q.data) : ReadSectors(card, lba, count, q.data);
  if (out.error == 0) {
    r->transferred = static_cast<uint32_t>(bytes);
    return;
  }
  uint8_t key, asc, ascq;
  AtaErrorSense(out.error, &key, &asc, &ascq);
  FixedSense(r, key, asc, ascq);
  r->result = ErrorName(out.error);
}

void RunScsi(VCard* card, const Request& q, Reply* r, std::string* what) {
  const uint8_t* c = q.cdb;
  char buf[96];
  switch (c[0]) {
    case 0x00:
      *what = "TEST UNIT READY";
      break;
    case 0x03: {
      *what = "REQUEST SENSE";
      std::vector<uint8_t> d(18, 0);
      d[0] = 0x70;
      d[2] = kNoSense;
      d[7] = 10;
      Answer(d, c[4], q, r);
      break;
    }
    case 0x12:
      snprintf(buf, sizeof(buf), "INQUIRY evpd=%d page=0x%02X alloc=%u", c[1] & 1, c[2],
               static_cast<unsigned>(GetBe(c + 3, 2)));
      *what = buf;
      ScsiInquiry(card, q, r);
      break;
    case 0x25:
      *what = "READ CAPACITY(10)";
      ScsiReadCapacity(card, q, r, false);
      break;
    case 0x9E:
      *what = "READ CAPACITY(16)";
      if ((c[1] & 0x1F) != 0x10) return IllegalRequest(r, 0x24, "unsupported service action");
      ScsiReadCapacity(card, q, r, true);
      break;
    case 0x28:
    case 0x2A:
    case 0x88:
    case 0x8A: {
      bool write = c[0] == 0x2A || c[0] == 0x8A;
      int lbaBytes = (c[0] == 0x28 || c[0] == 0x2A) ? 4 : 8;
      snprintf(buf, sizeof(buf), "%s(%d) lba=0x%llX n=%llu", write ? "WRITE" : "READ", lbaBytes == 4 ? 10 : 16,
               static_cast<unsigned long long>(GetBe(c + 2, lbaBytes)),
               static_cast<unsigned long long>(lbaBytes == 4 ? GetBe(c + 7, 2) : GetBe(c + 10, 4)));
      *what = buf;
      ScsiReadWrite(card, q, r, write, lbaBytes);
      return;  // sector access keeps a vendor exchange going
    }
    case 0x35:
      *what = "SYNCHRONIZE CACHE(10)";
      break;
    default:
      snprintf(buf, sizeof(buf), "SCSI opcode 0x%02X", c[0]);
      *what = buf;
      IllegalRequest(r, 0x20, "unsupported operation code");
      break;
  }
  InterruptExchange(card);
}

// --kill-at and --power-cut-at: the host process dies right after the card
// has carried out (and journaled) the chosen command, before it sees the answer.
void MaybeKill(VCard* card) {
  const Faults& f = card->cfg.faults;
  bool cut = f.powerCutAt != 0 && card->commands == f.powerCutAt;
  if (!cut && (f.killAt == 0 || card->commands != f.killAt)) return;
  card->note.clear();
  if (cut) PowerCut(card);
  Journal(card, std::string(cut ? "power cut" : "host killed") + " after command " + std::to_string(card->commands) +
                    (card->note.empty() ? "" : "; " + card->note));
  kill(getpid(), SIGKILL);
}

std::string CdbHex(const Request& q) {
  std::string s;
  char hex[4];
  for (int i = 0; i < q.cdbLen; ++i) {
    snprintf(hex, sizeof(hex), i ? " %02X" : "%02X", q.cdb[i]);
    s += hex;
  }
  return s;
}

// Carries out one request, or fails it the --fail-cmd way.
void Carry(VCard* card, Request q, Reply* r) {
  card->note.clear();
  ++card->commands;
  const Faults& f = card->cfg.faults;
  bool ata = q.cdb[0] == 0x85 || q.cdb[0] == 0xA1;
  std::string what;
  bool inject = f.failCmd != 0 && card->commands == f.failCmd;
  if (f.busyEvery != 0 && card->commands % f.busyEvery == 0) {
    // The bridge is busy: the command never reaches the card.
    what = "command";
    r->status = kBusy;
    r->result = "busy (bridge)";
  } else if (inject && f.failHow != kFailShort) {
    what = "command";
    InterruptExchange(card);
    if (f.failHow == kFailError) {
      TaskFile tf;
      if (ata && ParseTaskFile(q, &tf)) AtaReply(card, tf, Outcome{kAbrt, 0}, r);
      else FixedSense(r, kAbortedCommand, 0, 0);
      r->result = "injected error";
    } else {
      r->status = kCheckCondition;
      for (int i = 0; i < 32; ++i) r->sense[i] = static_cast<uint8_t>(0xA5 ^ (i * 37));
      r->senseLen = 32;
      r->result = "injected garbage sense";
    }
  } else {
    // A short transfer moves half of the data (in whole sectors), a bridge
    // with a transfer limit moves no more than it; data sent to the card
    // arrives with the rest zeroed.
    std::vector<uint8_t> cut;
    bool limited = f.maxTransfer != 0 && q.dataLen > f.maxTransfer;
    uint32_t keep = inject ? q.dataLen / 2 / kSector * kSector : limited ? f.maxTransfer : q.dataLen;
    if (keep < q.dataLen && q.direction == SG_DXFER_TO_DEV) {
      cut.assign(q.data, q.data + q.dataLen);
      memset(cut.data() + keep, 0, q.dataLen - keep);
      q.data = cut.data();
    }
    if (ata) RunAta(card, q, r, &what);
    else RunScsi(card, q, r, &what);
    if (inject) {
      r->transferred = std::min(r->transferred, keep);
      r->result += " (injected short transfer)";
    } else if (r->transferred > keep) {
      r->transferred = keep;
      r->result += " (bridge cut the transfer at " + std::to_string(keep) + " bytes)";
    }
  }
  char head[32];
  snprintf(head, sizeof(head), "%llu ", static_cast<unsigned long long>(card->commands));
  Journal(card, head + CdbHex(q) + ": " + what + (card->note.empty() ? "" : "; " + card->note) + " -> " +
                    r->result);
  MaybeKill(card);
}

}  // namespace

}  // namespace vcard

int vcard_sg_io(VCard* card, struct sg_io_hdr* h) {
  using namespace vcard;
  if (h->interface_id != 'S') {
    errno = ENOSYS;
    return -1;
  }
  if (h->cmdp == nullptr || h->cmd_len < 6 || h->cmd_len > 16 || h->iovec_count != 0 ||
      (h->dxfer_len > 0 && h->dxferp == nullptr && h->dxfer_direction != SG_DXFER_NONE)) {
    errno = EINVAL;
    return -1;
  }
  Request q;
  q.cdbLen = h->cmd_len;
  memcpy(q.cdb, h->cmdp, h->cmd_len);
  q.direction = h->dxfer_direction;
  q.dataLen = q.direction == SG_DXFER_NONE ? 0 : h->dxfer_len;
  // Reads go through a zeroed scratch buffer so that a refused or short
  // read leaves the host's bytes beyond the transfer as they were.
  std::vector<uint8_t> scratch;
  bool toHost = q.direction == SG_DXFER_FROM_DEV || q.direction == SG_DXFER_TO_FROM_DEV;
  if (toHost) {
    scratch.assign(q.dataLen, 0);
    q.data = scratch.data();
  } else {
    q.data = static_cast<uint8_t*>(h->dxferp);
  }
  Reply r;
  Carry(card, q, &r);
  if (toHost && r.transferred > 0) memcpy(h->dxferp, scratch.data(), r.transferred);
  h->status = r.status;
  h->masked_status = static_cast<unsigned char>(r.status >> 1);
  h->msg_status = 0;
  h->host_status = 0;
  h->driver_status = r.senseLen > 0 ? 0x08 : 0;  // DRIVER_SENSE
  int senseLen = std::min<int>(r.senseLen, h->mx_sb_len);
  if (senseLen > 0 && h->sbp != nullptr) memcpy(h->sbp, r.sense, static_cast<size_t>(senseLen));
  h->sb_len_wr = static_cast<unsigned char>(h->sbp != nullptr ? senseLen : 0);
  h->resid = static_cast<int>(q.dataLen - r.transferred);
  h->duration = 0;
  h->info = (r.status != kGood || h->driver_status != 0) ? SG_INFO_CHECK : SG_INFO_OK;
  return 0;
}

namespace {

// The sector calls of the C interface, with the same fault injection and
// journal as SG_IO.
int SectorCall(VCard* card, bool write, uint64_t lba, uint32_t count, uint8_t* buf) {
  using namespace vcard;
  card->note.clear();
  ++card->commands;
  const Faults& f = card->cfg.faults;
  bool inject = f.failCmd != 0 && card->commands == f.failCmd;
  Outcome out;
  std::string result = "ok";
  if (inject) {
    InterruptExchange(card);
    out.error = kAbrt;
    result = "injected error";
  } else {
    out = write ? WriteSectors(card, lba, count, buf) : ReadSectors(card, lba, count, buf);
    if (out.error) result = ErrorName(out.error);
  }
  char head[96];
  snprintf(head, sizeof(head), "%llu sector %s lba=0x%llX n=%u", static_cast<unsigned long long>(card->commands),
           write ? "write" : "read", static_cast<unsigned long long>(lba), count);
  Journal(card, head + (card->note.empty() ? "" : "; " + card->note) + " -> " + result);
  MaybeKill(card);
  return out.error ? -1 : 0;
}

}  // namespace

int vcard_read(VCard* card, uint64_t lba, uint32_t count, void* buf) {
  return SectorCall(card, false, lba, count, static_cast<uint8_t*>(buf));
}

int vcard_write(VCard* card, uint64_t lba, uint32_t count, const void* buf) {
  // The model only reads the data of a write.
  return SectorCall(card, true, lba, count, const_cast<uint8_t*>(static_cast<const uint8_t*>(buf)));
}
