#include "EXCMDFunc.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <syslog.h>
#include <unistd.h>

#include <string>
#include <vector>

struct termios Echo_old;
struct termios Echo_new;

namespace {

constexpr int kLibVersion = 143;
constexpr size_t kMessageSize = 4096;  // one message carries at most 4095 characters
constexpr size_t kPathSize = 256;      // working buffers of PortTranToDevName
constexpr int kHexRowsPerPage = 32;    // 512 bytes: the flash ID table fits one page

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

void ReplaceAll(char* text, char from, char to) {
  for (char* p = text; *p != '\0'; ++p) {
    if (*p == from) *p = to;
  }
}

}  // namespace

FILE* OpenFileNoFollow(const char* path, const char* mode) {
  struct ModeFlags {
    const char* mode;
    int flags;
  };
  static const ModeFlags kModes[] = {
      {"w", O_WRONLY | O_CREAT | O_TRUNC},  {"wb", O_WRONLY | O_CREAT | O_TRUNC},
      {"w+b", O_RDWR | O_CREAT | O_TRUNC},  {"a", O_WRONLY | O_CREAT | O_APPEND},
      {"ab", O_WRONLY | O_CREAT | O_APPEND}, {"r+b", O_RDWR},
      {"rb+", O_RDWR},
  };
  for (const ModeFlags& m : kModes) {
    if (strcmp(mode, m.mode) != 0) continue;
    int fd = open(path, m.flags | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    FILE* file = fdopen(fd, mode);
    if (file == nullptr) close(fd);
    return file;
  }
  errno = EINVAL;
  return nullptr;
}

std::string FoldDots(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string folded = !path.empty() && path[0] == '/' ? "/" : "";
  for (size_t i = 0; i < parts.size(); ++i) folded += (i ? "/" : "") + parts[i];
  return folded.empty() ? "." : folded;
}

bool ResolveLinks(const char* path, std::string* resolved) {
  enum { kMaxLinks = 8 };
  std::string current = path;
  for (int links = 0;; ++links) {
    struct stat info;
    if (lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) break;
    if (links == kMaxLinks) {
      errno = ELOOP;
      return false;
    }
    char target[PATH_MAX];
    ssize_t length = readlink(current.c_str(), target, sizeof(target) - 1);
    if (length < 0) return false;
    target[length] = '\0';
    if (target[0] == '/') {
      current = target;
    } else {
      size_t slash = current.rfind('/');
      current = (slash == std::string::npos ? "" : current.substr(0, slash + 1)) + target;
    }
    current = FoldDots(current);
  }
  *resolved = current;
  return true;
}

int GetLibVersion() { return kLibVersion; }

int debug_printf(const char* format, ...) {
  char text[kMessageSize];
  va_list args;
  va_start(args, format);
  int formatted = vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  if (formatted < 0) return formatted;
  size_t length = strlen(text);

  fwrite(text, 1, length, stdout);
  FILE* log = OpenFileNoFollow("Display.log", "a");
  if (log == nullptr) {
    fputs("Cannot open Display.log\n", stdout);
  } else {
    fwrite(text, 1, length, log);
    fclose(log);
  }
  fflush(stdout);
  return static_cast<int>(length);
}

void debug_syslog(const char* format, ...) {
  char text[kMessageSize];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);

  openlog("Qel_Tool", LOG_CONS, LOG_USER);
  syslog(LOG_INFO, "%s", text);
  closelog();
}

int ShowHex(unsigned char* data, int len, uint16_t base) {
  static const char kHeader[] =
      "Offset  0  1  2  3  4  5  6  7  8  9  A  B  C  D  E  F   0123456789ABCDEF\n";
  for (int rowStart = 0; rowStart < len; rowStart += 16) {
    int row = rowStart / 16;
    // A page break comes only between full pages, and only when more follows.
    if (row > 0 && row % kHexRowsPerPage == 0) {
      debug_printf("Press any key to continue...\n");
      getch();
    }
    if (row % kHexRowsPerPage == 0) debug_printf("%s", kHeader);

    char line[128];
    char column[17] = {0};
    int used = snprintf(line, sizeof(line), "0x%04X ", rowStart + base);
    int count = len - rowStart < 16 ? len - rowStart : 16;
    for (int j = 0; j < count; ++j) {
      unsigned char byte = data[rowStart + j];
      used += snprintf(line + used, sizeof(line) - used, "%02X,", byte);
      column[j] = (byte >= 0x20 && byte <= 0x7F) ? static_cast<char>(byte) : '.';
    }
    // A last, shorter row ends after its hex groups.
    if (count == 16) snprintf(line + used, sizeof(line) - used, "  %s\n", column);
    debug_printf("%s", line);
  }
  return getch();
}

int getch() {
  struct termios saved;
  if (tcgetattr(STDIN_FILENO, &saved) != 0) {
    // Not a terminal: take the next character as it comes (a piped key).
    return getchar();
  }
  struct termios raw = saved;
  raw.c_lflag &= ~(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOPRT | ECHOKE);
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  int c = getchar();
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  return c;
}

