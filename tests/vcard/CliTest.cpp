// qelvcard's command line, the image sets it writes, the preload library, and
// tools nobody here wrote accepting the card as a disk (skipped when absent).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
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
  for (const char* dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
    if (access((std::string(dir) + "/" + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(VcardCli, CreateSetShow) {
  std::string dir = NewCardDir({"--serial", "CLI001", "--fail-cmd", "9"});
  Result bad = VCardCmd({"create", vtest::TempDir() + "/x", "--sectors-per-page", "12"});
  EXPECT_EQ(2, bad.status);
  EXPECT_EQ("qelvcard: bad value for --sectors-per-page: 12\n", bad.out);
  EXPECT_EQ(2, VCardCmd({"set", dir, "--no-such-option"}).status);
  EXPECT_EQ(1, VCardCmd({"show", vtest::TempDir()}).status);  // not a card
  Result show = VCardCmd({"show", dir});
  EXPECT_EQ(0, show.status);
  EXPECT_TRUE(Contains(show.out, "serial     : CLI001")) << show.out;
  EXPECT_TRUE(Contains(show.out, "faults     : --fail-cmd 9")) << show.out;
  EXPECT_EQ(0, VCardCmd({"set", dir, "--clear-faults", "--mode", "rom"}).status);
  show = VCardCmd({"show", dir});
  EXPECT_TRUE(Contains(show.out, "faults     : none")) << show.out;
  EXPECT_TRUE(Contains(show.out, "mode       : rom (ISPMode 0)")) << show.out;
}

TEST(VcardCli, ImageSetMatchesTheCard) {
  std::string dir = NewCardDir({"--fwrev", "Q1117A00"});
  std::string out = vtest::TempDir();
  Result r = VCardCmd({"imageset", dir, out, "--set", "one", "--fw-version", "Q1117A09", "--serial", "IMGSER",
                       "--allow", "Q1117A00:Q1117A09", "--allow", "Q1117A07:Q1117A09", "--flashid-form", "5"});
  ASSERT_EQ(0, r.status) << r.out;
  std::string set = out + "/REGBIN/3300/one/";
  std::vector<uint8_t> image, copy;
  ASSERT_TRUE(vcard::ReadWholeFile(set + "ISP3300.bin", &image));
  ASSERT_EQ(262144u, image.size());
  std::string why;
  EXPECT_TRUE(vcard::CopyFromWholeImage(image.data(), image.size(), &copy, &why)) << why;
  EXPECT_EQ("Q1117A09", vcard::GetVersion(&image[0x418]));
  EXPECT_EQ("Q1117A09", vcard::GetVersion(&image[0x818]));
  EXPECT_EQ("IMGSER", vcard::GetAtaString(&image[0x51C], 20));
  EXPECT_EQ("IMGSER", vcard::GetAtaString(&image[0x20820 + 20], 20));
  EXPECT_EQ("Q1117A09", vcard::GetAtaString(&image[0x20820 + 46], 8));
  std::string flashId = vtest::ReadText(set + "FLASHID.bin");
  EXPECT_EQ(std::string("\x2C\x88\x44\x4B\xA9", 5), flashId);
  std::string db = vtest::ReadText(set + "FWVerDB.ini");
  EXPECT_TRUE(Contains(db, "[SWAP_FWTable]\nFWVer_1=Q1117A00\nFWVer_2=Q1117A07\n")) << db;
  EXPECT_TRUE(Contains(db, "[UPDATE_Q1117A07]\nFWSupportVer_1=Q1117A09\n")) << db;
  for (const char* loader : {"MP3300.bin", "Shim3300.bin"}) {
    struct stat st;
    EXPECT_EQ(0, stat((set + loader).c_str(), &st)) << loader;
  }

  // Table form from the card's own answer; a mismatch differs from it.
  ASSERT_EQ(0, VCardCmd({"imageset", dir, out, "--no-fwverdb"}).status);
  ASSERT_EQ(0, VCardCmd({"imageset", dir, out, "--set", "bad", "--flashid-mismatch"}).status);
  std::string table = vtest::ReadText(out + "/REGBIN/3300/FLASHID.bin");
  std::string other = vtest::ReadText(out + "/REGBIN/3300/bad/FLASHID.bin");
  ASSERT_EQ(1024u, table.size());
  EXPECT_NE(table, other);
  VCard* card = vcard_open(dir.c_str(), nullptr, 0);
  ASSERT_NE(card, nullptr);
  std::vector<uint8_t> live = vtest::ReadFlashId(card);
  EXPECT_EQ(std::string(live.begin(), live.end()), table);
  vcard_close(card);
  EXPECT_FALSE(vcard::ReadWholeFile(out + "/REGBIN/3300/FWVerDB.ini", &copy));
  EXPECT_EQ(2, VCardCmd({"imageset", dir, out, "--image-size", "4096"}).status);
  EXPECT_EQ(2, VCardCmd({"imageset", dir, out, "--set", "../up"}).status);
}

TEST(VcardRun, PassesExitStatusAndSignals) {
  std::string dir = NewCardDir();
  EXPECT_EQ(7, UnderCard(dir, {"/bin/sh", "-c", "exit 7"}).status);
  EXPECT_EQ(128 + 9, UnderCard(dir, {"/bin/sh", "-c", "kill -9 $$"}).status);
  EXPECT_EQ(127, UnderCard(dir, {"/no/such/program"}).status);
  EXPECT_EQ(2, VCardCmd({"run", "--card", "/dev/sdb=" + vtest::TempDir(), "--", "/bin/true"}).status);
  EXPECT_EQ(2, VCardCmd({"run", "--card", "/dev/sdb=" + dir}).status);
}

TEST(VcardRun, MappedNodesAnswerOtherDisksVanish) {
  std::string dir = NewCardDir();
  Result mapped = UnderCard(dir, {VCARD_PROBE_BIN, "/dev/sdb"});
  EXPECT_EQ(0, mapped.status) << mapped.out;
  EXPECT_EQ("stat blk\nopen ok\nfstat blk\nvendor ATA     \n", mapped.out);
  Result hidden = UnderCard(dir, {VCARD_PROBE_BIN, "/dev/sdc"});
  EXPECT_EQ("stat ENOENT\nopen ENOENT\n", hidden.out);
  // QEL_VCARD is read at each open: set by the process itself.
  Result late = UnderCard(dir, {VCARD_PROBE_BIN, "--setenv", "/dev/sdd=" + dir, "/dev/sdd"});
  EXPECT_EQ(0, late.status) << late.out;
  EXPECT_TRUE(Contains(late.out, "vendor ATA")) << late.out;
  EXPECT_TRUE(Contains(vtest::ReadText(dir + "/journal.log"), "INQUIRY"));
}

TEST(VcardExternalTools, IdentityShownBySmartctlHdparmSgInq) {
  std::string dir = NewCardDir({"--serial", "EXT0001", "--model", "QEL EXTERNAL MODEL", "--fwrev", "Q1117A00"});
  int ran = 0;
  if (Installed("smartctl")) {
    Result r = UnderCard(dir, {"smartctl", "-i", "-d", "sat", "/dev/sdb"});
    EXPECT_TRUE(Contains(r.out, "Serial Number:    EXT0001")) << r.out;
    EXPECT_TRUE(Contains(r.out, "Device Model:     QEL EXTERNAL MODEL")) << r.out;
    EXPECT_TRUE(Contains(r.out, "Firmware Version: Q1117A00")) << r.out;
    ++ran;
  }
  if (Installed("hdparm")) {
    Result r = UnderCard(dir, {"hdparm", "-I", "/dev/sdb"});
    EXPECT_TRUE(Contains(r.out, "Serial Number:      EXT0001")) << r.out;
    EXPECT_TRUE(Contains(r.out, "Model Number:       QEL EXTERNAL MODEL")) << r.out;
    EXPECT_TRUE(Contains(r.out, "Firmware Revision:  Q1117A00")) << r.out;
    ++ran;
  }
  if (Installed("sg_inq") && Installed("sg_sat_identify")) {
    Result r = UnderCard(dir, {"sg_inq", "/dev/sdb"});
    EXPECT_TRUE(Contains(r.out, "Vendor identification: ATA")) << r.out;
    EXPECT_TRUE(Contains(r.out, "Unit serial number: EXT0001")) << r.out;
    r = UnderCard(dir, {"sg_sat_identify", "-r", "/dev/sdb"});
    EXPECT_EQ(0, r.status) << r.out;
    std::string raw = r.out;
    ASSERT_EQ(512u, raw.size());
    EXPECT_EQ("EXT0001", vcard::GetAtaString(reinterpret_cast<const uint8_t*>(raw.data()) + 20, 20));
    EXPECT_EQ("QEL EXTERNAL MODEL", vcard::GetAtaString(reinterpret_cast<const uint8_t*>(raw.data()) + 54, 40));
    ++ran;
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
