// Reading the tool's console as it runs: the step it is at and, when it
// fails, the line that names the failure.
#ifndef QEL_STATION_TOOLOUTPUT_H_
#define QEL_STATION_TOOLOUTPUT_H_

#include <deque>
#include <string>

// The heading of a step line ("Download ISP ......" -> "Download ISP"; a
// line such as "Card Information.....Success" counts too), or "" for any
// other line. A heading is text followed by a run of at least three dots.
std::string StepHeading(const std::string& line);

// The tool's last lines, kept as they come; enough of them to look back past
// the closing banner.
class ConsoleTail {
 public:
  void Add(const std::string& line);
  // The line that says what went wrong: the last one above the closing
  // banner and the command's own "... failed.." line, or, when the last step
  // ended with "Success" or "Done", that line with the step named
  // ("Initial card failed.. at step Force ROM Mode"). "" when nothing is left.
  std::string FailureLine() const;

 private:
  std::deque<std::string> lines_;
};

#endif  // QEL_STATION_TOOLOUTPUT_H_