int initTermios(int echo) {
  tcgetattr(STDIN_FILENO, &Echo_old);
  Echo_new = Echo_old;
  Echo_new.c_lflag &= ~ICANON;
  if (echo) {
    Echo_new.c_lflag |= ECHO;
  } else {
    Echo_new.c_lflag &= ~ECHO;
  }
  return tcsetattr(STDIN_FILENO, TCSANOW, &Echo_new);
}

int resetTermios() { return tcsetattr(STDIN_FILENO, TCSANOW, &Echo_old); }

void ltrim(char* s) {
  size_t blanks = 0;
  while (s[blanks] != '\0' && IsBlank(s[blanks])) ++blanks;
  if (blanks > 0) memmove(s, s + blanks, strlen(s + blanks) + 1);
}

void rtrim(char* s) {
  size_t end = strlen(s);
  while (end > 0 && IsBlank(s[end - 1])) --end;
  s[end] = '\0';
}

void trim(char* s) {
  ltrim(s);
  rtrim(s);
}

void substr(char* dst, const char* src, unsigned start, unsigned len) {
  size_t srcLength = strlen(src);
  const char* from = start <= srcLength ? src + start : src + srcLength;
  strncpy(dst, from, len);  // stops at the end of src and NUL-fills up to len
  dst[len] = '\0';
}

void replaceFirst(char* text, const char* search, const char* replacement) {
  if (search[0] == '\0') return;  // an empty text has no occurrence to replace
  char* hit = strstr(text, search);
  if (hit == nullptr) return;
  std::string tail(hit + strlen(search));
  size_t replacementLength = strlen(replacement);
  memcpy(hit, replacement, replacementLength);
  memcpy(hit + replacementLength, tail.c_str(), tail.size() + 1);
}

void replace(char* text, const char* search, const char* replacement, bool firstOnly) {
  replaceFirst(text, search, replacement);
  if (firstOnly || search[0] == '\0') return;
  while (strstr(text, search) != nullptr) replaceFirst(text, search, replacement);
}

int ChkSelDirValid(const struct dirent* entry) { return strlen(entry->d_name) == 3 ? 1 : 0; }

int PortTranToDevName(char* address, char* devName) {
  char work[kPathSize];
  snprintf(work, sizeof(work), "%s", address);
  ReplaceAll(work, '[', ' ');
  ReplaceAll(work, ']', ' ');
  trim(work);

  int found = 0;
  char blockDir[kPathSize];
  int pathLength =
      snprintf(blockDir, sizeof(blockDir), "%s%s%s", "/sys/bus/scsi/devices/", work, "/block");
  if (pathLength > 0 && static_cast<size_t>(pathLength) < sizeof(blockDir)) {
    struct dirent** entries = nullptr;
    int count = scandir(blockDir, &entries, ChkSelDirValid, nullptr);
    if (count > 0) {
      sprintf(devName, "/dev/%s", entries[0]->d_name);  // names are 3 characters
      found = 1;
    }
    for (int i = 0; i < count; ++i) free(entries[i]);
    free(entries);
  }

  ReplaceAll(work, ':', '-');
  strcpy(address, work);  // never longer than the address it came from
  return found;
}

void ShowProgressFunc(int percent) { debug_printf("[Progress] : '%d%%'\n", percent); }

char* TranIntToBinStr(uint8_t value) {
  char* text = new char[32];
  for (int bit = 7; bit >= 0; --bit) text[7 - bit] = ((value >> bit) & 1) ? '1' : '0';
  text[8] = '\0';
  return text;
}

int syscommand(std::string command, std::string& output) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return 1;
  char line[4096];
  if (fgets(line, sizeof(line), pipe) != nullptr) output = line;
  pclose(pipe);
  return 0;
}

std::string getBundleName() {
  std::string name;
  FILE* comm = fopen("/proc/self/comm", "r");
  if (comm == nullptr) return name;
  char line[2048];
  if (fgets(line, sizeof(line), comm) != nullptr) {
    size_t end = strlen(line);
    while (end > 0 && strchr(" \n\r\t", line[end - 1]) != nullptr) --end;
    line[end] = '\0';
    trim(line);
    name = line;
  }
  fclose(comm);
  return name;
}

std::string getBundlePath() {
  char target[2048];
  ssize_t length = readlink("/proc/self/exe", target, sizeof(target) - 1);
  if (length <= 0) return std::string();
  target[length] = '\0';
  // The directory is everything before the last "/" of the executable's path,
  // whatever its file name and however long it is.
  char* lastSlash = strrchr(target, '/');
  if (lastSlash == nullptr) return std::string();
  if (lastSlash == target) return "/";
  *lastSlash = '\0';
  return target;
}

void listdir(const char* path, int indent) {
  DIR* dir = opendir(path);
  if (dir == nullptr) return;
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_type != DT_DIR) {
      debug_printf("%*s- %s\n", indent, "", entry->d_name);
      continue;
    }
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    debug_printf("%*s[%s]\n", indent, "", entry->d_name);
    char child[1024];
    int childLength = snprintf(child, sizeof(child), "%s/%s", path, entry->d_name);
    // A cut path would name some other directory: list only what fits.
    if (childLength > 0 && static_cast<size_t>(childLength) < sizeof(child)) {
      listdir(child, indent + 2);
    }
  }
  closedir(dir);
}
