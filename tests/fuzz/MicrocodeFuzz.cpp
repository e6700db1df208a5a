// IDENTIFY words and completion codes through DMicrocodeChk.
// Input: the 512 IDENTIFY bytes, sub-command selector, DMA flag, total
// blocks (2 bytes), blocks per command (2 bytes), then one byte per
// DOWNLOAD MICROCODE command: its completion code, or 0xEE to fail it.
#include <vector>

#include "FlowGlobals.h"
#include "FuzzCard.h"

namespace {

// Keeps the image buffer (total blocks x 512 bytes) modest.
const int kMaxTotalBlocks = 4096;
const uint8_t kFailCommand = 0xEE;

}  // namespace

int FuzzMicrocode(const uint8_t* data, size_t size) {
  FuzzCard& card = NextInput();
  FuzzInput in(data, size);
  uint8_t identify[512];
  in.Take(identify, sizeof identify);
  uint8_t selector = in.Byte();
  static const int kSubCommands[] = {3, 7, 14};
  int subCommand = selector < 0xF0 ? kSubCommands[selector % 3] : selector & 0x0F;
  bool dma = in.Byte() & 1;
  int totalBlocks = in.Word() % (kMaxTotalBlocks + 1);
  int blocksPerCommand = in.Word();
  card.completion = [&](int, int) {
    uint8_t code = in.Byte();
    return code == kFailCommand ? -1 : code;
  };
  // Exactly the image's bytes: a chunk read past its end is a finding.
  std::vector<uint8_t> image(static_cast<size_t>(totalBlocks) * 512);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + (i >> 9));

  int result = DMicrocodeChk(subCommand, totalBlocks, blocksPerCommand, image.data(), identify, dma);

  // The chunks go out in order, back to back, none larger than asked.
  int sent = 0;
  for (const FuzzCard::Download& d : card.downloads) {
    if (d.subCommand == 0x0F) {
      FuzzCheck(d.blocks == 0, "the activation carries no data");
      continue;
    }
    FuzzCheck(d.subCommand == subCommand, "every chunk carries the sub-command");
    FuzzCheck(d.offset == (sent & 0xFFFF), "chunks go out back to back");
    FuzzCheck(d.blocks > 0 && d.blocks <= blocksPerCommand, "a chunk is at most blocks-per-command long");
    sent += d.blocks;
  }
  FuzzCheck(sent <= totalBlocks, "no chunk goes past the image");
  if (result == 0) FuzzCheck(sent == totalBlocks, "a successful download sent the whole image");
  return 0;
}
