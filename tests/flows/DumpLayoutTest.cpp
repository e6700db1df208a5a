// The order of plane page reads in an ISP dump and how much of each lands in
// the file.
#include <gtest/gtest.h>

#include <vector>

#include "IspDumpLayout.h"

namespace {

std::vector<DumpRead> Walk(const DumpGeometry& geometry, size_t length, size_t* fileLength) {
  DumpWalk walk(geometry, length);
  std::vector<DumpRead> reads;
  DumpRead read;
  while (walk.Next(&read)) reads.push_back(read);
  *fileLength = walk.position();
  return reads;
}

TEST(DumpLayoutTest, PlanesInterleaveAndTheFileEndsAtTheImageLength) {
  const size_t kLengths[] = {0x820 + 1, 262144, 262144 + 777, 100001};
  for (int planes : {1, 2, 4}) {
    for (size_t length : kLengths) {
      SCOPED_TRACE(testing::Message() << planes << " planes, length " << length);
      size_t fileLength = 0;
      std::vector<DumpRead> reads = Walk({planes, 8, 256}, length, &fileLength);
      EXPECT_EQ(length, fileLength);
      ASSERT_FALSE(reads.empty());
      EXPECT_EQ(0, reads[0].page);
      EXPECT_EQ(0, reads[0].plane);
      EXPECT_EQ(1024u, reads[0].keep);
      size_t body = 0;
      for (size_t i = 1; i < reads.size(); ++i) {
        EXPECT_EQ(1 + (int)(i - 1) / planes, reads[i].page);
        EXPECT_EQ((int)(i - 1) % planes, reads[i].plane);
        if (i + 1 < reads.size()) {
          EXPECT_EQ(4096u, reads[i].keep);
        }
        body += reads[i].keep;
      }
      EXPECT_EQ(length - 0x820, body);
      EXPECT_EQ((length - 0x820 + 4095) / 4096, reads.size() - 1);
    }
  }
}

TEST(DumpLayoutTest, ABlockTooSmallEndsTheDumpEarly) {
  // 4 pages of 2 planes x 4096 bytes: 0x820 + 3 * 8192 bytes at most.
  size_t fileLength = 0;
  std::vector<DumpRead> reads = Walk({2, 8, 4}, 262144, &fileLength);
  EXPECT_EQ(1u + 3 * 2, reads.size());
  EXPECT_EQ(0x820u + 3 * 8192, fileLength);
  EXPECT_EQ(3, reads.back().page);
}

TEST(DumpLayoutTest, GeometryMustAddressEveryPlaneAndHoldPageZero) {
  EXPECT_TRUE(DumpGeometryUsable({1, 8, 64}));
  EXPECT_TRUE(DumpGeometryUsable({4, 64, 512}));
  EXPECT_FALSE(DumpGeometryUsable({0, 0, 0}));   // a card never read in a firmware
  EXPECT_FALSE(DumpGeometryUsable({8, 8, 64}));  // planes 4..7 cannot be named
  EXPECT_FALSE(DumpGeometryUsable({1, 1, 64}));
  EXPECT_FALSE(DumpGeometryUsable({1, 8, 0}));
}

}  // namespace
