// qelvcard: makes, changes and shows virtual QC3300 cards, writes image sets
// that match a card, and runs a program with device nodes mapped to cards.
#include <elf.h>
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "Card.h"
#include "FlashLayout.h"

namespace {

using namespace vcard;

const char kUsage[] =
    "usage: qelvcard create DIR [options]\n"
    "       qelvcard set DIR [options]\n"
    "       qelvcard show DIR\n"
    "       qelvcard imageset DIR OUT [options]\n"
    "       qelvcard run --card NODE=DIR [--card NODE=DIR ...] -- COMMAND [ARGS...]\n"
    "See VirtualCard/README.md for the options.\n";

int Fail(int status, const std::string& message) {
  fprintf(stderr, "qelvcard: %s\n", message.c_str());
  return status;
}

int Usage() {
  fputs(kUsage, stderr);
  return 2;
}

bool IsCardDir(const std::string& dir) {
  struct stat st;
  return stat((dir + "/card.conf").c_str(), &st) == 0;
}

// --- create / set / show ---

int Create(const std::string& dir, const std::vector<std::string>& options) {
  CardConfig cfg;
  IdentityEdit identity;
  std::string err;
  if (!ApplyOptions(options, &cfg, &identity, &err) || !ValidateConfig(cfg, &err)) return Fail(2, err);
  // A card made in its ISP firmware carries a firmware of the default size.
  if (cfg.program == kIspFirmware && IspCopyCapacity(cfg.geo) < ImageContent().size - kStrippedBytes) {
    return Fail(2, "the geometry's ISP block is too small for a firmware (use --mode rom or a larger block)");
  }
  if (!CreateCard(dir, cfg, identity, &err)) return Fail(1, err);
  return 0;
}

int Set(const std::string& dir, const std::vector<std::string>& options) {
  std::string err;
  int status = UpdateCard(dir, options, &err);
  return status == 0 ? 0 : Fail(status, err);
}

std::string CopyVersion(const VCard& card, int copy) {
  std::vector<uint8_t> data;
  if (!ReadCopy(&card, copy, &data)) return "(unreadable)";
  if (data.empty()) return "(blank)";
  if (data.size() < kCopyVersion + 8) return "(too short)";
  return GetVersion(data.data() + kCopyVersion);
}

int Show(const std::string& dir) {
  VCard card;
  card.dir = dir;
  std::string err;
  if (!LoadCardState(&card, &err)) return Fail(1, err);
  const CardConfig& c = card.cfg;
  const Geometry& g = c.geo;
  uint8_t id[kIdTableSize];
  IdentifyData(&card, id);
  char flashId[20];
  snprintf(flashId, sizeof(flashId), "%02X%02X%02X%02X%02X%02X%02X%02X", g.flashId[0], g.flashId[1],
           g.flashId[2], g.flashId[3], g.flashId[4], g.flashId[5], g.flashId[6], g.flashId[7]);
  printf("card       : %s\n", dir.c_str());
  printf("mode       : %s (ISPMode %d)%s%s\n", ProgramName(c.program), c.program,
         c.program == kIspFirmware ? (c.ready ? ", ready" : ", not ready") : "",
         c.program == kMpIsp && c.pretestDone ? ", pretest done" : "");
  printf("attach     : %s\n", c.scsi ? "scsi" : "ata");
  printf("chip id    : %s\n", c.chipId.c_str());
  printf("serial     : %s\n", GetAtaString(id + kIdSerial, kIdSerialLen).c_str());
  printf("model      : %s\n", GetAtaString(id + kIdModel, kIdModelLen).c_str());
  printf("firmware   : %s\n", GetAtaString(id + kIdFwRev, kIdFwRevLen).c_str());
  printf("wwn        : %04x%04x%04x%04x\n", id[216] | id[217] << 8, id[218] | id[219] << 8, id[220] | id[221] << 8,
         id[222] | id[223] << 8);
  printf("ISP copies : %s / %s\n", CopyVersion(card, 1).c_str(), CopyVersion(card, 2).c_str());
  printf("microcode  : %s\n", access((dir + "/dm-saved.bin").c_str(), F_OK) == 0
                                   ? "saved by DOWNLOAD MICROCODE 0Eh, activated at the next open"
                                   : "none saved");
  printf("capacity   : %llu sectors\n", static_cast<unsigned long long>(c.capacity));
  printf("geometry   : flash id %s, %d dies, %d planes, %d sectors/page, %d pages/block, %d blocks/die, %s, "
         "DRAM code %d\n",
         flashId, g.dies, g.planes, g.sectorsPerPage, g.pagesPerBlock, g.blocks, g.l06b ? "L06B" : "B0KB",
         g.dramCode);
  printf("blocks     : system %d, ISP copy 1 %d, ISP copy 2 %d (ISP block holds %zu bytes)\n",
         BlockNumber(g, SystemBlock(g)), BlockNumber(g, IspCopyBlock(g, 1)), BlockNumber(g, IspCopyBlock(g, 2)),
         IspCopyCapacity(g));
  printf("faults     : %s\n", FaultSummary(c.faults).c_str());
  return 0;
}

// --- imageset ---

struct ImageSetOptions {
  std::string set;
  ImageContent content;
  std::string flashIdForm = "table";
  bool mismatch = false;
  bool fwVerDb = true;
  std::vector<std::pair<std::string, std::string>> allows;
};

bool PrintableUpTo(const std::string& v, size_t maxLen) {
  if (v.empty() || v.size() > maxLen) return false;
  for (unsigned char ch : v) {
    if (ch < 0x21 || ch > 0x7E) return false;
  }
  return true;
}

bool ParseImageSetOptions(const std::vector<std::string>& args, ImageSetOptions* o, std::string* err) {
  o->content.serial = "IMG3300000001";
  o->content.model = "QEL QC3300 Image SSD";
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--flashid-mismatch") {
      o->mismatch = true;
      continue;
    }
    if (a == "--no-fwverdb") {
      o->fwVerDb = false;
      continue;
    }
    if (i + 1 >= args.size()) {
      *err = a.compare(0, 2, "--") == 0 ? "option " + a + " needs a value" : "unknown argument: " + a;
      return false;
    }
    const std::string& v = args[++i];
    bool ok = true;
    if (a == "--set") {
      ok = PrintableUpTo(v, 64) && v.find('/') == std::string::npos && v != "." && v != "..";
      o->set = v;
    } else if (a == "--fw-version") {
      ok = PrintableUpTo(v, 8);
      o->content.version = v;
    } else if (a == "--image-size") {
      char* end = nullptr;
      unsigned long long n = strtoull(v.c_str(), &end, 10);
      ok = !v.empty() && *end == '\0' && n >= kMinImageSize && n <= (256ULL << 20);
      o->content.size = static_cast<size_t>(n);
    } else if (a == "--serial") {
      ok = !v.empty() && v.size() <= 20;
      o->content.serial = v;
    } else if (a == "--model") {
      ok = !v.empty() && v.size() <= 40;
      o->content.model = v;
    } else if (a == "--flashid-form") {
      ok = v == "table" || v == "5" || v == "6";
      o->flashIdForm = v;
    } else if (a == "--allow") {
      size_t colon = v.find(':');
      ok = colon != std::string::npos && PrintableUpTo(v.substr(0, colon), 8) &&
           PrintableUpTo(v.substr(colon + 1), 8);
      if (ok) o->allows.emplace_back(v.substr(0, colon), v.substr(colon + 1));
    } else {
      *err = "unknown option: " + a;
      return false;
    }
    if (!ok) {
      *err = "bad value for " + a + ": " + v;
      return false;
    }
  }
  return true;
}

