// download-microcode against the virtual card: the PIO fallback, the chunk
// plans of the three sub-commands, the failures, the older raw layout, and
// images that cannot be sent whole.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "SwapBench.h"

namespace swaptest {
namespace {

const char kNewVersion[] = "Q1117A01";  // the image set's default, allowed by its database

class MicrocodeFlow : public ::testing::Test {
 protected:
  void Prepare(const Args& cardArgs, const Args& setArgs = {}) {
    bench_.reset(new Bench(cardArgs));
    ASSERT_TRUE(bench_->ok());
    ASSERT_TRUE(bench_->ImageSet(setArgs));
    sectors_ = bench_->Sectors();
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
    // The drive keeps its own identity, not the image set's.
    std::string shown = e2e::Run(bench_->Path(""), {e2e::VCardPath(), "show", bench_->card()}).out;
    EXPECT_TRUE(Contains(shown, "serial     : VC3300000001\n")) << shown;
    EXPECT_TRUE(Contains(shown, "model      : QEL QC3300 Virtual SSD\n")) << shown;
    EXPECT_EQ(sectors_.substr(0, 512), e2e::ReadFile(bench_->Path("LBA0.bin")));
  }

  // Fails with `reason` before anything reaches sector 0 or the user data.
  void ExpectFailed(const e2e::RunResult& run, const std::string& reason) {
    EXPECT_EQ(1, run.status) << run.out;
    EXPECT_TRUE(Contains(run.out, reason)) << run.out;
    const char kFailureLine[] = "Download Microcode failed..\n\n\nLinux Tool:";
    EXPECT_TRUE(Contains(run.out, kFailureLine)) << run.out;
    EXPECT_EQ(run.out.find(kFailureLine), run.out.rfind(kFailureLine)) << "reported twice";
    EXPECT_TRUE(Contains(run.out, kFailBanner));
    EXPECT_TRUE(sectors_ == bench_->Sectors()) << "user sectors changed";
  }

  int TotalBlocks(int sub) const {
    int total = 0;
    for (const DownloadCommand& c : sent_) total += c.sub == sub ? c.blocks : 0;
    return total;
  }

