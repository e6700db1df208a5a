#include "ToolOutput.h"

namespace {

constexpr size_t kKeptLines = 32;

std::string Trimmed(const std::string& text) {
  const char* blanks = " \t\r\n";
  size_t begin = text.find_first_not_of(blanks);
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(blanks) - begin + 1);
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

bool EndsWith(const std::string& text, const char* suffix) {
  size_t n = std::char_traits<char>::length(suffix);
  return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

// Blank lines and the closing banner, which say nothing of the run.
bool IsBannerOrBlank(const std::string& line) {
  return line.empty() || line[0] == '*' || StartsWith(line, "Linux Tool:") ||
         StartsWith(line, "Total Process finished") || StartsWith(line, "ErrorCode:");
}

}  // namespace

std::string StepHeading(const std::string& line) {
  size_t dots = line.find("...");
  if (dots == std::string::npos) return "";
  return Trimmed(line.substr(0, dots));
}

void ConsoleTail::Add(const std::string& line) {
  lines_.push_back(Trimmed(line));
  if (lines_.size() > kKeptLines) lines_.pop_front();
}

std::string ConsoleTail::FailureLine() const {
  // The command's own line ("Update failed..") says only that it failed; the
  // line above it says why, unless the step just ended well: then the step
  // is the best clue.
  std::string summary;
  for (auto it = lines_.rbegin(); it != lines_.rend(); ++it) {
    const std::string& line = *it;
    if (IsBannerOrBlank(line) || line == "Success" || line == "Done") continue;
    if (EndsWith(line, " failed..")) {
      if (summary.empty()) summary = line;
      continue;
    }
    std::string heading = StepHeading(line);
    if (heading.empty()) return line;
    return (summary.empty() ? "failed" : summary) + " at step " + heading;
  }
  return summary;
}
