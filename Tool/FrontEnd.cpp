// The tool's front end: the device slots and identity texts, the help text
// and final banners, and the run itself from the command line to the exit
// status.
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "EXCMDFunc.h"
#include "FlowGlobals.h"
#include "RunGuard.h"

QC3300 mQel3300[kDeviceSlots];
QC3300* gQel3300 = nullptr;
int gQel3300Qty = 0;
int gQel3300Sel = 0;
char gQel3300DevName[kDeviceSlots][kDevNameSize];
char gQel3300SN_Info[kDeviceSlots][21];
char gQel3300MN_Info[kDeviceSlots][41];
char gQel3300FW_Info[kDeviceSlots][9];
char KEYINSNString[21];
int g_FlashIDOffset = 0;

void ClearScreen() {
  if (!isatty(STDOUT_FILENO)) return;
  fputs("\033[H\033[2J", stdout);
  fflush(stdout);
}

void ShowHelp() {
  ClearScreen();
  debug_printf("\n");
  debug_printf("SSD update tool - swap/update SSD Firmware - AP:%s, Lib:%d\n", APP_VERSION,
               GetLibVersion());
  debug_printf("Usage:\n");
  debug_printf(
      "      ./Tool_Name  </dev/nvmeXn1(X:device number) or -list>  <Command>  [options]\n\n");
  debug_printf("Command:\n");
  debug_printf("  initial            :Initialization card\n");
  debug_printf("  initial SN         :Initialization card with new SN\n");
  debug_printf("  keepsn             :Initialization card, Keep serial number\n");
  debug_printf("  keepsn_1           :Initialization card\n");
  debug_printf(
      "                     (Keep IDtable and VendorSpecific, SN/MN/WWN with the card, using new "
      "FW VER.)\n");
  debug_printf("  update             :Update ISP,download ISP, CID from ISP bin file\n");
  debug_printf(
      "                     (Keep IDtable and VendorSpecific, SN/ModelName with the card, using "
      "new FW VER.)\n");
  debug_printf("  update_1           :Update ISP,download ISP, CID from ISP bin file\n");
  debug_printf(
      "                     (Keep IDtable and VendorSpecific, SN with the card, using new FW_VER / "
      "ModelName.)\n");
  debug_printf("  swap               :Swap ISP,download ISP from bin file\n");
  debug_printf(
      "                     (Keep CID and IDtable(ATA-EC), SN with the card, using new FW VER.)\n");
  debug_printf("  swap_1             :Swap ISP,download ISP from bin file\n");
  debug_printf(
      "                     (Keep CID and IDtable(ISP_Block), SN with the card, using new FW "
      "VER.)\n");
  debug_printf("  download-microcode :Update FW by Download Microcode.\n");
  debug_printf("\n\n");
}

void ShowPASS() {
  debug_printf("\n");
  debug_printf("Linux Tool:%s, Lib:%d\n", APP_VERSION, GetLibVersion());
  debug_printf("\n*****************************************");
  debug_printf("\nTotal Process finished,the result is Pass");
  debug_printf("\n*****************************************\n");
}

void ShowFail(int code) {
  debug_printf("\n");
  debug_printf("Linux Tool:%s, Lib:%d\n", APP_VERSION, GetLibVersion());
  debug_printf("\n*******************************************");
  debug_printf("\nTotal Process finished,the result is failed");
  debug_printf("\nErrorCode: %04X", code);
  debug_printf("\n*******************************************\n");
}

bool IsToolLogName(const char* name) {
  if (strcmp(name, "Display.log") == 0) return true;
  // Trace files: "%Y-%m-%d_%H-%M-%S.log"; '9' stands for any digit.
  static const char kTraceForm[] = "9999-99-99_99-99-99.log";
  if (strlen(name) != sizeof(kTraceForm) - 1) return false;
  for (size_t i = 0; kTraceForm[i] != '\0'; ++i) {
    bool digit = name[i] >= '0' && name[i] <= '9';
    if (kTraceForm[i] == '9' ? !digit : name[i] != kTraceForm[i]) return false;
  }
  return true;
}

void RemoveToolLogs() {
  DIR* dir = opendir(".");
  if (dir == nullptr) return;
  while (struct dirent* entry = readdir(dir)) {
    if (IsToolLogName(entry->d_name)) unlink(entry->d_name);
  }
  closedir(dir);
}

namespace {

enum { kMaxSerialLength = 20 };
const char kSectorZeroFile[] = "LBA0.bin";

// A serial number the card can carry and a reader can tell apart: printable
// ASCII, and not only blanks (an unset variable in a line script gives "").
bool IsUsableSerial(const char* serial) {
  bool blank = true;
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(serial); *c != '\0'; ++c) {
    if (*c < 0x20 || *c > 0x7E) return false;
    if (*c != ' ') blank = false;
  }
  return !blank;
}

