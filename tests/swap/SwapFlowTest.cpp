// update, update_1, swap and swap_1 against the virtual card: the version
// gate's outcomes, both write forms, the ISP-mode requirement, and the card's
// identity after the new firmware runs.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "SwapBench.h"

namespace swaptest {
namespace {

struct SwapCommand {
  const char* word;
  const char* failureLine;
  bool modelFromImage;  // update_1 takes the image's model name
};

const SwapCommand kCommands[] = {
    {"update", "Update failed..\n\n", false},
    {"update_1", "Update_1 failed..\n\n", true},
    {"swap", "Swap failed..\n\n", false},
    {"swap_1", "Swap_1 failed..\n\n", false},
};

const char kCardSerial[] = "CARDSN0001";
const char kCardModel[] = "QEL Card Model";
const char kImageSerial[] = "IMAGESN0002";
const char kImageModel[] = "QEL Image Model";

void PrintTo(const SwapCommand& command, std::ostream* os) { *os << command.word; }

class SwapFlow : public ::testing::TestWithParam<SwapCommand> {
 protected:
  // A card holding kCardVersion with its own identity, and an image set of
  // `version` with another identity.
  void Prepare(const std::string& version, const std::vector<std::string>& cardArgs,
               const std::vector<std::string>& setArgs) {
    std::vector<std::string> card = {"--serial", kCardSerial, "--model", kCardModel};
    card.insert(card.end(), cardArgs.begin(), cardArgs.end());
    bench_.reset(new Bench(card));
    ASSERT_TRUE(bench_->ok());
    std::vector<std::string> set = {"--fw-version", version, "--serial", kImageSerial,
                                    "--model", kImageModel};
    set.insert(set.end(), setArgs.begin(), setArgs.end());
    ASSERT_TRUE(bench_->ImageSet(set));
    sectorsBefore_ = bench_->SectorsDigest();
    bench_->TakeJournal();
  }

  void ExpectWritten(const std::string& version, const char* flashTag) {
    e2e::RunResult run = bench_->Tool({GetParam().word});
    EXPECT_EQ(0, run.status) << run.out;
    EXPECT_TRUE(Contains(run.out, kPassBanner));
    EXPECT_TRUE(Contains(run.out, std::string("ISPMode:2 <") + flashTag + ">\n")) << run.out;
    EXPECT_EQ(version + " / " + version, bench_->IspCopies());

    Identity id = bench_->ShowIdentity();
    EXPECT_EQ(kCardSerial, id.serial);
    EXPECT_EQ(GetParam().modelFromImage ? kImageModel : kCardModel, id.model);
    EXPECT_EQ(version, id.firmware);
  }

  // The run fails with `reason`, the card keeps its firmware and user data.
  void ExpectRefused(const std::string& reason) {
    e2e::RunResult run = bench_->Tool({GetParam().word});
    EXPECT_EQ(1, run.status) << run.out;
    EXPECT_TRUE(Contains(run.out, reason)) << run.out;
    const std::string failure = std::string(GetParam().failureLine) + "\nLinux Tool:";
    EXPECT_TRUE(Contains(run.out, failure)) << run.out;
    EXPECT_TRUE(Contains(run.out, kFailBanner));
    EXPECT_FALSE(Contains(bench_->TakeJournal(), "WriteMPISPData"));
    EXPECT_EQ(sectorsBefore_, bench_->SectorsDigest());
  }

  std::unique_ptr<Bench> bench_;
  uint64_t sectorsBefore_ = 0;
};

TEST_P(SwapFlow, EqualVersionsNeedNoDatabase) {
  Prepare(kCardVersion, {}, {"--no-fwverdb"});
  ExpectWritten(kCardVersion, "L06B");
}

TEST_P(SwapFlow, AllowedMoveWritesTheBareBodiesOnL06B) {
  Prepare("Q1117A05", {}, {"--allow", "Q1117A00:Q1117A05"});
  ExpectWritten("Q1117A05", "L06B");
}

TEST_P(SwapFlow, AllowedMoveWritesTheWholeImageOnB0KB) {
  Prepare("Q1117A05", {"--flash-type", "B0KB"}, {"--allow", "Q1117A00:Q1117A05"});
  ExpectWritten("Q1117A05", "B0KB");
}

TEST_P(SwapFlow, CardVersionNotListed) {
  Prepare("Q1117A05", {}, {"--allow", "Q1117A03:Q1117A05"});
  ExpectRefused("Not found <Q1117A00> information in FWVerDB.ini!\n");
  EXPECT_EQ("Q1117A00 / Q1117A00", bench_->IspCopies());
}

TEST_P(SwapFlow, ImageVersionNotAllowed) {
  Prepare("Q1117A05", {}, {"--allow", "Q1117A00:Q1117A04"});
  ExpectRefused("This bin file not support your firmware!\n");
}

TEST_P(SwapFlow, MissingDatabase) {
  Prepare("Q1117A05", {}, {"--no-fwverdb"});
  ExpectRefused("REGBIN/3300/FWVerDB.ini not exist!\n");
}

TEST_P(SwapFlow, OnlyForTheISPFirmware) {
  Prepare(kCardVersion, {"--mode", "mpisp"}, {"--no-fwverdb"});
  ExpectRefused("ISPMode:1\nThis flow only for ISP mode device!\n");
}

INSTANTIATE_TEST_SUITE_P(Commands, SwapFlow, ::testing::ValuesIn(kCommands),
                         [](const ::testing::TestParamInfo<SwapCommand>& info) {
                           return std::string(info.param.word);
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

}  // namespace
}  // namespace swaptest
