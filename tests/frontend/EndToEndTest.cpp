// The built qeltool, run under the virtual card in a fresh working directory
// each time: command line, device choice, card information, image set
// choice, scratch and log removal, banners and exit statuses.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "E2E.h"

namespace {

using Cards = std::vector<std::pair<std::string, std::string>>;
using Args = std::vector<std::string>;

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
const char* const kInputs[] = {"ISP3300.bin", "MP3300.bin", "Shim3300.bin", "FLASHID.bin", "FWVerDB.ini"};

bool IsTraceName(const std::string& name) {
  static const char kForm[] = "9999-99-99_99-99-99.log";
  if (name.size() != sizeof(kForm) - 1) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (kForm[i] == '9' ? !isdigit(static_cast<unsigned char>(name[i])) : name[i] != kForm[i]) return false;
  }
  return true;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

std::string Identity(const std::string& serial, const std::string& model, const std::string& firmware) {
  return "  Serial Number    : " + serial + "\n  Model Name       : " + model + "\n  Firmware Version : " + firmware +
         "\n";
}

struct Outcome {
  int status;
  std::string out, trace;  // trace: every trace file of the run, concatenated
  int traceFiles;
};

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = e2e::MakeTempDir("frontend-e2e");
    ASSERT_FALSE(root_.empty());
    work_ = root_ + "/work";
    set_ = work_ + "/REGBIN/3300/";
    ASSERT_EQ(0, mkdir(work_.c_str(), 0755));
  }
  void TearDown() override { e2e::RemoveTree(root_); }

  std::string Card(const std::string& name, const Args& options = {}) {
    std::string dir = root_ + "/" + name;
    e2e::RunResult created = e2e::CreateCard(dir, options);
    EXPECT_EQ(0, created.status) << created.out;
    return dir;
  }

  // An image set for `card` in the working directory (named with --set).
  void ImageSet(const std::string& card, const Args& options = {}) {
    Args argv = {e2e::VCardPath(), "imageset", card, work_};
    argv.insert(argv.end(), options.begin(), options.end());
    e2e::RunResult made = e2e::Run(".", argv);
    EXPECT_EQ(0, made.status) << made.out;
  }

  void PutScratch(const std::string& dir) {
    for (const char* name : kScratch) e2e::WriteFile(set_ + dir + name, "old");
  }
  // The scratch files are gone from `removed` and still in each of `kept`.
  void ExpectScratch(const std::string& removed, const Args& kept) {
    for (const char* name : kScratch) {
      EXPECT_FALSE(e2e::FileExists(set_ + removed + name)) << removed << name;
      for (const std::string& dir : kept) EXPECT_TRUE(e2e::FileExists(set_ + dir + name)) << dir << name;
    }
    for (const char* name : kInputs) EXPECT_TRUE(e2e::FileExists(set_ + removed + name)) << removed << name;
  }

  Outcome Tool(const Cards& cards, const Args& args, const std::string& keys = "") {
    e2e::RunResult run = e2e::RunTool(work_, cards, args, keys);
    Outcome outcome{run.status, run.out, "", 0};
    for (const std::string& name : e2e::ListDir(work_)) {
      if (!IsTraceName(name)) continue;
      outcome.trace += e2e::ReadFile(work_ + "/" + name);
      ++outcome.traceFiles;
    }
    EXPECT_EQ(outcome.out, e2e::ReadFile(work_ + "/Display.log"));  // everything shown is logged
    return outcome;
  }

  std::string root_, work_, set_;
};

TEST_F(EndToEnd, HelpAndDevicesThatCannotBeUsed) {
  std::string card = Card("card");
  const std::string longName = "/dev/../dev/../dev/sdb";  // more than the slots hold
  // A by-id name is a link to the node: it is followed before the 19-character
  // rule applies; a link to nothing fails with the system's reason.
  const std::string byId = root_ + "/disk/by-id/ata-QEL_Virtual_SSD_VC3300000001";
  const std::string dangling = root_ + "/disk/by-id/ata-gone";
  ASSERT_EQ(0, e2e::Run("/", {"/bin/mkdir", "-p", root_ + "/disk/by-id"}).status);
  ASSERT_EQ(0, symlink("/dev/sdb", byId.c_str()));
  ASSERT_EQ(0, symlink("/dev/sdx-gone", dangling.c_str()));
  struct Case {
    Args args;
    std::string out;
    bool touchesCard;
  };
  const Case cases[] = {
      {{}, kHelp, false},
      {{"/dev/sdb"}, kHelp, false},  // a device alone is not touched
      {{"-list"}, kHelp, false},     // nor scanned for
      {{longName, "showIDinfo"}, "Open Device Error: " + longName + "\nFile name too long\n", false},
      {{"/dev/sdz", "showIDinfo"}, "Open Device Error: /dev/sdz\nNo such file or directory\n", true},  // the device table was built
      {{dangling, "showIDinfo"}, "Open Device Error: " + dangling + "\nNo such file or directory\n", true},
      {{byId, "showIDinfo"}, Identity("VC3300000001", "QEL QC3300 Virtual SSD", "Q1117A00") + kPass, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "" : c.args[0]);
    unlink((card + "/journal.log").c_str());
    Outcome run = Tool({{"/dev/sdb", card}}, c.args);
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(kStart + c.out, run.out);
    EXPECT_EQ(c.touchesCard, Contains(run.trace, "Device  = /dev/sdb")) << run.trace;
    EXPECT_EQ(c.touchesCard, !e2e::ReadFile(card + "/journal.log").empty());
  }
  std::string foreign = Card("foreign", {"--chip-id", "QX9999"});
  Outcome notQel = Tool({{"/dev/sdc", foreign}}, {"/dev/sdc", "showIDinfo"});
  EXPECT_EQ(1, notQel.status);
  EXPECT_TRUE(EndsWith(notQel.out, "This is not QEL disk!\n")) << notQel.out;
  EXPECT_FALSE(Contains(notQel.out, "Total Process finished"));
}

