// LD_PRELOAD library that makes chosen device nodes answer as virtual cards.
//
// QEL_VCARD ("/dev/sdb=cards/a,/dev/sdd=cards/b") is read at every open, so a
// process may set it with setenv before opening a node. A mapped node opens
// as a stand-in descriptor (of /dev/null) whose SG_IO and block-device ioctls
// the card answers, and whose stat shows a block device. Every other
// /dev/sd* and /dev/sg* node fails to open with ENOENT, so that nothing run
// under the library can reach a real disk. Everything else passes through.
//
// One card handle per card folder lives for the whole process (like a disk
// that stays powered); it re-reads its settings at each open of a node.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <scsi/sg.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <linux/fs.h>
#include <linux/hdreg.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <string>

#include "CardModel.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr int kSgVersion = 30527;

struct Slot {
  std::string dir;
  VCard* card = nullptr;
  dev_t rdev = 0;
  int openCount = 0;
};

std::recursive_mutex& Lock() {
  static std::recursive_mutex* mutex = new std::recursive_mutex;
  return *mutex;
}

// Cards by folder and stand-in descriptors; never freed (process lifetime).
std::map<std::string, Slot*>& Cards() {
  static auto* cards = new std::map<std::string, Slot*>;
  return *cards;
}

std::map<int, Slot*>& Fds() {
  static auto* fds = new std::map<int, Slot*>;
  return *fds;
}

template <typename Fn>
Fn Next(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

void Complain(const std::string& text) {
  std::string line = "qelvcard: " + text + "\n";
  ssize_t ignored = write(2, line.data(), line.size());
  (void)ignored;
}

enum class Route { kPass, kHide, kCard };

// Decides what an open of path does; for a card, *dir is its folder.
Route RouteOf(const char* path, std::string* dir) {
  if (path == nullptr || strncmp(path, "/dev/", 5) != 0) return Route::kPass;
  const char* map = getenv("QEL_VCARD");
  size_t pathLen = strlen(path);
  for (const char* p = map; p != nullptr && *p != '\0';) {
    const char* end = strchr(p, ',');
    size_t len = end ? static_cast<size_t>(end - p) : strlen(p);
    const char* eq = static_cast<const char*>(memchr(p, '=', len));
    if (eq != nullptr && static_cast<size_t>(eq - p) == pathLen && memcmp(p, path, pathLen) == 0) {
      dir->assign(eq + 1, p + len);
      return Route::kCard;
    }
    p = end ? end + 1 : nullptr;
  }
  if (strncmp(path, "/dev/sd", 7) == 0 || strncmp(path, "/dev/sg", 7) == 0) return Route::kHide;
  return Route::kPass;
}

// Device number a SCSI disk node of that name would have (8, 16 * letter).
dev_t DiskNumber(const char* path) {
  size_t len = strlen(path);
  char last = len ? path[len - 1] : 'a';
  unsigned index = (last >= 'a' && last <= 'z') ? static_cast<unsigned>(last - 'a') : 0;
  return makedev(8, 16 * index);
}

Slot* CardFor(const char* path, const std::string& dirText) {
  char resolved[PATH_MAX];
  if (realpath(dirText.c_str(), resolved) == nullptr) {
    Complain(std::string(path) + ": card folder " + dirText + ": " + strerror(errno));
    return nullptr;
  }
  Slot*& slot = Cards()[resolved];
  if (slot == nullptr) {
    char err[512];
    VCard* card = vcard_open(resolved, err, sizeof(err));
    if (card == nullptr) {
      Cards().erase(resolved);
      Complain(std::string(path) + ": " + err);
      return nullptr;
    }
    slot = new Slot;
    slot->dir = resolved;
    slot->card = card;
  } else if (slot->openCount == 0 && vcard_refresh(slot->card) != 0) {
    Complain(std::string(path) + ": card folder " + slot->dir + " can no longer be read");
    return nullptr;
  }
  slot->rdev = DiskNumber(path);
  return slot;
}

// Opens path if it is a card or hidden node; *handled false means "pass on".
int OpenNode(const char* path, int flags, bool* handled) {
  std::string dir;
  Route route = RouteOf(path, &dir);
  *handled = route != Route::kPass;
  if (route == Route::kPass) return -1;
  if (route == Route::kHide) {
    errno = ENOENT;
    return -1;
  }
  std::lock_guard<std::recursive_mutex> guard(Lock());
  Slot* slot = CardFor(path, dir);
  if (slot == nullptr) {
    errno = ENXIO;
    return -1;
  }
  static auto realOpen = Next<int (*)(const char*, int, ...)>("open");
  int fd;
  if ((flags & O_EXCL) && !(flags & O_CREAT)) {
    // An exclusive open of a block device fails with EBUSY while another
    // holder has it exclusively: a lock on the card folder stands for that
    // claim, and ends with the descriptor as the kernel's does.
    fd = realOpen(slot->dir.c_str(), O_RDONLY | O_DIRECTORY | (flags & O_CLOEXEC));
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
      static auto realClose = Next<int (*)(int)>("close");
      realClose(fd);
      errno = EBUSY;
      return -1;
    }
  } else {
    fd = realOpen("/dev/null", O_RDWR | (flags & O_CLOEXEC));
  }
  if (fd < 0) return -1;
  Fds()[fd] = slot;
  ++slot->openCount;
  return fd;
}

