// Image set names and entries, and the names of the tool's own log files.
#include <dirent.h>
#include <string.h>
#include <sys/stat.h>

#include "FlowGlobals.h"
#include "FrontEndTest.h"

namespace {

TEST(SetDefaultFilePathTest, DefaultAndNamedSets) {
  ASSERT_TRUE(SetDefaultFilePath(nullptr));
  EXPECT_STREQ("./REGBIN/3300/ISP3300.bin", ISPDateCodeFile);
  EXPECT_STREQ("./REGBIN/3300/VerifyISP2File.bin", VerifyISP2File);
  EXPECT_STREQ("./REGBIN/3300/DRAMSet.bin", DRAMSETFile);

  ASSERT_TRUE(SetDefaultFilePath("B0KB 'x'$(y)"));
  EXPECT_STREQ("./REGBIN/3300/B0KB 'x'$(y)/Shim3300.bin", ShimMPISPFile);
  EXPECT_STREQ("./REGBIN/3300/B0KB 'x'$(y)/FWVerDB.ini", FWVerDateFile);

  // 94 characters is the longest name whose fourteen paths fit.
  std::string longest(94, 'n');
  ASSERT_TRUE(SetDefaultFilePath(longest.c_str()));
  EXPECT_EQ(127u, strlen(VerifyISP1File));
  ASSERT_TRUE(SetDefaultFilePath("kept"));
  EXPECT_FALSE(SetDefaultFilePath((longest + "n").c_str()));
  EXPECT_STREQ("./REGBIN/3300/kept/VerifyISP1File.bin", VerifyISP1File);
  EXPECT_STREQ("./REGBIN/3300/kept/ISP3300.bin", ISPDateCodeFile);
}

TEST(ToolLogNameTest, OnlyTheToolsOwnLogs) {
  for (const char* name : {"Display.log", "2024-01-31_23-59-07.log"}) EXPECT_TRUE(IsToolLogName(name)) << name;
  for (const char* name : {"notes.log", "display.log", "Display.log.1", "2024-01-31_23-59-07.LOG",
                           "2024-1-31_23-59-07.log", "2024-01-31_23-59-07.logx", "2024-01-31 23-59-07.log",
                           "a024-01-31_23-59-07.log", ""}) {
    EXPECT_FALSE(IsToolLogName(name)) << name;
  }
}

// Listings that leave the entry type out fall back to a status query.
using ImageSetEntryTest = InTempDir;

TEST_F(ImageSetEntryTest, TypesAndTheStatusFallback) {
  ASSERT_EQ(0, mkdir("REGBIN", 0755));
  ASSERT_EQ(0, mkdir("REGBIN/3300", 0755));
  ASSERT_EQ(0, mkdir("REGBIN/3300/dir", 0755));
  e2e::WriteFile("REGBIN/3300/file", "");
  ASSERT_EQ(0, symlink("dir", "REGBIN/3300/link"));
  const std::pair<const char*, unsigned char> sets[] = {{"dir", DT_DIR}, {"dir", DT_UNKNOWN}};
  const std::pair<const char*, unsigned char> others[] = {{"file", DT_REG},      {".", DT_DIR},
                                                          {"..", DT_DIR},        {"file", DT_UNKNOWN},
                                                          {"link", DT_UNKNOWN},  {"gone", DT_UNKNOWN}};
  for (const auto& e : sets) EXPECT_TRUE(IsImageSetEntry(e.first, e.second)) << e.first << int(e.second);
  for (const auto& e : others) EXPECT_FALSE(IsImageSetEntry(e.first, e.second)) << e.first << int(e.second);
}

}  // namespace
