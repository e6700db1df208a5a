// The chain that takes the controller from whatever it runs to a pretested
// MP-ISP loader: boot ROM, shim loader, MP-ISP loader, pretest. Each link
// checks through ISPMode which program runs afterwards.
#include <stdio.h>
#include <unistd.h>

#include "ChunkLoader.h"
#include "EXCMDFunc.h"
#include "FlowGlobals.h"

namespace {

enum {
  kModeBootRom = 0,
  kModeMpIsp = 1,
  kModeShim = 3,
  kLoaderProbeReads = 5,
  kFlashIDAnswerSize = 1024,
};

// The two loaders differ only in these values.
struct LoaderSpec {
  const char* name;     // as it appears in the messages
  const char* heading;  // the step heading, padded as the tool always printed it
  const char* path;
  unsigned long base;
  bool startWithJump;        // JumpCode to base + 0x410, else ActiveMpIspIspCode at base
  bool answerIntoCardTable;  // flash ID answer kept in g_FlashIDTable
  int expectedMode;
};

const LoaderSpec kShimLoader = {"ShimMPISP", "Download ShimMPISP.....................\n",
                                ShimMPISPFile, 0x40020000, true, false, kModeShim};
const LoaderSpec kMpIspLoader = {"MPISP", "Download MPISP ........................\n",
                                 MPISPCodeFile, 0x40040000, false, true, kModeMpIsp};

const unsigned long kShimEntryOffset = 0x410;

// Reads a loader file into `load`; prints the reason when it cannot, and
// with `announce` the line that names the opened file.
bool StageLoader(const LoaderSpec& loader, bool announce, StagedLoad* load) {
  FILE* file = fopen(loader.path, "rb");
  if (file == nullptr) {
    debug_printf("DL %s Error! Cannot open %s.bin file\n", loader.name, loader.name);
    return false;
  }
  if (announce) debug_printf("Open %s file %s\n", loader.name, loader.path);
  LoadResult staged = load->Stage(file, kLoadWholeFile, loader.base);
  fclose(file);
  if (staged != kLoadOk) {
    debug_printf("Load %s Fail! %s: %s\n", loader.name, loader.path, LoadResultText(staged));
    return false;
  }
  return true;
}

int DownloadLoader(const LoaderSpec& loader) {
  unsigned char scratch[kFlashIDAnswerSize];
  // A card that cannot answer five reads in a row is in no state to load.
  for (int i = 0; i < kLoaderProbeReads; ++i) {
    if (gQel3300->ReadFlashID(scratch) != 0) return 1;
  }

  debug_printf("%s", loader.heading);
  StagedLoad load;
  if (!StageLoader(loader, true, &load)) return 1;
  if (load.Send(gQel3300, loader.base) != kLoadOk) {
    debug_printf("Load %s Fail!\n", loader.name);
    return 1;
  }

  int started = loader.startWithJump ? gQel3300->JumpCode(loader.base + kShimEntryOffset)
                                     : gQel3300->ActiveMpIspIspCode(loader.base);
  if (started != 0) {
    debug_printf("Jump %s Fail!\n", loader.name);
    return 1;
  }
  unsigned char* answer = loader.answerIntoCardTable ? g_FlashIDTable : scratch;
  gQel3300->ReadFlashID(answer);
  if (answer[kFidISPMode] != loader.expectedMode) {
    debug_printf("Check Running %s Mode Fail!\n", loader.name);
    return 1;
  }
  debug_printf("Success\n");
  return 0;
}

struct PretestFailure {
  unsigned char code;
  const char* message;
};

const PretestFailure kPretestFailures[] = {
    {0x01, "0x01,DRAM Training Fail!\n"},
    {0x02, "0x02,DRAM Miss Compare!\n"},
    {0x03, "0x03,Zero Channel Number!\n"},
    {0x04, "0x04,Database Tag Fail!\n"},
    {0x05, "0x05,Database No Bank!\n"},
    {0x06, "0x06,Database Page Size Fail!\n"},
    {0x07, "0x07,Database Flash Type Fail!\n"},
    {0x08, "0x08,No Plane In Database!\n"},
    {0x09, "0x09,EsnMPModeBut1Plane!\n"},
    {0x0A, "0x0A,Flash No Sync!\n"},
    {0x0B, "0x0B,SLC But Prog MSB!\n"},
    {0x0C, "0x0C,Too Much Bank!\n"},
    {0x0D, "0x0D,No Chk Defect Bad Rule!\n"},
    {0x0E, "0x0E,ECC Level Error!\n"},
    {0x0F, "0x0F,TrainADJWCmdQHalt\n"},
    {0x10, "0x10,TrainADJRCmdQHalt\n"},
    {0x11, "0x11,TrainADJFail!\n"},
    {0x12, "0x12,DRAM size not enough!\n"},
    {0x13, "0x13,Too Much Bad!\n"},
    {0x14, "0x14,IM N.F. Not Support SLC mode\n"},
    {0x15, "0x15,Hynix Read Retry Table\n"},
    {0x16, "0x16,Cache0 Too Small\n"},
    {0x17, "0x17,Data bus Error Ch0\n"},
    {0x18, "0x18,Data bus Error Ch1\n"},
    {0x19, "0x19,Data bus Error Ch2\n"},
    {0x1A, "0x1A,Data bus Error Ch3\n"},
    {0x1B, "0x1B,Too Much SLC Bad\n"},
    {0x1C, "0x1C,Database Page Num = 0\n"},
    {0x1D, "0x1D,SLC Block Region Error\n"},
    {0x1E, "0x1E,No Info Page\n"},
    {0x1F, "0x1F,Dual Dram Mismatch\n"},
    {0x20, "0x20,Pretest Bad exceeds TH\n"},
    {0x21, "0x21,ParticularSlotEmpty\n"},
    {0x22, "0x22,ECC engine error\n"},
    {0x23, "0x23,RAM Test Fail\n"},
    {0x25, "0x25,PP Capacitor is failed\n"},
    {0x30, "0x30,SPI Read Compare Fail\n"},
    {0x31, "0x31,Full Capacity Card Size Fail\n"},
};

}  // namespace

