#include "SSDCMD.h"

#include <errno.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "MicrocodeDownload.h"
#include "TraceFormat.h"

int SSDCMD::TtlTarget = 0;
char SSDCMD::devName[10][kDevNameBytes];

namespace {

int gSgIoErrno = 0;

constexpr uint32_t kDefaultVendorLBA = 0x946B;
constexpr unsigned int kShortTimeoutMs = 5000;
constexpr unsigned int kLongTimeoutMs = 120000;
constexpr useconds_t kOpenPauseUs = 20000;
constexpr useconds_t kClosePauseUs = 100000;

constexpr unsigned char kScsiStatusGood = 0x00;
constexpr unsigned char kScsiStatusCheckCondition = 0x02;
constexpr unsigned short kDriverSense = 0x08;
constexpr unsigned char kInquiryCommand = 0x12;
// STATUS register bits that say the command did not complete cleanly.
constexpr unsigned char kAtaBusy = 0x80, kAtaDeviceFault = 0x20, kAtaError = 0x01;
constexpr unsigned char kSenseKeyNoSense = 0x0;
constexpr unsigned char kSenseKeyRecoveredError = 0x1;

bool DataFromDevice(uint8_t protocol) { return protocol == 1 || protocol == 3; }
bool DataToDevice(uint8_t protocol) { return protocol != 0 && !DataFromDevice(protocol); }

int DirectionOf(uint8_t protocol) {
  if (protocol == 0) return SG_DXFER_NONE;
  return DataFromDevice(protocol) ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
}

// ATA PASS-THROUGH (16), 28-bit (EXTEND 0), CK_COND always set so that the
// disk returns its registers; the count is taken from the COUNT field.
void BuildAtaCdb(const __SSD_PASS_THROUGH_DIRECT& r, unsigned char cdb[16]) {
  cdb[0] = 0x85;
  // The DMA commands (Protocol 3 and 4) must travel as protocol 6, DMA: a
  // translator runs a DMA command sent as PIO the wrong way and fails it.
  const bool dma = r.Protocol == 3 || r.Protocol == 4;
  if (r.Protocol == 0) {
    cdb[1] = 0x06;  // non-data
    cdb[2] = 0x20;
  } else if (DataFromDevice(r.Protocol)) {
    cdb[1] = dma ? 0x0C : 0x08;  // DMA or PIO data-in
    cdb[2] = 0x2E;
  } else {
    cdb[1] = dma ? 0x0C : 0x0A;  // DMA or PIO data-out
    cdb[2] = 0x26;
  }
  cdb[4] = r.Features & 0xFF;
  cdb[6] = r.SectorCount & 0xFF;
  cdb[7] = r.LBALow >> 8;
  cdb[8] = r.LBALow & 0xFF;
  cdb[9] = r.LBAMid >> 8;
  cdb[10] = r.LBAMid & 0xFF;
  cdb[11] = r.LBAHigh >> 8;
  cdb[12] = r.LBAHigh & 0xFF;
  cdb[13] = r.DeviceHead & 0xFF;
  cdb[14] = r.Command & 0xFF;
}

// 12-byte SCSI block: a 32-bit block address in bytes 2-5, MSB first.
void BuildScsiCdb(const __SSD_PASS_THROUGH_DIRECT& r, unsigned char cdb[16]) {
  cdb[0] = r.Command & 0xFF;
  cdb[2] = r.DeviceHead & 0xFF;
  cdb[3] = r.LBAHigh & 0xFF;
  cdb[4] = r.LBAMid & 0xFF;
  cdb[5] = r.LBALow & 0xFF;
  cdb[7] = r.SectorCount >> 8;
  cdb[8] = r.SectorCount & 0xFF;
}

// Sense key of fixed (70h-71h) or descriptor (72h-73h) sense data; -1 when
// the data is neither.
int SenseKey(const unsigned char sense[kSenseBytes]) {
  switch (sense[0] & 0x7F) {
    case 0x70:
    case 0x71:
      return sense[2] & 0x0F;
    case 0x72:
    case 0x73:
      return sense[1] & 0x0F;
    default:
      return -1;
  }
}

bool IsBenignSenseKey(int key) { return key == kSenseKeyNoSense || key == kSenseKeyRecoveredError; }

// Several translators answer a CK_COND command with fixed-format sense
// (ASC/ASCQ 00h/1Dh, ATA registers in the information field) instead of
// the ATA Status Return descriptor. Rewrites such an answer into the
// descriptor layout so that one judgement and the status record of
// DownloadMicrocode serve both. A STATUS of 0 carries no answer and is left
// alone (and so judged a failure).
void TranslateFixedAtaStatus(unsigned char sense[kSenseBytes]) {
  unsigned char code = sense[0] & 0x7F;
  if (code != 0x70 && code != 0x71) return;
  if (!IsBenignSenseKey(sense[2] & 0x0F) || sense[12] != 0x00 || sense[13] != 0x1D) return;
  unsigned char error = sense[3], status = sense[4], device = sense[5], count = sense[6];
  if (status == 0) return;
  unsigned char key = sense[2] & 0x0F;
  memset(sense, 0, kSenseBytes);
  sense[0] = 0x72;
  sense[1] = key;
  sense[3] = 0x1D;
  sense[7] = 0x0E;
  sense[8] = 0x09;
  sense[9] = 0x0C;
  sense[11] = error;
  sense[13] = count;
  sense[20] = device;
  sense[21] = status;
}

// The SCSI status of an answer (some drivers fill only the masked form).
unsigned char ScsiStatus(const sg_io_hdr_t& hdr) {
  return hdr.status != 0 ? hdr.status : static_cast<unsigned char>(hdr.masked_status << 1);
}

// The request reached the disk and the disk carried it out: the ioctl ran,
// neither host nor driver reports an error (sense being present is not
// one), and the status is GOOD or CHECK CONDITION. BUSY, RESERVATION
// CONFLICT, TASK SET FULL, ACA ACTIVE and TASK ABORTED mean it never ran.
bool RequestRan(int ioctlReturn, const sg_io_hdr_t& hdr) {
  if (ioctlReturn < 0 || hdr.host_status != 0) return false;
  if ((hdr.driver_status & ~kDriverSense) != 0) return false;
  return ScsiStatus(hdr) == kScsiStatusGood || ScsiStatus(hdr) == kScsiStatusCheckCondition;
}

// A completed command returns an ATA Status Return descriptor under a
// benign sense key, with ERROR 0 and none of BSY, DF and ERR in STATUS.
bool AtaStatusSucceeded(const unsigned char sense[kSenseBytes]) {
  return sense[0] == 0x72 && IsBenignSenseKey(sense[1] & 0x0F) && sense[7] == 0x0E &&
         sense[8] == 0x09 && sense[9] == 0x0C && sense[11] == 0 &&
         (sense[21] & (kAtaBusy | kAtaDeviceFault | kAtaError)) == 0;
}

// A SCSI command fails when it did not run, or CHECK CONDITION carries a
// sense key other than NO SENSE or RECOVERED ERROR.
bool ScsiCommandSucceeded(int ioctlReturn, const sg_io_hdr_t& hdr,
                          const unsigned char sense[kSenseBytes]) {
  if (!RequestRan(ioctlReturn, hdr)) return false;
  return ScsiStatus(hdr) != kScsiStatusCheckCondition || IsBenignSenseKey(SenseKey(sense));
}

// Opens the trace file for appending; prints the system's message when it
// cannot.
int OpenTrace(const char* logName) {
  int fd = open(logName, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) printf("Cannot open %s\n", logName);
  return fd;
}

// One standard command without addressing arguments.
struct StandardCommand {
  uint16_t command;
  uint16_t features;
  uint16_t sectorCount;
  uint16_t lbaMid;
  uint16_t lbaHigh;
  uint16_t deviceHead;
  uint8_t protocol;
  int dataBytes;
  unsigned int timeoutMs;
  bool ata;
};

// Fields: command, features, count, LBA mid, LBA high, device, protocol,
// data bytes, time-out, ATA form. INQUIRY's allocation length (56) rides in
// LBAMid, which the SCSI form places in command byte 4.
// clang-format off
constexpr StandardCommand kInquiry       = {0x12, 0x00, 0, 0x38, 0x00, 0x00, 1,  56, kShortTimeoutMs, false};
constexpr StandardCommand kIdentify      = {0xEC, 0x00, 1, 0x00, 0x00, 0x00, 1, 512, kShortTimeoutMs, true};
constexpr StandardCommand kEnableSmart   = {0xB0, 0xD8, 0, 0x4F, 0xC2, 0xE0, 0,   0, kShortTimeoutMs, true};
constexpr StandardCommand kReadSmart     = {0xB0, 0xD0, 0, 0x4F, 0xC2, 0x00, 1, 512, kShortTimeoutMs, true};
constexpr StandardCommand kTestUnitReady = {0x00, 0x00, 0, 0x00, 0x00, 0x00, 0,   0, kShortTimeoutMs, false};
// clang-format on

// Sends a standard command; true when the object was open and the command
// succeeded.
bool SendStandard(SSDCMD& dev, const StandardCommand& c, void* buf) {
  if (!dev.isOpened()) return false;
  __SSD_PASS_THROUGH_DIRECT record = {};
  record.Command = c.command;
  record.Features = c.features;
  record.SectorCount = c.sectorCount;
  record.LBAMid = c.lbaMid;
  record.LBAHigh = c.lbaHigh;
  record.DeviceHead = c.deviceHead;
  record.Protocol = c.protocol;
  unsigned char sense[kSenseBytes] = {};
  int length = c.dataBytes;
  int senseLength = kSenseBytes;
  unsigned int timeout = c.timeoutMs;
  return dev.SG_IO_Command(&record, length > 0 ? buf : nullptr, &length, sense, &senseLength,
                           &timeout, c.ata) == 1;
}

// READ/WRITE SECTOR(S) in the ATA form (28-bit, LBA mode) or READ/WRITE(10).
int TransferSectors(SSDCMD& dev, unsigned long lba, unsigned long count, void* buf, bool ata,
                    bool write) {
  if (!dev.isOpened()) return 1;
  if (count == 0 || count > static_cast<unsigned long>(kMaxSectorsPerCommand) || buf == nullptr)
    return 1;
  if (lba > (ata ? 0x0FFFFFFFul : 0xFFFFFFFFul)) return 1;
  __SSD_PASS_THROUGH_DIRECT record = {};
  if (ata) {
    record.Command = write ? 0x30 : 0x20;
  } else {
    record.Command = write ? 0x2A : 0x28;
  }
  record.SectorCount = static_cast<uint16_t>(count);
  record.LBALow = lba & 0xFF;
  record.LBAMid = (lba >> 8) & 0xFF;
  record.LBAHigh = (lba >> 16) & 0xFF;
  record.DeviceHead = ((lba >> 24) & 0xFF) | (ata ? 0xE0 : 0x00);
  record.Protocol = write ? 2 : 1;
  unsigned char sense[kSenseBytes] = {};
  int length = static_cast<int>(count) * kSectorBytes;
  int senseLength = kSenseBytes;
  unsigned int timeout = kLongTimeoutMs;
  return dev.SG_IO_Command(&record, buf, &length, sense, &senseLength, &timeout, ata) == 1 ? 0 : 1;
}

bool FieldMatches(const unsigned char* answer, const char* id, int offset, int length) {
  if (offset < 0 || length < 0 || length > 50 || offset > kSectorBytes - length) return false;
  return memcmp(answer + offset, id, static_cast<size_t>(length)) == 0;
}

// Sector addresses of the unlock sequence; the last is VendorLBA's default
// and holds the answer with the identity string.
constexpr unsigned long kUnlockLBAs[] = {0x0000, 0x006B, 0x6B00, 0x0094, 0x9400, 0x946B};
constexpr int kUnlockAttempts = 6;
constexpr unsigned long kClosingLBA = 0x1234;

}  // namespace