// The version database: for every card version, the image versions that may
// replace it, in both the swap and the update tables. The table sections
// come first: section names match by prefix when the file is read.
std::string FwVerDb(const std::vector<std::pair<std::string, std::string>>& allows) {
  std::vector<std::string> from;
  for (const auto& a : allows) {
    bool seen = false;
    for (const std::string& f : from) seen = seen || f == a.first;
    if (!seen) from.push_back(a.first);
  }
  std::string out;
  for (const char* kind : {"SWAP", "UPDATE"}) {
    out += std::string("[") + kind + "_FWTable]\n";
    for (size_t i = 0; i < from.size(); ++i) out += "FWVer_" + std::to_string(i + 1) + "=" + from[i] + "\n";
    out += "\n";
  }
  for (const char* kind : {"SWAP", "UPDATE"}) {
    for (const std::string& f : from) {
      out += std::string("[") + kind + "_" + f + "]\n";
      int n = 0;
      for (const auto& a : allows) {
        if (a.first == f) out += "FWSupportVer_" + std::to_string(++n) + "=" + a.second + "\n";
      }
      out += "\n";
    }
  }
  return out;
}

int ImageSet(const std::string& dir, const std::string& outDir, const std::vector<std::string>& args) {
  ImageSetOptions o;
  std::string err;
  if (!ParseImageSetOptions(args, &o, &err)) return Fail(2, err);
  VCard card;
  card.dir = dir;
  if (!LoadCardState(&card, &err)) return Fail(1, err);
  CardConfig cfg = card.cfg;
  o.content.capacity = cfg.capacity;

  std::string setDir = outDir + "/REGBIN/3300" + (o.set.empty() ? "" : "/" + o.set);
  if (!MakeDirs(setDir)) return Fail(1, "cannot make " + setDir + ": " + strerror(errno));

  // FLASHID.bin comes from the very table the card answers, as the ISP
  // firmware reports it.
  if (o.mismatch) cfg.geo.flashId[1] ^= 0xFF;
  cfg.program = kIspFirmware;
  cfg.ready = true;
  std::vector<uint8_t> flashId(kFlashIdTableSize);
  BuildFlashIdTable(cfg, 0, flashId.data());
  if (o.flashIdForm != "table") flashId.assign(cfg.geo.flashId, cfg.geo.flashId + (o.flashIdForm == "5" ? 5 : 6));

  // Without --allow, the database lets this image replace the card's firmware.
  if (o.allows.empty()) {
    std::string cardVersion = CopyVersion(card, 1);
    if (cardVersion[0] == '(') {
      uint8_t id[kIdTableSize];
      IdentifyData(&card, id);
      cardVersion = GetAtaString(id + kIdFwRev, kIdFwRevLen);
    }
    o.allows.emplace_back(cardVersion, o.content.version);
  }

  struct Output {
    const char* name;
    std::vector<uint8_t> data;
  };
  std::string db = FwVerDb(o.allows);
  std::vector<Output> outputs = {
      {"ISP3300.bin", BuildIspImage(o.content)},
      {"MP3300.bin", BuildLoader("QEL MP-ISP LOADER", 0x18200)},
      {"Shim3300.bin", BuildLoader("QEL SHIM LOADER", 0x3000)},
      {"FLASHID.bin", flashId},
  };
  if (o.fwVerDb) outputs.push_back({"FWVerDB.ini", std::vector<uint8_t>(db.begin(), db.end())});
  for (const Output& out : outputs) {
    std::string path = setDir + "/" + out.name;
    if (!WriteFileAtomic(path, out.data.data(), out.data.size())) {
      return Fail(1, "cannot write " + path + ": " + strerror(errno));
    }
  }
  printf("%s\n", setDir.c_str());
  return 0;
}