int CheckLoaderFiles() {
  for (const LoaderSpec* loader : {&kShimLoader, &kMpIspLoader}) {
    StagedLoad load;
    if (!StageLoader(*loader, false, &load)) return 1;
  }
  return 0;
}

int ForceToROM() {
  debug_printf("Force ROM Mode.........................\n");
  if (gQel3300->ResetCPU(false) != 0) {
    debug_printf("Reset Cpu Error\n");
    return 1;
  }
  gQel3300->ReadFlashID(g_FlashIDTable);
  if (g_FlashIDTable[kFidISPMode] == kModeBootRom) {
    debug_printf("Done\n");
    return 0;
  }
  if (gQel3300->ResetCPU(true) != 0) {
    debug_printf("Force ROM Error\n");
    return 1;
  }
  gQel3300->ReadFlashID(g_FlashIDTable);
  if (g_FlashIDTable[kFidISPMode] != kModeBootRom) return 1;
  sleep(1);
  debug_printf("Done\n");
  return 0;
}

int DL_SHIM_MPISP() { return DownloadLoader(kShimLoader); }

int DLMPISP() { return DownloadLoader(kMpIspLoader); }

int DoPretest() {
  debug_printf("Do pretest.............................\n");
  debug_printf("Jump to Pretest!\n");
  if (gQel3300->RunPretestCode() != 0) {
    debug_printf("Jump Pretest Error \n");
    return 1;
  }
  debug_printf("Success\n");
  return 0;
}

int CheckPretestFlash() {
  debug_printf("Check Pretest Flash....................\n");
  if (gQel3300->ReadFlashID(g_FlashIDTable) != 0) return 1;
  if (g_FlashIDTable[kFidISPMode] != kModeMpIsp) {
    debug_printf("Check Running MPISP Mode Fail!\n");
    return 1;
  }
  unsigned char code = g_FlashIDTable[kFidPretestCode];
  if (code == 0) {
    debug_printf("Success\n");
    return 0;
  }
  for (const PretestFailure& failure : kPretestFailures) {
    if (failure.code == code) {
      debug_printf("%s", failure.message);
      return 1;
    }
  }
  debug_printf("Pretest Unknow Fail ErrirCode:0x%02X,!\n", code);
  return 1;
}

int ResetCpu() {
  debug_printf("Reset CPU .............................\n");
  if (gQel3300->ResetCPU(false) != 0) {
    debug_printf("Reset Cpu Error\n");
    return 1;
  }
  sleep(1);
  debug_printf("Done\n");
  return 0;
}
