// The built qeltool, run under the virtual card in a fresh working directory
// each time: command line, device choice, card information, image set
// choice, scratch and log removal, banners and exit statuses.
#include <ftw.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "E2E.h"

namespace {

using Cards = std::vector<std::pair<std::string, std::string>>;

const char kStart[] = "qeltool V1.1.0 - Q1117A (QC3300)\nSSD Linux Update Tool:\n\n";

const char kHelp[] =
    "\n"
    "SSD update tool - swap/update SSD Firmware - AP:V1.1.0 - Q1117A, Lib:143\n"
    "Usage:\n"
    "      ./Tool_Name  </dev/nvmeXn1(X:device number) or -list>  <Command>  [options]\n\n"
    "Command:\n"
    "  initial            :Initialization card\n"
    "  initial SN         :Initialization card with new SN\n"
    "  keepsn             :Initialization card, Keep serial number\n"
    "  keepsn_1           :Initialization card\n"
    "                     (Keep IDtable and VendorSpecific, SN/MN/WWN with the card, using new FW "
    "VER.)\n"
    "  update             :Update ISP,download ISP, CID from ISP bin file\n"
    "                     (Keep IDtable and VendorSpecific, SN/ModelName with the card, using new "
    "FW VER.)\n"
    "  update_1           :Update ISP,download ISP, CID from ISP bin file\n"
    "                     (Keep IDtable and VendorSpecific, SN with the card, using new FW_VER / "
    "ModelName.)\n"
    "  swap               :Swap ISP,download ISP from bin file\n"
    "                     (Keep CID and IDtable(ATA-EC), SN with the card, using new FW VER.)\n"
    "  swap_1             :Swap ISP,download ISP from bin file\n"
    "                     (Keep CID and IDtable(ISP_Block), SN with the card, using new FW VER.)\n"
    "  download-microcode :Update FW by Download Microcode.\n"
    "\n\n";

const char kPass[] =
    "\nLinux Tool:V1.1.0 - Q1117A, Lib:143\n"
    "\n*****************************************"
    "\nTotal Process finished,the result is Pass"
    "\n*****************************************\n";

const char kFail[] =
    "\nLinux Tool:V1.1.0 - Q1117A, Lib:143\n"
    "\n*******************************************"
    "\nTotal Process finished,the result is failed"
    "\nErrorCode: 0001"
    "\n*******************************************\n";

const char* const kScratch[] = {"SWISP.bin",        "TempISP.bin",        "DumpISP1File.bin",
                                "DumpISP2File.bin", "VerifyISP1File.bin", "VerifyISP2File.bin"};
const char* const kInputs[] = {"ISP3300.bin", "MP3300.bin", "Shim3300.bin", "FLASHID.bin",
                               "FWVerDB.ini"};

bool IsTraceName(const std::string& name) {
  static const char kForm[] = "9999-99-99_99-99-99.log";
  if (name.size() != sizeof(kForm) - 1) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (kForm[i] == '9' ? !isdigit(static_cast<unsigned char>(name[i])) : name[i] != kForm[i]) {
      return false;
    }
  }
  return true;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

void RemoveTree(const std::string& path) {
  nftw(
      path.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); },
      16, FTW_DEPTH | FTW_PHYS);
}

