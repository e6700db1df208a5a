#include "Progress.h"

#include <stdio.h>
#include <unistd.h>

namespace {

const double kMiB = 1024.0 * 1024.0;
// Back to the start of the line and clear it to the end.
const char kEraseLine[] = "\r\033[K";

int Percent(uint64_t done, uint64_t total) {
  if (total == 0 || done >= total) return 100;
  return (int)(done * 100 / total);
}

void WriteAll(const char* text, size_t length) {
  while (length > 0) {
    ssize_t n = write(STDERR_FILENO, text, length);
    if (n <= 0) return;  // a progress line is never worth failing a flow
    text += n;
    length -= (size_t)n;
  }
}

}  // namespace

size_t FormatProgress(char* out, size_t size, const char* label, uint64_t done, uint64_t total) {
  if (size == 0) return 0;
  if (done > total) done = total;
  int n = snprintf(out, size, "%s: %3d%% (%.1f of %.1f MiB)", label, Percent(done, total),
                   done / kMiB, total / kMiB);
  if (n < 0) {
    out[0] = '\0';
    return 0;
  }
  return (size_t)n < size ? (size_t)n : size - 1;
}

Progress::Progress(const char* label, uint64_t totalBytes)
    : label_(label), total_(totalBytes), active_(isatty(STDERR_FILENO) == 1) {
  Draw();
}

Progress::~Progress() { Done(); }

void Progress::Done() {
  if (!active_) return;
  active_ = false;
  WriteAll(kEraseLine, sizeof(kEraseLine) - 1);
}

void Progress::Update(uint64_t done) {
  done_ = done;
  Draw();
}

void Progress::Draw() {
  if (!active_) return;
  int percent = Percent(done_, total_);
  if (percent == shownPercent_) return;
  shownPercent_ = percent;
  char line[160] = "\r";
  size_t length = 1 + FormatProgress(line + 1, sizeof(line) - 1, label_, done_, total_);
  WriteAll(line, length);
}
