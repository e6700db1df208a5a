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
  Disk().script = [queue, next](const SgCall& c, SgAnswer& a) {
    if (c.cdb[14] != 0x92 && c.cdb[14] != 0x93) return;
    int code = *next < queue->size() ? (*queue)[(*next)++] : 0;
    a.sense = code < 0 ? DescriptorSense(0x04, 0, 0xE0, 0x51)
                       : DescriptorSense(0, static_cast<unsigned char>(code), 0xE0, 0x50);
  };
}

// 512-byte IDENTIFY data with the given words set.
Bytes Identify(std::initializer_list<std::pair<int, int>> words) {
  Bytes id(512, 0);
  for (const auto& w : words) id[2 * w.first] = w.second & 0xFF, id[2 * w.first + 1] = w.second >> 8;
  return id;
}

Bytes FullSupport(int minBlocks = 1, int maxBlocks = 512) {
  return Identify({{83, 0x0001}, {69, 0x0100}, {119, 0x0010}, {234, minBlocks}, {235, maxBlocks}});
}

Bytes Image(int blocks) {
  Bytes image(static_cast<size_t>(blocks) * 512);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i / 512 + i);
  return image;
}

TEST_F(Microcode, RefusesWhatTheDiskCannotDoBeforeSendingAnything) {
  Bytes image = Image(70000);
  const struct { const char* what; Bytes identify; int sub, blocks, per; bool dma; int result; } cases[] = {
      {"no DOWNLOAD MICROCODE", Identify({{69, 0x100}, {119, 0x10}, {234, 1}, {235, 512}}), 3, 4, 512, false, 2},
      {"no DMA variant", Identify({{83, 1}, {119, 0x10}, {234, 1}, {235, 512}}), 3, 4, 512, true, 2},
      {"no mode 3", Identify({{83, 1}, {234, 1}, {235, 512}}), 3, 4, 512, false, 2},
      {"word 235 is 0", FullSupport(0, 0), 14, 4, 0, false, 3},
      {"65535 per command", FullSupport(1, 0xFFFF), 3, 4, 0xFFFF, false, 3},
      {"below word 234", FullSupport(8, 512), 14, 4, 4, false, 3},
      {"above word 235", FullSupport(1, 512), 3, 4, 513, false, 3},
      {"sub-command 5", FullSupport(), 5, 4, 512, false, 1},
      {"sub-command 15", FullSupport(), 15, 4, 512, false, 1},
      {"sub-command 7 with 0 per command", FullSupport(), 7, 4, 0, false, 3},
      // Offsets above 65535 cannot be carried.
      {"mode 3, 70000 blocks", FullSupport(), 3, 70000, 512, false, 3},
      {"mode 7, 70000 blocks", FullSupport(), 7, 70000, 70000, false, 3},
      {"nothing to send", FullSupport(), 14, 0, 512, false, 0},
  };
  for (const auto& c : cases) {
    Disk().calls.clear();
    Bytes identify = c.identify;
    EXPECT_EQ(c.result, card.DMicrocodeChk(c.sub, c.blocks, c.per, image.data(), identify.data(), c.dma)) << c.what;
    EXPECT_TRUE(Disk().calls.empty()) << c.what;
  }
}

