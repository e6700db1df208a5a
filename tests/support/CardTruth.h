// The independent truth of the tests: what a run of the tool was meant to
// leave on a virtual card, computed from the card folder as it was before the
// run and the image set's ISP image, and the checks of a card folder against
// it. It is written from the image layout and the personalisation rules
// alone and shares no code with the tool or the card model except the
// SHA-256 engine, so a fault in either cannot hide itself by agreeing with a
// copy of itself.
#ifndef QEL_TESTS_SUPPORT_CARDTRUTH_H_
#define QEL_TESTS_SUPPORT_CARDTRUTH_H_

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

namespace cardtruth {

using Bytes = std::vector<uint8_t>;

// A card folder as the checks read it (see VirtualCard/README.md).
struct Card {
  std::map<std::string, std::string> conf;  // card.conf, key to value
  Bytes idTable;                            // idtable.bin: the running firmware's ID table
  Bytes copy[2];                            // isp1.bin, isp2.bin: section bodies, empty when blank
};

// Reads dir's card.conf, idtable.bin and ISP copies. "" or why not.
std::string LoadCard(const std::string& dir, Card* card);

// What a successful run leaves on the card.
struct Truth {
  Bytes image;  // the image the run meant to write, its section digests refreshed
  Bytes copy;   // what each ISP copy must hold: the image's section bodies
};

// The truth of the tool's command words (those after the device node) run
// on the card `before` with the set's ISP image. "" or why there is none
// (a command that writes no firmware, an image too short to personalise).
std::string ComputeTruth(const Card& before, const Bytes& image, const std::vector<std::string>& words,
                         Truth* truth);

// The checks of card folder cardDir after a run on a copy of beforeDir. Each
// returns "" when the card is right, else the first field that is not, with
// both values.
//
// Passed: the card runs its ISP firmware with the truth's identity and ID
// table, both copies equal the truth's, every user sector as before.
std::string CheckPassed(const std::string& cardDir, const std::string& beforeDir, const Truth& truth);
// Untouched: identity, ID table, both copies and every user sector as before.
std::string CheckUntouched(const std::string& cardDir, const std::string& beforeDir);
// Failed after the firmware was rewritten: the running identity is the old
// or the new one, each copy is the old or the new one, user sectors as before.
std::string CheckFailedLate(const std::string& cardDir, const std::string& beforeDir, const Truth& truth);

}  // namespace cardtruth

#endif  // QEL_TESTS_SUPPORT_CARDTRUTH_H_
