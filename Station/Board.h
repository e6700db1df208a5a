// Live progress for the operator. On a terminal every card has one line,
// redrawn in place; otherwise a plain line is printed whenever a card
// reaches a new step or ends, so a log file reads in order.
#ifndef QEL_STATION_BOARD_H_
#define QEL_STATION_BOARD_H_

#include <stdio.h>

#include <string>
#include <vector>

#include "Report.h"

// What one line shows of a card.
struct BoardLine {
  std::string device, serial, failure;
  std::vector<std::string> steps;  // every step heading so far; the last is shown
  CardState state = kCardWaiting;
  double seconds = 0;  // elapsed
};

// One card's line at step `step`: "sdb  VC3300000001  Download ISP  0:12
// RUN", the failure after FAIL; cut to `width` columns (no cut for 0).
std::string FormatBoardLine(const BoardLine& line, const std::string& step, size_t width);

class Board {
 public:
  // `terminal`: redraw in place on `out`; `width`: the terminal's columns.
  Board(FILE* out, bool terminal, size_t width);
  // Shows the cards' present state and, when not "", a note under them.
  void Show(const std::vector<BoardLine>& lines, const std::string& note);

 private:
  FILE* out_;
  bool terminal_;
  size_t width_;
  size_t drawn_ = 0;                // lines drawn last time (terminal)
  struct Told {
    size_t steps = 0;
    CardState state = kCardWaiting;
  };
  std::vector<Told> told_;          // what the plain lines told of each card
  std::string note_;                // the note shown last
};

#endif  // QEL_STATION_BOARD_H_
