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
  void OpenCard(const std::vector<std::string>& cardArgs,
                const std::vector<std::string>& setArgs = {}) {
    card_ = dir_ + "/card";
    std::vector<std::string> args = cardArgs;
    args.insert(args.end(), {"--capacity", "65536"});
    e2e::RunResult r = e2e::CreateCard(card_, args);
    ASSERT_EQ(0, r.status) << r.out;
    std::vector<std::string> argv = {e2e::VCardPath(), "imageset", card_, dir_};
    argv.insert(argv.end(), setArgs.begin(), setArgs.end());
    r = e2e::Run(".", argv);
    ASSERT_EQ(0, r.status) << r.out;
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

  // Changes the card's settings; the device is reopened to see them.
  void SetCard(const std::vector<std::string>& args) {
    gQel3300->CloseDevice();
    std::vector<std::string> argv = {e2e::VCardPath(), "set", card_};
    argv.insert(argv.end(), args.begin(), args.end());
    e2e::RunResult r = e2e::Run(".", argv);
    ASSERT_EQ(0, r.status) << r.out;
    ASSERT_TRUE(gQel3300->OpenDevice(kNode));
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
  std::vector<std::string> chunks = Sent("VENDOR F1 27");
  ASSERT_EQ(2u, chunks.size());
  EXPECT_NE(std::string::npos, chunks[0].find("addr=0x40020000")) << chunks[0];
  EXPECT_NE(std::string::npos, chunks[1].find("addr=0x40030000")) << chunks[1];
  ASSERT_EQ(0, DLMPISP()) << TakeOutput();
  chunks = Sent("VENDOR F1 27");
  ASSERT_EQ(1u, chunks.size());
  EXPECT_NE(std::string::npos, chunks[0].find("addr=0x40040000")) << chunks[0];
  EXPECT_EQ(
      "Download ShimMPISP.....................\n"
      "Open ShimMPISP file ./REGBIN/3300/Shim3300.bin\nSuccess\n"
      "Download MPISP ........................\n"
      "Open MPISP file ./REGBIN/3300/MP3300.bin\nSuccess\n",
      TakeOutput());
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
    EXPECT_TRUE(image == e2e::ReadFile(DumpISP1File));
    EXPECT_TRUE(image == e2e::ReadFile(DumpISP2File));
    EXPECT_EQ(0, VerifyISP(ISPDateCodeFile, 0)) << TakeOutput();
    EXPECT_STREQ("./REGBIN/3300/VerifyISP1File.bin", DumpISP1File);
    gQel3300->CloseDevice();
  }
}

TEST_F(CardFlowsTest, FailedIdTableReadStopsPersonalisation) {
  OpenCard({"--attach", "scsi"});
  SetCard({"--fail-op", "3F"});
  for (int mode : {5, 6}) {
    EXPECT_EQ(1, ModifyISPFile(mode));
    EXPECT_NE(std::string::npos, TakeOutput().find("Read ID table from card Fail!\n"));
    EXPECT_FALSE(e2e::FileExists(UpdateISPDataFile));
  }
}

}  // namespace
