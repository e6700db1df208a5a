#include "SHA256.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string Hex(const unsigned char* data, size_t len) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < len; ++i) {
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 15];
  }
  return text;
}

Bytes FromHex(const std::string& hex) {
  Bytes bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

// Digest of data fed in pieces of the given size (0: all in one call).
std::string DigestInPieces(Bytes data, size_t piece) {
  SHA256_CTX ctx;
  sha256_init(&ctx);
  if (piece == 0) piece = data.size() + 1;
  for (size_t at = 0; at < data.size(); at += piece) {
    sha256_update(&ctx, data.data() + at, std::min(piece, data.size() - at));
  }
  sha256_update(&ctx, data.data(), 0);
  unsigned char digest[32];
  sha256_final(&ctx, digest);
  return Hex(digest, sizeof(digest));
}

struct Vector {
  Bytes message;
  std::string digest;
};

std::string DataPath(const char* name) { return std::string(QEL_SHA256_TESTDATA) + "/" + name; }

// Reads the Len/Msg/MD cases of a CAVP ShortMsg or LongMsg file.
std::vector<Vector> ReadMessageVectors(const char* name) {
  std::ifstream in(DataPath(name));
  std::vector<Vector> vectors;
  std::string line;
  size_t bits = 0;
  Bytes message;
  while (std::getline(in, line)) {
    if (line.rfind("Len = ", 0) == 0) bits = std::stoul(line.substr(6));
    if (line.rfind("Msg = ", 0) == 0) message = FromHex(line.substr(6));
    if (line.rfind("MD = ", 0) == 0) {
      message.resize(bits / 8);  // "Len = 0" carries a placeholder byte
      vectors.push_back({message, line.substr(5)});
    }
  }
  return vectors;
}

TEST(Sha256, WellKnownShortMessages) {
  const Vector kVectors[] = {
      {Bytes(), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {Bytes{'a', 'b', 'c'}, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      // 55 bytes end in one final block, 56 to 63 in two, 64 in a block of padding.
      {Bytes(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {Bytes(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {Bytes(63, 'a'), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {Bytes(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
  };
  for (const Vector& v : kVectors) {
    EXPECT_EQ(DigestInPieces(v.message, 0), v.digest) << v.message.size() << " bytes";
    EXPECT_EQ(DigestInPieces(v.message, 1), v.digest) << v.message.size() << " bytes";
  }
}

TEST(Sha256, NistMessageVectorsWholeAndInPieces) {
  int checked = 0;
  for (const char* name : {"SHA256ShortMsg.rsp", "SHA256LongMsg.rsp"}) {
    if (access(DataPath(name).c_str(), R_OK) != 0) continue;
    std::vector<Vector> vectors = ReadMessageVectors(name);
    ASSERT_FALSE(vectors.empty()) << name;
    for (const Vector& v : vectors) {
      for (size_t piece : {0, 1, 63, 65}) {
        EXPECT_EQ(DigestInPieces(v.message, piece), v.digest)
            << name << ", " << v.message.size() << " bytes in pieces of " << piece;
      }
      unsigned char digest[32];
      Bytes copy = v.message;
      EXPECT_EQ(CalSHA256(copy.data(), digest, static_cast<int>(copy.size())), 1);
      EXPECT_EQ(Hex(digest, 32), v.digest);
      ++checked;
    }
  }
  if (checked == 0) GTEST_SKIP() << "no NIST message vectors in " << QEL_SHA256_TESTDATA;
}

TEST(Sha256, NistMonteCarlo) {
  std::ifstream in(DataPath("SHA256Monte.rsp"));
  if (!in) GTEST_SKIP() << "no SHA256Monte.rsp in " << QEL_SHA256_TESTDATA;
  Bytes seed;
  int checkpoints = 0;
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Seed = ", 0) == 0) seed = FromHex(line.substr(7));
    if (line.rfind("MD = ", 0) != 0) continue;
    Bytes md[3] = {seed, seed, seed};
    for (int i = 3; i < 1003; ++i) {
      Bytes message;
      for (const Bytes& part : md) message.insert(message.end(), part.begin(), part.end());
      md[0] = md[1];
      md[1] = md[2];
      md[2].assign(32, 0);
      CalSHA256(message.data(), md[2].data(), static_cast<int>(message.size()));
    }
    ASSERT_EQ(Hex(md[2].data(), 32), line.substr(5)) << "checkpoint " << checkpoints;
    seed = md[2];
    ++checkpoints;
  }
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
    ASSERT_NE(pipe, nullptr);
    char line[128] = {0};
    ASSERT_NE(fgets(line, sizeof(line), pipe), nullptr);
    pclose(pipe);
    EXPECT_EQ(DigestInPieces(data, 0), std::string(line, 64)) << data.size() << " bytes";
    EXPECT_EQ(DigestInPieces(data, 65), std::string(line, 64)) << data.size() << " bytes";
  }
}

// A synthetic ISP image: CSS header, section 4 (16-byte header and 1024-byte
// body at 0x400) and section 5 (16-byte header and a body at 0x810).
class SignedImage : public ::testing::Test {
 protected:
  static constexpr size_t kSection5Body = 3000;
  static constexpr size_t kTrailer = 100;  // bytes after section 5, never digested

  SignedImage() : image_(0x820 + kSection5Body + kTrailer) {
    std::mt19937 random(7);
    for (unsigned char& b : image_) b = static_cast<unsigned char>(random());
    PutLE32(0x400, 16);
    PutLE32(0x404, 1024);
    PutLE32(0x810, 16);
    PutLE32(0x814, kSection5Body);
    for (int i = 0; i < 8; ++i) SetType(i, 0x1234);
  }

  void PutLE32(size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) image_[at + i] = static_cast<unsigned char>(value >> (8 * i));
  }
  void SetType(int entry, uint32_t type) { PutLE32(656 + 48 * entry, type); }
  static size_t DigestAt(int entry) { return 656 + 48 * entry + 16; }

  std::string SectionDigest(size_t start, size_t length) {
    unsigned char digest[32];
    CalSHA256(image_.data() + start, digest, static_cast<int>(length));
    return std::string(reinterpret_cast<char*>(digest), 32);
  }
  std::string Section4Digest() { return SectionDigest(0x400, 16 + 1024); }
  std::string Section5Digest() { return SectionDigest(0x810, 16 + kSection5Body); }

  // Writes the image, refreshes it, and returns the result and the file.
  int Refresh(std::string* after) {
    qeltest::WriteFile("isp.bin", std::string(image_.begin(), image_.end()));
    char path[] = "isp.bin";
    qeltest::StdoutCapture capture;
    int result = CalSHA256(path);
    console_ = capture.Stop();
    *after = qeltest::ReadFile("isp.bin");
    return result;
  }

  std::string Original() const { return std::string(image_.begin(), image_.end()); }

  qeltest::TempDir dir_;
  Bytes image_;
  std::string console_;
};

TEST_F(SignedImage, WalksTableInOrderUpToEndMarker) {
  SetType(0, 5);
  SetType(1, 4);
  SetType(2, 0xFFFFFFFF);
  SetType(3, 4);  // after the end marker: left alone
  std::string after;
  ASSERT_EQ(Refresh(&after), 0);

  std::string expected = Original();
  expected.replace(DigestAt(0), 32, Section5Digest());
  expected.replace(DigestAt(1), 32, Section4Digest());
  EXPECT_EQ(after, expected);  // also: nothing after byte 1023 changed
  EXPECT_EQ(console_, "");
}

TEST_F(SignedImage, SeventhEntryRefreshedEighthNever) {
  SetType(2, 5);
  SetType(5, 5);
  SetType(6, 4);
  SetType(7, 4);  // the word at 992 is past the seven-entry table
  std::string after;
  ASSERT_EQ(Refresh(&after), 0);

  std::string expected = Original();
  expected.replace(DigestAt(2), 32, Section5Digest());
  expected.replace(DigestAt(5), 32, Section5Digest());
  expected.replace(DigestAt(6), 32, Section4Digest());
  EXPECT_EQ(after, expected);
}

TEST_F(SignedImage, RefusesTruncatedImagesAndLeavesThemUnchanged) {
  SetType(0, 4);
  SetType(1, 5);
  std::string after;

  PutLE32(0x814, kSection5Body + kTrailer + 1);  // one byte past the end
  EXPECT_EQ(Refresh(&after), 1);
  EXPECT_EQ(after, Original());
  EXPECT_EQ(console_, "ISP image isp.bin: section 5 reaches past the end of the file\n");

  PutLE32(0x814, kSection5Body + kTrailer);  // exactly to the end: accepted
  EXPECT_EQ(Refresh(&after), 0);

  PutLE32(0x400, 0xFFFFFFFF);  // lengths whose sum overflows 32 bits
  EXPECT_EQ(Refresh(&after), 1);
  EXPECT_EQ(after, Original());

  image_.resize(0x810 + 6);  // section 5's lengths cut off
  PutLE32(0x400, 16);
  EXPECT_EQ(Refresh(&after), 1);
  EXPECT_EQ(after, Original());

  image_.resize(1023);
  EXPECT_EQ(Refresh(&after), 1);
  EXPECT_EQ(after, Original());
  EXPECT_EQ(console_, "ISP image isp.bin is shorter than its 1024-byte header\n");
}

TEST_F(SignedImage, MissingFile) {
  char path[] = "absent.bin";
  qeltest::StdoutCapture capture;
  EXPECT_EQ(CalSHA256(path), 1);
  EXPECT_EQ(capture.Stop(), "Open ISP Error! Cannot open absent.bin file\n");
}

TEST_F(SignedImage, LookupComparesAllEightPositions) {
  SetType(1, 5);
  PutLE32(656 + 48 + 4, 0x11111111);
  PutLE32(656 + 48 + 8, 0x22222222);
  SetType(2, 0xFFFFFFFF);
  SetType(7, 9);
  PutLE32(656 + 336 + 4, 0x33333333);
  PutLE32(656 + 336 + 8, 0x44444444);

  unsigned long word1 = 0, word2 = 0, offset = 99;
  EXPECT_EQ(GetCSSHeaderTypeInfo(image_.data(), 656, &word2, &word1, 5, &offset), 0);
  EXPECT_EQ(word1, 0x11111111u);
  EXPECT_EQ(word2, 0x22222222u);
  EXPECT_EQ(offset, 48u);

  // The end marker does not stop the lookup.
  EXPECT_EQ(GetCSSHeaderTypeInfo(image_.data(), 656, &word2, &word1, 9, &offset), 0);
  EXPECT_EQ(word1, 0x33333333u);
  EXPECT_EQ(word2, 0x44444444u);
  EXPECT_EQ(offset, 336u);

  word1 = word2 = 7;
  EXPECT_EQ(GetCSSHeaderTypeInfo(image_.data(), 656, &word2, &word1, 6, &offset), 1);
  EXPECT_EQ(offset, 0u);
  EXPECT_EQ(word1, 7u);
  EXPECT_EQ(word2, 7u);
}

}  // namespace
