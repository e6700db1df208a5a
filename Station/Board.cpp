#include "Board.h"

std::string FormatBoardLine(const BoardLine& line, const std::string& step, size_t width) {
  char elapsed[32];
  long whole = static_cast<long>(line.seconds);
  snprintf(elapsed, sizeof elapsed, "%ld:%02ld", whole / 60, whole % 60);
  char text[512];
  snprintf(text, sizeof text, "%-6s %-20s %-28.28s %6s  %s", line.device.c_str(),
           line.serial.empty() ? "-" : line.serial.c_str(), step.c_str(), elapsed,
           StateWord(line.state));
  std::string out = text;
  if (line.state == kCardFailed && !line.failure.empty()) out += "  " + line.failure;
  if (width > 0 && out.size() > width) out.resize(width);
  return out;
}

Board::Board(FILE* out, bool terminal, size_t width)
    : out_(out), terminal_(terminal), width_(width) {}

void Board::Show(const std::vector<BoardLine>& lines, const std::string& note) {
  if (terminal_) {
    // Back to the first line drawn, then every line cleared and drawn anew.
    // Lines are cut one short of the width so none wraps and moves the rest.
    if (drawn_ > 0) fprintf(out_, "\033[%zuA", drawn_);
    const size_t width = width_ > 1 ? width_ - 1 : 0;
    for (const BoardLine& line : lines) {
      const std::string step = line.steps.empty() ? "" : line.steps.back();
      fprintf(out_, "\r\033[K%s\n", FormatBoardLine(line, step, width).c_str());
    }
    drawn_ = lines.size();
    // A note that went away leaves its line cleared.
    if (!note.empty() || !note_.empty()) {
      fprintf(out_, "\r\033[K%s\n", note.substr(0, width).c_str());
      ++drawn_;
    }
  } else {
    told_.resize(lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
      const BoardLine& line = lines[i];
      for (; told_[i].steps < line.steps.size(); ++told_[i].steps)
        fprintf(out_, "%s\n", FormatBoardLine(line, line.steps[told_[i].steps], 0).c_str());
      if (line.state == told_[i].state) continue;
      told_[i].state = line.state;
      if (line.state == kCardPassed || line.state == kCardFailed) {
        const std::string step = line.steps.empty() ? "" : line.steps.back();
        fprintf(out_, "%s\n", FormatBoardLine(line, step, 0).c_str());
      }
    }
    if (note != note_ && !note.empty()) fprintf(out_, "%s\n", note.c_str());
  }
  note_ = note;
  fflush(out_);
}
