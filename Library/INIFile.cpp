#include "INIFile.h"

#include <assert.h>
#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "EXCMDFunc.h"

namespace {

enum LoadResult {
  kLoaded,      // the whole file is in the buffer
  kLoadedToFF,  // the text stops at a 0xFF byte; what follows it is not loaded
  kHasNul,      // the text holds a NUL byte, after which the search sees nothing
  kMissing,     // there is no such file
  kUnreadable,  // the file cannot be opened or read
  kTooLarge,    // the text does not fit the buffer
};

enum SearchResult { kKeyFound, kKeyAbsent, kKeyTooLong };

struct Positions {
  int sec_s = -1, sec_e = -1, key_s = -1, key_e = -1, value_s = -1, value_e = -1;
};

// Reads the file's text into buf (kIniBufferSize bytes), up to the end of the
// file or the first 0xFF byte, and terminates it.
LoadResult LoadText(const char* file, char* buf, int* file_size) {
  *file_size = 0;
  FILE* in = fopen(file, "r");
  if (in == nullptr) return errno == ENOENT ? kMissing : kUnreadable;
  LoadResult result = kLoaded;
  int length = 0;
  for (;;) {
    int c = fgetc(in);
    if (c == EOF) {
      if (ferror(in)) result = kUnreadable;
      break;
    }
    if (c == 0xFF) {
      result = kLoadedToFF;
      break;
    }
    if (length == kIniBufferSize - 1) {
      result = kTooLarge;
      break;
    }
    if (c == 0) result = kHasNul;
    buf[length++] = static_cast<char>(c);
  }
  fclose(in);
  if (result == kUnreadable || result == kTooLarge) length = 0;
  buf[length] = '\0';
  *file_size = length;
  return result;
}

bool IsLoaded(LoadResult result) {
  return result == kLoaded || result == kLoadedToFF || result == kHasNul;
}

// A "[" opens a section header only at the start of the text or of a line.
bool OpensHeader(const char* buf, int i) {
  return left_barce(buf[i]) && (i == 0 || newline(buf[i - 1]));
}

// A header answers a requested name when it is that name (exact) or, in the
// prefix pass, a leading part of it.
bool HeaderMatches(const char* name, int nameLength, const char* section, bool exact) {
  size_t wanted = strlen(section);
  if (static_cast<size_t>(nameLength) > wanted || strncmp(name, section, nameLength) != 0) return false;
  return !exact || static_cast<size_t>(nameLength) == wanted;
}

int LineEnd(const char* buf, int i) {
  while (!end_of_string(buf[i]) && !newline(buf[i])) ++i;
  return i;
}

// Looks for key in the body that starts at i; on return *next is where the
// body ends (the next header or the end of the text).
SearchResult SearchBody(const char* key, const char* buf, int i, int* next, Positions* pos) {
  char scratch[kIniKeyScratchSize];
  while (!end_of_string(buf[i]) && !OpensHeader(buf, i)) {
    int lineEnd = LineEnd(buf, i);
    const char* equals = static_cast<const char*>(memchr(buf + i, '=', lineEnd - i));
    if (buf[i] != ';' && equals != nullptr) {
      int keyEnd = static_cast<int>(equals - buf);
      if (keyEnd - i >= kIniKeyScratchSize) return kKeyTooLong;
      memset(scratch, 0, sizeof(scratch));
      memcpy(scratch, buf + i, keyEnd - i);
      trim(scratch);
      if (strcmp(scratch, key) == 0) {
        pos->key_s = i;
        pos->key_e = keyEnd - 1;
        pos->value_s = keyEnd + 1;
        pos->value_e = lineEnd;
        return kKeyFound;
      }
    }
    i = newline(buf[lineEnd]) ? lineEnd + 1 : lineEnd;
  }
  *next = i;
  return kKeyAbsent;
}

// Searches the sections that answer `section` in file order; *sawHeader
// tells whether any header answered at all.
SearchResult SearchSections(const char* section, const char* key, const char* buf, bool exact,
                            bool* sawHeader, Positions* pos) {
  *pos = Positions();
  *sawHeader = false;
  int i = 0;
  while (!end_of_string(buf[i])) {
    if (!OpensHeader(buf, i)) {
      ++i;
      continue;
    }
    const char* close = strchr(buf + i + 1, ']');
    // A "[" never closed is no header: nothing could be written under it and read back.
    if (close == nullptr) break;
    int nameStart = i + 1;
    int nameLength = static_cast<int>(close - buf) - nameStart;
    if (!HeaderMatches(buf + nameStart, nameLength, section, exact)) {
      ++i;
      continue;
    }
    *sawHeader = true;
    int bodyStart = nameStart + nameLength + 1;
    while (isspace(static_cast<unsigned char>(buf[bodyStart]))) ++bodyStart;
    pos->sec_s = nameStart;
    pos->sec_e = bodyStart;
    SearchResult result = SearchBody(key, buf, bodyStart, &i, pos);
    if (result != kKeyAbsent) return result;
  }
  return kKeyAbsent;
}

// An exact header wins wherever one exists: "[SWAP_Q1117A]" must not answer
// for "SWAP_Q1117A00" when that section is there. Files that only hold the
// shorter header are still answered by it.
SearchResult Search(const char* section, const char* key, const char* buf, Positions* pos) {
  bool sawExact = false;
  SearchResult result = SearchSections(section, key, buf, true, &sawExact, pos);
  if (sawExact) return result;
  return SearchSections(section, key, buf, false, &sawExact, pos);
}

// Gives value the default text (when there is one), cut to size - 1
// characters and terminated.
void CopyDefault(char* value, int size, const char* default_value) {
  if (default_value == nullptr) return;
  snprintf(value, size, "%s", default_value);
}

}  // namespace

