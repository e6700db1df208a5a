// CheckFlashID against the three forms of FLASHID.bin.
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include "FlowGlobals.h"
#include "FrontEndTest.h"

namespace {

const unsigned char kDieID[8] = {0x98, 0x3C, 0x98, 0xB3, 0x76, 0xF2, 0x11, 0x22};
const char kHeading[] = "Checking Flash ID......................\nFile:./REGBIN/3300/FLASHID.bin\n";

unsigned char* Slot(unsigned char* table, int ce, int ch) { return table + 48 + 32 * ce + 8 * ch; }
std::string Bytes(const unsigned char* bytes, size_t n) { return std::string(reinterpret_cast<const char*>(bytes), n); }

class FlashIDTest : public InTempDir {
 protected:
  void SetUp() override {
    InTempDir::SetUp();
    ASSERT_EQ(0, mkdir("REGBIN", 0755));
    ASSERT_EQ(0, mkdir("REGBIN/3300", 0755));
    ASSERT_TRUE(SetDefaultFilePath(nullptr));
    g_FlashIDOffset = 48;
    memset(g_FlashIDTable, 0, sizeof(g_FlashIDTable));
  }
  // Writes the reference (unless null), runs the check and compares its
  // result and whole output.
  void Expect(const std::string* reference, bool failed, const std::string& output) {
    if (reference) e2e::WriteFile(FlashIDCodeFile, *reference);
    TakeOutput();
    EXPECT_EQ(failed, CheckFlashID()) << output;
    EXPECT_EQ(kHeading + output, TakeOutput());
  }
};

TEST_F(FlashIDTest, MissingOrUnreadableReference) {
  Expect(nullptr, true, "FLASHID.bin not exist!\n");
  // A socket exists but cannot be opened, even by a privileged user.
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  strcpy(addr.sun_path, "REGBIN/3300/FLASHID.bin");
  ASSERT_EQ(0, bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
  Expect(nullptr, true, "Cannot open FLASHID.bin file\n");
  close(sock);
}

TEST_F(FlashIDTest, ShortAndLongIDsAreSearchedInEveryDieSlot) {
  std::string other = Bytes(kDieID, 6);
  other[5] ^= 0x7F;  // differs only in the sixth byte
  const std::string id5 = Bytes(kDieID, 5), id6 = Bytes(kDieID, 6), other5 = other.substr(0, 5);
  const std::string found = "Success\n", missing = "Cannot Found The same FLashID\n";
  memcpy(Slot(g_FlashIDTable, 3, 1), kDieID, 8);  // second slot of a row
  Expect(&id5, false, "Check Flash ID 5 bytes with <FLASHID.bin>\n" + found);
  Expect(&id6, false, "Check Flash ID 6 bytes with <FLASHID.bin>\n" + found);
  Expect(&other, true, "Check Flash ID 6 bytes with <FLASHID.bin>\n" + missing);
  Expect(&other5, false, "Check Flash ID 5 bytes with <FLASHID.bin>\n" + found);
  // The last slot (CE 7, channel 3) is searched too; nothing past it is.
  memset(g_FlashIDTable, 0, sizeof(g_FlashIDTable));
  memcpy(Slot(g_FlashIDTable, 7, 3), kDieID, 8);
  Expect(&id5, false, "Check Flash ID 5 bytes with <FLASHID.bin>\n" + found);
  memset(g_FlashIDTable, 0, sizeof(g_FlashIDTable));
  memcpy(Slot(g_FlashIDTable, 8, 0), kDieID, 8);
  Expect(&id5, true, "Check Flash ID 5 bytes with <FLASHID.bin>\n" + missing);
}

class TableImageTest : public FlashIDTest {
 protected:
  void SetUp() override {
    FlashIDTest::SetUp();
    memset(file_, 0, sizeof(file_));
    for (unsigned char* t : {g_FlashIDTable, file_}) {
      memcpy(t + kFidFlashID, kDieID, 8);
      t[kFidDieCount] = 2;
      t[kFidDramCode] = 5;
      memcpy(Slot(t, 0, 0), kDieID, 8);
      memcpy(Slot(t, 0, 1), kDieID, 8);
    }
  }
  void ExpectImage(bool failed, const std::string& output, size_t n = 1024) {
    std::string image = Bytes(file_, n);
    Expect(&image, failed, output);
  }
  unsigned char file_[1024];
};

TEST_F(TableImageTest, RunningFirmwareComparesFlashIDThenDieCountThenDram) {
  g_FlashIDTable[kFidISPMode] = 2;
  memset(Slot(g_FlashIDTable, 0, 0), 0x55, 8);  // die slots are not looked at
  ExpectImage(false, "Success\n");
  file_[kFidDieCount] = 4;
  file_[kFidDramCode] = 7;
  ExpectImage(true, "Die Count dismach(Card:2, File:4)\n");
  file_[kFidDieCount] = 2;
  ExpectImage(true, "DRAM setting dismach(CardMode2:05h, File:07h)\n");
  file_[kFidFlashID + 7] ^= 1;
  ExpectImage(true, "Flash ID Error(Offset-0x20)\n");
}

TEST_F(TableImageTest, OtherProgramsCompareTheFittedDies) {
  const std::string heading = "Check Flash ID CE/CH map with <FLASHID.bin>\n";
  for (int program : {0, 1, 3}) {
    g_FlashIDTable[kFidISPMode] = static_cast<unsigned char>(program);
    // Flash ID, die count and DRAM code are not looked at in these modes.
    g_FlashIDTable[kFidDieCount] = g_FlashIDTable[kFidDramCode] = g_FlashIDTable[kFidFlashID] = 9;
    ExpectImage(false, heading + "Success\n");
  }
  memcpy(Slot(g_FlashIDTable, 2, 3), kDieID, 8);  // a die on the card only
  ExpectImage(true, heading + "flash error,Please Check you flash(CH:3,CE2)\n");
  memcpy(Slot(file_, 2, 3), kDieID, 8);
  memcpy(Slot(file_, 1, 0), kDieID, 8);  // one in the file only
  ExpectImage(true, heading + "flash error,Please Check you flash(CH:0,CE1)\n");
  memset(Slot(file_, 0, 0), 0x11, 8);
  ExpectImage(true, heading + "flash error,Please Check you flash\n");
}

TEST_F(TableImageTest, ShortAndOverlongFilesAreTableImages) {
  g_FlashIDTable[kFidISPMode] = 2;
  std::string overlong = Bytes(file_, 1024) + std::string(100, '\x7F'), empty, seven(7, '\0');
  Expect(&overlong, false, "Success\n");  // only the first 1024 bytes count
  // Missing bytes compare as zero.
  memset(g_FlashIDTable, 0, sizeof(g_FlashIDTable));
  g_FlashIDTable[kFidISPMode] = 2;
  Expect(&empty, false, "Success\n");
  Expect(&seven, false, "Success\n");
  g_FlashIDTable[kFidFlashID] = 1;
  Expect(&seven, true, "Flash ID Error(Offset-0x20)\n");
}

}  // namespace
