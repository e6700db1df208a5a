// The DOWNLOAD MICROCODE driver: capability checks, chunking, completion
// codes and activation, through SSDCMD::DMicrocodeChk and its outcome.
#include <memory>

#include "MicrocodeDownload.h"
#include "TransportTest.h"

namespace {

using Microcode = OpenCardTest;

// The disk answers the DOWNLOAD MICROCODE commands with these completion
// codes in turn; -1 fails the command (ERR).
void AnswerCodes(std::vector<int> codes) {
  auto queue = std::make_shared<std::vector<int>>(std::move(codes));
  auto next = std::make_shared<size_t>(0);
  Disk().script = [queue, next](size_t, const SgCall& c, SgAnswer& a) {
    if (c.cdb[14] != 0x92 && c.cdb[14] != 0x93) return;
    int code = *next < queue->size() ? (*queue)[(*next)++] : 0;
    a.sense = code < 0 ? DescriptorSense(0x04, 0, 0xE0, 0x51)
                       : DescriptorSense(0, static_cast<unsigned char>(code), 0xE0, 0x50);
  };
}

struct Chunk {
  int sub, offset, blocks;
};

std::vector<Chunk> Downloads() {
  std::vector<Chunk> chunks;
  for (const SgCall& c : Disk().calls)
    chunks.push_back({c.cdb[4], c.cdb[10] | (c.cdb[12] << 8), c.cdb[6] | (c.cdb[8] << 8)});
  return chunks;
}

std::vector<unsigned char> FullSupport(int minBlocks = 1, int maxBlocks = 512) {
  return Identify({{83, 0x0001}, {69, 0x0100}, {119, 0x0010}, {234, minBlocks}, {235, maxBlocks}});
}

std::vector<unsigned char> Image(int blocks) {
  std::vector<unsigned char> image(static_cast<size_t>(blocks) * 512);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i / 512 + i);
  return image;
}

TEST_F(Microcode, RefusesWhatTheDiskCannotDoBeforeSendingAnything) {
  std::vector<unsigned char> image = Image(4);
  struct Case {
    const char* what;
    std::vector<unsigned char> identify;
    int sub, per;
    bool dma;
    int result;
  } cases[] = {
      {"no DOWNLOAD MICROCODE", Identify({{69, 0x100}, {119, 0x10}, {234, 1}, {235, 512}}), 3, 512,
       false, 2},
      {"no DMA variant", Identify({{83, 1}, {119, 0x10}, {234, 1}, {235, 512}}), 3, 512, true, 2},
      {"no mode 3", Identify({{83, 1}, {234, 1}, {235, 512}}), 3, 512, false, 2},
      {"word 235 is 0", FullSupport(0, 0), 14, 0, false, 3},
      {"65535 per command", FullSupport(1, 0xFFFF), 3, 0xFFFF, false, 3},
      {"below word 234", FullSupport(8, 512), 14, 4, false, 3},
      {"above word 235", FullSupport(1, 512), 3, 513, false, 3},
      {"sub-command 5", FullSupport(), 5, 512, false, 1},
      {"sub-command 15", FullSupport(), 15, 512, false, 1},
      {"sub-command 7 with 0 per command", FullSupport(), 7, 0, false, 3},
  };
  for (const Case& c : cases) {
    Disk().calls.clear();
    std::vector<unsigned char> identify = c.identify;
    EXPECT_EQ(c.result, card.DMicrocodeChk(c.sub, 4, c.per, image.data(), identify.data(), c.dma))
        << c.what;
    EXPECT_TRUE(Disk().calls.empty()) << c.what;
  }
}

TEST_F(Microcode, Mode3SendsChunksAndEndsWithTheFirmwareApplied) {
  std::vector<unsigned char> image = Image(1538), identify = FullSupport();
  AnswerCodes({1, 1, 1, 2});
  EXPECT_EQ(0, card.DMicrocodeChk(3, 1538, 512, image.data(), identify.data(), false));
  std::vector<Chunk> chunks = Downloads();
  ASSERT_EQ(4u, chunks.size());
  const int offsets[] = {0, 512, 1024, 1536}, sizes[] = {512, 512, 512, 2};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(3, chunks[i].sub);
    EXPECT_EQ(offsets[i], chunks[i].offset);
    EXPECT_EQ(sizes[i], chunks[i].blocks);
    const SgCall& call = Disk().calls[i];
    EXPECT_EQ(0x92, call.cdb[14]);
    ASSERT_EQ(sizes[i] * 512u, call.out.size());
    EXPECT_TRUE(std::equal(call.out.begin(), call.out.end(), image.begin() + offsets[i] * 512));
  }
}

