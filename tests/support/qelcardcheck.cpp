// qelcardcheck: judges a virtual card folder after a run of the tool against
// what the run was meant to leave (see CardTruth.h), for the sweeps and the
// kernel lane.
//
//   qelcardcheck passed CARD BEFORE IMAGE WORD...     the run exited 0
//   qelcardcheck failed CARD BEFORE IMAGE WORD...     it failed after rewriting the firmware
//   qelcardcheck untouched CARD BEFORE                it failed before touching the card
//
// CARD is the card folder after the run, BEFORE a copy of it from before the
// run, IMAGE the image set's ISP image, WORD... the tool's words after the
// device node. Exit 0 when the card is right; 1, with one line naming the
// first wrong field and both values, when not; 2 on bad use or when there is
// no truth for the command.
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "CardTruth.h"

namespace {

int Usage() {
  fprintf(stderr,
          "usage: qelcardcheck passed|failed CARD BEFORE IMAGE WORD...\n"
          "       qelcardcheck untouched CARD BEFORE\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return Usage();
  std::string how = argv[1], card = argv[2], before = argv[3], verdict;
  if (how == "untouched" && argc == 4) {
    verdict = cardtruth::CheckUntouched(card, before);
  } else if ((how == "passed" || how == "failed") && argc >= 6) {
    std::ifstream in(argv[4], std::ios::binary);
    cardtruth::Bytes image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    cardtruth::Card pristine;
    cardtruth::Truth truth;
    std::string why = cardtruth::LoadCard(before, &pristine);
    if (why.empty()) why = cardtruth::ComputeTruth(pristine, image, {argv + 5, argv + argc}, &truth);
    if (!why.empty()) {
      fprintf(stderr, "qelcardcheck: no truth: %s\n", why.c_str());
      return 2;
    }
    verdict = how == "passed" ? cardtruth::CheckPassed(card, before, truth)
                              : cardtruth::CheckFailedLate(card, before, truth);
  } else {
    return Usage();
  }
  if (verdict.empty()) return 0;
  printf("%s\n", verdict.c_str());
  return 1;
}
