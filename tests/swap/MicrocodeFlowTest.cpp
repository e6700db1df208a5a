// download-microcode against the virtual card: the PIO fallback, the chunk
// plans of the three sub-commands, the failures, the older raw layout, and
// images that cannot be sent whole.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "SwapBench.h"

namespace swaptest {
namespace {

using Args = std::vector<std::string>;

const char kNewVersion[] = "Q1117A01";  // the image set's default, allowed by its database
const char kDmaBanner[] = "***** Download MicroCode flow(DMA) ******\n";
const char kPioBanner[] = "******  Download MicroCode flow  ********\n";
const char kFlowFailed[] = "Download microcode fail(0x01)!\n";

class MicrocodeFlow : public ::testing::Test {
 protected:
  void Prepare(const Args& cardArgs, const Args& setArgs = {}) {
    bench_.reset(new Bench(cardArgs));
    ASSERT_TRUE(bench_->ok());
    ASSERT_TRUE(bench_->ImageSet(setArgs));
    sector0_ = e2e::ReadFile(bench_->card() + "/sectors.img").substr(0, 512);
    sectorsBefore_ = bench_->SectorsDigest();
    bench_->TakeJournal();
  }

  e2e::RunResult Download(const Args& options) {
    Args args = {"download-microcode"};
    args.insert(args.end(), options.begin(), options.end());
    e2e::RunResult run = bench_->Tool(args);
    journal_ = bench_->TakeJournal();
    sent_ = DownloadCommands(journal_);
    return run;
  }

  void ExpectSucceeded(const e2e::RunResult& run) {
    EXPECT_EQ(0, run.status) << run.out;
    EXPECT_TRUE(Contains(run.out, kPassBanner));
    EXPECT_EQ(std::string(kNewVersion) + " / " + kNewVersion, bench_->IspCopies());
    EXPECT_EQ(sector0_, e2e::ReadFile(bench_->Path("LBA0.bin")));
  }

  // Fails with `reason`; sector 0 and the user data are as they were.
  void ExpectFailed(const e2e::RunResult& run, const std::string& reason) {
    EXPECT_EQ(1, run.status) << run.out;
    EXPECT_TRUE(Contains(run.out, reason)) << run.out;
    EXPECT_TRUE(Contains(run.out, "Download Microcode failed..\n\n\nLinux Tool:")) << run.out;
    EXPECT_TRUE(Contains(run.out, kFailBanner));
    EXPECT_EQ(sectorsBefore_, bench_->SectorsDigest());
  }

  int TotalBlocks(int sub) const {
    int total = 0;
    for (const DownloadCommand& c : sent_) total += c.sub == sub ? c.blocks : 0;
    return total;
  }