SSDCMD::SSDCMD()
    : hDevice(-1),
      ChipID(),
      ChipID2(),
      ChipIDOffset(0),
      ChipID2Offset(0),
      ChipIDLength(0),
      ChipID2Length(0),
      VendorLBA(kDefaultVendorLBA),
      Attribute(0),
      DevName(),
      LogName() {
  time_t now = time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local) == nullptr ||
      strftime(LogName, sizeof LogName, "%Y-%m-%d_%H-%M-%S.log", &local) == 0) {
    snprintf(LogName, sizeof LogName, "%s", "trace.log");
  }
}

SSDCMD::~SSDCMD() {}

void SSDCMD::Initialize() {
  TtlTarget = 0;
  for (char letter = 'a'; letter <= 'j'; ++letter) {
    char name[kDevNameBytes];
    snprintf(name, sizeof name, "/dev/sd%c", letter);
    OpenDevice(name);
    if (GetDeviceHandle() >= 0) {
      snprintf(devName[TtlTarget], kDevNameBytes, "%s", name);
      CloseDevice();
      ++TtlTarget;
    }
  }
}

void SSDCMD::Initialize(char* name) {
  TtlTarget = 0;
  OpenDevice(name);
  if (GetDeviceHandle() >= 0) {
    snprintf(devName[0], kDevNameBytes, "%s", name);
    CloseDevice();
    TtlTarget = 1;
  }
}

