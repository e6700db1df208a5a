// update, update_1, swap and swap_1 against the virtual card: the version
// gate's outcomes, both write forms, the ISP-mode requirement, and the card's
// identity after the new firmware runs.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <ostream>
#include <string>
#include <tuple>

#include "SwapBench.h"

namespace swaptest {
namespace {

struct SwapCommand {
  const char* word;
  const char* failureLine;
  bool modelFromImage;  // update_1 takes the image's model name
};

// A card holding Q1117A00 and an image set of `version`. Runs with no
// `reason` write the image (`flashTag` is the form); the others are refused.
struct SwapCase {
  const char* name;
  const char* version;
  Args card, set;
  const char* flashTag;
  const char* reason;
};

void PrintTo(const SwapCommand& command, std::ostream* os) { *os << command.word; }
void PrintTo(const SwapCase& c, std::ostream* os) { *os << c.name; }

const SwapCommand kCommands[] = {
    {"update", "Update failed..\n\n", false},
    {"update_1", "Update_1 failed..\n\n", true},
    {"swap", "Swap failed..\n\n", false},
    {"swap_1", "Swap_1 failed..\n\n", false},
};

const SwapCase kCases[] = {
    {"EqualVersionsNeedNoDatabase", "Q1117A00", {}, {"--no-fwverdb"}, "L06B", nullptr},
    {"AllowedMoveStrippedOnL06B", "Q1117A05", {}, {"--allow", "Q1117A00:Q1117A05"}, "L06B",
     nullptr},
    {"AllowedMoveWholeOnB0KB", "Q1117A05", {"--flash-type", "B0KB"},
     {"--allow", "Q1117A00:Q1117A05"}, "B0KB", nullptr},
    {"CardVersionNotListed", "Q1117A05", {}, {"--allow", "Q1117A03:Q1117A05"}, nullptr,
     "Not found <Q1117A00> information in FWVerDB.ini!\n"},
    {"ImageVersionNotAllowed", "Q1117A05", {}, {"--allow", "Q1117A00:Q1117A04"}, nullptr,
     "This bin file not support your firmware!\n"},
    {"MissingDatabase", "Q1117A05", {}, {"--no-fwverdb"}, nullptr,
     "REGBIN/3300/FWVerDB.ini not exist!\n"},
    {"OnlyForTheISPFirmware", "Q1117A00", {"--mode", "mpisp"}, {"--no-fwverdb"}, nullptr,
     "Restart ISP firmware...................\n"
     "Reset CPU .............................\nDone\nISPMode:0\nISPMode:0\n"
     "This flow only for ISP mode device!\n"},
};

class SwapFlow : public ::testing::TestWithParam<std::tuple<SwapCommand, SwapCase>> {};

TEST_P(SwapFlow, WritesOrRefuses) {
  const SwapCommand& command = std::get<0>(GetParam());
  const SwapCase& c = std::get<1>(GetParam());
  Args card = {"--serial", "CARDSN0001", "--model", "QEL Card Model"};
  card.insert(card.end(), c.card.begin(), c.card.end());
  Bench bench(card);
  ASSERT_TRUE(bench.ok());
  Args set = {"--fw-version", c.version, "--serial", "IMAGESN0002", "--model", "QEL Image Model"};
  set.insert(set.end(), c.set.begin(), c.set.end());
  ASSERT_TRUE(bench.ImageSet(set));
  const std::string sectors = bench.Sectors(), copies = bench.IspCopies();
  bench.TakeJournal();

  e2e::RunResult run = bench.Tool({command.word});
  if (c.reason == nullptr) {
    EXPECT_EQ(0, run.status) << run.out;
    EXPECT_TRUE(Contains(run.out, kPassBanner));
    EXPECT_TRUE(Contains(run.out, std::string("ISPMode:2 <") + c.flashTag + ">\n")) << run.out;
    // The mode line follows the gate's verdict on a card in its firmware.
    EXPECT_TRUE(Contains(run.out, "\nSuccess\nISPMode:2\nChecking Flash ID")) << run.out;
    EXPECT_EQ(std::string(c.version) + " / " + c.version, bench.IspCopies());
    // The card's serial number is carried over; update_1 takes the image's model.
    const std::string id = bench.Tool({"showIDinfo"}).out;
    EXPECT_TRUE(Contains(id, "  Serial Number    : CARDSN0001\n")) << id;
    EXPECT_TRUE(Contains(id, std::string("  Model Name       : QEL ") +
                                 (command.modelFromImage ? "Image" : "Card") + " Model\n"))
        << id;
    EXPECT_TRUE(Contains(id, std::string("  Firmware Version : ") + c.version + "\n")) << id;
  } else {
    EXPECT_EQ(1, run.status) << run.out;
    EXPECT_TRUE(Contains(run.out, c.reason)) << run.out;
    EXPECT_TRUE(Contains(run.out, std::string(command.failureLine) + "\nLinux Tool:")) << run.out;
    EXPECT_TRUE(Contains(run.out, kFailBanner));
    EXPECT_FALSE(Contains(bench.TakeJournal(), "WriteMPISPData"));
    EXPECT_TRUE(sectors == bench.Sectors()) << "user sectors changed";
    EXPECT_EQ(copies, bench.IspCopies());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Commands, SwapFlow, ::testing::Combine(::testing::ValuesIn(kCommands), ::testing::ValuesIn(kCases)),
    [](const ::testing::TestParamInfo<SwapFlow::ParamType>& info) {
      return std::string(std::get<0>(info.param).word) + "_" + std::get<1>(info.param).name;
    });

// The swap/update commands read the SWAP_ tables, download-microcode the
// UPDATE_ tables of the same database.
TEST(VersionGate, EachFlowReadsItsOwnTables) {
  Bench bench;
  ASSERT_TRUE(bench.ok());
  ASSERT_TRUE(bench.ImageSet({"--fw-version", "Q1117A05"}));
  e2e::WriteFile(bench.SetFile("FWVerDB.ini"),
                 "[SWAP_FWTable]\nFWVer_1=Q1117A00\n\n[SWAP_Q1117A00]\nFWSupportVer_1=Q1117A04\n\n"
                 "[UPDATE_FWTable]\nFWVer_1=Q1117A09\nFWVer_2=Q1117A00\n\n"
                 "[UPDATE_Q1117A00]\nFWSupportVer_1=Q1117A05\n");
  e2e::RunResult update = bench.Tool({"update"});
  EXPECT_EQ(1, update.status);
  EXPECT_TRUE(Contains(update.out, "This bin file not support your firmware!\n")) << update.out;
  e2e::RunResult download = bench.Tool({"download-microcode", "Mode7"});
  EXPECT_EQ(0, download.status) << download.out;
  EXPECT_EQ("Q1117A05 / Q1117A05", bench.IspCopies());
}

// Index of the command that opens the first vendor exchange after the reset
// into the new firmware: the first flash ID poll.
int FirstPollAfterReset(const std::string& journal) {
  size_t reset = journal.rfind("ResetCPU rom=0");
  size_t unlock = journal.find("unlock 1/6", reset);
  if (reset == std::string::npos || unlock == std::string::npos) return -1;
  size_t lineStart = journal.rfind('\n', unlock) + 1;
  return atoi(journal.c_str() + lineStart);
}

// Only an answer after the reset tells what the card runs: when the first
// poll is refused (which closes the device), the run asks again on a reopened
// device and passes on that answer, never on the table read before.
TEST(AfterTheReset, TheCardMustAnswerAgain) {
  for (const char* word : {"update", "keepsn"}) {
    Bench bench({"--serial", "CARDSN0001"});
    ASSERT_TRUE(bench.ok());
    ASSERT_TRUE(bench.ImageSet({"--fw-version", "Q1117A05", "--allow", "Q1117A00:Q1117A05"}));
    const std::string pristine = bench.Path("pristine");
    ASSERT_EQ(0, e2e::Run("/", {"/bin/cp", "-a", bench.card(), pristine}).status);
    ASSERT_EQ(0, bench.Tool({word}).status) << word;
    const int poll = FirstPollAfterReset(bench.TakeJournal());
    ASSERT_GT(poll, 0) << word;

    e2e::RemoveTree(bench.card());
    ASSERT_EQ(0, e2e::Run("/", {"/bin/cp", "-a", pristine, bench.card()}).status);
    ASSERT_EQ(0, e2e::Run("/", {e2e::VCardPath(), "set", bench.card(), "--fail-cmd",
                                std::to_string(poll)}).status);
    e2e::RunResult run = bench.Tool({word});
    EXPECT_EQ(0, run.status) << word << run.out;
    EXPECT_TRUE(Contains(e2e::ReadFile(bench.card() + "/journal.log"), "injected error")) << word;
    EXPECT_EQ("Q1117A05 / Q1117A05", bench.IspCopies()) << word;
    const std::string id = bench.Tool({"showIDinfo"}).out;
    EXPECT_TRUE(Contains(id, "  Serial Number    : CARDSN0001\n")) << id;
  }
}

}  // namespace
}  // namespace swaptest
