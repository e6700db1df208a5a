#include "MicrocodeDownload.h"

#include <string.h>

#include <memory>
#include <new>

namespace {

constexpr int kSubSegmented = 0x03;  // offsets; the disk applies after the last chunk
constexpr int kSubWhole = 0x07;      // whole image in one command
constexpr int kSubDeferred = 0x0E;   // offsets; the disk saves and waits for activation
constexpr unsigned char kSubActivate = 0x0F;

// Completion codes in ATA COUNT (status byte 13).
constexpr int kCodeNoIndication = 0;
constexpr int kCodeMoreData = 1;
constexpr int kCodeApplied = 2;
constexpr int kCodeSaved = 3;

constexpr int kStatusCountByte = 13;
constexpr int kMaxField16 = 0xFFFF;

int IdentifyWord(const unsigned char* identify, int word) {
  return identify[2 * word] | (identify[2 * word + 1] << 8);
}

bool CompletionCodeAccepted(int subCommand, int code, bool lastChunk) {
  switch (code) {
    case kCodeNoIndication:
      return subCommand != kSubDeferred;
    case kCodeMoreData:
      return !lastChunk;
    case kCodeApplied:
      return lastChunk && subCommand == kSubSegmented;
    case kCodeSaved:
      return lastChunk && subCommand == kSubDeferred;
    default:
      return false;
  }
}

}  // namespace

MicrocodeOutcome RunMicrocodeDownload(SSDCMD& device, int subCommand, int totalBlocks,
                                      int blocksPerCommand, unsigned char* image,
                                      unsigned char* identify, bool dma,
                                      void (*chunkDone)(void* context, int blocksSent),
                                      void* context) {
  MicrocodeOutcome outcome = {kMcOk, -1, 0};
  auto stop = [&outcome](MicrocodeStop reason) {
    outcome.stop = reason;
    return outcome;
  };
  if (identify == nullptr || (IdentifyWord(identify, 83) & 0x0001) == 0)
    return stop(kMcNotSupported);
  if (dma && (IdentifyWord(identify, 69) & 0x0100) == 0) return stop(kMcDmaNotSupported);
  if (subCommand == kSubSegmented || subCommand == kSubDeferred) {
    if (blocksPerCommand <= 0 || blocksPerCommand >= kMaxField16) return stop(kMcTransferSize);
    if (subCommand == kSubSegmented && (IdentifyWord(identify, 119) & 0x0010) == 0)
      return stop(kMcMode3NotSupported);
    if (blocksPerCommand < IdentifyWord(identify, 234) ||
        blocksPerCommand > IdentifyWord(identify, 235))
      return stop(kMcTransferSize);
  } else if (subCommand != kSubWhole) {
    return stop(kMcSubCommand);
  }
  // The block count and the offset travel in 16-bit fields: a chunk that
  // cannot be described exactly is not sent at all (a truncated offset would
  // place firmware at the wrong position, a zero count would never finish).
  if (totalBlocks < 0) return stop(kMcTransferSize);
  if (totalBlocks > 0) {
    if (blocksPerCommand <= 0 || blocksPerCommand > kMaxField16) return stop(kMcTransferSize);
    int lastOffset = (totalBlocks - 1) / blocksPerCommand * blocksPerCommand;
    if (lastOffset > kMaxField16) return stop(kMcTransferSize);
  }

  size_t chunkCapacity =
      static_cast<size_t>(blocksPerCommand > 0 ? blocksPerCommand : 0) * kSectorBytes;
  std::unique_ptr<unsigned char[]> chunk(
      new (std::nothrow) unsigned char[chunkCapacity ? chunkCapacity : 1]);
  if (!chunk) return stop(kMcNoMemory);

  const int minimumBlocks = IdentifyWord(identify, 234);
  unsigned char status[kSenseBytes];
  int remaining = totalBlocks;
  int offset = 0;
  int perCommand = blocksPerCommand;
  while (remaining > 0) {
    if (remaining < perCommand) {
      perCommand = remaining;
      if (perCommand < minimumBlocks) return stop(kMcLastChunkTooSmall);
    }
    size_t bytes = static_cast<size_t>(perCommand) * kSectorBytes;
    memcpy(chunk.get(), image + static_cast<size_t>(offset) * kSectorBytes, bytes);
    if (device.DownloadMicrocode(static_cast<unsigned char>(subCommand),
                                 static_cast<uint16_t>(offset), static_cast<uint16_t>(perCommand),
                                 chunk.get(), status, dma) != 0)
      return stop(kMcCommandFailed);
    ++outcome.chunksSent;
    remaining -= perCommand;
    offset += perCommand;
    if (chunkDone != nullptr) chunkDone(context, offset);
    outcome.completionCode = status[kStatusCountByte];
    if (subCommand != kSubWhole &&
        !CompletionCodeAccepted(subCommand, outcome.completionCode, remaining == 0))
      return stop(kMcCompletionCode);
  }

  if (outcome.chunksSent == 0 || outcome.completionCode != kCodeSaved) return outcome;
  if (device.DownloadMicrocode(kSubActivate, 0, 0, image, status, dma) != 0)
    return stop(kMcActivateFailed);
  outcome.completionCode = status[kStatusCountByte];
  if (outcome.completionCode != kCodeApplied) return stop(kMcActivateCode);
  return outcome;
}