TEST_F(EndToEnd, ShowIDinfoOverAtaAndScsi) {
  for (std::string attach : {"ata", "scsi"}) {
    std::string card = Card("card-" + attach, {"--attach", attach, "--serial", "SN0042", "--model", "QEL Model X",
                                               "--fwrev", "V1.2"});
    Outcome shown = Tool({{"/dev/sdb", card}}, {"/dev/sdb", "showIDinfo"});
    EXPECT_EQ(1, shown.status) << attach;
    EXPECT_EQ(kStart + Identity("SN0042", "QEL Model X", "V1.2") + kPass, shown.out) << attach;
    std::string journal = e2e::ReadFile(card + "/journal.log");
    EXPECT_EQ(attach == "scsi", Contains(journal, "VENDOR F0 3F")) << journal;  // identity via the vendor channel
    EXPECT_FALSE(Contains(journal, "VENDOR F0 20")) << "no card mode read\n" << journal;
  }
}

TEST_F(EndToEnd, ListFindsSelectsAndStopsAtSix) {
  std::string foreign = Card("foreign", {"--chip-id", "QX9999"});
  Outcome none = Tool({{"/dev/sdb", foreign}}, {"-list", "showIDinfo"});
  EXPECT_EQ(1, none.status);
  EXPECT_TRUE(Contains(none.out, "The SSD device cannot be found ")) << none.out;
  EXPECT_FALSE(Contains(none.out, "Found QEL SSD Device"));

  std::string s0 = Card("s0", {"--serial", "S0", "--model", "M0", "--fwrev", "F0"});
  std::string s1 = Card("s1", {"--serial", "S1", "--model", "M1", "--fwrev", "F1", "--attach", "scsi"});
  const std::string found0 = "Found QEL SSD Device 0\n  SSD Device       : /dev/sdb (ATA)\n" + Identity("S0", "M0", "F0");
  Outcome one = Tool({{"/dev/sdb", s0}, {"/dev/sdc", foreign}}, {"-list", "showIDinfo"});
  EXPECT_EQ(1, one.status);
  EXPECT_EQ(kStart + found0 + "Selected SSD device:  => /dev/sdb\n" + kPass, one.out);

  const Cards two = {{"/dev/sdb", s0}, {"/dev/sdd", s1}};
  const std::string listing = kStart + found0 + "Found QEL SSD Device 1\n  SSD Device       : /dev/sdd (SCSI)\n" +
                              Identity("S1", "M1", "F1") + "\nPlease select SSD device:  ";
  const std::pair<const char*, std::string> keys[] = {
      {"1", "=> /dev/sdd\n" + Identity("S1", "M1", "F1") + kPass}, {"2", "\nIndex Error 2\n"}, {"a", "\nIndex Error a\n"}};
  for (const auto& key : keys) {
    Outcome picked = Tool(two, {"-list", "showIDinfo"}, key.first);
    EXPECT_EQ(1, picked.status);
    EXPECT_EQ(listing + key.second, picked.out);
  }

  Cards seven;
  for (char letter = 'a'; letter <= 'g'; ++letter) {
    seven.push_back({std::string("/dev/sd") + letter,
                     Card(std::string("card-") + letter, {"--serial", std::string("SER-") + letter})});
  }
  Outcome picked = Tool(seven, {"-list", "showIDinfo"}, "5");
  EXPECT_EQ(1, picked.status);
  EXPECT_TRUE(Contains(picked.out, "Found QEL SSD Device 5\n  SSD Device       : /dev/sdf (ATA)\n")) << picked.out;
  EXPECT_FALSE(Contains(picked.out, "Device 6") || Contains(picked.out, "/dev/sdg"));
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
  EXPECT_EQ(0u, dump.find("0x0000 00,00,00,00,02,")) << dump;
  EXPECT_TRUE(Contains(dump, "\n0x01F0 ") && !Contains(dump, "0x0200 "));
  EXPECT_EQ(32u, Count(dump, "\n"));
}