  std::unique_ptr<Bench> bench_;
  std::string sectors_, journal_;
  std::vector<DownloadCommand> sent_;
};

// A refused DMA command closes the device; the PIO attempt opens it again and
// downloads the same image from its start.
TEST_F(MicrocodeFlow, WithoutOptionsRetriesWithPIOAfterARefusedDMACommand) {
  Prepare({"--no-dma", "--identify", "69=256"});
  e2e::RunResult run = Download({});
  ExpectSucceeded(run);
  EXPECT_TRUE(Contains(run.out, "DownloadMicrocode func fail\nDownload microcode fail(0x01)!\n"));
  ASSERT_EQ(5u, sent_.size());
  for (size_t i = 0; i < sent_.size(); ++i) {
    EXPECT_EQ(i == 0 ? 0x93 : 0x92, sent_[i].opcode);
    EXPECT_EQ(i == 0 ? 0 : static_cast<int>(i - 1) * 128, sent_[i].offset);
  }
}

// Downloads that succeed, saying `message`, with the commands the card
// received ({sub, blocks, offset}), or fail with `message` after `sent`.
struct Case {
  const char* name;
  Args card, set, option;
  bool fails;
  const char* message;
  size_t sent;
  std::vector<std::vector<int>> plan;
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class SubCommands : public MicrocodeFlow, public ::testing::WithParamInterface<Case> {};

TEST_P(SubCommands, SendTheirPlanOrStop) {
  const Case& c = GetParam();
  Prepare(c.card, c.set);
  e2e::RunResult run = Download(c.option);
  if (c.fails) ExpectFailed(run, c.message);
  else ExpectSucceeded(run);
  EXPECT_TRUE(Contains(run.out, c.message)) << run.out;
  ASSERT_EQ(c.sent, sent_.size());
  for (size_t i = 0; i < c.plan.size(); ++i) {
    EXPECT_EQ(0x92, sent_[i].opcode);
    EXPECT_EQ(c.plan[i], (std::vector<int>{sent_[i].sub, sent_[i].blocks, sent_[i].offset}));
  }
}

const Args k512 = {"--identify", "235=512"}, k1538Blocks = {"--image-size", "787456"};
INSTANTIATE_TEST_SUITE_P(Download, SubCommands, ::testing::Values(
    Case{"Mode3", {}, {}, {"Mode3"}, false, "", 4,
         {{3, 128, 0}, {3, 128, 128}, {3, 128, 256}, {3, 128, 384}}},
    Case{"NoOption_PIO_without_DMA", {"--no-dma"}, {}, {}, false,
         "DOWNLOAD MICROCODE DMA is not supported\nDownload microcode fail(0x01)!\n", 4,
         {{3, 128, 0}, {3, 128, 128}, {3, 128, 256}, {3, 128, 384}}},
    Case{"Mode3_1538_blocks_by_512", k512, k1538Blocks, {"Mode3"}, false, "", 4,
         {{3, 512, 0}, {3, 512, 512}, {3, 512, 1024}, {3, 2, 1536}}},
    // Sub-command 7 does not look at words 234 and 235.
    Case{"Mode7_word235_zero", {"--identify", "235=0"}, {}, {"Mode7"}, false, "", 1, {{7, 512, 0}}},
    Case{"ModeE_activates_once", {}, {}, {"ModeE"}, false, "", 5,
         {{14, 128, 0}, {14, 128, 128}, {14, 128, 256}, {14, 128, 384}, {15, 0, 0}}},
    Case{"DMAOnly_without_DMA", {"--no-dma"}, {}, {"DMAOnly"}, true,
         "DOWNLOAD MICROCODE DMA is not supported\nDownload microcode fail(0x01)!\n", 0, {}},
    Case{"Mode3_code2_early", {"--dm-codes", "1,2"}, {}, {"Mode3"}, true,
         "Sub CMD 0x03 Output Fail(02--Apply the new FW)\n", 2, {}},
    Case{"Mode3_code1_last", {"--dm-codes", "1,1,1,1"}, {}, {"Mode3"}, true,
         "Total ISP size fail(Expect more data)\n", 4, {}},
    Case{"Mode3_code3_last", {"--dm-codes", "1,1,1,3"}, {}, {"Mode3"}, true,
         "Sub CMD 0x03 Output Fail(03--Transfer finish)\n", 4, {}},
    Case{"Mode3_reserved_code", {"--dm-codes", "1,9"}, {}, {"Mode3"}, true,
         "Sub CMD 0x03 Output Fail(09--Reserved)\n", 2, {}},
    Case{"ModeE_code0", {"--dm-codes", "0"}, {}, {"ModeE"}, true,
         "Sub CMD 0x0E Output Fail(00--No indication)\n", 1, {}},
    Case{"ModeE_code2_last", {"--dm-codes", "1,1,1,2"}, {}, {"ModeE"}, true,
         "Sub CMD 0x0E Output Fail(02--Apply the new FW)\n", 4, {}},
    Case{"ModeE_activation_code0", {"--dm-codes", "1,1,1,3,0"}, {}, {"ModeE"}, true,
         "Sub CMD 0x0F--Apply the new FW Fail(00)\n", 5, {}},
    Case{"Mode3_word235_zero", {"--identify", "235=0"}, {}, {"Mode3"}, true,
         "Transfer size fail\nDownload microcode fail(0x01)!\n", 0, {}},
    Case{"ModeE_word235_zero", {"--identify", "235=0"}, {}, {"ModeE"}, true,
         "Transfer size fail\n", 0, {}},
    Case{"Last_chunk_below_word234", {"--identify", "235=512", "--identify", "234=4"}, k1538Blocks,
         {"Mode3"}, true, "Transfer size fail\n", 3, {}},
    Case{"Gate_refuses", {}, {"--fw-version", "Q1117A05", "--allow", "Q1117A00:Q1117A04"},
         {"Mode3"}, true, "This bin file not support your firmware!\n", 0, {}}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// The card's ISP copy holds the section bodies of what it received: the raw
// layout (converted) for firmware up to P0925A, the file itself for later ones.
TEST_F(MicrocodeFlow, OnlyRevisionsUpToP0925ATakeTheRawLayout) {
  for (bool older : {true, false}) {
    SCOPED_TRACE(older ? "P0925A" : "P0925B");
    Prepare({"--fwrev", older ? "P0925A" : "P0925B"}, {"--image-size", "526848"});
    e2e::RunResult run = Download({"Mode3"});
    ExpectSucceeded(run);
    EXPECT_EQ(older, Contains(run.out, "Change bin file rule(before than P0925A)!\n"));
    EXPECT_EQ(older ? 0xC0400 / 512 : 526848 / 512, TotalBlocks(0x03));
    const std::string image = e2e::ReadFile(bench_->SetFile("ISP3300.bin"));
    std::string expected = image.substr(0x410, 0x400) + image.substr(0x820, older ? 0x80000 : std::string::npos);
    std::string copy = e2e::ReadFile(bench_->card() + "/isp1.bin");
    ASSERT_EQ(expected.size(), copy.size());
    // The card's identity fields (WWN area, serial, model; ID table serial,
    // model, WWN and its checksum) stay the card's; every other byte is the image's.
    const size_t kIdTable = 0x400 + 0x20000;
    for (auto kept : {std::make_pair<size_t, size_t>(0x14, 28), {0x10C, 20}, {0x128, 40}, {kIdTable + 20, 20},
                      {kIdTable + 54, 40}, {kIdTable + 216, 8}, {kIdTable + 511, 1}}) {
      EXPECT_NE(expected.substr(kept.first, kept.second), copy.substr(kept.first, kept.second)) << kept.first;
      expected.replace(kept.first, kept.second, copy.substr(kept.first, kept.second));
    }
    EXPECT_TRUE(expected == copy);
  }
}

// Refused before sector 0 is read and written back or anything is sent.
TEST_F(MicrocodeFlow, ImagesThatCannotBeSentWholeAreRefused) {
  const struct {
    const char *fwrev, *imageSize, *option, *reason;
  } kCases[] = {{"P0925A", "262144", "Mode3", "too short for the raw layout"},
                {"Q1117A00", "262244", "Mode7", "(262244 bytes, not a multiple of 512 bytes)\n"}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.reason);
    Prepare({"--fwrev", c.fwrev}, {"--image-size", c.imageSize});
    ExpectFailed(Download({c.option}), c.reason);
    EXPECT_FALSE(Contains(journal_, "DOWNLOAD MICROCODE"));
    EXPECT_FALSE(Contains(journal_, "cmd=0x30 feat=0x00 count=1 lba=0x0 "));
  }
}

// Nothing passes but the right card: a damaged image and a link planted
// for "LBA0.bin" are refused before anything is sent; a drive that replaces
// its identity with the image's is reported, naming the field.
TEST_F(MicrocodeFlow, OnlyTheRightCardPasses) {
  enum Setup { kDamagedImage, kPlantedLink, kDriveTakesIdentity };
  const struct {
    Setup setup;
    Args options;
    const char* reason;
    bool sends;
  } kCases[] = {
      {kDamagedImage, {"Mode3"}, "ISP file digest mismatch! ./REGBIN/3300/ISP3300.bin\n", false},
      {kPlantedLink, {"Mode3"}, "Cannot write LBA0.bin: Too many levels of symbolic links\n", false},
      {kDriveTakesIdentity, {"Mode3"},
       "Identity check fail! serial number is <IMG3300000001>, expected <VC3300000001>\n", true},
      // The PIO attempt after a failed DMA one keeps the identity the card
      // had before the first, not the one the DMA attempt left.
      {kDriveTakesIdentity, {},
       "Identity check fail! serial number is <IMG3300000001>, expected <VC3300000001>\n", true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.reason);
    Prepare(c.setup == kDriveTakesIdentity ? Args{"--dm-takes-identity"} : Args{});
    if (c.setup == kDamagedImage) {
      std::string image = e2e::ReadFile(bench_->SetFile("ISP3300.bin"));
      image[0x900] ^= 0x01;
      e2e::WriteFile(bench_->SetFile("ISP3300.bin"), image);
    }
    if (c.setup == kPlantedLink) {
      e2e::WriteFile(bench_->Path("victim"), "keep");
      ASSERT_EQ(0, symlink("victim", bench_->Path("LBA0.bin").c_str()));
    }
    e2e::RunResult run = Download(c.options);
    if (c.setup == kPlantedLink) {
      // Refused before the flow starts: the reason and the failure banner.
      EXPECT_EQ(1, run.status);
      EXPECT_TRUE(Contains(run.out, std::string(c.reason) + "\nLinux Tool:")) << run.out;
      EXPECT_EQ("keep", e2e::ReadFile(bench_->Path("victim")));
    } else {
      ExpectFailed(run, c.reason);
    }
    EXPECT_EQ(c.sends, Contains(journal_, "DOWNLOAD MICROCODE"));
  }
}

}  // namespace
}  // namespace swaptest
