// "FWVerDB.ini" through the INI functions: the version gate's reads, then
// one write whose effect is checked.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "FlowGlobals.h"
#include "FuzzCard.h"
#include "INIFile.h"

namespace {

// Entries of each numbered list the gate would walk; more only cost time.
const int kListedEntries = 8;

void ReadLikeTheGate(const char* path) {
  char value[20];
  char key[32];
  for (const char* kind : {"SWAP", "UPDATE"}) {
    std::string table = std::string(kind) + "_FWTable";
    for (int n = 1; n <= kListedEntries; ++n) {
      snprintf(key, sizeof key, "FWVer_%d", n);
      if (read_profile_string(table.c_str(), key, value, sizeof value, "", path) == 0) break;
      // The gate forms the section name in a 20-byte buffer too.
      std::string section = (std::string(kind) + "_" + value).substr(0, sizeof value - 1);
      char supported[20];
      for (int k = 1; k <= kListedEntries; ++k) {
        snprintf(key, sizeof key, "FWSupportVer_%d", k);
        if (read_profile_string(section.c_str(), key, supported, sizeof supported, "", path) == 0) break;
      }
    }
  }
  read_profile_int("SWAP_FWTable", "FWVer_1", -1, path);
}

// A name or value made of the input's bytes, in characters that mean
// nothing special to the INI syntax.
std::string SafeText(FuzzInput& in, const char* prefix) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.";
  std::string text = prefix;
  int length = in.Byte() % 6 + 1;
  for (int i = 0; i < length; ++i) text += kAlphabet[in.Byte() % (sizeof kAlphabet - 1)];
  return text;
}

}  // namespace

int FuzzIni(const uint8_t* data, size_t size) {
  NextInput();
  // The first bytes choose what to write; the rest is the file.
  FuzzInput in(data, size);
  std::string section = SafeText(in, "SWAP_");
  std::string key = SafeText(in, "FWSupportVer_");
  std::string value = SafeText(in, "V");
  std::vector<uint8_t> before(in.Rest(), in.Rest() + in.RestSize());
  const char* path = FWVerDateFile;
  if (!WriteFile(path, before.data(), before.size())) return 0;

  ReadLikeTheGate(path);
  std::vector<char> buf(kIniBufferSize, 0);
  int loadedSize = 0;
  load_ini_file(path, buf.data(), &loadedSize);

  int written = write_profile_string(section.c_str(), key.c_str(), value.c_str(), path);
  std::vector<uint8_t> after;
  FuzzCheck(ReadFile(path, &after), "the INI file is still there");
  if (written == 0) {
    FuzzCheck(after == before, "a refused write leaves the file untouched");
    return 0;
  }
  // A write replaces one value or adds lines: whatever it removed from the
  // old text lies within one line.
  size_t prefix = 0;
  while (prefix < before.size() && prefix < after.size() && before[prefix] == after[prefix]) ++prefix;
  size_t suffix = 0;
  while (suffix < before.size() - prefix && suffix < after.size() - prefix &&
         before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix]) {
    ++suffix;
  }
  for (size_t i = prefix; i < before.size() - suffix; ++i) {
    FuzzCheck(before[i] != '\n' && before[i] != '\r', "a write keeps every line of the old text");
  }
  // In a text without NUL bytes the value written is the value read back.
  if (std::find(before.begin(), before.end(), 0) == before.end()) {
    char back[64] = {};
    FuzzCheck(read_profile_string(section.c_str(), key.c_str(), back, sizeof back, nullptr, path) == 1,
              "a written key reads back");
    FuzzCheck(value == back, "a written value reads back unchanged");
  }
  return 0;
}
