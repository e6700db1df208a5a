// The image set: the fourteen file names of one set under REGBIN/3300, the
// choice of the set that matches the card, and the removal of the set's
// scratch outputs.
#include <dirent.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "EXCMDFunc.h"
#include "FlowGlobals.h"

char ISPDateCodeFile[kPathSize];
char UpdateISPDataFile[kPathSize];
char TempISPDataFile[kPathSize];
char PTDateCodeFile[kPathSize];
char PTHeadCodeFile[kPathSize];
char MPISPCodeFile[kPathSize];
char FlashIDCodeFile[kPathSize];
char DumpISP1File[kPathSize];
char DumpISP2File[kPathSize];
char VerifyISP1File[kPathSize];
char VerifyISP2File[kPathSize];
char FWVerDateFile[kPathSize];
char DRAMSETFile[kPathSize];
char ShimMPISPFile[kPathSize];

namespace {

const char kSetRoot[] = "REGBIN/3300";

struct SetFile {
  char* path;
  const char* fileName;
};

const SetFile kSetFiles[] = {
    {ISPDateCodeFile, "ISP3300.bin"},       {UpdateISPDataFile, "SWISP.bin"},
    {TempISPDataFile, "TempISP.bin"},       {MPISPCodeFile, "MP3300.bin"},
    {FlashIDCodeFile, "FLASHID.bin"},       {ShimMPISPFile, "Shim3300.bin"},
    {PTDateCodeFile, "PRET.bin"},           {PTHeadCodeFile, "PRETH.bin"},
    {DRAMSETFile, "DRAMSet.bin"},           {DumpISP1File, "DumpISP1File.bin"},
    {DumpISP2File, "DumpISP2File.bin"},     {VerifyISP1File, "VerifyISP1File.bin"},
    {VerifyISP2File, "VerifyISP2File.bin"}, {FWVerDateFile, "FWVerDB.ini"},
};
const int kSetFileCount = sizeof(kSetFiles) / sizeof(kSetFiles[0]);

// Outputs the tool leaves in a set; everything else in it is an input.
char* const kScratchFiles[] = {UpdateISPDataFile, TempISPDataFile, DumpISP1File,
                               DumpISP2File,      VerifyISP1File,  VerifyISP2File};

}  // namespace

bool SetDefaultFilePath(const char* name) {
  // Built aside first so that a name too long leaves the old set in force.
  char paths[kSetFileCount][kPathSize];
  for (int i = 0; i < kSetFileCount; ++i) {
    int length =
        name == nullptr
            ? snprintf(paths[i], kPathSize, "./%s/%s", kSetRoot, kSetFiles[i].fileName)
            : snprintf(paths[i], kPathSize, "./%s/%s/%s", kSetRoot, name, kSetFiles[i].fileName);
    if (length < 0 || length >= kPathSize) return false;
  }
  for (int i = 0; i < kSetFileCount; ++i) memcpy(kSetFiles[i].path, paths[i], kPathSize);
  return true;
}

bool IsImageSetEntry(const char* name, unsigned char type) {
  if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return false;
  if (type != DT_UNKNOWN) return type == DT_DIR;
  // Some file systems leave the type out of the listing: ask for it. A link
  // is not a set, as it would not be where the type is reported.
  char path[kPathSize];
  int length = snprintf(path, sizeof(path), "%s/%s", kSetRoot, name);
  if (length < 0 || length >= static_cast<int>(sizeof(path))) return false;
  struct stat status;
  return lstat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

int SelectImageSet() {
  SetDefaultFilePath(nullptr);
  if (!CheckFlashID()) return 0;

  DIR* dir = opendir(kSetRoot);
  if (dir == nullptr) {
    debug_printf("This is not have REGBIN/3300!\n");
    return 1;
  }
  bool found = false;
  while (!found) {
    struct dirent* entry = readdir(dir);
    if (entry == nullptr) break;
    // A set whose file names would not fit the buffers is passed over.
    if (!IsImageSetEntry(entry->d_name, entry->d_type)) continue;
    if (!SetDefaultFilePath(entry->d_name)) continue;
    found = !CheckFlashID();
  }
  closedir(dir);
  if (!found) SetDefaultFilePath(nullptr);
  return 0;
}

void RemoveScratchFiles() {
  for (char* path : kScratchFiles) unlink(path);
}
