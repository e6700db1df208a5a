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
    if (text != nullptr) qeltest::WriteFile("profile.ini", *text);
    written_ = write_profile_string("S", "k", value, "profile.ini");
    return qeltest::ReadFile("profile.ini");
  }

  qeltest::TempDir dir_;
  int found_ = -1;
  int written_ = -1;
};

TEST_F(IniFile, ReadsValues) {
  struct Case {
    const char* text;
    const char* section;
    const char* key;
    const char* value;  // "<default>" when not found
  };
  const Case kCases[] = {
      {"[A]\nk=1\n[B]\nk=2\n", "B", "k", "2"},
      {"[A]\nk=1\n[B]\nk=2\n", "C", "k", "<default>"},
      // Line ends LF, CR and CRLF; blanks around key and value go, CR is no value byte.
      {"[A]\r\nk = hello world \r\n", "A", "k", "hello world"},
      {"[A]\rk=1\r[B]\rk=2", "B", "k", "2"},
      // Only ";" at the very start of a line comments it out.
      {"[A]\n;k=1\nk=2\n", "A", "k", "2"},
      {"[A]\n #k=1\n", "A", "#k", "1"},
      // Headers match by being the requested name or a leading part of it.
      {"[AB]\nk=1\n[A]\nk=2\n", "A", "k", "2"},
      {"[AB]\nk=1\n[A]\nk=2\n", "ABC", "k", "1"},
      {"[]\nk=1\n", "ANY", "k", "1"},
      {"[a]\nk=1\n", "A", "k", "<default>"},
      // A header must begin its line; text after "]" is the body's first line.
      {" [A]\nk=1\n", "A", "k", "<default>"},
      {"[A] k=1\n", "A", "k", "1"},
      {"[A\nk=1\n", "A", "k", "<default>"},
      // Keys compare exactly; the first "=" splits; the first matching section wins.
      {"[A]\nkey=1\nk=2\n", "A", "k", "2"},
      {"[A]\nk=x=y\n", "A", "k", "x=y"},
      {"[A]\n=1\nk\nk=2\n", "A", "k", "2"},
      {"[A]\nk=1\n[A]\nj=3\n", "A", "j", "3"},
      {"[A]\nk=1\n[A]\nk=2\n", "A", "k", "1"},
      // The text ends at the first 0xFF byte.
      {"[A]\nk=1\xFFj=2\n", "A", "j", "<default>"},
      {"[A]\nk=1\xFFj=2\n", "A", "k", "1"},
  };
  for (const Case& c : kCases) {
    std::string value = Read(c.text, c.section, c.key);
    EXPECT_EQ(value, c.value) << c.text;
    EXPECT_EQ(found_, std::string(c.value) == "<default>" ? 0 : 1) << c.text;
  }
}

TEST_F(IniFile, ValueCutToSizeBeforeTrimming) {
  EXPECT_EQ(Read("[A]\nk=abcdefg\n", "A", "k", 4), "abc");
  EXPECT_EQ(Read("[A]\nk= ab cd\n", "A", "k", 4), "ab");
  EXPECT_EQ(Read("[A]\nk=1\n", "A", "k", 1), "");
  EXPECT_EQ(found_, 1);
}

TEST_F(IniFile, MissingKeyOrFileWithoutDefault) {
  qeltest::WriteFile("profile.ini", "[A]\nk=1\n");
  char value[8] = "keep";
  EXPECT_EQ(read_profile_string("A", "j", value, sizeof(value), nullptr, "profile.ini"), 0);
  EXPECT_STREQ(value, "keep");
  EXPECT_EQ(read_profile_string("A", "k", value, sizeof(value), nullptr, "absent.ini"), 0);
  EXPECT_STREQ(value, "keep");
  EXPECT_EQ(read_profile_string("A", "k", value, sizeof(value), "dflt", "absent.ini"), 0);
  EXPECT_STREQ(value, "dflt");
}

TEST_F(IniFile, ReadsIntegers) {
  qeltest::WriteFile("profile.ini", "[A]\na=42\nb= -7x\nc=abc\nd=99999999999\n");
  EXPECT_EQ(read_profile_int("A", "a", 5, "profile.ini"), 42);
  EXPECT_EQ(read_profile_int("A", "b", 5, "profile.ini"), -7);
  EXPECT_EQ(read_profile_int("A", "c", 5, "profile.ini"), 0);
  EXPECT_EQ(read_profile_int("A", "d", 5, "profile.ini"), 2147483647);
  EXPECT_EQ(read_profile_int("A", "e", 5, "profile.ini"), 5);
  EXPECT_EQ(read_profile_int("A", "a", 5, "absent.ini"), 5);
}

TEST_F(IniFile, ParseReportsPositions) {
  const char* text = "[X]\n[AB] \n x = 1\n";
  int pos[6];
  EXPECT_EQ(parse_file("ABC", "x", text, &pos[0], &pos[1], &pos[2], &pos[3], &pos[4], &pos[5]), 1);
  const int kExpected[6] = {5, 11, 11, 12, 14, 16};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(pos[i], kExpected[i]) << i;

  EXPECT_EQ(parse_file("AB", "y", text, &pos[0], &pos[1], &pos[2], &pos[3], &pos[4], &pos[5]), 0);
  const int kSectionOnly[6] = {5, 11, -1, -1, -1, -1};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(pos[i], kSectionOnly[i]) << i;
}

TEST_F(IniFile, WritesEachCase) {
  struct Case {
    const char* before;  // nullptr: no file
    const char* after;
  };
  const Case kCases[] = {
      {nullptr, "[S]\nk=v\n"},
      {"", "[S]\nk=v\n"},
      {"[T]\na=1\n", "[T]\na=1\n\n[S]\nk=v\n"},
      {"[S]\na=1\n", "[S]\nk=v\na=1\n"},
      {"[S]\nk = old\n", "[S]\nk =v\n"},
      {"[S]\r\nk=old\r\nz=1\r\n", "[S]\r\nk=v\r\nz=1\r\n"},
      // An unclosed "[" is no section; the new one is appended and reads back.
      {"[S", "[S\n[S]\nk=v\n"},
  };
  for (const Case& c : kCases) {
    remove("profile.ini");
    std::string before = c.before ? c.before : "";
    EXPECT_EQ(Write(c.before ? &before : nullptr), c.after) << before;
    EXPECT_EQ(written_, 1) << before;
    EXPECT_EQ(Read(c.after, "S", "k"), "v") << before;
  }
}

TEST_F(IniFile, RefusesTextsBeyondItsBuffers) {
  // The largest file that fits is read; one byte more is refused, untouched.
  std::string fits = "[S]\nk=1\n" + std::string(kIniBufferSize - 1 - 8, '#');
  EXPECT_EQ(Read(fits, "S", "k"), "1");
  std::string tooLarge = fits + "#";
  EXPECT_EQ(Read(tooLarge, "S", "k"), "<default>");
  EXPECT_EQ(found_, 0);
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
  EXPECT_EQ(found_, 0);
  EXPECT_EQ(Write(&tooLongKey), tooLongKey);
  EXPECT_EQ(written_, 0);
}

TEST_F(IniFile, KeepsFilesItCannotReadWhole) {
  // Rewriting would drop everything after the 0xFF byte.
  std::string withFF = "[S]\nk=1\xFF\n[T]\na=1\n";
  EXPECT_EQ(Write(&withFF), withFF);
  EXPECT_EQ(written_, 0);
}

}  // namespace
