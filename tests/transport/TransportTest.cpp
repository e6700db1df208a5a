#include "TransportTest.h"

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

void OpenCardTest::SetUp() {
  Disk().Reset();
  node_ = MakeNode();
  ASSERT_FALSE(node_.empty());
  ASSERT_TRUE(card.OpenDevice(Node()));
  Disk().calls.clear();
}

void OpenCardTest::Reopen() {
  // Closed directly: CloseDevice would pause 100 ms for nothing here.
  if (card.hDevice >= 0) close(card.hDevice);
  card.hDevice = -1;
  ASSERT_TRUE(card.OpenDevice(Node()));
  Disk().calls.clear();
}

void OpenCardTest::TearDown() {
  if (card.hDevice >= 0) close(card.hDevice);
  card.hDevice = -1;
  unlink(node_.c_str());
}

std::vector<unsigned char> Hex(const std::string& text) {
  std::vector<unsigned char> bytes;
  std::istringstream in(text);
  std::string word;
  while (in >> word)
    bytes.push_back(static_cast<unsigned char>(strtoul(word.c_str(), nullptr, 16)));
  return bytes;
}

std::vector<unsigned char> Cdb(const SgCall& call) {
  return std::vector<unsigned char>(call.cdb, call.cdb + call.cmdLen);
}

std::string ReadTrace(const SSDCMD& device) {
  std::ifstream in(device.LogName, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void RemoveTrace(const SSDCMD& device) { unlink(device.LogName); }

std::vector<unsigned char> Identify(std::initializer_list<std::pair<int, int>> words) {
  std::vector<unsigned char> id(512, 0);
  for (const auto& w : words) {
    id[2 * w.first] = w.second & 0xFF;
    id[2 * w.first + 1] = (w.second >> 8) & 0xFF;
  }
  return id;
}

// The trace files land in the working directory: give the run its own.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  char dir[] = "/tmp/qel-transport-XXXXXX";
  if (mkdtemp(dir) == nullptr || chdir(dir) != 0) return 1;
  int result = RUN_ALL_TESTS();
  if (DIR* d = opendir(".")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') unlink(e->d_name);
    }
    closedir(d);
  }
  if (chdir("/") == 0) rmdir(dir);
  return result;
}