int SgIoErrno() { return gSgIoErrno; }

bool SSDCMD::OpenDevice(char* name) {
  if (name == nullptr || strlen(name) >= sizeof DevName) return false;
  if (hDevice != -1) CloseDevice();
  Attribute = 0;
  memset(DevName, 0, sizeof DevName);
  memcpy(DevName, name, strlen(name));
  hDevice = open(name, O_RDWR);
  int openErrno = errno;
  usleep(kOpenPauseUs);
  errno = openErrno;  // callers report why the node did not open
  if (hDevice < 0) return false;
  unsigned char answer[1024] = {};
  Inquiry(answer);
  Attribute = memcmp(answer + 8, "ATA", 3) == 0 ? kAttrAtaPassThrough : kAttrScsi;
  return true;
}

bool SSDCMD::OpenDeviceDirectHandle(int fd) {
  Attribute = 0;
  hDevice = fd;
  if (fd < 0) return false;
  Attribute = kAttrAtaPassThrough;
  return true;
}

void SSDCMD::CloseDevice() {
  if (hDevice == -1) return;
  close(hDevice);
  hDevice = -1;
  memset(DevName, 0, sizeof DevName);
  usleep(kClosePauseUs);
}

int SSDCMD::GetDeviceHandle() { return hDevice; }

