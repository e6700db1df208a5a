// The in-system programming of a card from scratch: check the flash against
// the image set, prepare the image (the set's own or a personalised copy),
// take the controller down to its boot ROM and up through the shim and MP-ISP
// loaders and the pretest, then write the ISP firmware and bring the card up
// on it. The card is only read until the forced boot ROM.
#include "EXCMDFunc.h"
#include "FlowGlobals.h"
#include "RunGuard.h"
#include "SHA256.h"

namespace {

enum { kModeIsp = 2 };

// What each mode of the flow writes and how it prepares it.
struct InitMode {
  const char* starLine;
  const char* title;
  bool needsIspFirmware;       // the card's identity comes from its running firmware
  bool personalised;           // writes UpdateISPDataFile, made by ModifyISPFile(mode)
  const char* prepareFailure;  // printed when ModifyISPFile fails, or null
  IdentityRule identity;       // what the card must answer afterwards
};

const InitMode kInitModes[] = {
    {"*****************************************\n", "**********  Initial ISP flow  ***********\n",
     false, false, nullptr, {kImageTable, kImageTable, kImageTable, kImageTable}},
    {"*****************************************\n", "**********  Initial ISP flow  ***********\n",
     false, true, "Update ISP file with SN fail!!\n",
     {kGivenSerial, kImageTable, kImageTable, kImageTable}},
    {"******************************************\n", "******* Initial ISP flow (Keep SN) *******\n",
     true, true, nullptr, {kCardBefore, kImageTable, kImageTable, kImageTable}},
    {"******************************************\n", "**** Initial ISP flow (Keep SN mode 1) ***\n",
     true, true, nullptr, {kCardBefore, kCardBefore, kCardBefore, kImageTable}},
};

}  // namespace

int InitCard(int mode) {
  if (mode < 0 || mode >= (int)(sizeof(kInitModes) / sizeof(kInitModes[0]))) {
    debug_printf("Unknown initial mode %d\n", mode);
    return 1;
  }
  const InitMode& init = kInitModes[mode];

  ClearScreen();
  debug_printf("\r\n");
  debug_printf("%s", init.starLine);
  debug_printf("%s", init.title);
  debug_printf("%s", init.starLine);
  ShowCMDtype();
  ShowCardInfo(1);
  CardIdentity before = g_CardIdentity;
  debug_printf("ISPMode:%d\n", g_FlashIDTable[kFidISPMode]);
  debug_printf("ISP file name is %s, %d\n", ISPDateCodeFile, mode);

  if (CheckFlashID()) return 1;
  bool ispRunning = g_FlashIDTable[kFidISPMode] == kModeIsp;
  // A card an earlier run left in its boot ROM or a loader is restarted from
  // its ISP copies, so that the same command finishes the job with the
  // card's own identity.
  if (init.needsIspFirmware && !ispRunning && BringBackIspFirmware() == 0) {
    ispRunning = true;
    ShowCardInfo(1);
    before = g_CardIdentity;
  }
  if (init.needsIspFirmware && !ispRunning) {
    debug_printf("It is not ISP mode!\n");
    return 1;
  }
  // Everything read after the card leaves its firmware is checked while it
  // still runs it; the image is checked before it is personalised, which
  // re-signs it.
  if (CheckLoaderFiles() != 0 || CheckSHA256(ISPDateCodeFile) != 0) return 1;
  if (init.personalised && ModifyISPFile(mode) != 0) {
    if (init.prepareFailure != nullptr) debug_printf("%s", init.prepareFailure);
    return 1;
  }
  // The parameter block can only be read while the ISP firmware runs.
  if (ispRunning && gQel3300->ReadPar(g_Parameter, kParameterSize) != 0) {
    debug_printf("Read Par Fail\n");
    return 1;
  }

  HoldStopSignals();
  if (ForceToROM() != 0 || DL_SHIM_MPISP() != 0 || DLMPISP() != 0) return 1;
  if (DoPretest() != 0) {
    debug_printf("DoPretest_Fail\n");
    return 1;
  }
  if (CheckPretestFlash() != 0) {
    debug_printf("pretest Fail!\n");
    return 1;
  }
  CheckCardMode();
  debug_printf("ISPMode:%d\n", g_FlashIDTable[kFidISPMode]);

  if (WriteISPFirmware(init.personalised ? UpdateISPDataFile : ISPDateCodeFile, false) != 0) {
    return 1;
  }
  if (ReleaseStopSignals(true) != 0) return 1;
  ShowCardInfo(2);
  return CheckCardIdentity(init.identity, before);
}