TEST_F(EndToEnd, DefaultSetMatchingIsNeverListedAndNoMatchKeepsIt) {
  for (bool matches : {true, false}) {
    SCOPED_TRACE(matches);
    e2e::RemoveTree(work_ + "/REGBIN");
    std::string card = Card(matches ? "match" : "nomatch");
    ImageSet(card, matches ? Args{} : Args{"--flashid-mismatch"});
    ImageSet(card, {"--set", "named", "--flashid-mismatch"});
    PutScratch("");
    PutScratch("named/");
    Outcome run = Tool({{"/dev/sdb", card}}, {"/dev/sdb", "no-such-command"});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(matches ? 1u : 2u, Count(run.out, "Checking Flash ID")) << run.out;
    EXPECT_EQ(matches, Contains(run.out, "File:./REGBIN/3300/FLASHID.bin\nSuccess\n")) << run.out;
    EXPECT_TRUE(EndsWith(run.out, kHelp));  // the word is judged after the preparation
    ExpectScratch("", {"named/"});
  }
}

TEST_F(EndToEnd, FirstMatchingNamedSetInDirectoryOrder) {
  std::string card = Card("card");
  // Named sets, one with shell characters in its name. A regular file, a link
  // and a set whose paths would not fit are never taken. The default set has
  // no FLASHID.bin.
  const std::string odd = "it's \"odd\"; rm -rf *", tooLong(95, 'L');
  ImageSet(card, {"--set", "wrong", "--flashid-mismatch"});
  ImageSet(card, {"--set", "odd"});
  ASSERT_EQ(0, rename((set_ + "odd").c_str(), (set_ + odd).c_str()));
  ImageSet(card, {"--set", "plain"});
  ImageSet(card, {"--set", "long"});
  ASSERT_EQ(0, rename((set_ + "long").c_str(), (set_ + tooLong).c_str()));
  e2e::WriteFile(set_ + "file", "");
  ASSERT_EQ(0, symlink("plain", (set_ + "link").c_str()));
  std::string winner;
  for (const std::string& name : e2e::ListDir(set_)) {
    if (winner.empty() && (name == odd || name == "plain")) winner = name;
  }
  const std::string loser = winner == odd ? "plain" : odd;
  for (const std::string& dir : {winner, loser, std::string("wrong")}) PutScratch(dir + "/");

  Outcome run = Tool({{"/dev/sdb", card}}, {"/dev/sdb", "no-such-command"});
  EXPECT_EQ(1, run.status);
  EXPECT_TRUE(Contains(run.out, "File:./REGBIN/3300/FLASHID.bin\nFLASHID.bin not exist!\n"));
  EXPECT_TRUE(Contains(run.out, "File:./REGBIN/3300/" + winner + "/FLASHID.bin\nSuccess\n")) << run.out;
  for (const std::string& never : {loser, std::string("file"), std::string("link"), tooLong}) {
    EXPECT_FALSE(Contains(run.out, "File:./REGBIN/3300/" + never + "/")) << run.out;
  }
  ExpectScratch(winner + "/", {loser + "/", "wrong/"});
  EXPECT_TRUE(e2e::FileExists(set_ + "file"));

  e2e::RemoveTree(work_ + "/REGBIN");  // no REGBIN/3300 at all ends the run
  run = Tool({{"/dev/sdb", card}}, {"/dev/sdb", "swap"});
  EXPECT_EQ(1, run.status);
  EXPECT_TRUE(EndsWith(run.out, "FLASHID.bin not exist!\nThis is not have REGBIN/3300!\n")) << run.out;
}

TEST_F(EndToEnd, StartUpRemovesOnlyTheToolsOwnLogs) {
  std::string card = Card("card");
  e2e::WriteFile(work_ + "/notes.log", "mine\n");
  e2e::WriteFile(work_ + "/Display.log", "earlier run\n");
  e2e::WriteFile(work_ + "/2001-02-03_04-05-06.log", "earlier trace\n");
  Outcome run = Tool({{"/dev/sdb", card}}, {"/dev/sdb", "showIDinfo"});  // Display.log compared in Tool()
  EXPECT_EQ(1, run.status);
  EXPECT_EQ("mine\n", e2e::ReadFile(work_ + "/notes.log"));
  EXPECT_FALSE(e2e::FileExists(work_ + "/2001-02-03_04-05-06.log"));
  EXPECT_EQ(1, run.traceFiles);
  EXPECT_TRUE(Contains(run.trace, "**** <  Device  = /dev/sdb,")) << run.trace;
}

