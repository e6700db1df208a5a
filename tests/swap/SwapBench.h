// A working folder with one virtual card at /dev/sdb for the swap/update and
// download-microcode runs: the card's setup, the tool's runs, and what the
// card shows afterwards (identity, ISP copies, user sectors, journal).
#ifndef QEL_TESTS_SWAP_SWAPBENCH_H_
#define QEL_TESTS_SWAP_SWAPBENCH_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "E2E.h"

namespace swaptest {

const char kNode[] = "/dev/sdb";
const char kCardVersion[] = "Q1117A00";  // what a fresh card's ISP copies hold
const char kPassBanner[] = "\nTotal Process finished,the result is Pass";
const char kFailBanner[] =
    "\nTotal Process finished,the result is failed\nErrorCode: 0001"
    "\n*******************************************\n";

struct Identity {
  std::string serial, model, firmware;
};

// One DOWNLOAD MICROCODE command as the card journaled it.
struct DownloadCommand {
  int opcode;  // 0x92 or 0x93
  int sub;
  int blocks;
  int offset;
  bool ok;
};

class Bench {
 public:
  // A fresh card (small capacity, distinct user data in its first sectors)
  // created with `cardArgs` in a new working folder; removed afterwards.
  explicit Bench(const std::vector<std::string>& cardArgs = {});
  ~Bench();
  Bench(const Bench&) = delete;
  Bench& operator=(const Bench&) = delete;

  bool ok() const { return ok_; }
  const std::string& work() const { return work_; }
  const std::string& card() const { return card_; }
  std::string Path(const std::string& name) const { return work_ + "/" + name; }
  std::string SetFile(const std::string& name) const { return Path("REGBIN/3300/" + name); }

  // "qelvcard imageset" for this card into the working folder.
  bool ImageSet(const std::vector<std::string>& args);
  // The tool on this card: qeltool /dev/sdb ARGS...
  e2e::RunResult Tool(const std::vector<std::string>& args);
  // Identity as "showIDinfo" prints it.
  Identity ShowIdentity();
  // The versions "qelvcard show" reports for ISP copies 1 and 2.
  std::string IspCopies();
  // A digest of every user sector.
  uint64_t SectorsDigest() const;
  // Journal text written since the last call.
  std::string TakeJournal();

 private:
  std::string work_, card_;
  size_t journalSeen_ = 0;
  bool ok_ = false;
};

std::vector<DownloadCommand> DownloadCommands(const std::string& journal);
bool Contains(const std::string& text, const std::string& part);
size_t Count(const std::string& text, const std::string& part);

}  // namespace swaptest

#endif  // QEL_TESTS_SWAP_SWAPBENCH_H_
