// The programming station: runs the unchanged tool on many cards at once,
// each in a working folder of its own, shows their progress and writes one
// report. Returns the process exit status.
#ifndef QEL_STATION_STATION_H_
#define QEL_STATION_STATION_H_

int StationMain(int argc, char** argv);

#endif  // QEL_STATION_STATION_H_