int newline(char c) { return c == '\n' || c == '\r'; }
int end_of_string(char c) { return c == '\0'; }
int left_barce(char c) { return c == '['; }
int isright_brace(char c) { return c == ']'; }

int load_ini_file(const char* file, char* buf, int* file_size) {
  assert(file != nullptr);
  assert(buf != nullptr);
  return IsLoaded(LoadText(file, buf, file_size)) ? 1 : 0;
}

int parse_file(const char* section, const char* key, const char* buf, int* sec_s, int* sec_e,
               int* key_s, int* key_e, int* value_s, int* value_e) {
  assert(section != nullptr && strlen(section));
  assert(key != nullptr && strlen(key));
  assert(buf != nullptr);
  Positions pos;
  SearchResult result = Search(section, key, buf, &pos);
  *sec_s = pos.sec_s;
  *sec_e = pos.sec_e;
  *key_s = pos.key_s;
  *key_e = pos.key_e;
  *value_s = pos.value_s;
  *value_e = pos.value_e;
  return result == kKeyFound ? 1 : 0;
}

int read_profile_string(const char* section, const char* key, char* value, int size,
                        const char* default_value, const char* file) {
  assert(section != nullptr && strlen(section));
  assert(key != nullptr && strlen(key));
  assert(value != nullptr);
  assert(size > 0);
  assert(file != nullptr);
  std::vector<char> buf(kIniBufferSize, 0);
  int file_size = 0;
  Positions pos;
  if (!IsLoaded(LoadText(file, buf.data(), &file_size)) ||
      Search(section, key, buf.data(), &pos) != kKeyFound) {
    CopyDefault(value, size, default_value);
    return 0;
  }
  int length = pos.value_e - pos.value_s;
  if (length > size - 1) length = size - 1;
  memset(value, 0, size);
  memcpy(value, buf.data() + pos.value_s, length);
  trim(value);
  return 1;
}

int read_profile_int(const char* section, const char* key, int default_value, const char* file) {
  char value[32] = {0};
  if (!read_profile_string(section, key, value, sizeof(value), nullptr, file)) {
    return default_value;
  }
  long number = strtol(value, nullptr, 10);
  if (number > INT_MAX) return INT_MAX;
  if (number < INT_MIN) return INT_MIN;
  return static_cast<int>(number);
}

int write_profile_string(const char* section, const char* key, const char* value,
                         const char* file) {
  assert(section != nullptr && strlen(section));
  assert(key != nullptr && strlen(key));
  assert(value != nullptr);
  assert(file != nullptr);
  std::vector<char> buf(kIniBufferSize, 0);
  int file_size = 0;
  // Only a whole text may be rewritten: a file cut at the buffer's end or at
  // a 0xFF or NUL byte, or one that cannot be read, would lose its remainder.
  LoadResult loaded = LoadText(file, buf.data(), &file_size);
  if (loaded != kLoaded && loaded != kMissing) return 0;

  Positions pos;
  SearchResult found = Search(section, key, buf.data(), &pos);
  if (found == kKeyTooLong) return 0;

  const std::string old(buf.data());
  const std::string entry = std::string(key) + "=" + value + "\n";
  std::string text;
  if (found == kKeyFound) {
    text = old.substr(0, pos.value_s) + value + old.substr(pos.value_e);
  } else if (pos.sec_s >= 0) {
    text = old.substr(0, pos.sec_e) + entry + old.substr(pos.sec_e);
  } else if (old.empty()) {
    text = "[" + std::string(section) + "]\n" + entry;
  } else {
    text = old + "\n[" + section + "]\n" + entry;
  }
  if (text.size() > kIniBufferSize - 1) return 0;

  FILE* out = OpenFileNoFollow(file, "w");
  if (out == nullptr) return 0;
  bool written = fwrite(text.data(), 1, text.size(), out) == text.size();
  written = (fclose(out) == 0) && written;
  return written ? 1 : 0;
}
