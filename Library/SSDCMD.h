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

class SSDCMD {
 public:
  SSDCMD();
  ~SSDCMD();

  // Device table and handle (transport).
  void Initialize();
  void Initialize(char* name);
  bool OpenDevice(char* name);
  bool OpenDeviceDirectHandle(int fd);
  void CloseDevice();
  int GetDeviceHandle();
  void GetDeviceName(int index, char* out);
  void GetHandleDeviceName(char* out);
  bool isOpened();
  int GetTotalDevice();
  uint32_t GetAttribute();
  int Inquiry(void* buf);
  int SG_IO_Command(__SSD_PASS_THROUGH_DIRECT* record, void* data, int* dataLength,
                    unsigned char* sense, int* senseLength, unsigned int* timeoutMs, bool ata);

  // Standard commands.
  int ReadIdentify(unsigned char* buf);
  int EnableSMART(unsigned char* buf);
  int ReadSMART(unsigned char* buf);
  int TestUnitReady();
  int ReadSector(unsigned long lba, unsigned long count, void* buf, bool ata);
  int WriteSector(unsigned long lba, unsigned long count, void* buf, bool ata);
  int DownloadMicrocode(unsigned char subCommand, uint16_t offset, uint16_t blocks,
                        unsigned char* data, unsigned char* status, bool dma);
  int DMicrocodeChk(int subCommand, int totalBlocks, int blocksPerCommand, unsigned char* image,
                    unsigned char* identify, bool dma);

  // Vendor command channel.
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
  char DevName[20];
  char LogName[128];

  static int TtlTarget;
  static char devName[10][20];
};

#endif  // QEL_LIBRARY_SSDCMD_H_
