// Console output, log file, terminal input, text and path helpers shared by
// the tool and its library. Every user-facing line goes through debug_printf,
// which shows it and appends the same bytes to "Display.log".
#ifndef QEL_LIBRARY_EXCMDFUNC_H_
#define QEL_LIBRARY_EXCMDFUNC_H_

#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <termios.h>

#include <string>

// fopen for the files a run writes or rewrites (modes "w", "wb", "w+b", "a",
// "ab", "r+b", "rb+"), never through a symbolic link: a link planted in the
// working folder must not make a run as root overwrite another file. Null,
// with errno set (ELOOP for a link), when it cannot be opened.
FILE* OpenFileNoFollow(const char* path, const char* mode);

// Folds "." and ".." and repeated slashes in the text of a path:
// "/dev/disk/by-id/../../sdb" -> "/dev/sdb"; a relative path stays relative.
std::string FoldDots(const std::string& path);

// Follows the symbolic links of path (at most 8 in a row), so that a
// /dev/disk/by-id/... name reaches the /dev/sdX node it stands for. A
// relative target is taken from the link's folder; "." and ".." are folded
// in the text. A path that is no link comes back unchanged. False, with
// errno set, when a link cannot be read or the chain is longer.
bool ResolveLinks(const char* path, std::string* resolved);

// Library version printed by the banners as "Lib:%d".
int GetLibVersion();

// Prints the formatted text (at most 4095 characters) to standard output and
// appends it unchanged to "Display.log" in the working directory.
int debug_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Sends the formatted text to the system log as "Qel_Tool", LOG_USER/LOG_INFO.
void debug_syslog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Hex and character dump of len bytes with row offsets starting at base;
// waits for one key at the end and returns it. Pages hold 512 bytes; between
// pages it asks for a key ("Press any key to continue...") and repeats the
// header.
int ShowHex(unsigned char* data, int len, uint16_t base);

// Reads one key without echo and without waiting for a line end. When
// standard input is not a terminal it reads one character as it comes
// (EOF at once at the end of input) and leaves the terminal settings alone.
int getch();

// Non-canonical input with echo on or off; resetTermios restores.
extern struct termios Echo_old;
extern struct termios Echo_new;
int initTermios(int echo);
int resetTermios();

// In-place trimming of space, tab and line feed (never carriage return).
void ltrim(char* s);
void rtrim(char* s);
void trim(char* s);

// Copies at most len characters of src from index start into dst and
// NUL-pads to len; dst must hold len + 1 bytes.
void substr(char* dst, const char* src, unsigned start, unsigned len);

// In-place replacement; the text's buffer must hold the result. Replacing all
// occurrences searches again from the start after each one, so the
// replacement must not contain the searched text. An empty search does nothing.
void replaceFirst(char* text, const char* search, const char* replacement);
void replace(char* text, const char* search, const char* replacement, bool firstOnly);

// 1 when a directory entry's name is exactly three characters long ("sda").
int ChkSelDirValid(const struct dirent* entry);

// Finds the block node of a bracketed SCSI address ("[2:0:0:0]") under
// /sys/bus/scsi/devices and rewrites the address as "2-0-0-0".
int PortTranToDevName(char* address, char* devName);

// Prints "[Progress] : '<n>%'".
void ShowProgressFunc(int percent);

// Eight binary digits of value, most significant first; caller delete[]s.
char* TranIntToBinStr(uint8_t value);

// Runs a shell command and keeps the first line of its output.
int syscommand(std::string command, std::string& output);

// Command name of the running process (from /proc/self/comm) and the
// directory of its executable (the /proc/self/exe link without its last
// component); both empty when /proc cannot tell.
std::string getBundleName();
std::string getBundlePath();

// Prints a directory tree through debug_printf.
void listdir(const char* path, int indent);

#endif  // QEL_LIBRARY_EXCMDFUNC_H_