struct Outcome {
  int status;
  std::string out;
  std::string display;  // Display.log after the run
  std::string trace;    // every trace file of the run, concatenated
  int traceFiles;
};

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = e2e::MakeTempDir("frontend-e2e");
    ASSERT_FALSE(root_.empty());
    work_ = root_ + "/work";
    ASSERT_EQ(0, mkdir(work_.c_str(), 0755));
  }
  void TearDown() override { RemoveTree(root_); }

  // A new card in root_/name.
  std::string Card(const std::string& name, const std::vector<std::string>& options = {}) {
    std::string dir = root_ + "/" + name;
    e2e::RunResult created = e2e::CreateCard(dir, options);
    EXPECT_EQ(0, created.status) << created.out;
    return dir;
  }

  // An image set for `card` in the working directory (named with --set).
  void ImageSet(const std::string& card, const std::vector<std::string>& options = {}) {
    std::vector<std::string> argv = {e2e::VCardPath(), "imageset", card, work_};
    argv.insert(argv.end(), options.begin(), options.end());
    e2e::RunResult made = e2e::Run(".", argv);
    EXPECT_EQ(0, made.status) << made.out;
  }

  void MakeRegbin() {
    mkdir((work_ + "/REGBIN").c_str(), 0755);
    mkdir((work_ + "/REGBIN/3300").c_str(), 0755);
  }

  void PutScratch(const std::string& set) {
    for (const char* name : kScratch) e2e::WriteFile(set + "/" + name, "old");
  }

  Outcome Tool(const Cards& cards, const std::vector<std::string>& args,
               const std::string& keys = "") {
    e2e::RunResult run = e2e::RunTool(work_, cards, args, keys);
    Outcome outcome{run.status, run.out, e2e::ReadFile(work_ + "/Display.log"), "", 0};
    for (const std::string& name : e2e::ListDir(work_)) {
      if (!IsTraceName(name)) continue;
      outcome.trace += e2e::ReadFile(work_ + "/" + name);
      ++outcome.traceFiles;
    }
    // Everything the tool shows also lands in Display.log.
    EXPECT_EQ(outcome.out, outcome.display);
    return outcome;
  }

  static std::string Identity(const std::string& serial, const std::string& model,
                              const std::string& firmware) {
    return "  Serial Number    : " + serial + "\n  Model Name       : " + model +
           "\n  Firmware Version : " + firmware + "\n";
  }

  // Each word announces itself after the preparation and ends with its flow's
  // outcome: the success banner, or its failure line and the failure banner.
  void ExpectReachesItsFlow(const std::string& word, const std::string& announcement,
                            const std::string& failureLine) {
    std::string card = Card("card");
    ImageSet(card);
    Outcome run = Tool({{"/dev/sdb", card}}, {"/dev/sdb", word});
    EXPECT_TRUE(Contains(run.out, "Success\n" + announcement)) << run.out;
    if (run.status == 0) {
      EXPECT_TRUE(EndsWith(run.out, kPass)) << run.out;
    } else {
      EXPECT_EQ(1, run.status);
      EXPECT_TRUE(EndsWith(run.out, failureLine + kFail)) << run.out;
    }
  }

  std::string root_;
  std::string work_;
};

TEST_F(EndToEnd, HelpForShortCommandLines) {
  std::string card = Card("card");
  Outcome none = Tool({{"/dev/sdb", card}}, {});
  EXPECT_EQ(1, none.status);
  EXPECT_EQ(std::string(kStart) + kHelp, none.out);

  // A device alone is not touched.
  Outcome one = Tool({{"/dev/sdb", card}}, {"/dev/sdb"});
  EXPECT_EQ(1, one.status);
  EXPECT_EQ(std::string(kStart) + kHelp, one.out);
  EXPECT_EQ(0, one.traceFiles);
  EXPECT_EQ("", e2e::ReadFile(card + "/journal.log"));
}

TEST_F(EndToEnd, DevicesThatCannotBeUsed) {
  std::string card = Card("card");
  Outcome missing = Tool({{"/dev/sdb", card}}, {"/dev/sdz", "showIDinfo"});
  EXPECT_EQ(1, missing.status);
  EXPECT_EQ(std::string(kStart) + "Open Device Error: /dev/sdz\n", missing.out);
  // The device table was built: the card answered one INQUIRY.
  EXPECT_TRUE(Contains(missing.trace, "Device  = /dev/sdb")) << missing.trace;

  // A name the slots cannot hold is refused before any device is touched.
  std::string longName = "/dev/../dev/../dev/sdb";
  unlink((card + "/journal.log").c_str());
  Outcome tooLong = Tool({{"/dev/sdb", card}}, {longName, "showIDinfo"});
  EXPECT_EQ(1, tooLong.status);
  EXPECT_EQ(std::string(kStart) + "Open Device Error: " + longName + "\n", tooLong.out);
  EXPECT_EQ("", e2e::ReadFile(card + "/journal.log"));

  std::string foreign = Card("foreign", {"--chip-id", "QX9999"});
  Outcome notQel = Tool({{"/dev/sdc", foreign}}, {"/dev/sdc", "showIDinfo"});
  EXPECT_EQ(1, notQel.status);
  EXPECT_TRUE(EndsWith(notQel.out, "This is not QEL disk!\n")) << notQel.out;
  EXPECT_FALSE(Contains(notQel.out, "Total Process finished"));
}

