// qelvcard's command line, the image sets it writes, the preload library, and
// tools nobody here wrote accepting the card as a disk (skipped when absent).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "Card.h"
#include "IspImage.h"
#include "VcardTestUtil.h"

namespace {

struct Result {
  int status = -1;
  std::string out;
};

// Runs argv without a shell, standard output and error together.
Result Run(const std::vector<std::string>& argv) {
  Result r;
  int pipeFd[2];
  if (pipe(pipeFd) != 0) return r;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeFd[1], 1);
    dup2(pipeFd[1], 2);
    close(pipeFd[0]);
    close(pipeFd[1]);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(pipeFd[1]);
  char buf[4096];
  ssize_t n;
  while ((n = read(pipeFd[0], buf, sizeof(buf))) > 0) r.out.append(buf, static_cast<size_t>(n));
  close(pipeFd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

Result VCardCmd(std::vector<std::string> args) {
  args.insert(args.begin(), QELVCARD_BIN);
  return Run(args);
}

// qelvcard run --card /dev/sdb=DIR -- COMMAND...
Result UnderCard(const std::string& dir, std::vector<std::string> command) {
  std::vector<std::string> args = {"run", "--card", "/dev/sdb=" + dir, "--"};
  args.insert(args.end(), command.begin(), command.end());
  return VCardCmd(args);
}

std::string NewCardDir(const std::vector<std::string>& options = {}) {
  std::string dir = vtest::TempDir() + "/card";
  std::vector<std::string> args = {"create", dir};
  args.insert(args.end(), options.begin(), options.end());
  Result r = VCardCmd(args);
  EXPECT_EQ(0, r.status) << r.out;
  return dir;
}

bool Installed(const std::string& program) {
  for (const char* dir : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"}) {
    if (access((dir + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(VcardCli, ImageSetMatchesTheCard) {
  std::string dir = NewCardDir({"--fwrev", "Q1117A00"}), out = vtest::TempDir();
  EXPECT_EQ(2, VCardCmd({"set", dir, "--planes", "3"}).status);
  Result r = VCardCmd({"imageset", dir, out, "--set", "one", "--fw-version", "Q1117A09", "--serial", "IMGSER",
                       "--allow", "Q1117A00:Q1117A09", "--allow", "Q1117A07:Q1117A09", "--flashid-form", "5"});
  ASSERT_EQ(0, r.status) << r.out;
  std::string set = out + "/REGBIN/3300/one/", why;
  std::vector<uint8_t> image, copy;
  ASSERT_TRUE(vcard::ReadWholeFile(set + "ISP3300.bin", &image));
  ASSERT_EQ(262144u, image.size());
  EXPECT_TRUE(vcard::CopyFromWholeImage(image.data(), image.size(), &copy, &why)) << why;
  EXPECT_EQ("Q1117A09|Q1117A09|Q1117A09|IMGSER|IMGSER",
            vcard::GetVersion(&image[0x418]) + "|" + vcard::GetVersion(&image[0x818]) + "|" +
                vcard::GetAtaString(&image[0x20820 + 46], 8) + "|" + vcard::GetAtaString(&image[0x51C], 20) + "|" +
                vcard::GetAtaString(&image[0x20820 + 20], 20));
  EXPECT_EQ(std::string("\x2C\x88\x44\x4B\xA9", 5), vtest::ReadText(set + "FLASHID.bin"));
  std::string db;
  for (const char* section : {"SWAP_FWTable", "UPDATE_FWTable"}) {
    db += std::string("[") + section + "]\nFWVer_1=Q1117A00\nFWVer_2=Q1117A07\n\n";
  }
  for (const char* section : {"SWAP_Q1117A00", "SWAP_Q1117A07", "UPDATE_Q1117A00", "UPDATE_Q1117A07"}) {
    db += std::string("[") + section + "]\nFWSupportVer_1=Q1117A09\n\n";
  }
  EXPECT_EQ(db, vtest::ReadText(set + "FWVerDB.ini"));
  EXPECT_TRUE(vcard::ReadWholeFile(set + "MP3300.bin", &copy) && vcard::ReadWholeFile(set + "Shim3300.bin", &copy));
  // Table form from the card's own answer; a mismatch differs from it.
  ASSERT_EQ(0, VCardCmd({"imageset", dir, out, "--no-fwverdb"}).status);
  ASSERT_EQ(0, VCardCmd({"imageset", dir, out, "--set", "bad", "--flashid-mismatch"}).status);
  std::string table = vtest::ReadText(out + "/REGBIN/3300/FLASHID.bin");
  EXPECT_NE(table, vtest::ReadText(out + "/REGBIN/3300/bad/FLASHID.bin"));
  VCard* card = vcard_open(dir.c_str(), nullptr, 0);
  ASSERT_NE(card, nullptr);
  std::vector<uint8_t> live = vtest::ReadFlashId(card);
  EXPECT_EQ(std::string(live.begin(), live.end()), table);
  vcard_close(card);
  EXPECT_FALSE(vcard::ReadWholeFile(out + "/REGBIN/3300/FWVerDB.ini", &copy));
  EXPECT_EQ(2, VCardCmd({"imageset", dir, out, "--image-size", "4096"}).status);
  EXPECT_EQ(2, VCardCmd({"imageset", dir, out, "--set", "../up"}).status);
}

TEST(VcardRun, PassesExitStatusAndMapsOnlyTheNamedNode) {
  std::string dir = NewCardDir();
  EXPECT_EQ(7, UnderCard(dir, {"/bin/sh", "-c", "exit 7"}).status);
  EXPECT_EQ(128 + 9, UnderCard(dir, {"/bin/sh", "-c", "kill -9 $$"}).status);
  EXPECT_EQ(127, UnderCard(dir, {"/no/such/program"}).status);
  EXPECT_EQ(2, VCardCmd({"run", "--card", "/dev/sdb=" + vtest::TempDir(), "--", "/bin/true"}).status);
  EXPECT_EQ(2, VCardCmd({"run", "--card", "/dev/sdb=" + dir}).status);
  // The named node is a block device; other disks vanish.
  EXPECT_EQ(0, UnderCard(dir, {"/bin/sh", "-c", "test -b /dev/sdb && test ! -e /dev/sdc && test ! -e /dev/sda"})
                   .status);
}

TEST(VcardExternalTools, IdentityShownBySmartctlHdparmSgInq) {
  std::string dir = NewCardDir({"--serial", "EXT0001", "--model", "QEL EXTERNAL MODEL", "--fwrev", "Q1117A00"});
  struct Tool {
    std::vector<std::string> argv;
    std::vector<std::string> shows;
  };
  const Tool tools[] = {
      {{"smartctl", "-i", "-d", "sat", "/dev/sdb"},
       {"Serial Number:    EXT0001", "Device Model:     QEL EXTERNAL MODEL", "Firmware Version: Q1117A00"}},
      {{"hdparm", "-I", "/dev/sdb"},
       {"Serial Number:      EXT0001", "Model Number:       QEL EXTERNAL MODEL", "Firmware Revision:  Q1117A00"}},
      {{"sg_inq", "/dev/sdb"}, {"Vendor identification: ATA", "Unit serial number: EXT0001"}},
  };
  int ran = 0;
  for (const Tool& tool : tools) {
    if (!Installed(tool.argv[0])) continue;
    ++ran;
    Result r = UnderCard(dir, tool.argv);
    for (const std::string& line : tool.shows) EXPECT_TRUE(Contains(r.out, line)) << r.out;
  }
  if (Installed("sg_sat_identify")) {
    Result r = UnderCard(dir, {"sg_sat_identify", "-r", "/dev/sdb"});
    ASSERT_EQ(512u, r.out.size()) << r.out;
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(r.out.data());
    EXPECT_EQ("EXT0001", vcard::GetAtaString(raw + 20, 20));
    EXPECT_EQ("QEL EXTERNAL MODEL", vcard::GetAtaString(raw + 54, 40));
    EXPECT_EQ("Q1117A00", vcard::GetAtaString(raw + 46, 8));
  }
  if (ran == 0) GTEST_SKIP() << "smartctl, hdparm and sg3-utils are not installed";
}

class VcardHdparmDownload : public ::testing::TestWithParam<const char*> {};

TEST_P(VcardHdparmDownload, CardRunsTheDownloadedFirmware) {
  if (!Installed("hdparm") || !Installed("smartctl")) GTEST_SKIP() << "hdparm or smartctl is not installed";
  std::string dir = NewCardDir();
  std::string out = vtest::TempDir();
  ASSERT_EQ(0, VCardCmd({"imageset", dir, out, "--fw-version", "Q2222B22"}).status);
  Result r = UnderCard(dir, {"hdparm", GetParam(), out + "/REGBIN/3300/ISP3300.bin", "--yes-i-know-what-i-am-doing",
                             "--please-destroy-my-drive", "/dev/sdb"});
  EXPECT_EQ(0, r.status) << r.out;
  r = UnderCard(dir, {"smartctl", "-i", "-d", "sat", "/dev/sdb"});
  EXPECT_TRUE(Contains(r.out, "Firmware Version: Q2222B22")) << r.out;
  EXPECT_TRUE(Contains(VCardCmd({"show", dir}).out, "ISP copies : Q2222B22 / Q2222B22"));
}

INSTANTIATE_TEST_SUITE_P(Modes, VcardHdparmDownload,
                         ::testing::Values("--fwdownload-mode3", "--fwdownload-mode7", "--fwdownload-modee"));

}  // namespace
