// The image a DOWNLOAD MICROCODE run sends: which layout the card's running
// firmware takes, which image sizes can be sent whole, and the raw layout
// that firmware up to "P0925A" expects instead of the signed ISP image.
#ifndef QEL_TOOL_MICROCODEIMAGE_H_
#define QEL_TOOL_MICROCODEIMAGE_H_

enum {
  kMicrocodeBlockSize = 512,
  kMicrocodeMaxBlocks = 65535,        // block counts and offsets travel in 16 bits
  kOlderLayoutSourceSize = 0x80820,   // ISP image bytes the raw layout is built from
  kOlderLayoutSize = 0xC0400,         // bytes of the raw layout (1538 blocks)
};

// True when a card whose firmware revision is `revision` takes the raw
// layout: every revision that sorts at or before "P0925A".
bool UsesOlderLayout(const char* revision);

// Why an image file of `size` (> 0) bytes cannot be downloaded in full, or
// null when it can. With the raw layout only its first
// kOlderLayoutSourceSize bytes are used.
const char* MicrocodeImageSizeFault(long size, bool olderLayout);

// Builds the raw layout in `raw` (kOlderLayoutSize bytes) from the first
// kOlderLayoutSourceSize bytes of the ISP image `image`: the section 4 body,
// the first 512 KiB of the section 5 body, zeros, and the last 16 of those
// bytes again at the very end.
void ConvertToOlderLayout(const unsigned char* image, unsigned char* raw);

#endif  // QEL_TOOL_MICROCODEIMAGE_H_
