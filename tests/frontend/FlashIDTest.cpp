// CheckFlashID against the three forms of FLASHID.bin.
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include "FlowGlobals.h"
#include "FrontEndTest.h"

namespace {

const unsigned char kDieID[8] = {0x98, 0x3C, 0x98, 0xB3, 0x76, 0xF2, 0x11, 0x22};

unsigned char* Slot(unsigned char* table, int ce, int ch) { return table + 48 + 32 * ce + 8 * ch; }

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

  void WriteReference(const std::string& bytes) { e2e::WriteFile(FlashIDCodeFile, bytes); }
  void WriteReference(const unsigned char* bytes, size_t n) {
    WriteReference(std::string(reinterpret_cast<const char*>(bytes), n));
  }

  // Runs the check; returns its result and leaves its output in out_.
  bool Check() {
    TakeOutput();
    bool failed = CheckFlashID();
    out_ = TakeOutput();
    return failed;
  }

  std::string out_;
};

const char kHeading[] = "Checking Flash ID......................\nFile:./REGBIN/3300/FLASHID.bin\n";

TEST_F(FlashIDTest, MissingOrUnreadableReference) {
  EXPECT_TRUE(Check());
  EXPECT_EQ(std::string(kHeading) + "FLASHID.bin not exist!\n", out_);

  // A socket exists but cannot be opened, even by a privileged user.
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  strcpy(addr.sun_path, "REGBIN/3300/FLASHID.bin");
  ASSERT_EQ(0, bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
  EXPECT_TRUE(Check());
  close(sock);
  EXPECT_EQ(std::string(kHeading) + "Cannot open FLASHID.bin file\n", out_);
}

TEST_F(FlashIDTest, ShortAndLongIDsAreSearchedInEveryDieSlot) {
  // The only fitted die sits in the second slot of a row (CE 3, channel 1).
  memcpy(Slot(g_FlashIDTable, 3, 1), kDieID, 8);
  WriteReference(kDieID, 5);
  EXPECT_FALSE(Check());
  EXPECT_EQ(std::string(kHeading) + "Check Flash ID 5 bytes with <FLASHID.bin>\nSuccess\n", out_);

  WriteReference(kDieID, 6);
  EXPECT_FALSE(Check());
  EXPECT_EQ(std::string(kHeading) + "Check Flash ID 6 bytes with <FLASHID.bin>\nSuccess\n", out_);

  // The same card against a long ID that differs only in its sixth byte.
  unsigned char other[6];
  memcpy(other, kDieID, 6);
  other[5] ^= 0xFF;
  WriteReference(other, 6);
  EXPECT_TRUE(Check());
  EXPECT_EQ(std::string(kHeading) +
                "Check Flash ID 6 bytes with <FLASHID.bin>\nCannot Found The same FLashID\n",
            out_);
  WriteReference(other, 5);
  EXPECT_FALSE(Check());

  // The last slot (CE 7, channel 3) is searched too; nothing past it is.
  memset(g_FlashIDTable, 0, sizeof(g_FlashIDTable));
  memcpy(Slot(g_FlashIDTable, 7, 3), kDieID, 8);
  WriteReference(kDieID, 5);
  EXPECT_FALSE(Check());
  memset(g_FlashIDTable, 0, sizeof(g_FlashIDTable));
  memcpy(Slot(g_FlashIDTable, 8, 0), kDieID, 8);
  EXPECT_TRUE(Check());
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
  void WriteImage(size_t n = 1024) { WriteReference(file_, n); }

  unsigned char file_[1024];
};

TEST_F(TableImageTest, RunningFirmwareComparesFlashIDThenDieCountThenDram) {
  g_FlashIDTable[kFidISPMode] = 2;
  // Die slots are not looked at while the firmware runs.
  memset(Slot(g_FlashIDTable, 0, 0), 0x55, 8);
  WriteImage();
  EXPECT_FALSE(Check());
  EXPECT_EQ(std::string(kHeading) + "Success\n", out_);

  file_[kFidDieCount] = 4;
  file_[kFidDramCode] = 7;
  WriteImage();
  EXPECT_TRUE(Check());
  EXPECT_EQ(std::string(kHeading) + "Die Count dismach(Card:2, File:4)\n", out_);

  file_[kFidDieCount] = 2;
  WriteImage();
  EXPECT_TRUE(Check());
  EXPECT_EQ(std::string(kHeading) + "DRAM setting dismach(CardMode2:05h, File:07h)\n", out_);

  file_[kFidFlashID + 7] ^= 1;
  WriteImage();
  EXPECT_TRUE(Check());
  EXPECT_EQ(std::string(kHeading) + "Flash ID Error(Offset-0x20)\n", out_);
}

TEST_F(TableImageTest, OtherProgramsCompareTheFittedDies) {
  const std::string heading =
      std::string(kHeading) + "Check Flash ID CE/CH map with <FLASHID.bin>\n";
  for (int program : {0, 1, 3}) {
    g_FlashIDTable[kFidISPMode] = program;
    // Flash ID, die count and DRAM code are not looked at in these modes.
    g_FlashIDTable[kFidDieCount] = 9;
    g_FlashIDTable[kFidDramCode] = 9;
    g_FlashIDTable[kFidFlashID] = 9;
    WriteImage();
    EXPECT_FALSE(Check());
    EXPECT_EQ(heading + "Success\n", out_);
  }

  // A die fitted on the card only, then one in the file only.
  memcpy(Slot(g_FlashIDTable, 2, 3), kDieID, 8);
  WriteImage();
  EXPECT_TRUE(Check());
  EXPECT_EQ(heading + "flash error,Please Check you flash(CH:3,CE2)\n", out_);
  memcpy(Slot(file_, 2, 3), kDieID, 8);
  memcpy(Slot(file_, 1, 0), kDieID, 8);
  WriteImage();
  EXPECT_TRUE(Check());
  EXPECT_EQ(heading + "flash error,Please Check you flash(CH:0,CE1)\n", out_);

  memset(Slot(file_, 0, 0), 0x11, 8);
  WriteImage();
  EXPECT_TRUE(Check());
  EXPECT_EQ(heading + "flash error,Please Check you flash\n", out_);
}

TEST_F(TableImageTest, ShortAndOverlongFilesAreTableImages) {
  g_FlashIDTable[kFidISPMode] = 2;
  // Only the first 1024 bytes count.
  std::string image(reinterpret_cast<const char*>(file_), 1024);
  WriteReference(image + std::string(100, '\x7F'));
  EXPECT_FALSE(Check());

  // Missing bytes compare as zero: an empty file and a 7-byte file match a
  // card whose compared fields are all zero, and not one with a flash ID.
  memset(g_FlashIDTable, 0, sizeof(g_FlashIDTable));
  g_FlashIDTable[kFidISPMode] = 2;
  WriteReference("");
  EXPECT_FALSE(Check());
  WriteReference(std::string(7, '\0'));
  EXPECT_FALSE(Check());
  g_FlashIDTable[kFidFlashID] = 1;
  EXPECT_TRUE(Check());
  EXPECT_EQ(std::string(kHeading) + "Flash ID Error(Offset-0x20)\n", out_);
}

}  // namespace
