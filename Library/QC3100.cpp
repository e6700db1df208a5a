#include "QC3100.h"

#include <string.h>

#include "VendorCommand.h"

namespace {

constexpr int kChipIDOffset = 46;
constexpr int kChipIDLength = 6;
constexpr int kMaxSpareBytes = 256;
constexpr int kSpareAt = 256;

}  // namespace

QC3100::QC3100() {
  ChipIDOffset = kChipIDOffset;
  ChipIDLength = kChipIDLength;
  memcpy(ChipID, "QC3100", kChipIDLength);
}

QC3100::~QC3100() {}

int QC3100::SetChipIdenitfyParm(int offset, int length, char* id) {
  if (length < 0 || length > static_cast<int>(sizeof ChipID2) || offset < 0 ||
      offset > kSectorBytes - length || (id == nullptr && length > 0))
    return 1;
  ChipID2Offset = offset;
  ChipID2Length = length;
  memset(ChipID2, 0, sizeof ChipID2);
  if (length > 0) memcpy(ChipID2, id, static_cast<size_t>(length));
  return 0;
}

int QC3100::ReadFlashAuto(int a1, int a2, int a3, int a4, int a5, int a6, int a7, int a8, int n,
                          void* buf) {
  return SendVendorCommand(*this, kVoReadFlashAuto, {a1, a2, a3, a4, a5, a6, a7, a8, n}, buf,
                           VendorSectorBytes(n));
}

int QC3100::ReadFlashPhy(int block, int page, int a3, int a4, int mode, int ceCh, int a7, int a8,
                         int a9, int n, void* buf) {
  return SendVendorCommand(*this, kVoReadFlashPhy, {block, page, a3, a4, mode, ceCh, a7, a8, a9, n},
                           buf, VendorSectorBytes(n));
}

int QC3100::ResetCPU() { return SendVendorCommand(*this, kVoResetCPU, {0}); }

int QC3100::EraseFlash(int block, int a2) {
  return SendVendorCommand(*this, kVoEraseFlash, {block, a2});
}

int QC3100::DumpLinkTable(void* buf, int len) {
  return SendVendorCommand(*this, kVoDumpLinkTable, {}, buf, len);
}

int QC3100::DumpH2Ftable(unsigned long addr, int n, void* buf) {
  return SendVendorCommand(*this, kVoDumpH2Ftable, {addr, n}, buf, VendorSectorBytes(n));
}

int QC3100::DumpDramData(unsigned long addr, int n, void* buf) {
  return SendVendorCommand(*this, kVoDumpDramData, {addr, n}, buf, VendorSectorBytes(n));
}

int QC3100::DumpEraseCount(void* buf, int len) {
  return SendVendorCommand(*this, kVoDumpEraseCount, {}, buf, len);
}

int QC3100::ReadPar(void* buf, int len) {
  return SendVendorCommand(*this, kVoReadPar, {}, buf, len);
}

int QC3100::ReadFlashID(void* buf) {
  return SendVendorCommand(*this, kVoReadFlashID, {}, buf, 1024);
}

int QC3100::LoadWProPage(int a1, void* buf, int len) {
  return SendVendorCommand(*this, kVoLoadWProPage, {a1}, buf, len);
}

int QC3100::ReadChunkAuto(int a1, int a2, int n, void* buf) {
  return SendVendorCommand(*this, kVoReadChunkAuto, {a1, a2, n}, buf, VendorSectorBytes(n));
}

int QC3100::ReadChunkPhy(int block, int ceCh, int page, int a4, int n, void* buf) {
  return SendVendorCommand(*this, kVoReadChunkPhy, {block, ceCh, page, a4, n}, buf,
                           VendorSectorBytes(n));
}

int QC3100::ReadBufData(int n, void* buf) {
  return SendVendorCommand(*this, kVoReadBufData, {n}, buf, VendorSectorBytes(n));
}

int QC3100::ReadQelStatus(void* buf) {
  return SendVendorCommand(*this, kVoReadQelStatus, {}, buf, 512);
}

int QC3100::ManualMarkBad(int block) { return SendVendorCommand(*this, kVoManualMarkBad, {block}); }

