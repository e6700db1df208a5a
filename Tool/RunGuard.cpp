#include "RunGuard.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include "EXCMDFunc.h"

namespace {

struct StopSignal {
  int number;
  const char* name;
};
const StopSignal kStopSignals[] = {
    {SIGHUP, "SIGHUP"}, {SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGQUIT, "SIGQUIT"}};

bool gSignalsHeld = false;

sigset_t StopSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  for (const StopSignal& s : kStopSignals) sigaddset(&set, s.number);
  return set;
}

const char* SignalName(int number) {
  for (const StopSignal& s : kStopSignals) {
    if (s.number == number) return s.name;
  }
  return "a signal";
}

// The working folder's name for messages ("." when it cannot be told).
const char* WorkingFolderName(char* buf, size_t size) {
  return getcwd(buf, size) != nullptr ? buf : ".";
}

}  // namespace

bool ClaimWorkingFolder() {
  char cwd[PATH_MAX];
  if (access(".", W_OK | X_OK) != 0) {
    int reason = errno;
    printf("Cannot write in %s: %s\n", WorkingFolderName(cwd, sizeof cwd), strerror(reason));
    return false;
  }
  // The descriptor stays open, and the lock with it, until the process ends.
  int folder = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0 || flock(folder, LOCK_EX | LOCK_NB) != 0) {
    printf("Another run is using this working folder (%s)!\n", WorkingFolderName(cwd, sizeof cwd));
    if (folder >= 0) close(folder);
    return false;
  }
  return true;
}

bool HoldDevice(const char* node) {
  // An exclusive open of a block device fails with EBUSY while another
  // process holds it exclusively or a file system on it is mounted. Other
  // failures are left to the ordinary open, which reports them.
  int fd = open(node, O_RDONLY | O_EXCL | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0 && errno == EBUSY) {
    debug_printf("Device %s is busy: another run or a mounted file system holds it!\n", node);
    return false;
  }
  return true;  // the descriptor, when there is one, stays open for the run
}

void HoldStopSignals() {
  sigset_t set = StopSignalSet();
  sigprocmask(SIG_BLOCK, &set, nullptr);
  gSignalsHeld = true;
}

int ReleaseStopSignals(bool cardBack) {
  if (!gSignalsHeld) return 0;
  gSignalsHeld = false;
  sigset_t set = StopSignalSet();
  // Take every pending stop signal off while they are still blocked; the
  // first names the stop.
  int first = 0;
  const struct timespec now = {0, 0};
  for (int taken; (taken = sigtimedwait(&set, nullptr, &now)) > 0;) {
    if (first == 0) first = taken;
  }
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  if (first != 0 && cardBack) {
    debug_printf("Stopped by %s: the card was brought back to its firmware first.\n",
                 SignalName(first));
  } else if (first != 0) {
    debug_printf("Stopped by %s.\n", SignalName(first));
  }
  return first;
}

void IgnoreBrokenPipe() { signal(SIGPIPE, SIG_IGN); }
