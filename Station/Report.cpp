#include "Report.h"

#include <stdio.h>

namespace {

std::string Joined(const std::vector<std::string>& words, const char* separator) {
  std::string text;
  for (size_t i = 0; i < words.size(); ++i) text += (i ? separator : "") + words[i];
  return text;
}

std::string Seconds(double seconds) {
  char text[32];
  snprintf(text, sizeof text, "%.3f", seconds);
  return text;
}

std::string JsonOrNull(bool known, const std::string& text) {
  return known ? JsonString(text) : "null";
}

// Identity fields in report order: serial, model, firmware.
std::vector<std::string> IdentityFields(const CardIdentity& id) {
  return {id.serial, id.model, id.firmware};
}

const char* const kIdentityKeys[] = {"serial", "model", "firmware"};

}  // namespace

std::string UtcTime(const timespec& when) {
  if (when.tv_sec == 0 && when.tv_nsec == 0) return "";
  struct tm utc;
  char text[64];
  if (gmtime_r(&when.tv_sec, &utc) == nullptr ||
      strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc) == 0)
    return "";
  char full[80];
  snprintf(full, sizeof full, "%s.%03ldZ", text, when.tv_nsec / 1000000);
  return full;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c > 0x7E) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string CsvField(const std::string& text) {
  bool quote = text.find_first_of(",\"\r\n") != std::string::npos ||
               (!text.empty() && (text.front() == ' ' || text.back() == ' '));
  if (!quote) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

const char* StateWord(CardState state) {
  switch (state) {
    case kCardWaiting:
      return "WAIT";
    case kCardRunning:
      return "RUN";
    case kCardPassed:
      return "PASS";
    case kCardFailed:
      return "FAIL";
  }
  return "FAIL";
}

std::string ReportJson(const std::vector<CardRecord>& cards, const StationTotals& totals) {
  std::string out = "{\n  \"totals\": {\"cards\": " + std::to_string(totals.cards) +
                    ", \"passed\": " + std::to_string(totals.passed) +
                    ", \"failed\": " + std::to_string(totals.failed) +
                    ", \"start\": " + JsonString(UtcTime(totals.start)) +
                    ", \"end\": " + JsonString(UtcTime(totals.end)) +
                    ", \"duration_s\": " + Seconds(totals.seconds) + "},\n  \"cards\": [";
  for (size_t i = 0; i < cards.size(); ++i) {
    const CardRecord& card = cards[i];
    out += i ? ",\n    {" : "\n    {";
    out += "\"device\": " + JsonString(card.device);
    std::vector<std::string> before = IdentityFields(card.before), after = IdentityFields(card.after);
    for (size_t k = 0; k < before.size(); ++k) {
      out += std::string(", \"") + kIdentityKeys[k] + "_before\": " +
             JsonOrNull(card.haveBefore, before[k]);
      out += std::string(", \"") + kIdentityKeys[k] + "_after\": " +
             JsonOrNull(card.haveAfter, after[k]);
    }
    out += ", \"command\": " + JsonString(Joined(card.command, " "));
    out += ", \"result\": " + JsonString(StateWord(card.state));
    out += ", \"failure\": " + JsonString(card.failure);
    out += ", \"exit_status\": " + (card.exitStatus < 0 ? "null" : std::to_string(card.exitStatus));
    out += ", \"start\": " + JsonString(UtcTime(card.start));
    out += ", \"end\": " + JsonString(UtcTime(card.end));
    out += ", \"duration_s\": " + Seconds(card.seconds);
    out += ", \"folder\": " + JsonString(card.folder);
    out += ", \"logs\": [";
    for (size_t k = 0; k < card.logs.size(); ++k) out += (k ? ", " : "") + JsonString(card.logs[k]);
    out += "]}";
  }
  return out + "\n  ]\n}\n";
}

std::string ReportCsv(const std::vector<CardRecord>& cards) {
  std::string out =
      "device,serial_before,model_before,firmware_before,serial_after,model_after,"
      "firmware_after,command,result,failure,exit_status,start,end,duration_s,folder,logs\n";
  for (const CardRecord& card : cards) {
    std::vector<std::string> row = {card.device};
    std::vector<std::string> before = IdentityFields(card.before), after = IdentityFields(card.after);
    for (const std::string& field : before) row.push_back(card.haveBefore ? field : "");
    for (const std::string& field : after) row.push_back(card.haveAfter ? field : "");
    row.insert(row.end(), {Joined(card.command, " "), StateWord(card.state), card.failure,
                           card.exitStatus < 0 ? "" : std::to_string(card.exitStatus),
                           UtcTime(card.start), UtcTime(card.end), Seconds(card.seconds),
                           card.folder, Joined(card.logs, ";")});
    for (size_t i = 0; i < row.size(); ++i) out += (i ? "," : "") + CsvField(row[i]);
    out += "\n";
  }
  return out;
}
