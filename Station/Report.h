// What the station knows of each card, and the reports made of it:
// report.json for a line database, report.csv for a spreadsheet.
#ifndef QEL_STATION_REPORT_H_
#define QEL_STATION_REPORT_H_

#include <time.h>

#include <string>
#include <vector>

#include "CardAccess.h"

enum CardState { kCardWaiting, kCardRunning, kCardPassed, kCardFailed };

struct CardRecord {
  std::string device;                // node given to the tool, e.g. "/dev/sdb"
  std::string folder;                // working folder, as the station reaches it
  bool haveBefore = false, haveAfter = false;
  CardIdentity before, after;
  std::string newSerial;             // given to "initial", or ""
  std::vector<std::string> command;  // COMMAND [ARGS...] as the tool got them
  CardState state = kCardWaiting;
  std::vector<std::string> steps;    // the step headings the tool printed, in order
  std::string failure;               // why the card failed
  int exitStatus = -1;               // the tool's, 128 + signal; -1 when not run
  timespec start = {}, end = {};     // wall clock
  double seconds = 0;                // duration (monotonic)
  std::vector<std::string> logs;     // paths of its logs, as the station reaches them
};

struct StationTotals {
  size_t cards = 0, passed = 0, failed = 0;
  timespec start = {}, end = {};
  double seconds = 0;
};

// "2026-12-07T21:05:30.123Z"; "" for a time never set.
std::string UtcTime(const timespec& when);

// One JSON string literal: quotes, backslashes, control characters and
// bytes above 0x7E escaped, so any card's answer makes valid JSON.
std::string JsonString(const std::string& text);

// One CSV field, quoted (quotes doubled) when it holds a comma, a quote, a
// line end or blanks at either end.
std::string CsvField(const std::string& text);

std::string ReportJson(const std::vector<CardRecord>& cards, const StationTotals& totals);
std::string ReportCsv(const std::vector<CardRecord>& cards);

// "PASS", "FAIL", "RUN" or "WAIT".
const char* StateWord(CardState state);

#endif  // QEL_STATION_REPORT_H_
