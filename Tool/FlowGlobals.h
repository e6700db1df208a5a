// Process-wide state shared by the front end and the firmware flows, and the
// entry points of every flow. One run drives one card on one thread, so the
// flows communicate through these globals as the controller's tools always
// have: the selected object, the card's flash ID table, parameter block and
// geometry, and the fourteen file names of the chosen image set.
#ifndef QEL_TOOL_FLOWGLOBALS_H_
#define QEL_TOOL_FLOWGLOBALS_H_

#include <stdint.h>

#include "QC3300.h"

#define APP_VERSION "V1.1.0 - Q1117A"

// ---- Front end: device slots and identity texts.
enum { kDeviceSlots = 6, kDevNameSize = 20 };
extern QC3300 mQel3300[kDeviceSlots];
extern QC3300* gQel3300;
extern int gQel3300Qty;
extern int gQel3300Sel;
extern char gQel3300DevName[kDeviceSlots][kDevNameSize];
extern char gQel3300SN_Info[kDeviceSlots][21];
extern char gQel3300MN_Info[kDeviceSlots][41];
extern char gQel3300FW_Info[kDeviceSlots][9];
extern char KEYINSNString[21];
extern int g_FlashIDOffset;

// The identity a card answers in its ID table (IDENTIFY data): serial
// number, model name and firmware revision as trimmed text, the world wide
// name (words 108-111) as 16 hex digits.
struct CardIdentity {
  bool valid;
  char serial[21];
  char model[41];
  char firmware[9];
  char wwn[17];
};
// As the last ShowCardInfo read it; not valid when the read failed.
extern CardIdentity g_CardIdentity;
CardIdentity IdentityOf(const unsigned char* idTable);

// Where a flow means each identity field to come from. The check reads the
// card's answer to the ShowCardInfo that closes the flow, so it sends
// nothing of its own.
enum IdentitySource { kNotChecked, kCardBefore, kImageTable, kGivenSerial };
struct IdentityRule {
  IdentitySource serial, model, wwn, firmware;
};
// 0 when g_CardIdentity is what `rule` asks, given the card's identity
// before the flow and the image ISPDateCodeFile's ID table; else 1 after
// "Identity check fail! <field> is <value>, expected <value>".
int CheckCardIdentity(const IdentityRule& rule, const CardIdentity& before);

void ShowHelp();
void ShowPASS();
void ShowFail(int code);
bool ScanTarget();
void ShowCardInfo(int layout);

// Writes the terminal's clear sequence, only when standard output is a terminal.
void ClearScreen();

// The whole run: command line in, process exit status out (main's body).
int ToolMain(int argc, char* argv[]);

// True for the files a run of the tool writes into the working directory:
// "Display.log" and trace files named "%Y-%m-%d_%H-%M-%S.log".
bool IsToolLogName(const char* name);
// Removes those files from the working directory, and nothing else.
void RemoveToolLogs();

// ---- Card records (flash ID table, parameter block, geometry, die maps).
enum { kFlashIDTableSize = 1410, kParameterSize = 7168 };
extern unsigned char g_FlashIDTable[kFlashIDTableSize];
extern unsigned char g_Parameter[kParameterSize];

struct CardMode {
  uint8_t ParBit2Flag;
  uint8_t ParBit1Flag;
  uint8_t IspModeFlag;
  uint8_t MpIspModeFlag;
  uint8_t OtherModeFlag;
  int32_t PlaneCount;
  int32_t ParCountHigh;
  int32_t ParCountLow;
  int32_t SectorsPerPage;
  int32_t SectorsPerMultiPlanePage;
  int32_t PagesPerBlock;
  int32_t BlockCount;
};
extern CardMode g_CardMode;

extern uint8_t CEmapPerCH[4];
extern uint32_t TotalDieCnt;
extern uint8_t LCE2PCEmap[8];
extern uint8_t PCE2LCEmap[8];
extern uint8_t LCH2PCHmap[4];
extern uint8_t PCH2LCHmap[4];

// Offsets of the flash ID table fields the flows read.
enum {
  kFidPretestCode = 1,
  kFidISPMode = 4,
  kFidReadyFlags = 9,
  kFidDramCode = 12,
  kFidFlashType = 13,
  kFidBlockCount = 16,
  kFidFlashID = 32,
  kFidDieSlots = 48,
  kFidSysBlock = 560,
  kFidISP1Block = 564,
  kFidISP2Block = 566,
  kFidDieCount = 639,
};

