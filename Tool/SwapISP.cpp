// The swap and update flows replace the ISP firmware of a card that already
// runs it while keeping the card's identity; the firmware version gate in
// front of them is shared with the download-microcode flow.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "EXCMDFunc.h"
#include "FlowGlobals.h"
#include "RunGuard.h"
#include "SHA256.h"
#include "SwapVersionList.h"

namespace {

const char kStarLine[] = "*****************************************\n";

// Modes 4 to 7: update, update_1, swap, swap_1; their banner titles and
// the identity each leaves (update_1 takes the image's model name).
enum { kFirstSwapMode = 4, kLastSwapMode = 7 };
struct SwapMode {
  const char* title;
  IdentityRule identity;
};
const SwapMode kSwapModes[] = {
    {"***********  Update ISP flow  ***********\n",
     {kCardBefore, kCardBefore, kCardBefore, kImageTable}},
    {"***********  Update_1 ISP flow  ***********\n",
     {kCardBefore, kImageTable, kCardBefore, kImageTable}},
    {"************  Swap ISP flow  ************\n",
     {kCardBefore, kCardBefore, kCardBefore, kImageTable}},
    {"***********  Swap_1 ISP flow  ***********\n",
     {kCardBefore, kCardBefore, kCardBefore, kImageTable}},
};

enum { kISPFirmware = 2, kFlashTypeL06B = 0x04 };

// The gate's section names are "<prefix>FWTable" and "<prefix><card version>".
enum { kSectionNameSize = 20 };

}  // namespace

int SwapISP(int mode) {
  ClearScreen();
  debug_printf("\r\n");
  if (mode < kFirstSwapMode || mode > kLastSwapMode) {
    debug_printf("Unknow Swap/Update ISP Mode!\n");
    return 1;
  }
  debug_printf("%s", kStarLine);
  const SwapMode& swap = kSwapModes[mode - kFirstSwapMode];
  debug_printf("%s", swap.title);
  debug_printf("%s", kStarLine);
  ShowCMDtype();
  ShowCardInfo(1);
  CardIdentity before = g_CardIdentity;

  // A card an earlier run left in its boot ROM or a loader is restarted from
  // its ISP copies, so that the same command finishes the job.
  if (g_FlashIDTable[kFidISPMode] != kISPFirmware && BringBackIspFirmware() == 0) {
    ShowCardInfo(1);
    before = g_CardIdentity;
  }

  // The mode is checked before the gate: the gate reads back the card's ISP
  // copies, and a card running another program would fail that read with a
  // reason that hides the real one. A card in its firmware hears the mode
  // line after the gate, as always.
  if (g_FlashIDTable[kFidISPMode] != kISPFirmware) {
    debug_printf("ISPMode:%d\n", g_FlashIDTable[kFidISPMode]);
    debug_printf("This flow only for ISP mode device!\n");
    return 1;
  }
  // Personalisation re-signs the image: a damaged one must be refused first.
  if (CheckSHA256(ISPDateCodeFile) != 0) return 1;
  if ((CheckBinISPVerWithFlash(1) & 0xFF) != 1) return 1;
  debug_printf("ISPMode:%d\n", g_FlashIDTable[kFidISPMode]);

  if (gQel3300->ReadPar(g_Parameter, kParameterSize) != 0) {
    debug_printf("Read Par Fail\n");
    return 1;
  }
  if (CheckFlashID()) return 1;
  if (ModifyISPFile(mode) != 0) return 1;

  // The ISP firmware on "L06B" flash takes the bare section bodies.
  const bool strip = g_FlashIDTable[kFidISPMode] == kISPFirmware &&
                     (g_FlashIDTable[kFidFlashType] & kFlashTypeL06B) != 0;
  HoldStopSignals();
  if (WriteISPFirmware(UpdateISPDataFile, strip) != 0) return 1;
  if (ReleaseStopSignals(true) != 0) return 1;
  ShowCardInfo(2);
  return CheckCardIdentity(swap.identity, before);
}

int CheckBinISPVerWithFlash(int selector) {
  debug_printf("Compare FW Version.....................\n");
  const char* prefix = selector == 1 ? "SWAP_" : "UPDATE_";

  char imageVersion[kIspFwVersionLength + 1];
  if (!ReadFirmwareVersion(ISPDateCodeFile, imageVersion)) {
    debug_printf("Open ISP Error! Cannot open ISP.bin file\n");
    return 0;
  }
  rtrim(imageVersion);
  debug_printf("FW Version from bin File: %s\n", imageVersion);

  char cardVersion[kIspFwVersionLength + 1];
  if (GetISPFWVer(cardVersion) != 0) {
    debug_printf("Download ISP Check Data Fail!\n");
    return 0;
  }
  rtrim(cardVersion);
  debug_printf("FW Version from Flash: %s\n", cardVersion);

  if (strcmp(imageVersion, cardVersion) == 0) {
    debug_printf("Success\n");
    return 1;
  }

  struct stat info;
  if (stat(FWVerDateFile, &info) != 0) {
    debug_printf("%s not exist!\n", FWVerDateFile);
    return 0;
  }
  char section[kSectionNameSize];
  snprintf(section, sizeof(section), "%sFWTable", prefix);
  if (FindListedVersion(FWVerDateFile, section, "FWVer_", cardVersion) == 0) {
    debug_printf("Not found <%s> information in FWVerDB.ini!\n", cardVersion);
    return 0;
  }
  snprintf(section, sizeof(section), "%s%s", prefix, cardVersion);
  if (FindListedVersion(FWVerDateFile, section, "FWSupportVer_", imageVersion) == 0) {
    debug_printf("This bin file not support your firmware!\n");
    return 0;
  }
  debug_printf("Success\n");
  return 1;
}

int GetISPFWVer(char* out) {
  if (DumpISPBlock(ISPDateCodeFile, 0) != 0) {
    debug_printf("Download ISP Check Data Fail!\n");
    return 1;
  }
  if (!ReadFirmwareVersion(DumpISP2File, out)) {
    debug_printf("Verify ISP Error! Cannot open %s file\n", DumpISP2File);
    return 1;
  }
  return 0;
}

int StrCMPForFlashFWVer(char* out, char* other) {
  if (!ReadFirmwareVersion(ISPDateCodeFile, out)) {
    debug_printf("Open ISP Error! Cannot open ISP.bin file\n");
    return 0;
  }
  rtrim(out);
  return strcmp(out, other);
}