TEST_F(EndToEnd, ShowIDinfoOverAtaAndScsi) {
  for (const char* attach : {"ata", "scsi"}) {
    std::string card = Card(
        std::string("card-") + attach,
        {"--attach", attach, "--serial", "SN0042", "--model", "QEL Model X", "--fwrev", "V1.2"});
    Outcome shown = Tool({{"/dev/sdb", card}}, {"/dev/sdb", "showIDinfo"});
    EXPECT_EQ(1, shown.status) << attach;
    EXPECT_EQ(std::string(kStart) + Identity("SN0042", "QEL Model X", "V1.2") + kPass, shown.out)
        << attach;
    std::string journal = e2e::ReadFile(card + "/journal.log");
    // Over SCSI the identity comes through the vendor channel.
    EXPECT_EQ(std::string(attach) == "scsi", Contains(journal, "VENDOR F0 3F")) << journal;
    EXPECT_FALSE(Contains(journal, "VENDOR F0 20")) << "no card mode read\n" << journal;
  }
}

TEST_F(EndToEnd, ListWithNoOrOneCard) {
  std::string foreign = Card("foreign", {"--chip-id", "QX9999"});
  Outcome none = Tool({{"/dev/sdb", foreign}}, {"-list", "showIDinfo"});
  EXPECT_EQ(1, none.status);
  EXPECT_TRUE(Contains(none.out, "The SSD device cannot be found ")) << none.out;
  EXPECT_FALSE(Contains(none.out, "Found QEL SSD Device"));

  // "-list" without a command word scans nothing.
  std::string card = Card("card", {"--serial", "ONE", "--model", "M1", "--fwrev", "F1"});
  Outcome bare = Tool({{"/dev/sdc", card}}, {"-list"});
  EXPECT_EQ(std::string(kStart) + kHelp, bare.out);
  EXPECT_EQ(0, bare.traceFiles);

  Outcome one = Tool({{"/dev/sdb", foreign}, {"/dev/sdc", card}}, {"-list", "showIDinfo"});
  EXPECT_EQ(1, one.status);
  EXPECT_EQ(std::string(kStart) + "Found QEL SSD Device 0\n  SSD Device       : /dev/sdc (ATA)\n" +
                Identity("ONE", "M1", "F1") + "Selected SSD device:  => /dev/sdc\n" + kPass,
            one.out);
}

TEST_F(EndToEnd, ListWithTwoCardsPicksByKey) {
  std::string first = Card("first", {"--serial", "S0", "--model", "M0", "--fwrev", "F0"});
  std::string second =
      Card("second", {"--serial", "S1", "--model", "M1", "--fwrev", "F1", "--attach", "scsi"});
  Cards cards = {{"/dev/sdb", first}, {"/dev/sdd", second}};
  const std::string listing = std::string(kStart) +
                              "Found QEL SSD Device 0\n  SSD Device       : /dev/sdb (ATA)\n" +
                              Identity("S0", "M0", "F0") +
                              "Found QEL SSD Device 1\n  SSD Device       : /dev/sdd (SCSI)\n" +
                              Identity("S1", "M1", "F1") + "\nPlease select SSD device:  ";

  Outcome picked = Tool(cards, {"-list", "showIDinfo"}, "1");
  EXPECT_EQ(1, picked.status);
  EXPECT_EQ(listing + "=> /dev/sdd\n" + Identity("S1", "M1", "F1") + kPass, picked.out);

  for (const char* key : {"2", "a"}) {
    Outcome bad = Tool(cards, {"-list", "showIDinfo"}, key);
    EXPECT_EQ(1, bad.status);
    EXPECT_EQ(listing + "\nIndex Error " + key + "\n", bad.out);
  }
}

TEST_F(EndToEnd, ListStopsAtSixCards) {
  Cards cards;
  for (char letter = 'a'; letter <= 'g'; ++letter) {
    std::string serial = std::string("SER-") + letter;
    cards.push_back({std::string("/dev/sd") + letter,
                     Card(std::string("card-") + letter, {"--serial", serial})});
  }
  Outcome picked = Tool(cards, {"-list", "showIDinfo"}, "5");
  EXPECT_EQ(1, picked.status);
  EXPECT_TRUE(Contains(picked.out, "Found QEL SSD Device 5\n  SSD Device       : /dev/sdf (ATA)\n"))
      << picked.out;
  EXPECT_FALSE(Contains(picked.out, "Device 6"));
  EXPECT_FALSE(Contains(picked.out, "/dev/sdg"));
  EXPECT_TRUE(Contains(picked.out, "=> /dev/sdf\n  Serial Number    : SER-f\n")) << picked.out;
  EXPECT_TRUE(EndsWith(picked.out, kPass));
}