int QC3100::ReadOPT(int a1, void* buf) {
  return SendVendorCommand(*this, kVoReadOPT, {a1}, buf, 512);
}

int QC3100::DumpStrongPageTable(void* buf) {
  return SendVendorCommand(*this, kVoDumpStrongPageTable, {}, buf, 1024);
}

int QC3100::ReadConfigureTable(void* buf) {
  return SendVendorCommand(*this, kVoReadConfigureTable, {}, buf, 512);
}

int QC3100::DumpLTS(void* buf) { return SendVendorCommand(*this, kVoDumpLTS, {}, buf, 512); }

int QC3100::GetRdtEraseCount(void* buf) {
  return SendVendorCommand(*this, kVoGetRdtEraseCount, {}, buf, 32768);
}

int QC3100::GetRdtResult(void* buf) {
  return SendVendorCommand(*this, kVoGetRdtResult, {}, buf, 3584);
}

int QC3100::ReadSmartInfo(int a1, void* buf) {
  return SendVendorCommand(*this, kVoReadSmartInfo, {a1}, buf, 512);
}

int QC3100::DumpWordLineTable(void* buf) {
  return SendVendorCommand(*this, kVoDumpWordLineTable, {}, buf, 4096);
}

int QC3100::ReadLogPage(int a1, void* buf, int len) {
  return SendVendorCommand(*this, kVoReadLogPage, {a1}, buf, len);
}

int QC3100::WriteFlash(int block, int page, int mode, int ceCh, int a5, int n, void* buf) {
  return SendVendorCommand(*this, kVoWriteFlash, {block, page, mode, ceCh, a5}, buf,
                           VendorSectorBytes(n));
}

// The spare bytes ride in the second half of the command block.
int QC3100::WriteFlashWithSpare(int block, int page, int mode, int ceCh, int a5, int n, void* buf,
                                void* spare, int spareLen) {
  if (spareLen < 0 || spareLen > kMaxSpareBytes || (spare == nullptr && spareLen > 0)) return -6;
  unsigned char preset[kSectorBytes] = {};
  if (spareLen > 0) memcpy(preset + kSpareAt, spare, static_cast<size_t>(spareLen));
  return SendVendorCommand(*this, kVoWriteFlash, {block, page, mode, ceCh, a5}, buf,
                           VendorSectorBytes(n), preset);
}

int QC3100::WriteDramData(unsigned long addr, void* buf, int len) {
  return SendVendorCommand(*this, kVoWriteDramData, {addr, len - 1}, buf, len);
}

int QC3100::WriteMPISPData(unsigned long addr, void* buf, int len) {
  return SendVendorCommand(*this, kVoWriteMPISPData, {addr}, buf, len);
}

int QC3100::WriteISPDataByFW(unsigned long addr, void* buf, int len, bool flag) {
  return SendVendorCommand(*this, kVoWriteISPDataByFW, {flag ? 0x80 : 0x00, addr}, buf, len);
}

int QC3100::WritePrtestData(unsigned long addr, void* buf, int len, void* header) {
  if (header == nullptr) return -6;
  return SendVendorCommand(*this, kVoWriteMPISPData, {addr}, buf, len,
                           static_cast<const unsigned char*>(header));
}

int QC3100::JumpCode(unsigned long addr) { return SendVendorCommand(*this, kVoJumpCode, {addr}); }

int QC3100::JumpCodePretest(unsigned long addr, void* header) {
  if (header == nullptr) return -6;
  return SendVendorCommand(*this, kVoJumpCode, {addr}, nullptr, 0,
                           static_cast<const unsigned char*>(header));
}

int QC3100::SetRetryTable(void* buf) {
  return SendVendorCommand(*this, kVoSetRetryTable, {}, buf, 1024);
}

int QC3100::ReadLBA(unsigned long lba, unsigned long count, void* buf) {
  return ReadSector(lba, count, buf, (Attribute & kAttrAtaPassThrough) != 0);
}

int QC3100::WriteLBA(unsigned long lba, unsigned long count, void* buf) {
  return WriteSector(lba, count, buf, (Attribute & kAttrAtaPassThrough) != 0);
}
