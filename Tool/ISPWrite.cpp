// Puts a new ISP firmware image into controller memory, starts it, keeps a
// copy of sector 0 in "LBA0.bin" and writes the sector back unchanged, then
// resets the controller and waits for the card to come up in its ISP
// firmware with the ready bit set.
#include <stdio.h>
#include <unistd.h>

#include "ChunkLoader.h"
#include "EXCMDFunc.h"
#include "FlowGlobals.h"
#include "IspFileIO.h"

namespace {

enum {
  kModeIsp = 2,
  kFlashTypeL06B = 0x04,
  kIspRunning = 0x80,
  kReadyPolls = 5,
  kSectorSize = 512,
};

const unsigned long kIspLoadBase = 0x80000000;
const char kSectorZeroFile[] = "LBA0.bin";

// Polls the card after a reset into its ISP firmware and prints the mode it
// answers. Only an answer after the reset tells what the card runs now: the
// table read before it describes the program the card has just left, so a
// poll that failed (and closed the device) is asked again on a reopened one.
// True, with the card records refreshed, when the ISP firmware runs ready.
bool CardRunsIspFirmware() {
  bool answered = false;
  for (int poll = 0; poll < kReadyPolls && !answered; ++poll) {
    answered = ReopenIfClosed() && gQel3300->ReadFlashID(g_FlashIDTable) == 0;
    if (!answered) sleep(1);
  }
  debug_printf("ISPMode:%d\n", g_FlashIDTable[kFidISPMode]);
  if (!answered || !(g_FlashIDTable[kFidReadyFlags] & kIspRunning) ||
      g_FlashIDTable[kFidISPMode] != kModeIsp) {
    return false;
  }
  CheckCardMode();
  return true;
}

}  // namespace

bool SaveSectorZero(const unsigned char* sector) {
  FILE* file = OpenFileNoFollow(kSectorZeroFile, "wb");
  if (file == nullptr) {
    debug_printf("Open LBA0.bin Fail!\n");
    return false;
  }
  bool written = fwrite(sector, 1, kSectorSize, file) == kSectorSize;
  if (!CloseChecked(file) || !written) {
    unlink(kSectorZeroFile);
    debug_printf("Write LBA0.bin Fail!\n");
    return false;
  }
  return true;
}

bool ReopenIfClosed() {
  return gQel3300->isOpened() || gQel3300->OpenDevice(gQel3300DevName[gQel3300Sel]);
}

int WriteBackSector0(unsigned char* sector) {
  if (gQel3300->WriteLBA(0, 1, sector) == 0) return 0;
  if (!ReopenIfClosed()) return 1;
  return gQel3300->WriteLBA(0, 1, sector) == 0 ? 0 : 1;
}

int WriteISPFirmware(char* path, bool strip) {
  debug_printf("Download ISP ..........................\n");
  FILE* file = fopen(path, "rb");
  if (file == nullptr) {
    debug_printf("open g_ISPName Error! Cannot open %s  file\n", path);
    return 1;
  }
  debug_printf("Open ISP file %s\n", path);

  int mode = g_FlashIDTable[kFidISPMode];
  if (mode != kModeIsp) {
    debug_printf("ISPMode:%d\n", mode);
  } else if (g_FlashIDTable[kFidFlashType] & kFlashTypeL06B) {
    debug_printf("ISPMode:%d <L06B>\n", mode);
  } else {
    debug_printf("ISPMode:%d <B0KB>\n", mode);
  }

  StagedLoad image;
  LoadResult staged = image.Stage(file, strip ? kLoadSectionBodies : kLoadWholeFile, kIspLoadBase);
  fclose(file);
  if (staged != kLoadOk) {
    debug_printf("Load ISP Fail! %s: %s\n", path, LoadResultText(staged));
    return 1;
  }
  if (image.Send(gQel3300, kIspLoadBase) != kLoadOk) {
    debug_printf("Load ISP Fail!\n");
    return 1;
  }

  if (gQel3300->ActiveMpIspIspCode(kIspLoadBase) != 0) {
    debug_printf("Jump ISP Fail!\n");
    return 1;
  }
  debug_printf("Success\n");

  unsigned char sector[kSectorSize];
  if (gQel3300->ReadLBA(0, 1, sector) != 0) {
    debug_printf("Read LBA 0 Fail!\n");
    return 1;
  }
  if (!SaveSectorZero(sector)) return 1;
  if (WriteBackSector0(sector) != 0) return 1;

  if (ResetCpu() != 0) {
    debug_printf("Reset CPU Fail!\n");
    return 1;
  }
  if (CardRunsIspFirmware()) return 0;
  debug_printf("Run ISP Fail!\n");
  return 1;
}

int BringBackIspFirmware() {
  debug_printf("Restart ISP firmware...................\n");
  if (ResetCpu() != 0 || !CardRunsIspFirmware()) return 1;
  debug_printf("Success\n");
  return 0;
}
