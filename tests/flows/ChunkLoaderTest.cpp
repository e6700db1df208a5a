// Chunking arithmetic and what the loader stages from a file.
#include <stdio.h>

#include "ChunkLoader.h"
#include "E2E.h"
#include "FlowTest.h"

namespace {

TEST(ChunkArithmeticTest, WholeChunksAndTheShortLastOne) {
  // {length, chunk count, length of the last chunk}
  const size_t kCases[][3] = {{0, 0, 0}, {1, 1, 1}, {65536, 1, 65536}, {65537, 2, 1}};
  for (const auto& c : kCases) {
    EXPECT_EQ(c[1], LoadChunkCount(c[0])) << c[0];
    EXPECT_EQ(c[1] > 1 ? 65536u : c[2], LoadChunkLength(c[0], 0)) << c[0];
    EXPECT_EQ(c[2], LoadChunkLength(c[0], c[1] > 0 ? c[1] - 1 : 0)) << c[0];
    EXPECT_EQ(0u, LoadChunkLength(c[0], c[1])) << c[0];
  }
  // The section bodies leave out the headers.
  EXPECT_EQ(65536u, LoadViewLength(65536 + 1056, kLoadSectionBodies));
  EXPECT_EQ(65536u + 1056, LoadViewLength(65536 + 1056, kLoadWholeFile));
  EXPECT_EQ(1024u, LoadViewLength(2080, kLoadSectionBodies));
  EXPECT_EQ(0u, LoadViewLength(2079, kLoadSectionBodies));
}

LoadResult StageFile(const std::string& bytes, LoadView view, unsigned long base,
                     StagedLoad* load) {
  e2e::WriteFile("in.bin", bytes);
  FILE* file = fopen("in.bin", "rb");
  LoadResult result = load->Stage(file, view, base);
  fclose(file);
  return result;
}

using StageTest = FlowTest;

TEST_F(StageTest, SectionBodiesFollowEachOtherAndThePaddingIsZero) {
  std::string file(65536 + 1056 + 3, '\0');
  for (size_t i = 0; i < file.size(); ++i) file[i] = (char)PatternA(i);
  StagedLoad load;
  ASSERT_EQ(kLoadOk, StageFile(file, kLoadSectionBodies, 0x80000000, &load));
  ASSERT_EQ(65539u, load.length());
  EXPECT_EQ(file.substr(1040, 1024) + file.substr(2080), std::string((const char*)load.data(), 65539));
  for (size_t i = load.length(); i < 2 * 65536; ++i) ASSERT_EQ(0, load.data()[i]) << i;
}

TEST_F(StageTest, RefusesWhatCannotBeLoaded) {
  StagedLoad load;
  EXPECT_EQ(kLoadEmpty, StageFile("", kLoadWholeFile, 0x40020000, &load));
  EXPECT_EQ(kLoadEmpty, StageFile("", kLoadSectionBodies, 0x80000000, &load));
  EXPECT_EQ(kLoadTooShort, StageFile(std::string(2079, 'x'), kLoadSectionBodies, 0x80000000, &load));
  // Two chunks from 0xFFFF0000 would wrap the 32-bit address.
  EXPECT_EQ(kLoadTooLarge, StageFile(std::string(65537, 'x'), kLoadWholeFile, 0xFFFF0000, &load));
  EXPECT_EQ(kLoadOk, StageFile(std::string(65536, 'x'), kLoadWholeFile, 0xFFFF0000, &load));
}

}  // namespace
