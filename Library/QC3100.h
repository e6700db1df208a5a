// QC3100: the controller's vendor commands, each a 512-byte command block
// (byte 0 class 0xF0 read-type / 0xF1 write-type, byte 1 sub-opcode,
// parameters at fixed places) carried by the vendor channel of SSDCMD.
// Every method returns the channel's code unchanged (0 or negative).
#ifndef QEL_LIBRARY_QC3100_H_
#define QEL_LIBRARY_QC3100_H_

#include "SSDCMD.h"

class QC3100 : public SSDCMD {
 public:
  QC3100();
  ~QC3100();

  // A second identity string accepted in the unlock answer; length <= 50.
  // Returns 0, or 1 when refused.
  int SetChipIdenitfyParm(int offset, int length, char* id);

  int ReadFlashAuto(int a1, int a2, int a3, int a4, int a5, int a6, int a7, int a8, int n, void* buf);
  int ReadFlashPhy(int block, int page, int a3, int a4, int mode, int ceCh, int a7, int a8, int a9,
                   int n, void* buf);
  int ResetCPU();
  int EraseFlash(int block, int a2);
  int DumpLinkTable(void* buf, int len);
  int DumpH2Ftable(unsigned long addr, int n, void* buf);
  int DumpDramData(unsigned long addr, int n, void* buf);
  int DumpEraseCount(void* buf, int len);
  int ReadPar(void* buf, int len);
  int ReadFlashID(void* buf);
  int LoadWProPage(int a1, void* buf, int len);
  int ReadChunkAuto(int a1, int a2, int n, void* buf);
  int ReadChunkPhy(int block, int ceCh, int page, int a4, int n, void* buf);
  int ReadBufData(int n, void* buf);
  int ReadQelStatus(void* buf);
  int ManualMarkBad(int block);
  int ReadOPT(int a1, void* buf);
  int DumpStrongPageTable(void* buf);
  int ReadConfigureTable(void* buf);
  int DumpLTS(void* buf);
  int GetRdtEraseCount(void* buf);
  int GetRdtResult(void* buf);
  int ReadSmartInfo(int a1, void* buf);
  int DumpWordLineTable(void* buf);
  int ReadLogPage(int a1, void* buf, int len);
  int WriteFlash(int block, int page, int mode, int ceCh, int a5, int n, void* buf);
  int WriteFlashWithSpare(int block, int page, int mode, int ceCh, int a5, int n, void* buf,
                          void* spare, int spareLen);
  int WriteDramData(unsigned long addr, void* buf, int len);
  int WriteMPISPData(unsigned long addr, void* buf, int len);
  int WriteISPDataByFW(unsigned long addr, void* buf, int len, bool flag);
  int WritePrtestData(unsigned long addr, void* buf, int len, void* header);
  int JumpCode(unsigned long addr);
  int JumpCodePretest(unsigned long addr, void* header);
  int SetRetryTable(void* buf);

  // Plain sector access in the form the device needs (0 success, 1 failure).
  int ReadLBA(unsigned long lba, unsigned long count, void* buf);
  int WriteLBA(unsigned long lba, unsigned long count, void* buf);
};

#endif  // QEL_LIBRARY_QC3100_H_
