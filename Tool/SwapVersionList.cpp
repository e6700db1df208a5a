#include "SwapVersionList.h"

#include <stdio.h>
#include <string.h>

#include "INIFile.h"

bool ReadFirmwareVersion(const char* path, char* out) {
  out[0] = '\0';
  FILE* file = fopen(path, "rb");
  if (file == nullptr) return false;
  size_t got = 0;
  if (fseek(file, kIspFwVersion, SEEK_SET) == 0) got = fread(out, 1, kIspFwVersionLength, file);
  fclose(file);
  out[got] = '\0';
  return true;
}

int FindListedVersion(const char* iniFile, const char* section, const char* keyPrefix,
                      const char* version) {
  int highest = 0;
  for (int number = 1; number <= kVersionListMax; ++number) {
    char key[32];
    snprintf(key, sizeof(key), "%s%d", keyPrefix, number);
    char value[20];
    if (read_profile_string(section, key, value, sizeof(value), "", iniFile) != 1) break;
    if (strcmp(value, version) == 0) highest = number;
  }
  return highest;
}
