#include "FuzzCard.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "FlowGlobals.h"

namespace {

// The vendor sector, and the unlock read that comes just before the read of
// the unlock answer at the vendor sector.
enum : uint32_t { kVendorLba = 0x946B, kUnlockLastStep = 0x9400 };
const char kIdentity[] = "QC3300";
const int kIdentityOffset = 46;

// Where the vendor exchange stands, as the controller sees the sector
// accesses: the unlock answer, then the command block, then its data.
enum class Exchange { kIdle, kAnswerNext, kBlockNext, kDataNext };

struct CardState {
  FuzzCard card;
  Exchange exchange = Exchange::kIdle;
  unsigned char block[512] = {};
  std::string node;
};

CardState& State();

void CopyAnswer(const std::vector<uint8_t>& from, uint8_t* out, size_t length) {
  memset(out, 0, length);
  memcpy(out, from.data(), std::min(length, from.size()));
}

// Data phase of a read-type vendor command.
void VendorData(CardState& s, uint8_t* out, size_t length) {
  const unsigned char* b = s.block;
  memset(out, 0, length);
  if (b[0] != 0xF0) return;
  switch (b[1]) {
    case 0x20:  // ReadFlashID
      CopyAnswer(s.card.flashIdTable, out, length);
      break;
    case 0x04:  // ReadPar
      CopyAnswer(s.card.parameter, out, length);
      break;
    case 0x3F:  // ReadConfigureTable
      CopyAnswer(s.card.identify, out, length);
      break;
    case 0x0A: {  // ReadFlashPhy
      int mode = b[8];
      if ((mode & 0x3F) == 0x11) {
        CopyAnswer(s.card.parameter, out, length);
      } else if (s.card.ispPage) {
        int block = b[2] << 8 | b[3];
        int page = b[4] | b[7] << 8;
        s.card.ispPage(block, page, mode >> 6, b[10], out, length);
      }
      break;
    }
    default:
      break;
  }
}

// Data phase of a write-type vendor command: chunks loaded to controller
// memory at 0x80000000 and up are kept in `loaded`.
void VendorWrite(CardState& s, const uint8_t* data, size_t length) {
  const unsigned char* b = s.block;
  if (b[0] != 0xF1 || b[1] != 0x27) return;
  uint32_t address = b[6] | b[7] << 8 | b[8] << 16 | static_cast<uint32_t>(b[9]) << 24;
  if (address < 0x80000000u) return;
  size_t at = address - 0x80000000u;
  if (at + length > (64u << 20)) return;  // far beyond any image the targets make
  if (s.card.loaded.size() < at + length) s.card.loaded.resize(at + length);
  memcpy(s.card.loaded.data() + at, data, length);
}

// ATA Status Return descriptor, as a SAT translator answers a command with
// CK_COND set.
void AtaSense(unsigned char* sense, int senseLength, bool ok, uint8_t count) {
  unsigned char d[32] = {};
  d[0] = 0x72;
  d[1] = ok ? 0x01 : 0x0B;
  d[3] = 0x1D;
  d[7] = 0x0E;
  d[8] = 0x09;
  d[9] = 0x0C;
  d[11] = ok ? 0x00 : 0x04;  // ERROR: ABRT on failure
  d[13] = count;
  d[20] = 0xE0;
  d[21] = ok ? 0x50 : 0x51;  // STATUS: DRDY|DSC, plus ERR on failure
  if (sense != nullptr && senseLength > 0) {
    memcpy(sense, d, std::min<size_t>(sizeof d, static_cast<size_t>(senseLength)));
  }
}

int Answer(sg_io_hdr_t* h) {
  CardState& s = State();
  FuzzCard& card = s.card;
  ++card.commands;
  const unsigned char* cdb = h->cmdp;
  uint8_t* data = static_cast<uint8_t*>(h->dxferp);
  size_t length = h->dxferp != nullptr ? h->dxfer_len : 0;
  bool toHost = h->dxfer_direction == SG_DXFER_FROM_DEV;
  h->status = 0;
  h->host_status = 0;
  h->driver_status = 0;
  h->resid = 0;
  h->sb_len_wr = 0;

  if (h->cmd_len != 16 || cdb[0] != 0x85) {
    // Plain SCSI: only INQUIRY is answered with data; the vendor says ATA.
    if (toHost && length > 0) {
      memset(data, 0, length);
      if (cdb[0] == 0x12 && length >= 16) memcpy(data + 8, "ATA     ", 8);
    }
    return 0;
  }
  uint8_t command = cdb[14];
  uint32_t lba = cdb[8] | cdb[10] << 8 | cdb[12] << 16 | (cdb[13] & 0x0Fu) << 24;
  bool failed = card.failAt != 0 && card.commands == card.failAt;
  uint8_t count = cdb[6];
  if (toHost && length > 0) memset(data, 0, length);

  if (!failed) {
    switch (command) {
      case 0x20:  // READ SECTOR(S)
        if (lba == kUnlockLastStep) {
          s.exchange = Exchange::kAnswerNext;
        } else if (lba == kVendorLba && s.exchange == Exchange::kDataNext) {
          s.exchange = Exchange::kIdle;
          if (toHost) VendorData(s, data, length);
        } else if (lba == kVendorLba) {
          bool answer = s.exchange == Exchange::kAnswerNext;
          s.exchange = answer ? Exchange::kBlockNext : Exchange::kIdle;
          if (toHost && length >= kIdentityOffset + sizeof kIdentity) {
            memcpy(data + kIdentityOffset, kIdentity, sizeof kIdentity - 1);
          }
        } else {
          s.exchange = Exchange::kIdle;
        }
        break;
      case 0x30:  // WRITE SECTOR(S)
        if (lba == kVendorLba && s.exchange == Exchange::kBlockNext && length >= 512) {
          memcpy(s.block, data, 512);
          s.exchange = Exchange::kDataNext;
        } else {
          if (lba == kVendorLba && s.exchange == Exchange::kDataNext && data != nullptr) {
            VendorWrite(s, data, length);
          }
          s.exchange = Exchange::kIdle;
        }
        break;
      case 0xEC:  // IDENTIFY DEVICE
        if (toHost) CopyAnswer(card.identify, data, length);
        break;
      case 0x92:    // DOWNLOAD MICROCODE
      case 0x93: {  // DOWNLOAD MICROCODE DMA
        int subCommand = cdb[4];
        int blocks = cdb[6] | cdb[8] << 8;
        int offset = cdb[10] | cdb[12] << 8;
        card.downloads.push_back({subCommand, offset, blocks});
        int code = card.completion ? card.completion(subCommand, blocks) : 0;
        if (code < 0) {
          failed = true;
        } else {
          count = static_cast<uint8_t>(code);
        }
        break;
      }
      default:
        break;
    }
  }
  if (failed) s.exchange = Exchange::kIdle;
  // CK_COND: every ATA command comes back with its status descriptor.
  h->status = 0x02;
  h->masked_status = 0x01;
  h->driver_status = 0x08;
  AtaSense(h->sbp, h->mx_sb_len, !failed, count);
  h->sb_len_wr = std::min<unsigned char>(h->mx_sb_len, 32);
  return 0;
}

void RemoveWorkDir() {
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::current_path(), ignored);
}