// A serial the card could not carry or a reader could not tell apart is
// refused before the card is touched: too long, empty (an unset variable in a
// line script), blank, or holding a byte outside printable ASCII.
TEST_F(EndToEnd, NewSerialNumberIsLimitedTo20PrintableCharacters) {
  std::string card = Card("card");
  ImageSet(card);
  const std::string journal = e2e::ReadFile(card + "/journal.log");
  const struct { std::string serial; const char* reason; } refusals[] = {
      {std::string(21, '7'), "Input Serial Number exceeds 20 bytes..\n\n"},
      {"", "Input Serial Number is empty or not printable ASCII..\n\n"},
      {"    ", "Input Serial Number is empty or not printable ASCII..\n\n"},
      {"QEL0001\r", "Input Serial Number is empty or not printable ASCII..\n\n"},
      {"QEL\xC3\xA9", "Input Serial Number is empty or not printable ASCII..\n\n"},
  };
  for (const auto& r : refusals) {
    Outcome refused = Tool({{"/dev/sdb", card}}, {"/dev/sdb", "initial", r.serial});
    EXPECT_EQ(1, refused.status) << r.serial;
    EXPECT_TRUE(EndsWith(refused.out, std::string("Success\n") + r.reason + kFail)) << refused.out;
  }
  EXPECT_EQ(std::string::npos, e2e::ReadFile(card + "/journal.log").find("VENDOR F1", journal.size()))
      << "a refused serial reached the card";
  Outcome accepted = Tool({{"/dev/sdb", card}}, {"/dev/sdb", "initial", std::string(20, '7')});
  EXPECT_TRUE(Contains(accepted.out, "Success\nInital Card with new Serial Number............\n\n")) << accepted.out;
}

const char kDmaFlow[] = "***** Download MicroCode flow(DMA) ******\n";
const char kPioFlow[] = "******  Download MicroCode flow  ********\n";

// DOWNLOAD MICROCODE commands in a card's journal: 0x93 by DMA, 0x92 by PIO.
size_t MicrocodeCommands(const std::string& card, int opcode, int mode) {
  char key[64];
  snprintf(key, sizeof(key), "cmd=0x%02X feat=0x%02X", opcode, mode);
  return Count(e2e::ReadFile(card + "/journal.log"), key);
}

TEST_F(EndToEnd, DownloadMicrocodeOptionWordsAndPioFallback) {
  struct Case {
    std::string name;
    Args cardOptions, words;
    int status;
    size_t dmaFlows, pioFlows;
    int opcode, mode;  // commands expected in the journal
  };
  const Case cases[] = {
      {"fallback", {"--no-dma"}, {}, 0, 1, 1, 0x92, 3},  // DMA refused, PIO follows
      {"mode7", {}, {"Mode7"}, 0, 0, 1, 0x92, 7},
      // Later words override earlier ones; unknown words are ignored.
      {"modeE", {}, {"Mode3", "PIOOnly", "Mode7", "ModeE", "Fast", "DMAOnly"}, -1, 1, 0, 0x93, 14},
  };
  ImageSet(Card("set"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string card = Card(c.name, c.cardOptions);
    Args args = {"/dev/sdb", "download-microcode"};
    args.insert(args.end(), c.words.begin(), c.words.end());
    Outcome run = Tool({{"/dev/sdb", card}}, args);
    EXPECT_TRUE(c.status < 0 || c.status == run.status) << run.out;
    EXPECT_EQ(c.dmaFlows, Count(run.out, kDmaFlow)) << run.out;
    EXPECT_EQ(c.pioFlows, Count(run.out, kPioFlow)) << run.out;
    EXPECT_LT(0u, MicrocodeCommands(card, c.opcode, c.mode));
    if (c.dmaFlows + c.pioFlows == 1) {
      EXPECT_EQ(0u, MicrocodeCommands(card, c.opcode ^ 1, c.mode));
    } else {
      EXPECT_LT(run.out.find(kDmaFlow), run.out.find(kPioFlow));
    }
  }
  // Both attempts fail (the set has no version database): one failure.
  e2e::RemoveTree(work_ + "/REGBIN");
  std::string refused = Card("refused");
  ImageSet(refused, {"--no-fwverdb"});
  Outcome failed = Tool({{"/dev/sdb", refused}}, {"/dev/sdb", "download-microcode"});
  EXPECT_EQ(1, failed.status);
  EXPECT_EQ(1u, Count(failed.out, kDmaFlow) * Count(failed.out, kPioFlow));
  EXPECT_TRUE(EndsWith(failed.out, std::string("Download Microcode failed..\n\n") + kFail)) << failed.out;
}

}  // namespace
