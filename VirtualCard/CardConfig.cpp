#include "CardConfig.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace vcard {

namespace {

struct Target {
  CardConfig* cfg;
  IdentityEdit* id;
};

// Unsigned number in decimal or with a 0x prefix, within [lo, hi].
bool ParseNumber(const std::string& v, uint64_t lo, uint64_t hi, uint64_t* out) {
  if (v.empty() || v[0] == '-' || v[0] == '+' || v[0] == ' ') return false;
  int base = (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) ? 16 : 10;
  char* end = nullptr;
  unsigned long long n = strtoull(v.c_str(), &end, base);
  if (end == nullptr || *end != '\0' || n < lo || n > hi) return false;
  *out = n;
  return true;
}

bool ParseInt(const std::string& v, int lo, int hi, int* out) {
  uint64_t n;
  if (!ParseNumber(v, lo, hi, &n)) return false;
  *out = static_cast<int>(n);
  return true;
}

bool ParseBool(const std::string& v, bool* out) {
  if (v == "1") *out = true;
  else if (v == "0") *out = false;
  else return false;
  return true;
}

bool ParseOneOf(const std::string& v, std::initializer_list<int> allowed, int* out) {
  int n;
  if (!ParseInt(v, 0, 1 << 20, &n)) return false;
  for (int a : allowed) {
    if (a == n) {
      *out = n;
      return true;
    }
  }
  return false;
}

bool ParseText(const std::string& v, size_t maxLen, std::string* out) {
  if (v.empty() || v.size() > maxLen) return false;
  for (unsigned char c : v) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  *out = v;
  return true;
}

bool ParseHexByte(const std::string& v, int* out) {
  if (v.empty() || v.size() > 2) return false;
  char* end = nullptr;
  long n = strtol(v.c_str(), &end, 16);
  if (*end != '\0' || n < 0) return false;
  *out = static_cast<int>(n);
  return true;
}

bool ParseFlashId(const std::string& v, uint8_t id[8]) {
  if (v.size() != 16) return false;
  for (int i = 0; i < 8; ++i) {
    int b;
    if (!ParseHexByte(v.substr(2 * i, 2), &b)) return false;
    id[i] = static_cast<uint8_t>(b);
  }
  return true;
}

bool ParseProgram(const std::string& v, Program* p) {
  static const struct { const char* name; Program program; } kNames[] = {
      {"rom", kBootRom}, {"shim", kShim}, {"mpisp", kMpIsp}, {"isp", kIspFirmware}};
  for (const auto& n : kNames) {
    if (v == n.name) {
      *p = n.program;
      return true;
    }
  }
  return false;
}

std::string Num(uint64_t n) { return std::to_string(n); }
std::string Flag(bool b) { return b ? "1" : "0"; }

std::string Hex2(int n) {
  char buf[8];
  snprintf(buf, sizeof(buf), "%02X", n & 0xFF);
  return buf;
}

// One setting: its option/key name, whether it is a value-less flag on the
// command line, whether the command line accepts it, how to apply one value
// and how to write it back (one conf line per returned value).
struct Setting {
  const char* name;
  bool flag;
  bool option;
  bool (*apply)(const std::string& v, Target t);
  std::vector<std::string> (*format)(const CardConfig& c);
};

#define CFG(expr) [](const CardConfig& c) -> std::vector<std::string> { return {expr}; }

const Setting kSettings[] = {
    {"mode", false, true,
     [](const std::string& v, Target t) {
       if (!ParseProgram(v, &t.cfg->program)) return false;
       t.cfg->ready = true;
       t.cfg->pretestDone = false;
       return true;
     },
     CFG(ProgramName(c.program))},
    {"ready", false, false, [](const std::string& v, Target t) { return ParseBool(v, &t.cfg->ready); },
     CFG(Flag(c.ready))},
    {"pretest-done", false, false,
     [](const std::string& v, Target t) { return ParseBool(v, &t.cfg->pretestDone); },
     CFG(Flag(c.pretestDone))},
    {"attach", false, true,
     [](const std::string& v, Target t) {
       if (v != "ata" && v != "scsi") return false;
       t.cfg->scsi = (v == "scsi");
       return true;
     },
     CFG(c.scsi ? "scsi" : "ata")},
    {"serial", false, true, [](const std::string& v, Target t) { return ParseText(v, 20, &t.id->serial); },
     nullptr},
    {"model", false, true, [](const std::string& v, Target t) { return ParseText(v, 40, &t.id->model); },
     nullptr},
    {"fwrev", false, true, [](const std::string& v, Target t) { return ParseText(v, 8, &t.id->fwrev); },
     nullptr},
    {"chip-id", false, true,
     [](const std::string& v, Target t) { return ParseText(v, 64, &t.cfg->chipId); },
     CFG(c.chipId)},
    {"flash-id", false, true,
     [](const std::string& v, Target t) { return ParseFlashId(v, t.cfg->geo.flashId); },
     [](const CardConfig& c) -> std::vector<std::string> {
       std::string s;
       for (uint8_t b : c.geo.flashId) s += Hex2(b);
       return {s};
     }},
    {"dies", false, true, [](const std::string& v, Target t) { return ParseInt(v, 1, 32, &t.cfg->geo.dies); },
     CFG(Num(c.geo.dies))},
    {"planes", false, true,
     [](const std::string& v, Target t) { return ParseOneOf(v, {1, 2, 4}, &t.cfg->geo.planes); },
     CFG(Num(c.geo.planes))},
    {"sectors-per-page", false, true,
     [](const std::string& v, Target t) { return ParseOneOf(v, {8, 16, 32, 64}, &t.cfg->geo.sectorsPerPage); },
     CFG(Num(c.geo.sectorsPerPage))},
    {"pages-per-block", false, true,
     [](const std::string& v, Target t) {
       return ParseOneOf(v, {64, 128, 192, 256, 258, 512}, &t.cfg->geo.pagesPerBlock);
     },
     CFG(Num(c.geo.pagesPerBlock))},
    {"blocks", false, true,
     [](const std::string& v, Target t) { return ParseInt(v, 4, 65535, &t.cfg->geo.blocks); },
     CFG(Num(c.geo.blocks))},
    {"flash-type", false, true,
     [](const std::string& v, Target t) {
       if (v != "L06B" && v != "B0KB") return false;
       t.cfg->geo.l06b = (v == "L06B");
       return true;
     },
     CFG(c.geo.l06b ? "L06B" : "B0KB")},
    {"dram-code", false, true,
     [](const std::string& v, Target t) { return ParseInt(v, 0, 255, &t.cfg->geo.dramCode); },
     CFG(Num(c.geo.dramCode))},
    {"capacity", false, true,
     [](const std::string& v, Target t) { return ParseNumber(v, 1, 1ULL << 40, &t.cfg->capacity); },
     CFG(Num(c.capacity))},
    {"clear-faults", true, true,
     [](const std::string& v, Target t) {
       if (v == "1") t.cfg->faults = Faults();
       return v == "1";
     },
     nullptr},
    {"fail-cmd", false, true,
     [](const std::string& v, Target t) { return ParseNumber(v, 0, 1ULL << 62, &t.cfg->faults.failCmd); },
     CFG(Num(c.faults.failCmd))},
    {"fail-how", false, true,
     [](const std::string& v, Target t) {
       static const char* const kHow[] = {"error", "garbage", "short"};
       for (int i = 0; i < 3; ++i) {
         if (v == kHow[i]) {
           t.cfg->faults.failHow = static_cast<FailHow>(i);
           return true;
         }
       }
       return false;
     },
     [](const CardConfig& c) -> std::vector<std::string> {
       static const char* const kHow[] = {"error", "garbage", "short"};
       return {kHow[c.faults.failHow]};
     }},
    {"fail-op", false, true,
     [](const std::string& v, Target t) {
       if (v == "none") {
         t.cfg->faults.failOp = -1;
         return true;
       }
       return ParseHexByte(v, &t.cfg->faults.failOp);
     },
     CFG(c.faults.failOp < 0 ? std::string("none") : Hex2(c.faults.failOp))},
    {"shim-broken", true, true,
     [](const std::string& v, Target t) { return ParseBool(v, &t.cfg->faults.shimBroken); },
     CFG(Flag(c.faults.shimBroken))},
    {"mpisp-broken", true, true,
     [](const std::string& v, Target t) { return ParseBool(v, &t.cfg->faults.mpispBroken); },
     CFG(Flag(c.faults.mpispBroken))},
    {"pretest-code", false, true,
     [](const std::string& v, Target t) { return ParseInt(v, 0, 255, &t.cfg->faults.pretestCode); },
     CFG(Num(c.faults.pretestCode))},
    {"never-ready", true, true,
     [](const std::string& v, Target t) { return ParseBool(v, &t.cfg->faults.neverReady); },
     CFG(Flag(c.faults.neverReady))},
    {"copies-differ", true, true,
     [](const std::string& v, Target t) { return ParseBool(v, &t.cfg->faults.copiesDiffer); },
     CFG(Flag(c.faults.copiesDiffer))},
    {"identify", false, true,
     [](const std::string& v, Target t) {
       size_t eq = v.find('=');
       if (eq == std::string::npos) return false;
       int word;
       uint64_t value;
       if (!ParseInt(v.substr(0, eq), 0, 255, &word) || !ParseNumber(v.substr(eq + 1), 0, 0xFFFF, &value)) {
         return false;
       }
       t.cfg->faults.identify.emplace_back(word, static_cast<uint16_t>(value));
       return true;
     },
     [](const CardConfig& c) {
       std::vector<std::string> out;
       for (const auto& w : c.faults.identify) {
         char buf[32];
         snprintf(buf, sizeof(buf), "%d=0x%04X", w.first, w.second);
         out.push_back(buf);
       }
       return out;
     }},
    {"dm-codes", false, true,
     [](const std::string& v, Target t) {
       std::vector<int> codes;
       if (v != "none") {
         size_t start = 0;
         while (start <= v.size()) {
           size_t comma = v.find(',', start);
           if (comma == std::string::npos) comma = v.size();
           int code;
           if (!ParseInt(v.substr(start, comma - start), 0, 255, &code)) return false;
           codes.push_back(code);
           start = comma + 1;
         }
       }
       t.cfg->faults.dmCodes = codes;
       return true;
     },
     [](const CardConfig& c) -> std::vector<std::string> {
       std::string s;
       for (int code : c.faults.dmCodes) s += (s.empty() ? "" : ",") + Num(code);
       return {s.empty() ? "none" : s};
     }},
    {"no-dma", true, true, [](const std::string& v, Target t) { return ParseBool(v, &t.cfg->faults.noDma); },
     CFG(Flag(c.faults.noDma))},
    {"lba0-unreadable", true, true,
     [](const std::string& v, Target t) { return ParseBool(v, &t.cfg->faults.lba0Unreadable); },
     CFG(Flag(c.faults.lba0Unreadable))},
    {"lba0-unwritable", true, true,
     [](const std::string& v, Target t) { return ParseBool(v, &t.cfg->faults.lba0Unwritable); },
     CFG(Flag(c.faults.lba0Unwritable))},
    {"fixed-sense", true, true,
     [](const std::string& v, Target t) { return ParseBool(v, &t.cfg->faults.fixedSense); },
     CFG(Flag(c.faults.fixedSense))},
    {"fixed-sense-linux61", true, true,
     [](const std::string& v, Target t) { return ParseBool(v, &t.cfg->faults.fixedSenseLinux61); },
     CFG(Flag(c.faults.fixedSenseLinux61))},
    {"busy-every", false, true,
     [](const std::string& v, Target t) { return ParseNumber(v, 0, 1ULL << 62, &t.cfg->faults.busyEvery); },
     CFG(Num(c.faults.busyEvery))},
    {"max-transfer", false, true,
     [](const std::string& v, Target t) {
       uint64_t n;
       if (!ParseNumber(v, 0, 1u << 30, &n)) return false;
       t.cfg->faults.maxTransfer = static_cast<uint32_t>(n);
       return true;
     },
     CFG(Num(c.faults.maxTransfer))},
    {"no-ck-cond", true, true, [](const std::string& v, Target t) { return ParseBool(v, &t.cfg->faults.noCkCond); },
     CFG(Flag(c.faults.noCkCond))},
    {"kill-at", false, true,
     [](const std::string& v, Target t) { return ParseNumber(v, 0, 1ULL << 62, &t.cfg->faults.killAt); },
     CFG(Num(c.faults.killAt))},
    {"power-cut-at", false, true,
     [](const std::string& v, Target t) { return ParseNumber(v, 0, 1ULL << 62, &t.cfg->faults.powerCutAt); },
     CFG(Num(c.faults.powerCutAt))},
    {"dm-takes-identity", true, true,
     [](const std::string& v, Target t) { return ParseBool(v, &t.cfg->faults.dmTakesIdentity); },
     CFG(Flag(c.faults.dmTakesIdentity))},
};

#undef CFG

const Setting* FindSetting(const std::string& name) {
  for (const Setting& s : kSettings) {
    if (name == s.name) return &s;
  }
  return nullptr;
}

}  // namespace