TEST_F(EndToEnd, ReadFlashIDShowsTheTable) {
  std::string card = Card("card", {"--mode", "isp"});
  ImageSet(card);
  Outcome read = Tool({{"/dev/sdb", card}}, {"/dev/sdb", "readflashid"});
  EXPECT_EQ(0, read.status) << read.out;
  const std::string header =
      "Read Flash ID................\n\n"
      "Offset  0  1  2  3  4  5  6  7  8  9  A  B  C  D  E  F   0123456789ABCDEF\n";
  size_t at = read.out.find(header);
  ASSERT_NE(std::string::npos, at) << read.out;
  ASSERT_TRUE(EndsWith(read.out, kPass)) << read.out;
  std::string dump = read.out.substr(at + header.size());
  dump.resize(dump.size() - strlen(kPass));
  // 32 rows of 16 bytes; byte 4 tells the running program (2: ISP firmware).
  EXPECT_EQ(0u, dump.find("0x0000 ")) << dump;
  EXPECT_EQ("02,", dump.substr(7 + 4 * 3, 3)) << dump;
  EXPECT_TRUE(Contains(dump, "\n0x01F0 "));
  EXPECT_FALSE(Contains(dump, "0x0200 "));
  EXPECT_EQ(32u, Count(dump, "\n"));
}

TEST_F(EndToEnd, DefaultSetMatchingIsNeverListed) {
  std::string card = Card("card");
  ImageSet(card);
  ImageSet(card, {"--set", "named"});
  PutScratch(work_ + "/REGBIN/3300");
  PutScratch(work_ + "/REGBIN/3300/named");
  Outcome run = Tool({{"/dev/sdb", card}}, {"/dev/sdb", "no-such-command"});
  EXPECT_EQ(1, run.status);
  EXPECT_TRUE(Contains(run.out, "File:./REGBIN/3300/FLASHID.bin\nSuccess\n")) << run.out;
  EXPECT_EQ(1u, Count(run.out, "Checking Flash ID"));
  // The command word is judged after all the preparation.
  EXPECT_TRUE(EndsWith(run.out, kHelp));
  for (const char* name : kScratch) {
    EXPECT_FALSE(e2e::FileExists(work_ + "/REGBIN/3300/" + name)) << name;
    EXPECT_TRUE(e2e::FileExists(work_ + "/REGBIN/3300/named/" + name)) << name;
  }
  for (const char* name : kInputs) EXPECT_TRUE(e2e::FileExists(work_ + "/REGBIN/3300/" + name));
}

TEST_F(EndToEnd, FirstMatchingNamedSetInDirectoryOrder) {
  std::string card = Card("card");
  MakeRegbin();
  // Named sets, one with shell characters in its name. A regular file, a
  // link and a set whose paths would not fit are never taken. The default
  // set has no FLASHID.bin.
  const std::string root = work_ + "/REGBIN/3300/";
  const std::string odd = "it's \"odd\"; rm -rf *";
  const std::string tooLong(95, 'L');
  ImageSet(card, {"--set", "wrong", "--flashid-mismatch"});
  ImageSet(card, {"--set", "odd"});
  ASSERT_EQ(0, rename((root + "odd").c_str(), (root + odd).c_str()));
  ImageSet(card, {"--set", "plain"});
  ImageSet(card, {"--set", "long"});
  ASSERT_EQ(0, rename((root + "long").c_str(), (root + tooLong).c_str()));
  e2e::WriteFile(root + "file", "");
  ASSERT_EQ(0, symlink("plain", (root + "link").c_str()));
  std::string winner;
  for (const std::string& name : e2e::ListDir(work_ + "/REGBIN/3300")) {
    if (name == odd || name == "plain") {
      winner = name;
      break;
    }
  }
  const std::string loser = winner == odd ? "plain" : odd;
  for (const std::string& set : {winner, loser, std::string("wrong")}) {
    PutScratch(work_ + "/REGBIN/3300/" + set);
  }

  Outcome run = Tool({{"/dev/sdb", card}}, {"/dev/sdb", "no-such-command"});
  EXPECT_EQ(1, run.status);
  EXPECT_TRUE(Contains(run.out, "File:./REGBIN/3300/FLASHID.bin\nFLASHID.bin not exist!\n"));
  EXPECT_TRUE(Contains(run.out, "File:./REGBIN/3300/" + winner + "/FLASHID.bin\nSuccess\n"))
      << run.out;
  EXPECT_FALSE(Contains(run.out, "File:./REGBIN/3300/" + loser + "/")) << run.out;
  for (const std::string& never : {std::string("file"), std::string("link"), tooLong}) {
    EXPECT_FALSE(Contains(run.out, "File:./REGBIN/3300/" + never + "/")) << run.out;
  }
  for (const char* name : kScratch) {
    EXPECT_FALSE(e2e::FileExists(work_ + "/REGBIN/3300/" + winner + "/" + name)) << name;
    EXPECT_TRUE(e2e::FileExists(work_ + "/REGBIN/3300/" + loser + "/" + name)) << name;
    EXPECT_TRUE(e2e::FileExists(work_ + "/REGBIN/3300/wrong/" + name)) << name;
  }
  for (const char* name : kInputs) {
    EXPECT_TRUE(e2e::FileExists(work_ + "/REGBIN/3300/" + winner + "/" + name)) << name;
  }
  EXPECT_TRUE(e2e::FileExists(work_ + "/REGBIN/3300/file"));
}

