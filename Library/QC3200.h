// QC3200: adds the DRAM-setting variants of the load and jump commands.
#ifndef QEL_LIBRARY_QC3200_H_
#define QEL_LIBRARY_QC3200_H_

#include "QC3100.h"

class QC3200 : public QC3100 {
 public:
  QC3200();
  ~QC3200();

  int WriteDRAMSetData(unsigned long addr, void* buf, int len, unsigned char s1, unsigned char s2,
                       unsigned char s3);
  int JumpDRAMSetCode(unsigned long addr, unsigned char s1, unsigned char s2, unsigned char s3);
};

#endif  // QEL_LIBRARY_QC3200_H_
