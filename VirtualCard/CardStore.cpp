// Persistence of a card folder: card.conf, the ID table, the ISP copies, the
// deferred microcode, the user sector file and the journal.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Card.h"
#include "FlashLayout.h"

namespace vcard {

namespace {

const char kConfFile[] = "card.conf";
const char kIdTableFile[] = "idtable.bin";
const char kSectorsFile[] = "sectors.img";
const char kJournalFile[] = "journal.log";
const char kDeferredFile[] = "dm-saved.bin";

const char kDefaultSerial[] = "VC3300000001";
const char kDefaultModel[] = "QEL QC3300 Virtual SSD";
const char kDefaultFwRev[] = "Q1117A00";

std::string PathIn(const std::string& dir, const std::string& name) { return dir + "/" + name; }
std::string CopyFile(int copy) { return copy == 1 ? "isp1.bin" : "isp2.bin"; }

bool WriteAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

std::string Reason(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + strerror(errno);
}

}  // namespace

bool MakeDirs(const std::string& dir) {
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    std::string part = dir.substr(0, pos);
    if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* data) {
  data->clear();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  uint8_t buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof(buf))) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return false;
    }
    data->insert(data->end(), buf, buf + n);
  }
  close(fd);
  return true;
}

bool WriteFileAtomic(const std::string& path, const void* data, size_t size) {
  std::string tmp = path + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, static_cast<const uint8_t*>(data), size);
  ok = (close(fd) == 0) && ok;
  if (ok && rename(tmp.c_str(), path.c_str()) == 0) return true;
  unlink(tmp.c_str());
  return false;
}

bool SaveConfig(VCard* card) {
  std::string text = FormatConfig(card->cfg);
  return WriteFileAtomic(PathIn(card->dir, kConfFile), text.data(), text.size());
}

bool SaveIdTable(VCard* card) {
  return WriteFileAtomic(PathIn(card->dir, kIdTableFile), card->idTable, kIdTableSize);
}

bool LoadCardState(VCard* card, std::string* err) {
  std::vector<uint8_t> data;
  std::string confPath = PathIn(card->dir, kConfFile);
  if (!ReadWholeFile(confPath, &data)) {
    *err = Reason("not a card folder (cannot read", confPath) + ")";
    return false;
  }
  CardConfig cfg;
  if (!ParseConfig(std::string(data.begin(), data.end()), &cfg, err) || !ValidateConfig(cfg, err)) {
    return false;
  }
  std::string idPath = PathIn(card->dir, kIdTableFile);
  if (!ReadWholeFile(idPath, &data) || data.size() != kIdTableSize) {
    *err = "cannot read a 512-byte ID table from " + idPath;
    return false;
  }
  card->cfg = cfg;
  memcpy(card->idTable, data.data(), kIdTableSize);
  return true;
}

bool ReadCopy(const VCard* card, int copy, std::vector<uint8_t>* data) {
  std::string path = PathIn(card->dir, CopyFile(copy));
  if (ReadWholeFile(path, data)) return true;
  data->clear();
  return errno == ENOENT;
}

bool ProgramCopies(VCard* card, const std::vector<uint8_t>& copy) {
  return WriteFileAtomic(PathIn(card->dir, CopyFile(1)), copy.data(), copy.size()) &&
         WriteFileAtomic(PathIn(card->dir, CopyFile(2)), copy.data(), copy.size());
}

bool SaveDeferred(VCard* card, const std::vector<uint8_t>& image) {
  return WriteFileAtomic(PathIn(card->dir, kDeferredFile), image.data(), image.size());
}

bool TakeDeferred(VCard* card, std::vector<uint8_t>* image) {
  std::string path = PathIn(card->dir, kDeferredFile);
  if (!ReadWholeFile(path, image)) return false;
  unlink(path.c_str());
  return true;
}

