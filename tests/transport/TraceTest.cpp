// The trace file, byte for byte.
#include <stdio.h>
#include <string.h>

#include "TransportTest.h"

namespace {

using Trace = OpenCardTest;

std::string HeaderOf(const SSDCMD& device) {
  char line[128];
  snprintf(line, sizeof line, "\n\n\n**** <  Device  = %s,  Handle  = %02x  > ****\n",
           device.DevName, device.hDevice);
  return line;
}

TEST_F(Trace, WriteOf1024BytesInTheAtaForm) {
  std::vector<unsigned char> data(1024);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i);
  RemoveTrace(card);
  std::string expected = HeaderOf(card);
  ASSERT_EQ(0, card.WriteSector(0x946B, 2, data.data(), true));

  expected +=
      "LBA = 00 94 6b => CMD = 30 \n"
      "bufsize = 1024\n"
      "Write DATA =\n";
  // 64 rows; the row's bytes repeat the low byte of the row offset.
  for (int row = 0; row < 64; ++row) {
    char text[80];
    int n = snprintf(text, sizeof text, " %08Xh: ", row * 16);
    for (int i = 0; i < 16; ++i)
      n += snprintf(text + n, sizeof text - n, " %02X", (row * 16 + i) & 0xFF);
    expected += text;
    expected += '\n';
  }
  expected +=
      "ATA  CMD = 85 0A 26 00 00 00 02 00 6B 00 94 00 00 E0 30\n"
      "ioctl_return  = 00, 00\n"
      "sense = 72 01 00 1D 00 00 00 0E 09 0C 00 00 00 00 00 00\n"
      "        00 00 00 00 E0 50 00 00 00 00 00 00 00 00 00 00\n"
      "\n";
  std::string trace = ReadTrace(card);
  EXPECT_EQ(expected, trace);
  EXPECT_NE(std::string::npos,
            trace.find("\n 00000000h:  00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F\n"));
  EXPECT_NE(std::string::npos,
            trace.find("\n 000003F0h:  F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF\nATA  CMD"));
}

TEST_F(Trace, ReadOf20BytesEndsWithAPartialRowWithoutCharacters) {
  const unsigned char answer[20] = {'Q', 'C', '3',  '3',  '0',  '0',  ' ', 't', 'r', 'a',
                                    'c', 'e', 0x01, 0x7F, 0x80, 0xFF, 'W', 'X', 'Y', 'Z'};
  Disk().script = [&answer](size_t, const SgCall&, SgAnswer& a) {
    a.in.assign(answer, answer + sizeof answer);
  };
  RemoveTrace(card);
  std::string expected = HeaderOf(card);
  __SSD_PASS_THROUGH_DIRECT record = {};
  record.Command = 0x12;
  record.LBAMid = 0x14;
  record.Protocol = 1;
  unsigned char data[20] = {};
  unsigned char sense[32] = {};
  int length = 20, senseLength = 32;
  unsigned int timeout = 5000;
  ASSERT_EQ(1, card.SG_IO_Command(&record, data, &length, sense, &senseLength, &timeout, false));

  expected +=
      "LBA = 00 14 00 => CMD = 12 \n"
      "SCSI CMD = 12 00 00 00 14 00 00 00 00\n"
      "ioctl_return  = 00, 00\n"
      "sense = 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
      "        00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
      "bufsize = 20\n"
      "Read DATA =\n"
      " 00000000h:  51 43 33 33 30 30 20 74 72 61 63 65 01 7F 80 FF  QC3300 trace.\x7F..\n"
      " 00000010h:  57 58 59 5A"
      "\n";
  EXPECT_EQ(expected, ReadTrace(card));
}

TEST_F(Trace, ShowsTheSenseAndIoctlResultAsReceived) {
  // A fixed-format answer is judged through the descriptor layout but the
  // trace keeps the bytes the disk sent.
  Disk().script = [](size_t, const SgCall&, SgAnswer& a) {
    a.sense = FixedSense(0, 0, 0xE0, 0x50);
  };
  unsigned char buf[512];
  RemoveTrace(card);
  ASSERT_EQ(0, card.ReadSector(1, 1, buf, true));
  EXPECT_NE(std::string::npos,
            ReadTrace(card).find("sense = 70 00 01 00 50 E0 00 0A 00 00 00 00 00 1D 00 00\n"));

  Disk().script = [](size_t, const SgCall&, SgAnswer& a) {
    a.ret = -1;
    a.err = EIO;
    a.sense.clear();
  };
  RemoveTrace(card);
  EXPECT_EQ(1, card.ReadSector(1, 1, buf, true));
  EXPECT_NE(std::string::npos, ReadTrace(card).find("ioctl_return  = ffffffff, 05\n"));
}

TEST_F(Trace, AnUnwritableTraceStopsTheCommandBeforeTheDisk) {
  snprintf(card.LogName, sizeof card.LogName, "%s", "/nonexistent-dir/trace.log");
  testing::internal::CaptureStdout();
  EXPECT_EQ(1, card.TestUnitReady());
  EXPECT_EQ("Cannot open /nonexistent-dir/trace.log\n", testing::internal::GetCapturedStdout());
  EXPECT_TRUE(Disk().calls.empty());
  EXPECT_TRUE(card.isOpened());
}

TEST(TraceName, IsTheLocalTimeOfConstruction) {
  QC3300 card;
  int year, month, day, hour, minute, second;
  char rest[16] = {};
  ASSERT_EQ(7, sscanf(card.LogName, "%4d-%2d-%2d_%2d-%2d-%2d%15s", &year, &month, &day, &hour,
                      &minute, &second, rest));
  EXPECT_STREQ(".log", rest);
  EXPECT_EQ(23u, strlen(card.LogName));
}

}  // namespace
