// Preload library that watches a run of the tool (or of hdparm) against the
// virtual card. Loaded in front of the card's library
// (LD_PRELOAD=libsgio_recorder.so:libqelvcard_preload.so), it passes every
// call on unchanged and appends to the file named by QEL_SGIO_RECORD:
//  - every open and close of a /dev/sd* node and every SG_IO request on one,
//    with the data it carries to the device, for bench_sgio_floor to replay;
//  - every sleep the process asks for;
//  - at exit, the peak of the heap the process itself held. The card model
//    runs inside the process; what it allocates (inside the calls on its
//    nodes) is counted apart, so that the figure is the tool's own.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <scsi/sg.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "SgioRecord.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

// glibc's allocator under its own names, so that the counting allocator below
// can pass calls on without dlsym (which itself allocates).
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* p);
}

namespace {

// Descriptors of recorded nodes; the tool and hdparm use a handful.
constexpr int kMaxFd = 4096;
bool gTracked[kMaxFd];

// Heap bytes held by the process itself and by the card model (allocated
// while a call on a disk node runs); signed, because the card's static
// objects are freed at exit, outside its calls. The recorded processes are
// single-threaded.
int gInCard = 0;
long long gHeld[2];
long long gPeak;

void Allocated(void* p) {
  if (p == nullptr) return;
  long long& held = gHeld[gInCard > 0];
  held += static_cast<long long>(malloc_usable_size(p));
  if (gInCard == 0 && held > gPeak) gPeak = held;
}

void Freed(void* p) {
  if (p != nullptr) gHeld[gInCard > 0] -= static_cast<long long>(malloc_usable_size(p));
}

// Marks a call into the card model for as long as it lives.
struct InCard {
  explicit InCard(bool card) : card_(card) { gInCard += card_; }
  ~InCard() { gInCard -= card_; }
  bool card_;
};

template <typename Fn>
Fn Next(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

void WriteAll(int fd, const void* data, size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t n = write(fd, p, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    length -= static_cast<size_t>(n);
  }
}

// The record file, opened on the first event, so that processes that never
// touch a node (qelvcard itself) leave nothing in it. It is moved to a high
// descriptor number, so that the process's own descriptors (shown in the
// tool's trace) are numbered as in a run without the recorder.
int gOut = -1;
constexpr int kRecordFd = 1000;

void Record(const SgioEvent& event, const void* payload) {
  if (gOut < 0) {
    const char* path = getenv(SGIO_RECORD_ENV);
    if (path == nullptr) return;
    static auto realOpen = Next<int (*)(const char*, int, ...)>("open");
    static auto realClose = Next<int (*)(int)>("close");
    int fd = realOpen(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    gOut = fcntl(fd, F_DUPFD_CLOEXEC, kRecordFd);
    realClose(fd);
    if (gOut < 0) return;
  }
  int saved = errno;
  WriteAll(gOut, &event, sizeof event);
  if (event.payload > 0) WriteAll(gOut, payload, event.payload);
  errno = saved;
}

bool IsDiskNode(const char* path) { return path != nullptr && strncmp(path, "/dev/sd", 7) == 0; }

bool IsTracked(int fd) { return fd >= 0 && fd < kMaxFd && gTracked[fd]; }

int Opened(const char* path, int flags, int fd) {
  if (fd >= 0 && fd < kMaxFd && IsDiskNode(path)) {
    gTracked[fd] = true;
    SgioEvent event = {};
    event.kind = kEventOpen;
    event.fd = fd;
    event.flags = flags;
    event.payload = static_cast<uint32_t>(strlen(path));
    Record(event, path);
  }
  return fd;
}

void RecordSgIo(int fd, const sg_io_hdr_t* hdr) {
  SgioEvent event = {};
  event.kind = kEventSgIo;
  event.fd = fd;
  event.flags = static_cast<int32_t>(hdr->flags);
  event.direction = hdr->dxfer_direction;
  event.dxferLen = hdr->dxfer_len;
  event.timeout = hdr->timeout;
  event.cmdLen = hdr->cmd_len;
  event.mxSbLen = hdr->mx_sb_len;
  memcpy(event.cmd, hdr->cmdp, hdr->cmd_len < sizeof event.cmd ? hdr->cmd_len : sizeof event.cmd);
  // Scatter lists are not recorded: neither the tool nor hdparm uses them.
  bool toDevice = hdr->dxfer_direction == SG_DXFER_TO_DEV && hdr->iovec_count == 0;
  event.payload = toDevice ? hdr->dxfer_len : 0;
  Record(event, hdr->dxferp);
}

void RecordValue(SgioEventKind kind, uint64_t value) {
  SgioEvent event = {};
  event.kind = kind;
  event.value = value;
  Record(event, nullptr);
}

void RecordSleep(const struct timespec* request) {
  if (request == nullptr) return;
  RecordValue(kEventSleep, static_cast<uint64_t>(request->tv_sec) * 1000000000 +
                               static_cast<uint64_t>(request->tv_nsec));
}

__attribute__((destructor)) void RecordHeapPeak() {
  if (gOut >= 0) RecordValue(kEventHeapPeak, static_cast<uint64_t>(gPeak));
}

mode_t ModeArgument(int flags, va_list ap) {
  return (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

}  // namespace

// --- the heap ---

EXPORT void* malloc(size_t size) {
  void* p = __libc_malloc(size);
  Allocated(p);
  return p;
}

EXPORT void* calloc(size_t count, size_t size) {
  void* p = __libc_calloc(count, size);
  Allocated(p);
  return p;
}

EXPORT void* realloc(void* old, size_t size) {
  long long before = old != nullptr ? static_cast<long long>(malloc_usable_size(old)) : 0;
  void* p = __libc_realloc(old, size);
  if (p != nullptr || size == 0) {
    gHeld[gInCard > 0] -= before;
    Allocated(p);
  }
  return p;
}

EXPORT void free(void* p) {
  Freed(p);
  __libc_free(p);
}

EXPORT void* memalign(size_t alignment, size_t size) {
  void* p = __libc_memalign(alignment, size);
  Allocated(p);
  return p;
}

EXPORT void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

EXPORT int posix_memalign(void** out, size_t alignment, size_t size) {
  void* p = memalign(alignment, size);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}

// --- disk nodes ---

EXPORT int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = ModeArgument(flags, ap);
  va_end(ap);
  static auto real = Next<int (*)(const char*, int, ...)>("open");
  InCard card(IsDiskNode(path));
  return Opened(path, flags, real(path, flags, mode));
}

EXPORT int open64(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = ModeArgument(flags, ap);
  va_end(ap);
  static auto real = Next<int (*)(const char*, int, ...)>("open64");
  InCard card(IsDiskNode(path));
  return Opened(path, flags, real(path, flags, mode));
}

EXPORT int openat(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = ModeArgument(flags, ap);
  va_end(ap);
  static auto real = Next<int (*)(int, const char*, int, ...)>("openat");
  InCard card(IsDiskNode(path));
  return Opened(path, flags, real(dirfd, path, flags, mode));
}

EXPORT int openat64(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = ModeArgument(flags, ap);
  va_end(ap);
  static auto real = Next<int (*)(int, const char*, int, ...)>("openat64");
  InCard card(IsDiskNode(path));
  return Opened(path, flags, real(dirfd, path, flags, mode));
}

EXPORT int __open_2(const char* path, int flags) {
  static auto real = Next<int (*)(const char*, int)>("__open_2");
  InCard card(IsDiskNode(path));
  return Opened(path, flags, real(path, flags));
}

EXPORT int __open64_2(const char* path, int flags) {
  static auto real = Next<int (*)(const char*, int)>("__open64_2");
  InCard card(IsDiskNode(path));
  return Opened(path, flags, real(path, flags));
}

EXPORT int __openat_2(int dirfd, const char* path, int flags) {
  static auto real = Next<int (*)(int, const char*, int)>("__openat_2");
  InCard card(IsDiskNode(path));
  return Opened(path, flags, real(dirfd, path, flags));
}

EXPORT int __openat64_2(int dirfd, const char* path, int flags) {
  static auto real = Next<int (*)(int, const char*, int)>("__openat64_2");
  InCard card(IsDiskNode(path));
  return Opened(path, flags, real(dirfd, path, flags));
}

EXPORT int close(int fd) {
  bool tracked = IsTracked(fd);
  if (tracked) {
    gTracked[fd] = false;
    SgioEvent event = {};
    event.kind = kEventClose;
    event.fd = fd;
    Record(event, nullptr);
  }
  static auto real = Next<int (*)(int)>("close");
  InCard card(tracked);
  return real(fd);
}

EXPORT int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  bool tracked = IsTracked(fd);
  if (tracked && request == SG_IO && arg != nullptr) {
    RecordSgIo(fd, static_cast<const sg_io_hdr_t*>(arg));
  }
  static auto real = Next<int (*)(int, unsigned long, ...)>("ioctl");
  InCard card(tracked);
  return real(fd, request, arg);
}

// --- sleeps ---
// Recorded as asked for (relative ones only: nobody here sleeps until an
// absolute time). glibc's own calls between these entry points do not pass
// through the library, so nothing is counted twice.

EXPORT int usleep(useconds_t us) {
  RecordValue(kEventSleep, static_cast<uint64_t>(us) * 1000);
  static auto real = Next<int (*)(useconds_t)>("usleep");
  return real(us);
}

EXPORT unsigned int sleep(unsigned int seconds) {
  RecordValue(kEventSleep, static_cast<uint64_t>(seconds) * 1000000000);
  static auto real = Next<unsigned int (*)(unsigned int)>("sleep");
  return real(seconds);
}

EXPORT int nanosleep(const struct timespec* request, struct timespec* remain) {
  RecordSleep(request);
  static auto real = Next<int (*)(const struct timespec*, struct timespec*)>("nanosleep");
  return real(request, remain);
}

EXPORT int clock_nanosleep(clockid_t clock, int flags, const struct timespec* request,
                           struct timespec* remain) {
  if ((flags & TIMER_ABSTIME) == 0) RecordSleep(request);
  static auto real =
      Next<int (*)(clockid_t, int, const struct timespec*, struct timespec*)>("clock_nanosleep");
  return real(clock, flags, request, remain);
}
