// "initial", "initial SN", "keepsn" and "keepsn_1" end to end: the built tool
// against a virtual card, judged by its console, the files it leaves and the
// card's sectors and journal.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "E2E.h"

namespace {

using Args = std::vector<std::string>;
const char kNode[] = "/dev/sdb";

class InitialE2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = e2e::MakeTempDir("flows-e2e");
    card_ = root_ + "/card";
    work_ = root_ + "/work";
    ASSERT_EQ(0, mkdir(work_.c_str(), 0755));
  }
  void TearDown() override { e2e::RemoveTree(root_); }

  // A small card whose first sectors hold data, so that any change shows,
  // and its image set.
  void MakeCard(Args args, Args setArgs = {}) {
    args.insert(args.end(), {"--capacity", "65536"});
    e2e::RunResult r = e2e::CreateCard(card_, args);
    ASSERT_EQ(0, r.status) << r.out;
    std::fstream sectors(card_ + "/sectors.img", std::ios::in | std::ios::out | std::ios::binary);
    for (int i = 0; i < 8 * 512; ++i) sectors.put((char)(i * 13 + 5));
    ASSERT_TRUE(sectors.good());
    setArgs.insert(setArgs.begin(), {e2e::VCardPath(), "imageset", card_, work_});
    r = e2e::Run(".", setArgs);
    ASSERT_EQ(0, r.status) << r.out;
  }

  // Runs the tool on the card; the journal of this run is kept in journal_.
  e2e::RunResult Tool(Args args) {
    size_t journalBefore = e2e::ReadFile(card_ + "/journal.log").size();
    args.insert(args.begin(), kNode);
    e2e::RunResult r = e2e::RunTool(work_, {{kNode, card_}}, args);
    journal_ = e2e::ReadFile(card_ + "/journal.log").substr(journalBefore);
    return r;
  }

  std::string Sectors() { return e2e::ReadFile(card_ + "/sectors.img"); }
  std::string SetFile(const std::string& name) {
    return e2e::ReadFile(work_ + "/REGBIN/3300/" + name);
  }
  bool Sent(const std::string& what) { return journal_.find(what) != std::string::npos; }

  std::string root_, card_, work_, journal_;
};

TEST_F(InitialE2ETest, FromBootRomSkipsTheParameterBlockAndKeepsSectorZero) {
  MakeCard({"--mode", "rom"});
  std::string sectors = Sectors();
  e2e::RunResult r = Tool({"initial"});
  ASSERT_EQ(0, r.status) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("\nTotal Process finished,the result is Pass"));
  EXPECT_FALSE(Sent("VENDOR F0 04")) << "parameter block read in the boot ROM";
  EXPECT_NE(std::string::npos, r.out.find("ISPMode:1\n")) << "the loader takes the image";
  // The image went in whole, in 64 KiB chunks from 0x80000000.
  EXPECT_TRUE(Sent("addr=0x80000000") && Sent("addr=0x80030000")) << journal_;
  EXPECT_FALSE(Sent("addr=0x80040000")) << journal_;
  EXPECT_TRUE(Sectors() == sectors);
  EXPECT_EQ(sectors.substr(0, 512), e2e::ReadFile(work_ + "/LBA0.bin"));
  EXPECT_FALSE(e2e::FileExists(work_ + "/REGBIN/3300/SWISP.bin"));
}

TEST_F(InitialE2ETest, NewSerialNumberIsWrittenAndShown) {
  MakeCard({"--serial", "OLDSERIAL"}, {"--serial", "IMAGESERIAL"});
  e2e::RunResult r = Tool({"initial", "ABCDEFGHIJ0123456789"});
  ASSERT_EQ(0, r.status) << r.out;
  // The running firmware gives its parameter block before the forced reset.
  size_t parameters = journal_.find("VENDOR F0 04");
  ASSERT_NE(std::string::npos, parameters);
  EXPECT_LT(parameters, journal_.find("VENDOR F0 2C"));
  EXPECT_NE(std::string::npos, r.out.find("ISP file name is ./REGBIN/3300/ISP3300.bin, 1\n"));
  std::string copy = SetFile("SWISP.bin");
  EXPECT_EQ("BADCFEHGJI1032547698", copy.substr(0x51C, 20));
  EXPECT_EQ("BADCFEHGJI1032547698", copy.substr(0x20834, 20));
  r = Tool({"showIDinfo"});
  EXPECT_NE(std::string::npos, r.out.find("  Serial Number    : ABCDEFGHIJ0123456789\n")) << r.out;
}

