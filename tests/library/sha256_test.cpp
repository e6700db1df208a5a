#include "SHA256.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <random>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using Bytes = std::vector<unsigned char>;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

std::string Hex(const unsigned char* data, size_t len) {
  std::string text;
  char pair[3];
  for (size_t i = 0; i < len; ++i) text += (snprintf(pair, 3, "%02x", data[i]), pair);
  return text;
}

Bytes FromHex(const std::string& hex) {
  Bytes bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

// Digest of data fed in pieces of the given size (0: all in one call).
std::string DigestInPieces(Bytes data, size_t piece) {
  SHA256_CTX ctx;
  sha256_init(&ctx);
  if (piece == 0) piece = data.size() + 1;
  for (size_t at = 0; at < data.size(); at += piece)
    sha256_update(&ctx, data.data() + at, std::min(piece, data.size() - at));
  sha256_update(&ctx, data.data(), 0);
  unsigned char digest[32];
  sha256_final(&ctx, digest);
  return Hex(digest, sizeof(digest));
}

std::string DataPath(const char* name) { return std::string(QEL_SHA256_TESTDATA) + "/" + name; }

TEST(Sha256, NistMessageVectorsWholeAndInPieces) {
  int checked = 0;
  for (const char* name : {"SHA256ShortMsg.rsp", "SHA256LongMsg.rsp"}) {
    std::istringstream in(qeltest::ReadFile(DataPath(name)));
    size_t bits = 0;
    Bytes message;
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("Len = ", 0) == 0) bits = std::stoul(line.substr(6));
      if (line.rfind("Msg = ", 0) == 0) message = FromHex(line.substr(6));
      if (line.rfind("MD = ", 0) != 0) continue;
      message.resize(bits / 8);  // "Len = 0" carries a placeholder byte
      std::string digest = line.substr(5, 64);
      for (size_t piece : {0, 1, 63, 65})
        EXPECT_EQ(DigestInPieces(message, piece), digest) << name << ", " << bits / 8 << " bytes / " << piece;
      unsigned char whole[32];
      EXPECT_EQ(CalSHA256(message.data(), whole, static_cast<int>(message.size())), 1);
      EXPECT_EQ(Hex(whole, 32), digest);
      ++checked;
    }
  }
  if (checked == 0) GTEST_SKIP() << "no NIST message vectors in " << QEL_SHA256_TESTDATA;
}

TEST(Sha256, NistMonteCarlo) {
  std::istringstream in(qeltest::ReadFile(DataPath("SHA256Monte.rsp")));
  Bytes seed;
  int checkpoints = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("Seed = ", 0) == 0) seed = FromHex(line.substr(7));
    if (line.rfind("MD = ", 0) != 0) continue;
    Bytes md[3] = {seed, seed, seed};
    for (int i = 3; i < 1003; ++i) {
      Bytes message = md[0];
      for (const Bytes& part : {md[1], md[2]}) message.insert(message.end(), part.begin(), part.end());
      md[0] = md[1], md[1] = md[2], md[2].assign(32, 0);
      CalSHA256(message.data(), md[2].data(), static_cast<int>(message.size()));
    }
    ASSERT_EQ(Hex(md[2].data(), 32), line.substr(5, 64)) << "checkpoint " << checkpoints;
    seed = md[2];
    ++checkpoints;
  }
  if (checkpoints == 0) GTEST_SKIP() << "no SHA256Monte.rsp in " << QEL_SHA256_TESTDATA;
  EXPECT_EQ(checkpoints, 100);
}

TEST(Sha256, MatchesSha256sumOnRandomFiles) {
  qeltest::TempDir dir;
  std::mt19937 random(20240601);
  for (int n = 0; n < 12; ++n) {
    Bytes data(std::uniform_int_distribution<int>(0, n < 10 ? 3000 : 200000)(random));
    for (unsigned char& b : data) b = static_cast<unsigned char>(random());
    qeltest::WriteFile("random.bin", std::string(data.begin(), data.end()));
    FILE* pipe = popen("sha256sum random.bin", "r");
    char line[128] = {0};
    ASSERT_TRUE(pipe && fgets(line, sizeof(line), pipe));
    pclose(pipe);
    for (size_t piece : {0, 65}) EXPECT_EQ(DigestInPieces(data, piece), std::string(line, 64)) << data.size();
  }
}