TEST_F(EndToEnd, NoMatchingSetKeepsTheDefault) {
  std::string card = Card("card");
  ImageSet(card, {"--flashid-mismatch"});
  ImageSet(card, {"--set", "other", "--flashid-mismatch"});
  PutScratch(work_ + "/REGBIN/3300");
  PutScratch(work_ + "/REGBIN/3300/other");
  Outcome run = Tool({{"/dev/sdb", card}}, {"/dev/sdb", "no-such-command"});
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(2u, Count(run.out, "Checking Flash ID"));
  EXPECT_TRUE(EndsWith(run.out, kHelp));
  for (const char* name : kScratch) {
    EXPECT_FALSE(e2e::FileExists(work_ + "/REGBIN/3300/" + name)) << name;
    EXPECT_TRUE(e2e::FileExists(work_ + "/REGBIN/3300/other/" + name)) << name;
  }
}

TEST_F(EndToEnd, MissingRegbinEndsTheRun) {
  std::string card = Card("card");
  Outcome run = Tool({{"/dev/sdb", card}}, {"/dev/sdb", "swap"});
  EXPECT_EQ(1, run.status);
  EXPECT_TRUE(EndsWith(run.out, "FLASHID.bin not exist!\nThis is not have REGBIN/3300!\n"))
      << run.out;
  EXPECT_FALSE(Contains(run.out, "Swap Card"));
}

TEST_F(EndToEnd, StartUpRemovesOnlyTheToolsOwnLogs) {
  std::string card = Card("card");
  e2e::WriteFile(work_ + "/notes.log", "mine\n");
  e2e::WriteFile(work_ + "/Display.log", "earlier run\n");
  e2e::WriteFile(work_ + "/2001-02-03_04-05-06.log", "earlier trace\n");
  Outcome run = Tool({{"/dev/sdb", card}}, {"/dev/sdb", "showIDinfo"});
  EXPECT_EQ(1, run.status);
  EXPECT_EQ("mine\n", e2e::ReadFile(work_ + "/notes.log"));
  EXPECT_FALSE(e2e::FileExists(work_ + "/2001-02-03_04-05-06.log"));
  EXPECT_FALSE(Contains(run.display, "earlier run"));
  // This run's own trace: the device table probe, the unlock and IDENTIFY.
  EXPECT_EQ(1, run.traceFiles);
  EXPECT_TRUE(Contains(run.trace, "**** <  Device  = /dev/sdb,")) << run.trace;
  EXPECT_FALSE(Contains(run.trace, "earlier trace"));
}

TEST_F(EndToEnd, NewSerialNumberIsLimitedTo20Characters) {
  std::string card = Card("card");
  ImageSet(card);
  Outcome refused = Tool({{"/dev/sdb", card}}, {"/dev/sdb", "initial", std::string(21, '7')});
  EXPECT_EQ(1, refused.status);
  EXPECT_TRUE(EndsWith(refused.out,
                       std::string("Success\nInput Serial Number exceeds 20 bytes..\n\n") + kFail))
      << refused.out;
  EXPECT_FALSE(Contains(refused.out, "Inital Card"));

  Outcome accepted = Tool({{"/dev/sdb", card}}, {"/dev/sdb", "initial", std::string(20, '7')});
  EXPECT_TRUE(Contains(accepted.out, "Success\nInital Card with new Serial Number............\n\n"))
      << accepted.out;
  EXPECT_FALSE(Contains(accepted.out, "exceeds"));
}

TEST_F(EndToEnd, KeepsnReachesItsFlow) {
  ExpectReachesItsFlow("keepsn", "Initial Card(keepsn)...........\n\n",
                       "Initial card failed..\n\n");
}