// keepsn carries the card's serial number only; keepsn_1 the card's identity
// and ID table except the image's bytes at 0x2084E. {offset, length, from the card}.
struct KeptField {
  size_t offset, length;
  bool fromCard;
};
const struct {
  const char *command, *banner, *model;
  std::vector<KeptField> fields;
} kKeepModes[] = {
    {"keepsn", "******* Initial ISP flow (Keep SN) *******\n", "IMAGE MODEL",
     {{0x418, 8, false}, {0x818, 8, false}, {0x420, 4, false}, {0x424, 28, false},
      {0x4D0, 62, false}, {0x51C, 20, true}, {0x538, 40, false}, {0x570, 672, false},
      {0x20820, 20, false}, {0x20834, 20, true}, {0x20848, 0x200 - 0x28, false}}},
    {"keepsn_1", "**** Initial ISP flow (Keep SN mode 1) ***\n", "CARD MODEL",
     {{0x418, 8, false}, {0x818, 8, false}, {0x420, 4, false}, {0x424, 28, true},
      {0x440, 0x4D0 - 0x440, false}, {0x4D0, 62, true}, {0x51C, 20, true}, {0x538, 40, true},
      {0x560, 16, false}, {0x570, 672, false}, {0x20820, 0x2E, true}, {0x2084E, 8, false},
      {0x20856, 0x200 - 0x36, true}}},
};

