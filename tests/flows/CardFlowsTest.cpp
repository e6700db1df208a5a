// The loaders, the ISP write, the dump and the personalisation driven in
// process against a virtual card (the test runs under the card's preload
// library, which answers /dev/sdb from the folder named in QEL_VCARD).
#include <stdlib.h>
#include <string.h>

#include <sstream>
#include <string>
#include <vector>

#include "E2E.h"
#include "FlowGlobals.h"
#include "FlowTest.h"

namespace {

char kNode[] = "/dev/sdb";

class CardFlowsTest : public FlowTest {
 protected:
  void TearDown() override {
    if (gQel3300 != nullptr) gQel3300->CloseDevice();
    FlowTest::TearDown();
  }

  // A card with `cardArgs`, a matching image set in the working directory,
  // the device open and the card records read.
  void OpenCard(std::vector<std::string> cardArgs, std::vector<std::string> setArgs = {}) {
    card_ = dir_ + "/card";
    cardArgs.insert(cardArgs.end(), {"--capacity", "65536"});
    ASSERT_EQ(0, e2e::CreateCard(card_, cardArgs).status);
    setArgs.insert(setArgs.begin(), {e2e::VCardPath(), "imageset", card_, dir_});
    ASSERT_EQ(0, e2e::Run(".", setArgs).status);
    ASSERT_TRUE(SetDefaultFilePath(nullptr));
    setenv("QEL_VCARD", ("/dev/sdb=" + card_).c_str(), 1);
    gQel3300Sel = 0;
    gQel3300 = &mQel3300[0];
    gQel3300->Initialize();
    ASSERT_TRUE(gQel3300->OpenDevice(kNode));
    g_FlashIDOffset = 48;
    ASSERT_EQ(0, CheckCardMode());
    TakeOutput();
  }

  // Journal lines since the last call that contain `what`.
  std::vector<std::string> Sent(const std::string& what) {
    std::string journal = e2e::ReadFile(card_ + "/journal.log");
    std::istringstream fresh(journal.substr(journalSeen_));
    journalSeen_ = journal.size();
    std::vector<std::string> lines;
    for (std::string line; std::getline(fresh, line);) {
      if (line.find(what) != std::string::npos) lines.push_back(line);
    }
    return lines;
  }

  std::string card_;
  size_t journalSeen_ = 0;
};

TEST_F(CardFlowsTest, LoadersGoInWholeChunksAndAShortLastOne) {
  OpenCard({"--mode", "rom"});
  e2e::WriteFile(ShimMPISPFile, std::string(65537, 'S'));
  e2e::WriteFile(MPISPCodeFile, std::string(65536, 'M'));
  Sent("");
  ASSERT_EQ(0, DL_SHIM_MPISP()) << TakeOutput();
  ASSERT_EQ(0, DLMPISP()) << TakeOutput();
  std::vector<std::string> chunks = Sent("VENDOR F1 27");
  ASSERT_EQ(3u, chunks.size());
  const char* kAddresses[] = {"addr=0x40020000", "addr=0x40030000", "addr=0x40040000"};
  for (int i = 0; i < 3; ++i) EXPECT_NE(std::string::npos, chunks[i].find(kAddresses[i])) << i;
}

TEST_F(CardFlowsTest, StrippedWriteProgramsTheSectionBodies) {
  OpenCard({"--flash-type", "L06B"}, {"--image-size", "200001"});
  Sent("");
  ASSERT_EQ(0, WriteISPFirmware(ISPDateCodeFile, true)) << TakeOutput();
  // 200001 - 1056 bytes: three whole chunks and a short one.
  EXPECT_EQ(4u, Sent("VENDOR F1 27").size());
  EXPECT_NE(std::string::npos, TakeOutput().find("ISPMode:2 <L06B>\n"));
  EXPECT_EQ(0, VerifyISP(ISPDateCodeFile, 0)) << TakeOutput();
}

// The dump read back after a whole-image write is the image itself, for
// every plane count and an image length that ends inside a plane page.
TEST_F(CardFlowsTest, DumpRebuildsTheWrittenImage) {
  for (const char* planes : {"1", "2", "4"}) {
    SCOPED_TRACE(testing::Message() << planes << " planes");
    e2e::Run(".", {"/bin/rm", "-rf", dir_ + "/card", dir_ + "/REGBIN"});
    OpenCard({"--planes", planes, "--sectors-per-page", "16", "--flash-type", "B0KB"},
             {"--image-size", "133665"});
    ASSERT_EQ(0, WriteISPFirmware(ISPDateCodeFile, false)) << TakeOutput();
    ASSERT_EQ(0, DumpISPBlock(ISPDateCodeFile, 1)) << TakeOutput();
    std::string image = e2e::ReadFile(ISPDateCodeFile);
    EXPECT_TRUE(image == e2e::ReadFile(DumpISP1File) && image == e2e::ReadFile(DumpISP2File));
    EXPECT_EQ(0, VerifyISP(ISPDateCodeFile, 0)) << TakeOutput();
    gQel3300->CloseDevice();
  }
}

TEST_F(CardFlowsTest, FailedIdTableReadStopsPersonalisation) {
  OpenCard({"--attach", "scsi"});
  gQel3300->CloseDevice();
  ASSERT_EQ(0, e2e::Run(".", {e2e::VCardPath(), "set", card_, "--fail-op", "3F"}).status);
  ASSERT_TRUE(gQel3300->OpenDevice(kNode));
  for (int mode : {5, 6}) {
    EXPECT_EQ(1, ModifyISPFile(mode));
    EXPECT_NE(std::string::npos, TakeOutput().find("Read ID table from card Fail!\n"));
    EXPECT_FALSE(e2e::FileExists(UpdateISPDataFile));
  }
}

}  // namespace