const char* ProgramName(Program p) {
  switch (p) {
    case kBootRom: return "rom";
    case kShim: return "shim";
    case kMpIsp: return "mpisp";
    case kIspFirmware: return "isp";
  }
  return "unknown";
}

bool ApplyOptions(const std::vector<std::string>& args, CardConfig* cfg, IdentityEdit* id,
                  std::string* err) {
  Target target{cfg, id};
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const Setting* s = arg.compare(0, 2, "--") == 0 ? FindSetting(arg.substr(2)) : nullptr;
    if (s == nullptr || !s->option) {
      *err = "unknown option: " + arg;
      return false;
    }
    std::string value = "1";
    if (!s->flag) {
      if (i + 1 >= args.size()) {
        *err = "option " + arg + " needs a value";
        return false;
      }
      value = args[++i];
    }
    if (!s->apply(value, target)) {
      *err = "bad value for " + arg + ": " + value;
      return false;
    }
  }
  return true;
}

bool ValidateConfig(const CardConfig& cfg, std::string* err) {
  const Geometry& g = cfg.geo;
  bool blankId = true;
  for (uint8_t b : g.flashId) blankId = blankId && b == 0;
  if (blankId) {
    *err = "the flash ID must not be all zero (fitted dies are told by it)";
    return false;
  }
  // The ISP copies sit in block 2 (and 3 with one die); numbers are 16-bit.
  if (static_cast<uint64_t>(g.blocks) * g.dies > 0xFFFF) {
    *err = "blocks x dies must stay below 65536 (system block numbers are 16-bit)";
    return false;
  }
  if (cfg.capacity < 0x10000) {
    *err = "capacity must be at least 65536 sectors (the vendor channel uses sector 0x946B)";
    return false;
  }
  return true;
}