  std::unique_ptr<Bench> bench_;
  std::string sector0_, journal_;
  std::vector<DownloadCommand> sent_;
  uint64_t sectorsBefore_ = 0;
};

TEST_F(MicrocodeFlow, WithoutOptionsFallsBackToPIOWhenTheCardLacksDMA) {
  Prepare({"--no-dma"});
  e2e::RunResult run = Download({});
  ExpectSucceeded(run);
  const size_t pio = run.out.find(kPioBanner);
  EXPECT_LT(run.out.find(kDmaBanner), pio);
  EXPECT_LT(run.out.find("DOWNLOAD MICROCODE DMA is not supported\n"), pio);
  EXPECT_FALSE(Contains(journal_, "cmd=0x93"));
  EXPECT_EQ(512, TotalBlocks(0x03));
}

// A refused DMA command closes the device; the PIO attempt opens it again and
// downloads the same image from its start.
TEST_F(MicrocodeFlow, WithoutOptionsRetriesWithPIOAfterARefusedDMACommand) {
  Prepare({"--no-dma", "--identify", "69=256"});
  e2e::RunResult run = Download({});
  ExpectSucceeded(run);
  EXPECT_TRUE(Contains(run.out, std::string("DownloadMicrocode func fail\n") + kFlowFailed));
  EXPECT_EQ(1u, Count(journal_, "cmd=0x93"));
  // The refused DMA chunk, then the whole image again by PIO from offset 0.
  ASSERT_EQ(5u, sent_.size());
  EXPECT_EQ(0x93, sent_[0].opcode);
  for (size_t i = 1; i < sent_.size(); ++i) {
    EXPECT_EQ(0x92, sent_[i].opcode);
    EXPECT_EQ(static_cast<int>(i - 1) * 128, sent_[i].offset);
  }
}

// Successful downloads and the commands the card received: {sub, blocks, offset}.
struct Plan {
  const char* name;
  Args card, set, options;
  std::vector<std::vector<int>> commands;
};
void PrintTo(const Plan& plan, std::ostream* os) { *os << plan.name; }

class Plans : public MicrocodeFlow, public ::testing::WithParamInterface<Plan> {};

TEST_P(Plans, SendTheExpectedCommands) {
  Prepare(GetParam().card, GetParam().set);
  ExpectSucceeded(Download(GetParam().options));
  ASSERT_EQ(GetParam().commands.size(), sent_.size());
  for (size_t i = 0; i < sent_.size(); ++i) {
    EXPECT_EQ(0x92, sent_[i].opcode);
    EXPECT_EQ(GetParam().commands[i],
              (std::vector<int>{sent_[i].sub, sent_[i].blocks, sent_[i].offset}));
  }
}

INSTANTIATE_TEST_SUITE_P(
    SubCommands, Plans,
    ::testing::Values(
        Plan{"Mode3",
             {},
             {},
             {"Mode3"},
             {{3, 128, 0}, {3, 128, 128}, {3, 128, 256}, {3, 128, 384}}},
        Plan{"Mode3_1538_blocks_by_512",
             {"--identify", "235=512"},
             {"--image-size", "787456"},
             {"Mode3"},
             {{3, 512, 0}, {3, 512, 512}, {3, 512, 1024}, {3, 2, 1536}}},
        // Sub-command 7 does not look at words 234 and 235.
        Plan{"Mode7_word235_zero", {"--identify", "235=0"}, {}, {"Mode7"}, {{7, 512, 0}}},
        Plan{"ModeE_activates_once",
             {},
             {},
             {"ModeE"},
             {{14, 128, 0}, {14, 128, 128}, {14, 128, 256}, {14, 128, 384}, {15, 0, 0}}}),
    [](const ::testing::TestParamInfo<Plan>& info) { return std::string(info.param.name); });

// Failures: the messages and how many commands went out before them.
struct Failure {
  const char* name;
  Args card, set, options;
  const char* message;
  size_t commands;
};
void PrintTo(const Failure& failure, std::ostream* os) { *os << failure.name; }

class Failures : public MicrocodeFlow, public ::testing::WithParamInterface<Failure> {};

TEST_P(Failures, StopTheDownload) {
  Prepare(GetParam().card, GetParam().set);
  e2e::RunResult run = Download(GetParam().options);
  ExpectFailed(run, GetParam().message);
  EXPECT_EQ(GetParam().commands, sent_.size());
  EXPECT_EQ(1u, Count(run.out, "Download Microcode failed..")) << run.out;
}

INSTANTIATE_TEST_SUITE_P(
    Download, Failures,
    ::testing::Values(
        Failure{"DMAOnly_without_DMA", {"--no-dma"}, {}, {"DMAOnly"},
                "DOWNLOAD MICROCODE DMA is not supported\nDownload microcode fail(0x01)!\n", 0},
        Failure{"Mode3_code2_early", {"--dm-codes", "1,2"}, {}, {"Mode3"},
                "Sub CMD 0x03 Output Fail(02--Apply the new FW)\n", 2},
        Failure{"Mode3_code1_last", {"--dm-codes", "1,1,1,1"}, {}, {"Mode3"},
                "Total ISP size fail(Expect more data)\n", 4},
        Failure{"Mode3_code3_last", {"--dm-codes", "1,1,1,3"}, {}, {"Mode3"},
                "Sub CMD 0x03 Output Fail(03--Transfer finish)\n", 4},
        Failure{"Mode3_reserved_code", {"--dm-codes", "1,9"}, {}, {"Mode3"},
                "Sub CMD 0x03 Output Fail(09--Reserved)\n", 2},
        Failure{"ModeE_code0", {"--dm-codes", "0"}, {}, {"ModeE"},
                "Sub CMD 0x0E Output Fail(00--No indication)\n", 1},
        Failure{"ModeE_code2_last", {"--dm-codes", "1,1,1,2"}, {}, {"ModeE"},
                "Sub CMD 0x0E Output Fail(02--Apply the new FW)\n", 4},
        Failure{"ModeE_activation_code0", {"--dm-codes", "1,1,1,3,0"}, {}, {"ModeE"},
                "Sub CMD 0x0F--Apply the new FW Fail(00)\n", 5},
        Failure{"Mode3_word235_zero", {"--identify", "235=0"}, {}, {"Mode3"},
                "Transfer size fail\nDownload microcode fail(0x01)!\n", 0},
        Failure{"ModeE_word235_zero", {"--identify", "235=0"}, {}, {"ModeE"},
                "Transfer size fail\n", 0},
        Failure{"Last_chunk_below_word234", {"--identify", "235=512", "--identify", "234=4"},
                {"--image-size", "787456"}, {"Mode3"}, "Transfer size fail\n", 3},
        Failure{"Gate_refuses", {}, {"--fw-version", "Q1117A05", "--allow", "Q1117A00:Q1117A04"},
                {"Mode3"}, "This bin file not support your firmware!\n", 0}),
    [](const ::testing::TestParamInfo<Failure>& info) { return std::string(info.param.name); });

// The card's ISP copy holds the section bodies of what it received: the raw
// layout for firmware up to P0925A, the file itself for later firmware.
const char kSourceImageSize[] = "526848";  // 0x80820 rounded up to whole blocks

TEST_F(MicrocodeFlow, RevisionP0925ATakesTheRawLayout) {
  Prepare({"--fwrev", "P0925A"}, {"--image-size", kSourceImageSize});
  e2e::RunResult run = Download({"Mode3"});
  ExpectSucceeded(run);
  EXPECT_TRUE(Contains(run.out, "Change bin file rule(before than P0925A)!\n"));
  EXPECT_EQ(0xC0400 / 512, TotalBlocks(0x03));
  const std::string image = e2e::ReadFile(bench_->SetFile("ISP3300.bin"));
  EXPECT_EQ(image.substr(0x410, 0x400) + image.substr(0x820, 0x80000),
            e2e::ReadFile(bench_->card() + "/isp1.bin"));
}

TEST_F(MicrocodeFlow, LaterRevisionSendsTheFileUnchanged) {
  Prepare({"--fwrev", "P0925B"}, {"--image-size", kSourceImageSize});
  e2e::RunResult run = Download({"Mode3"});
  ExpectSucceeded(run);
  EXPECT_FALSE(Contains(run.out, "Change bin file rule"));
  EXPECT_EQ(526848 / 512, TotalBlocks(0x03));
  const std::string image = e2e::ReadFile(bench_->SetFile("ISP3300.bin"));
  EXPECT_EQ(image.substr(0x410, 0x400) + image.substr(0x820),
            e2e::ReadFile(bench_->card() + "/isp1.bin"));
}

// Refused before sector 0 is read and written back or anything is sent.
TEST_F(MicrocodeFlow, ImagesThatCannotBeSentWholeAreRefused) {
  const char kSector0Write[] = "cmd=0x30 feat=0x00 count=1 lba=0x0 ";
  Prepare({"--fwrev", "P0925A"});
  ExpectFailed(Download({"Mode3"}), "too short for the raw layout");
  EXPECT_FALSE(Contains(journal_, "DOWNLOAD MICROCODE"));
  EXPECT_FALSE(Contains(journal_, kSector0Write));

  const Args set = {e2e::VCardPath(), "set", bench_->card(), "--fwrev", "Q1117A00"};
  ASSERT_EQ(0, e2e::Run(".", set).status);
  ASSERT_TRUE(bench_->ImageSet({"--image-size", "262244"}));
  ExpectFailed(Download({"Mode7"}), "(262244 bytes, not a multiple of 512 bytes)\n");
  EXPECT_FALSE(Contains(journal_, "DOWNLOAD MICROCODE"));
  EXPECT_FALSE(Contains(journal_, kSector0Write));
}

}  // namespace
}  // namespace swaptest