// "Open Device Error: %s" and the system's reason on a line of its own.
void ReportOpenError(const char* path, int reason) {
  debug_printf("Open Device Error: %s\n", path);
  debug_printf("%s\n", strerror(reason));
}

// Opens the node named on the command line in slot 0 and proves through the
// unlock probe that it carries the controller. Prints why it refuses.
bool SelectNamedDevice(const char* path) {
  gQel3300Sel = 0;
  gQel3300 = &mQel3300[0];
  // /dev/disk/by-id/... names are links to the /dev/sdX node the slots hold.
  std::string node;
  if (!ResolveLinks(path, &node)) {
    ReportOpenError(path, errno);
    return false;
  }
  // The slots hold 19 characters; a longer name is refused, never cut.
  if (node.size() >= kDevNameSize) {
    ReportOpenError(path, ENAMETOOLONG);
    return false;
  }
  char name[kDevNameSize];
  snprintf(name, sizeof(name), "%s", node.c_str());
  if (!HoldDevice(name)) return false;

  gQel3300->Initialize();
  if (!gQel3300->OpenDevice(name)) {
    ReportOpenError(path, errno);
    return false;
  }
  unsigned char answer[4096];
  bool ata = (gQel3300->GetAttribute() & kAttrAtaPassThrough) != 0;
  int probe = gQel3300->QelPreVendorCommand(answer, ata);
  int refused = SgIoErrno();
  ShowCardInfo(0);
  if (probe != 0 && (refused == EPERM || refused == EACCES)) {
    debug_printf("SG_IO refused on %s: %s (run as root or with CAP_SYS_RAWIO)\n", name,
                 strerror(refused));
    return false;
  }
  if (probe != 0) {
    debug_printf("This is not QEL disk!\n");
    return false;
  }
  memcpy(gQel3300DevName[gQel3300Sel], name, kDevNameSize);
  return true;
}

int RunInitCard(int mode, int, char**) { return InitCard(mode); }

int RunSwapISP(int mode, int, char**) { return SwapISP(mode); }

int RunReadFlashID(int, int, char**) {
  int result = gQel3300->ReadFlashID(g_FlashIDTable);
  if (result == 0) ShowHex(g_FlashIDTable, 512, 0);
  return result;
}

// Option words of "download-microcode"; a later word overrides an earlier.
struct MicrocodeOption {
  const char* word;
  bool setsDma;  // else sets the mode
  int value;
};
const MicrocodeOption kMicrocodeOptions[] = {
    {"DMAOnly", true, 1}, {"PIOOnly", true, 0}, {"Mode3", false, 3},
    {"Mode7", false, 7},  {"ModeE", false, 14},
};

int RunDownloadMicrocode(int, int argc, char** argv) {
  if (argc <= 3) {
    // No option: DMA first, PIO only when DMA failed.
    if (DownloadMicroCode_Main(1, 3) == 0) return 0;
    return DownloadMicroCode_Main(0, 3);
  }
  int dma = 0;
  int mode = 3;
  for (int i = 3; i < argc; ++i) {
    for (const MicrocodeOption& option : kMicrocodeOptions) {
      if (strcmp(argv[i], option.word) != 0) continue;
      (option.setsDma ? dma : mode) = option.value;
    }
  }
  return DownloadMicroCode_Main(dma, mode);
}

// Which command lines a row of the command table accepts.
enum ArgumentRule {
  kAnyArguments,
  kNoArgument,    // exactly the command word
  kSerialNumber,  // a new serial number follows the command word
};

struct Command {
  const char* word;
  ArgumentRule rule;
  const char* announcement;
  const char* failureLine;
  int (*run)(int mode, int argc, char** argv);
  int mode;
  bool writesFirmware;  // keeps sector 0 in "LBA0.bin" in the working folder
  bool writesImageSet;  // personalised copies or read-back dumps land in the set
};

