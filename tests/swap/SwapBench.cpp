#include "SwapBench.h"

#include <ftw.h>
#include <stdio.h>

#include <fstream>

namespace swaptest {

namespace {

enum { kSeededSectors = 8, kSectorSize = 512 };

std::string Field(const std::string& text, const std::string& label) {
  size_t at = text.rfind(label);
  if (at == std::string::npos) return "";
  at += label.size();
  return text.substr(at, text.find('\n', at) - at);
}

}  // namespace

Bench::Bench(const std::vector<std::string>& cardArgs) {
  work_ = e2e::MakeTempDir("swap");
  card_ = work_ + "/card";
  std::vector<std::string> args = {"--capacity", "65536"};
  args.insert(args.end(), cardArgs.begin(), cardArgs.end());
  if (work_.empty() || e2e::CreateCard(card_, args).status != 0) return;

  // Recognisable user data, so that a stray write shows in the digest.
  std::fstream sectors(card_ + "/sectors.img", std::ios::in | std::ios::out | std::ios::binary);
  std::string seed(kSeededSectors * kSectorSize, '\0');
  for (size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<char>(i * 31 + i / 512);
  sectors.write(seed.data(), seed.size());
  ok_ = sectors.good();
}

Bench::~Bench() {
  if (work_.empty()) return;
  auto removeEntry = [](const char* path, const struct stat*, int, struct FTW*) {
    return remove(path);
  };
  nftw(work_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

bool Bench::ImageSet(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {e2e::VCardPath(), "imageset", card_, work_};
  argv.insert(argv.end(), args.begin(), args.end());
  return e2e::Run(work_, argv).status == 0;
}

e2e::RunResult Bench::Tool(const std::vector<std::string>& args) {
  std::vector<std::string> toolArgs = {kNode};
  toolArgs.insert(toolArgs.end(), args.begin(), args.end());
  return e2e::RunTool(work_, {{kNode, card_}}, toolArgs);
}

Identity Bench::ShowIdentity() {
  const std::string out = Tool({"showIDinfo"}).out;
  return {Field(out, "  Serial Number    : "), Field(out, "  Model Name       : "),
          Field(out, "  Firmware Version : ")};
}

std::string Bench::IspCopies() {
  return Field(e2e::Run(work_, {e2e::VCardPath(), "show", card_}).out, "ISP copies : ");
}

uint64_t Bench::SectorsDigest() const {
  std::ifstream in(card_ + "/sectors.img", std::ios::binary);
  uint64_t hash = 1469598103934665603ull;
  char chunk[65536];
  while (in.read(chunk, sizeof(chunk)) || in.gcount() > 0) {
    for (std::streamsize i = 0; i < in.gcount(); ++i) {
      hash = (hash ^ static_cast<unsigned char>(chunk[i])) * 1099511628211ull;
    }
  }
  return hash;
}

std::string Bench::TakeJournal() {
  std::string all = e2e::ReadFile(card_ + "/journal.log");
  std::string fresh = all.substr(std::min(journalSeen_, all.size()));
  journalSeen_ = all.size();
  return fresh;
}

std::vector<DownloadCommand> DownloadCommands(const std::string& journal) {
  std::vector<DownloadCommand> commands;
  size_t start = 0;
  while (start < journal.size()) {
    size_t end = journal.find('\n', start);
    if (end == std::string::npos) end = journal.size();
    const std::string line = journal.substr(start, end - start);
    start = end + 1;

    DownloadCommand c = {};
    size_t note = line.find("DM sub=");
    size_t result = line.rfind(" -> ");
    if (note == std::string::npos || result == std::string::npos) continue;
    unsigned sub = 0;
    if (sscanf(line.c_str() + note, "DM sub=0x%x blocks=%d offset=%d", &sub, &c.blocks,
               &c.offset) != 3) {
      continue;
    }
    c.sub = static_cast<int>(sub);
    c.opcode = Contains(line, "cmd=0x93") ? 0x93 : 0x92;
    c.ok = line.compare(result + 4, 2, "ok") == 0;
    commands.push_back(c);
  }
  return commands;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

}  // namespace swaptest
