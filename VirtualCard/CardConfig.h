// Settings and remembered state of one virtual card: what "qelvcard create"
// and "set" choose, and what the card keeps between commands. Stored as
// key=value lines in DIR/card.conf; the keys are the option names.
#ifndef QEL_VIRTUALCARD_CARDCONFIG_H_
#define QEL_VIRTUALCARD_CARDCONFIG_H_

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

namespace vcard {

// Program running on the controller; the value is the ISPMode byte that the
// flash ID table reports.
enum Program : uint8_t { kBootRom = 0, kMpIsp = 1, kIspFirmware = 2, kShim = 3 };

// How the command chosen by --fail-cmd fails.
enum FailHow { kFailError, kFailGarbage, kFailShort };

struct Geometry {
  uint8_t flashId[8] = {0x2C, 0x88, 0x44, 0x4B, 0xA9, 0x00, 0x00, 0x00};
  int dies = 4;             // fitted dies, filled channel first: die k is CE k/4, channel k%4
  int planes = 4;           // 1, 2 or 4
  int sectorsPerPage = 64;  // 8, 16, 32 or 64
  int pagesPerBlock = 512;  // 64, 128, 192, 256, 258 or 512
  int blocks = 1024;        // blocks per die
  bool l06b = true;         // flash type "L06B" (else "B0KB")
  int dramCode = 1;
};

struct Faults {
  uint64_t failCmd = 0;  // 1-based command number within one handle; 0 = off
  FailHow failHow = kFailError;
  int failOp = -1;  // vendor sub-opcode whose command block is refused; -1 = off
  bool shimBroken = false;
  bool mpispBroken = false;
  int pretestCode = 0;
  bool neverReady = false;
  bool copiesDiffer = false;
  std::vector<std::pair<int, uint16_t>> identify;  // IDENTIFY word overrides, in order
  std::vector<int> dmCodes;  // completion codes for successive DOWNLOAD MICROCODE commands
  bool noDma = false;
  bool lba0Unreadable = false;
  bool lba0Unwritable = false;
  bool fixedSense = false;
  bool dmTakesIdentity = false;  // applied microcode replaces serial, model and WWN
  // How the bridge in front of the card answers (a SAT bridge's own habits).
  bool fixedSenseLinux61 = false;  // fixed sense, registers at bytes 8-11
  uint64_t busyEvery = 0;          // every Nth command answered BUSY, not carried out
  uint32_t maxTransfer = 0;        // data beyond this many bytes is cut, the residue reported
  bool noCkCond = false;           // CK_COND ignored: GOOD and no registers
  // The process holding the card is killed (SIGKILL) right after the card
  // has carried out this command (counted as failCmd); with powerCutAt the
  // card also loses power. 0 = off.
  uint64_t killAt = 0;
  uint64_t powerCutAt = 0;
};

struct CardConfig {
  bool scsi = false;  // attached as a plain SCSI disk instead of SATA behind SAT
  std::string chipId = "QC3300";
  Geometry geo;
  uint64_t capacity = 2097152;
  Faults faults;
  // Remembered between commands.
  Program program = kIspFirmware;
  bool ready = true;         // the ISP firmware's ready bit
  bool pretestDone = false;  // the MP-ISP loader has run its pretest
};

// Identity changes requested by --serial, --model, --fwrev (empty = keep).
struct IdentityEdit {
  std::string serial, model, fwrev;
  bool any() const { return !serial.empty() || !model.empty() || !fwrev.empty(); }
};

// Applies command-line options (argv-style, "--name" or "--name value") in
// order. false with a one-line reason on an unknown option or a bad value.
bool ApplyOptions(const std::vector<std::string>& args, CardConfig* cfg, IdentityEdit* id,
                  std::string* err);

// Checks the combination of settings (geometry fits its tables, capacity
// holds the vendor sectors). false with a one-line reason.
bool ValidateConfig(const CardConfig& cfg, std::string* err);

// card.conf text and back. ParseConfig starts from defaults.
std::string FormatConfig(const CardConfig& cfg);
bool ParseConfig(const std::string& text, CardConfig* cfg, std::string* err);

// Human-readable names used by "show" and the journal.
const char* ProgramName(Program p);
std::string FaultSummary(const Faults& f);  // "none" or a list

}  // namespace vcard

#endif  // QEL_VIRTUALCARD_CARDCONFIG_H_
