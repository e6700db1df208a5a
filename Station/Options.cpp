#include "Options.h"

#include <string.h>

const char kStationUsage[] =
    "usage: qelstation [--jobs N] [--report DIR] [--serials FILE | --serial-format FMT --first N]\n"
    "                  (--all | DEVICE...) -- COMMAND [ARGS...]\n"
    "\n"
    "Runs \"qeltool DEVICE COMMAND ARGS\" on many cards at once, each in its own working\n"
    "folder DIR/<device>-<serial>/ holding a copy of ./REGBIN, and writes DIR/report.json\n"
    "and DIR/report.csv. The qeltool beside qelstation is the one run.\n"
    "\n"
    "  --all                every controller disk among /dev/sda../dev/sdj\n"
    "  DEVICE...            these disks (links such as /dev/disk/by-id/... are followed)\n"
    "  --jobs N             at most N cards at a time (default: every card at once)\n"
    "  --report DIR         report folder, made by the station (default: station-DATE-TIME)\n"
    "  --serials FILE       \"initial\": one new serial a line, given in device order\n"
    "  --serial-format FMT  \"initial\": serials FMT numbered from --first N (FMT such as QEL%08d)\n"
    "\n"
    "Exit status: 0 every card passed, 1 a card failed, 2 nothing was started.\n";

namespace {

// A whole decimal number no larger than `max`.
bool ParseNumber(const char* text, unsigned long long max, unsigned long long* value) {
  if (*text == '\0' || strlen(text) > 19) return false;
  unsigned long long n = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    n = n * 10 + static_cast<unsigned long long>(*p - '0');
  }
  if (n > max) return false;
  *value = n;
  return true;
}

}  // namespace

bool ParseStationOptions(int argc, char** argv, StationOptions* options, std::string* error) {
  int i = 1;
  for (; i < argc; ++i) {
    std::string word = argv[i];
    if (word == "--") break;
    if (word == "--help" || word == "-h") {
      options->help = true;
      return true;
    }
    if (word == "--all") {
      options->all = true;
      continue;
    }
    if (word.compare(0, 2, "--") != 0) {
      options->devices.push_back(word);
      continue;
    }
    if (i + 1 >= argc) {
      *error = word + " wants a value";
      return false;
    }
    const char* value = argv[++i];
    unsigned long long number = 0;
    if (word == "--jobs") {
      if (!ParseNumber(value, 1000, &number) || number == 0) {
        *error = "--jobs wants a number from 1 to 1000";
        return false;
      }
      options->jobs = static_cast<size_t>(number);
    } else if (word == "--report") {
      if (*value == '\0') {
        *error = "--report wants a folder";
        return false;
      }
      options->report = value;
    } else if (word == "--serials") {
      options->serialsFile = value;
    } else if (word == "--serial-format") {
      options->serialPattern = value;
    } else if (word == "--first") {
      if (!ParseNumber(value, 999999999999999999ull, &options->firstSerial)) {
        *error = "--first wants a whole number";
        return false;
      }
      options->haveFirst = true;
    } else {
      *error = "unknown option " + word;
      return false;
    }
  }
  for (++i; i < argc; ++i) options->command.push_back(argv[i]);

  if (options->command.empty()) {
    *error = "no COMMAND after --";
  } else if (options->all == !options->devices.empty()) {
    *error = options->all ? "--all and DEVICE names exclude each other" : "no DEVICE and no --all";
  } else if (!options->serialsFile.empty() && !options->serialPattern.empty()) {
    *error = "--serials and --serial-format exclude each other";
  } else if (options->serialPattern.empty() == options->haveFirst) {
    *error = "--serial-format and --first go together";
  } else if ((!options->serialsFile.empty() || options->haveFirst) &&
             (options->command[0] != "initial" || options->command.size() != 1)) {
    *error = "new serials go with the command \"initial\" alone";
  }
  return error->empty();
}
