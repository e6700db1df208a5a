// One run per working folder and per card, stop signals that wait for the
// card, and the same command finishing what a killed run left: the built
// tool against virtual cards, judged by what the cards hold afterwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "E2E.h"

namespace {

using Args = std::vector<std::string>;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A tool run in the background, in a process group of its own (a dropped
// session signals the whole group), its output on a pipe.
class Background {
 public:
  Background(const std::string& cwd, const std::string& card, const Args& words) {
    Args argv = {e2e::VCardPath(), "run", "--card", "/dev/sdb=" + card, "--", e2e::ToolPath(),
                 "/dev/sdb"};
    argv.insert(argv.end(), words.begin(), words.end());
    int null = open("/dev/null", O_RDONLY);
    pid_ = e2e::Spawn(cwd, argv, null, true, &out_);
    close(null);
  }
  ~Background() { Finish(); }

  // Reads the output until it holds `text` (false when the run ended first).
  bool ReadUntil(const std::string& text) {
    char chunk[4096];
    ssize_t n;
    while (!Contains(output_, text) && (n = read(out_, chunk, sizeof chunk)) > 0) output_.append(chunk, n);
    return Contains(output_, text);
  }
  void CloseOutput() {
    close(out_);
    out_ = -1;
  }
  void SignalGroup(int signal) { kill(-pid_, signal); }
  // The exit status of "qelvcard run" (the tool's, or 128 + a signal).
  int Finish() {
    if (pid_ <= 0) return -1;
    ReadUntil("\x01never");
    if (out_ >= 0) close(out_);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
  }
  const std::string& output() const { return output_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1, status_ = -1;
  std::string output_;
};

class RunGuard : public ::testing::Test {
 protected:
  void SetUp() override { root_ = e2e::MakeTempDir("runguard"); }
  void TearDown() override { e2e::RemoveTree(root_); }

  // A card with its own serial number and, in folder `work`, an image set
  // that may replace its firmware.
  std::string Card(const std::string& serial, const std::string& work) {
    std::string card = root_ + "/" + serial;
    EXPECT_EQ(0, e2e::CreateCard(card, {"--serial", serial, "--capacity", "65536"}).status);
    mkdir((root_ + "/" + work).c_str(), 0755);
    EXPECT_EQ(0, e2e::Run(root_, {e2e::VCardPath(), "imageset", card, work, "--fw-version",
                                  "Q1117A05", "--allow", "Q1117A00:Q1117A05"}).status);
    return card;
  }
  std::string Folder(const std::string& work) { return root_ + "/" + work; }
  // What the card answers after the run: its serial number and firmware.
  std::string Shown(const std::string& card) {
    std::string out = e2e::RunTool(root_, {{"/dev/sdb", card}}, {"/dev/sdb", "showIDinfo"}).out;
    size_t from = out.find("  Serial Number");
    return from == std::string::npos ? out : out.substr(from, out.find("\n\n", from) + 1 - from);
  }
  // keepsn keeps the serial number alone; update keeps the model name too.
  static std::string Expected(const std::string& serial, const char* model = "Image") {
    return "  Serial Number    : " + serial + "\n  Model Name       : QEL QC3300 " + model +
           " SSD\n  Firmware Version : Q1117A05\n";
  }
  // Waits (at most 60 s) until the card has carried out `note`.
  static bool CardDid(const std::string& card, const std::string& note) {
    for (int i = 0; i < 6000; ++i, usleep(10000)) {
      if (Contains(e2e::ReadFile(card + "/journal.log"), note)) return true;
    }
    return false;
  }

  std::string root_;
};

const char kForcedRom[] = "ResetCPU rom=1";

TEST_F(RunGuard, OneRunPerFolderAndPerCard) {
  const std::string a = Card("CARDA0001", "one"), b = Card("CARDB0002", "two");
  {
    Background first(Folder("one"), a, {"keepsn"});
    ASSERT_TRUE(CardDid(a, kForcedRom));
    // The same folder: refused before anything is deleted or written.
    const std::string log = e2e::ReadFile(Folder("one") + "/Display.log");
    e2e::RunResult sameFolder = e2e::RunTool(Folder("one"), {{"/dev/sdb", b}}, {"/dev/sdb", "keepsn"});
    EXPECT_EQ(1, sameFolder.status);
    EXPECT_TRUE(Contains(sameFolder.out, "Another run is using this working folder (")) << sameFolder.out;
    EXPECT_TRUE(e2e::ReadFile(b + "/journal.log").empty()) << "the refused run reached its card";
    EXPECT_TRUE(Contains(e2e::ReadFile(Folder("one") + "/Display.log"), log));
    // The same card from another folder: refused at its device.
    e2e::RunResult sameCard = e2e::RunTool(Folder("two"), {{"/dev/sdb", a}}, {"/dev/sdb", "keepsn"});
    EXPECT_EQ(1, sameCard.status);
    EXPECT_TRUE(Contains(sameCard.out, "Device /dev/sdb is busy: another run or a mounted file system holds it!\n"))
        << sameCard.out;
    EXPECT_EQ(0, first.Finish()) << first.output();
  }
  // Two folders, two cards, at once: each keeps its own identity.
  Background one(Folder("one"), a, {"update"}), two(Folder("two"), b, {"update"});
  EXPECT_EQ(0, one.Finish()) << one.output();
  EXPECT_EQ(0, two.Finish()) << two.output();
  EXPECT_EQ(Expected("CARDA0001"), Shown(a));
  EXPECT_EQ(Expected("CARDB0002", "Virtual"), Shown(b));
}

// A dropped session (SIGHUP to the group) or a closed pipe right after the
// card left its firmware: the programming is finished first, and the card
// runs its firmware with its own identity.
TEST_F(RunGuard, StopSignalsWaitForTheCard) {
  const std::string card = Card("CARDC0003", "three");
  {
    Background hangup(Folder("three"), card, {"keepsn"});
    ASSERT_TRUE(CardDid(card, kForcedRom));
    hangup.SignalGroup(SIGHUP);
    hangup.Finish();
    const std::string log = e2e::ReadFile(Folder("three") + "/Display.log");
    EXPECT_TRUE(Contains(log, "Stopped by SIGHUP: the card was brought back to its firmware first.\n"
                              "Initial card failed..\n")) << log;
    EXPECT_EQ(Expected("CARDC0003"), Shown(card));
  }
  Background piped(Folder("three"), card, {"keepsn"});
  ASSERT_TRUE(piped.ReadUntil("Force ROM Mode"));
  piped.CloseOutput();
  EXPECT_EQ(0, piped.Finish());
  EXPECT_TRUE(Contains(e2e::ReadFile(Folder("three") + "/Display.log"),
                       "Total Process finished,the result is Pass"));
  EXPECT_EQ(Expected("CARDC0003"), Shown(card));
}

// A run killed with the card in its boot ROM: the same command again brings
// the card back and finishes with the card's own identity.
TEST_F(RunGuard, TheSameCommandFinishesAKilledRun) {
  const std::string card = Card("CARDD0004", "four");
  const std::string journal = e2e::ReadFile(card + "/journal.log");
  Background probe(Folder("four"), card, {"keepsn"});
  ASSERT_EQ(0, probe.Finish());
  // Index of the forced reset into the boot ROM in a clean run.
  const std::string clean = e2e::ReadFile(card + "/journal.log").substr(journal.size());
  size_t at = clean.find(kForcedRom);
  ASSERT_NE(std::string::npos, at);
  const std::string index = std::to_string(atoi(clean.c_str() + clean.rfind('\n', at) + 1));
  for (const char* how : {"--kill-at", "--power-cut-at"}) {
    ASSERT_EQ(0, e2e::Run(root_, {e2e::VCardPath(), "set", card, how, index}).status);
    EXPECT_EQ(128 + SIGKILL, e2e::RunTool(Folder("four"), {{"/dev/sdb", card}}, {"/dev/sdb", "keepsn"}).status)
        << how;
    ASSERT_EQ(0, e2e::Run(root_, {e2e::VCardPath(), "set", card, "--clear-faults"}).status);
    e2e::RunResult again = e2e::RunTool(Folder("four"), {{"/dev/sdb", card}}, {"/dev/sdb", "keepsn"});
    EXPECT_EQ(0, again.status) << how << again.out;
    EXPECT_EQ(Expected("CARDD0004"), Shown(card)) << how;
  }
}

}  // namespace
