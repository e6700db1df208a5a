// The trace file, byte for byte.
#include <stdio.h>
#include <unistd.h>

#include "TransportTest.h"

namespace {

using Trace = OpenCardTest;

std::string HeaderOf(const SSDCMD& device) {
  char line[128];
  snprintf(line, sizeof line, "\n\n\n**** <  Device  = %s,  Handle  = %02x  > ****\n", device.DevName,
           device.hDevice);
  return line;
}

TEST_F(Trace, WriteOf1024BytesInTheAtaForm) {
  Bytes data(1024);
  std::string rows;  // 64 rows; the bytes repeat the low byte of their offset
  for (size_t i = 0; i < data.size(); ++i) {
    char text[16];
    data[i] = static_cast<unsigned char>(i);
    if (i % 16 == 0) rows += (snprintf(text, sizeof text, " %08Xh: ", unsigned(i)), text);
    rows += (snprintf(text, sizeof text, " %02X", data[i]), text);
    if (i % 16 == 15) rows += '\n';
  }
  unlink(card.LogName);
  ASSERT_EQ(0, card.WriteSector(0x946B, 2, data.data(), true));
  EXPECT_EQ(HeaderOf(card) +
                "LBA = 00 94 6b => CMD = 30 \nbufsize = 1024\nWrite DATA =\n" + rows +
                "ATA  CMD = 85 0A 26 00 00 00 02 00 6B 00 94 00 00 E0 30\n"
                "ioctl_return  = 00, 00\n"
                "sense = 72 01 00 1D 00 00 00 0E 09 0C 00 00 00 00 00 00\n"
                "        00 00 00 00 E0 50 00 00 00 00 00 00 00 00 00 00\n\n",
            ReadTrace(card));
  EXPECT_NE(std::string::npos, rows.find(" 000003F0h:  F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF\n"));
}

TEST_F(Trace, ReadOf20BytesEndsWithAPartialRowWithoutCharacters) {
  const unsigned char answer[20] = {'Q', 'C', '3', '3', '0', '0', ' ', 't', 'r', 'a',
                                    'c', 'e', 0x01, 0x7F, 0x80, 0xFF, 'W', 'X', 'Y', 'Z'};
  Disk().script = [&answer](const SgCall&, SgAnswer& a) { a.in.assign(answer, answer + sizeof answer); };
  unlink(card.LogName);
  __SSD_PASS_THROUGH_DIRECT record = {};
  record.Command = 0x12, record.LBAMid = 0x14, record.Protocol = 1;
  unsigned char data[20] = {}, sense[32] = {};
  int length = 20, senseLength = 32;
  unsigned int timeout = 5000;
  ASSERT_EQ(1, card.SG_IO_Command(&record, data, &length, sense, &senseLength, &timeout, false));
  EXPECT_EQ(HeaderOf(card) +
                "LBA = 00 14 00 => CMD = 12 \n"
                "SCSI CMD = 12 00 00 00 14 00 00 00 00\n"
                "ioctl_return  = 00, 00\n"
                "sense = 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
                "        00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
                "bufsize = 20\nRead DATA =\n"
                " 00000000h:  51 43 33 33 30 30 20 74 72 61 63 65 01 7F 80 FF  QC3300 trace.\x7F..\n"
                " 00000010h:  57 58 59 5A\n",
            ReadTrace(card));
}

TEST_F(Trace, AnUnwritableTraceStopsTheCommandBeforeTheDisk) {
  snprintf(card.LogName, sizeof card.LogName, "%s", "/nonexistent-dir/trace.log");
  testing::internal::CaptureStdout();
  EXPECT_EQ(1, card.TestUnitReady());
  EXPECT_EQ("Cannot open /nonexistent-dir/trace.log\n", testing::internal::GetCapturedStdout());
  EXPECT_TRUE(Disk().calls.empty());
  EXPECT_TRUE(card.isOpened());
}

}  // namespace
