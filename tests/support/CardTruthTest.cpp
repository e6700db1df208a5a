// The truth against identities worked out by hand for each command, and the
// checks against planted faults.
#include <gtest/gtest.h>

#include "CardTruth.h"
#include "E2E.h"

namespace {

using cardtruth::Bytes;

constexpr size_t kCopyIdTable = 0x20400;  // image 0x20820 in an ISP copy

// An ATA string field of an ID table as text.
std::string Text(const uint8_t* id, size_t offset, size_t length) {
  std::string s;
  for (size_t i = 0; i < length; i += 2) s += {static_cast<char>(id[offset + i + 1]), static_cast<char>(id[offset + i])};
  return s.substr(0, s.find_last_not_of(std::string(" \0", 2)) + 1);
}

class CardTruthTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = e2e::MakeTempDir("truth");
    ASSERT_EQ(0, e2e::CreateCard(dir_ + "/card", {"--capacity", "65536", "--serial", "CARDSN01", "--model",
                                                  "CARD MODEL", "--fwrev", "Q1117A00"})
                     .status);
    ASSERT_EQ(0, e2e::Run(".", {e2e::VCardPath(), "imageset", dir_ + "/card", dir_, "--serial", "IMGSN01",
                                "--model", "IMAGE MODEL", "--fw-version", "Q1117A01"})
                     .status);
    image_ = dir_ + "/REGBIN/3300/ISP3300.bin";
  }
  static void TearDownTestSuite() { e2e::RemoveTree(dir_); }

  // A copy of the pristine card as the truth of `words` says it must end.
  std::string RightCard(const std::vector<std::string>& words, cardtruth::Truth* truth) {
    cardtruth::Card before;
    std::string image = e2e::ReadFile(image_);
    EXPECT_EQ("", cardtruth::LoadCard(dir_ + "/card", &before));
    EXPECT_EQ("", cardtruth::ComputeTruth(before, Bytes(image.begin(), image.end()), words, truth));
    std::string after = dir_ + "/after";
    e2e::RemoveTree(after);
    EXPECT_EQ(0, e2e::Run(".", {"/bin/cp", "-a", dir_ + "/card", after}).status);
    std::string copy(truth->copy.begin(), truth->copy.end());
    e2e::WriteFile(after + "/isp1.bin", copy);
    e2e::WriteFile(after + "/isp2.bin", copy);
    e2e::WriteFile(after + "/idtable.bin", copy.substr(kCopyIdTable, 512));
    return after;
  }

  static std::string dir_, image_;
};
std::string CardTruthTest::dir_, CardTruthTest::image_;

TEST_F(CardTruthTest, IdentityEachCommandMeansToLeave) {
  // WWN: "card" keeps the card's words 108-111, "image" takes the image's.
  const struct {
    std::vector<std::string> words;
    const char *serial, *model, *fwrev, *wwn;
  } kCases[] = {
      {{"initial"}, "IMGSN01", "IMAGE MODEL", "Q1117A01", "image"},
      {{"initial", "LINE7SN"}, "LINE7SN", "IMAGE MODEL", "Q1117A01", "image"},
      {{"keepsn"}, "CARDSN01", "IMAGE MODEL", "Q1117A01", "image"},
      {{"keepsn_1"}, "CARDSN01", "CARD MODEL", "Q1117A01", "card"},
      {{"update"}, "CARDSN01", "CARD MODEL", "Q1117A01", "card"},
      {{"update_1"}, "CARDSN01", "IMAGE MODEL", "Q1117A01", "card"},
      {{"swap"}, "CARDSN01", "CARD MODEL", "Q1117A01", "card"},
      {{"swap_1"}, "CARDSN01", "CARD MODEL", "Q1117A01", "card"},
      {{"download-microcode"}, "CARDSN01", "CARD MODEL", "Q1117A01", "card"},
  };
  std::string cardId = e2e::ReadFile(dir_ + "/card/idtable.bin");
  std::string imageId = e2e::ReadFile(image_).substr(0x20820, 512);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.words[0] + (c.words.size() > 1 ? " " + c.words[1] : ""));
    cardtruth::Truth truth;
    RightCard(c.words, &truth);
    const uint8_t* id = &truth.copy[kCopyIdTable];
    EXPECT_EQ(c.serial, Text(id, 20, 20));
    EXPECT_EQ(c.fwrev, Text(id, 46, 8));
    EXPECT_EQ(c.model, Text(id, 54, 40));
    const std::string& wwnFrom = std::string(c.wwn) == "card" ? cardId : imageId;
    EXPECT_EQ(wwnFrom.substr(216, 8), std::string(id + 216, id + 224));
    // Section 4 carries the same serial and model for the firmware's own use.
    EXPECT_EQ(c.serial, Text(truth.copy.data(), 0x51C - 0x410, 20));
  }
}

