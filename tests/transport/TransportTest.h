// Shared fixture of the transport tests: a QC3300 object open on a fresh
// regular file, with the fake disk behind SG_IO reset before the open.
#ifndef QEL_TESTS_TRANSPORT_TRANSPORTTEST_H_
#define QEL_TESTS_TRANSPORT_TRANSPORTTEST_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FakeDisk.h"
#include "QC3300.h"

class OpenCardTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Opens the node again after Disk() was configured (vendor, ...).
  void Reopen();
  char* Node() { return &node_[0]; }

  QC3300 card;

 private:
  std::string node_;
};

// Bytes from a hex text such as "85 08 2E".
std::vector<unsigned char> Hex(const std::string& text);
std::vector<unsigned char> Cdb(const SgCall& call);

// The whole trace file of the object ("" when absent) and its removal.
std::string ReadTrace(const SSDCMD& device);
void RemoveTrace(const SSDCMD& device);

// 512-byte IDENTIFY data with the given words set.
std::vector<unsigned char> Identify(std::initializer_list<std::pair<int, int>> words);

#endif  // QEL_TESTS_TRANSPORT_TRANSPORTTEST_H_
