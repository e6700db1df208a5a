#include "Serials.h"

#include <map>

namespace {

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

std::string SerialProblem(const std::string& serial) {
  if (serial.empty()) return "is empty";
  for (unsigned char c : serial) {
    if (c < 0x20 || c > 0x7E) return "has a byte outside 0x20-0x7E";
  }
  if (serial.find_first_not_of(' ') == std::string::npos) return "is all blanks";
  if (serial.size() > kMaxSerialLength) return "is longer than 20 characters";
  return "";
}

bool ParseSerialList(const std::string& text, std::vector<std::string>* serials,
                     std::string* error) {
  serials->clear();
  std::map<std::string, size_t> firstLine;
  size_t start = 0, line = 0;
  while (start < text.size()) {
    ++line;
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string serial = text.substr(start, end - start);
    if (!serial.empty() && serial.back() == '\r') serial.pop_back();
    start = end + 1;
    std::string problem = SerialProblem(serial);
    if (!problem.empty()) {
      *error = "line " + std::to_string(line) + ": serial " + Quoted(serial) + " " + problem;
      return false;
    }
    auto seen = firstLine.emplace(serial, line);
    if (!seen.second) {
      *error = "line " + std::to_string(line) + ": serial " + Quoted(serial) +
               " repeats line " + std::to_string(seen.first->second);
      return false;
    }
    serials->push_back(serial);
  }
  return true;
}

bool ExpandSerialPattern(const std::string& pattern, unsigned long long first, size_t count,
                         std::vector<std::string>* serials, std::string* error) {
  serials->clear();
  // Split the pattern around its one conversion.
  std::string prefix, suffix;
  bool zeroPad = false, converted = false;
  size_t width = 0;
  for (size_t i = 0; i < pattern.size(); ++i) {
    std::string& out = converted ? suffix : prefix;
    if (pattern[i] != '%') {
      out += pattern[i];
      continue;
    }
    if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    if (converted) {
      *error = "serial pattern " + Quoted(pattern) + " has more than one %d";
      return false;
    }
    size_t j = i + 1;
    if (j < pattern.size() && pattern[j] == '0') {
      zeroPad = true;
      ++j;
    }
    while (j < pattern.size() && pattern[j] >= '0' && pattern[j] <= '9' && width <= kMaxSerialLength)
      width = width * 10 + static_cast<size_t>(pattern[j++] - '0');
    if (j >= pattern.size() || pattern[j] != 'd' || width > kMaxSerialLength) {
      *error = "serial pattern " + Quoted(pattern) + " wants %d, %0Nd or %Nd with N up to 20";
      return false;
    }
    converted = true;
    i = j;
  }
  if (!converted) {
    *error = "serial pattern " + Quoted(pattern) + " has no %d";
    return false;
  }
  for (size_t k = 0; k < count; ++k) {
    if (first + k < first) {
      *error = "serial numbers run past the largest number";
      return false;
    }
    std::string digits = std::to_string(first + k);
    if (digits.size() < width) digits.insert(0, width - digits.size(), zeroPad ? '0' : ' ');
    std::string serial = prefix + digits + suffix;
    std::string problem = SerialProblem(serial);
    if (!problem.empty()) {
      *error = "serial " + Quoted(serial) + " " + problem;
      return false;
    }
    serials->push_back(serial);
  }
  return true;
}

std::string TrimBlanks(const std::string& text) {
  size_t begin = text.find_first_not_of(' ');
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}