void Journal(VCard* card, const std::string& line) {
  if (card->journalFd < 0) return;
  std::string text = line + "\n";
  // One write per line: O_APPEND keeps lines whole and in order.
  WriteAll(card->journalFd, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

bool CreateCard(const std::string& dir, const CardConfig& cfg, const IdentityEdit& identity,
                std::string* err) {
  if (!ValidateConfig(cfg, err)) return false;
  if (!MakeDirs(dir)) {
    *err = Reason("cannot make the folder", dir);
    return false;
  }
  VCard card;
  card.dir = dir;
  card.cfg = cfg;
  std::string serial = identity.serial.empty() ? kDefaultSerial : identity.serial;
  std::string model = identity.model.empty() ? kDefaultModel : identity.model;
  std::string fwrev = identity.fwrev.empty() ? kDefaultFwRev : identity.fwrev;
  BuildIdTable(serial, model, fwrev, cfg.capacity, card.idTable);

  // A card made in its ISP firmware has run an initial programming before:
  // both copies hold an image of its identity. Any other program means a
  // fresh card with blank flash.
  for (int copy = 1; copy <= 2; ++copy) unlink(PathIn(dir, CopyFile(copy)).c_str());
  unlink(PathIn(dir, kDeferredFile).c_str());
  if (cfg.program == kIspFirmware) {
    ImageContent content;
    content.version = fwrev;
    content.serial = serial;
    content.model = model;
    content.capacity = cfg.capacity;
    std::vector<uint8_t> image = BuildIspImage(content), copy;
    std::string why;
    if (!CopyFromWholeImage(image.data(), image.size(), &copy, &why) || copy.size() > IspCopyCapacity(cfg.geo)) {
      *err = "the geometry's ISP block cannot hold the card's firmware";
      return false;
    }
    if (!ProgramCopies(&card, copy)) {
      *err = Reason("cannot write the ISP copies in", dir);
      return false;
    }
  }

  std::string sectors = PathIn(dir, kSectorsFile);
  int fd = open(sectors.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  bool ok = fd >= 0 && ftruncate(fd, static_cast<off_t>(cfg.capacity * kSector)) == 0;
  if (fd >= 0) close(fd);
  if (!ok) {
    *err = Reason("cannot make the sector file", sectors);
    return false;
  }
  if (!WriteFileAtomic(PathIn(dir, kJournalFile), "", 0) || !SaveIdTable(&card) || !SaveConfig(&card)) {
    *err = Reason("cannot write the card state in", dir);
    return false;
  }
  return true;
}

int UpdateCard(const std::string& dir, const std::vector<std::string>& options, std::string* err) {
  VCard card;
  card.dir = dir;
  if (!LoadCardState(&card, err)) return 1;
  IdentityEdit edit;
  uint64_t oldCapacity = card.cfg.capacity;
  if (!ApplyOptions(options, &card.cfg, &edit, err) || !ValidateConfig(card.cfg, err)) return 2;
  if (edit.any()) {
    // The identity lives in the running firmware's ID table and in the ISP
    // copies; both change so that a later read-back carries it too.
    EditIdTable(card.idTable, edit);
    std::vector<uint8_t> copy;
    if (!ReadCopy(&card, 1, &copy)) {
      *err = Reason("cannot read the ISP copy in", dir);
      return 1;
    }
    if (!copy.empty()) {
      EditCopyIdentity(&copy, edit);
      if (!ProgramCopies(&card, copy)) {
        *err = Reason("cannot write the ISP copies in", dir);
        return 1;
      }
    }
  }
  if (card.cfg.capacity != oldCapacity &&
      truncate(PathIn(dir, kSectorsFile).c_str(), static_cast<off_t>(card.cfg.capacity * kSector)) != 0) {
    *err = Reason("cannot resize", PathIn(dir, kSectorsFile));
    return 1;
  }
  if (!SaveIdTable(&card) || !SaveConfig(&card)) {
    *err = Reason("cannot write the card state in", dir);
    return 1;
  }
  return 0;
}

}  // namespace vcard

// --- C interface: opening and closing ---

VCard* vcard_open(const char* dir, char* err, size_t errLen) {
  VCard* card = new VCard;
  card->dir = dir;
  std::string why;
  if (vcard::LoadCardState(card, &why)) {
    std::string sectors = card->dir + "/" + vcard::kSectorsFile;
    card->sectorsFd = open(sectors.c_str(), O_RDWR | O_CLOEXEC);
    if (card->sectorsFd < 0) why = "cannot open " + sectors + ": " + strerror(errno);
  }
  if (card->sectorsFd >= 0) {
    std::string journal = card->dir + "/" + vcard::kJournalFile;
    card->journalFd = open(journal.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (card->journalFd >= 0) {
      vcard::PowerOn(card);
      return card;
    }
    why = "cannot open " + journal + ": " + strerror(errno);
  }
  if (err != nullptr && errLen > 0) snprintf(err, errLen, "%s", why.c_str());
  vcard_close(card);
  return nullptr;
}

void vcard_close(VCard* card) {
  if (card == nullptr) return;
  if (card->sectorsFd >= 0) close(card->sectorsFd);
  if (card->journalFd >= 0) close(card->journalFd);
  delete card;
}

int vcard_refresh(VCard* card) {
  std::string why;
  return vcard::LoadCardState(card, &why) ? 0 : -1;
}

uint64_t vcard_capacity(const VCard* card) { return card->cfg.capacity; }
