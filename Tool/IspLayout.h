// Layout of an ISP image file, shared by the read-back dumps: a 1024-byte CSS
// header whose section table carries the section digests, section 4 at 0x400
// and section 5 at 0x810, each a 16-byte header (header length, body length,
// 8 further bytes) followed by its body, and the identity fields at fixed
// offsets inside the bodies.
#ifndef QEL_TOOL_ISPLAYOUT_H_
#define QEL_TOOL_ISPLAYOUT_H_

enum {
  kIspCssHeaderSize = 1024,
  kIspSectionTable = 656,  // entries: 32-bit type, two words, digest at +16
  kIspSectionEntrySize = 48,
  kIspSectionEntries = 7,
  kIspSectionHeaderSize = 16,

  kIspSection4 = 0x400,
  kIspSection4Body = 0x410,
  kIspSection4BodySize = 1024,
  kIspSection5 = 0x810,
  kIspSection5BodyLength = 0x814,  // 32-bit little-endian
  kIspSection5Body = 0x820,        // to the end of the file
  kIspStrippedOverhead = 1056,     // CSS header and the two section headers

  kIspFwVersion = 0x418,      // 8 bytes, section-4 body
  kIspFwVersionCopy = 0x818,  // bytes 8..15 of the section-5 header
  kIspFwVersionLength = 8,
  // Identity fields of section 4; the CID area's first part holds the
  // WWN area, the vendor-specific area, the serial number and the model name.
  kIspCidFirstPart = 0x420,
  kIspCidFirstPartLength = 320,
  kIspWwnArea = 0x424,
  kIspWwnAreaLength = 28,
  kIspVendorArea = 0x4D0,
  kIspVendorAreaLength = 62,
  kIspSerialNumber = 0x51C,
  kIspSerialLength = 20,
  kIspModelName = 0x538,
  kIspModelNameLength = 40,
  kIspCidSecondPart = 0x570,
  kIspCidSecondPartLength = 672,

  kIspIdTable = 0x20820,  // ATA IDENTIFY image inside section 5
  kIspIdTableSize = 512,
  kIspIdSerialNumber = 0x20834,
  kIspIdFwRevision = 0x2084E,  // 8 bytes, then the 40-byte model number
};

#endif  // QEL_TOOL_ISPLAYOUT_H_
