// The transport tests talk to a stand-in disk: the test executable defines
// ioctl(), records every SG_IO request and answers it here; other requests go
// on to the C library. Any regular file serves as the device node.
#ifndef QEL_TESTS_TRANSPORT_TRANSPORTTEST_H_
#define QEL_TESTS_TRANSPORT_TRANSPORTTEST_H_

#include <gtest/gtest.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "QC3300.h"

using Bytes = std::vector<unsigned char>;

// One SG_IO request as the product sent it.
struct SgCall {
  int interfaceId = 0, direction = 0, cmdLen = 0, mxSbLen = 0, iovecCount = 0;
  unsigned int flags = 0, dxferLen = 0, timeout = 0;
  unsigned char cdb[16] = {};
  Bytes out;  // data sent to the disk

  bool Ata() const { return cmdLen == 16; }
  bool IsSectorRead() const { return Ata() ? cdb[14] == 0x20 : cdb[0] == 0x28; }
  bool IsSectorWrite() const { return Ata() ? cdb[14] == 0x30 : cdb[0] == 0x2A; }
  uint32_t Lba() const;
  int Sectors() const { return Ata() ? cdb[6] : (cdb[7] << 8) | cdb[8]; }
  Bytes Cdb() const { return Bytes(cdb, cdb + cmdLen); }
};

// What the disk answers to one request.
struct SgAnswer {
  int ret = 0, err = 0;
  unsigned char status = 0;
  unsigned short hostStatus = 0, driverStatus = 0;
  int resid = 0;  // bytes the disk did not transfer
  Bytes sense, in;  // in: data returned to the host
};

// ATA Status Return descriptor sense as a SAT translator returns it, and the
// same registers in fixed-format sense (information field).
Bytes DescriptorSense(unsigned char error, unsigned char count, unsigned char device, unsigned char status);
Bytes FixedSense(unsigned char error, unsigned char count, unsigned char device, unsigned char status,
                 unsigned char responseCode = 0x70, unsigned char key = 0x01);

struct FakeDisk {
  // INQUIRY answers `vendor`; a read at 0x946B answers `identity` at byte 46
  // (the controller's unlock answer); ATA commands complete with a descriptor
  // carrying `ataStatus` and `completionCode`; SCSI commands with GOOD.
  std::string vendor = "ATA", identity = "QC3300";
  unsigned char ataStatus = 0x50, completionCode = 0;
  // Called after the default answer is made; may change it.
  std::function<void(const SgCall&, SgAnswer&)> script;
  std::vector<SgCall> calls;

  int Answer(void* sgIoHdr);
  std::vector<SgCall> SectorWrites() const;
};

FakeDisk& Disk();  // reset with Disk() = FakeDisk()
std::string MakeNode();  // a fresh empty file with a name short enough for DevName

// A QC3300 object open on a fresh node, the fake disk reset before the open.
class OpenCardTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  void Reopen();  // after Disk() was configured
  QC3300 card;
  std::string node_;
};

Bytes Hex(const std::string& text);  // bytes from a hex text such as "85 08 2E"
std::string ReadTrace(const SSDCMD& device);  // "" when absent

#endif  // QEL_TESTS_TRANSPORT_TRANSPORTTEST_H_
