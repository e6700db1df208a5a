// libFuzzer's entry for one target; QEL_FUZZ_ENTRY names its function.
#include "FuzzCard.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return QEL_FUZZ_ENTRY(data, size);
}
