// The download-microcode flow: replaces the card's firmware through the
// standard ATA DOWNLOAD MICROCODE command instead of the vendor ISP write,
// behind the same version gate as the update commands.
#include <stdio.h>
#include <unistd.h>

#include <iterator>
#include <memory>
#include <new>
#include <utility>

#include "EXCMDFunc.h"
#include "FlowGlobals.h"
#include "MicrocodeDownload.h"
#include "MicrocodeImage.h"
#include "Progress.h"
#include "RunGuard.h"
#include "SHA256.h"

namespace {

const IdentityRule kMicrocodeIdentity = {kCardBefore, kCardBefore, kNotChecked, kNotChecked};

const char kStarLine[] = "*****************************************\n";

enum {
  kIdentifySize = 512,
  kWordMaxBlocksPerCommand = 235,
  kSubCommandWhole = 7,
  kActivate = 0x0F,
};

// Messages for the stops that need no detail from the outcome.
struct StopMessage {
  MicrocodeStop stop;
  const char* text;
};
const StopMessage kStopMessages[] = {
    {kMcNotSupported, "DOWNLOAD MICROCODE command is not supported\n"},
    {kMcDmaNotSupported, "DOWNLOAD MICROCODE DMA is not supported\n"},
    {kMcTransferSize, "Transfer size fail\n"},
    {kMcMode3NotSupported, "Download Microcode mode 3 is not supported\n"},
    {kMcSubCommand, "Sub command fail\n"},
    {kMcNoMemory, "Mem malloc fail\n"},
    {kMcLastChunkTooSmall, "Transfer size fail\n"},
    {kMcCommandFailed, "DownloadMicrocode func fail\n"},
};

// Completion codes 0 to 3 that end a download, by code; each format is given
// the sub-command and the code (code 0 only ever ends sub-command 0x0E).
const char* const kCompletionFaults[] = {
    "Sub CMD 0x%02X Output Fail(00--No indication)\n",
    "Total ISP size fail(Expect more data)\n",
    "Sub CMD 0x%02X Output Fail(02--Apply the new FW)\n",
    "Sub CMD 0x%02X Output Fail(03--Transfer finish)\n",
};

const char* CompletionFault(int code) {
  if (code >= 0 && code < static_cast<int>(std::size(kCompletionFaults))) {
    return kCompletionFaults[code];
  }
  return "Sub CMD 0x%02X Output Fail(%02X--Reserved)\n";
}

// Set once a download has been started in this run. The front end runs the
// whole flow a second time with PIO when the DMA attempt fails, possibly
// after chunks reached the card; "LBA0.bin" must keep sector 0 as it was
// before any of them, so the second attempt does not replace it.
bool gDownloadStarted = false;

// The identity the card answered before the first attempt: the PIO attempt
// after a failed DMA one must keep that identity, not what the failed
// attempt may have left on the card.
CardIdentity gIdentityToKeep;

int IdentifyWord(const unsigned char* identify, int word) {
  return identify[2 * word] | identify[2 * word + 1] << 8;
}

// The bytes to download: the image set's ISP image, or the raw layout built
// from it for firmware up to "P0925A". Refusals are printed.
struct DownloadImage {
  std::unique_ptr<unsigned char[]> bytes;
  long size = 0;
};

bool LoadDownloadImage(bool olderLayout, DownloadImage* image) {
  FILE* file = fopen(ISPDateCodeFile, "rb");
  if (file == nullptr) {
    debug_printf("open g_ISPName Error! Cannot open %s  file\n", ISPDateCodeFile);
    return false;
  }
  long size = -1;
  if (fseek(file, 0, SEEK_END) == 0) size = ftell(file);
  if (size <= 0) {
    fclose(file);
    debug_printf("File size error! %s\n", ISPDateCodeFile);
    return false;
  }
  // Refused before sector 0 is touched: a download that silently leaves out
  // the tail of the image would be reported as a success.
  if (const char* fault = MicrocodeImageSizeFault(size, olderLayout)) {
    fclose(file);
    debug_printf("File size error! %s (%ld bytes, %s)\n", ISPDateCodeFile, size, fault);
    return false;
  }

  const long used = olderLayout ? static_cast<long>(kOlderLayoutSourceSize) : size;
  std::unique_ptr<unsigned char[]> bytes(new (std::nothrow) unsigned char[used]);
  std::unique_ptr<unsigned char[]> raw;
  if (olderLayout) raw.reset(new (std::nothrow) unsigned char[kOlderLayoutSize]);
  if (bytes == nullptr || (olderLayout && raw == nullptr)) {
    fclose(file);
    debug_printf("Get var size fail!!\n");
    return false;
  }
  const bool read = fseek(file, 0, SEEK_SET) == 0 &&
                    fread(bytes.get(), 1, used, file) == static_cast<size_t>(used);
  fclose(file);
  if (!read) {
    debug_printf("File size error! %s (cannot be read)\n", ISPDateCodeFile);
    return false;
  }

  if (olderLayout) {
    debug_printf("Change bin file rule(before than P0925A)!\n");
    ConvertToOlderLayout(bytes.get(), raw.get());
    image->bytes = std::move(raw);
    image->size = kOlderLayoutSize;
  } else {
    image->bytes = std::move(bytes);
    image->size = size;
  }
  return true;
}

// Reads sector 0, keeps the first copy of the run in "LBA0.bin" and writes
// the same bytes back. Failures are printed.
bool SaveSector0() {
  unsigned char sector0[kMicrocodeBlockSize] = {0};
  if (gQel3300->ReadLBA(0, 1, sector0) != 0) {
    debug_printf("Read LBA 0 Fail!\n");
    return false;
  }
  if (!gDownloadStarted && !SaveSectorZero(sector0)) return false;
  if (WriteBackSector0(sector0) != 0) {
    debug_printf("Write LBA 0 Fail!\n");
    return false;
  }
  return true;
}

}  // namespace