// --- run ---

// DT_NEEDED names of an ELF file (empty when it is not a readable ELF64).
std::vector<std::string> NeededLibraries(const std::string& path) {
  std::vector<std::string> names;
  std::vector<uint8_t> f;
  if (!ReadWholeFile(path, &f) || f.size() < sizeof(Elf64_Ehdr) || memcmp(f.data(), ELFMAG, SELFMAG) != 0 ||
      f[EI_CLASS] != ELFCLASS64) {
    return names;
  }
  Elf64_Ehdr eh;
  memcpy(&eh, f.data(), sizeof(eh));
  if (eh.e_shentsize != sizeof(Elf64_Shdr) || eh.e_shoff > f.size() ||
      eh.e_shnum > (f.size() - eh.e_shoff) / sizeof(Elf64_Shdr)) {
    return names;
  }
  auto section = [&](size_t i) {
    Elf64_Shdr sh;
    memcpy(&sh, f.data() + eh.e_shoff + i * sizeof(Elf64_Shdr), sizeof(sh));
    return sh;
  };
  for (size_t i = 0; i < eh.e_shnum; ++i) {
    Elf64_Shdr dyn = section(i);
    if (dyn.sh_type != SHT_DYNAMIC || dyn.sh_link >= eh.e_shnum) continue;
    Elf64_Shdr str = section(dyn.sh_link);
    if (dyn.sh_offset > f.size() || dyn.sh_size > f.size() - dyn.sh_offset || str.sh_offset > f.size() ||
        str.sh_size > f.size() - str.sh_offset) {
      break;
    }
    for (size_t off = 0; off + sizeof(Elf64_Dyn) <= dyn.sh_size; off += sizeof(Elf64_Dyn)) {
      Elf64_Dyn d;
      memcpy(&d, f.data() + dyn.sh_offset + off, sizeof(d));
      if (d.d_tag == DT_NULL) break;
      if (d.d_tag != DT_NEEDED || d.d_un.d_val >= str.sh_size) continue;
      const char* s = reinterpret_cast<const char*>(f.data() + str.sh_offset + d.d_un.d_val);
      names.emplace_back(s, strnlen(s, str.sh_size - d.d_un.d_val));
    }
  }
  return names;
}