CardState& State() {
  static CardState* state = [] {
    auto* s = new CardState;
    // A private working directory: the tool's files (Display.log, LBA0.bin,
    // the image set under REGBIN/3300) land there.
    char dir[] = "/tmp/qel-fuzz.XXXXXX";
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0) abort();
    atexit(RemoveWorkDir);
    // The console log would grow with every input.
    if (symlink("/dev/null", "Display.log") != 0) abort();
    mkdir("REGBIN", 0755);
    mkdir("REGBIN/3300", 0755);
    s->node = std::string(dir) + "/node";
    int fd = open(s->node.c_str(), O_RDWR | O_CREAT, 0644);
    if (fd < 0) abort();
    gQel3300Sel = 0;
    gQel3300 = &mQel3300[0];
    // The trace would grow with every command.
    snprintf(gQel3300->LogName, sizeof gQel3300->LogName, "/dev/null");
    gQel3300->OpenDeviceDirectHandle(fd);
    snprintf(gQel3300DevName[0], sizeof gQel3300DevName[0], "/dev/sdb");
    g_FlashIDOffset = 48;
    return s;
  }();
  return *state;
}

void PutBE16(std::vector<uint8_t>& v, size_t at, int value) {
  v[at] = static_cast<uint8_t>(value >> 8);
  v[at + 1] = static_cast<uint8_t>(value);
}

}  // namespace

uint8_t FuzzInput::Byte() { return pos_ < size_ ? data_[pos_++] : 0; }

uint16_t FuzzInput::Word() {
  uint16_t low = Byte();
  return static_cast<uint16_t>(low | Byte() << 8);
}

void FuzzInput::Take(uint8_t* out, size_t n) {
  size_t have = std::min(n, size_ - pos_);
  if (have > 0) memcpy(out, data_ + pos_, have);
  memset(out + have, 0, n - have);
  pos_ += have;
}

