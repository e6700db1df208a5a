// The device handle, the command blocks of the standard commands and the
// judgement of their outcome, seen from the far side of SG_IO.
#include <scsi/sg.h>
#include <string.h>
#include <unistd.h>

#include "TransportTest.h"

namespace {

using Device = OpenCardTest;

TEST(DeviceOpen, ClassifiesTheDiskByItsInquiryVendor) {
  struct Case {
    const char* vendor;
    bool inquiryFails;
    uint32_t attribute;
  } cases[] = {
      {"ATA", false, 0x80000000u},
      {"ATAPI", false, 0x80000000u},  // only the first 3 characters
      {"SEAGATE", false, 0x4u},
      {"ATA", true, 0x4u},  // no answer: SCSI
  };
  for (const Case& c : cases) {
    Disk().Reset();
    Disk().vendor = c.vendor;
    if (c.inquiryFails) {
      Disk().script = [](size_t, const SgCall&, SgAnswer& a) {
        a.ret = -1;
        a.err = EIO;
        a.in.clear();
      };
    }
    std::string node = MakeNode();
    QC3300 card;
    ASSERT_TRUE(card.OpenDevice(&node[0])) << c.vendor;
    EXPECT_EQ(c.attribute, card.GetAttribute()) << c.vendor;
    EXPECT_STREQ(node.c_str(), card.DevName);
    ASSERT_EQ(1u, Disk().calls.size());
    const SgCall& inquiry = Disk().calls[0];
    EXPECT_EQ(Hex("12 00 00 00 38 00 00 00 00 00 00 00"), Cdb(inquiry));
    EXPECT_EQ('S', inquiry.interfaceId);
    EXPECT_EQ(SG_DXFER_FROM_DEV, inquiry.direction);
    EXPECT_EQ(56u, inquiry.dxferLen);
    EXPECT_EQ(5000u, inquiry.timeout);
    EXPECT_EQ(32, inquiry.mxSbLen);
    close(card.hDevice);
    unlink(node.c_str());
  }
}

TEST(DeviceOpen, RefusesWhatItCannotHold) {
  Disk().Reset();
  QC3300 card;
  char longName[] = "/tmp/twenty-chars-xx";  // 20 characters: DevName holds 19
  EXPECT_FALSE(card.OpenDevice(longName));
  EXPECT_EQ(-1, card.hDevice);
  EXPECT_STREQ("", card.DevName);

  char missing[] = "/nonexistent/sdz";
  EXPECT_FALSE(card.OpenDevice(missing));
  EXPECT_EQ(-1, card.hDevice);
  EXPECT_STREQ(missing, card.DevName);  // the name is kept for the caller's message
  EXPECT_TRUE(Disk().calls.empty());

  char out[20] = "junk";
  card.GetDeviceName(-1, out);
  EXPECT_STREQ("", out);
  card.GetDeviceName(SSDCMD::TtlTarget, out);
  EXPECT_STREQ("", out);
}

TEST(DeviceOpen, InitializeWithANameRecordsItAndLeavesTheObjectClosed) {
  Disk().Reset();
  std::string node = MakeNode();
  QC3300 card;
  card.Initialize(&node[0]);
  EXPECT_EQ(1, card.GetTotalDevice());
  char out[20] = {};
  card.GetDeviceName(0, out);
  EXPECT_EQ(node, out);
  EXPECT_FALSE(card.isOpened());
  unlink(node.c_str());
}

TEST(DeviceOpen, DirectHandleIsTakenAsAtaWithoutInquiry) {
  Disk().Reset();
  QC3300 card;
  EXPECT_FALSE(card.OpenDeviceDirectHandle(-3));
  EXPECT_EQ(0u, card.Attribute);
  EXPECT_TRUE(card.OpenDeviceDirectHandle(1000));
  EXPECT_EQ(0x80000000u, card.Attribute);
  EXPECT_TRUE(Disk().calls.empty());
}

struct StandardCase {
  const char* name;
  int (*send)(SSDCMD&, unsigned char*);
  const char* cdb;
  int direction;
  unsigned int length;
};

TEST_F(Device, StandardCommandBlocks) {
  const StandardCase cases[] = {
      {"ReadIdentify", [](SSDCMD& d, unsigned char* b) { return d.ReadIdentify(b); },
       "85 08 2E 00 00 00 01 00 00 00 00 00 00 00 EC 00", SG_DXFER_FROM_DEV, 512},
      {"EnableSMART", [](SSDCMD& d, unsigned char* b) { return d.EnableSMART(b); },
       "85 06 20 00 D8 00 00 00 00 00 4F 00 C2 E0 B0 00", SG_DXFER_NONE, 0},
      {"ReadSMART", [](SSDCMD& d, unsigned char* b) { return d.ReadSMART(b); },
       "85 08 2E 00 D0 00 00 00 00 00 4F 00 C2 00 B0 00", SG_DXFER_FROM_DEV, 512},
      {"TestUnitReady", [](SSDCMD& d, unsigned char*) { return d.TestUnitReady(); },
       "00 00 00 00 00 00 00 00 00 00 00 00", SG_DXFER_NONE, 0},
  };
  for (const StandardCase& c : cases) {
    Disk().calls.clear();
    unsigned char buf[512];
    EXPECT_EQ(0, c.send(card, buf)) << c.name;
    ASSERT_EQ(1u, Disk().calls.size()) << c.name;
    const SgCall& call = Disk().calls[0];
    EXPECT_EQ(Hex(c.cdb), Cdb(call)) << c.name;
    EXPECT_EQ(c.direction, call.direction) << c.name;
    EXPECT_EQ(c.length, call.dxferLen) << c.name;
    EXPECT_EQ(5000u, call.timeout) << c.name;  // never the 5 ms that would time out at once
    EXPECT_EQ(32, call.mxSbLen) << c.name;
    EXPECT_EQ(0, call.iovecCount) << c.name;
    EXPECT_EQ(0u, call.flags) << c.name;
  }
}

TEST_F(Device, SectorCommandBlocksInBothForms) {
  std::vector<unsigned char> buf(1024);
  for (size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<unsigned char>(i * 7);
  struct Case {
    bool write;
    unsigned long lba;
    unsigned long count;
    bool ata;
    const char* cdb;
  } cases[] = {
      {false, 0x1234, 1, true, "85 08 2E 00 00 00 01 00 34 00 12 00 00 E0 20 00"},
      {false, 0x1234, 1, false, "28 00 00 00 12 34 00 00 01 00 00 00"},
      {true, 0x0A0B0C0D, 2, true, "85 0A 26 00 00 00 02 00 0D 00 0C 00 0B EA 30 00"},
      {true, 0x0A0B0C0D, 2, false, "2A 00 0A 0B 0C 0D 00 00 02 00 00 00"},
      {false, 0xFFFFFFFF, 1, false, "28 00 FF FF FF FF 00 00 01 00 00 00"},
  };
  for (const Case& c : cases) {
    Disk().calls.clear();
    int result = c.write ? card.WriteSector(c.lba, c.count, buf.data(), c.ata)
                         : card.ReadSector(c.lba, c.count, buf.data(), c.ata);
    EXPECT_EQ(0, result) << c.cdb;
    ASSERT_EQ(1u, Disk().calls.size()) << c.cdb;
    const SgCall& call = Disk().calls[0];
    EXPECT_EQ(Hex(c.cdb), Cdb(call));
    EXPECT_EQ(c.count * 512, call.dxferLen);
    EXPECT_EQ(120000u, call.timeout);
    EXPECT_EQ(c.write ? SG_DXFER_TO_DEV : SG_DXFER_FROM_DEV, call.direction);
    if (c.write) {
      EXPECT_EQ(std::vector<unsigned char>(buf.begin(), buf.begin() + c.count * 512), call.out);
    }
  }
}

TEST_F(Device, RefusesSectorCountsAndAddressesTheFormCannotCarry) {
  std::vector<unsigned char> buf(256 * 512);
  EXPECT_EQ(1, card.ReadSector(0x10, 0, buf.data(), true));
  EXPECT_EQ(1, card.ReadSector(0x10, 256, buf.data(), true));
  EXPECT_EQ(1, card.WriteSector(0x10, 256, buf.data(), false));
  EXPECT_EQ(1, card.ReadSector(0x10, 1, nullptr, true));
  EXPECT_EQ(1, card.WriteSector(0x10000000, 1, buf.data(), true));     // beyond 28 bits
  EXPECT_EQ(1, card.ReadSector(0x100000000ul, 1, buf.data(), false));  // beyond 32 bits
  EXPECT_TRUE(Disk().calls.empty());
  EXPECT_TRUE(card.isOpened());

  EXPECT_EQ(0, card.ReadSector(0x0FFFFFFF, 255, buf.data(), true));
  ASSERT_EQ(1u, Disk().calls.size());
  EXPECT_EQ(Hex("85 08 2E 00 00 00 FF 00 FF 00 FF 00 FF EF 20 00"), Cdb(Disk().calls[0]));
  EXPECT_EQ(255u * 512, Disk().calls[0].dxferLen);
}

TEST(DeviceClosed, EveryCommandGivesItsNotOpenResultWithoutDiskAccess) {
  Disk().Reset();
  QC3300 card;
  unsigned char buf[1024];
  unsigned char status[32];
  memset(status, 0xAA, sizeof status);
  EXPECT_EQ(1, card.Inquiry(buf));
  EXPECT_EQ(-127, card.ReadIdentify(buf));
  EXPECT_EQ(-127, card.EnableSMART(buf));
  EXPECT_EQ(-127, card.ReadSMART(buf));
  EXPECT_EQ(1, card.TestUnitReady());
  EXPECT_EQ(1, card.ReadSector(0, 1, buf, true));
  EXPECT_EQ(1, card.WriteSector(0, 1, buf, false));
  EXPECT_EQ(1, card.DownloadMicrocode(3, 0, 1, buf, status, false));
  EXPECT_EQ(std::vector<unsigned char>(32, 0), std::vector<unsigned char>(status, status + 32));
  EXPECT_EQ(-12, card.QelTestRead(buf, buf, 512));
  EXPECT_EQ(-12, card.QelTestWrite(buf, buf, 512));
  EXPECT_EQ(-12, card.ReadFlashID(buf));
  EXPECT_TRUE(Disk().calls.empty());
}

// What the disk returns for an ATA-form command, and whether the transport
// takes it as success. A failure also closes the object.
struct AtaAnswerCase {
  const char* what;
  int ret;
  std::vector<unsigned char> sense;
  bool success;
};

TEST_F(Device, AtaFormJudgesTheReturnedRegisters) {
  const AtaAnswerCase cases[] = {
      {"descriptor, STATUS 50", 0, DescriptorSense(0, 0, 0xE0, 0x50), true},
      {"descriptor, STATUS 51 (ERR)", 0, DescriptorSense(0, 0, 0xE0, 0x51), false},
      {"descriptor, ERROR 04", 0, DescriptorSense(0x04, 0, 0xE0, 0x50), false},
      {"descriptor, ioctl failed", -1, DescriptorSense(0, 0, 0xE0, 0x50), false},
      {"no sense", 0, {}, false},
      {"fixed 70h", 0, FixedSense(0, 0, 0xE0, 0x50), true},
      {"fixed 71h", 0, FixedSense(0, 0, 0xE0, 0x50, 0x71), true},
      {"fixed F0h (VALID)", 0, FixedSense(0, 0, 0xE0, 0x50, 0xF0), true},
      {"fixed, NO SENSE", 0, FixedSense(0, 0, 0xE0, 0x50, 0x70, 0x00), true},
      {"fixed, STATUS 51 (ERR)", 0, FixedSense(0, 0, 0xE0, 0x51), false},
      {"fixed, ERROR 04", 0, FixedSense(0x04, 0, 0xE0, 0x41), false},
      {"fixed, STATUS 0", 0, FixedSense(0, 0, 0xE0, 0x00), false},
      {"fixed, ABORTED COMMAND", 0, FixedSense(0, 0, 0xE0, 0x50, 0x70, 0x0B), false},
      {"fixed, other ASCQ", 0,
       [] {
         auto s = FixedSense(0, 0, 0xE0, 0x50);
         s[13] = 0x00;
         return s;
       }(),
       false},
  };
  for (const AtaAnswerCase& c : cases) {
    Reopen();
    Disk().script = [&c](size_t, const SgCall&, SgAnswer& a) {
      a.ret = c.ret;
      a.err = EIO;
      a.sense = c.sense;
    };
    unsigned char buf[512];
    EXPECT_EQ(c.success ? 0 : 1, card.ReadSector(7, 1, buf, true)) << c.what;
    EXPECT_EQ(c.success, card.isOpened()) << c.what;
    Disk().script = nullptr;
  }
}

struct ScsiAnswerCase {
  const char* what;
  int ret;
  unsigned char status;
  unsigned short host;
  unsigned short driver;
  std::vector<unsigned char> sense;
  bool success;
};

TEST_F(Device, ScsiFormReportsFailuresAndKeepsTheDeviceOpen) {
  std::vector<unsigned char> medium(32, 0), recovered(32, 0), descriptorNotReady(32, 0);
  medium[0] = 0x70, medium[2] = 0x03, medium[7] = 0x0A;
  recovered[0] = 0x70, recovered[2] = 0x01, recovered[7] = 0x0A;
  descriptorNotReady[0] = 0x72, descriptorNotReady[1] = 0x02;
  const ScsiAnswerCase cases[] = {
      {"GOOD", 0, 0x00, 0, 0, {}, true},
      {"ioctl failed", -1, 0x00, 0, 0, {}, false},
      {"host error", 0, 0x00, 0x07, 0, {}, false},
      {"driver sense alone", 0, 0x00, 0, 0x08, {}, true},
      {"driver timeout", 0, 0x00, 0, 0x06, {}, false},
      {"CHECK CONDITION, MEDIUM ERROR", 0, 0x02, 0, 0x08, medium, false},
      {"CHECK CONDITION, RECOVERED ERROR", 0, 0x02, 0, 0x08, recovered, true},
      {"CHECK CONDITION, descriptor NOT READY", 0, 0x02, 0, 0x08, descriptorNotReady, false},
      {"CHECK CONDITION without sense", 0, 0x02, 0, 0, {}, false},
  };
  for (const ScsiAnswerCase& c : cases) {
    Disk().script = [&c](size_t, const SgCall&, SgAnswer& a) {
      a.ret = c.ret;
      a.err = EIO;
      a.status = c.status;
      a.hostStatus = c.host;
      a.driverStatus = c.driver;
      a.sense = c.sense;
    };
    unsigned char buf[512];
    EXPECT_EQ(c.success ? 0 : 1, card.WriteSector(7, 1, buf, false)) << c.what;
    EXPECT_EQ(c.success ? 0 : 1, card.TestUnitReady()) << c.what;
    EXPECT_TRUE(card.isOpened()) << c.what;
  }
}

TEST_F(Device, DownloadMicrocodeBlocks) {
  std::vector<unsigned char> image(0x180 * 512, 0x5A);
  unsigned char status[32];
  struct Case {
    unsigned char sub;
    uint16_t offset;
    uint16_t blocks;
    bool dma;
    const char* cdb;
    int direction;
  } cases[] = {
      {0x0E, 0x0102, 0x0180, false, "85 0A 26 00 0E 00 80 00 01 00 02 00 01 E0 92 00",
       SG_DXFER_TO_DEV},
      {0x03, 0x0000, 0x0002, true, "85 0C 26 00 03 00 02 00 00 00 00 00 00 E0 93 00",
       SG_DXFER_TO_DEV},
      {0x07, 0x0000, 0x0001, false, "85 0A 26 00 07 00 01 00 00 00 00 00 00 E0 92 00",
       SG_DXFER_TO_DEV},
      {0x0F, 0x0000, 0x0000, false, "85 06 20 00 0F 00 00 00 00 00 00 00 00 E0 92 00",
       SG_DXFER_NONE},
  };
  for (const Case& c : cases) {
    Disk().calls.clear();
    EXPECT_EQ(0, card.DownloadMicrocode(c.sub, c.offset, c.blocks, image.data(), status, c.dma));
    ASSERT_EQ(1u, Disk().calls.size());
    EXPECT_EQ(Hex(c.cdb), Cdb(Disk().calls[0]));
    EXPECT_EQ(c.blocks * 512u, Disk().calls[0].dxferLen);
    EXPECT_EQ(c.direction, Disk().calls[0].direction);
    EXPECT_EQ(120000u, Disk().calls[0].timeout);
  }
}

TEST_F(Device, DownloadMicrocodeStatusRecordFromEitherSenseFormat) {
  unsigned char data[512] = {};
  unsigned char status[32];
  // The registers come back as ERROR 0, COUNT 3, DEVICE A0, STATUS 50.
  const std::vector<unsigned char> descriptor = DescriptorSense(0, 3, 0xA0, 0x50);
  std::vector<unsigned char> expected = descriptor;
  expected[0] = 0x00;
  expected[1] = 0x03;
  expected[5] = 0xA0;
  expected[6] = 0x50;
  for (const auto& sense : {descriptor, FixedSense(0, 3, 0xA0, 0x50)}) {
    Disk().script = [&sense](size_t, const SgCall&, SgAnswer& a) { a.sense = sense; };
    ASSERT_EQ(0, card.DownloadMicrocode(3, 0, 1, data, status, false));
    EXPECT_EQ(expected, std::vector<unsigned char>(status, status + 32));
  }

  Disk().script = [](size_t, const SgCall&, SgAnswer& a) {
    a.sense = DescriptorSense(4, 3, 0xA0, 0x51);
  };
  memset(status, 0xAA, sizeof status);
  EXPECT_EQ(1, card.DownloadMicrocode(3, 0, 1, data, status, false));
  EXPECT_EQ(std::vector<unsigned char>(32, 0), std::vector<unsigned char>(status, status + 32));
  EXPECT_FALSE(card.isOpened());
}

TEST_F(Device, ReadLBAAndWriteLBAFollowTheAttribute) {
  unsigned char buf[512] = {};
  card.Attribute = 0x80000000u;
  EXPECT_EQ(0, card.ReadLBA(0, 1, buf));
  card.Attribute = 0x4u;
  EXPECT_EQ(0, card.WriteLBA(0, 1, buf));
  ASSERT_EQ(2u, Disk().calls.size());
  EXPECT_EQ(0x20, Disk().calls[0].cdb[14]);
  EXPECT_EQ(16, Disk().calls[0].cmdLen);
  EXPECT_EQ(0x2A, Disk().calls[1].cdb[0]);
  EXPECT_EQ(12, Disk().calls[1].cmdLen);
}

}  // namespace