Slot* SlotOf(int fd) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  auto it = Fds().find(fd);
  return it == Fds().end() ? nullptr : it->second;
}

// What stat shows for a card node: a block device.
template <typename Stat>
void FillStat(const Slot* slot, Stat* st) {
  memset(st, 0, sizeof(*st));
  st->st_mode = S_IFBLK | 0660;
  st->st_nlink = 1;
  st->st_rdev = slot->rdev;
  st->st_dev = makedev(0, 5);
  st->st_ino = slot->rdev + 1000;
  st->st_blksize = 4096;
}

// stat of a path: cards look like block devices, hidden nodes are absent.
template <typename Stat>
int StatPath(const char* path, Stat* st, bool* handled) {
  std::string dir;
  Route route = RouteOf(path, &dir);
  *handled = route != Route::kPass;
  if (route == Route::kHide) {
    errno = ENOENT;
    return -1;
  }
  if (route == Route::kPass) return -1;
  char resolved[PATH_MAX];
  if (realpath(dir.c_str(), resolved) == nullptr) {
    errno = ENOENT;
    return -1;
  }
  Slot slot;
  slot.rdev = DiskNumber(path);
  FillStat(&slot, st);
  return 0;
}

int CardIoctl(Slot* slot, unsigned long request, void* arg) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  switch (request) {
    case SG_IO:
      return vcard_sg_io(slot->card, static_cast<sg_io_hdr*>(arg));
    case SG_GET_VERSION_NUM:
      *static_cast<int*>(arg) = kSgVersion;
      return 0;
    case SG_EMULATED_HOST:
      *static_cast<int*>(arg) = 0;
      return 0;
    case BLKGETSIZE64:
      *static_cast<uint64_t*>(arg) = vcard_capacity(slot->card) * 512;
      return 0;
    case BLKGETSIZE:
      *static_cast<unsigned long*>(arg) = static_cast<unsigned long>(vcard_capacity(slot->card));
      return 0;
    case HDIO_GETGEO: {
      // Whole-disk geometry: tools check that "start" is 0 (not a partition).
      hd_geometry* geo = static_cast<hd_geometry*>(arg);
      geo->heads = 255;
      geo->sectors = 63;
      geo->cylinders = static_cast<unsigned short>(std::min<uint64_t>(vcard_capacity(slot->card) / (255 * 63), 65535));
      geo->start = 0;
      return 0;
    }
    case BLKSSZGET:
    case BLKPBSZGET:
      *static_cast<int*>(arg) = 512;
      return 0;
    default:
      errno = ENOTTY;
      return -1;
  }
}

}  // namespace

