// The station's command line:
//   qelstation [--jobs N] [--report DIR] [--serials FILE | --serial-format FMT
//              --first N] (--all | DEVICE...) -- COMMAND [ARGS...]
#ifndef QEL_STATION_OPTIONS_H_
#define QEL_STATION_OPTIONS_H_

#include <string>
#include <vector>

struct StationOptions {
  bool help = false;
  bool all = false;                   // every controller disk of /dev/sda../dev/sdj
  size_t jobs = 0;                    // tools running at once; 0: every card at once
  std::string report;                 // report folder; "" picks a dated name
  std::string serialsFile;            // --serials
  std::string serialPattern;          // --serial-format
  unsigned long long firstSerial = 0; // --first
  bool haveFirst = false;
  std::vector<std::string> devices;   // as given, in command-line order
  std::vector<std::string> command;   // COMMAND [ARGS...] for the tool
};

// Fills *options from argv; false with *error (one line) when the command
// line cannot be run. "--help" alone is enough.
bool ParseStationOptions(int argc, char** argv, StationOptions* options, std::string* error);

// The usage line and what each option does.
extern const char kStationUsage[];

#endif  // QEL_STATION_OPTIONS_H_