int CheckCardMode();
// Pieces of CheckCardMode: the die maps from a flash ID table, and the
// geometry from a flash ID table and a parameter block.
void BuildDieMaps(const unsigned char* flashIDTable);
CardMode DeriveCardMode(const unsigned char* flashIDTable, const unsigned char* parameter);
int GetSysBlkInfo(uint16_t sysBlock, int32_t* outBlock, int32_t* outLogicalCE,
                  int32_t* outLogicalCH, int32_t blockCount);
void ShowCMDtype();
int CheckInfoString();

// ---- Image set: fourteen file names of 128 bytes each.
enum { kPathSize = 128 };
extern char ISPDateCodeFile[kPathSize];
extern char UpdateISPDataFile[kPathSize];
extern char TempISPDataFile[kPathSize];
extern char PTDateCodeFile[kPathSize];
extern char PTHeadCodeFile[kPathSize];
extern char MPISPCodeFile[kPathSize];
extern char FlashIDCodeFile[kPathSize];
extern char DumpISP1File[kPathSize];
extern char DumpISP2File[kPathSize];
extern char VerifyISP1File[kPathSize];
extern char VerifyISP2File[kPathSize];
extern char FWVerDateFile[kPathSize];
extern char DRAMSETFile[kPathSize];
extern char ShimMPISPFile[kPathSize];

// Points the fourteen names at set `name` under REGBIN/3300, or at the
// default set for null. Returns false (names untouched) when a name would
// not fit its buffer.
bool SetDefaultFilePath(const char* name);
// True when the entry `name` of REGBIN/3300, of directory-entry type `type`
// (DT_UNKNOWN asks the file system), can be an image set.
bool IsImageSetEntry(const char* name, unsigned char type);
// Keeps the default set when its FLASHID.bin matches, else takes the first
// matching named set in directory order (the default when none does).
// Returns 1, after its message, when REGBIN/3300 cannot be listed.
int SelectImageSet();
// Deletes the chosen set's scratch outputs of earlier runs.
void RemoveScratchFiles();
// Compares the card's flash ID table with FlashIDCodeFile: false on a match.
bool CheckFlashID();

// ---- Loaders, pretest and resets.
// Reads both loader files as the loaders will, while the card still runs its
// firmware: 0 when both can be sent, else 1 after the loader's own message.
int CheckLoaderFiles();
int ForceToROM();
int DL_SHIM_MPISP();
int DLMPISP();
int DoPretest();
int CheckPretestFlash();
int ResetCpu();


// ---- ISP write, initial flow, personalisation, dump.
// Keeps the card's sector 0 in "LBA0.bin" in the working directory; an
// incomplete copy is removed. Prints the failure.
bool SaveSectorZero(const unsigned char* sector);
// Opens the selected device again when a failed command has closed it.
bool ReopenIfClosed();
// Writes the saved sector 0 back to the card. A write the disk refused or
// cut short is tried once more, on the device opened again if the failure
// closed it, so the user's sector 0 is not left half written. 0 on success.
int WriteBackSector0(unsigned char* sector);
int WriteISPFirmware(char* path, bool strip);
// Restarts a card found in its boot ROM or a loader from its ISP copies, so
// that the command an earlier run left unfinished can finish the job. 0 when
// the card then runs its ISP firmware.
int BringBackIspFirmware();
int InitCard(int mode);
int ModifyISPFile(int mode);
int ModifyISPFileBypassCSSInfo(char* path);
int DumpISPBlock(char* path, int verbose);
int VerifyISP(char* path, int unused);

// ---- Swap/update and the version gate.
int SwapISP(int mode);
int CheckBinISPVerWithFlash(int selector);
int GetISPFWVer(char* out);
int StrCMPForFlashFWVer(char* out, char* other);

// ---- DOWNLOAD MICROCODE.
int DownloadMicroCode_Main(int dma, int subCommand);
int DMicrocodeChk(int subCommand, int totalBlocks, int blocksPerCommand, unsigned char* image,
                  unsigned char* identify, bool dma);

#endif  // QEL_TOOL_FLOWGLOBALS_H_