// A synthetic ISP image: CSS table of 48-byte entries at 656, section 4
// (16-byte header and 1024-byte body at 0x400) and section 5 (16-byte header
// and a 3000-byte body at 0x810), then 100 bytes never digested.
class SignedImage : public ::testing::Test {
 protected:
  SignedImage() : image_(0x820 + 3000 + 100) {
    std::mt19937 random(7);
    for (unsigned char& b : image_) b = static_cast<unsigned char>(random());
    Put(0x400, 16), Put(0x404, 1024), Put(0x810, 16), Put(0x814, 3000);
    for (int i = 0; i < 8; ++i) Put(656 + 48 * i, 0x1234);
  }
  void Put(size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) image_[at + i] = static_cast<unsigned char>(value >> (8 * i));
  }
  std::string Digest(size_t start, size_t length) {
    unsigned char digest[32];
    CalSHA256(image_.data() + start, digest, static_cast<int>(length));
    return std::string(reinterpret_cast<char*>(digest), 32);
  }
  // Writes the image, refreshes it; returns the result, the file and the console.
  int Refresh(std::string* after, std::string* console = nullptr) {
    qeltest::WriteFile("isp.bin", Original());
    char path[] = "isp.bin";
    CaptureStdout();
    int result = CalSHA256(path);
    std::string shown = GetCapturedStdout();
    if (console) *console = shown;
    *after = qeltest::ReadFile("isp.bin");
    return result;
  }
  std::string Original() const { return std::string(image_.begin(), image_.end()); }

  qeltest::TempDir dir_;
  Bytes image_;
};

TEST_F(SignedImage, RefreshesTableEntriesInOrder) {
  struct Case {
    std::vector<uint32_t> types;  // of entries 0.., 0x1234 elsewhere
    std::vector<int> fives, fours;  // entries that get section 5 / section 4 digests
  } cases[] = {
      // The end marker stops the walk: entry 3 is left alone.
      {{5, 4, 0xFFFFFFFF, 4}, {0}, {1}},
      // The 7th entry is refreshed; the 8th (word at 992) is past the table.
      {{0x1234, 0x1234, 5, 0x1234, 0x1234, 5, 4, 4}, {2, 5}, {6}},
  };
  for (const Case& c : cases) {
    for (size_t i = 0; i < 8; ++i) Put(656 + 48 * i, i < c.types.size() ? c.types[i] : 0x1234);
    std::string after, console, expected = Original();
    ASSERT_EQ(Refresh(&after, &console), 0);
    for (int e : c.fives) expected.replace(656 + 48 * e + 16, 32, Digest(0x810, 16 + 3000));
    for (int e : c.fours) expected.replace(656 + 48 * e + 16, 32, Digest(0x400, 16 + 1024));
    EXPECT_EQ(after, expected);  // also: nothing after byte 1023 changed
    EXPECT_EQ(console, "");
  }
}

TEST_F(SignedImage, RefusesShortImagesAndSectionsPastTheEnd) {
  Put(656, 4), Put(656 + 48, 5);
  std::string after, console;
  Put(0x814, 3000 + 100 + 1);  // one byte past the end
  EXPECT_EQ(Refresh(&after, &console), 1);
  EXPECT_EQ(after, Original());
  EXPECT_EQ(console, "ISP image isp.bin: section 5 reaches past the end of the file\n");
  Put(0x814, 3000 + 100);  // exactly to the end: accepted
  EXPECT_EQ(Refresh(&after), 0);
  Put(0x400, 0xFFFFFFFF);  // lengths whose sum overflows 32 bits
  EXPECT_EQ(Refresh(&after), 1);
  EXPECT_EQ(after, Original());
  image_.resize(0x810 + 6);  // section 5's lengths cut off
  Put(0x400, 16);
  EXPECT_EQ(Refresh(&after), 1);
  EXPECT_EQ(after, Original());
  image_.resize(1023);
  EXPECT_EQ(Refresh(&after, &console), 1);
  EXPECT_EQ(after, Original());
  EXPECT_EQ(console, "ISP image isp.bin is shorter than its 1024-byte header\n");
  char absent[] = "absent.bin";
  CaptureStdout();
  EXPECT_EQ(CalSHA256(absent), 1);
  EXPECT_EQ(GetCapturedStdout(), "Open ISP Error! Cannot open absent.bin file\n");
}

}  // namespace
