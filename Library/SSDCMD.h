// SSDCMD owns one open /dev/sdX node and sends single ATA PASS-THROUGH (16)
// or 12-byte SCSI commands to it through SG_IO, tracing each one into the
// object's trace file. The standard commands and the vendor command channel
// (unlock, command block and data phase at sector 0x946B) are built on it.
#ifndef QEL_LIBRARY_SSDCMD_H_
#define QEL_LIBRARY_SSDCMD_H_

#include <stdint.h>

// Task-file record of one command; callers clear it before filling it.
struct __SSD_PASS_THROUGH_DIRECT {
  uint16_t Features;
  uint16_t SectorCount;
  uint16_t LBALow;
  uint16_t LBAMid;
  uint16_t LBAHigh;
  uint16_t DeviceHead;
  uint16_t Command;
  uint8_t Protocol;  // 0 none, 1/3 from device, 2/4 to device (3/4: DMA)
};

// Attribute bits.
enum : uint32_t {
  kAttrAtaPassThrough = 0x80000000u,
  kAttrScsi = 0x00000004u,
};

constexpr int kSectorBytes = 512;
// The ATA form carries the sector count in one byte.
constexpr int kMaxSectorsPerCommand = 255;
// Sense buffer every command builder hands to SG_IO_Command.
constexpr int kSenseBytes = 32;
// Node names are kept in 20-byte fields.
constexpr int kDevNameBytes = 20;

class SSDCMD {
 public:
  SSDCMD();
  ~SSDCMD();  // does not close the device

  // Device table and handle (transport).
  void Initialize();            // records the nodes of /dev/sda../dev/sdj that open
  void Initialize(char* name);  // records just that node if it opens
  // Opens the node read-write and classifies it by INQUIRY (ATA or SCSI).
  // False when it does not open or the name does not fit DevName.
  bool OpenDevice(char* name);
  bool OpenDeviceDirectHandle(int fd);
  void CloseDevice();
  int GetDeviceHandle();
  void GetDeviceName(int index, char* out);  // "" for an index not recorded
  void GetHandleDeviceName(char* out);
  bool isOpened();
  int GetTotalDevice();
  uint32_t GetAttribute();
  int Inquiry(void* buf);  // 0 success; 1 not open or failed
  // Sends one command, traces it and judges it: 1 success, 0 failure. A
  // failed ATA-form command closes the object. The three numbers are only
  // read; the sense buffer receives the sense data (a fixed-format ATA status
  // answer is rewritten into the descriptor layout).
  int SG_IO_Command(__SSD_PASS_THROUGH_DIRECT* record, void* data, int* dataLength,
                    unsigned char* sense, int* senseLength, unsigned int* timeoutMs, bool ata);

  // Standard commands.
  int ReadIdentify(unsigned char* buf);  // 0 success; -127 not open or failed
  int EnableSMART(unsigned char* buf);   // 0 success; -127 not open or failed
  int ReadSMART(unsigned char* buf);     // 0 success; -127 not open or failed
  int TestUnitReady();                   // 0 success; 1 not open or failed
  // 0 success; 1 not open, failed, or a count outside 1..255, or an LBA the
  // form cannot address (28 bits in the ATA form, 32 bits in the SCSI form).
  int ReadSector(unsigned long lba, unsigned long count, void* buf, bool ata);
  int WriteSector(unsigned long lba, unsigned long count, void* buf, bool ata);
  // 0 success (status: the sense bytes with ERROR, COUNT, DEVICE, STATUS in
  // bytes 0, 1, 5, 6); 1 not open or failed (status all zero).
  int DownloadMicrocode(unsigned char subCommand, uint16_t offset, uint16_t blocks,
                        unsigned char* data, unsigned char* status, bool dma);
  // Silent download driver: 0, 1 bad sub-command, 2 not supported, 3 transfer
  // size, 4 command failed, 7 completion code, 8 last chunk too small, 0xFF
  // no memory.
  int DMicrocodeChk(int subCommand, int totalBlocks, int blocksPerCommand, unsigned char* image,
                    unsigned char* identify, bool dma);

  // Vendor command channel: 0, or -1..-7, -10, -12 (see SSDCMD.cpp).
  int QelPreVendorCommand(void* answer, bool ata);
  int QelTestRead(void* block, void* data, int length);
  int QelTestWrite(void* block, void* data, int length);

  int hDevice;
  char ChipID[50];
  char ChipID2[50];
  int ChipIDOffset;
  int ChipID2Offset;
  int ChipIDLength;
  int ChipID2Length;
  uint32_t VendorLBA;
  uint32_t Attribute;
  char DevName[kDevNameBytes];
  char LogName[128];

  static int TtlTarget;
  static char devName[10][kDevNameBytes];
};

// The errno of the last SG_IO request the kernel refused to carry out (0 when
// the last one ran): EPERM or EACCES tell a caller without the privilege for
// pass-through from a disk that does not answer.
int SgIoErrno();

#endif  // QEL_LIBRARY_SSDCMD_H_
