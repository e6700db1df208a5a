// INI profile files read and written whole: "[section]" headers followed by
// "key=value" lines. A header named exactly as requested answers; where the
// file has none, a header that is a leading part of the requested name does.
#ifndef QEL_LIBRARY_INIFILE_H_
#define QEL_LIBRARY_INIFILE_H_

// Size of the load and write buffers; a file or new text must stay below it.
enum { kIniBufferSize = 1024 * 256, kIniKeyScratchSize = 4096 };

int newline(char c);
int end_of_string(char c);
int left_barce(char c);
int isright_brace(char c);

// 1 when the file was read into buf (at most kIniBufferSize - 1 bytes and a
// terminator), 0 when it cannot be opened or does not fit.
int load_ini_file(const char* file, char* buf, int* file_size);

// Searches the loaded text for key in the first answering section that
// holds it; 1 when found. Outputs are byte indexes or -1. A "[" with no "]" after
// it opens no section.
int parse_file(const char* section, const char* key, const char* buf, int* sec_s, int* sec_e,
               int* key_s, int* key_e, int* value_s, int* value_e);

// 1 when the key was found and its trimmed value (at most size - 1 characters)
// copied into value; otherwise 0 and value gets default_value, if given. A
// file too large for the buffer, or a key text of the searched section longer
// than kIniKeyScratchSize - 1, reads as not found.
int read_profile_string(const char* section, const char* key, char* value, int size,
                        const char* default_value, const char* file);

// The value as a decimal integer, or default_value when not found.
int read_profile_int(const char* section, const char* key, int default_value, const char* file);

// Sets key=value in section, adding the key or the section when missing. 1 when
// the file was rewritten; 0, with the file untouched, when it cannot be read
// whole (too large, unreadable, holding a 0xFF byte), holds an over-long key
// text, the new text would not fit the buffer, or the write fails.
int write_profile_string(const char* section, const char* key, const char* value, const char* file);

#endif  // QEL_LIBRARY_INIFILE_H_