TEST_F(Microcode, LastChunkBelowTheMinimumStopsAfterThreeChunks) {
  std::vector<unsigned char> image = Image(1538), identify = FullSupport(4, 512);
  AnswerCodes({1, 1, 1});
  EXPECT_EQ(8, card.DMicrocodeChk(3, 1538, 512, image.data(), identify.data(), false));
  EXPECT_EQ(3u, Downloads().size());

  Disk().calls.clear();
  AnswerCodes({1, 1, 1});
  MicrocodeOutcome outcome =
      RunMicrocodeDownload(card, 3, 1538, 512, image.data(), identify.data(), false);
  EXPECT_EQ(kMcLastChunkTooSmall, outcome.stop);
  EXPECT_EQ(3, outcome.chunksSent);
  EXPECT_EQ(1, outcome.completionCode);
}

TEST_F(Microcode, CompletionCodesAreJudgedPerSubCommand) {
  std::vector<unsigned char> image = Image(3), identify = FullSupport(1, 512);
  struct Case {
    const char* what;
    int sub;
    std::vector<int> codes;
    int result;
    size_t commands;  // including an activation
  } cases[] = {
      {"3: applied before the last chunk", 3, {2}, 7, 1},
      {"3: more data after the last chunk", 3, {1, 1, 1}, 7, 3},
      {"3: saved is not applied", 3, {1, 1, 3}, 7, 3},
      {"3: no indication is accepted", 3, {0, 0, 2}, 0, 3},
      {"14: no indication fails", 14, {0}, 7, 1},
      {"14: saved, activated", 14, {1, 1, 3, 2}, 0, 4},
      {"14: activation answers 1", 14, {1, 1, 3, 1}, 7, 4},
      {"14: activation fails", 14, {1, 1, 3, -1}, 4, 4},
      {"14: applied instead of saved", 14, {1, 1, 2}, 7, 3},
      {"14: reserved code", 14, {4}, 7, 1},
      {"3: chunk command fails", 3, {1, -1}, 4, 2},
  };
  for (const Case& c : cases) {
    Reopen();
    AnswerCodes(c.codes);
    EXPECT_EQ(c.result, card.DMicrocodeChk(c.sub, 3, 1, image.data(), identify.data(), false))
        << c.what;
    EXPECT_EQ(c.commands, Disk().calls.size()) << c.what;
  }
}

TEST_F(Microcode, ActivationIsOneNonDataCommandAfterASavedDownload) {
  std::vector<unsigned char> image = Image(2), identify = FullSupport();
  AnswerCodes({3, 2});
  EXPECT_EQ(0, card.DMicrocodeChk(14, 2, 512, image.data(), identify.data(), true));
  ASSERT_EQ(2u, Disk().calls.size());
  EXPECT_EQ(Hex("85 0C 26 00 0E 00 02 00 00 00 00 00 00 E0 93 00"), Cdb(Disk().calls[0]));
  EXPECT_EQ(Hex("85 06 20 00 0F 00 00 00 00 00 00 00 00 E0 93 00"), Cdb(Disk().calls[1]));
  EXPECT_EQ(0u, Disk().calls[1].dxferLen);
}

TEST_F(Microcode, Mode7IgnoresCodesAndSendsTheWholeImageOnce) {
  std::vector<unsigned char> image = Image(6),
                             identify = FullSupport(1, 2);  // 234/235 not consulted
  AnswerCodes({5});
  EXPECT_EQ(0, card.DMicrocodeChk(7, 6, 6, image.data(), identify.data(), false));
  ASSERT_EQ(1u, Downloads().size());
  EXPECT_EQ(6, Downloads()[0].blocks);

  Disk().calls.clear();
  AnswerCodes({3, 2});  // a code 3 that happens to come back is activated
  EXPECT_EQ(0, card.DMicrocodeChk(7, 6, 6, image.data(), identify.data(), false));
  EXPECT_EQ(2u, Disk().calls.size());
}

TEST_F(Microcode, NothingToSendSendsNothing) {
  std::vector<unsigned char> image = Image(1), identify = FullSupport();
  EXPECT_EQ(0, card.DMicrocodeChk(14, 0, 512, image.data(), identify.data(), false));
  EXPECT_TRUE(Disk().calls.empty());
}

TEST_F(Microcode, RefusesOffsetsBeyondTheSixteenBitField) {
  // 70000 blocks in chunks of 512 would need offsets above 65535.
  std::vector<unsigned char> image = Image(70000), identify = FullSupport();
  EXPECT_EQ(3, card.DMicrocodeChk(3, 70000, 512, image.data(), identify.data(), false));
  EXPECT_EQ(3, card.DMicrocodeChk(7, 70000, 70000, image.data(), identify.data(), false));
  EXPECT_TRUE(Disk().calls.empty());
}

}  // namespace