std::string FormatConfig(const CardConfig& cfg) {
  std::string out = "# Virtual QC3300 card: settings and remembered state (key=value)\n";
  for (const Setting& s : kSettings) {
    if (s.format == nullptr) continue;
    for (const std::string& v : s.format(cfg)) out += std::string(s.name) + "=" + v + "\n";
  }
  return out;
}

bool ParseConfig(const std::string& text, CardConfig* cfg, std::string* err) {
  *cfg = CardConfig();
  IdentityEdit ignored;
  Target target{cfg, &ignored};
  size_t pos = 0;
  int lineNo = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++lineNo;
    if (line.empty() || line[0] == '#') continue;
    size_t eq = line.find('=');
    const Setting* s = eq == std::string::npos ? nullptr : FindSetting(line.substr(0, eq));
    if (s == nullptr || s->format == nullptr || !s->apply(line.substr(eq + 1), target)) {
      *err = "card.conf line " + std::to_string(lineNo) + " is not understood: " + line;
      return false;
    }
  }
  return true;
}

std::string FaultSummary(const Faults& f) {
  static const char* const kFaultKeys[] = {
      "fail-cmd",        "fail-how",    "fail-op",             "shim-broken", "mpisp-broken",
      "pretest-code",    "never-ready", "copies-differ",       "identify",    "dm-codes",
      "no-dma",          "lba0-unreadable", "lba0-unwritable", "fixed-sense", "fixed-sense-linux61",
      "busy-every",      "max-transfer", "no-ck-cond",         "dm-takes-identity", "kill-at",
      "power-cut-at"};
  CardConfig defaults, c;
  c.faults = f;
  std::string out;
  for (const char* key : kFaultKeys) {
    const Setting* s = FindSetting(key);
    std::vector<std::string> now = s->format(c);
    if (now == s->format(defaults)) continue;
    for (const std::string& v : now) {
      out += (out.empty() ? "--" : " --") + std::string(key);
      if (!s->flag) out += " " + v;
    }
  }
  return out.empty() ? "none" : out;
}

}  // namespace vcard