TEST_F(Microcode, Mode3SendsChunksOf512AndARemainder) {
  Bytes image = Image(1538), identify = FullSupport();
  AnswerCodes({1, 1, 1, 2});
  EXPECT_EQ(0, card.DMicrocodeChk(3, 1538, 512, image.data(), identify.data(), false));
  ASSERT_EQ(4u, Disk().calls.size());
  const int offsets[] = {0, 512, 1024, 1536}, sizes[] = {512, 512, 512, 2};
  for (int i = 0; i < 4; ++i) {
    const SgCall& call = Disk().calls[i];
    EXPECT_EQ(3, call.cdb[4]);
    EXPECT_EQ(offsets[i], call.cdb[10] | (call.cdb[12] << 8));
    EXPECT_EQ(sizes[i], call.cdb[6] | (call.cdb[8] << 8));
    EXPECT_EQ(0x92, call.cdb[14]);
    ASSERT_EQ(sizes[i] * 512u, call.out.size());
    EXPECT_TRUE(std::equal(call.out.begin(), call.out.end(), image.begin() + offsets[i] * 512));
  }

  // A last chunk below word 234 stops after three chunks.
  identify = FullSupport(4, 512);
  for (int run = 0; run < 2; ++run) {
    Disk().calls.clear();
    AnswerCodes({1, 1, 1});
    if (run == 0) {
      EXPECT_EQ(8, card.DMicrocodeChk(3, 1538, 512, image.data(), identify.data(), false));
    } else {
      MicrocodeOutcome outcome = RunMicrocodeDownload(card, 3, 1538, 512, image.data(), identify.data(), false);
      EXPECT_EQ(kMcLastChunkTooSmall, outcome.stop);
      EXPECT_EQ(3, outcome.chunksSent);
      EXPECT_EQ(1, outcome.completionCode);
    }
    EXPECT_EQ(3u, Disk().calls.size());
  }
}

TEST_F(Microcode, CompletionCodesAreJudgedPerSubCommand) {
  Bytes image = Image(6), identify = FullSupport(1, 512);
  const struct { const char* what; int sub, blocks, per; std::vector<int> codes; int result; size_t commands; } cases[] = {
      {"3: applied before the last chunk", 3, 3, 1, {2}, 7, 1},
      {"3: more data after the last chunk", 3, 3, 1, {1, 1, 1}, 7, 3},
      {"3: saved is not applied", 3, 3, 1, {1, 1, 3}, 7, 3},
      {"3: no indication is accepted", 3, 3, 1, {0, 0, 2}, 0, 3},
      {"3: chunk command fails", 3, 3, 1, {1, -1}, 4, 2},
      {"14: no indication fails", 14, 3, 1, {0}, 7, 1},
      {"14: saved, activated", 14, 3, 1, {1, 1, 3, 2}, 0, 4},
      {"14: activation answers 1", 14, 3, 1, {1, 1, 3, 1}, 7, 4},
      {"14: activation fails", 14, 3, 1, {1, 1, 3, -1}, 4, 4},
      {"14: applied instead of saved", 14, 3, 1, {1, 1, 2}, 7, 3},
      {"14: reserved code", 14, 3, 1, {4}, 7, 1},
      // Mode 7 sends the whole image once, whatever 234/235 say, and ignores
      // the code unless it is 3, which is activated.
      {"7: code 5 ignored", 7, 6, 6, {5}, 0, 1},
      {"7: code 3 activated", 7, 6, 6, {3, 2}, 0, 2},
  };
  for (const auto& c : cases) {
    Reopen();
    AnswerCodes(c.codes);
    Bytes id = c.sub == 7 ? FullSupport(1, 2) : identify;  // 234/235 not consulted in mode 7
    EXPECT_EQ(c.result, card.DMicrocodeChk(c.sub, c.blocks, c.per, image.data(), id.data(), false)) << c.what;
    EXPECT_EQ(c.commands, Disk().calls.size()) << c.what;
    EXPECT_EQ(c.sub == 7 ? 6 : 1, Disk().calls[0].cdb[6]) << c.what;
  }
}

TEST_F(Microcode, ActivationIsOneNonDataCommandAfterASavedDownload) {
  Bytes image = Image(2), identify = FullSupport();
  AnswerCodes({3, 2});
  EXPECT_EQ(0, card.DMicrocodeChk(14, 2, 512, image.data(), identify.data(), true));
  ASSERT_EQ(2u, Disk().calls.size());
  EXPECT_EQ(Hex("85 0C 26 00 0E 00 02 00 00 00 00 00 00 E0 93 00"), Disk().calls[0].Cdb());
  EXPECT_EQ(Hex("85 06 20 00 0F 00 00 00 00 00 00 00 00 E0 93 00"), Disk().calls[1].Cdb());
  EXPECT_EQ(0u, Disk().calls[1].dxferLen);
}

}  // namespace
