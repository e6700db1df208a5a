// Reads the card's two ISP copies back into files with the layout of an ISP
// image, so that the flows can take the card's firmware version and identity
// fields from fixed offsets, and checks the copies against each other
// (DumpISPBlock) and against an image (VerifyISP). One plane page is read at
// a time into one reused buffer.
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "EXCMDFunc.h"
#include "FlowGlobals.h"
#include "IspDumpLayout.h"
#include "IspFileIO.h"
#include "IspLayout.h"
#include "Progress.h"
#include "SHA256.h"

namespace {

enum {
  kSectorSize = 512,
  kDumpReadMode = 0x15,
  kPlaneShift = 6,
  // The firmware version within page 0 and within the section-5 header.
  kPageFwVersion = kIspFwVersion - kIspSection4Body,
  kHeaderFwVersion = kIspFwVersionCopy - kIspSection5,
};

// What a dump takes from the reference image.
struct ReferenceImage {
  unsigned char css[kIspCssHeaderSize];
  unsigned char section4[kIspSectionHeaderSize];
  unsigned char section5[kIspSectionHeaderSize];
  size_t length;
};

bool ReadReference(const char* path, ReferenceImage* ref) {
  ScopedFile file(fopen(path, "rb"));
  if (!file) {
    debug_printf("Cannot open ISP.bin file\n");
    return false;
  }
  long size = FileSize(file.get());
  if (size < 0 || !ReadAt(file.get(), 0, ref->css, sizeof(ref->css)) ||
      !ReadAt(file.get(), kIspSection4, ref->section4, sizeof(ref->section4)) ||
      !ReadAt(file.get(), kIspSection5, ref->section5, sizeof(ref->section5))) {
    debug_printf("Cannot read ISP.bin file %s\n", path);
    return false;
  }
  ref->length = (size_t)size;
  return true;
}

// The page buffer of one plane page read, with the extra sector the read
// brings along.
struct PageBuffer {
  unsigned char* data;
  size_t size;
  int sectors;
};

// Writes ISP copy `copy` (1 or 2) to `dumpPath`. Prints its own failure.
int DumpCopy(int copy, const char* dumpPath, const ReferenceImage& ref,
             const DumpGeometry& geometry, const PageBuffer& page) {
  int blockWordOffset = copy == 1 ? kFidISP1Block : kFidISP2Block;
  uint16_t blockWord =
      (uint16_t)(g_FlashIDTable[blockWordOffset] | g_FlashIDTable[blockWordOffset + 1] << 8);
  int32_t blockCount = g_FlashIDTable[kFidBlockCount] << 8 | g_FlashIDTable[kFidBlockCount + 1];
  int32_t block = 0, logicalCE = 0, logicalCH = 0;
  if (GetSysBlkInfo(blockWord, &block, &logicalCE, &logicalCH, blockCount) != 0) {
    debug_printf("Tran Sys block fail\n");
    return 1;
  }
  FILE* out = OpenFileNoFollow(dumpPath, "wb");
  if (out == nullptr) {
    debug_printf("Verify ISP Error! Cannot open %s file\n", dumpPath);
    return 1;
  }
  int dieAddress = ((logicalCE & 7) << 3) | (logicalCH & 7);
  bool written = fwrite(ref.css, 1, kIspCssHeaderSize, out) == kIspCssHeaderSize;
  DumpWalk walk(geometry, ref.length);
  DumpRead read;
  Progress progress(copy == 1 ? "Read back ISP 1" : "Read back ISP 2", ref.length);
  while (written && walk.Next(&read)) {
    memset(page.data, 0, page.size);
    int mode = (read.plane << kPlaneShift) | kDumpReadMode;
    if (gQel3300->ReadFlashPhy(block, read.page, 0, 0, mode, dieAddress, 0, 0, 0, page.sectors,
                               page.data) != 0) {
      progress.Done();
      fclose(out);
      debug_printf("Verify ISP Error \n");
      return 1;
    }
    if (read.page == 0) {
      // The section-5 header carries the firmware version stored on the card.
      unsigned char section5[kIspSectionHeaderSize];
      memcpy(section5, ref.section5, sizeof(section5));
      memcpy(section5 + kHeaderFwVersion, page.data + kPageFwVersion, kIspFwVersionLength);
      written = fwrite(ref.section4, 1, kIspSectionHeaderSize, out) == kIspSectionHeaderSize &&
                fwrite(page.data, 1, read.keep, out) == read.keep &&
                fwrite(section5, 1, kIspSectionHeaderSize, out) == kIspSectionHeaderSize;
    } else {
      written = fwrite(page.data, 1, read.keep, out) == read.keep;
    }
    progress.Update(walk.position());
  }
  progress.Done();
  if (!CloseChecked(out) || !written) {
    debug_printf("Write %s Fail!\n", dumpPath);
    debug_printf("Verify ISP Error \n");
    return 1;
  }
  return 0;
}

// Checks that both dumps reached the reference image's length. Done before
// the digests are refreshed: a short dump has no complete section 5 to
// digest, and its length is what the user needs to see.
int CheckDumpLengths(size_t length) {
  const char* dumps[] = {DumpISP1File, DumpISP2File};
  for (int copy = 1; copy <= 2; ++copy) {
    struct stat st;
    if (stat(dumps[copy - 1], &st) != 0) {
      debug_printf("Update ISP Error! Cannot open VeriISP.bin file\n");
      return 1;
    }
    if ((size_t)st.st_size < length) {
      debug_printf("Dump ISP%d data length error! expect:0x%X, real:0x%X\n", copy, (unsigned)length,
                   (unsigned)st.st_size);
      return 1;
    }
  }
  return 0;
}

// Checks that the two dumps agree byte for byte.
int CompareDumps() {
  ScopedFile second(fopen(DumpISP2File, "rb"));
  ScopedFile first(fopen(DumpISP1File, "rb"));
  if (!second || !first) {
    debug_printf("Update ISP Error! Cannot open VeriISP.bin file\n");
    return 1;
  }
  unsigned char a[kSectorSize], b[kSectorSize];
  size_t n;
  while ((n = fread(b, 1, sizeof(b), second.get())) > 0) {
    if (fread(a, 1, n, first.get()) != n) {
      debug_printf("Dump ISP Size = 0\n");
      debug_printf("Verify ISP Error \n");
      return 1;
    }
    if (memcmp(a, b, n) != 0) {
      debug_printf("Dump ISP Fail\n");
      debug_printf("Verify ISP Error \n");
      return 1;
    }
  }
  return 0;
}

// Compares the first `compareLength` bytes of `image` with dump `path`; the
// dump must be at least as long as the whole image.
int VerifyCopy(FILE* image, size_t compareLength, int copy, const char* path) {
  ScopedFile dump(fopen(path, "rb"));
  if (!dump) {
    debug_printf("Cannot open %s\n", path);
    return 1;
  }
  rewind(image);
  size_t remaining = compareLength;
  unsigned char a[kSectorSize], b[kSectorSize];
  size_t n;
  while ((n = fread(a, 1, sizeof(a), image)) > 0) {
    size_t m = fread(b, 1, sizeof(b), dump.get());
    if (m == 0) {
      debug_printf("Verify ISP %d Size = 0\n", copy);
      debug_printf("Verify ISP Error \n");
      return 1;
    }
    if (ftell(image) != ftell(dump.get())) {
      debug_printf("Verify ISP %d Fail(Ptr Err)\n", copy);
      debug_printf("Verify ISP Error \n");
      return 1;
    }
    size_t compared = remaining < n ? remaining : n;
    if (memcmp(a, b, compared) != 0) {
      debug_printf("Verify ISP %d Fail\n", copy);
      debug_printf("Verify ISP Error \n");
      return 1;
    }
    remaining -= compared;
  }
  debug_printf("Verify ISP %d Pass\n", copy);
  return 0;
}

}  // namespace

