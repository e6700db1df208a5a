#include "FuzzCard.h"

// Names are the folder names under corpus/ and regressions/.
const FuzzTarget kFuzzTargets[] = {
    {"ini", FuzzIni},
    {"flashid", FuzzFlashId},
    {"isp_file", FuzzIspFile},
    {"personalize", FuzzPersonalize},
    {"verify_isp", FuzzVerifyIsp},
    {"card_mode", FuzzCardMode},
    {"microcode", FuzzMicrocode},
};
const size_t kFuzzTargetCount = sizeof kFuzzTargets / sizeof kFuzzTargets[0];