TEST_F(InitialE2ETest, KeepsnCarriesTheCardsIdentityFields) {
  for (const auto& mode : kKeepModes) {
    SCOPED_TRACE(mode.command);
    TearDown();
    SetUp();
    MakeCard({"--serial", "CARDSERIAL01", "--model", "CARD MODEL", "--fwrev", "OLDFW001"},
             {"--serial", "IMAGESERIAL", "--model", "IMAGE MODEL", "--fw-version", "NEWFW002"});
    e2e::RunResult r = Tool({mode.command});
    ASSERT_EQ(0, r.status) << r.out;
    EXPECT_NE(std::string::npos, r.out.find(mode.banner)) << r.out;
    std::string copy = SetFile("SWISP.bin"), dump = SetFile("DumpISP2File.bin");
    std::string image = SetFile("ISP3300.bin");
    ASSERT_NE(dump.substr(0x51C, 20), image.substr(0x51C, 20));
    ASSERT_EQ(image.size(), copy.size());
    ASSERT_EQ(image.size(), dump.size());
    for (const KeptField& f : mode.fields) {
      EXPECT_EQ((f.fromCard ? dump : image).substr(f.offset, f.length), copy.substr(f.offset, f.length))
          << "field at 0x" << std::hex << f.offset;
    }
    r = Tool({"showIDinfo"});
    EXPECT_NE(std::string::npos, r.out.find("  Serial Number    : CARDSERIAL01\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find(std::string("  Model Name       : ") + mode.model))
        << r.out;
    EXPECT_NE(std::string::npos, r.out.find("  Firmware Version : NEWFW002\n")) << r.out;
  }
}

// How a run's image set file is spoiled before the run.
enum Spoil { kIntact, kEmptied, kRemoved, kBodyByteChanged };

// A run that must fail: the card, the image set (and a file of it spoiled),
// the command words, the lines that name the reason, and a journal note the
// run must not have reached.
struct FailingRun {
  const char* name;
  Args card, imageSet;
  Spoil spoil;
  const char *spoiled, *command, *reason, *notSent;
};

void SpoilFile(const std::string& path, Spoil spoil) {
  if (spoil == kEmptied) e2e::WriteFile(path, "");
  if (spoil == kRemoved) unlink(path.c_str());
  if (spoil == kBodyByteChanged) {
    std::string image = e2e::ReadFile(path);
    image[0x900] ^= 0x01;  // inside the section-5 body, which the digest covers
    e2e::WriteFile(path, image);
  }
}

Args Words(const std::string& text) {
  std::istringstream in(text);
  Args words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

class FailingRunTest : public InitialE2ETest, public ::testing::WithParamInterface<FailingRun> {};

// Every failing run leaves the user sectors, exits 1 and says why.
TEST_P(FailingRunTest, StopsWithItsReasonAndLeavesTheUserSectors) {
  const FailingRun& run = GetParam();
  MakeCard(run.card, run.imageSet);
  if (run.spoiled != nullptr) SpoilFile(work_ + "/REGBIN/3300/" + run.spoiled, run.spoil);
  std::string sectors = Sectors();
  e2e::RunResult r = Tool(Words(run.command));
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.out.find(run.reason)) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("Initial card failed..\n\n\nLinux Tool:")) << r.out;
  EXPECT_NE(std::string::npos,
            r.out.find("\nTotal Process finished,the result is failed\nErrorCode: 0001"))
      << r.out;
  EXPECT_TRUE(Sectors() == sectors) << "user sectors changed";
  EXPECT_FALSE(run.notSent != nullptr && Sent(run.notSent)) << journal_;
  if (std::string(run.command).rfind("keepsn", 0) == 0) {
    EXPECT_FALSE(Sent("VENDOR F1")) << "keepsn changed the card before its image was ready";
    EXPECT_FALSE(e2e::FileExists(work_ + "/REGBIN/3300/SWISP.bin"));
  }
}

const char kImageAddress[] = "addr=0x80000000";
const char kForceRom[] = "ResetCPU rom=1";
const FailingRun kFailingRuns[] = {
    {"KeepsnInBootRom", {"--mode", "rom"}, {}, kIntact, nullptr, "keepsn",
     "Restart ISP firmware...................\nReset CPU .............................\nDone\n"
     "ISPMode:0\nIt is not ISP mode!\n", kImageAddress},
    {"KeepsnOneInLoader", {"--mode", "mpisp"}, {}, kIntact, nullptr, "keepsn_1",
     "Restart ISP firmware...................\nReset CPU .............................\nDone\n"
     "ISPMode:0\nIt is not ISP mode!\n", kImageAddress},
    {"ListedPretestCode", {"--mode", "rom", "--pretest-code", "5"}, {}, kIntact, nullptr, "initial",
     "0x05,Database No Bank!\npretest Fail!\n", kImageAddress},
    {"UnknownPretestCode", {"--mode", "rom", "--pretest-code", "36"}, {}, kIntact, nullptr, "initial",
     "Pretest Unknow Fail ErrirCode:0x24,!\npretest Fail!\n", kImageAddress},
    {"CapacitorPretestCode", {"--mode", "rom", "--pretest-code", "37"}, {}, kIntact, nullptr, "initial",
     "0x25,PP Capacitor is failed\npretest Fail!\n", kImageAddress},
    {"ShimDoesNotStart", {"--mode", "rom", "--shim-broken"}, {}, kIntact, nullptr, "initial",
     "Download ShimMPISP.....................\n"
     "Open ShimMPISP file ./REGBIN/3300/Shim3300.bin\n"
     "Check Running ShimMPISP Mode Fail!\n",
     "addr=0x40040000"},
    {"MpIspDoesNotStart", {"--mode", "rom", "--mpisp-broken"}, {}, kIntact, nullptr, "initial",
     "Check Running MPISP Mode Fail!\n", "VENDOR F0 61"},
    {"EmptyMpIspLoader", {"--mode", "rom"}, {}, kEmptied, "MP3300.bin", "initial",
     "Load MPISP Fail! ./REGBIN/3300/MP3300.bin: file is empty\n", "addr=0x40040000"},
    {"EmptyImage", {"--mode", "rom"}, {}, kEmptied, "ISP3300.bin", "initial",
     "ISP image ./REGBIN/3300/ISP3300.bin is shorter than its 1024-byte header\n", kForceRom},
    // Personalisation re-signs the image: a damaged one must never reach the card.
    {"DamagedImageKeepsn", {}, {}, kBodyByteChanged, "ISP3300.bin", "keepsn",
     "ISP file digest mismatch! ./REGBIN/3300/ISP3300.bin\n", kForceRom},
    {"DamagedImageNewSerial", {}, {}, kBodyByteChanged, "ISP3300.bin", "initial QEL0000000000000042",
     "ISP file digest mismatch! ./REGBIN/3300/ISP3300.bin\n", kForceRom},
    // Every file read after the card leaves its firmware is there before it does.
    {"MissingMpIspLoader", {}, {}, kRemoved, "MP3300.bin", "keepsn",
     "DL MPISP Error! Cannot open MPISP.bin file\n", kForceRom},
    {"EmptyShimLoader", {}, {}, kEmptied, "Shim3300.bin", "initial",
     "Load ShimMPISP Fail! ./REGBIN/3300/Shim3300.bin: file is empty\n", kForceRom},
    {"NeverReady", {"--mode", "rom", "--never-ready"}, {}, kIntact, nullptr, "initial",
     "ISPMode:2\nRun ISP Fail!\n", nullptr},
    {"CopiesDiffer", {"--copies-differ"}, {}, kIntact, nullptr, "keepsn",
     "Dump ISP Fail\nVerify ISP Error \nDownload ISP Check Data Fail!\n", kImageAddress},
    // 128 pages of one 4 KiB plane page hold 0x820 + 127 * 0x1000 bytes.
    {"ImageLongerThanTheIspBlock",
     {"--planes", "1", "--sectors-per-page", "8", "--pages-per-block", "128"},
     {"--image-size", "600000"}, kIntact, nullptr, "keepsn_1",
     "Dump ISP1 data length error! expect:0x927C0, real:0x7F820\n"
     "Download ISP Check Data Fail!\n",
     kImageAddress},
};

INSTANTIATE_TEST_SUITE_P(Initial, FailingRunTest, ::testing::ValuesIn(kFailingRuns),
                         [](const ::testing::TestParamInfo<FailingRun>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