// The program execvp would run for name.
std::string FindProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t colon = dirs.find(':', start);
    if (colon == std::string::npos) colon = dirs.size();
    std::string candidate = (colon > start ? dirs.substr(start, colon - start) : ".") + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = colon + 1;
  }
  return name;
}

std::string PreloadLibrary() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n > 0) {
    self[n] = '\0';
    std::string dir(self);
    dir.erase(dir.rfind('/'));
    std::string next = dir + "/libqelvcard_preload.so";
    if (access(next.c_str(), R_OK) == 0) return next;
  }
  return QEL_VCARD_PRELOAD;
}

int Run(const std::vector<std::string>& args) {
  std::string map;
  size_t i = 0;
  for (; i < args.size() && args[i] != "--"; i += 2) {
    if (args[i] != "--card" || i + 1 >= args.size()) return Usage();
    const std::string& content = args[i + 1];
    size_t eq = content.find('=');
    if (eq == std::string::npos || eq == 0 || content.find(',') != std::string::npos) {
      return Fail(2, "bad --card value (NODE=DIR expected): " + content);
    }
    std::string dir = content.substr(eq + 1);
    char resolved[PATH_MAX];
    if (!IsCardDir(dir) || realpath(dir.c_str(), resolved) == nullptr) {
      return Fail(2, "not a card folder: " + dir);
    }
    map += (map.empty() ? "" : ",") + content.substr(0, eq) + "=" + resolved;
  }
  if (i + 1 >= args.size()) return Usage();
  std::vector<char*> argv;
  for (size_t k = i + 1; k < args.size(); ++k) argv.push_back(const_cast<char*>(args[k].c_str()));
  argv.push_back(nullptr);

  // A program built with AddressSanitizer needs its runtime first in the
  // preload list; the card library then follows it.
  std::string preload;
  const char* old = getenv("LD_PRELOAD");
  std::string oldList = old ? old : "";
  for (const std::string& lib : NeededLibraries(FindProgram(argv[0]))) {
    if (lib.compare(0, 9, "libasan.s") == 0 && oldList.find("libasan") == std::string::npos) preload = lib + ":";
  }
  if (!oldList.empty()) preload += oldList + ":";
  preload += PreloadLibrary();

  signal(SIGINT, SIG_IGN);
  signal(SIGQUIT, SIG_IGN);
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) return Fail(1, std::string("fork: ") + strerror(errno));
  if (pid == 0) {
    signal(SIGINT, SIG_DFL);
    signal(SIGQUIT, SIG_DFL);
    setenv("QEL_VCARD", map.c_str(), 1);
    setenv("LD_PRELOAD", preload.c_str(), 1);
    execvp(argv[0], argv.data());
    fprintf(stderr, "qelvcard: cannot run %s: %s\n", argv[0], strerror(errno));
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return Fail(1, std::string("waitpid: ") + strerror(errno));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage();
  std::string cmd = args[0];
  if (cmd == "run") return Run(std::vector<std::string>(args.begin() + 1, args.end()));
  if (args.size() < 2) return Usage();
  const std::string& dir = args[1];
  std::vector<std::string> rest(args.begin() + 2, args.end());
  if (cmd == "create") return Create(dir, rest);
  if (cmd == "set") return Set(dir, rest);
  if (cmd == "show") return rest.empty() ? Show(dir) : Usage();
  if (cmd == "imageset") {
    if (rest.empty()) return Usage();
    return ImageSet(dir, rest[0], std::vector<std::string>(rest.begin() + 1, rest.end()));
  }
  return Usage();
}