const Command kCommands[] = {
    {"initial", kNoArgument, "Initial Card...................\n\n", "Initial card failed..\n\n",
     RunInitCard, 0, true, false},
    {"initial", kSerialNumber, "Inital Card with new Serial Number............\n\n",
     "Initial card failed..\n\n", RunInitCard, 1, true, true},
    {"keepsn", kAnyArguments, "Initial Card(keepsn)...........\n\n", "Initial card failed..\n\n",
     RunInitCard, 2, true, true},
    {"keepsn_1", kAnyArguments, "Initial Card(keepsn_1).........\n\n", "Initial card failed..\n\n",
     RunInitCard, 3, true, true},
    {"update", kAnyArguments, "Update Card..................\n\n", "Update failed..\n\n",
     RunSwapISP, 4, true, true},
    {"update_1", kAnyArguments, "Update_1 Card................\n\n", "Update_1 failed..\n\n",
     RunSwapISP, 5, true, true},
    {"swap", kAnyArguments, "Swap Card....................\n\n", "Swap failed..\n\n", RunSwapISP,
     6, true, true},
    {"swap_1", kAnyArguments, "Swap_1 Card..................\n\n", "Swap_1 failed..\n\n",
     RunSwapISP, 7, true, true},
    {"readflashid", kAnyArguments, "Read Flash ID................\n\n",
     "Read Flash ID failed..\n\n", RunReadFlashID, 0, false, false},
    {"download-microcode", kAnyArguments, "download-microcode ............\n\n",
     "Download Microcode failed..\n\n", RunDownloadMicrocode, 0, true, true},
};

// What a flow writes must be writable before the card is touched: the
// chosen set's folder takes its scratch files (a set that does not exist is
// left to the flows, which name the file they miss), and "LBA0.bin" in the
// working folder is never written through a link planted in its place.
bool CanWriteRunFiles(const Command& command) {
  struct stat info;
  if (command.writesFirmware && lstat(kSectorZeroFile, &info) == 0 && !S_ISREG(info.st_mode)) {
    debug_printf("Cannot write %s: %s\n", kSectorZeroFile, strerror(ELOOP));
    return false;
  }
  char folder[kPathSize];
  snprintf(folder, sizeof folder, "%s", UpdateISPDataFile);
  char* slash = strrchr(folder, '/');
  if (!command.writesImageSet || slash == nullptr) return true;
  *slash = '\0';
  if (access(folder, F_OK) != 0 || access(folder, W_OK | X_OK) == 0) return true;
  debug_printf("Cannot write in %s: %s\n", folder, strerror(errno));
  return false;
}

const Command* FindCommand(int argc, char** argv) {
  for (const Command& command : kCommands) {
    if (strcmp(argv[2], command.word) != 0) continue;
    if (command.rule == kNoArgument && argc != 3) continue;
    if (command.rule == kSerialNumber && argc < 4) continue;
    return &command;
  }
  return nullptr;
}

// Runs the command word's flow and reports the outcome; returns the exit
// status.
int Dispatch(int argc, char** argv) {
  const Command* command = FindCommand(argc, argv);
  if (command == nullptr) {
    ShowHelp();
    return 1;
  }
  if (command->rule == kSerialNumber) {
    if (strlen(argv[3]) > kMaxSerialLength) {
      debug_printf("Input Serial Number exceeds 20 bytes..\n\n");
      ShowFail(1);
      return 1;
    }
    if (!IsUsableSerial(argv[3])) {
      debug_printf("Input Serial Number is empty or not printable ASCII..\n\n");
      ShowFail(1);
      return 1;
    }
    snprintf(KEYINSNString, sizeof(KEYINSNString), "%s", argv[3]);
  }
  if (!CanWriteRunFiles(*command)) {
    ShowFail(1);
    return 1;
  }
  debug_printf("%s", command->announcement);
  int result = command->run(command->mode, argc, argv);
  // A stop signal held while a flow failed with the card out of its firmware.
  if (ReleaseStopSignals(false) != 0) result = 1;
  if (result != 0) {
    debug_printf("%s", command->failureLine);
    ShowFail(1);
    return 1;
  }
  ShowPASS();
  return 0;
}

}  // namespace

int ToolMain(int argc, char* argv[]) {
  ClearScreen();
  IgnoreBrokenPipe();
  // Before anything is deleted or written: no other run may use the folder.
  if (!ClaimWorkingFolder()) return 1;
  RemoveToolLogs();
  debug_printf("qeltool %s (QC3300)\n", APP_VERSION);
  debug_printf("SSD Linux Update Tool:\n\n");
  if (argc <= 2) {
    ShowHelp();
    return 1;
  }

  if (strcmp(argv[1], "-list") == 0) {
    if (ScanTarget() || !HoldDevice(gQel3300DevName[gQel3300Sel])) return 1;
  } else if (!SelectNamedDevice(argv[1])) {
    return 1;
  }

  // "showIDinfo" wants only the card information shown above; its run ends
  // with the success banner and status 1 all the same.
  if (strcmp(argv[2], "showIDinfo") == 0) {
    ShowPASS();
    return 1;
  }

  g_FlashIDOffset = kFidDieSlots;
  CheckCardMode();
  if (SelectImageSet() != 0) return 1;
  RemoveScratchFiles();
  return Dispatch(argc, argv);
}