void FuzzCard::SetHealthyCard() {
  static const uint8_t kFlashId[8] = {0x2C, 0x88, 0x44, 0x4B, 0xA9, 0x00, 0x00, 0x00};
  flashIdTable.assign(kFlashIdBytes, 0);
  flashIdTable[kFidISPMode] = 2;
  flashIdTable[kFidReadyFlags] = 0x80;
  flashIdTable[kFidDramCode] = 1;
  flashIdTable[kFidFlashType] = 0x04;  // L06B
  PutBE16(flashIdTable, kFidBlockCount, 1024);
  memcpy(&flashIdTable[kFidFlashID], kFlashId, 8);
  for (int ch = 0; ch < 4; ++ch) memcpy(&flashIdTable[kFidDieSlots + 8 * ch], kFlashId, 8);
  PutBE16(flashIdTable, kFidSysBlock, 5);
  PutBE16(flashIdTable, kFidISP1Block, 8);
  PutBE16(flashIdTable, kFidISP2Block, 11);
  flashIdTable[kFidDieCount] = 4;

  parameter.assign(kParameterBytes, 0);
  memcpy(parameter.data(), "QC3300PARA", 10);
  parameter[27] = 0x08;       // 64 sectors per page, no pages-per-block code
  parameter[29] = 3 << 5;     // 4 planes
  parameter[31] = 0x80;       // 512 pages per block

  identify.assign(kIdentifyBytes, 0);
  identify[2 * 83] = 0x01;          // DOWNLOAD MICROCODE
  identify[2 * 69 + 1] = 0x01;      // its DMA form
  identify[2 * 119] = 0x10;         // segmented download
  identify[2 * 234] = 1;            // at least 1 block per command
  identify[2 * 235] = 128;          // at most 128 blocks per command
}

FuzzCard& Card() { return State().card; }

FuzzCard& NextInput() {
  CardState& s = State();
  FuzzCard& card = s.card;
  card.SetHealthyCard();
  card.ispPage = nullptr;
  card.completion = nullptr;
  card.failAt = 0;
  card.commands = 0;
  card.loaded.clear();
  card.downloads.clear();
  s.exchange = Exchange::kIdle;
  if (!gQel3300->isOpened()) {
    int fd = open(s.node.c_str(), O_RDWR);
    if (fd < 0) abort();
    gQel3300->OpenDeviceDirectHandle(fd);
  }
  // Every input starts from the card records and file names a run would
  // have after the front end's preparation, whatever the last input left.
  memcpy(g_FlashIDTable, card.flashIdTable.data(), card.flashIdTable.size());
  memset(g_FlashIDTable + card.flashIdTable.size(), 0, sizeof g_FlashIDTable - card.flashIdTable.size());
  memcpy(g_Parameter, card.parameter.data(), card.parameter.size());
  BuildDieMaps(g_FlashIDTable);
  g_CardMode = DeriveCardMode(g_FlashIDTable, g_Parameter);
  SetDefaultFilePath(nullptr);
  memset(KEYINSNString, 0, sizeof KEYINSNString);
  return card;
}

bool WriteFile(const char* path, const uint8_t* data, size_t size) {
  FILE* f = fopen(path, "wb");
  if (f == nullptr) return false;
  bool ok = size == 0 || fwrite(data, 1, size, f) == size;  // an empty input may come as null
  return fclose(f) == 0 && ok;
}

bool ReadFile(const char* path, std::vector<uint8_t>* data) {
  data->clear();
  FILE* f = fopen(path, "rb");
  if (f == nullptr) return false;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) data->insert(data->end(), buf, buf + n);
  fclose(f);
  return true;
}

void FuzzCheck(bool condition, const char* what) {
  if (condition) return;
  fprintf(stderr, "fuzz check failed: %s\n", what);
  RemoveWorkDir();  // abort() skips the exit handlers
  abort();
}

// The product's pauses wait for a real controller; this card is ready at once.
extern "C" unsigned int sleep(unsigned int) { return 0; }
extern "C" int usleep(useconds_t) { return 0; }

extern "C" int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  if (request == SG_IO && fd == gQel3300->hDevice) return Answer(static_cast<sg_io_hdr_t*>(argument));
  using RealIoctl = int (*)(int, unsigned long, ...);
  static RealIoctl real = reinterpret_cast<RealIoctl>(dlsym(RTLD_NEXT, "ioctl"));
  return real(fd, request, argument);
}
