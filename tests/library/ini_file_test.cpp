#include "INIFile.h"

#include <gtest/gtest.h>

#include <string>

#include "test_util.h"

namespace {

class IniFile : public ::testing::Test {
 protected:
  // Reads section/key from a file holding text; "<default>" when not found.
  std::string Read(const std::string& text, const char* section, const char* key, int size = 64) {
    qeltest::WriteFile("profile.ini", text);
    std::string value(size, '\0');
    found_ = read_profile_string(section, key, &value[0], size, "<default>", "profile.ini");
    return value.c_str();
  }
  // Writes S/k=value into a file holding text (or no file) and returns the file.
  std::string Write(const std::string* text, const char* value = "v") {
    remove("profile.ini");
    if (text != nullptr) qeltest::WriteFile("profile.ini", *text);
    written_ = write_profile_string("S", "k", value, "profile.ini");
    return qeltest::ReadFile("profile.ini");
  }

  qeltest::TempDir dir_;
  int found_ = -1, written_ = -1;
};

TEST_F(IniFile, ReadsValues) {
  struct Case {
    const char *text, *section, *key, *value;  // "<default>" when not found
    int size;
  } cases[] = {
      {"[A]\nk=1\n[B]\nk=2\n", "B", "k", "2", 64},
      {"[A]\nk=1\n[B]\nk=2\n", "C", "k", "<default>", 64},
      // Line ends LF, CR and CRLF; blanks around key and value go, CR is no value byte.
      {"[A]\r\nk = hello world \r\n", "A", "k", "hello world", 64},
      {"[A]\rk=1\r[B]\rk=2", "B", "k", "2", 64},
      // Only ";" at the very start of a line comments it out.
      {"[A]\n;k=1\nk=2\n", "A", "k", "2", 64},
      {"[A]\n #k=1\n", "A", "#k", "1", 64},
      // Headers match by being the requested name or, where the file has no
      // header of that exact name, a leading part of it.
      {"[AB]\nk=1\n[A]\nk=2\n", "A", "k", "2", 64},
      {"[AB]\nk=1\n[A]\nk=2\n", "ABC", "k", "1", 64},
      {"[]\nk=1\n", "ANY", "k", "1", 64},
      {"[SWAP_Q1117A]\nk=1\n[SWAP_Q1117A00]\nk=2\n", "SWAP_Q1117A00", "k", "2", 64},
      {"[SWAP_Q1117A]\nk=1\n[SWAP_Q1117A00]\nj=2\n", "SWAP_Q1117A00", "k", "<default>", 64},
      {"[a]\nk=1\n", "A", "k", "<default>", 64},
      // A header must begin its line; text after "]" is the body's first line.
      {" [A]\nk=1\n", "A", "k", "<default>", 64},
      {"[A] k=1\n", "A", "k", "1", 64},
      {"[A\nk=1\n", "A", "k", "<default>", 64},
      // Keys compare exactly; the first "=" splits; the first matching section wins.
      {"[A]\nkey=1\nk=2\n", "A", "k", "2", 64},
      {"[A]\nk=x=y\n", "A", "k", "x=y", 64},
      {"[A]\n=1\nk\nk=2\n", "A", "k", "2", 64},
      {"[A]\nk=1\n[A]\nj=3\n", "A", "j", "3", 64},
      {"[A]\nk=1\n[A]\nk=2\n", "A", "k", "1", 64},
      // The text ends at the first 0xFF byte.
      {"[A]\nk=1\xFFj=2\n", "A", "j", "<default>", 64},
      {"[A]\nk=1\xFFj=2\n", "A", "k", "1", 64},
      // The value is cut to the buffer before trimming.
      {"[A]\nk=abcdefg\n", "A", "k", "abc", 4},
      {"[A]\nk= ab cd\n", "A", "k", "ab", 4},
      {"[A]\nk=1\n", "A", "k", "", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Read(c.text, c.section, c.key, c.size), c.value) << c.text;
    EXPECT_EQ(found_, std::string(c.value) == "<default>" ? 0 : 1) << c.text;
  }
  char value[8] = "keep";  // no default: the buffer is left alone
  EXPECT_EQ(read_profile_string("A", "j", value, sizeof(value), nullptr, "profile.ini"), 0);
  EXPECT_EQ(read_profile_string("A", "k", value, sizeof(value), nullptr, "absent.ini"), 0);
  EXPECT_STREQ(value, "keep");
}

TEST_F(IniFile, ReadsIntegers) {
  qeltest::WriteFile("profile.ini", "[A]\na=42\nb= -7x\nc=abc\nd=99999999999\n");
  const std::pair<const char*, int> kCases[] = {{"a", 42}, {"b", -7}, {"c", 0}, {"d", 2147483647}, {"e", 5}};
  for (auto& c : kCases) EXPECT_EQ(read_profile_int("A", c.first, 5, "profile.ini"), c.second) << c.first;
  EXPECT_EQ(read_profile_int("A", "a", 5, "absent.ini"), 5);
}

TEST_F(IniFile, WritesEachCase) {
  const char* kCases[][2] = {  // before (nullptr: no file), after
      {nullptr, "[S]\nk=v\n"},
      {"", "[S]\nk=v\n"},
      {"[T]\na=1\n", "[T]\na=1\n\n[S]\nk=v\n"},
      {"[S]\na=1\n", "[S]\nk=v\na=1\n"},
      {"[S]\nk = old\n", "[S]\nk =v\n"},
      {"[S]\r\nk=old\r\nz=1\r\n", "[S]\r\nk=v\r\nz=1\r\n"},
      // An unclosed "[" is no section; the new one is appended and reads back.
      {"[S", "[S\n[S]\nk=v\n"},
  };
  for (auto& c : kCases) {
    std::string before = c[0] ? c[0] : "";
    EXPECT_EQ(Write(c[0] ? &before : nullptr), c[1]) << before;
    EXPECT_EQ(written_, 1) << before;
    EXPECT_EQ(Read(c[1], "S", "k"), "v") << before;
  }
  // Rewriting a file with a 0xFF byte would drop everything after it.
  std::string withFF = "[S]\nk=1\xFF\n[T]\na=1\n";
  EXPECT_EQ(Write(&withFF), withFF);
  EXPECT_EQ(written_, 0);
}

TEST_F(IniFile, RefusesTextsBeyondItsBuffers) {
  // The largest file that fits is read; one byte more is refused, untouched.
  std::string fits = "[S]\nk=1\n" + std::string(kIniBufferSize - 1 - 8, '#');
  EXPECT_EQ(Read(fits, "S", "k"), "1");
  std::string tooLarge = fits + "#";
  EXPECT_EQ(Read(tooLarge, "S", "k"), "<default>");
  EXPECT_EQ(Write(&tooLarge), tooLarge);
  EXPECT_EQ(written_, 0);
  // A new text that would not fit the write buffer is refused.
  std::string nearlyFull = "[S]\nk=1\n" + std::string(kIniBufferSize - 1 - 20, '#');
  EXPECT_EQ(Write(&nearlyFull, "0123456789abcd"), nearlyFull);
  EXPECT_EQ(written_, 0);
  EXPECT_EQ(Write(&nearlyFull, "0123456789abc").size(), kIniBufferSize - 1u);
  EXPECT_EQ(written_, 1);
  // A key text of 4095 bytes is compared whole; a longer one is refused.
  std::string longKey = "[S]\nj=1\n" + std::string(4094, ' ') + "k=0\nk=2\n";
  EXPECT_EQ(Read(longKey, "S", "k"), "0");
  std::string tooLongKey = "[S]\nj=1\n" + std::string(4095, ' ') + "k=0\nk=2\n";
  EXPECT_EQ(Read(tooLongKey, "S", "k"), "<default>");
  EXPECT_EQ(Write(&tooLongKey), tooLongKey);
  EXPECT_EQ(written_, 0);
}

}  // namespace
