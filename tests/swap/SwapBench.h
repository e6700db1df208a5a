// A working folder with one virtual card at /dev/sdb for the swap/update and
// download-microcode runs: the card's setup, the tool's runs, and what the
// card shows afterwards (ISP copies, user sectors, journal).
#ifndef QEL_TESTS_SWAP_SWAPBENCH_H_
#define QEL_TESTS_SWAP_SWAPBENCH_H_

#include <stdio.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "E2E.h"

namespace swaptest {

using Args = std::vector<std::string>;

const char kPassBanner[] = "\nTotal Process finished,the result is Pass";
const char kFailBanner[] =
    "\nTotal Process finished,the result is failed\nErrorCode: 0001"
    "\n*******************************************\n";

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class Bench {
 public:
  // A fresh card (small capacity, distinct user data in its first sectors,
  // so that a stray write shows) in a new working folder; removed afterwards.
  explicit Bench(const Args& cardArgs = {})
      : work_(e2e::MakeTempDir("swap")), card_(work_ + "/card") {
    Args args = {"--capacity", "65536"};
    args.insert(args.end(), cardArgs.begin(), cardArgs.end());
    if (work_.empty() || e2e::CreateCard(card_, args).status != 0) return;
    std::fstream sectors(card_ + "/sectors.img", std::ios::in | std::ios::out | std::ios::binary);
    std::string seed(8 * 512, '\0');
    for (size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<char>(i * 31 + i / 512);
    ok_ = static_cast<bool>(sectors.write(seed.data(), seed.size()));
  }
  ~Bench() {
    if (!work_.empty()) e2e::RemoveTree(work_);
  }

  bool ok() const { return ok_; }
  const std::string& card() const { return card_; }
  std::string Path(const std::string& name) const { return work_ + "/" + name; }
  std::string SetFile(const std::string& name) const { return Path("REGBIN/3300/" + name); }
  std::string Sectors() const { return e2e::ReadFile(card_ + "/sectors.img"); }

  // "qelvcard imageset" for this card into the working folder.
  bool ImageSet(Args args) {
    args.insert(args.begin(), {e2e::VCardPath(), "imageset", card_, work_});
    return e2e::Run(work_, args).status == 0;
  }
  // qeltool /dev/sdb ARGS...
  e2e::RunResult Tool(Args args) {
    args.insert(args.begin(), "/dev/sdb");
    return e2e::RunTool(work_, {{"/dev/sdb", card_}}, args);
  }
  // The versions "qelvcard show" reports for ISP copies 1 and 2.
  std::string IspCopies() {
    std::string out = e2e::Run(work_, {e2e::VCardPath(), "show", card_}).out;
    size_t at = out.rfind("ISP copies : ");
    return at == std::string::npos ? "" : out.substr(at + 13, out.find('\n', at) - at - 13);
  }
  // Journal text written since the last call.
  std::string TakeJournal() {
    std::string all = e2e::ReadFile(card_ + "/journal.log");
    std::string fresh = all.substr(std::min(journalSeen_, all.size()));
    journalSeen_ = all.size();
    return fresh;
  }

 private:
  std::string work_, card_;
  size_t journalSeen_ = 0;
  bool ok_ = false;
};

// One DOWNLOAD MICROCODE command as the card journaled it.
struct DownloadCommand {
  int opcode;  // 0x92 or 0x93
  int sub, blocks, offset;
};

inline std::vector<DownloadCommand> DownloadCommands(const std::string& journal) {
  std::vector<DownloadCommand> commands;
  std::istringstream lines(journal);
  for (std::string line; std::getline(lines, line);) {
    DownloadCommand c = {Contains(line, "cmd=0x93") ? 0x93 : 0x92, 0, 0, 0};
    size_t note = line.find("DM sub=");
    if (note != std::string::npos && Contains(line, " -> ") &&
        sscanf(line.c_str() + note, "DM sub=0x%x blocks=%d offset=%d",
               reinterpret_cast<unsigned*>(&c.sub), &c.blocks, &c.offset) == 3) {
      commands.push_back(c);
    }
  }
  return commands;
}

}  // namespace swaptest

#endif  // QEL_TESTS_SWAP_SWAPBENCH_H_