int DumpISPBlock(char* path, int verbose) {
  if (verbose) debug_printf("Dump ISP block.........................\n");
  ReferenceImage ref;
  if (!ReadReference(path, &ref)) return 1;

  DumpGeometry geometry = {g_CardMode.PlaneCount, g_CardMode.SectorsPerPage,
                           g_CardMode.PagesPerBlock};
  if (!DumpGeometryUsable(geometry)) {
    debug_printf("Unknown flash geometry: %d planes, %d sectors per page, %d pages per block\n",
                 geometry.planeCount, geometry.sectorsPerPage, geometry.pagesPerBlock);
    return 1;
  }
  PageBuffer page;
  page.sectors = geometry.sectorsPerPage + 1;
  page.size = (size_t)page.sectors * kSectorSize;
  page.data = (unsigned char*)malloc(page.size);
  if (page.data == nullptr) {
    debug_printf("System Memory Overflow");
    return 1;
  }
  if (verbose) {
    debug_printf("Save ISP 1:%s\n", DumpISP1File);
    debug_printf("Save ISP 2:%s\n", DumpISP2File);
  }
  int result = 0;
  for (int copy = 1; copy <= 2 && result == 0; ++copy) {
    result = DumpCopy(copy, copy == 1 ? DumpISP1File : DumpISP2File, ref, geometry, page);
    if (result == 0 && verbose) debug_printf("Read ISP %d block OK\n", copy);
  }
  free(page.data);
  if (result != 0 || CheckDumpLengths(ref.length) != 0) return 1;

  for (char* dump : {DumpISP1File, DumpISP2File}) {
    if (CalSHA256(dump) != 0) {
      debug_printf("Cal HASH info fail(%s)\n", dump);
      return 1;
    }
  }
  if (verbose) {
    debug_printf("Success\n");
    debug_printf("Start Verfy DumpISP block..............\n");
  }
  if (CompareDumps() != 0) return 1;
  if (verbose) {
    debug_printf("Verify DumpISP 1/2 Pass\n");
    debug_printf("Success\n");
  }
  return 0;
}

int VerifyISP(char* path, int) {
  CheckCardMode();
  debug_printf("Dump ISP for Check ....................\n");
  snprintf(DumpISP1File, sizeof(DumpISP1File), "%s", VerifyISP1File);
  snprintf(DumpISP2File, sizeof(DumpISP2File), "%s", VerifyISP2File);
  if (DumpISPBlock(path, 0) != 0) {
    debug_printf("Download ISP Check Data Fail!\n");
    return 1;
  }
  debug_printf("Success\n");

  ScopedFile image(fopen(path, "rb"));
  if (!image) {
    debug_printf("Cannot open %s\n", path);
    return 1;
  }
  unsigned char bodyLength[4];
  if (!ReadAt(image.get(), kIspSection5BodyLength, bodyLength, sizeof(bodyLength))) {
    debug_printf("Cannot read %s\n", path);
    return 1;
  }
  // The image up to the end of section 5's body; a longer file's tail is
  // not compared, but the dumps must still be as long as the image.
  size_t compareLength = (size_t)LoadLE32(bodyLength) + kIspSection5Body;
  debug_printf("Start Verify ISP block.................\n");
  if (VerifyCopy(image.get(), compareLength, 1, VerifyISP1File) != 0 ||
      VerifyCopy(image.get(), compareLength, 2, VerifyISP2File) != 0) {
    return 1;
  }
  debug_printf("Success\n");
  return 0;
}