void SSDCMD::GetDeviceName(int index, char* out) {
  if (out == nullptr) return;
  if (index < 0 || index >= TtlTarget || index >= 10) {
    out[0] = '\0';
    return;
  }
  size_t n = strnlen(devName[index], kDevNameBytes - 1);
  memcpy(out, devName[index], n);
  out[n] = '\0';
}

void SSDCMD::GetHandleDeviceName(char* out) {
  if (out == nullptr) return;
  size_t n = strnlen(DevName, sizeof DevName - 1);
  memcpy(out, DevName, n);
  out[n] = '\0';
}

bool SSDCMD::isOpened() { return hDevice >= 0; }

int SSDCMD::GetTotalDevice() { return TtlTarget; }

uint32_t SSDCMD::GetAttribute() { return Attribute; }

int SSDCMD::Inquiry(void* buf) { return SendStandard(*this, kInquiry, buf) ? 0 : 1; }

int SSDCMD::SG_IO_Command(__SSD_PASS_THROUGH_DIRECT* record, void* data, int* dataLength,
                          unsigned char* sense, int* senseLength, unsigned int* timeoutMs,
                          bool ata) {
  int length = dataLength ? *dataLength : 0;
  int senseBytes = senseLength ? *senseLength : 0;
  if (sense == nullptr || senseBytes < 0) senseBytes = 0;
  if (senseBytes > 255) senseBytes = 255;  // mx_sb_len is one byte
  // Nothing is sent that the data buffer cannot back.
  if (record == nullptr || length < 0 || (length > 0 && data == nullptr)) return 0;
  const uint8_t protocol = record->Protocol;

  unsigned char cdb[16] = {};
  if (ata) {
    BuildAtaCdb(*record, cdb);
  } else {
    BuildScsiCdb(*record, cdb);
  }
  if (senseBytes > 0) memset(sense, 0, static_cast<size_t>(senseBytes));
  sg_io_hdr_t hdr;
  memset(&hdr, 0, sizeof hdr);
  hdr.interface_id = 'S';
  hdr.dxfer_direction = DirectionOf(protocol);
  hdr.cmd_len = ata ? 16 : 12;
  hdr.mx_sb_len = static_cast<unsigned char>(senseBytes);
  hdr.iovec_count = 0;
  hdr.dxfer_len = static_cast<unsigned int>(length);
  hdr.dxferp = data;
  hdr.cmdp = cdb;
  hdr.sbp = sense;
  hdr.timeout = timeoutMs ? *timeoutMs : 0;

  int trace = OpenTrace(LogName);
  if (trace < 0) return 0;
  std::string text;
  AppendTraceHeader(text, DevName, hDevice, *record);
  if (DataToDevice(protocol)) {
    AppendTraceWriteData(text, static_cast<const unsigned char*>(data), length);
  }
  WriteAndCloseTrace(trace, text);

  errno = 0;
  int ret = ioctl(hDevice, SG_IO, &hdr);
  int ioctlErrno = errno;
  gSgIoErrno = ret < 0 ? ioctlErrno : 0;

  // The trace shows the sense data as the disk returned it; the judgement
  // below works on a 32-byte copy.
  unsigned char received[kSenseBytes] = {};
  if (senseBytes > 0) {
    memcpy(received, sense,
           static_cast<size_t>(senseBytes < kSenseBytes ? senseBytes : kSenseBytes));
  }
  trace = OpenTrace(LogName);
  if (trace < 0) return 0;
  text.clear();
  AppendTraceResult(text, cdb, ata, ret, ioctlErrno, received);
  if (DataFromDevice(protocol)) {
    AppendTraceReadData(text, static_cast<const unsigned char*>(data), length);
  }
  text += '\n';
  WriteAndCloseTrace(trace, text);

  // A transfer the disk cut short is a failure whatever the status says: a
  // short write leaves the sector half old, a short read hands on stale bytes.
  // INQUIRY is the exception: a disk may answer fewer bytes than asked for.
  const bool inquiry = !ata && (record->Command & 0xFF) == kInquiryCommand;
  const bool wholeTransfer = hdr.resid == 0 || inquiry;
  if (!ata) return ScsiCommandSucceeded(ret, hdr, received) && wholeTransfer ? 1 : 0;

  unsigned char judged[kSenseBytes];
  memcpy(judged, received, sizeof judged);
  TranslateFixedAtaStatus(judged);
  if (senseBytes > 0 && memcmp(judged, received, sizeof judged) != 0) {
    memcpy(sense, judged, static_cast<size_t>(senseBytes < kSenseBytes ? senseBytes : kSenseBytes));
  }
  if (RequestRan(ret, hdr) && AtaStatusSucceeded(judged) && wholeTransfer) return 1;
  // A failed ATA command leaves the disk in an unknown state: drop it.
  close(hDevice);
  hDevice = -1;
  return 0;
}

