// QC3300: the controller every object of the tool drives. Adds starting the
// loaders and the ISP image, the pretest, the reset into the boot ROM and the
// TSB3D variants.
#ifndef QEL_LIBRARY_QC3300_H_
#define QEL_LIBRARY_QC3300_H_

#include "QC3200.h"

class QC3300 : public QC3200 {
 public:
  QC3300();
  ~QC3300();

  int ActiveMpIspIspCode(unsigned long addr);
  int RunPretestCode();
  int ReadDieBaseSysBlk(int a1, int a2, int a3, int n, void* buf);
  int SetProductFlag();
  int WriteEFuse(int a1, int a2);
  int DownloadSignature(void* buf);
  int DownloadISPToRAMTSB3D(void* buf, unsigned long addr, int n);
  int ActiveISPTSB3D(int a1, int a2, unsigned long a3);
  int ResetCPU(bool toRom);
  int CheckISPDLSuccess(void* buf);
  int ReadFlashAutoTSB3D(int a1, int a2, int a3, int a4, int a5, int a6, int a7, int a8, int a9,
                         int n, void* buf);
  int EraseFlashTSB3D(int a1, int a2);
};

#endif  // QEL_LIBRARY_QC3300_H_
