// The device handle, the command blocks of the standard commands and the
// judgement of their outcome, seen from the far side of SG_IO.
#include <scsi/sg.h>
#include <string.h>
#include <unistd.h>

#include "TransportTest.h"

namespace {

using Device = OpenCardTest;

TEST(DeviceOpen, ClassifiesTheDiskByItsInquiryVendor) {
  const struct { const char* vendor; bool inquiryFails; uint32_t attribute; } cases[] = {
      {"ATA", false, 0x80000000u}, {"ATAPI", false, 0x80000000u},  // only 3 characters count
      {"SEAGATE", false, 0x4u},    {"ATA", true, 0x4u},           // no answer: SCSI
  };
  for (const auto& c : cases) {
    Disk() = FakeDisk();
    Disk().vendor = c.vendor;
    if (c.inquiryFails) Disk().script = [](const SgCall&, SgAnswer& a) { a.ret = -1, a.err = EIO; };
    std::string node = MakeNode();
    QC3300 card;
    ASSERT_TRUE(card.OpenDevice(&node[0])) << c.vendor;
    EXPECT_EQ(c.attribute, card.GetAttribute()) << c.vendor;
    ASSERT_EQ(1u, Disk().calls.size());
    const SgCall& inquiry = Disk().calls[0];
    EXPECT_EQ(Hex("12 00 00 00 38 00 00 00 00 00 00 00"), inquiry.Cdb());
    EXPECT_EQ('S', inquiry.interfaceId);
    EXPECT_EQ(SG_DXFER_FROM_DEV, inquiry.direction);
    EXPECT_EQ(56u, inquiry.dxferLen);
    close(card.hDevice);
    unlink(node.c_str());
  }
}

TEST(DeviceOpen, RefusesNamesItCannotHoldOrOpen) {
  Disk() = FakeDisk();
  QC3300 card;
  char longName[] = "/tmp/twenty-chars-xx";  // 20 characters: DevName holds 19
  EXPECT_FALSE(card.OpenDevice(longName));
  EXPECT_STREQ("", card.DevName);
  char missing[] = "/nonexistent/sdz";
  EXPECT_FALSE(card.OpenDevice(missing));
  EXPECT_EQ(-1, card.hDevice);
  EXPECT_STREQ(missing, card.DevName);  // kept for the caller's message
  EXPECT_TRUE(Disk().calls.empty());
}

TEST_F(Device, CommandBlocksInBothForms) {
  Bytes buf(1024);
  for (size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<unsigned char>(i * 7);
  const struct {
    std::function<int(QC3300&, unsigned char*)> send;
    const char* cdb;
    int direction;
    unsigned int length, timeout;
  } cases[] = {
      {[](QC3300& d, unsigned char* b) { return d.ReadIdentify(b); },
       "85 08 2E 00 00 00 01 00 00 00 00 00 00 00 EC 00", SG_DXFER_FROM_DEV, 512, 5000},
      {[](QC3300& d, unsigned char* b) { return d.EnableSMART(b); },
       "85 06 20 00 D8 00 00 00 00 00 4F 00 C2 E0 B0 00", SG_DXFER_NONE, 0, 5000},
      {[](QC3300& d, unsigned char* b) { return d.ReadSMART(b); },
       "85 08 2E 00 D0 00 00 00 00 00 4F 00 C2 00 B0 00", SG_DXFER_FROM_DEV, 512, 5000},
      {[](QC3300& d, unsigned char*) { return d.TestUnitReady(); },
       "00 00 00 00 00 00 00 00 00 00 00 00", SG_DXFER_NONE, 0, 5000},
      {[](QC3300& d, unsigned char* b) { return d.ReadSector(0x1234, 1, b, true); },
       "85 08 2E 00 00 00 01 00 34 00 12 00 00 E0 20 00", SG_DXFER_FROM_DEV, 512, 120000},
      {[](QC3300& d, unsigned char* b) { return d.ReadSector(0x1234, 1, b, false); },
       "28 00 00 00 12 34 00 00 01 00 00 00", SG_DXFER_FROM_DEV, 512, 120000},
      {[](QC3300& d, unsigned char* b) { return d.WriteSector(0x0A0B0C0D, 2, b, true); },
       "85 0A 26 00 00 00 02 00 0D 00 0C 00 0B EA 30 00", SG_DXFER_TO_DEV, 1024, 120000},
      {[](QC3300& d, unsigned char* b) { return d.WriteSector(0x0A0B0C0D, 2, b, false); },
       "2A 00 0A 0B 0C 0D 00 00 02 00 00 00", SG_DXFER_TO_DEV, 1024, 120000},
      {[](QC3300& d, unsigned char* b) { return d.ReadSector(0xFFFFFFFF, 1, b, false); },
       "28 00 FF FF FF FF 00 00 01 00 00 00", SG_DXFER_FROM_DEV, 512, 120000},
      {[](QC3300& d, unsigned char* b) { return d.ReadSector(0x0FFFFFFF, 255, b, true); },
       "85 08 2E 00 00 00 FF 00 FF 00 FF 00 FF EF 20 00", SG_DXFER_FROM_DEV, 255 * 512, 120000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cdb);
    Disk().calls.clear();
    Bytes data = buf;
    data.resize(255 * 512);
    EXPECT_EQ(0, c.send(card, data.data()));
    ASSERT_EQ(1u, Disk().calls.size());
    const SgCall& call = Disk().calls[0];
    EXPECT_EQ(Hex(c.cdb), call.Cdb());
    EXPECT_EQ(c.direction, call.direction);
    EXPECT_EQ(c.length, call.dxferLen);
    EXPECT_EQ(c.timeout, call.timeout);  // never the 5 ms that would time out at once
    EXPECT_EQ(32, call.mxSbLen);
    EXPECT_EQ(0, call.iovecCount + int(call.flags));
    if (c.direction == SG_DXFER_TO_DEV) {
      EXPECT_EQ(Bytes(data.begin(), data.begin() + c.length), call.out);
    }
  }
}

TEST_F(Device, RefusesSectorCountsAndAddressesTheFormCannotCarry) {
  Bytes buf(256 * 512);
  EXPECT_EQ(1, card.ReadSector(0x10, 0, buf.data(), true));
  EXPECT_EQ(1, card.ReadSector(0x10, 256, buf.data(), true));
  EXPECT_EQ(1, card.WriteSector(0x10, 256, buf.data(), false));
  EXPECT_EQ(1, card.ReadSector(0x10, 1, nullptr, true));
  EXPECT_EQ(1, card.WriteSector(0x10000000, 1, buf.data(), true));     // beyond 28 bits
  EXPECT_EQ(1, card.ReadSector(0x100000000ul, 1, buf.data(), false));  // beyond 32 bits
  EXPECT_TRUE(Disk().calls.empty());
  EXPECT_TRUE(card.isOpened());
}

TEST(DeviceClosed, EveryCommandGivesItsNotOpenResultWithoutDiskAccess) {
  Disk() = FakeDisk();
  QC3300 card;
  unsigned char buf[1024], status[32];
  memset(status, 0xAA, sizeof status);
  EXPECT_EQ(1, card.Inquiry(buf));
  EXPECT_EQ(-127, card.ReadIdentify(buf));
  EXPECT_EQ(-127, card.EnableSMART(buf));
  EXPECT_EQ(-127, card.ReadSMART(buf));
  EXPECT_EQ(1, card.TestUnitReady());
  EXPECT_EQ(1, card.ReadSector(0, 1, buf, true));
  EXPECT_EQ(1, card.WriteSector(0, 1, buf, false));
  EXPECT_EQ(1, card.DownloadMicrocode(3, 0, 1, buf, status, false));
  EXPECT_EQ(Bytes(32, 0), Bytes(status, status + 32));
  EXPECT_EQ(-12, card.QelTestRead(buf, buf, 512));
  EXPECT_EQ(-12, card.QelTestWrite(buf, buf, 512));
  EXPECT_EQ(-12, card.ReadFlashID(buf));
  EXPECT_TRUE(Disk().calls.empty());
}

// An ATA-form answer and whether the transport takes it as success; a
// failure also closes the object.
TEST_F(Device, AtaFormJudgesTheReturnedRegisters) {
  Bytes otherAscq = FixedSense(0, 0, 0xE0, 0x50);
  otherAscq[13] = 0x00;
  auto withKey = [](unsigned char key) {
    Bytes s = DescriptorSense(0, 0, 0xE0, 0x50);
    s[1] = key;
    return s;
  };
  const struct { const char* what; int ret; Bytes sense; bool success; } cases[] = {
      {"descriptor, STATUS 50", 0, DescriptorSense(0, 0, 0xE0, 0x50), true},
      {"descriptor, STATUS 51 (ERR)", 0, DescriptorSense(0, 0, 0xE0, 0x51), false},
      {"descriptor, ERROR 04", 0, DescriptorSense(0x04, 0, 0xE0, 0x50), false},
      {"descriptor, ioctl failed", -1, DescriptorSense(0, 0, 0xE0, 0x50), false},
      {"descriptor, NO SENSE", 0, withKey(0x00), true},
      {"descriptor, HARDWARE ERROR, clean registers", 0, withKey(0x04), false},
      {"descriptor, MEDIUM ERROR, clean registers", 0, withKey(0x03), false},
      {"descriptor, ABORTED COMMAND, clean registers", 0, withKey(0x0B), false},
      {"descriptor, STATUS D0 (BSY)", 0, DescriptorSense(0, 0, 0xE0, 0xD0), false},
      {"descriptor, STATUS 70 (DF)", 0, DescriptorSense(0, 0, 0xE0, 0x70), false},
      {"fixed, STATUS 70 (DF)", 0, FixedSense(0, 0, 0xE0, 0x70), false},
      {"no sense", 0, {}, false},
      {"fixed 70h", 0, FixedSense(0, 0, 0xE0, 0x50), true},
      {"fixed 71h", 0, FixedSense(0, 0, 0xE0, 0x50, 0x71), true},
      {"fixed F0h (VALID)", 0, FixedSense(0, 0, 0xE0, 0x50, 0xF0), true},
      {"fixed, NO SENSE", 0, FixedSense(0, 0, 0xE0, 0x50, 0x70, 0x00), true},
      {"fixed, STATUS 51 (ERR)", 0, FixedSense(0, 0, 0xE0, 0x51), false},
      {"fixed, ERROR 04", 0, FixedSense(0x04, 0, 0xE0, 0x41), false},
      {"fixed, STATUS 0", 0, FixedSense(0, 0, 0xE0, 0x00), false},
      {"fixed, ABORTED COMMAND", 0, FixedSense(0, 0, 0xE0, 0x50, 0x70, 0x0B), false},
      {"fixed, other ASCQ", 0, otherAscq, false},
  };
  for (const auto& c : cases) {
    Reopen();
    Disk().script = [&c](const SgCall&, SgAnswer& a) { a.ret = c.ret, a.err = EIO, a.sense = c.sense; };
    unsigned char buf[512];
    EXPECT_EQ(c.success ? 0 : 1, card.ReadSector(7, 1, buf, true)) << c.what;
    EXPECT_EQ(c.success, card.isOpened()) << c.what;
  }
}

TEST_F(Device, ScsiFormReportsFailuresAndKeepsTheDeviceOpen) {
  const Bytes medium = {0x70, 0, 0x03, 0, 0, 0, 0, 0x0A}, recovered = {0x70, 0, 0x01, 0, 0, 0, 0, 0x0A},
              descriptorNotReady = {0x72, 0x02};
  const struct {
    const char* what;
    int ret;
    unsigned char status;
    unsigned short host, driver;
    Bytes sense;
    bool success;
  } cases[] = {
      {"GOOD", 0, 0x00, 0, 0, {}, true},
      {"ioctl failed", -1, 0x00, 0, 0, {}, false},
      {"host error", 0, 0x00, 0x07, 0, {}, false},
      {"driver sense alone", 0, 0x00, 0, 0x08, {}, true},
      {"driver timeout", 0, 0x00, 0, 0x06, {}, false},
      {"CHECK CONDITION, MEDIUM ERROR", 0, 0x02, 0, 0x08, medium, false},
      {"CHECK CONDITION, RECOVERED ERROR", 0, 0x02, 0, 0x08, recovered, true},
      {"CHECK CONDITION, descriptor NOT READY", 0, 0x02, 0, 0x08, descriptorNotReady, false},
      {"CHECK CONDITION without sense", 0, 0x02, 0, 0, {}, false},
      {"BUSY", 0, 0x08, 0, 0, {}, false},
      {"RESERVATION CONFLICT", 0, 0x18, 0, 0, {}, false},
      {"TASK SET FULL", 0, 0x28, 0, 0, {}, false},
      {"ACA ACTIVE", 0, 0x30, 0, 0, {}, false},
      {"TASK ABORTED", 0, 0x40, 0, 0, {}, false},
  };
  for (const auto& c : cases) {
    Disk().script = [&c](const SgCall&, SgAnswer& a) {
      a.ret = c.ret, a.err = EIO, a.status = c.status, a.hostStatus = c.host, a.driverStatus = c.driver;
      a.sense = c.sense;
    };
    unsigned char buf[512];
    EXPECT_EQ(c.success ? 0 : 1, card.WriteSector(7, 1, buf, false)) << c.what;
    EXPECT_EQ(c.success ? 0 : 1, card.TestUnitReady()) << c.what;
    EXPECT_TRUE(card.isOpened()) << c.what;
  }
}

// A transfer cut short fails in both forms, whatever the status says: a
// short write of sector 0 must never pass for a good one.
TEST_F(Device, ShortTransfersFail) {
  unsigned char buf[1024] = {};
  // INQUIRY alone may come back short: disks answer what they have.
  Disk().script = [](const SgCall&, SgAnswer& a) { a.resid = 20; };
  EXPECT_EQ(0, card.Inquiry(buf));
  for (bool ata : {false, true}) {
    Disk().script = [](const SgCall&, SgAnswer& a) { a.resid = 512; };
    EXPECT_EQ(1, card.WriteSector(0, 2, buf, ata)) << ata;
    EXPECT_EQ(!ata, card.isOpened()) << ata;
    Reopen();
    EXPECT_EQ(1, card.ReadSector(0, 2, buf, ata)) << ata;
    Reopen();
  }
}

TEST_F(Device, DownloadMicrocodeBlocks) {
  Bytes image(0x180 * 512, 0x5A);
  unsigned char status[32];
  const struct { unsigned char sub; uint16_t offset, blocks; bool dma; const char* cdb; } cases[] = {
      {0x0E, 0x0102, 0x0180, false, "85 0A 26 00 0E 00 80 00 01 00 02 00 01 E0 92 00"},
      {0x03, 0x0000, 0x0002, true, "85 0C 26 00 03 00 02 00 00 00 00 00 00 E0 93 00"},
      {0x07, 0x0000, 0x0001, false, "85 0A 26 00 07 00 01 00 00 00 00 00 00 E0 92 00"},
      {0x0F, 0x0000, 0x0000, false, "85 06 20 00 0F 00 00 00 00 00 00 00 00 E0 92 00"},
  };
  for (const auto& c : cases) {
    Disk().calls.clear();
    EXPECT_EQ(0, card.DownloadMicrocode(c.sub, c.offset, c.blocks, image.data(), status, c.dma));
    ASSERT_EQ(1u, Disk().calls.size());
    EXPECT_EQ(Hex(c.cdb), Disk().calls[0].Cdb());
    EXPECT_EQ(c.blocks * 512u, Disk().calls[0].dxferLen);
    EXPECT_EQ(c.blocks ? SG_DXFER_TO_DEV : SG_DXFER_NONE, Disk().calls[0].direction);
    EXPECT_EQ(120000u, Disk().calls[0].timeout);
  }
}

TEST_F(Device, DownloadMicrocodeStatusRecordFromEitherSenseFormat) {
  unsigned char data[512] = {}, status[32];
  // The registers come back as ERROR 0, COUNT 3, DEVICE A0, STATUS 50.
  const Bytes descriptor = DescriptorSense(0, 3, 0xA0, 0x50);
  Bytes expected = descriptor;
  expected[0] = 0x00, expected[1] = 0x03, expected[5] = 0xA0, expected[6] = 0x50;
  for (const Bytes& sense : {descriptor, FixedSense(0, 3, 0xA0, 0x50)}) {
    Disk().script = [&sense](const SgCall&, SgAnswer& a) { a.sense = sense; };
    ASSERT_EQ(0, card.DownloadMicrocode(3, 0, 1, data, status, false));
    EXPECT_EQ(expected, Bytes(status, status + 32));
  }
  Disk().script = [](const SgCall&, SgAnswer& a) { a.sense = DescriptorSense(4, 3, 0xA0, 0x51); };
  memset(status, 0xAA, sizeof status);
  EXPECT_EQ(1, card.DownloadMicrocode(3, 0, 1, data, status, false));
  EXPECT_EQ(Bytes(32, 0), Bytes(status, status + 32));
  EXPECT_FALSE(card.isOpened());
}

}  // namespace