int SSDCMD::ReadIdentify(unsigned char* buf) {
  return SendStandard(*this, kIdentify, buf) ? 0 : -127;
}

int SSDCMD::EnableSMART(unsigned char* buf) {
  return SendStandard(*this, kEnableSmart, buf) ? 0 : -127;
}

int SSDCMD::ReadSMART(unsigned char* buf) {
  return SendStandard(*this, kReadSmart, buf) ? 0 : -127;
}

int SSDCMD::TestUnitReady() { return SendStandard(*this, kTestUnitReady, nullptr) ? 0 : 1; }

int SSDCMD::ReadSector(unsigned long lba, unsigned long count, void* buf, bool ata) {
  return TransferSectors(*this, lba, count, buf, ata, false);
}

int SSDCMD::WriteSector(unsigned long lba, unsigned long count, void* buf, bool ata) {
  return TransferSectors(*this, lba, count, buf, ata, true);
}

int SSDCMD::DownloadMicrocode(unsigned char subCommand, uint16_t offset, uint16_t blocks,
                              unsigned char* data, unsigned char* status, bool dma) {
  if (status != nullptr) memset(status, 0, kSenseBytes);
  if (!isOpened()) return 1;
  __SSD_PASS_THROUGH_DIRECT record = {};
  record.Command = dma ? 0x93 : 0x92;
  record.Features = subCommand;
  if (subCommand == 0x03 || subCommand == 0x07 || subCommand == 0x0E) {
    record.SectorCount = blocks & 0xFF;
    record.LBALow = blocks >> 8;
    record.LBAMid = offset & 0xFF;
    record.LBAHigh = offset >> 8;
  }
  record.DeviceHead = 0xE0;
  if (subCommand == 0x0F) {
    record.Protocol = 0;
  } else {
    record.Protocol = dma ? 4 : 2;
  }
  unsigned char sense[kSenseBytes] = {};
  int length = blocks * kSectorBytes;
  int senseLength = kSenseBytes;
  unsigned int timeout = kLongTimeoutMs;
  if (SG_IO_Command(&record, data, &length, sense, &senseLength, &timeout, true) != 1) return 1;
  if (status != nullptr) {
    memcpy(status, sense, kSenseBytes);
    status[0] = sense[11];  // ERROR
    status[1] = sense[13];  // COUNT (7:0): the completion code
    status[5] = sense[20];  // DEVICE
    status[6] = sense[21];  // STATUS
  }
  return 0;
}

