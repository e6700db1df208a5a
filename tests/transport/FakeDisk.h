// A stand-in for the disk on the far side of SG_IO. The test executable
// defines ioctl(): every SG_IO request is recorded and answered here, every
// other request goes on to the C library. Any regular file serves as the
// device node.
#ifndef QEL_TESTS_TRANSPORT_FAKEDISK_H_
#define QEL_TESTS_TRANSPORT_FAKEDISK_H_

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

// One SG_IO request as the product sent it.
struct SgCall {
  int fd = -1;
  int interfaceId = 0;
  int direction = 0;
  int cmdLen = 0;
  int mxSbLen = 0;
  int iovecCount = 0;
  unsigned int flags = 0;
  unsigned int dxferLen = 0;
  unsigned int timeout = 0;
  bool dataPointerSet = false;
  unsigned char cdb[16] = {};
  std::vector<unsigned char> out;  // data sent to the disk

  bool Ata() const { return cmdLen == 16; }
  bool IsSectorRead() const { return Ata() ? cdb[14] == 0x20 : cdb[0] == 0x28; }
  bool IsSectorWrite() const { return Ata() ? cdb[14] == 0x30 : cdb[0] == 0x2A; }
  uint32_t Lba() const;
  int Sectors() const;
};

// What the disk answers to one request.
struct SgAnswer {
  int ret = 0;
  int err = 0;
  unsigned char status = 0;
  unsigned short hostStatus = 0;
  unsigned short driverStatus = 0;
  std::vector<unsigned char> sense;
  std::vector<unsigned char> in;  // data returned to the host
};

// ATA Status Return descriptor sense as a SAT translator returns it.
std::vector<unsigned char> DescriptorSense(unsigned char error, unsigned char count,
                                           unsigned char device, unsigned char status);
// The same registers in fixed-format sense (information field).
std::vector<unsigned char> FixedSense(unsigned char error, unsigned char count,
                                      unsigned char device, unsigned char status,
                                      unsigned char responseCode = 0x70, unsigned char key = 0x01);

class FakeDisk {
 public:
  // The default disk: INQUIRY vendor `vendor`; a read at 0x946B answers with
  // `identity` at byte 46 (the controller's unlock answer); ATA commands
  // complete with a descriptor carrying `ataStatus` and `completionCode`;
  // SCSI commands complete with GOOD status.
  std::string vendor = "ATA";
  std::string identity = "QC3300";
  unsigned char ataStatus = 0x50;
  unsigned char completionCode = 0;
  // Called after the default answer is made; may change it.
  std::function<void(size_t index, const SgCall&, SgAnswer&)> script;
  std::vector<SgCall> calls;

  void Reset();
  int Answer(int fd, void* sgIoHdr);

  // Calls that are sector reads / writes, in order.
  std::vector<SgCall> SectorReads() const;
  std::vector<SgCall> SectorWrites() const;
};

FakeDisk& Disk();

// A fresh empty regular file with a name short enough for DevName.
std::string MakeNode();

#endif  // QEL_TESTS_TRANSPORT_FAKEDISK_H_