TEST_F(EndToEnd, Keepsn1ReachesItsFlow) {
  ExpectReachesItsFlow("keepsn_1", "Initial Card(keepsn_1).........\n\n",
                       "Initial card failed..\n\n");
}

TEST_F(EndToEnd, UpdateReachesItsFlow) {
  ExpectReachesItsFlow("update", "Update Card..................\n\n", "Update failed..\n\n");
}

TEST_F(EndToEnd, Update1ReachesItsFlow) {
  ExpectReachesItsFlow("update_1", "Update_1 Card................\n\n", "Update_1 failed..\n\n");
}

TEST_F(EndToEnd, SwapReachesItsFlow) {
  ExpectReachesItsFlow("swap", "Swap Card....................\n\n", "Swap failed..\n\n");
}

TEST_F(EndToEnd, Swap1ReachesItsFlow) {
  ExpectReachesItsFlow("swap_1", "Swap_1 Card..................\n\n", "Swap_1 failed..\n\n");
}

const char kDmaFlow[] = "***** Download MicroCode flow(DMA) ******\n";
const char kPioFlow[] = "******  Download MicroCode flow  ********\n";

// DOWNLOAD MICROCODE commands in a card's journal: 0x93 by DMA, 0x92 by PIO.
size_t MicrocodeCommands(const std::string& card, int opcode, int mode) {
  char key[64];
  snprintf(key, sizeof(key), "cmd=0x%02X feat=0x%02X", opcode, mode);
  return Count(e2e::ReadFile(card + "/journal.log"), key);
}

TEST_F(EndToEnd, DownloadMicrocodeWithoutOptionsFallsBackToPio) {
  // The card refuses the DMA download; the PIO attempt follows and succeeds.
  std::string card = Card("card", {"--no-dma"});
  ImageSet(card);
  Outcome run = Tool({{"/dev/sdb", card}}, {"/dev/sdb", "download-microcode"});
  EXPECT_EQ(0, run.status) << run.out;
  size_t dmaAt = run.out.find(kDmaFlow);
  ASSERT_NE(std::string::npos, dmaAt) << run.out;
  EXPECT_LT(dmaAt, run.out.find(kPioFlow));
  EXPECT_EQ(1u, Count(run.out, kPioFlow));
  EXPECT_LT(0u, MicrocodeCommands(card, 0x92, 3));
  EXPECT_TRUE(EndsWith(run.out, kPass));

  // Both attempts fail (the set has no version database): one failure.
  std::string refused = Card("refused");
  RemoveTree(work_ + "/REGBIN");
  ImageSet(refused, {"--no-fwverdb"});
  Outcome failed = Tool({{"/dev/sdb", refused}}, {"/dev/sdb", "download-microcode"});
  EXPECT_EQ(1, failed.status);
  EXPECT_EQ(1u, Count(failed.out, kDmaFlow));
  EXPECT_EQ(1u, Count(failed.out, kPioFlow));
  EXPECT_TRUE(EndsWith(failed.out, std::string("Download Microcode failed..\n\n") + kFail))
      << failed.out;
}

TEST_F(EndToEnd, DownloadMicrocodeOptionWords) {
  std::string pioCard = Card("pio");
  ImageSet(pioCard);
  Outcome mode7 = Tool({{"/dev/sdb", pioCard}}, {"/dev/sdb", "download-microcode", "Mode7"});
  EXPECT_EQ(0, mode7.status) << mode7.out;
  EXPECT_EQ(0u, Count(mode7.out, kDmaFlow));
  EXPECT_EQ(1u, Count(mode7.out, kPioFlow));
  EXPECT_LT(0u, MicrocodeCommands(pioCard, 0x92, 7));
  EXPECT_EQ(0u, MicrocodeCommands(pioCard, 0x93, 7));

  // Later words override earlier ones; unknown words are ignored.
  std::string dmaCard = Card("dma");
  Outcome modeE = Tool({{"/dev/sdb", dmaCard}}, {"/dev/sdb", "download-microcode", "Mode3",
                                                 "PIOOnly", "Mode7", "ModeE", "Fast", "DMAOnly"});
  EXPECT_EQ(1u, Count(modeE.out, kDmaFlow)) << modeE.out;
  EXPECT_EQ(0u, Count(modeE.out, kPioFlow));
  EXPECT_TRUE(Contains(modeE.out, "Mode: 0x0E\n")) << modeE.out;
  EXPECT_LT(0u, MicrocodeCommands(dmaCard, 0x93, 14));
}

}  // namespace