int SSDCMD::DMicrocodeChk(int subCommand, int totalBlocks, int blocksPerCommand,
                          unsigned char* image, unsigned char* identify, bool dma) {
  MicrocodeOutcome outcome =
      RunMicrocodeDownload(*this, subCommand, totalBlocks, blocksPerCommand, image, identify, dma);
  switch (outcome.stop) {
    case kMcOk:
      return 0;
    case kMcSubCommand:
      return 1;
    case kMcNotSupported:
    case kMcDmaNotSupported:
    case kMcMode3NotSupported:
      return 2;
    case kMcTransferSize:
      return 3;
    case kMcCommandFailed:
    case kMcActivateFailed:
      return 4;
    case kMcCompletionCode:
    case kMcActivateCode:
      return 7;
    case kMcLastChunkTooSmall:
      return 8;
    case kMcNoMemory:
      return 0xFF;
  }
  return 0xFF;
}

// Vendor channel result codes: 0 success; -1..-5 the unlock read of 0x006B,
// 0x6B00, 0x0094, 0x9400, 0x946B failed; -6 the command block write failed;
// -7 the data phase failed (or cannot be carried: a negative length or more
// than 255 sectors); -10 six unlock attempts without the expected identity;
// -12 the device is not open.
int SSDCMD::QelPreVendorCommand(void* answer, bool ata) {
  unsigned char* sector = static_cast<unsigned char*>(answer);
  for (int attempt = 0; attempt < kUnlockAttempts; ++attempt) {
    ReadSector(kUnlockLBAs[0], 1, sector, ata);  // opens the sequence; its answer does not matter
    for (int step = 1; step < 6; ++step) {
      if (ReadSector(kUnlockLBAs[step], 1, sector, ata) != 0) return -step;
    }
    if (FieldMatches(sector, ChipID, ChipIDOffset, ChipIDLength)) return 0;
    if (ChipID2[0] != 0 && FieldMatches(sector, ChipID2, ChipID2Offset, ChipID2Length)) return 0;
  }
  return -10;
}

namespace {

// Shared front of QelTestRead and QelTestWrite: argument checks, the unlock
// and the command block write. Returns 0 when the data phase may follow.
int StartVendorCommand(SSDCMD& dev, void* block, int length, bool ata, unsigned long* sectors) {
  if (!dev.isOpened()) return -12;
  if (length < 0 || (length + kSectorBytes - 1) / kSectorBytes > kMaxSectorsPerCommand) return -7;
  *sectors = static_cast<unsigned long>((length + kSectorBytes - 1) / kSectorBytes);
  unsigned char scratch[kSectorBytes];
  dev.ReadSector(dev.VendorLBA, 1, scratch, ata);
  int code = dev.QelPreVendorCommand(scratch, ata);
  if (code != 0) {
    dev.ReadSector(kClosingLBA, 1, scratch, ata);
    return code;
  }
  if (dev.WriteSector(dev.VendorLBA, 1, block, ata) != 0) {
    dev.ReadSector(kClosingLBA, 1, scratch, ata);
    return -6;
  }
  return 0;
}

}  // namespace

int SSDCMD::QelTestRead(void* block, void* data, int length) {
  bool ata = (Attribute & kAttrAtaPassThrough) != 0;
  unsigned long sectors = 0;
  int code = StartVendorCommand(*this, block, length, ata, &sectors);
  if (code != 0) return code;
  if (data != nullptr && sectors > 0 && ReadSector(VendorLBA, sectors, data, ata) != 0) return -7;
  return 0;
}

int SSDCMD::QelTestWrite(void* block, void* data, int length) {
  bool ata = (Attribute & kAttrAtaPassThrough) != 0;
  unsigned long sectors = 0;
  int code = StartVendorCommand(*this, block, length, ata, &sectors);
  if (code != 0) return code;
  int result = 0;
  if (data != nullptr && sectors > 0 && WriteSector(VendorLBA, sectors, data, ata) != 0)
    result = -7;
  unsigned char scratch[kSectorBytes];
  ReadSector(VendorLBA, 1, scratch, ata);
  return result;
}
