#include "QC3300.h"

#include <string.h>

#include "VendorCommand.h"

QC3300::QC3300() {
  ChipIDOffset = 46;
  ChipIDLength = 6;
  memcpy(ChipID, "QC3300", 6);
}

QC3300::~QC3300() {}

int QC3300::ActiveMpIspIspCode(unsigned long addr) {
  return SendVendorCommand(*this, kVoActiveMpIspIspCode, {addr});
}

int QC3300::RunPretestCode() { return SendVendorCommand(*this, kVoRunPretestCode, {}); }

int QC3300::ReadDieBaseSysBlk(int a1, int a2, int a3, int n, void* buf) {
  return SendVendorCommand(*this, kVoReadDieBaseSysBlk, {a1, a2, a3, n}, buf, VendorSectorBytes(n));
}

int QC3300::SetProductFlag() { return SendVendorCommand(*this, kVoSetProductFlag, {}); }

int QC3300::WriteEFuse(int a1, int a2) { return SendVendorCommand(*this, kVoWriteEFuse, {a1, a2}); }

int QC3300::DownloadSignature(void* buf) {
  return SendVendorCommand(*this, kVoDownloadSignature, {}, buf, 512);
}

int QC3300::DownloadISPToRAMTSB3D(void* buf, unsigned long addr, int n) {
  return SendVendorCommand(*this, kVoDownloadISPToRAMTSB3D, {addr}, buf, VendorSectorBytes(n));
}

int QC3300::ActiveISPTSB3D(int a1, int a2, unsigned long a3) {
  return SendVendorCommand(*this, kVoActiveISPTSB3D, {a1, a2, a3});
}

int QC3300::ResetCPU(bool toRom) { return SendVendorCommand(*this, kVoResetCPU, {toRom ? 1 : 0}); }

int QC3300::CheckISPDLSuccess(void* buf) {
  return SendVendorCommand(*this, kVoCheckISPDLSuccess, {}, buf, 512);
}

int QC3300::ReadFlashAutoTSB3D(int a1, int a2, int a3, int a4, int a5, int a6, int a7, int a8,
                               int a9, int n, void* buf) {
  return SendVendorCommand(*this, kVoReadFlashAutoTSB3D, {a1, a2, a3, a4, a5, a6, a7, a8, a9, n},
                           buf, VendorSectorBytes(n));
}

int QC3300::EraseFlashTSB3D(int a1, int a2) {
  return SendVendorCommand(*this, kVoEraseFlashTSB3D, {a1, a2 | 0x02});
}
