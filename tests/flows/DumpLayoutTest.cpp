// The order of plane page reads in an ISP dump and how much of each lands in
// the file.
#include <gtest/gtest.h>

#include <vector>

#include "IspDumpLayout.h"

namespace {

std::vector<DumpRead> Walk(const DumpGeometry& geometry, size_t length, size_t* fileLength) {
  DumpWalk walk(geometry, length);
  std::vector<DumpRead> reads;
  for (DumpRead read; walk.Next(&read);) reads.push_back(read);
  *fileLength = walk.position();
  return reads;
}

TEST(DumpLayoutTest, PlanesInterleaveAndTheFileEndsAtTheImageLength) {
  for (int planes : {1, 2, 4}) {
    for (size_t length : {0x820 + 1, 262144, 262144 + 777, 100001}) {
      SCOPED_TRACE(testing::Message() << planes << " planes, length " << length);
      size_t fileLength = 0, body = 0;
      std::vector<DumpRead> reads = Walk({planes, 8, 256}, length, &fileLength);
      EXPECT_EQ(length, fileLength);
      ASSERT_EQ((length - 0x820 + 4095) / 4096, reads.size() - 1);
      EXPECT_EQ(0, reads[0].page + reads[0].plane);
      EXPECT_EQ(1024u, reads[0].keep);
      for (size_t i = 1; i < reads.size(); ++i) {
        EXPECT_EQ(1 + (int)(i - 1) / planes, reads[i].page);
        EXPECT_EQ((int)(i - 1) % planes, reads[i].plane);
        EXPECT_EQ(i + 1 < reads.size() ? 4096u : reads[i].keep, reads[i].keep);
        body += reads[i].keep;
      }
      EXPECT_EQ(length - 0x820, body);
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
  // {0, 0, 0} is a card never read in a firmware; planes 4..7 cannot be named.
  const DumpGeometry kGood[] = {{1, 8, 64}, {4, 64, 512}};
  const DumpGeometry kBad[] = {{0, 0, 0}, {8, 8, 64}, {1, 1, 64}, {1, 8, 0}};
  for (const DumpGeometry& g : kGood) EXPECT_TRUE(DumpGeometryUsable(g));
  for (const DumpGeometry& g : kBad) EXPECT_FALSE(DumpGeometryUsable(g));
}

}  // namespace
