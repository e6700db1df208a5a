#include "QC3200.h"

#include <string.h>

#include "VendorCommand.h"

QC3200::QC3200() {
  ChipIDOffset = 46;
  ChipIDLength = 6;
  memcpy(ChipID, "QC3200", 6);
}

QC3200::~QC3200() {}

int QC3200::WriteDRAMSetData(unsigned long addr, void* buf, int len, unsigned char s1,
                             unsigned char s2, unsigned char s3) {
  return SendVendorCommand(*this, kVoWriteDRAMSetData, {addr, s1, s2, s3}, buf, len);
}

int QC3200::JumpDRAMSetCode(unsigned long addr, unsigned char s1, unsigned char s2,
                            unsigned char s3) {
  return SendVendorCommand(*this, kVoJumpDRAMSetCode, {addr, s1, s2, s3});
}