// open(2) and its relatives: a mapped node is answered by the card, anything
// else goes on to the next definition. The mode is read only when the flags
// say a file may be created, as the C library does.
#define INTERPOSE_OPEN(name, DirParam, dirArg)                        \
  EXPORT int name(DirParam const char* path, int flags, ...) {        \
    mode_t mode = 0;                                                  \
    if (flags & (O_CREAT | O_TMPFILE)) {                              \
      va_list ap;                                                     \
      va_start(ap, flags);                                            \
      mode = static_cast<mode_t>(va_arg(ap, int));                    \
      va_end(ap);                                                     \
    }                                                                 \
    bool handled;                                                     \
    int fd = OpenNode(path, flags, &handled);                         \
    if (handled) return fd;                                           \
    static auto real = Next<int (*)(DirParam const char*, int, ...)>(#name); \
    return real(dirArg path, flags, mode);                            \
  }

// The fortified entry points that _FORTIFY_SOURCE builds call.
#define INTERPOSE_OPEN_2(name, DirParam, dirArg)                      \
  EXPORT int name(DirParam const char* path, int flags) {             \
    bool handled;                                                     \
    int fd = OpenNode(path, flags, &handled);                         \
    if (handled) return fd;                                           \
    static auto real = Next<int (*)(DirParam const char*, int)>(#name); \
    return real(dirArg path, flags);                                  \
  }

#define NO_DIR
#define AT_DIR int dirfd,
#define AT_DIR_ARG dirfd,
INTERPOSE_OPEN(open, NO_DIR, NO_DIR)
INTERPOSE_OPEN(open64, NO_DIR, NO_DIR)
INTERPOSE_OPEN(openat, AT_DIR, AT_DIR_ARG)
INTERPOSE_OPEN(openat64, AT_DIR, AT_DIR_ARG)
INTERPOSE_OPEN_2(__open_2, NO_DIR, NO_DIR)
INTERPOSE_OPEN_2(__open64_2, NO_DIR, NO_DIR)
INTERPOSE_OPEN_2(__openat_2, AT_DIR, AT_DIR_ARG)
INTERPOSE_OPEN_2(__openat64_2, AT_DIR, AT_DIR_ARG)

EXPORT int close(int fd) {
  {
    std::lock_guard<std::recursive_mutex> guard(Lock());
    auto it = Fds().find(fd);
    if (it != Fds().end()) {
      --it->second->openCount;
      Fds().erase(it);
    }
  }
  static auto real = Next<int (*)(int)>("close");
  return real(fd);
}

EXPORT int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (Slot* slot = SlotOf(fd)) return CardIoctl(slot, request, arg);
  static auto real = Next<int (*)(int, unsigned long, ...)>("ioctl");
  return real(fd, request, arg);
}

// --- stat family: every name glibc exports for it ---

#define STAT_PATH(name, Stat)                                     \
  EXPORT int name(const char* path, struct Stat* st) {            \
    bool handled;                                                 \
    int r = StatPath(path, st, &handled);                         \
    if (handled) return r;                                        \
    static auto real = Next<int (*)(const char*, struct Stat*)>(#name); \
    return real(path, st);                                        \
  }

#define STAT_FD(name, Stat)                                   \
  EXPORT int name(int fd, struct Stat* st) {                  \
    if (Slot* slot = SlotOf(fd)) {                            \
      FillStat(slot, st);                                     \
      return 0;                                               \
    }                                                         \
    static auto real = Next<int (*)(int, struct Stat*)>(#name); \
    return real(fd, st);                                      \
  }

#define XSTAT_PATH(name, Stat)                                         \
  EXPORT int name(int ver, const char* path, struct Stat* st) {        \
    bool handled;                                                      \
    int r = StatPath(path, st, &handled);                              \
    if (handled) return r;                                             \
    static auto real = Next<int (*)(int, const char*, struct Stat*)>(#name); \
    return real(ver, path, st);                                        \
  }

#define XSTAT_FD(name, Stat)                                       \
  EXPORT int name(int ver, int fd, struct Stat* st) {              \
    if (Slot* slot = SlotOf(fd)) {                                 \
      FillStat(slot, st);                                          \
      return 0;                                                    \
    }                                                              \
    static auto real = Next<int (*)(int, int, struct Stat*)>(#name); \
    return real(ver, fd, st);                                      \
  }

STAT_PATH(stat, stat)
STAT_PATH(stat64, stat64)
STAT_PATH(lstat, stat)
STAT_PATH(lstat64, stat64)
STAT_FD(fstat, stat)
STAT_FD(fstat64, stat64)
XSTAT_PATH(__xstat, stat)
XSTAT_PATH(__xstat64, stat64)
XSTAT_PATH(__lxstat, stat)
XSTAT_PATH(__lxstat64, stat64)
XSTAT_FD(__fxstat, stat)
XSTAT_FD(__fxstat64, stat64)

// fstatat: a mapped node by name, or by descriptor with AT_EMPTY_PATH.
#define STAT_AT(name, Stat)                                                     \
  EXPORT int name(int dirfd, const char* path, struct Stat* st, int flags) {    \
    bool handled;                                                               \
    int r = StatPath(path, st, &handled);                                       \
    if (handled) return r;                                                      \
    if (path[0] == '\0' && (flags & AT_EMPTY_PATH)) {                           \
      if (Slot* slot = SlotOf(dirfd)) {                                         \
        FillStat(slot, st);                                                     \
        return 0;                                                               \
      }                                                                         \
    }                                                                           \
    static auto real = Next<int (*)(int, const char*, struct Stat*, int)>(#name); \
    return real(dirfd, path, st, flags);                                        \
  }

STAT_AT(fstatat, stat)
STAT_AT(fstatat64, stat64)