TEST_F(CardTruthTest, PlantedFaultsAreCaught) {
  const struct {
    const char* fault;
    const char* path;
    size_t offset;  // byte changed (or, with swap, the first of two swapped)
    bool swap;
    const char* verdict;  // start of the expected verdict; "" for a right card
  } kCases[] = {
      {"none", nullptr, 0, false, ""},
      {"one byte of copy 2", "isp2.bin", 0x1234, false, "ISP copy 2 byte 0x1234 is "},
      {"last byte of copy 1", "isp1.bin", 0, false, "ISP copy 1 "},
      {"two serial bytes swapped", "idtable.bin", 20, true, "serial number is <ACRDSN01>"},
      {"model", "idtable.bin", 60, false, "model name is <"},
      {"firmware revision", "idtable.bin", 53, false, "firmware revision is <"},
      {"WWN", "idtable.bin", 217, false, "WWN is <"},
      {"ID table checksum", "idtable.bin", 511, false, "ID table word 255 is 0x"},
      {"sector 0", "sectors.img", 3, false, "sector 0 differs"},
      {"a user sector", "sectors.img", 40000 * 512 + 7, false, "user sector 40000 differs"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.fault);
    cardtruth::Truth truth;
    std::string after = RightCard({"update"}, &truth);
    if (c.path) {
      std::string path = after + "/" + c.path, data = e2e::ReadFile(path);
      size_t at = c.offset ? c.offset : data.size() - 1;
      if (c.swap) {
        std::swap(data[at], data[at + 1]);
      } else {
        data[at] = static_cast<char>(data[at] ^ 0x5A);
      }
      e2e::WriteFile(path, data);
    }
    std::string verdict = e2e::CheckCard(after, dir_ + "/card", image_, {"update"});
    EXPECT_EQ(c.verdict, verdict.substr(0, strlen(c.verdict))) << verdict;
    EXPECT_EQ(*c.verdict == '\0', verdict.empty()) << verdict;
  }
}

TEST_F(CardTruthTest, StoredCopyLengthAndProgram) {
  const struct {
    const char* what;
    int extraSectors;  // zero padding: -1 none, 0 to a whole sector, n that and n more sectors
    const char* mode;
    bool right;
  } kCases[] = {
      {"zero padding to a whole sector", 0, "isp", true},
      {"a whole extra sector of zeros", 1, "isp", false},
      {"card left in its boot ROM", -1, "rom", false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    cardtruth::Truth truth;
    std::string after = RightCard({"swap"}, &truth);
    size_t padding = c.extraSectors < 0 ? 0 : 512 - truth.copy.size() % 512 + 512 * c.extraSectors;
    e2e::WriteFile(after + "/isp1.bin", std::string(truth.copy.begin(), truth.copy.end()) + std::string(padding, '\0'));
    std::string conf = e2e::ReadFile(after + "/card.conf");
    conf.replace(conf.find("mode=isp"), 8, std::string("mode=") + c.mode);
    e2e::WriteFile(after + "/card.conf", conf);
    EXPECT_EQ(c.right, e2e::CheckCard(after, dir_ + "/card", image_, {"swap"}).empty());
  }
}

TEST_F(CardTruthTest, UntouchedMeansEveryFieldAsBefore) {
  std::string after = dir_ + "/untouched";
  e2e::RemoveTree(after);
  ASSERT_EQ(0, e2e::Run(".", {"/bin/cp", "-a", dir_ + "/card", after}).status);
  EXPECT_EQ("", e2e::CheckCard(after, dir_ + "/card", image_, {}));
  std::string copy = e2e::ReadFile(after + "/isp1.bin");
  copy[100] ^= 1;
  e2e::WriteFile(after + "/isp1.bin", copy);
  EXPECT_EQ("ISP copy 1 byte 0x64", e2e::CheckCard(after, dir_ + "/card", image_, {}).substr(0, 20));
}

}  // namespace