int DownloadMicroCode_Main(int dma, int subCommand) {
  ClearScreen();
  debug_printf("\r\n");
  debug_printf("%s", kStarLine);
  debug_printf("%s", dma != 0 ? "***** Download MicroCode flow(DMA) ******\n"
                              : "******  Download MicroCode flow  ********\n");
  debug_printf("%s", kStarLine);

  // A failed ATA command closes the handle, so a second attempt after a
  // failed DMA download finds it closed and opens the device again.
  char* node = gQel3300DevName[gQel3300Sel];
  if (!gQel3300->isOpened() && !gQel3300->OpenDevice(node)) {
    debug_printf("Open Device Error: %s\n", node);
    return 1;
  }
  ShowCMDtype();
  ShowCardInfo(1);
  if (!gIdentityToKeep.valid) gIdentityToKeep = g_CardIdentity;
  if ((CheckBinISPVerWithFlash(0) & 0xFF) != 1) return 1;
  if (CheckSHA256(ISPDateCodeFile) != 0) return 1;

  unsigned char identify[kIdentifySize] = {0};
  gQel3300->ReadIdentify(identify);
  debug_printf("Mode: 0x%02X\n", subCommand);
  debug_printf("Update Firmware........................\n");

  DownloadImage image;
  if (!LoadDownloadImage(UsesOlderLayout(gQel3300FW_Info[gQel3300Sel]), &image)) return 1;
  if (!SaveSector0()) return 1;

  gDownloadStarted = true;
  HoldStopSignals();
  const int totalBlocks = static_cast<int>(image.size / kMicrocodeBlockSize);
  const int blocksPerCommand = subCommand == kSubCommandWhole
                                   ? totalBlocks
                                   : IdentifyWord(identify, kWordMaxBlocksPerCommand);
  const int result = DMicrocodeChk(subCommand, totalBlocks, blocksPerCommand, image.bytes.get(),
                                   identify, dma != 0);
  if (result != 0) {
    debug_printf("Download microcode fail(0x%02X)!\n", result);
    return 1;
  }
  debug_printf("Success\n");
  sleep(1);
  if (ReleaseStopSignals(true) != 0) return 1;
  ShowCardInfo(2);
  // Drives keep their factory identity across DOWNLOAD MICROCODE.
  return CheckCardIdentity(kMicrocodeIdentity, gIdentityToKeep);
}

int DMicrocodeChk(int subCommand, int totalBlocks, int blocksPerCommand, unsigned char* image,
                  unsigned char* identify, bool dma) {
  Progress progress("Download microcode", (uint64_t)totalBlocks * kMicrocodeBlockSize);
  auto chunkDone = [](void* line, int blocksSent) {
    static_cast<Progress*>(line)->Update((uint64_t)blocksSent * kMicrocodeBlockSize);
  };
  const MicrocodeOutcome outcome =
      RunMicrocodeDownload(*gQel3300, subCommand, totalBlocks, blocksPerCommand, image, identify,
                           dma, chunkDone, &progress);
  progress.Done();
  const int code = outcome.completionCode;
  switch (outcome.stop) {
    case kMcOk:
      return 0;
    case kMcCompletionCode:
      debug_printf(CompletionFault(code), subCommand, code);
      return 1;
    case kMcActivateFailed:
      debug_printf("DownloadMicrocode func fail(%02X)\n", kActivate);
      return 1;
    case kMcActivateCode:
      debug_printf("Sub CMD 0x%02X--Apply the new FW Fail(%02X)\n", kActivate, code);
      return 1;
    default:
      for (const StopMessage& message : kStopMessages) {
        if (message.stop == outcome.stop) debug_printf("%s", message.text);
      }
      return 1;
  }
}
