// A progress line for the transfers that take minutes on a real card (the ISP
// write, the read-backs of the ISP copies, DOWNLOAD MICROCODE): percentage
// and MiB, redrawn in place on standard error. It appears only when standard
// error is a terminal and is erased when the transfer ends (on every path, by
// the destructor), so standard output, "Display.log" and a redirected
// standard error never see it.
#ifndef QEL_TOOL_PROGRESS_H_
#define QEL_TOOL_PROGRESS_H_

#include <stddef.h>
#include <stdint.h>

class Progress {
 public:
  // Starts a transfer of `totalBytes` and draws 0%. `label` must outlive it.
  Progress(const char* label, uint64_t totalBytes);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Records that `done` bytes of the transfer are through; redraws only when
  // the percentage moves.
  void Update(uint64_t done);

  // Erases the line before the caller prints; the destructor does it too.
  void Done();

 private:
  void Draw();

  const char* label_;
  uint64_t total_;
  uint64_t done_ = 0;
  int shownPercent_ = -1;  // last percentage drawn; -1 before the first
  bool active_;            // standard error is a terminal
};

// The text of one progress line without the carriage return, such as
// "Download ISP:  45% (14.4 of 32.0 MiB)". Returns its length (truncated to
// fit `size`, always terminated when size > 0).
size_t FormatProgress(char* out, size_t size, const char* label, uint64_t done, uint64_t total);

#endif  // QEL_TOOL_PROGRESS_H_
